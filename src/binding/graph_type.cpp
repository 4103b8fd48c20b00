// The class IntGraphCore: type description, constructor, deallocation, special methods and the method
// table in registration order. It lives in the shared library, so every module of the package
// that takes graphs checks them against this one type object.
#include <new>

#include "arguments.hpp"
#include "entry.hpp"
#include "failures.hpp"
#include "heap_types.hpp"
#include "instance.hpp"
#include "methods.hpp"
#include "once.hpp"
#include "ref.hpp"

namespace qm::py {
namespace {

// ---- constructor and deallocation

constexpr Signature kNewSignature{"__new__", nullptr, 0, 0};

PyObject* graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (!bind_tuple(kNewSignature, args, kwargs, nullptr)) return nullptr;
    Ref empty(PyTuple_New(0));
    if (!empty) return nullptr;
    PyObject* self = PyBaseObject_Type.tp_new(type, empty.get(), nullptr);
    if (self == nullptr) return nullptr;
    auto* obj = reinterpret_cast<GraphObject*>(self);
    new (&obj->graph) Graph();  // allocates nothing until the first node
    new (&obj->borrow) std::atomic<std::uint64_t>(0);
    return self;
}

void graph_dealloc(PyObject* self) {
    auto* obj = reinterpret_cast<GraphObject*>(self);
    obj->graph.~Graph();
    obj->borrow.~atomic();
    free_instance(self);
}

// ---- special methods

Py_ssize_t graph_len(PyObject* self) {
    return with_graph<BorrowKind::Shared>(self, Py_ssize_t{-1}, [](const Graph& g) {
        return static_cast<Py_ssize_t>(g.node_count());  // at most 2^32 - 1 nodes: always fits
    });
}

int graph_contains(PyObject* self, PyObject* operand) {
    return with_graph<BorrowKind::Shared>(self, -1, [&](const Graph& g) {
        NodeId n;
        if (!convert_argument("n", operand, n)) return -1;
        return g.has_node(n) ? 1 : 0;
    });
}

PyObject* graph_repr(PyObject* self) {
    return with_graph<BorrowKind::Shared>(self, static_cast<PyObject*>(nullptr), [](const Graph& g) {
        return PyUnicode_FromFormat("IntGraphCore(nodes=%llu, edges=%llu)",
                                    static_cast<unsigned long long>(g.node_count()),
                                    static_cast<unsigned long long>(g.edge_count()));
    });
}

// ---- the type

// Mutable storage for the interpreter, filled at compile time from the one list of descriptions.
auto graph_methods = methods::All::table();

PyType_Slot graph_slots[] = {
    {Py_tp_doc, const_cast<char*>("IntGraphCore()\n--\n\nUltra-fast undirected integer-node graph.")},
    {Py_tp_new, reinterpret_cast<void*>(&graph_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&graph_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(&graph_repr)},
    {Py_mp_length, reinterpret_cast<void*>(&graph_len)},
    {Py_sq_contains, reinterpret_cast<void*>(&graph_contains)},
    {Py_tp_methods, graph_methods.data()},
    {0, nullptr},
};

PyType_Spec graph_spec = type_spec<GraphObject>("quillmesh._accel.IntGraphCore", graph_slots);

OnceObject graph_type_once;

}  // namespace

PyTypeObject* graph_type() {
    return reinterpret_cast<PyTypeObject*>(graph_type_once.get([] { return PyType_FromSpec(&graph_spec); }));
}

}  // namespace qm::py
