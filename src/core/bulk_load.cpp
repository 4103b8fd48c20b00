// Loading many edges at once. The neighbour entries are grouped by node with a two-level counting
// sort, i.e. an MSD radix sort whose first digit picks a range of nodes and whose second the node.
//
// Inserting random edges one by one costs several cache misses each. A large batch is instead
// applied in three streaming passes that give exactly the graph one-by-one insertion would:
//   1. map every endpoint to a dense index, numbering new ids in order of first appearance (the
//      order in which insert_edge would create them, u before v);
//   2. group the neighbour entries by node with a stable two-level bucket sort, so each node's
//      group lists its new neighbours in the order of the edges that bring them;
//   3. give each touched node its new neighbour set in one go, inserting its group in order into a
//      copy of its old set. A set's layout depends only on the sequence of insertions into it, so
//      the copy ends up exactly as one-by-one insertion would leave the original.
// Nothing visible changes until every new set is built; the commit then only moves memory, so
// running out of memory anywhere leaves the graph exactly as it was.
#include <algorithm>
#include <bit>
#include <memory>
#include <utility>

#include "graph.hpp"
#include "parallel/pool.hpp"

namespace qm {

namespace {

// A batch with fewer than one endpoint for every kBatchStoreRatio nodes already stored goes through
// insert_edge pair by pair: the passes above touch arrays sized by the whole store.
constexpr std::uint64_t kBatchStoreRatio = 8;
// How far ahead of the current endpoint its table slots are prefetched.
constexpr std::size_t kLookahead = 16;
// Ids of a batch are mapped through a flat table when they span fewer than this many values per
// endpoint (or kDirectWidthFloor values), so the table is never much larger than the batch itself.
constexpr std::uint64_t kDirectWidthPerEndpoint = 2;
constexpr std::uint64_t kDirectWidthFloor = std::uint64_t{1} << 16;

// Grouping the neighbour entries of a batch by node, stably, in parallel passes. An edge (u, v)
// gives u the neighbour v and v the neighbour u (a self-loop gives one entry), u's entry first.
// The first passes scatter the entries into buckets of 2^kLocalBits-wide node ranges, each fixed
// slice of the edges into its own stretch of every bucket, so the edge order survives within a
// bucket. Each bucket is then sorted by node with a counting sort that stays in cache. (A direct
// scatter into one run per node would miss the cache on nearly every entry.)
constexpr unsigned kLocalBits = 10;
// At most 2^kMaxBucketBits buckets: past that the bucket tables outgrow the cache, and a bucket
// simply covers a wider node range.
constexpr unsigned kMaxBucketBits = 16;
// The edges are scattered in this many slices, whatever the number of workers, so the work is
// spread evenly and the result never depends on the pool.
constexpr std::size_t kSlices = 64;

struct Grouped {
    // (node << 32 | neighbour), node by node, each node's entries in the order of their edges.
    std::unique_ptr<std::uint64_t[]> entries;
    // Node v's entries are [start[v], start[v + 1]).
    std::vector<std::uint64_t> start;
};

// `ends` holds the dense index of every endpoint, edge by edge.
Grouped group_by_node(std::span<const Index> ends, std::uint64_t nodes, const Interrupt& stop) {
    const unsigned node_bits = static_cast<unsigned>(std::bit_width(nodes));
    const unsigned bucket_bits = std::min(node_bits > kLocalBits ? node_bits - kLocalBits : 0, kMaxBucketBits);
    const unsigned local_bits = node_bits - bucket_bits;
    const std::size_t buckets = std::size_t{1} << bucket_bits;
    auto bucket_of = [local_bits](Index x) { return x >> local_bits; };

    const std::size_t pairs = ends.size() / 2;
    const std::size_t slice = (pairs + kSlices - 1) / kSlices;
    auto for_slice = [&](std::size_t s, auto&& f) {
        for (std::size_t p = s * slice; p < std::min(pairs, (s + 1) * slice); ++p) {
            stop.check_every(p, kCheckEvery);
            const Index u = ends[2 * p], v = ends[2 * p + 1];
            f(u, v);
            if (v != u) f(v, u);
        }
    };
    std::vector<std::uint64_t> at(kSlices * buckets, 0);  // where slice s writes into bucket b
    parallel::parallel_for(kSlices, [&](std::size_t s) {
        std::uint64_t* count = &at[s * buckets];
        for_slice(s, [&](Index x, Index) { ++count[bucket_of(x)]; });
    });
    std::vector<std::uint64_t> bucket_start(buckets + 1, 0);
    std::uint64_t total = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
        bucket_start[b] = total;
        for (std::size_t s = 0; s < kSlices; ++s) total += std::exchange(at[s * buckets + b], total);
    }
    bucket_start[buckets] = total;

    // Left uninitialised: the scatter below writes every entry, and its page faults are then
    // taken by all workers rather than by one thread zeroing memory up front.
    Grouped out{std::unique_ptr<std::uint64_t[]>(new std::uint64_t[total]), std::vector<std::uint64_t>(nodes + 1, 0)};
    std::uint64_t* entries = out.entries.get();
    parallel::parallel_for(kSlices, [&](std::size_t s) {
        std::uint64_t* next = &at[s * buckets];
        for_slice(s, [&](Index x, Index y) { entries[next[bucket_of(x)]++] = std::uint64_t{x} << 32 | y; });
    });

