// Reading arguments: sequences, their length and integer buffers (see from_python.hpp).
#include "from_python.hpp"

#include <algorithm>

#include "core/store/graph.hpp"
#include "once.hpp"

namespace qm::py {

namespace {

OnceObject sequence_abc_once;

// collections.abc.Sequence, whose name the not-a-sequence message quotes.
PyObject* sequence_abc() {
    return sequence_abc_once.get([]() -> PyObject* {
        Ref module(PyImport_ImportModule("collections.abc"));
        if (!module) return nullptr;
        return PyObject_GetAttrString(module.get(), "Sequence");
    });
}

}  // namespace

// A user-reported length sizes the first reservation only up to this many items; past it the array
// grows as items arrive, so a lying __len__ cannot make us allocate absurd amounts up front.
constexpr Py_ssize_t kUntrustedRoom = Py_ssize_t{1} << 20;

Py_ssize_t sequence_room(PyObject* o) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return -1;
    }
    if (!PySequence_Check(o)) {
        PyObject* abc = sequence_abc();
        if (abc == nullptr) return -1;
        Ref abc_name(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(abc)));
        if (!abc_name) return -1;
        if (o == Py_None) {
            PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%U'", abc_name.get());
            return -1;
        }
        Ref name(PyType_GetQualName(Py_TYPE(o)));
        if (!name) return -1;
        PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%U'", name.get(), abc_name.get());
        return -1;
    }
    Py_ssize_t n = PyObject_Size(o);
    if (n < 0) {
        // A length that cannot be read only sizes nothing up front; but an interrupt or exit
        // request raised from __len__ is not swallowed.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
        PyErr_Clear();
        return 0;
    }
    return PyList_CheckExact(o) || PyTuple_CheckExact(o) ? n : std::min(n, kUntrustedRoom);
}

namespace {

// Values copied between two looks at pending signals (8 MB of int64).
constexpr std::size_t kValuesPerSignalCheck = std::size_t{1} << 20;

// Copies n values into out, a piece at a time, running the signal handlers between pieces: 1 when
// done, -1 with the exception of a handler that raised.
template <class T>
int copy_values(const T* p, std::size_t n, EndArray& out) {
    out.reserve(n);
    for (std::size_t done = 0; done < n; done += kValuesPerSignalCheck) {
        if (done > 0 && PyErr_CheckSignals() != 0) return -1;
        out.insert(out.end(), p + done, p + std::min(n, done + kValuesPerSignalCheck));
    }
    return 1;
}

template <class T>
int widen(const Py_buffer& view, EndArray& out) {
    return copy_values(static_cast<const T*>(view.buf), static_cast<std::size_t>(view.len) / sizeof(T), out);
}

// The buffer's values widened into out, or 0 when its format is not one we read.
int widen_buffer(const Py_buffer& view, EndArray& out) {
    // Native formats only: one type code, optionally after '@'.
    const char* format = view.format != nullptr ? view.format : "B";
    if (format[0] == '@') ++format;
    if (format[0] == '\0' || format[1] != '\0') return 0;
    switch (format[0]) {
        case 'b': return widen<signed char>(view, out);
        case 'B': return widen<unsigned char>(view, out);
        case 'h': return widen<short>(view, out);
        case 'H': return widen<unsigned short>(view, out);
        case 'i': return widen<int>(view, out);
        case 'I': return widen<unsigned int>(view, out);
        case 'L':
        case 'Q': {
            if (view.itemsize != sizeof(std::uint64_t)) return 0;
            const auto* p = static_cast<const std::uint64_t*>(view.buf);
            const std::size_t n = static_cast<std::size_t>(view.len) / sizeof(std::uint64_t);
            // Values past the signed range need the item-by-item path's exact OverflowError.
            if (std::any_of(p, p + n, [](std::uint64_t v) { return v > INT64_MAX; })) return 0;
            return copy_values(p, n, out);
        }
        default:
            return 0;
    }
}

// Whether the buffer holds native signed 64-bit integers, which are node ids as they stand.
bool holds_node_ids(const Py_buffer& view) {
    const char* format = view.format != nullptr ? view.format : "B";
    if (format[0] == '@') ++format;
    return (format[0] == 'l' || format[0] == 'q') && format[1] == '\0' && view.itemsize == sizeof(NodeId);
}

}  // namespace

