// The adjacency store: a growing, undirected graph over signed 64-bit node ids.
//
// Layout: every node gets a dense index for life, in order of first insertion. Two dense arrays hold
// each node's id and neighbour set; a hash index maps ids back to dense indices; neighbour sets hold
// dense indices. The store's iteration order is the dense order, which depends only on the sequence
// of operations applied.
//
// Invariants kept by every operation: neighbour sets are symmetric (v in N(u) iff u in N(v)); every
// index in a set names a node; a self-loop is the node's own index, once, in its own set;
// edge_count() counts distinct undirected edges, a self-loop once. Nothing is ever removed.
//
// Mutations either complete or, when memory runs out (std::bad_alloc) or a capacity limit is hit
// (CapacityError), throw before the first visible change, so an edge is stored in both of its
// neighbour sets or in neither. Const methods never write, so any number of threads may read at once.
#pragma once

#include <cstdint>
#include <vector>

#include "neighbour_set.hpp"
#include "node_index.hpp"
#include "types.hpp"

namespace qm {

class Graph {
   public:
    // Room made for this many nodes by the first insertion into an empty store.
    static constexpr std::uint64_t kInitialNodeRoom = 1024;

    Graph() noexcept = default;

    std::uint64_t node_count() const noexcept { return ids_.size(); }
    std::uint64_t edge_count() const noexcept { return edge_count_; }

    Index find(NodeId id) const noexcept { return index_.find(id); }
    bool has_node(NodeId id) const noexcept { return find(id) != kNoIndex; }
    bool has_edge(NodeId u, NodeId v) const noexcept;
    // Neighbours of id in its set's iteration order; empty when id is not a node.
    std::vector<NodeId> neighbors(NodeId id) const;
    std::uint64_t degree(NodeId id) const noexcept;

    // Dense-order access for whole-graph walks.
    NodeId id_at(Index i) const noexcept { return ids_[i]; }
    const NeighbourSet& neighbours_at(Index i) const noexcept { return nbrs_[i]; }
    const std::vector<NodeId>& ids() const noexcept { return ids_; }

    // Adds id with an empty neighbour set unless it is already a node.
    void add_node(NodeId id);
    // Adds the undirected edge {u, v}, creating missing endpoints (u first). Returns whether the
    // edge is new. Shared by every path that inserts edges.
    bool insert_edge(NodeId u, NodeId v);

    // Makes room for `count` nodes in all, so inserting up to that many never reallocates.
    // Throws CapacityError beyond the store's limit, std::bad_alloc when memory runs out.
    void reserve_nodes(std::uint64_t count);

   private:
    // Appends a new node into room made by reserve_nodes(); never fails.
    Index append_node(NodeId id) noexcept;

    std::vector<NodeId> ids_;
    std::vector<NeighbourSet> nbrs_;
    NodeIndex index_;
    std::uint64_t edge_count_ = 0;
};

}  // namespace qm
