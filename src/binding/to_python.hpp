// Values flowing out: the native results of run() converted to Python objects, after the operation,
// attached to the interpreter. Each to_python() returns a new reference, or null with the
// interpreter's exception set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/store/graph.hpp"
#include "ref.hpp"

namespace qm::py {

inline PyObject* to_python(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
inline PyObject* to_python(std::int64_t v) { return PyLong_FromLongLong(v); }
inline PyObject* to_python(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* to_python(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_python(Answer v) { return to_python(v == Answer::Yes); }

// A 2-tuple made from two new references, which it takes over (both are released on failure). The
// tuple is taken off the cycle collector's list: holding only numbers it can never be part of a
// cycle, and untracked, building millions of them doesn't set off collections that rescan them all.
inline PyObject* number_pair(PyObject* first, PyObject* second) {
    Ref a(first), b(second);
    if (!a || !b) return nullptr;
    PyObject* t = PyTuple_New(2);
    if (t == nullptr) return nullptr;
    PyTuple_SET_ITEM(t, 0, a.release());
    PyTuple_SET_ITEM(t, 1, b.release());
    PyObject_GC_UnTrack(t);
    return t;
}

template <class A, class B>
    requires std::is_arithmetic_v<A> && std::is_arithmetic_v<B>
PyObject* to_python(const std::pair<A, B>& v) {
    PyObject* first = to_python(v.first);
    return number_pair(first, first == nullptr ? nullptr : to_python(v.second));
}

template <class T, class A>
PyObject* to_python(const std::vector<T, A>& v) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* item = to_python(v[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// A result that is an edge listing, flattened: consecutive ids are an edge's ends. `paired` lists
// the edges as (u, v) tuples, otherwise as one flat list of ints.
struct EdgeListingOut {
    std::vector<NodeId> ends;
    bool paired;
};

PyObject* to_python(const EdgeListingOut& v);

}  // namespace qm::py
