// The call protocol shared by every method of IntGraphCore.
//
// A method is described by a small struct (name, parameter names, how many are required, typed
// defaults, borrow kind, doc string) and one static `run` function over native values. The templates
// here turn that into the interpreter's entry point:
//
//   bind the vector-call arguments -> check the receiver -> take the borrow -> convert every argument
//   (in order, through the argument-error rule) -> run -> convert the result -> release the borrow.
//
// The borrow is taken before any conversion, so Python code that runs while an argument converts
// (an __index__, a sequence's iteration) and calls back into the same graph meets the borrow. Every
// C++ failure is mapped to a Python exception in one place, guarded(): std::bad_alloc becomes
// MemoryError, a capacity limit OverflowError, an internal fault PanicException.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "../core/fault.hpp"
#include "../core/graph.hpp"

namespace qm::py {

static_assert(sizeof(long) == sizeof(std::int64_t), "node ids are read as C long");

// ----------------------------------------------------------------------------------------------
// Owned references

class Ref {
   public:
    Ref() noexcept = default;
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    ~Ref() { Py_XDECREF(p_); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(o.release()) {}
    Ref& operator=(Ref&& o) noexcept {
        PyObject* old = std::exchange(p_, o.release());
        Py_XDECREF(old);
        return *this;
    }
    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

   private:
    PyObject* p_ = nullptr;
};

// ----------------------------------------------------------------------------------------------
// Instances and their borrow flag

// Flag values: 0 free, k > 0 held by k shared borrowers, all ones held exclusively.
inline constexpr std::uint64_t kExclusive = UINT64_MAX;

struct GraphObject {
    PyObject_HEAD
    Graph graph;
    std::atomic<std::uint64_t> borrow;
};

PyTypeObject* graph_type();

enum class BorrowKind { Shared, Exclusive };

// Holds one borrow of an instance for its lifetime. A refused borrow never waits: it sets the
// RuntimeError and leaves the guard empty.
class BorrowGuard {
   public:
    BorrowGuard(GraphObject* g, BorrowKind kind) noexcept;
    ~BorrowGuard();
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;
    explicit operator bool() const noexcept { return flag_ != nullptr; }

   private:
    std::atomic<std::uint64_t>* flag_ = nullptr;
    BorrowKind kind_;
};

// ----------------------------------------------------------------------------------------------
// Argument binding

struct Signature {
    const char* name;          // the method name, e.g. "add_edge"
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

// ----------------------------------------------------------------------------------------------
// Errors

// TypeError "'{type}' object is not an instance of '{target}'".
void raise_not_instance(PyObject* obj, const char* target);
// The argument-error rule: an exception of exactly TypeError becomes "argument '{name}': {text}",
// keeping its __cause__; anything else passes through.
void apply_argument_error_rule(const char* name);
// Sets PanicException(message). Creates the type on first use.
void raise_panic(const char* message);

// Runs body, mapping any escaping C++ exception to the Python exception for it; returns `failure`
// in that case.
template <class R, class Body>
R guarded(R failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const CapacityError& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const InvalidArgument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::length_error&) {
        PyErr_NoMemory();  // a container asked for more than it can ever hold
    } catch (const Fault& e) {
        raise_panic(e.what());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quillmesh: internal fault: %s\n", e.what());
        raise_panic(e.what());
    } catch (...) {
        std::fprintf(stderr, "quillmesh: internal fault: unknown exception\n");
        raise_panic("unknown internal fault");
    }
    return failure;
}

// ----------------------------------------------------------------------------------------------
// Conversions from Python. Each convert() returns false with a Python exception set.

template <class T>
struct From;

template <>
struct From<std::int64_t> {
    static bool convert(PyObject* o, std::int64_t& out) {
        long v = PyLong_AsLong(o);  // long is 64 bits on every platform we build for
        if (v == -1 && PyErr_Occurred()) return false;
        out = v;
        return true;
    }
};

template <>
struct From<std::uint64_t> {
    static bool convert(PyObject* o, std::uint64_t& out) {
        Ref index;
        if (!PyLong_Check(o)) {
            index = Ref(PyNumber_Index(o));
            if (!index) return false;
            o = index.get();
        }
        unsigned long long v = PyLong_AsUnsignedLongLong(o);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        out = v;
        return true;
    }
};

template <>
struct From<double> {
    static bool convert(PyObject* o, double& out) {
        if (PyFloat_CheckExact(o)) {
            out = PyFloat_AS_DOUBLE(o);
            return true;
        }
        double v = PyFloat_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) return false;
        out = v;
        return true;
    }
};

template <>
struct From<std::pair<std::int64_t, std::int64_t>> {
    static bool convert(PyObject* o, std::pair<std::int64_t, std::int64_t>& out) {
        if (!PyTuple_Check(o)) {
            raise_not_instance(o, "tuple");
            return false;
        }
        Py_ssize_t n = PyTuple_GET_SIZE(o);
        if (n != 2) {
            PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", n);
            return false;
        }
        return From<std::int64_t>::convert(PyTuple_GET_ITEM(o, 0), out.first) &&
               From<std::int64_t>::convert(PyTuple_GET_ITEM(o, 1), out.second);
    }
};

// Checks that o may be read as a sequence (not a str, passes the sequence check) and returns the
// room to reserve for its items; -1 with an exception set when it may not.
Py_ssize_t sequence_room(PyObject* o);

// Calls append(item) for every item of a sequence, in iteration order, stopping at the first false.
// Exact lists and tuples are read by position, which is what their iterators do, without creating
// an iterator. Returns false with an exception set on any failure.
template <class Append>
bool for_each_item(PyObject* o, Append&& append) {
    if (PyTuple_CheckExact(o)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i)
            if (!append(PyTuple_GET_ITEM(o, i))) return false;
        return true;
    }
    if (PyList_CheckExact(o)) {
        // The list may change while an item's conversion runs Python code; like the list's own
        // iterator, re-read its length at every step.
        for (Py_ssize_t i = 0; i < PyList_Size(o); ++i) {
            Ref item(PyList_GetItemRef(o, i));
            if (!item) {
                PyErr_Clear();  // shrunk under us: the iterator would have stopped here too
                break;
            }
            if (!append(item.get())) return false;
        }
        return true;
    }
    Ref it(PyObject_GetIter(o));
    if (!it) return false;
    while (Ref item{PyIter_Next(it.get())}) {
        if (!append(item.get())) return false;
    }
    return !PyErr_Occurred();
}

