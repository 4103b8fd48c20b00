// Loading many edges at once. The neighbour entries are grouped by node with a two-level counting
// sort, i.e. an MSD radix sort whose first digit picks a range of nodes and whose second the node.
//
// Inserting random edges one by one costs several cache misses each. A large batch is instead
// applied in three streaming passes that give exactly the graph one-by-one insertion would:
//   1. map every endpoint to a dense index, numbering new ids in order of first appearance (the
//      order in which insert_edge would create them, u before v);
//   2. group the neighbour entries by node with a stable two-level bucket sort, so each node's
//      group lists its new neighbours in the order of the edges that bring them;
//   3. give each touched node its group, inserted in order. A set that can take its whole group
//      without changing its layout (a list with room, a table that need not grow) is only given
//      the room now; any other is rebuilt aside, as a copy into which the group is inserted one by
//      one. A set's layout depends only on the sequence of insertions into it, so either way it
//      ends up exactly as one-by-one insertion would leave it.
// Nothing visible changes until every allocation has succeeded (extra room in a list is not
// visible); the commit then inserts into room already made and moves sets, so running out of
// memory anywhere leaves the graph exactly as it was.
//
// A very large batch goes in as consecutive chunks, each all at once as above, so that the working
// memory of a load stays a fraction of the graph it builds. A failure part way through keeps the
// chunks before it: a prefix of the batch, in input order.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <bit>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "core/base/env.hpp"
#include "core/store/graph.hpp"
#include "parallel/pool.hpp"

