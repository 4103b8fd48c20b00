// Loading many edges at once.
//
// Inserting random edges one by one costs several cache misses each. A large batch is instead
// applied in three streaming passes that give exactly the graph one-by-one insertion would:
//   1. map every endpoint to a dense index, numbering new ids in order of first appearance (the
//      order in which insert_edge would create them, u before v);
//   2. bucket the neighbour entries by node with a stable counting sort, so each node's bucket
//      lists its new neighbours in the order of the edges that bring them;
//   3. give each touched node its new neighbour set in one go, inserting its bucket in order into a
//      copy of its old set. A set's layout depends only on the sequence of insertions into it, so
//      the copy ends up exactly as one-by-one insertion would leave the original.
// Nothing visible changes until every new set is built; the commit then only moves memory, so
// running out of memory anywhere leaves the graph exactly as it was.
#include <algorithm>

#include "fault.hpp"
#include "graph.hpp"

namespace qm {

namespace {

// Below this many endpoints per node already stored, a batch goes through insert_edge pair by
// pair: the passes above touch arrays sized by the whole store.
constexpr std::uint64_t kBatchStoreRatio = 8;
// How far ahead of the current endpoint its table slots are prefetched.
constexpr std::size_t kLookahead = 16;

}  // namespace

void Graph::add_edges(std::span<const NodeId> ends) {
    std::size_t usable = ends.size() & ~std::size_t{1};
    if (usable != 0) {
        if (usable * kBatchStoreRatio >= node_count()) {
            add_edges_batched(ends.first(usable));
        } else {
            for (std::size_t i = 0; i < usable; i += 2) insert_edge(ends[i], ends[i + 1]);
        }
    }
    discard_snapshot();
}

void Graph::add_edges_batched(std::span<const NodeId> ends) {
    const std::size_t count = ends.size();
    const std::uint64_t base = node_count();

    // Pass 1: dense index of every endpoint.
    std::vector<Index> at(count);
    std::vector<NodeId> fresh_ids;
    NodeIndex fresh;
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kLookahead < count) {
            index_.prefetch(ends[i + kLookahead]);
            fresh.prefetch(ends[i + kLookahead]);
        }
        NodeId id = ends[i];
        Index x = find(id);
        if (x == kNoIndex) {
            x = fresh.find(id);
            if (x == kNoIndex) {
                if (base + fresh_ids.size() >= kMaxNodes) reserve_nodes(base + fresh_ids.size() + 1);
                x = static_cast<Index>(base + fresh_ids.size());
                fresh.reserve(fresh_ids.size() + 1);
                fresh_ids.push_back(id);
                fresh.insert_new(id, x);
            }
        }
        at[i] = x;
    }
    const std::uint64_t total = base + fresh_ids.size();
    reserve_nodes(total);

    // Pass 2: stable counting sort of the entries by node. Entry i gives node at[i] the neighbour
    // at[i ^ 1]; the mirrored entry of a self-loop is dropped (a self-loop is one entry).
    auto keep = [&](std::size_t i) { return (i & 1) == 0 || at[i] != at[i ^ 1]; };
    std::vector<std::uint64_t> start(total + 1, 0);
    for (std::size_t i = 0; i < count; ++i)
        if (keep(i)) ++start[at[i] + 1];
    for (std::uint64_t v = 0; v < total; ++v) start[v + 1] += start[v];
    std::vector<Index> bucket(start[total]);
    {
        std::vector<std::uint64_t> cursor(start.begin(), start.end() - 1);
        for (std::size_t i = 0; i < count; ++i) {
            if (i + kLookahead < count) __builtin_prefetch(&bucket[cursor[at[i + kLookahead]]], 1);
            if (keep(i)) bucket[cursor[at[i]]++] = at[i ^ 1];
        }
    }
    at = {};

    // Pass 3: the new sets, built aside. A self-loop entry counts twice so that the sum is twice
    // the number of new edges.
    std::vector<NeighbourSet> built(total);
    std::uint64_t new_entries = 0;
    for (std::uint64_t v = 0; v < total; ++v) {
        if (start[v] == start[v + 1]) continue;
        NeighbourSet set = v < base ? nbrs_[v].clone() : NeighbourSet();
        set.reserve_list(static_cast<std::uint32_t>(
            std::min<std::uint64_t>(set.size() + (start[v + 1] - start[v]), UINT32_MAX)));
        for (std::uint64_t e = start[v]; e < start[v + 1]; ++e) {
            Index w = bucket[e];
            if (set.contains(w)) continue;
            set.reserve_one();
            set.insert_new(w);
            new_entries += w == v ? 2 : 1;
        }
        built[v] = std::move(set);
    }

    // Commit: nothing below allocates.
    for (NodeId id : fresh_ids) append_node(id);
    for (std::uint64_t v = 0; v < total; ++v)
        if (start[v] != start[v + 1]) nbrs_[v] = std::move(built[v]);
    edge_count_ += new_entries / 2;
}

}  // namespace qm