    std::vector<std::uint64_t>& start = out.start;
    parallel::for_range(buckets, 1, [&](std::size_t first, std::size_t last) {
        std::vector<std::uint64_t> bucket;
        for (std::size_t b = first; b < last; ++b) {
            stop.check();
            const std::uint64_t first_node = std::uint64_t{b} << local_bits;
            if (first_node >= nodes) return;
            const std::uint64_t last_node = std::min(nodes, (std::uint64_t{b} + 1) << local_bits);
            bucket.assign(entries + bucket_start[b], entries + bucket_start[b + 1]);
            // Counts, then running starts, for this bucket's nodes only.
            for (std::uint64_t e : bucket) ++start[e >> 32];
            std::uint64_t pos = bucket_start[b];
            for (std::uint64_t v = first_node; v < last_node; ++v) pos += std::exchange(start[v], pos);
            for (std::uint64_t e : bucket) entries[start[e >> 32]++] = e;
            // Each start has moved on to the next node's; move them back.
            for (std::uint64_t v = last_node - 1; v > first_node; --v) start[v] = start[v - 1];
            start[first_node] = bucket_start[b];
        }
    });
    start[nodes] = total;
    return out;
}

}  // namespace

void Graph::add_edges(std::span<const NodeId> ends, const Interrupt& stop) {
    mutate([&] { insert_edges(ends, stop); });
}

void Graph::insert_edges(std::span<const NodeId> ends, const Interrupt& stop) {
    std::size_t usable = ends.size() & ~std::size_t{1};
    if (usable == 0) return;
    if (usable * kBatchStoreRatio >= node_count()) {
        add_edges_batched(ends.first(usable), stop);
    } else {
        for (std::size_t i = 0; i < usable; i += 2) {
            stop.check_every(i, 2 * kCheckEvery);
            insert_edge(ends[i], ends[i + 1]);
        }
    }
}

std::vector<Index> Graph::map_endpoints(std::span<const NodeId> ends, std::vector<NodeId>& fresh_ids,
                                        const Interrupt& stop) const {
    const std::uint64_t base = node_count();
    std::vector<Index> mapped;
    mapped.reserve(ends.size());
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
        for (std::uint64_t i = 0; i < base; ++i) {
            stop.check_every(i, kCheckEvery);
            if (offset(ids_[i]) <= width) slot[offset(ids_[i])] = static_cast<Index>(i);
        }
        for (std::size_t i = 0; i < ends.size(); ++i) {
            stop.check_every(i, kCheckEvery);
            Index& x = slot[offset(ends[i])];
            if (x == kNoIndex) x = number_new(ends[i]);
            mapped.push_back(x);
        }
        return mapped;
    }

    NodeIndex fresh;
    for (std::size_t i = 0; i < ends.size(); ++i) {
        stop.check_every(i, kCheckEvery);
        if (i + kLookahead < ends.size()) {
            index_.prefetch(ends[i + kLookahead]);
            fresh.prefetch(ends[i + kLookahead]);
        }
        NodeId id = ends[i];
        Index x = find(id);
        if (x == kNoIndex) {
            x = fresh.find(id);
            if (x == kNoIndex) {
                fresh.reserve(fresh_ids.size() + 1, id, id, stop);
                x = number_new(id);
                fresh.insert_new(id, x);
            }
        }
        mapped.push_back(x);
    }
    return mapped;
}

void Graph::add_edges_batched(std::span<const NodeId> ends, const Interrupt& stop) {
    const std::uint64_t base = node_count();

    // Pass 1: the dense index of every endpoint.
    std::vector<NodeId> fresh_ids;
    const Grouped grouped = [&] {
        std::vector<Index> mapped = map_endpoints(ends, fresh_ids, stop);
        // Pass 2: the neighbour entries grouped by node, stably.
        return group_by_node(mapped, base + fresh_ids.size(), stop);
    }();
    const std::uint64_t total = base + fresh_ids.size();
    const auto [lo, hi] = std::minmax_element(fresh_ids.begin(), fresh_ids.end());
    reserve_nodes(total, fresh_ids.empty() ? 0 : *lo, fresh_ids.empty() ? 0 : *hi, stop);
    const std::uint64_t* entries = grouped.entries.get();
    const std::vector<std::uint64_t>& start = grouped.start;

    // Pass 3: the new sets, built aside. A self-loop entry counts twice so that the sum is twice
    // the number of new edges.
    std::vector<NeighbourSet> built(total);
    const std::uint64_t new_entries = parallel_sum_checked(stop, total, [&](std::size_t v) -> std::uint64_t {
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
    for (std::size_t k = 0; k < fresh_ids.size(); ++k) {
        if (k + kLookahead < fresh_ids.size()) index_.prefetch(fresh_ids[k + kLookahead]);
        append_node(fresh_ids[k]);
    }
    for (std::uint64_t v = 0; v < total; ++v) {
        if (v + kLookahead < total && start[v + kLookahead] != start[v + kLookahead + 1])
            index_.prefetch(ids_[v + kLookahead]);
        if (start[v] == start[v + 1]) continue;
        nbrs_[v] = std::move(built[v]);
        index_.set_degree(ids_[v], nbrs_[v].size());
    }
    edge_count_ += new_entries / 2;
}

}  // namespace qm