namespace qm {

namespace {

// A batch with fewer than one endpoint for every kBatchStoreRatio nodes already stored goes through
// insert_edge pair by pair: the passes above touch arrays sized by the whole store.
constexpr std::uint64_t kBatchStoreRatio = 8;
// A batch of up to kWholeBatchEdges edges goes in at once; a larger one in chunks of
// max(kMinChunkEdges, edges / kChunksPerBatch). Mapping and grouping take 24 bytes for each edge of
// a chunk, and the generator's attempts 16 more, on top of the graph's 13 or so bytes per edge:
// with these bounds a large load's working memory stays within a third of the graph it builds,
// the per-chunk passes over all nodes stay few, and a batch of the medium size still goes in at
// once (all or nothing, and without the extra pass that numbers a chunked batch's ids).
constexpr std::uint64_t kWholeBatchEdges = std::uint64_t{1} << 24;
constexpr std::uint64_t kMinChunkEdges = std::uint64_t{1} << 23;
constexpr std::uint64_t kChunksPerBatch = 16;
// Endpoints looked up per piece of parallel work, or per block of a serial pass (even, and a
// divisor of kReleaseEvery).
constexpr std::size_t kMapGrain = std::size_t{1} << 14;
// How far ahead of the current endpoint its table slots are prefetched.
constexpr std::size_t kLookahead = 16;
// Numbering this many endpoints or more through a flat table is split in halves between two threads.
constexpr std::size_t kSplitNumberingFrom = std::size_t{1} << 18;
// A chunked load counts its entries in at most this many segments at once, each with a byte per
// slot of the flat table, and only while those arrays together take at most one byte for every
// kCountBytesPerSegmentByte bytes of the batch's input.
constexpr std::size_t kMaxCountSegments = 8;
constexpr std::size_t kCountBytesPerSegmentByte = 2;
// Nodes whose list arrays one piece of work carves from the batch's slab, in order.
constexpr std::uint64_t kSlabRun = kCheckEvery;
// Ids of a batch are mapped through a flat table when they span fewer than this many values per
// endpoint (or kDirectWidthFloor values), so the table is never much larger than the batch itself.
constexpr std::uint64_t kDirectWidthPerEndpoint = 2;
constexpr std::uint64_t kDirectWidthFloor = std::uint64_t{1} << 16;

// Grouping the neighbour entries of a batch by node, stably, in parallel passes. An edge (u, v)
// gives u the neighbour v and v the neighbour u (a self-loop gives one entry), u's entry first.
// The first passes scatter the entries into buckets of 2^kLocalBits-wide node ranges, each fixed
// slice of the edges into its own stretch of every bucket, so the edge order survives within a
// bucket. Each bucket is then sorted by node with a counting sort that stays in cache. (A direct
// scatter into one run per node would miss the cache on nearly every entry.) Buckets of 8192
// nodes keep a bucket's counters (64 KiB) in the core's own cache and the scatter's open lines, one
// per bucket, too: with 1024-node buckets the scatter wrote to 16,384 lines at once for 10M nodes,
// and grouping took twice as long.
constexpr unsigned kLocalBits = 13;
// At most 2^kMaxBucketBits buckets: past that the bucket tables outgrow the cache, and a bucket
// simply covers a wider node range.
constexpr unsigned kMaxBucketBits = 16;
// The edges are scattered in this many slices, whatever the number of workers, so the work is
// spread evenly and the result never depends on the pool.
constexpr std::size_t kSlices = 64;

struct Grouped {
    // (node << 32 | neighbour), node by node, each node's entries in the order of their edges.
    std::uint64_t* entries = nullptr;
    std::size_t room = 0;  // entries allocated
    // Where entries lies: an array of its own, or the batch's input, once read, when the load owns
    // it. An input of k edges has room for the at most 2k entries they bring, and using it spares
    // the load mapping and faulting in as many new pages again.
    std::unique_ptr<std::uint64_t[]> own;
    EndArray spare;
    // Node v's entries are [start[v], start[v + 1]). Every element is written by the grouping, each
    // bucket's nodes by the worker that sorts the bucket.
    std::vector<std::uint64_t, UninitAllocator<std::uint64_t>> start;
    // Where each slice writes into each bucket.
    std::vector<std::uint64_t> at;
};

// Sizes a working array kept from chunk to chunk for `size` elements. Its capacity is taken for
// `expected` at once (the nodes of the whole load, when known) or else grows by half: the node
// count of a load in chunks creeps up from one chunk to the next, and an array sized exactly each
// time was mapped, zeroed by the kernel and faulted in anew for every chunk.
template <class Vector>
void size_kept(Vector& v, std::size_t size, std::size_t expected) {
    if (v.capacity() < size) v.reserve(std::max({size, expected, v.capacity() + v.capacity() / 2}));
    v.resize(size);
}

// `ends` holds the dense index of every endpoint, edge by edge. Reuses out's arrays where they are
// large enough; `expected_nodes` is the most nodes a later call on out may group.
void group_by_node(std::span<const Index> ends, std::uint64_t nodes, std::uint64_t expected_nodes, Grouped& out,
                   const Interrupt& stop) {
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
    std::vector<std::uint64_t>& at = out.at;  // where slice s writes into bucket b
    at.assign(kSlices * buckets, 0);
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
    if (out.room < total) {
        out.entries = nullptr;
        out.own.reset();
        if (out.spare.size() >= total) {
            // The same bits as uint64_t: an object may be accessed through its unsigned type.
            out.entries = reinterpret_cast<std::uint64_t*>(out.spare.data());
            out.room = out.spare.size();
        } else {
            EndArray().swap(out.spare);
            out.own.reset(new std::uint64_t[total]);
            out.entries = out.own.get();
            out.room = total;
        }
    }
    size_kept(out.start, nodes + 1, expected_nodes + 1);
    std::uint64_t* entries = out.entries;
    parallel::parallel_for(kSlices, [&](std::size_t s) {
        std::uint64_t* next = &at[s * buckets];
        for_slice(s, [&](Index x, Index y) { entries[next[bucket_of(x)]++] = std::uint64_t{x} << 32 | y; });
    });

    auto& start = out.start;
    // Each part sorts the buckets it claims through a copy of its own, carved from one block that is
    // always mapped on its own and so given back whole when freed: per-thread heap copies of
    // buckets this large stayed with the process (4% more resident memory after a load).
    std::uint64_t largest = 0;
    for (std::size_t b = 0; b < buckets; ++b) largest = std::max(largest, bucket_start[b + 1] - bucket_start[b]);
    const std::size_t parts = std::min<std::size_t>(parallel::thread_count(), buckets);
    const HugeArray<std::uint64_t> copies(
        std::max<std::uint64_t>(parts * largest, huge_pages::kMappedFrom / sizeof(std::uint64_t)));
    std::atomic<std::size_t> next_bucket{0};
    parallel::for_range(parts, 1, [&](std::size_t first_part, std::size_t last_part) {
        for (std::size_t part = first_part; part < last_part; ++part) {
            std::uint64_t* const bucket = copies.data() + part * largest;
            for (std::size_t b; (b = next_bucket.fetch_add(1, std::memory_order_relaxed)) < buckets;) {
                stop.check();
                const std::uint64_t first_node = std::uint64_t{b} << local_bits;
                if (first_node >= nodes) continue;
                const std::uint64_t last_node = std::min(nodes, (std::uint64_t{b} + 1) << local_bits);
                const std::uint64_t size = bucket_start[b + 1] - bucket_start[b];
                std::copy_n(entries + bucket_start[b], size, bucket);
                // Counts, then running starts, for this bucket's nodes only.
                std::fill(start.data() + first_node, start.data() + last_node, 0);
                for (std::uint64_t k = 0; k < size; ++k) ++start[bucket[k] >> 32];
                std::uint64_t pos = bucket_start[b];
                for (std::uint64_t v = first_node; v < last_node; ++v) pos += std::exchange(start[v], pos);
                for (std::uint64_t k = 0; k < size; ++k) entries[start[bucket[k] >> 32]++] = bucket[k];
                // Each start has moved on to the next node's; move them back.
                for (std::uint64_t v = last_node - 1; v > first_node; --v) start[v] = start[v - 1];
                start[first_node] = bucket_start[b];
            }
        }
    });
    start[nodes] = total;
}

// Ids a pass reads between two releases of the input pages it has finished with.
constexpr std::size_t kReleaseEvery = std::size_t{1} << 20;

// Gives the whole pages inside [begin, end) back to the system: memory the load owns and will not
// read again (it would read as zeros). The rest of the allocation, and its freeing, are unaffected.
void release_pages(const void* begin, const void* end) noexcept {
    static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) & ~(page - 1);
    const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(end) & ~(page - 1);
    if (first < last) madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

template <class T>
void release_range(std::span<const T> done) noexcept {
    release_pages(done.data(), done.data() + done.size());
}

// kWholeBatchEdges, unless the environment sets another bound (which then bounds the chunks too):
// the tests lower it to take the chunked paths with small batches.
std::uint64_t whole_batch_edges() noexcept {
    static const std::uint64_t bound = env_count_or("QUILLMESH_LOAD_CHUNK_EDGES", kWholeBatchEdges);
    return bound;
}

}  // namespace

void Graph::add_edges(std::span<const NodeId> ends, const Interrupt& stop) {
    mutate([&] { insert_edges(ends, nullptr, nullptr, stop); });
}

void Graph::add_edges(EndArray&& ends, const Interrupt& stop) {
    mutate([&] { insert_edges(ends, &ends, nullptr, stop); });
}

void Graph::add_edges(EndSource& source, const Interrupt& stop) {
    mutate([&] { insert_edges({}, nullptr, &source, stop); });
}

std::uint64_t Graph::load_chunk_edges(std::uint64_t edges) noexcept {
    const std::uint64_t bound = whole_batch_edges();
    if (edges <= bound) return edges;
    return std::max(std::min(bound, kMinChunkEdges), (edges + kChunksPerBatch - 1) / kChunksPerBatch);
}

// The dense index of every id of one batch: nodes already stored keep theirs, new ids are numbered
// on from the store's node count in order of first appearance (the order in which insert_edge
// would create them, u before v). Ids drawn from a narrow range (the usual 0..n-1) index a flat
// table directly: no hashing, and the table is small enough to stay in cache.
struct Graph::BatchIds {
    BatchIds(const Graph& g, std::span<const NodeId> ends, const Interrupt& stop)
        : BatchIds(g, id_bounds(ends), ends.size(), stop) {}
    // For `count` endpoints within `bounds`.
    BatchIds(const Graph& g, IdBounds bounds, std::size_t count, const Interrupt& stop)
        : graph(g), base(g.node_count()) {
        width = static_cast<std::uint64_t>(bounds.high) - static_cast<std::uint64_t>(bounds.low);
        low = bounds.low;
        direct = width < std::max<std::uint64_t>(kDirectWidthPerEndpoint * count, kDirectWidthFloor);
        if (!direct) return;
        slot.assign(width + 1, kNoIndex);
        // At most one new id per slot or endpoint: room for them all up front (only what is
        // written is touched), where doubling would write them twice over.
        fresh_ids.reserve(std::min<std::uint64_t>(width + 1, count));
        for (std::uint64_t i = 0; i < base; ++i) {
            stop.check_every(i, kCheckEvery);
            if (offset(g.ids_[i]) <= width) slot[offset(g.ids_[i])] = static_cast<Index>(i);
        }
    }