// Reads a one-dimensional, contiguous buffer of integers (a numpy array, an array.array) straight
// into out. Returns 1 when done, 0 when the object offers no such buffer or holds a value that only
// the item-by-item path reports correctly, -1 with an exception set on failure.
int read_integer_buffer(PyObject* o, std::vector<std::int64_t>& out);

// A sequence is read once, in iteration order, into one contiguous array.
template <class T>
struct From<std::vector<T>> {
    static bool convert(PyObject* o, std::vector<T>& out) {
        Py_ssize_t room = sequence_room(o);
        if (room < 0) return false;
        if constexpr (std::is_same_v<T, std::int64_t>) {
            int done = read_integer_buffer(o, out);
            if (done != 0) return done > 0;
        }
        out.clear();
        out.reserve(static_cast<std::size_t>(room));
        return for_each_item(o, [&](PyObject* item) {
            T value;
            if (!From<T>::convert(item, value)) return false;
            out.push_back(value);
            return true;
        });
    }
};

// A sequence of 2-tuples of node ids, read into one flat array of ends (u0, v0, u1, v1, ...).
struct EdgeEnds {
    std::vector<NodeId> ends;
};

template <>
struct From<EdgeEnds> {
    static bool convert(PyObject* o, EdgeEnds& out) {
        Py_ssize_t room = sequence_room(o);
        if (room < 0) return false;
        out.ends.clear();
        out.ends.reserve(2 * static_cast<std::size_t>(room));
        return for_each_item(o, [&](PyObject* item) {
            std::pair<NodeId, NodeId> edge;
            if (!From<std::pair<NodeId, NodeId>>::convert(item, edge)) return false;
            out.ends.push_back(edge.first);
            out.ends.push_back(edge.second);
            return true;
        });
    }
};

// Converts one argument, applying the argument-error rule on failure.
template <class T>
bool convert_argument(const char* name, PyObject* o, T& out) {
    if (From<T>::convert(o, out)) return true;
    apply_argument_error_rule(name);
    return false;
}

// ----------------------------------------------------------------------------------------------
// Conversions to Python. Each returns a new reference, or null with the interpreter's exception.