NodeIdsIn::~NodeIdsIn() {
    if (holds_view_) PyBuffer_Release(&view_);
}

int NodeIdsIn::read_buffer(PyObject* o) {
    if (!PyObject_CheckBuffer(o)) return 0;
    if (PyObject_GetBuffer(o, &view_, PyBUF_FORMAT | PyBUF_ND | PyBUF_C_CONTIGUOUS) != 0) {
        PyErr_Clear();  // no contiguous buffer: the item-by-item path decides
        return 0;
    }
    holds_view_ = true;
    if (view_.ndim == 1 && holds_node_ids(view_)) {
        values_ = {static_cast<const NodeId*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(NodeId)};
        return 1;  // read in place; the view stays held until the call ends
    }
    const int done = view_.ndim == 1 ? widen_buffer(view_, owned_) : 0;
    PyBuffer_Release(&view_);
    holds_view_ = false;
    if (done == 0) owned_.clear();
    values_ = owned_;
    return done;
}

bool ListEnds::read_items(Py_ssize_t first, Py_ssize_t count, NodeId* out) const noexcept {
    PyObject* list = list_.get();
    if (first + count > PyList_GET_SIZE(list)) return false;
    const Py_ssize_t end = first + count;
    return (pairs_ ? read_list_items<2>(list, first, end, out, read_compact_ends)
                   : read_list_items<1>(list, first, end, out, read_compact_id)) == end;
}

int ListEnds::take(PyObject* o, bool pairs) {
    if (!PyList_CheckExact(o)) return 0;
    const Py_ssize_t items = PyList_Size(o);
    const auto edges = static_cast<std::uint64_t>(pairs ? items : items / 2);
    if (Graph::load_chunk_edges(edges) >= edges) return 0;  // goes in at once: converted as usual
    pairs_ = pairs;
    list_ = Ref(Py_NewRef(o));
    low_ = INT64_MAX;
    high_ = INT64_MIN;
    // Every item read in place, a block at a time; the first that is not small plain ints ends it
    // (nothing kept).
    const std::size_t per_item = pairs ? 2 : 1;
    std::vector<NodeId> block(per_item * static_cast<std::size_t>(kItemsPerSignalCheck));
    Py_ssize_t i = 0;
    for (;;) {
        bool whole = true;
        Py_ssize_t end = 0;
        Py_BEGIN_CRITICAL_SECTION(o);
        end = std::min(PyList_GET_SIZE(o), i + kItemsPerSignalCheck);
        if (i < end) whole = read_items(i, end - i, block.data());
        Py_END_CRITICAL_SECTION();
        if (i >= end) break;
        if (!whole || PyErr_CheckSignals() != 0) {
            list_ = Ref();
            return PyErr_Occurred() ? -1 : 0;  // an item to convert the usual way, or a raising handler
        }
        const IdBounds read = id_bounds(std::span(block).first(per_item * static_cast<std::size_t>(end - i)));
        low_ = std::min(low_, read.low);
        high_ = std::max(high_, read.high);
        i = end;
    }
    size_ = per_item * static_cast<std::size_t>(i);
    return 1;
}

void ListEnds::read(std::size_t first, std::span<NodeId> out) {
    const int per_item = pairs_ ? 2 : 1;
    bool ok = false;
    const PyGILState_STATE state = PyGILState_Ensure();
    Py_BEGIN_CRITICAL_SECTION(list_.get());
    ok = read_items(static_cast<Py_ssize_t>(first / per_item), static_cast<Py_ssize_t>(out.size() / per_item),
                    out.data());
    Py_END_CRITICAL_SECTION();
    PyGILState_Release(state);
    if (!ok || std::any_of(out.begin(), out.end(), [&](NodeId x) { return x < low_ || x > high_; }))
        throw SourceChanged();
}

}  // namespace qm::py
