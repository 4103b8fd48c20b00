// The non-template half of the call protocol: the borrow flag, argument binding and its messages,
// the argument-error rule, sequence checks and the panic exception.
#include "protocol.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "once.hpp"

namespace qm::py {

// ----------------------------------------------------------------------------------------------
// Borrow flag

BorrowGuard::BorrowGuard(GraphObject* g, BorrowKind kind) noexcept : kind_(kind) {
    std::atomic<std::uint64_t>& flag = g->borrow;
    if (kind == BorrowKind::Exclusive) {
        std::uint64_t expected = 0;
        if (flag.compare_exchange_strong(expected, kExclusive, std::memory_order_acq_rel,
                                         std::memory_order_acquire)) {
            flag_ = &flag;
        } else {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        }
        return;
    }
    std::uint64_t seen = flag.load(std::memory_order_acquire);
    while (seen != kExclusive) {
        if (flag.compare_exchange_weak(seen, seen + 1, std::memory_order_acq_rel,
                                       std::memory_order_acquire)) {
            flag_ = &flag;
            return;
        }
    }
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
}

BorrowGuard::~BorrowGuard() {
    if (flag_ == nullptr) return;
    if (kind_ == BorrowKind::Exclusive) {
        flag_->store(0, std::memory_order_release);
    } else {
        flag_->fetch_sub(1, std::memory_order_release);
    }
}

// ----------------------------------------------------------------------------------------------
// Binding

namespace {

const char* plural(Py_ssize_t n, const char* one, const char* many) { return n == 1 ? one : many; }

void raise_too_many_positional(const Signature& sig, Py_ssize_t given) {
    if (sig.required == sig.count) {
        PyErr_Format(PyExc_TypeError, "IntGraphCore.%s() takes %zu positional arguments but %zd %s given",
                     sig.name, sig.count, given, plural(given, "was", "were"));
    } else {
        PyErr_Format(PyExc_TypeError,
                     "IntGraphCore.%s() takes from %zu to %zu positional arguments but %zd %s given",
                     sig.name, sig.required, sig.count, given, plural(given, "was", "were"));
    }
}

// Puts a keyword argument into its parameter's slot; false with TypeError set when it fits none or
// the slot is taken.
bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** slots) {
    if (PyUnicode_Check(key)) {
        for (std::size_t p = 0; p < sig.count; ++p) {
            if (!PyUnicode_EqualToUTF8(key, sig.params[p])) continue;
            if (slots[p] != nullptr) {
                PyErr_Format(PyExc_TypeError, "IntGraphCore.%s() got multiple values for argument '%s'",
                             sig.name, sig.params[p]);
                return false;
            }
            slots[p] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "IntGraphCore.%s() got an unexpected keyword argument '%S'", sig.name,
                 key);
    return false;
}

// Fails with TypeError naming every required parameter that is still unbound.
bool check_required(const Signature& sig, PyObject* const* slots) {
    std::size_t missing = 0;
    for (std::size_t p = 0; p < sig.required; ++p) missing += slots[p] == nullptr;
    if (missing == 0) return true;
    std::string names;
    std::size_t listed = 0;
    for (std::size_t p = 0; p < sig.required; ++p) {
        if (slots[p] != nullptr) continue;
        if (listed > 0) names += missing > 2 ? ", " : " ";
        if (listed > 0 && listed + 1 == missing) names += "and ";
        names += '\'';
        names += sig.params[p];
        names += '\'';
        ++listed;
    }
    PyErr_Format(PyExc_TypeError, "IntGraphCore.%s() missing %zu required positional %s: %s", sig.name,
                 missing, plural(static_cast<Py_ssize_t>(missing), "argument", "arguments"), names.c_str());
    return false;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** slots) {
    if (static_cast<std::size_t>(nargs) > sig.count) {
        raise_too_many_positional(sig, nargs);
        return false;
    }
    std::copy(args, args + nargs, slots);
    if (kwnames != nullptr) {
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(kwnames); ++j)
            if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], slots)) return false;
    }
    return check_required(sig, slots);
}

bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(nargs) > sig.count) {
        raise_too_many_positional(sig, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        PyObject* key;
        PyObject* value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value))
            if (!bind_keyword(sig, key, value, slots)) return false;
    }
    return check_required(sig, slots);
}

// ----------------------------------------------------------------------------------------------
// Errors

void raise_not_instance(PyObject* obj, const char* target) {
    Ref name(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), target);
}

