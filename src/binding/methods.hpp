// The methods of IntGraphCore, one description each: Python name, registered doc string (text
// signature first, checked against the parameters at compile time), parameters, defaults, borrow,
// and the native operation; `All` lists them in registration order. entry.hpp does the rest.
//
// Mutating methods take the exclusive borrow, and so do `pagerank` and `triangle_count`, which fill
// the graph's cached copies of its adjacency (the sorted rows, the forward rows); the other queries take a shared one and see a const graph. A run() that
// takes a `const Interrupt&` is a long operation: it runs detached from the interpreter and stops on
// Ctrl-C. The point operations stay attached: detaching and re-attaching would cost more than they do.
#pragma once

#include <array>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "core/store/graph.hpp"
#include "entry.hpp"

namespace qm::py::methods {

struct Exclusive {
    static constexpr BorrowKind borrow = BorrowKind::Exclusive;
};
struct Shared {
    static constexpr BorrowKind borrow = BorrowKind::Shared;
};
struct NoParams {
    static constexpr std::array<const char*, 0> params{};
};

// ---- point operations

struct AddNode : Exclusive {
    static constexpr const char* name = "add_node";
    static constexpr const char* doc = "add_node($self, n)\n--\n\n";
    static constexpr std::array params{"n"};
    static void run(Graph& g, NodeId n) { g.add_node(n); }
};

struct AddEdge : Exclusive {
    static constexpr const char* name = "add_edge";
    static constexpr const char* doc = "add_edge($self, u, v)\n--\n\n";
    static constexpr std::array params{"u", "v"};
    static void run(Graph& g, NodeId u, NodeId v) { g.add_edge(u, v); }
};

struct HasEdge : Shared {
    static constexpr const char* name = "has_edge";
    static constexpr const char* doc = "has_edge($self, u, v)\n--\n\n";
    static constexpr std::array params{"u", "v"};
    static bool run(const Graph& g, NodeId u, NodeId v) { return g.has_edge(u, v); }
};

struct HasNode : Shared {
    static constexpr const char* name = "has_node";
    static constexpr const char* doc = "has_node($self, n)\n--\n\n";
    static constexpr std::array params{"n"};
    static bool run(const Graph& g, NodeId n) { return g.has_node(n); }
};

struct NumberOfNodes : Shared, NoParams {
    static constexpr const char* name = "number_of_nodes";
    static constexpr const char* doc = "number_of_nodes($self)\n--\n\n";
    static std::uint64_t run(const Graph& g) { return g.node_count(); }
};

struct NumberOfEdges : Shared, NoParams {
    static constexpr const char* name = "number_of_edges";
    static constexpr const char* doc = "number_of_edges($self)\n--\n\n";
    static std::uint64_t run(const Graph& g) { return g.edge_count(); }
};

struct Neighbors : Shared {
    static constexpr const char* name = "neighbors";
    static constexpr const char* doc = "neighbors($self, n)\n--\n\n";
    static constexpr std::array params{"n"};
    static std::vector<NodeId> run(const Graph& g, NodeId n) { return g.neighbors(n); }
};

struct Degree : Shared {
    static constexpr const char* name = "degree";
    static constexpr const char* doc = "degree($self, n)\n--\n\n";
    static constexpr std::array params{"n"};
    static std::uint64_t run(const Graph& g, NodeId n) { return g.degree(n); }
};

// ---- bulk loading and generation

struct AddEdgesFrom : Exclusive {
    static constexpr const char* name = "add_edges_from";
    static constexpr const char* doc = "add_edges_from($self, edges)\n--\n\n";
    static constexpr std::array params{"edges"};
    // A list that the load reads itself, or the converted ends, handed over so that a large load
    // can free them as it reads them.
    static void run(Graph& g, const Interrupt& stop, PairsLoadIn&& edges) {
        if (edges.list.taken()) return g.add_edges(edges.list, stop);
        g.add_edges(std::move(edges.whole.ends), stop);
    }
};

struct AddEdgesFlat : Exclusive {
    static constexpr const char* name = "add_edges_flat";
    static constexpr const char* doc = "add_edges_flat($self, flat)\n--\n\n";
    static constexpr std::array params{"flat"};
    static void run(Graph& g, const Interrupt& stop, FlatLoadIn&& flat) {
        if (flat.list.taken()) return g.add_edges(flat.list, stop);             // a list it reads itself
        if (flat.whole.owns_values()) return g.add_edges(flat.whole.take(), stop);  // a converted copy: handed over
        g.add_edges(flat.whole.values(), stop);                                  // a buffer read in place
    }
};

struct AddNodesFrom : Exclusive {
    static constexpr const char* name = "add_nodes_from";
    static constexpr const char* doc = "add_nodes_from($self, nodes)\n--\n\n";
    static constexpr std::array params{"nodes"};
    static void run(Graph& g, const Interrupt& stop, const NodeIdsIn& nodes) { g.add_nodes(nodes.values(), stop); }
};

struct BuildRandom : Exclusive {
    static constexpr const char* name = "build_random";
    // Interface text, kept as published; the generator is described in core/load/random_graph.cpp.
    static constexpr const char* doc =
        "build_random($self, n, m, seed=42)\n--\n\n"
        "Native bulk random graph generation (Erős-Rényi G_{n,m} style)\n"
        "Bypasses Python list allocations for massive benchmarks.";
    static constexpr std::array params{"n", "m", "seed"};
    static constexpr std::size_t required = 2;
    static constexpr std::tuple defaults{std::uint64_t{42}};
    static void run(Graph& g, const Interrupt& stop, std::int64_t n, std::uint64_t m, std::uint64_t seed) {
        g.build_random(n, m, seed, stop);
    }
};

// ---- enumeration

struct Nodes : Shared, NoParams {
    static constexpr const char* name = "nodes";
    static constexpr const char* doc = "nodes($self)\n--\n\n";
    static const BigVector<NodeId>& run(const Graph& g) { return g.ids(); }
};

struct Edges : Shared, NoParams {
    static constexpr const char* name = "edges";
    static constexpr const char* doc = "edges($self)\n--\n\n";
    static EdgeListingOut run(const Graph& g, const Interrupt& stop) { return {g.edge_ends(stop), true}; }
};

struct EdgesFlat : Shared, NoParams {
    static constexpr const char* name = "edges_flat";
    static constexpr const char* doc = "edges_flat($self)\n--\n\n";
    static EdgeListingOut run(const Graph& g, const Interrupt& stop) { return {g.edge_ends(stop), false}; }
};

struct DegreeSequence : Shared, NoParams {
    static constexpr const char* name = "degree_sequence";
    static constexpr const char* doc = "degree_sequence($self)\n--\n\n";
    static std::vector<std::pair<NodeId, std::uint64_t>> run(const Graph& g, const Interrupt& stop) {
        return g.degree_sequence(stop);
    }
};

// ---- analyses

struct HasEdges : Shared {
    static constexpr const char* name = "has_edges";
    static constexpr const char* doc = "has_edges($self, edges)\n--\n\n";
    static constexpr std::array params{"edges"};
    static std::vector<Answer> run(const Graph& g, const Interrupt& stop, const EdgePairsIn& edges) {
        return g.has_edges(edges.ends, stop);
    }
};

struct TriangleCount : Exclusive, NoParams {
    static constexpr const char* name = "triangle_count";
    // Interface text, kept as published; the real algorithm (forward rows against a bitmap) is in
    // core/analysis/triangles.cpp.
    static constexpr const char* doc =
        "triangle_count($self)\n--\n\n"
        "Triangle counting using CSR sorted merge-intersection.\n"
        "The sorted adjacency in CSR enables SIMD-friendly sequential scans.";
    static std::uint64_t run(Graph& g, const Interrupt& stop) { return g.triangle_count(stop); }
};

struct ConnectedComponentSizes : Shared, NoParams {
    static constexpr const char* name = "connected_component_sizes";
    // Interface text, kept as published; the real algorithm (union-find) is in core/analysis/components.cpp.
    static constexpr const char* doc = "connected_component_sizes($self)\n--\n\nConnected components via parallel BFS.";
    static std::vector<std::uint64_t> run(const Graph& g, const Interrupt& stop) { return g.component_sizes(stop); }
};

struct ShortestPathLength : Shared {
    static constexpr const char* name = "shortest_path_length";
    static constexpr const char* doc = "shortest_path_length($self, source, target)\n--\n\n";
    static constexpr std::array params{"source", "target"};
    static std::int64_t run(const Graph& g, const Interrupt& stop, NodeId source, NodeId target) {
        return g.shortest_path_length(source, target, stop);
    }
};

struct SubgraphEdgeCount : Shared {
    static constexpr const char* name = "subgraph_edge_count";
    static constexpr const char* doc = "subgraph_edge_count($self, nodes)\n--\n\n";
    static constexpr std::array params{"nodes"};
    static std::uint64_t run(const Graph& g, const Interrupt& stop, const NodeIdsIn& nodes) {
        return g.subgraph_edge_count(nodes.values(), stop);
    }
};

struct Pagerank : Exclusive {
    static constexpr const char* name = "pagerank";
    // Interface text, kept as published; the real algorithm (a parallel pull) is in core/analysis/pagerank.cpp.
    static constexpr const char* doc =
        "pagerank($self, damping=0.85, max_iter=100, tol=1e-6)\n--\n\n"
        "SIMD-friendly PageRank using contiguous f64 arrays + rayon parallel scatter.";
    static constexpr std::array params{"damping", "max_iter", "tol"};
    static constexpr std::size_t required = 0;
    static constexpr std::tuple defaults{0.85, std::uint64_t{100}, 1e-6};
    static std::vector<std::pair<NodeId, double>> run(Graph& g, const Interrupt& stop, double damping,
                                                      std::uint64_t max_iter, double tol) {
        return g.pagerank(damping, max_iter, tol, stop);
    }
};

// Registration order: the order of the class's method table, hence of dir() and vars().
using All = MethodList<AddNode, AddEdge, AddEdgesFrom, AddEdgesFlat, AddNodesFrom, HasEdge, BuildRandom, HasNode,
                       NumberOfNodes, NumberOfEdges, Neighbors, Degree, Nodes, Edges, EdgesFlat, DegreeSequence,
                       HasEdges, TriangleCount, ConnectedComponentSizes, ShortestPathLength, SubgraphEdgeCount,
                       Pagerank>;

}  // namespace qm::py::methods
