// The extension module `quillmesh._algorithms`: the analyses beyond the class's own (core numbers,
// triangles per node, clustering, transitivity, diameter), each described like a method (methods.hpp) and run
// through the same call protocol: the borrow (exclusive where the analysis may build a cached
// structure, as triangle_count() does), detached and stoppable on Ctrl-C, progress reported under
// "algorithms.<name>", the same failure mapping. Per-node results are arrays in iteration order;
// the package's `quillmesh.algorithms` wraps them as numpy arrays.
#include "array_out.hpp"
#include "detach.hpp"
#include "entry.hpp"
#include "failures.hpp"
#include "heap_types.hpp"
#include "methods.hpp"
#include "progress.hpp"

namespace qm::py::algorithms {

using methods::Exclusive;
using methods::Shared;

struct AlgorithmFunction : GraphFunction {
    static constexpr const char* report_prefix = "algorithms.";
    static constexpr std::array params{"g"};
};

struct CoreNumbers : Shared, AlgorithmFunction {
    static constexpr const char* name = "core_numbers";
    static constexpr const char* doc = "core_numbers(g)\n--\n\nEvery node's core number, in iteration order (int64).";
    static ArrayOut run(const Graph& g, const Interrupt& stop) { return ArrayOut::of(g.core_numbers(stop)); }
};

struct Triangles : Exclusive, AlgorithmFunction {
    static constexpr const char* name = "triangles";
    static constexpr const char* doc = "triangles(g)\n--\n\nThe triangles through every node, in iteration order (int64).";
    static ArrayOut run(Graph& g, const Interrupt& stop) { return ArrayOut::of(g.node_triangles(stop)); }
};

struct Clustering : Exclusive, AlgorithmFunction {
    static constexpr const char* name = "clustering";
    static constexpr const char* doc =
        "clustering(g)\n--\n\nEvery node's local clustering coefficient, in iteration order (float64).";
    static ArrayOut run(Graph& g, const Interrupt& stop) { return ArrayOut::of(g.clustering(stop)); }
};

struct Transitivity : Exclusive, AlgorithmFunction {
    static constexpr const char* name = "transitivity";
    static constexpr const char* doc = "transitivity(g)\n--\n\nThree times the triangles over the connected triples.";
    static double run(Graph& g, const Interrupt& stop) { return g.transitivity(stop); }
};

struct Diameter : Shared, AlgorithmFunction {
    static constexpr const char* name = "diameter";
    static constexpr const char* doc =
        "diameter(g)\n--\n\nThe greatest distance between two connected nodes (0 without edges).";
    static std::int64_t run(const Graph& g, const Interrupt& stop) { return g.diameter(stop); }
};

using All = MethodList<CoreNumbers, Triangles, Clustering, Transitivity, Diameter>;

auto functions = All::table();

int module_exec(PyObject*) {
    if (graph_type() == nullptr || array_type() == nullptr || progress_channel_type() == nullptr || !remember_main_thread())
        return -1;
    return 0;
}

PyModuleDef module_def = module_definition<module_exec>(
    "_algorithms", "Analyses of IntGraphCore beyond its own methods; see quillmesh.algorithms.", functions.data());

}  // namespace qm::py::algorithms

PyMODINIT_FUNC PyInit__algorithms(void) { return PyModuleDef_Init(&qm::py::algorithms::module_def); }