void apply_argument_error_rule(const char* name) {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr || !Py_IS_TYPE(raised, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(raised);
        return;
    }
    Ref original(raised);
    Ref text(PyUnicode_FromFormat("argument '%s': %S", name, original.get()));
    if (!text) return;
    PyObject* wrapped = PyObject_CallOneArg(PyExc_TypeError, text.get());
    if (wrapped == nullptr) return;
    PyException_SetCause(wrapped, PyException_GetCause(original.get()));  // steals the new reference
    PyErr_SetRaisedException(wrapped);
}

namespace {

OnceObject panic_type_once;
OnceObject sequence_abc_once;

PyObject* panic_type() {
    return panic_type_once.get([] {
        return PyErr_NewExceptionWithDoc(
            "pyo3_runtime.PanicException",
            "An internal fault of quillmesh: an operation met a condition it cannot recover from.\n\n"
            "It derives from BaseException, so `except Exception` does not catch it.",
            PyExc_BaseException, nullptr);
    });
}

// collections.abc.Sequence, whose name the not-a-sequence message quotes.
PyObject* sequence_abc() {
    return sequence_abc_once.get([]() -> PyObject* {
        Ref module(PyImport_ImportModule("collections.abc"));
        if (!module) return nullptr;
        return PyObject_GetAttrString(module.get(), "Sequence");
    });
}

}  // namespace

void raise_panic(const char* message) {
    PyObject* type = panic_type();
    if (type == nullptr) return;
    Ref text(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
    if (!text) return;
    PyObject* exc = PyObject_CallOneArg(type, text.get());
    if (exc == nullptr) return;
    PyErr_SetRaisedException(exc);
}

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

}  // namespace qm::py

namespace qm::py {

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

template <class T>
void widen(const Py_buffer& view, std::vector<std::int64_t>& out) {
    const auto* p = static_cast<const T*>(view.buf);
    out.assign(p, p + view.len / static_cast<Py_ssize_t>(sizeof(T)));
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
        case 'b': widen<signed char>(*view, out); return 1;
        case 'B': widen<unsigned char>(*view, out); return 1;
        case 'h': widen<short>(*view, out); return 1;
        case 'H': widen<unsigned short>(*view, out); return 1;
        case 'i': widen<int>(*view, out); return 1;
        case 'I': widen<unsigned int>(*view, out); return 1;
        case 'l':
        case 'q':
            if (size != sizeof(std::int64_t)) return 0;
            widen<std::int64_t>(*view, out);
            return 1;
        case 'L':
        case 'Q': {
            if (size != sizeof(std::uint64_t)) return 0;
            const auto* p = static_cast<const std::uint64_t*>(view->buf);
            const std::size_t n = static_cast<std::size_t>(view->len) / sizeof(std::uint64_t);
            // Values past the signed range need the item-by-item path's exact OverflowError.
            if (std::any_of(p, p + n, [](std::uint64_t v) { return v > INT64_MAX; })) return 0;
            out.assign(p, p + n);
            return 1;
        }
        default:
            return 0;
    }
}

// ----------------------------------------------------------------------------------------------
// Edge listings

namespace {

// The int object of the id an edge listing gave as a first end last, reused while the next edge
// starts with the same id. A listing gives all edges of a node together, so this makes one object
// per node instead of one per edge for the first ends.
class LastFirstEnd {
   public:
    // A new reference to the int of id, or null with the interpreter's exception.
    PyObject* get(NodeId id) {
        if (!obj_ || id != id_) {
            obj_ = Ref(PyLong_FromLongLong(id));
            if (!obj_) return nullptr;
            id_ = id;
        }
        return Py_NewRef(obj_.get());
    }

   private:
    Ref obj_;
    NodeId id_ = 0;
};

}  // namespace

PyObject* to_py(const EdgeIds& v) {
    LastFirstEnd first_end;
    const std::size_t step = v.paired ? 2 : 1;
    const std::size_t items = v.ends.size() / step;
    Ref list(PyList_New(static_cast<Py_ssize_t>(items)));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < items; ++k) {
        PyObject* item;
        if (v.paired) {
            PyObject* first = first_end.get(v.ends[2 * k]);
            item = number_pair(first, first == nullptr ? nullptr : PyLong_FromLongLong(v.ends[2 * k + 1]));
        } else {
            item = k % 2 == 0 ? first_end.get(v.ends[k]) : PyLong_FromLongLong(v.ends[k]);
        }
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
}

}  // namespace qm::py
