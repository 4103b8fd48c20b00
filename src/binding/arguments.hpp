// Binding a call's positional and keyword arguments to a method's parameters, with the messages
// the interpreter's own functions give for the same mistakes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace qm::py {

struct Signature {
    const char* name;  // the method name, e.g. "add_edge"
    const char* const* params;
    std::size_t count;
    std::size_t required;
};

// Binds positional and keyword arguments to sig's parameters, storing borrowed references in
// slots[0..count) (null where a defaulted parameter got nothing). Raises TypeError on failure.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** slots);
// The same for a call that arrives as a tuple and a dict (the constructor).
bool bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace qm::py
