// Whole-graph listings. All of them walk the store in its iteration order (dense order for nodes,
// each set's own order for neighbours), so for one unchanged graph they agree with each other and
// with the rows of the CSR snapshot. An edge is listed once, from its smaller end by signed order.
//
// The array forms fill arrays sized up front; the per-node ones split the nodes among the workers,
// so a large result's pages are first touched, and its entries written, by all of them at once.
#include <algorithm>
#include <array>
#include <cstring>

#include <string>

#include "core/base/fault.hpp"
#include "core/store/graph.hpp"
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
// Blocks of nodes the edge array lists at once, each into scratch memory of its own.
constexpr std::size_t kEdgeGroup = 16;
// The longest row the edge array lists through a buffer on the stack (see edge_array()).
constexpr std::uint32_t kBufferedRow = 64;

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
void Graph::for_each_row(std::size_t first, std::size_t last, const Interrupt& stop, F&& row) const {
    // Every entry reads its neighbour's id at random. A pipeline keeps those reads in flight: the
    // elements of the set kElementsAhead nodes on are loaded, then the ids they name kIdsAhead nodes
    // on, so that a node's ids are in cache when it is listed. A set too large to be listed before
    // its prefetched ids are evicted again is left to for_each_prefetched() alone.
    for (std::size_t i = first; i < last; ++i) {
        stop.check_every(i - first, kCheckEvery);
        if (i + kElementsAhead < last) nbrs_[i + kElementsAhead].prefetch_elements();
        if (i + kIdsAhead < last && nbrs_[i + kIdsAhead].size() <= kPrefetchedSet)
            nbrs_[i + kIdsAhead].for_each([&](Index j) { __builtin_prefetch(&ids_[j]); });
        row(ids_[i], nbrs_[i]);
    }
}

std::vector<NodeId> Graph::edge_ends(const Interrupt& stop) const {
    std::vector<NodeId> out;
    out.reserve(2 * edge_count_);
    stop.expect(ids_.size());
    for (std::size_t first = 0; first < ids_.size(); first += kEdgeBlock) {
        const std::size_t last = std::min(ids_.size(), first + kEdgeBlock);
        for_each_row(first, last, stop, [&](NodeId u, const NeighbourSet& set) {
            set.for_each_prefetched(ids_.data(), [&](Index j) {
                if (u > ids_[j]) return;
                out.push_back(u);
                out.push_back(ids_[j]);
            });
        });
        stop.advance(last - first);
    }
    return out;
}

EndArray Graph::edge_array(const Interrupt& stop) const {
    // Blocks of nodes are listed in parallel, a group of them at a time, each into a scratch array
    // of its own with room for its whole degree sum; the group's counts then place each block's
    // stretch of the result, and the stretches are copied there, in parallel too. Every neighbour's
    // id is read once, by one of the workers, and the result's page faults are spread over them;
    // the scratch arrays (a group's worth of blocks) are kept from group to group.
    const std::size_t n = ids_.size();
    const std::size_t blocks = (n + kEdgeBlock - 1) / kEdgeBlock;
    // Written once, in order, and handed over, so from the heap rather than on huge pages of its
    // own: a result the size of the cache's reused there, call after call, and a large one's fresh
    // small pages faulted several times faster than huge ones on a virtual machine.
    EndArray out(2 * edge_count_);
    std::vector<EndArray> scratch(kEdgeGroup);
    std::array<std::uint64_t, kEdgeGroup> count{}, place{};
    std::uint64_t written = 0;  // ids in out so far
    stop.expect(n);
    for (std::size_t g = 0; g < blocks; g += kEdgeGroup) {
        const std::size_t size = std::min(kEdgeGroup, blocks - g);
        parallel::for_range(size, 1, [&](std::size_t k, std::size_t end) {
            for (; k < end; ++k) {
                const std::size_t first = (g + k) * kEdgeBlock, last = std::min(n, first + kEdgeBlock);
                std::uint64_t room = 0;
                for (std::size_t i = first; i < last; ++i) room += nbrs_[i].size();
                EndArray& into = scratch[k];
                if (into.size() < 2 * room) into.resize(2 * room);
                NodeId* next = into.data();
                for_each_row(first, last, stop, [&](NodeId u, const NeighbourSet& set) {
                    // Whether u <= v is a coin toss on random ids: a row short enough is written to
                    // a buffer without a branch (every pair written, the cursor moved past the kept
                    // ones) and copied out, where a branch per entry would be mispredicted half the
                    // time.
                    if (set.size() > kBufferedRow) {
                        set.for_each([&](Index j) {
                            if (u > ids_[j]) return;
                            next[0] = u;
                            next[1] = ids_[j];
                            next += 2;
                        });
                        return;
                    }
                    NodeId buffer[2 * kBufferedRow];
                    NodeId* kept = buffer;
                    set.for_each_prefetched(ids_.data(), [&](Index j) {
                        const NodeId v = ids_[j];
                        kept[0] = u;
                        kept[1] = v;
                        kept += 2 * static_cast<std::ptrdiff_t>(u <= v);
                    });
                    const auto listed = static_cast<std::size_t>(kept - buffer);
                    if (listed != 0) std::memcpy(next, buffer, listed * sizeof(NodeId));  // next may be null then
                    next += listed;
                });
                count[k] = static_cast<std::uint64_t>(next - into.data());
                stop.advance(last - first);
            }
        });
        for (std::size_t k = 0; k < size; ++k) {
            place[k] = written;
            written += count[k];
        }
        // The edge count is what sizes the result: a listing that disagrees with it is a fault, never
        // a write past the end.
        if (written > out.size()) fault("the edge listing found more than " + std::to_string(edge_count_) + " edges");
        parallel::for_range(size, 1, [&](std::size_t k, std::size_t end) {
            for (; k < end; ++k) {  // out has no array at all for a graph without edges
                if (count[k] != 0) std::memcpy(out.data() + place[k], scratch[k].data(), count[k] * sizeof(NodeId));
            }
        });
    }
    if (written != out.size()) fault("the edge listing found " + std::to_string(written / 2) + " of " + std::to_string(edge_count_) + " edges");
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