    std::uint64_t offset(NodeId id) const noexcept {
        return static_cast<std::uint64_t>(id) - static_cast<std::uint64_t>(low);
    }
    // Whether the direct table has slots for every id in [lo, hi].
    bool spans(NodeId lo, NodeId hi) const noexcept { return lo >= low && offset(hi) <= width; }
    // Starts loading what index() will read for id.
    void prefetch(NodeId id) const noexcept {
        if (direct) {
            __builtin_prefetch(&slot[offset(id)]);
            return;
        }
        graph.index_.prefetch(id);
        fresh.prefetch(id);
    }
    // The index of an id already numbered; reads only, so any number of threads may ask at once.
    Index known(NodeId id) const noexcept {
        if (direct) return slot[offset(id)];
        Index x = graph.find(id);
        return x != kNoIndex ? x : fresh.find(id);
    }
    // known() for each of ends, in order, into out, with the lookups' misses overlapped; false when
    // an id has no index (it was not among the ids numbered).
    bool known(std::span<const NodeId> ends, Index* out) const noexcept {
        bool all = true;
        for (std::size_t i = 0; i < ends.size(); ++i) {
            if (i + kLookahead < ends.size()) prefetch(ends[i + kLookahead]);
            out[i] = known(ends[i]);
            all &= out[i] != kNoIndex;
        }
        return all;
    }
    Index index(NodeId id, const Interrupt& stop) {
        if (direct) {
            Index& x = slot[offset(id)];
            if (x == kNoIndex) x = number_new(id);
            return x;
        }
        Index x = graph.find(id);
        if (x == kNoIndex) {
            x = fresh.find(id);
            if (x == kNoIndex) {
                fresh.reserve(fresh_ids.size() + 1, id, id, nullptr, stop);
                x = number_new(id);
                fresh.insert_new(id, x);
            }
        }
        return x;
    }
    // index() for each of ends, in order, into out. A long run through the flat table is cut in
    // two: while one thread numbers the head in order, another lists the tail's ids in order of
    // their first appearance in the tail (a bit per id of the table marks those seen). The listed
    // ids that the head did not number are then numbered in that order, which is exactly their
    // order of first appearance in the whole run, and the tail is looked up in parallel.
    void number(std::span<const NodeId> ends, Index* out, const Interrupt& stop) {
        if (!direct || ends.size() < kSplitNumberingFrom) return number_in_order(ends, out, stop);
        const std::size_t split = ends.size() / 2 & ~std::size_t{1};
        const std::span<const NodeId> head = ends.first(split), tail = ends.subspan(split);
        seen.assign((width >> 6) + 1, 0);
        tail_ids.clear();
        auto list_tail_ids = [&] {
            for (std::size_t i = 0; i < tail.size(); ++i) {
                stop.check_every(i, kCheckEvery);
                if (first_mark(seen, offset(tail[i]))) tail_ids.push_back(tail[i]);
            }
        };
        parallel::for_range(2, 1, [&](std::size_t first, std::size_t last) {  // one part each, or both
            for (std::size_t part = first; part < last; ++part) {
                if (part == 0) {
                    number_in_order(head, out, stop);
                } else {
                    list_tail_ids();
                }
            }
        });
        for (std::size_t k = 0; k < tail_ids.size(); ++k) {
            stop.check_every(k, kCheckEvery);
            if (k + kLookahead < tail_ids.size()) prefetch(tail_ids[k + kLookahead]);
            index(tail_ids[k], stop);  // numbers it unless the head did
        }
        for_range_checked(stop, tail.size(), kMapGrain, kCheckEvery, [&](std::size_t first, std::size_t last) {
            known(tail.subspan(first, last - first), out + split + first);
        });
    }
    // Numbers every new id of a batch of `usable` endpoints, read by read(first, size, buffer), and
    // counts each node's entries into counts (by index, saturating, a self-loop counted once), in
    // one parallel pass: each segment of the batch counts by table slot into an array of its own
    // and lists its ids in order of their first appearance in it (where the count was still zero).
    // The counts take a byte a slot, the rare overflow kept aside, so that every segment's array
    // stays in the cache. The lists, taken segment by segment, then number the new ids in order
    // of their first appearance in the whole batch, and the segments' counts are summed per node.
    // Numbering and counting block by block on one thread took a third of a large load. Returns
    // false, having changed nothing, when the ids do not go through the flat table, when there is
    // a single thread, or when the segments' arrays would weigh too much beside the batch.
    template <class Read>
    bool number_and_count(std::size_t usable, Read&& read, BigVector<std::uint32_t>& counts, const Interrupt& stop) {
        if (!direct || numbered) return false;
        const std::uint64_t slots = width + 1;
        const std::size_t pairs = usable / 2;
        std::size_t segments = std::min<std::size_t>({parallel::thread_count(), kMaxCountSegments, pairs});
        while (segments > 1 && kCountBytesPerSegmentByte * segments * slots * sizeof(std::uint8_t) >
                                   usable * sizeof(NodeId))
            --segments;
        if (segments < 2) return false;
        const std::size_t per = (pairs + segments - 1) / segments;  // pairs a segment, the last's fewer
        // A slot's entries in a segment: count + kWrap * wraps[slot]; a count once past zero never
        // returns to it.
        constexpr std::uint64_t kWrap = UINT8_MAX;
        struct Segment {
            std::vector<std::uint8_t> count;
            std::unordered_map<std::uint64_t, std::uint64_t> wraps;
            std::vector<NodeId> first_seen;  // ids in order of first appearance in the segment
        };
        std::vector<Segment> parts(segments);
        parallel::for_range(segments, 1, [&](std::size_t begin, std::size_t end) {
            std::vector<NodeId> buffer(kMapGrain);
            for (std::size_t s = begin; s < end; ++s) {
                Segment& part = parts[s];
                part.count.assign(slots, 0);
                std::uint8_t* count = part.count.data();
                auto add = [&](NodeId id, std::uint64_t at) {
                    std::uint8_t& c = count[at];
                    if (c == 0) part.first_seen.push_back(id);
                    if (c == kWrap) {
                        ++part.wraps[at];
                        c = 1;
                    } else {
                        ++c;
                    }
                };
                const std::size_t last = std::min(usable, 2 * (s + 1) * per);
                for (std::size_t first = 2 * s * per; first < last; first += kMapGrain) {
                    stop.check();
                    const std::span<const NodeId> e = read(first, std::min(kMapGrain, last - first), buffer);
                    for (std::size_t k = 0; k < e.size(); k += 2) {
                        if (k + kLookahead < e.size()) {
                            __builtin_prefetch(&count[offset(e[k + kLookahead])]);
                            __builtin_prefetch(&count[offset(e[k + kLookahead + 1])]);
                        }
                        const std::uint64_t u = offset(e[k]), v = offset(e[k + 1]);
                        add(e[k], u);
                        if (v != u) add(e[k + 1], v);
                    }
                }
            }
        });
        for (Segment& part : parts) {
            const std::vector<NodeId>& listed = part.first_seen;
            for (std::size_t k = 0; k < listed.size(); ++k) {
                stop.check_every(k, kCheckEvery);
                if (k + kLookahead < listed.size()) prefetch(listed[k + kLookahead]);
                index(listed[k], stop);  // numbers it unless an earlier segment did
            }
            std::vector<NodeId>().swap(part.first_seen);
        }
        counts.resize(base + fresh_ids.size(), 0);
        for_range_checked(stop, slots, kMapGrain, kCheckEvery, [&](std::size_t first, std::size_t last) {
            for (std::size_t at = first; at < last; ++at) {
                std::uint64_t sum = 0;
                for (const Segment& part : parts) sum += part.count[at];
                if (sum != 0) counts[slot[at]] = static_cast<std::uint32_t>(sum);  // at most kMaxCountSegments * kWrap
            }
        });
        for (const Segment& part : parts) {
            for (const auto& [at, wraps] : part.wraps) {
                std::uint32_t& c = counts[slot[at]];
                c = static_cast<std::uint32_t>(std::min<std::uint64_t>(c + kWrap * wraps, UINT32_MAX));
            }
        }
        numbered = true;
        return true;
    }
    // Numbers the ids of ends (u then v) that are not self-loops, in order of their first
    // appearance, ahead of the chunks that will bring them (direct tables only). A bit per slot
    // marks the ids known to have an index, so that only an id's first sight reads the table, a
    // thirty-second of its size.
    void number_ahead(std::span<const std::uint32_t> ends, const Interrupt& stop) {
        if (known_bits.empty()) known_bits.assign((width >> 6) + 1, 0);
        const auto known_bit = [&](std::uint64_t at) { return (known_bits[at >> 6] >> (at & 63)) & 1; };
        for (std::size_t k = 0; k + 1 < ends.size(); k += 2) {
            stop.check_every(k, 2 * kCheckEvery);
            // The slots of ids not yet seen a few pairs on: a new id's slot is a miss otherwise.
            if (k + 2 * kLookahead + 1 < ends.size()) {
                for (std::size_t j = k + 2 * kLookahead; j < k + 2 * kLookahead + 2; ++j) {
                    const std::uint64_t ahead = offset(static_cast<NodeId>(ends[j]));
                    if (known_bit(ahead) == 0) __builtin_prefetch(&slot[ahead], 1);
                }
            }
            if (ends[k] == ends[k + 1]) continue;
            for (const std::uint32_t id : {ends[k], ends[k + 1]}) {
                if (first_mark(known_bits, offset(static_cast<NodeId>(id)))) index(static_cast<NodeId>(id), stop);
            }
        }
        numbered = true;
    }
    // Sets bit `at` of bits; whether it was clear.
    static bool first_mark(std::vector<std::uint64_t>& bits, std::uint64_t at) noexcept {
        std::uint64_t& word = bits[at >> 6];
        const std::uint64_t bit = std::uint64_t{1} << (at & 63);
        if ((word & bit) != 0) return false;
        word |= bit;
        return true;
    }
    void number_in_order(std::span<const NodeId> ends, Index* out, const Interrupt& stop) {
        for (std::size_t i = 0; i < ends.size(); ++i) {
            stop.check_every(i, kCheckEvery);
            if (i + kLookahead < ends.size()) prefetch(ends[i + kLookahead]);
            out[i] = index(ends[i], stop);
        }
    }
    Index number_new(NodeId id) {
        if (base + fresh_ids.size() >= kMaxNodes) check_node_limit(base + fresh_ids.size() + 1);
        fresh_ids.push_back(id);
        return static_cast<Index>(base + fresh_ids.size() - 1);
    }

