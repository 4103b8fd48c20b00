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
        PyErr_Clear();
        return 0;
    }
    return PyList_CheckExact(o) || PyTuple_CheckExact(o) ? n : std::min(n, kUntrustedRoom);
}

}  // namespace qm::py
