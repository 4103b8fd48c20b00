// Loading many edges at once.
//
// Inserting random edges one by one costs several cache misses each. A large batch is instead
// applied in three streaming passes that give exactly the graph one-by-one insertion would:
//   1. map every endpoint to a dense index, numbering new ids in order of first appearance (the
//      order in which insert_edge would create them, u before v);
//   2. group the neighbour entries by node with a stable radix sort, so each node's group lists
//      its new neighbours in the order of the edges that bring them;
//   3. give each touched node its new neighbour set in one go, inserting its group in order into a
//      copy of its old set. A set's layout depends only on the sequence of insertions into it, so
//      the copy ends up exactly as one-by-one insertion would leave the original.
// Nothing visible changes until every new set is built; the commit then only moves memory, so
// running out of memory anywhere leaves the graph exactly as it was.
#include <algorithm>
#include <array>
#include <bit>
#include <utility>

#include "fault.hpp"
#include "graph.hpp"
#include "parallel/pool.hpp"

namespace qm {

namespace {

// Below this many endpoints per node already stored, a batch goes through insert_edge pair by
// pair: the passes above touch arrays sized by the whole store.
constexpr std::uint64_t kBatchStoreRatio = 8;
// How far ahead of the current endpoint its table slots are prefetched.
constexpr std::size_t kLookahead = 16;
// Ids of a batch are mapped through a flat table when they span fewer than this many values per
// endpoint (or kDirectWidthFloor values), so the table is never much larger than the batch itself.
constexpr std::uint64_t kDirectWidthPerEndpoint = 2;
constexpr std::uint64_t kDirectWidthFloor = std::uint64_t{1} << 16;

// Stable LSD radix sort of packed (node << 32 | neighbour) entries by node, one digit of
// kDigitBits per pass. Each pass streams through the array and writes into 2^kDigitBits runs,
// which stays cache-friendly where a direct scatter into one run per node would miss on every
// entry.
constexpr unsigned kDigitBits = 10;

void sort_by_node(std::vector<std::uint64_t>& entries, unsigned node_bits) {
    constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
    std::vector<std::uint64_t> scratch(entries.size());
    for (unsigned shift = 32; shift < 32 + node_bits; shift += kDigitBits) {
        std::array<std::uint64_t, kBuckets> next{};
        for (std::uint64_t e : entries) ++next[(e >> shift) & (kBuckets - 1)];
        std::uint64_t sum = 0;
        for (std::uint64_t& c : next) sum += std::exchange(c, sum);
        for (std::uint64_t e : entries) scratch[next[(e >> shift) & (kBuckets - 1)]++] = e;
        entries.swap(scratch);
    }
}

}  // namespace

void Graph::add_edges(std::span<const NodeId> ends) {
    insert_edges(ends);
    discard_snapshot();
}

void Graph::insert_edges(std::span<const NodeId> ends) {
    std::size_t usable = ends.size() & ~std::size_t{1};
    if (usable == 0) return;
    if (usable * kBatchStoreRatio >= node_count()) {
        add_edges_batched(ends.first(usable));
    } else {
        for (std::size_t i = 0; i < usable; i += 2) insert_edge(ends[i], ends[i + 1]);
    }
}

std::vector<std::uint64_t> Graph::map_endpoints(std::span<const NodeId> ends,
                                                std::vector<NodeId>& fresh_ids) const {
    const std::uint64_t base = node_count();
    // Entry (a << 32 | b) gives node a the neighbour b: two per edge, u's first, one per self-loop.
    std::vector<std::uint64_t> entries;
    entries.reserve(ends.size());
    Index first = kNoIndex;
    auto emit = [&](std::size_t i, Index x) {
        if ((i & 1) == 0) {
            first = x;
            return;
        }
        entries.push_back(std::uint64_t{first} << 32 | x);
        if (x != first) entries.push_back(std::uint64_t{x} << 32 | first);
    };
    auto number_new = [&](NodeId id) {
        if (base + fresh_ids.size() >= kMaxNodes) check_node_limit(base + fresh_ids.size() + 1);
        fresh_ids.push_back(id);
        return static_cast<Index>(base + fresh_ids.size() - 1);
    };

    // Ids drawn from a narrow range (the usual 0..n-1) index a flat table directly: no hashing,
    // and the table is small enough to stay in cache.
    auto [lo, hi] = std::minmax_element(ends.begin(), ends.end());
    const std::uint64_t width = static_cast<std::uint64_t>(*hi) - static_cast<std::uint64_t>(*lo);
    if (width < std::max<std::uint64_t>(kDirectWidthPerEndpoint * ends.size(), kDirectWidthFloor)) {
        const NodeId low = *lo;
        auto offset = [low](NodeId id) { return static_cast<std::uint64_t>(id) - static_cast<std::uint64_t>(low); };
        std::vector<Index> slot(width + 1, kNoIndex);
        for (std::uint64_t i = 0; i < base; ++i)
            if (offset(ids_[i]) <= width) slot[offset(ids_[i])] = static_cast<Index>(i);
        for (std::size_t i = 0; i < ends.size(); ++i) {
            Index& x = slot[offset(ends[i])];
            if (x == kNoIndex) x = number_new(ends[i]);
            emit(i, x);
        }
        return entries;
    }

    NodeIndex fresh;
    for (std::size_t i = 0; i < ends.size(); ++i) {
        if (i + kLookahead < ends.size()) {
            index_.prefetch(ends[i + kLookahead]);
            fresh.prefetch(ends[i + kLookahead]);
        }
        NodeId id = ends[i];
        Index x = find(id);
        if (x == kNoIndex) {
            x = fresh.find(id);
            if (x == kNoIndex) {
                fresh.reserve(fresh_ids.size() + 1);
                x = number_new(id);
                fresh.insert_new(id, x);
            }
        }
        emit(i, x);
    }
    return entries;
}

void Graph::add_edges_batched(std::span<const NodeId> ends) {
    const std::uint64_t base = node_count();

    // Pass 1: dense index of every endpoint, as neighbour entries.
    std::vector<NodeId> fresh_ids;
    std::vector<std::uint64_t> entries = map_endpoints(ends, fresh_ids);
    const std::uint64_t total = base + fresh_ids.size();
    reserve_nodes(total);

    // Pass 2: the entries grouped by node, stably.
    sort_by_node(entries, static_cast<unsigned>(std::bit_width(total)));
    std::vector<std::uint64_t> start(total + 1, 0);
    for (std::uint64_t e : entries) ++start[(e >> 32) + 1];
    for (std::uint64_t v = 0; v < total; ++v) start[v + 1] += start[v];

    // Pass 3: the new sets, built aside. A self-loop entry counts twice so that the sum is twice
    // the number of new edges.
    std::vector<NeighbourSet> built(total);
    const std::uint64_t new_entries = parallel::parallel_sum(total, [&](std::size_t v) -> std::uint64_t {
        if (start[v] == start[v + 1]) return 0;
        NeighbourSet set = v < base ? nbrs_[v].clone() : NeighbourSet();
        set.reserve_list(static_cast<std::uint32_t>(
            std::min<std::uint64_t>(set.size() + (start[v + 1] - start[v]), UINT32_MAX)));
        std::uint64_t added = 0;
        for (std::uint64_t e = start[v]; e < start[v + 1]; ++e) {
            auto w = static_cast<Index>(entries[e]);
            if (set.contains(w)) continue;
            set.reserve_one();
            set.insert_new(w);
            added += w == v ? 2 : 1;
        }
        built[v] = std::move(set);
        return added;
    });

    // Commit: nothing below allocates.
    for (NodeId id : fresh_ids) append_node(id);
    for (std::uint64_t v = 0; v < total; ++v)
        if (start[v] != start[v + 1]) nbrs_[v] = std::move(built[v]);
    edge_count_ += new_entries / 2;
}

}  // namespace qm
