// Reading arguments: sequences, their length and integer buffers (see from_python.hpp).
#include "from_python.hpp"

#include <algorithm>

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

// Releases a buffer view on every path out.
class BufferView {
   public:
    explicit BufferView(PyObject* o) noexcept {
        ok_ = PyObject_GetBuffer(o, &view_, PyBUF_FORMAT | PyBUF_ND | PyBUF_C_CONTIGUOUS) == 0;
        if (!ok_) PyErr_Clear();  // no contiguous buffer: the item-by-item path decides
    }
    ~BufferView() {
        if (ok_) PyBuffer_Release(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    const Py_buffer* get() const noexcept { return ok_ ? &view_ : nullptr; }

   private:
    Py_buffer view_{};
    bool ok_ = false;
};

// Values copied between two looks at pending signals (8 MB of int64).
constexpr std::size_t kValuesPerSignalCheck = std::size_t{1} << 20;

// Copies n values into out, a piece at a time, running the signal handlers between pieces: 1 when
// done, -1 with the exception of a handler that raised.
template <class T>
int copy_values(const T* p, std::size_t n, std::vector<std::int64_t>& out) {
    out.clear();
    out.reserve(n);
    for (std::size_t done = 0; done < n; done += kValuesPerSignalCheck) {
        if (done > 0 && PyErr_CheckSignals() != 0) return -1;
        out.insert(out.end(), p + done, p + std::min(n, done + kValuesPerSignalCheck));
    }
    return 1;
}

template <class T>
int widen(const Py_buffer& view, std::vector<std::int64_t>& out) {
    return copy_values(static_cast<const T*>(view.buf), static_cast<std::size_t>(view.len) / sizeof(T), out);
}

}  // namespace

int read_integer_buffer(PyObject* o, std::vector<std::int64_t>& out) {
    if (!PyObject_CheckBuffer(o)) return 0;
    BufferView buffer(o);
    const Py_buffer* view = buffer.get();
    if (view == nullptr || view->ndim != 1) return 0;
    // Native formats only: one type code, optionally after '@'.
    const char* format = view->format != nullptr ? view->format : "B";
    if (format[0] == '@') ++format;
    if (format[0] == '\0' || format[1] != '\0') return 0;
    const Py_ssize_t size = view->itemsize;
    switch (format[0]) {
        case 'b': return widen<signed char>(*view, out);
        case 'B': return widen<unsigned char>(*view, out);
        case 'h': return widen<short>(*view, out);
        case 'H': return widen<unsigned short>(*view, out);
        case 'i': return widen<int>(*view, out);
        case 'I': return widen<unsigned int>(*view, out);
        case 'l':
        case 'q':
            if (size != sizeof(std::int64_t)) return 0;
            return widen<std::int64_t>(*view, out);
        case 'L':
        case 'Q': {
            if (size != sizeof(std::uint64_t)) return 0;
            const auto* p = static_cast<const std::uint64_t*>(view->buf);
            const std::size_t n = static_cast<std::size_t>(view->len) / sizeof(std::uint64_t);
            // Values past the signed range need the item-by-item path's exact OverflowError.
            if (std::any_of(p, p + n, [](std::uint64_t v) { return v > INT64_MAX; })) return 0;
            return copy_values(p, n, out);
        }
        default:
            return 0;
    }
}

}  // namespace qm::py
