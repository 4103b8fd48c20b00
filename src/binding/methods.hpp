// The methods of IntGraphCore, one description each: Python name, registered doc string (text
// signature first), parameters, borrow, and the native operation. The call protocol does the rest.
// Mutating methods take the exclusive borrow; queries take a shared one and see a const graph.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "../core/graph.hpp"
#include "protocol.hpp"

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
    static void run(Graph& g, NodeId u, NodeId v) { g.insert_edge(u, v); }
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

}  // namespace qm::py::methods
