// Whole-graph listings. All of them walk the store in its iteration order (dense order for nodes,
// each set's own order for neighbours), so for one unchanged graph they agree with each other and
// with the rows of the CSR snapshot. An edge is listed once, from its smaller end by signed order.
//
// The array forms fill arrays sized up front; the per-node ones split the nodes among the workers,
// so a large result's pages are first touched, and its entries written, by all of them at once.
#include <algorithm>
#include <cstring>

#include <string>

#include "fault.hpp"
#include "graph.hpp"
#include "parallel/pool.hpp"

namespace qm {

namespace {

// Nodes one piece of a parallel per-node fill covers.
constexpr std::size_t kFillGrain = std::size_t{1} << 14;
// How far ahead of the node it lists an edge walk loads sets' elements and their ids (see
// for_each_edge()), and the largest set whose ids it loads ahead.
constexpr std::size_t kElementsAhead = 16;
constexpr std::size_t kIdsAhead = 8;
constexpr std::uint32_t kPrefetchedSet = 64;
// Nodes whose edges one piece of a parallel edge listing covers.
constexpr std::size_t kEdgeBlock = std::size_t{1} << 12;

// body(i) for every node, in parallel, the nodes being the progress.
template <class F>
void for_nodes(const Interrupt& stop, std::size_t n, F&& body) {
    stop.expect(n);
    for_range_checked(stop, n, kFillGrain, kCheckEvery, [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) body(i);
        stop.advance(last - first);
    });
}

}  // namespace

template <class F>
void Graph::for_each_edge(std::size_t first, std::size_t last, const Interrupt& stop, F&& f) const {
    // Every entry reads its neighbour's id at random. A pipeline keeps those reads in flight: the
    // elements of the set kElementsAhead nodes on are loaded, then the ids they name kIdsAhead nodes
    // on, so that a node's ids are in cache when it is listed. A set too large to be listed before
    // its prefetched ids are evicted again is left to for_each_prefetched() alone.
    for (std::size_t i = first; i < last; ++i) {
        stop.check_every(i - first, kCheckEvery);
        if (i + kElementsAhead < last) nbrs_[i + kElementsAhead].prefetch_elements();
        if (i + kIdsAhead < last && nbrs_[i + kIdsAhead].size() <= kPrefetchedSet)
            nbrs_[i + kIdsAhead].for_each([&](Index j) { __builtin_prefetch(&ids_[j]); });
        const NodeId u = ids_[i];
        nbrs_[i].for_each_prefetched(ids_.data(), [&](Index j) {
            const NodeId v = ids_[j];
            if (u <= v) f(u, v);
        });
    }
}

std::vector<NodeId> Graph::edge_ends(const Interrupt& stop) const {
    std::vector<NodeId> out;
    out.reserve(2 * edge_count_);
    stop.expect(ids_.size());
    for (std::size_t first = 0; first < ids_.size(); first += kEdgeBlock) {
        const std::size_t last = std::min(ids_.size(), first + kEdgeBlock);
        for_each_edge(first, last, stop, [&](NodeId u, NodeId v) {
            out.push_back(u);
            out.push_back(v);
        });
        stop.advance(last - first);
    }
    return out;
}

HugeArray<NodeId> Graph::edge_array(const Interrupt& stop) const {
    // Two parallel passes over blocks of nodes: the first counts each block's edges, which places
    // every block's stretch of the array, and the second writes them there. Both make the random
    // reads, but all workers make them, and the second takes the array's page faults on all of them.
    const std::size_t n = ids_.size();
    const std::size_t blocks = (n + kEdgeBlock - 1) / kEdgeBlock;
    std::vector<std::uint64_t> at(blocks + 1, 0);
    auto block_range = [&](std::size_t b) { return std::pair{b * kEdgeBlock, std::min(n, (b + 1) * kEdgeBlock)}; };
    stop.expect(2 * n);
    parallel::for_range(blocks, 1, [&](std::size_t b, std::size_t end) {
        for (; b < end; ++b) {
            const auto [first, last] = block_range(b);
            std::uint64_t count = 0;
            for_each_edge(first, last, stop, [&](NodeId, NodeId) { ++count; });
            at[b + 1] = count;
            stop.advance(last - first);
        }
    });
    for (std::size_t b = 0; b < blocks; ++b) at[b + 1] += at[b];
    if (at[blocks] != edge_count_) fault("the edge listing counted " + std::to_string(at[blocks]) + " edges of " + std::to_string(edge_count_));
    HugeArray<NodeId> out(2 * edge_count_);
    parallel::for_range(blocks, 1, [&](std::size_t b, std::size_t end) {
        for (; b < end; ++b) {
            const auto [first, last] = block_range(b);
            NodeId* next = out.data() + 2 * at[b];
            for_each_edge(first, last, stop, [&](NodeId u, NodeId v) {
                next[0] = u;
                next[1] = v;
                next += 2;
            });
            stop.advance(last - first);
        }
    });
    return out;
}

std::vector<std::pair<NodeId, std::uint64_t>> Graph::degree_sequence(const Interrupt& stop) const {
    std::vector<std::pair<NodeId, std::uint64_t>> out;
    out.reserve(ids_.size());
    stop.expect(ids_.size());
    for (std::size_t i = 0; i < ids_.size(); ++i) {
        stop.check_every(i, kCheckEvery, i);
        out.emplace_back(ids_[i], nbrs_[i].size());
    }
    return out;
}

HugeArray<NodeId> Graph::id_array(const Interrupt& stop) const {
    HugeArray<NodeId> out(ids_.size());
    stop.expect(ids_.size());
    for_range_checked(stop, ids_.size(), kFillGrain, kFillGrain, [&](std::size_t first, std::size_t last) {
        std::memcpy(out.data() + first, ids_.data() + first, (last - first) * sizeof(NodeId));
        stop.advance(last - first);
    });
    return out;
}

HugeArray<std::int64_t> Graph::degree_array(const Interrupt& stop) const {
    HugeArray<std::int64_t> out(ids_.size());
    for_nodes(stop, ids_.size(), [&](std::size_t i) { out.data()[i] = nbrs_[i].size(); });
    return out;
}

std::uint64_t Graph::row_entries() const noexcept {
    std::uint64_t total = 0;
    for (const NeighbourSet& s : nbrs_) total += s.size();
    return total;
}

template <class I>
Graph::Rows<I> Graph::sorted_rows(const Interrupt& stop) const {
    const std::size_t n = ids_.size();
    Rows<I> rows{HugeArray<I>(n + 1), HugeArray<I>(row_entries())};
    I* const indptr = rows.indptr.data();
    I* const indices = rows.indices.data();
    I at = 0;
    for (std::size_t i = 0; i < n; ++i) {
        stop.check_every(i, kCheckEvery);
        indptr[i] = at;
        at += static_cast<I>(nbrs_[i].size());
    }
    indptr[n] = at;
    for_nodes(stop, n, [&](std::size_t i) {
        I* const row = indices + indptr[i];
        I* next = row;
        nbrs_[i].for_each([&](Index j) { *next++ = static_cast<I>(j); });
        std::sort(row, next);
    });
    return rows;
}

template Graph::Rows<std::int32_t> Graph::sorted_rows(const Interrupt&) const;
template Graph::Rows<std::int64_t> Graph::sorted_rows(const Interrupt&) const;

}  // namespace qm