    const Graph& graph;
    const std::uint64_t base;      // node count when the batch started
    bool numbered = false;          // every id of the batch has its index (number_ahead: nearly every)
    std::uint64_t placed = 0;       // new ids that have become nodes, the first of fresh_ids
    std::vector<NodeId> fresh_ids;  // new ids, in order of first appearance
    bool direct;
    NodeId low;
    std::uint64_t width;
    BigVector<Index> slot;  // the direct table: offset(id) -> index
    NodeIndex fresh{NodeIndex::NoGlances{}};  // otherwise: new id -> index
    // number()'s working arrays for the second half of a run, kept from one call to the next: the
    // generator numbers every chunk through the same table, and arrays sized afresh each time were
    // mapped and faulted in anew for every chunk.
    std::vector<std::uint64_t> seen;  // a bit per slot: the id is listed
    std::vector<NodeId> tail_ids;     // ids in order of first appearance in the half
    std::vector<std::uint64_t> known_bits;  // number_ahead(): a bit per slot, the id has an index
};

// A chunked load's working arrays, kept from one chunk to the next: arrays this large are mapped
// afresh on every allocation, and the kernel zeroes every page of them again, which took a
// sizeable share of a large load.
struct Graph::Pending::Scratch {
    // The dense index of every endpoint of the chunk; sized without zeroing, as every element is
    // written, so that the numbering's threads take the page faults.
    std::vector<Index, UninitAllocator<Index>> mapped;
    Grouped grouped;
    // Each node's room in the slab of a chunk (see add_edges_batched).
    BigVector<std::uint8_t> rooms;
    // The generator's ids, numbered through one flat table for all its chunks (ahead of them when
    // it counts its attempts first): building the table afresh for each chunk rewrote it for every
    // node already stored.
    std::unique_ptr<BatchIds> ids;
};

Graph::Pending::Scratch& Graph::Pending::scratch_or(Scratch& own) {
    if (key == Key::None) return own;
    if (!scratch) scratch = std::make_shared<Scratch>();
    return *scratch;
}

std::uint64_t Graph::number_ahead(Pending& pending, std::uint64_t range, std::span<const std::uint32_t> ends,
                                  std::uint64_t endpoints, const Interrupt& stop) {
    Pending::Scratch unused;  // the key is Pending::Key::Id: the load's own scratch
    std::unique_ptr<BatchIds>& ids = pending.scratch_or(unused).ids;
    if (!ids) ids = std::make_unique<BatchIds>(*this, IdBounds{0, static_cast<NodeId>(range - 1)}, endpoints, stop);
    if (!ids->direct) return 0;
    ids->number_ahead(ends, stop);
    return ids->fresh_ids.size();
}

void Graph::insert_edges(std::span<const NodeId> ends, EndArray* owner, EndSource* source,
                         const Interrupt& stop) {
    Pending none;
    const std::size_t usable = (source != nullptr ? source->size() : ends.size()) & ~std::size_t{1};
    if (usable == 0) return;
    stop.expect(usable / 2);
    const std::size_t step = 2 * load_chunk_edges(usable / 2);
    if (source != nullptr && (usable * kBatchStoreRatio < node_count() || step >= usable)) {
        // Not a load in chunks: read whole, into the array that then groups the load's entries
        // (owned, so the load takes it over), so reading it costs no memory of its own.
        EndArray all(usable);
        if (source->parallel_reads()) {
            for_range_checked(stop, usable / 2, kMapGrain, kMapGrain, [&](std::size_t first, std::size_t last) {
                source->read(2 * first, std::span<NodeId>(all).subspan(2 * first, 2 * (last - first)));
            });
        } else {
            source->read(0, all);
        }
        return insert_edges(all, &all, nullptr, stop);
    }
    if (usable * kBatchStoreRatio < node_count() || (step >= usable && owner == nullptr))
        return insert_chunk(ends.first(usable), none, stop);
    ends = ends.first(usable);
    BatchIds ids = source != nullptr ? BatchIds(*this, {source->low(), source->high()}, usable, stop)
                                     : BatchIds(*this, ends, stop);
    // A stretch of the ends: where it lies, or read from the source into `read`.
    std::vector<NodeId> read(source != nullptr ? kMapGrain : 0);
    auto ends_at = [&](std::size_t first, std::size_t size) -> std::span<const NodeId> {
        if (source == nullptr) return ends.subspan(first, size);
        source->read(first, {read.data(), size});
        return {read.data(), size};
    };
    // The index of every endpoint, when the input is ours to free as it is read: from then on the
    // load holds 4 bytes per endpoint instead of 8.
    // Left uninitialised, so its pages come in only as the input's go out.
    std::unique_ptr<Index[]> mapped(owner != nullptr && step < usable ? new Index[usable] : nullptr);
    auto free_input = [&] {
        EndArray().swap(*owner);
        ends = {};
    };
    if (step >= usable) {
        // At once: the batch maps its ends itself, into working memory it frees before it makes
        // room for the new entries, when the graph grows most.
        return add_edges_batched(ends, {}, ids, none, stop, owner);
    }
    // In chunks: number every new id and count every node's entries in the whole batch first, a
    // block of endpoints at a time: map the block, then count it with the counters' misses
    // overlapped.
    Pending pending{Pending::Key::Index, BigVector<std::uint32_t>(ids.base, 0), {}, {}, false};
    RecordAllOnExit record_all_on_exit{*this, pending};
    BigVector<std::uint32_t>& counts = pending.counts;
    // An input the load does not own, read in place or by any thread, is numbered and counted in
    // parallel where it can be; one it owns is mapped as it is read, below, so that it can be freed.
    const bool counted =
        owner == nullptr && (source == nullptr || source->parallel_reads()) &&
        ids.number_and_count(
            usable,
            [&](std::size_t first, std::size_t size, std::vector<NodeId>& buffer) -> std::span<const NodeId> {
                if (source == nullptr) return ends.subspan(first, size);
                source->read(first, {buffer.data(), size});
                return {buffer.data(), size};
            },
            counts, stop);
    std::vector<Index> own_block(owner != nullptr || counted ? 0 : kMapGrain);
    for (std::size_t first = 0; first < usable && !counted; first += kMapGrain) {
        const std::size_t size = std::min(kMapGrain, usable - first);  // even: kMapGrain is
        Index* block = owner != nullptr ? mapped.get() + first : own_block.data();
        ids.number(ends_at(first, size), block, stop);
        counts.resize(ids.base + ids.fresh_ids.size(), 0);  // the block's new ids
        for (std::size_t k = 0; k < size; k += 2) {
            if (k + kLookahead < size) {
                __builtin_prefetch(&counts[block[k + kLookahead]]);
                __builtin_prefetch(&counts[block[k + kLookahead + 1]]);
            }
            const Index u = block[k], v = block[k + 1];
            pending.add(u);
            if (v != u) pending.add(v);
        }
        if (owner != nullptr && (first + size) % kReleaseEvery == 0)
            release_range(ends.subspan(first + size - kReleaseEvery, kReleaseEvery));
    }
    ids.numbered = true;
    if (owner != nullptr) free_input();
    // Room for every node of the batch at once: grown chunk by chunk, the node arrays would double
    // past their final size, and hold both copies while they move.
    if (!ids.fresh_ids.empty()) {
        const IdBounds fresh = id_bounds(ids.fresh_ids);
        reserve_nodes(ids.base + ids.fresh_ids.size(), fresh.low, fresh.high, stop, NodeIndex::Fill::Shared);
    }
    std::vector<Index> chunk_mapped;  // a source's chunk, mapped
    for (std::size_t first = 0; first < usable; first += step) {
        const std::size_t size = std::min(step, usable - first);
        if (source != nullptr) {
            // Mapped here, as the source is read: every id was numbered above, unless the source
            // has changed since.
            chunk_mapped.resize(size);
            for (std::size_t at = 0; at < size; at += kMapGrain) {
                stop.check();
                if (!ids.known(ends_at(first + at, std::min(kMapGrain, size - at)), chunk_mapped.data() + at))
                    throw SourceChanged();
            }
            add_edges_batched({}, chunk_mapped, ids, pending, stop);
        } else if (owner == nullptr) {
            add_edges_batched(ends.subspan(first, size), {}, ids, pending, stop);
        } else {
            const std::span<const Index> chunk(mapped.get() + first, size);
            add_edges_batched({}, chunk, ids, pending, stop);
            release_range(chunk);
        }
        stop.advance(size / 2);
    }
}

void Graph::insert_chunk(std::span<const NodeId> ends, Pending& pending, const Interrupt& stop,
                         EndArray* owner) {
    const std::size_t usable = ends.size() & ~std::size_t{1};
    if (usable == 0) return;
    ends = ends.first(usable);
    if (usable * kBatchStoreRatio >= node_count()) {
        if (pending.key != Pending::Key::Id) {
            BatchIds ids(*this, ends, stop);
            return add_edges_batched(ends, {}, ids, pending, stop, owner);
        }
        // The generator's chunks: its table serves every chunk whose ids it spans, as long as the
        // nodes it placed are all the store has (an edge-by-edge chunk may have added others).
        Pending::Scratch own;
        std::unique_ptr<BatchIds>& ids = pending.scratch_or(own).ids;
        const IdBounds bounds = id_bounds(ends);
        if (!ids || !ids->direct || !ids->spans(bounds.low, bounds.high) || ids->base + ids->placed != node_count())
            ids = std::make_unique<BatchIds>(*this, ends, stop);
        return add_edges_batched(ends, {}, *ids, pending, stop);
    }
    for (std::size_t i = 0; i < usable; i += 2) {
        stop.check_every(i, 2 * kCheckEvery);
        insert_edge(ends[i], ends[i + 1]);
    }
}

void Graph::record_every_node() noexcept {
    const std::uint64_t n = node_count();
    for (std::uint64_t v = 0; v < n; ++v) {
        if (v + kLookahead < n) index_.prefetch_record(ids_[v + kLookahead]);
        index_.record(ids_[v], nbrs_[v]);
    }
}

void Graph::record_all(Pending& pending) noexcept {
    if (!pending.records_stale) return;
    record_every_node();
    pending.records_stale = false;
}

void Graph::add_edges_batched(std::span<const NodeId> ends, std::span<const Index> mapped_ends, BatchIds& ids,
                              Pending& pending, const Interrupt& stop, EndArray* owner) {
    const std::uint64_t base = node_count();

    // Pass 1: the dense index of every endpoint, unless the caller has it already; the nodes up to
    // the highest are the ones this chunk needs (new ids are numbered in order of appearance). Ids
    // already numbered for the whole batch are looked up in parallel.
    std::uint64_t total = base;
    // A batch loaded at once frees its mapped endpoints before pass 3, like the rest of its working
    // memory at the end; the chunks of a larger one share theirs.
    Pending::Scratch own;
    // A chunk of a larger load leaves its degrees and glances to record_all().
    const bool defer = pending.key != Pending::Key::None;
    pending.records_stale |= defer;
    Pending::Scratch& scratch = pending.scratch_or(own);
    // The nodes the whole load may reach, when its ids were all numbered before its first chunk.
    const std::uint64_t expected_nodes = ids.numbered ? ids.base + ids.fresh_ids.size() : 0;
    const Grouped& grouped = [&]() -> const Grouped& {
        auto& mapped = scratch.mapped;
        if (mapped_ends.empty()) {
            mapped.resize(ends.size());
            // Ids numbered ahead are looked up in parallel; should any be missing (the generator's
            // attempts past those it numbered ahead), the chunk is numbered in order after all.
            std::atomic<bool> all_known{ids.numbered};
            if (ids.numbered) {
                for_range_checked(stop, ends.size(), kMapGrain, kCheckEvery, [&](std::size_t first, std::size_t last) {
                    if (!ids.known(ends.subspan(first, last - first), mapped.data() + first))
                        all_known.store(false, std::memory_order_relaxed);
                });
            }
            if (!all_known.load(std::memory_order_relaxed)) ids.number(ends, mapped.data(), stop);
            mapped_ends = mapped;
        }
        Index top = 0;  // a plain loop: std::max_element's branch per endpoint is far slower
        for (const Index x : mapped_ends) top = std::max(top, x);
        total = std::max<std::uint64_t>(total, std::uint64_t{top} + 1);
        // Pass 2: the neighbour entries grouped by node, stably, into the input's own array when it
        // is ours and read by now. The input is then gone whatever happens next.
        if (owner != nullptr && &scratch == &own) {
            own.grouped.spare = std::move(*owner);
            ends = {};
        }
        group_by_node(mapped_ends, total, expected_nodes, scratch.grouped, stop);
        if (&scratch == &own) decltype(own.mapped)().swap(own.mapped);
        return scratch.grouped;
    }();
    const std::span<const NodeId> fresh_ids =
        std::span<const NodeId>(ids.fresh_ids).subspan(base - ids.base, total - base);
    const IdBounds bounds = id_bounds(fresh_ids);
    reserve_nodes(total, bounds.low, bounds.high, stop, NodeIndex::Fill::Shared);
    const std::uint64_t* entries = grouped.entries;
    const auto& start = grouped.start;

    // Pass 3: room for every group, or a set rebuilt aside. A set is given room for all of its
    // entries still to come in the batch (pending), when the batch goes in chunks. A self-loop
    // entry counts twice so that the sums are twice the number of new edges.
    const std::uint64_t fresh = fresh_ids.size();
    auto group_size = [&](std::uint64_t v) { return start[v + 1] - start[v]; };
    // A node's entries, as a span held in registers: read through the captures, the compiler
    // reloaded both arrays' addresses after every insertion (a set's stores might have moved them).
    auto group_of = [&](std::uint64_t v) { return std::span<const std::uint64_t>(entries + start[v], group_size(v)); };
    const std::uint64_t by_index = pending.by_index.size();
    const bool extend_by_index = pending.key == Pending::Key::Id && by_index == base;
    auto count_by_id = [&](std::uint64_t v) -> std::uint32_t* {
        const auto id = static_cast<std::uint64_t>(v < base ? ids_[v] : fresh_ids[v - base]);
        return id < pending.counts.size() ? &pending.counts[id] : nullptr;
    };
    auto pending_count = [&](std::uint64_t v) -> std::uint32_t* {
        switch (pending.key) {
            case Pending::Key::Index: return &pending.counts[v];
            case Pending::Key::Id: return v < by_index ? &pending.by_index[v] : count_by_id(v);
            case Pending::Key::None: break;
        }
        return nullptr;
    };
    // Starts loading the pending count of the node kLookahead ahead of v: a generator's chunk finds
    // them at random (they are kept by id, the nodes go in index order), and the two passes below
    // that read every node's count spent most of a large build waiting for them. The prefetch is
    // written where it is used: in a helper of its own it would count as a call without effect.
    auto pending_ahead = [&](std::uint64_t v) -> const std::uint32_t* {
        return v + kLookahead < total ? pending_count(v + kLookahead) : nullptr;
    };
    auto room_wanted = [&](std::uint64_t v) -> std::uint64_t {
        const std::uint32_t* count = pending_count(v);
        return count != nullptr ? std::max<std::uint64_t>(*count, group_size(v)) : group_size(v);
    };
    auto insert_group = [&](NeighbourSet& set, std::uint64_t v) {  // one by one, growing as needed
        set.reserve_list(static_cast<std::uint32_t>(std::min<std::uint64_t>(set.size() + room_wanted(v), UINT32_MAX)));
        std::uint64_t added = 0;
        for (const std::uint64_t entry : group_of(v)) {
            const auto w = static_cast<Index>(entry);
            if (set.contains(w)) continue;
            set.reserve_one();
            set.insert_new(w);
            added += w == v ? 2 : 1;
        }
        return added;
    };
    // A set still inline that becomes a list here takes its array from one slab for the whole
    // batch rather than from an allocation of its own: no per-set allocator overhead, huge pages,
    // and the arrays in node order. The list's capacity is exactly what the set's own allocation
    // would have had, so the layout, and with it every order, is the same. Runs of kSlabRun nodes
    // carve from consecutive offsets. An old set adopts its array only at the commit, so a
    // failure before it leaves old sets untouched and frees the slab.
    auto slab_room = [&](std::uint64_t v) -> std::uint32_t {
        const std::uint64_t group = group_size(v);
        if (group == 0 || (v < base && !nbrs_[v].is_inline())) return 0;
        const std::uint64_t size = v < base ? nbrs_[v].size() : 0;
        if (size + group > NeighbourSet::kListCapacity) return 0;  // may become a table
        const std::uint64_t room = std::min<std::uint64_t>(size + room_wanted(v), NeighbourSet::kListCapacity);
        return room > NeighbourSet::kInlineCapacity ? static_cast<std::uint32_t>(room) : 0;
    };
    // Each node's room is worked out once (it reads the node's pending count, at random) and kept
    // in a byte: at most kListCapacity.
    static_assert(NeighbourSet::kListCapacity <= UINT8_MAX);
    const std::size_t runs = (total + kSlabRun - 1) / kSlabRun;
    auto run_end = [&](std::size_t r) { return std::min<std::uint64_t>(total, (r + 1) * kSlabRun); };
    std::vector<std::uint64_t> run_offset(runs + 1, 0);
    BigVector<std::uint8_t>& rooms = scratch.rooms;
    size_kept(rooms, total, expected_nodes);
    for_range_checked(stop, runs, 1, 1, [&](std::size_t r, std::size_t) {
        std::uint64_t room = 0;
        for (std::uint64_t v = r * kSlabRun; v < run_end(r); ++v) {
            if (const std::uint32_t* ahead = pending_ahead(v)) __builtin_prefetch(ahead);
            rooms.data()[v] = static_cast<std::uint8_t>(slab_room(v));
            room += rooms.data()[v];
        }
        run_offset[r + 1] = room;
    });
    for (std::size_t r = 0; r < runs; ++r) run_offset[r + 1] += run_offset[r];
    HugeArray<Index> slab(run_offset[runs]);
    if (slab.size() != 0) list_slabs_.reserve(list_slabs_.size() + 1);  // the commit cannot fail
    if (extend_by_index) pending.by_index.reserve(total);
    // Run r of a pass: the sum of body(v, slab room or 0, cursor into the slab) over its nodes.
    auto for_each_run = [&](auto&& body) {
        return [&, body](std::size_t r) {
            Index* cursor = slab.data() + run_offset[r];
            std::uint64_t sum = 0;
            for (std::uint64_t v = r * kSlabRun; v < run_end(r); ++v) {
                if (const std::uint32_t* ahead = pending_ahead(v)) __builtin_prefetch(ahead);
                sum += body(v, rooms.data()[v], cursor);
                cursor += rooms.data()[v];
            }
            return sum;
        };
    };

    // The new nodes' sets are built in place, past the last node: nbrs_ has the room (reserve_nodes()),
    // and they become nodes only when the commit appends their ids. A failure before then drops them.
    nbrs_.resize(total);
    struct DropUnbuilt {
        BigVector<NeighbourSet>& sets;
        std::uint64_t keep;
        ~DropUnbuilt() { sets.resize(keep); }
    } drop_unbuilt{nbrs_, base};
    std::vector<std::pair<Index, NeighbourSet>> copies;  // old sets whose layout changes
    std::mutex copies_mutex;
    std::atomic<std::uint64_t> built_entries{0};
    // A flat index takes each new node as its set is built, without a lock, each id writing only
    // its own slot; a failure before the commit clears those slots again. A hash table takes them
    // one by one at the commit.
    const bool insert_flat = index_.inserts_independently();
    const auto build = for_each_run([&](std::uint64_t v, std::uint32_t room, Index* space) -> std::uint64_t {
        if (insert_flat && v >= base && v + kLookahead < total) index_.prefetch_record(fresh_ids[v + kLookahead - base]);
        if (group_size(v) == 0) return 0;
        if (v >= base) {
            if (room != 0) nbrs_[v].adopt_list(space, room);
            const std::uint64_t added = insert_group(nbrs_[v], v);
            if (insert_flat) index_.insert_independently(fresh_ids[v - base], static_cast<Index>(v), nbrs_[v], !defer);
            return added;
        }
        if (room != 0) return 0;  // adopts its array at the commit
        const std::uint32_t capacity = nbrs_[v].capacity();
        if (nbrs_[v].make_room_in_place(group_size(v), room_wanted(v))) {
            if (!defer && nbrs_[v].capacity() != capacity) index_.record(ids_[v], nbrs_[v]);  // the list moved
            return 0;  // counted at the commit
        }
        NeighbourSet set = nbrs_[v].clone();
        std::uint64_t added = insert_group(set, v);
        std::lock_guard lock(copies_mutex);
        copies.emplace_back(static_cast<Index>(v), std::move(set));
        return added;
    });
    try {
        for_range_checked(stop, runs, 1, 1, [&](std::size_t r, std::size_t) {  // a check every run
            built_entries.fetch_add(build(r), std::memory_order_relaxed);
        });
    } catch (...) {
        if (insert_flat) index_.forget_independently(fresh_ids);
        throw;
    }

    // Commit: nothing below allocates or fails (the loops above have started the pool). The new
    // ids go in at once, within the room reserved; a flat index has them already, a hash table
    // takes them here, one by one.
    ids_.insert(ids_.end(), fresh_ids.begin(), fresh_ids.end());
    ids.placed = total - ids.base;
    drop_unbuilt.keep = total;
    if (fresh != 0) index_.cover(bounds.low, bounds.high);
    for (std::size_t k = 0; !insert_flat && k < fresh; ++k) {
        if (k + kLookahead < fresh) index_.prefetch(fresh_ids[k + kLookahead]);
        index_.insert_new(fresh_ids[k], static_cast<Index>(base + k));
    }
    if (extend_by_index) pending.by_index.resize(total);  // within the room reserved above
    const auto commit = for_each_run([&](std::uint64_t v, std::uint32_t room, Index* space) -> std::uint64_t {
        // The index entries written below are the nodes' ids' (at random): loaded ahead, unless the
        // chunk leaves them to record_all().
        if (!defer && v + kLookahead < total && (!insert_flat || v + kLookahead < base))
            index_.prefetch_record(ids_[v + kLookahead]);
        std::uint32_t* count = group_size(v) != 0 || (extend_by_index && v >= base) ? pending_count(v) : nullptr;
        if (count != nullptr)
            *count -= static_cast<std::uint32_t>(std::min<std::uint64_t>(*count, group_size(v)));
        if (extend_by_index && v >= base) pending.by_index[v] = count != nullptr ? *count : 0;
        if (group_size(v) == 0) return 0;
        std::uint64_t added = 0;
        if (v >= base) {
            if (!insert_flat && !defer) index_.record(ids_[v], nbrs_[v]);
            return 0;
        }
        const std::uint32_t before = nbrs_[v].size();
        if (room != 0) nbrs_[v].adopt_list(space, room);
        NeighbourSet& set = nbrs_[v];
        if (set.has_room_in_place(group_size(v))) {  // else its copy is moved in below
            for (const std::uint64_t entry : group_of(v)) {
                const auto w = static_cast<Index>(entry);
                if (set.insert_in_place(w)) added += w == v ? 2 : 1;
            }
        }
        if (!defer) index_.record_in_place(ids_[v], nbrs_[v], before);  // an adopting set was inline: recorded whole
        return added;
    });
    const std::uint64_t new_entries = built_entries.load(std::memory_order_relaxed) + parallel::parallel_sum(runs, commit);
    if (slab.size() != 0) list_slabs_.push_back(std::move(slab));
    for (auto& [v, set] : copies) {
        nbrs_[v] = std::move(set);
        if (!defer) index_.record(ids_[v], nbrs_[v]);
    }
    edge_count_ += new_entries / 2;
}

}  // namespace qm