inline PyObject* to_py(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
inline PyObject* to_py(std::int64_t v) { return PyLong_FromLongLong(v); }
inline PyObject* to_py(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_py(Answer v) { return to_py(v == Answer::Yes); }

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
PyObject* to_py(const std::pair<A, B>& v) {
    PyObject* first = to_py(v.first);
    return number_pair(first, first == nullptr ? nullptr : to_py(v.second));
}

template <class T>
PyObject* to_py(const std::vector<T>& v) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(v.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* item = to_py(v[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// An edge listing, flattened: consecutive ids are an edge's ends. `paired` lists the edges as
// (u, v) tuples, otherwise as one flat list of ints.
struct EdgeIds {
    std::vector<NodeId> ends;
    bool paired;
};

PyObject* to_py(const EdgeIds& v);

// ----------------------------------------------------------------------------------------------
// Entry points built from a method description

template <class F>
struct RunTraits;
template <class R, class G, class... A>
struct RunTraits<R (*)(G, A...)> {
    using Result = R;
    using Args = std::tuple<std::decay_t<A>...>;  // the converted values, owned by the entry point
};

// Receiver check and borrow, then body(graph) under the failure mapping. A shared borrow hands the
// body a const graph, so read-only methods cannot write by mistake.
template <BorrowKind Kind, class R, class Body>
R with_graph(PyObject* self, R failure, Body&& body) {
    if (!PyObject_TypeCheck(self, graph_type())) {
        raise_not_instance(self, "IntGraphCore");
        return failure;
    }
    auto* obj = reinterpret_cast<GraphObject*>(self);
    BorrowGuard borrow(obj, Kind);
    if (!borrow) return failure;
    if constexpr (Kind == BorrowKind::Shared) {
        const Graph& g = obj->graph;
        return guarded(failure, [&] { return body(g); });
    } else {
        return guarded(failure, [&] { return body(obj->graph); });
    }
}

// A description may give `required` (the leading parameters without a default) and `defaults` (the
// values of the others, in order); without them every parameter is required.
template <class M>
constexpr std::size_t required_of() {
    if constexpr (requires { M::required; }) {
        return M::required;
    } else {
        return M::params.size();
    }
}

template <class M, std::size_t I, class T>
bool convert_parameter(PyObject* obj, T& out) {
    if (obj == nullptr) {
        // Only a defaulted parameter can be left unbound.
        if constexpr (I >= required_of<M>()) {
            out = std::get<I - required_of<M>()>(M::defaults);
            return true;
        } else {
            return false;
        }
    }
    return convert_argument(M::params[I], obj, out);
}

template <class M, class Args, std::size_t... I>
bool convert_parameters(PyObject** slots, Args& values, std::index_sequence<I...>) {
    return (convert_parameter<M, I>(slots[I], std::get<I>(values)) && ...);
}

template <class M, class G, class Args>
PyObject* run_and_convert(G& graph, Args& values) {
    using R = typename RunTraits<decltype(&M::run)>::Result;
    auto call = [&](auto&... a) -> decltype(auto) { return M::run(graph, std::move(a)...); };
    if constexpr (std::is_void_v<R>) {
        std::apply(call, values);
        Py_RETURN_NONE;
    } else {
        return to_py(std::apply(call, values));
    }
}

// METH_FASTCALL | METH_KEYWORDS entry point.
template <class M>
PyObject* fast_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    using Args = typename RunTraits<decltype(&M::run)>::Args;
    constexpr std::size_t k = M::params.size();
    static_assert(std::tuple_size_v<Args> == k, "run() must take one value per parameter");
    static constexpr Signature sig{M::name, M::params.data(), k, required_of<M>()};
    std::array<PyObject*, k> slots{};
    if (!bind(sig, args, PyVectorcall_NARGS(nargsf), kwnames, slots.data())) return nullptr;
    return with_graph<M::borrow>(self, static_cast<PyObject*>(nullptr), [&](auto& graph) -> PyObject* {
        Args values{};
        if (!convert_parameters<M>(slots.data(), values, std::make_index_sequence<k>{})) return nullptr;
        return run_and_convert<M>(graph, values);
    });
}

// METH_NOARGS entry point: the interpreter itself rejects any argument.
template <class M>
PyObject* noarg_method(PyObject* self, PyObject*) {
    return with_graph<M::borrow>(self, static_cast<PyObject*>(nullptr), [&](auto& graph) -> PyObject* {
        std::tuple<> none;
        return run_and_convert<M>(graph, none);
    });
}

// The method-table row of a description: fast when it has parameters, no-arg otherwise.
template <class M>
constexpr PyMethodDef method_def() {
    if constexpr (M::params.size() == 0) {
        return {M::name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&noarg_method<M>)),
                METH_NOARGS, M::doc};
    } else {
        return {M::name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_method<M>)),
                METH_FASTCALL | METH_KEYWORDS, M::doc};
    }
}

}  // namespace qm::py
