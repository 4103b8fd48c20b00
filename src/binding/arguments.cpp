// Argument binding (see arguments.hpp).
#include "arguments.hpp"

#include <algorithm>
#include <string>

namespace qm::py {

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

}  // namespace qm::py
