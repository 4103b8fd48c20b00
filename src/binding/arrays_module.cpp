// The extension module `quillmesh._arrays`: functions that take an IntGraphCore and return its
// listings and analyses as arrays, or load edges from two integer columns, without a Python object
// per element. Each is described like a method of the class (methods.hpp) and runs through the
// same call protocol: the same borrow, detached and stoppable on Ctrl-C, the same failure mapping.
// The package's `quillmesh.arrays` wraps the results as numpy arrays.
#include <cstdint>
#include <limits>
#include <string>

#include "array_out.hpp"
#include "columns_in.hpp"
#include "detach.hpp"
#include "entry.hpp"
#include "failures.hpp"
#include "heap_types.hpp"
#include "methods.hpp"
#include "progress.hpp"

namespace qm::py::arrays {

using methods::Exclusive;
using methods::Shared;

struct GraphOnly {
    static constexpr std::array params{"g"};
};

struct Nodes : Shared, GraphFunction, GraphOnly {
    static constexpr const char* name = "nodes";
    static constexpr const char* doc = "nodes(g)\n--\n\nEvery node's id, in iteration order (int64).";
    static ArrayOut run(const Graph& g, const Interrupt& stop) { return ArrayOut::of(g.id_array(stop)); }
};

struct Degrees : Shared, GraphFunction, GraphOnly {
    static constexpr const char* name = "degrees";
    static constexpr const char* doc = "degrees(g)\n--\n\nEvery node's degree, in iteration order (int64).";
    static ArrayOut run(const Graph& g, const Interrupt& stop) { return ArrayOut::of(g.degree_array(stop)); }
};

struct Edges : Shared, GraphFunction, GraphOnly {
    static constexpr const char* name = "edges";
    static constexpr const char* doc = "edges(g)\n--\n\nEvery edge once as a row (u, v), u <= v, in listing order (int64, m x 2).";
    static ArrayOut run(const Graph& g, const Interrupt& stop) { return ArrayOut::of(g.edge_array(stop), 2); }
};

struct Pagerank : Exclusive, GraphFunction {
    static constexpr const char* name = "pagerank";
    static constexpr const char* doc =
        "pagerank(g, damping=0.85, max_iter=100, tol=1e-6)\n--\n\nEvery node's PageRank score, in iteration "
        "order (float64).";
    static constexpr std::array params{"g", "damping", "max_iter", "tol"};
    static constexpr std::size_t required = 1;
    static constexpr std::tuple defaults{0.85, std::uint64_t{100}, 1e-6};
    static ArrayOut run(Graph& g, const Interrupt& stop, double damping, std::uint64_t max_iter, double tol) {
        return ArrayOut::of(g.pagerank_scores(damping, max_iter, tol, stop));
    }
};

struct ComponentLabels : Shared, GraphFunction, GraphOnly {
    static constexpr const char* name = "component_labels";
    static constexpr const char* doc =
        "component_labels(g)\n--\n\nEvery node's connected component, in iteration order (int64): label k is "
        "the k-th component of connected_component_sizes().";
    static ArrayOut run(const Graph& g, const Interrupt& stop) { return ArrayOut::of(g.component_labels(stop)); }
};

struct Distances : Shared, GraphFunction {
    static constexpr const char* name = "distances";
    static constexpr const char* doc =
        "distances(g, source)\n--\n\nEvery node's hop distance from source, in iteration order (int64), -1 "
        "where source does not reach it.";
    static constexpr std::array params{"g", "source"};
    static ArrayOut run(const Graph& g, const Interrupt& stop, NodeId source) {
        return ArrayOut::of(g.distances(source, stop));
    }
};

struct Csr : Shared, GraphFunction, GraphOnly {
    static constexpr const char* name = "csr";
    static constexpr const char* doc =
        "csr(g)\n--\n\nThe adjacency as compressed sparse rows (indptr, indices) over positions in iteration "
        "order, each row ascending; int32 when every index fits, else int64.";
    static ArrayPairOut run(const Graph& g, const Interrupt& stop) {
        constexpr auto kNarrow = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
        if (g.node_count() <= kNarrow && g.row_entries() <= kNarrow) {
            auto rows = g.sorted_rows<std::int32_t>(stop);
            return {ArrayOut::of(std::move(rows.indptr)), ArrayOut::of(std::move(rows.indices))};
        }
        auto rows = g.sorted_rows<std::int64_t>(stop);
        return {ArrayOut::of(std::move(rows.indptr)), ArrayOut::of(std::move(rows.indices))};
    }
};

struct AddEdges : Exclusive, GraphFunction {
    static constexpr const char* name = "add_edges";
    static constexpr const char* doc =
        "add_edges(g, src, dst)\n--\n\nAdds the edges (src[k], dst[k]) in order, as add_edges_flat() would "
        "add them interleaved, reading two integer columns where they lie.";
    static constexpr std::array params{"g", "src", "dst"};
    static void run(Graph& g, const Interrupt& stop, ColumnIn&& src, ColumnIn&& dst) {
        src.column.name = params[1];
        dst.column.name = params[2];
        const std::size_t a = src.column.size(), b = dst.column.size();
        if (a != b)
            throw InvalidArgument("src and dst differ in length: " + std::to_string(a) + " and " + std::to_string(b));
        ColumnEnds ends(std::move(src.column), std::move(dst.column));
        ends.check(stop);
        g.add_edges(ends, stop);
    }
};

using All = MethodList<Nodes, Degrees, Edges, Pagerank, ComponentLabels, Distances, Csr, AddEdges>;

auto functions = All::table();

int module_exec(PyObject* module) {
    PyTypeObject* buffers = array_type();
    PyTypeObject* channels = progress_channel_type();
    if (graph_type() == nullptr || buffers == nullptr || channels == nullptr || !remember_main_thread()) return -1;
    if (PyModule_AddObjectRef(module, "ProgressChannel", reinterpret_cast<PyObject*>(channels)) < 0) return -1;
    return PyModule_AddObjectRef(module, "ResultBuffer", reinterpret_cast<PyObject*>(buffers));
}

PyModuleDef module_def = module_definition<module_exec>(
    "_arrays", "Array results and column loads for IntGraphCore; see quillmesh.arrays.", functions.data());

}  // namespace qm::py::arrays

PyMODINIT_FUNC PyInit__arrays(void) { return PyModuleDef_Init(&qm::py::arrays::module_def); }
