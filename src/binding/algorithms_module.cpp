// The extension module `quillmesh._algorithms`: the analyses beyond the class's own (core numbers,
// triangles per node, clustering, transitivity, diameter, betweenness, communities, modularity),
// each described like a method (methods.hpp) and run through the same call protocol: the borrow (exclusive where the analysis may build a cached
// structure, as triangle_count() does), detached and stoppable on Ctrl-C, progress reported under
// "algorithms.<name>", the same failure mapping. Per-node results are arrays in iteration order;
// the package's `quillmesh.algorithms` wraps them as numpy arrays.
#include "array_out.hpp"
#include "columns_in.hpp"
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

struct Betweenness : Shared, AlgorithmFunction {
    static constexpr const char* name = "betweenness";
    static constexpr const char* doc =
        "betweenness(g, normalized=1, samples=0, seed=0)\n--\n\nEvery node's betweenness, in iteration order "
        "(float64): exact when samples is 0, else estimated from that many sources drawn with seed.";
    static constexpr std::array params{"g", "normalized", "samples", "seed"};
    static constexpr std::size_t required = 1;
    static constexpr std::tuple defaults{std::uint64_t{1}, std::uint64_t{0}, std::uint64_t{0}};
    static ArrayOut run(const Graph& g, const Interrupt& stop, std::uint64_t normalized, std::uint64_t samples,
                        std::uint64_t seed) {
        return ArrayOut::of(g.betweenness(normalized != 0, samples, seed, stop));
    }
};

struct Communities : Shared, AlgorithmFunction {
    static constexpr const char* name = "communities";
    static constexpr const char* doc =
        "communities(g, resolution=1.0, seed=0)\n--\n\nEvery node's community label, in iteration order "
        "(int64, numbered by first appearance).";
    static constexpr std::array params{"g", "resolution", "seed"};
    static constexpr std::size_t required = 1;
    static constexpr std::tuple defaults{1.0, std::uint64_t{0}};
    static ArrayOut run(const Graph& g, const Interrupt& stop, double resolution, std::uint64_t seed) {
        return ArrayOut::of(g.communities(resolution, seed, stop));
    }
};

struct Modularity : Shared, AlgorithmFunction {
    static constexpr const char* name = "modularity";
    static constexpr const char* doc =
        "modularity(g, labels, resolution=1.0)\n--\n\nThe modularity of the partition given by one integer "
        "label per node, in iteration order.";
    static constexpr std::array params{"g", "labels", "resolution"};
    static constexpr std::size_t required = 2;
    static constexpr std::tuple defaults{1.0};
    static double run(const Graph& g, const Interrupt& stop, ColumnIn&& labels, double resolution) {
        labels.column.name = params[1];
        const std::vector<NodeId> values = read_column(labels.column, stop);
        return g.modularity(values, resolution, stop);
    }
};

using All = MethodList<CoreNumbers, Triangles, Clustering, Transitivity, Diameter, Betweenness, Communities, Modularity>;

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
