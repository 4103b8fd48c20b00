// Whole-graph listings. All of them walk the store in its iteration order (dense order for nodes,
// each set's own order for neighbours), so for one unchanged graph they agree with each other and
// with the rows of the CSR snapshot. An edge is listed once, from its smaller end by signed order.
//
// The array forms fill arrays sized up front; the per-node ones split the nodes among the workers,
// so a large result's pages are first touched, and its entries written, by all of them at once.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include <string>
#include <thread>

#include "core/base/fault.hpp"
#include "core/base/vector_isa.hpp"
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
// What a block of the edge array says of where it ends before it knows, and how often a thread
// waiting for that asks before it lets others run.
constexpr std::uint64_t kUnplaced = UINT64_MAX;
constexpr unsigned kSpinsBeforeYield = 64;

// Entries the edge array's walk copies out of the sets at once, and how far ahead of the entry it
// lists it starts reading a neighbour's id.
constexpr std::size_t kGatherBatch = 2048;
constexpr std::size_t kGatherAhead = 32;
// Sets this short are copied into the batch whole, without a loop per element.
constexpr std::uint32_t kShortSet = 8;

// Entries copied out of the sets, waiting for their neighbours' ids: kShortSet more than a batch,
// the room a short set's whole copy may write past the last entry held.
struct EdgeBatch {
    NodeId us[kGatherBatch + kShortSet];
    Index js[kGatherBatch + kShortSet];
    std::size_t held = 0;

    // Writes the held entries with u <= v as pairs from `next` on and returns the end; empties the
    // batch. Whether u <= v is a coin toss on random ids, so every pair is written and the cursor
    // moved past the kept ones, without a branch: `next` has room for every entry.
    NodeId* list(const NodeId* ids, NodeId* next) noexcept {
        const auto write = [&](std::size_t a) {
            const NodeId u = us[a], v = ids[js[a]];
            next[0] = u;
            next[1] = v;
            next += 2 * static_cast<std::ptrdiff_t>(u <= v);
        };
        std::size_t a = 0;
        for (; a + kGatherAhead < held; ++a) {
            __builtin_prefetch(&ids[js[a + kGatherAhead]]);
            write(a);
        }
        for (; a < held; ++a) write(a);
        held = 0;
        return next;
    }
    // Takes the entries of u's set one by one, listing (and checking `stop`) whenever it is full.
    [[gnu::noinline]] NodeId* add_set(NodeId u, const NeighbourSet& set, const NodeId* ids, NodeId* next,
                                      const Interrupt& stop) {
        set.for_each([&](Index j) {
            if (held >= kGatherBatch) {
                next = list(ids, next);
                stop.check();
            }
            us[held] = u;
            js[held] = j;
            ++held;
        });
        return next;
    }
};

#ifdef QM_AVX2
// The walk of list_block_edges() on AVX2: on a sparse graph, copying sets element by element is a
// mispredicted branch or two per node (sets of random sizes, two layouts). A set of at most
// kShortSet elements kept in one array is copied whole with a masked load, which reads nothing past
// its last element; its node's id is written beside every lane, and the batch takes as many
// entries as the set has.
__attribute__((target("avx2"))) NodeId* batch_short_sets_avx2(const NodeId* ids, const NeighbourSet* sets,
                                                             std::size_t first, std::size_t last, EdgeBatch& batch,
                                                             NodeId* next, const Interrupt& stop) {
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    std::size_t held = batch.held;  // in a register: the vector stores below might alias the member
    for (std::size_t i = first; i < last; ++i) {
        const NodeId u = ids[i];
        const NeighbourSet& set = sets[i];
        const Index* e = set.list_elements();
        const std::uint32_t size = set.size();
        if (e == nullptr || size > kShortSet) [[unlikely]] {
            batch.held = held;
            next = batch.add_set(u, set, ids, next, stop);
            held = batch.held;
            continue;
        }
        if (held >= kGatherBatch) [[unlikely]] {
            batch.held = held;
            next = batch.list(ids, next);
            held = 0;
            stop.check();
        }
        const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(size)), lane);
        const __m256i elements = _mm256_maskload_epi32(reinterpret_cast<const int*>(e), mask);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(batch.js + held), elements);
        const __m256i owner = _mm256_set1_epi64x(u);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(batch.us + held), owner);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(batch.us + held + 4), owner);
        held += size;
    }
    batch.held = held;
    return batch.list(ids, next);
}
#endif

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

NodeId* Graph::list_block_edges(std::size_t first, std::size_t last, NodeId* next, const Interrupt& stop) const {
    // Every entry reads its neighbour's id at random. So the walk gathers: it copies a batch of
    // entries (the listing node's id, the neighbour's index) out of the sets, a sequential read,
    // then reads the batch's ids with the reads kGatherAhead entries on already started. It checks
    // `stop` once a batch: a block's nodes are few, but one of them may be a hub.
    EdgeBatch batch;
#ifdef QM_AVX2
    if (avx2_available()) return batch_short_sets_avx2(ids_.data(), nbrs_.data(), first, last, batch, next, stop);
#endif
    for (std::size_t i = first; i < last; ++i) next = batch.add_set(ids_[i], nbrs_[i], ids_.data(), next, stop);
    return batch.list(ids_.data(), next);
}

EndArray Graph::edge_array(const Interrupt& stop) const {
    // The threads claim blocks of nodes in order, list each into scratch memory of their own (kept
    // from block to block), and copy it to the result as soon as the block before has said where it
    // ends: one pass, with no barrier between blocks. A block's predecessor was claimed earlier by a
    // thread that waits on nothing older still, so every wait ends. Every neighbour's id is read
    // once, and the result's page faults are spread over the threads.
    const std::size_t n = ids_.size();
    const std::size_t blocks = (n + kEdgeBlock - 1) / kEdgeBlock;
    // Written once, in order, and handed over, so from the heap rather than on huge pages of its
    // own: a result the size of the cache's reused there, call after call, and a large one's fresh
    // small pages faulted several times faster than huge ones on a virtual machine.
    EndArray out(2 * edge_count_);
    const std::unique_ptr<std::atomic<std::uint64_t>[]> ends(new std::atomic<std::uint64_t>[blocks]);
    for (std::size_t k = 0; k < blocks; ++k) ends[k].store(kUnplaced, std::memory_order_relaxed);
    std::atomic<std::size_t> next_block{0};
    std::atomic<bool> abandoned{false};  // a block failed: nobody waits for it
    stop.expect(n);
    // As many threads as the pool has workers, one per processor: one more would hold up a block
    // its successors wait for whenever it is not running.
    const std::size_t threads = std::max<std::size_t>(1, parallel::thread_count() - 1);
    parallel::for_range(threads, 1, [&](std::size_t, std::size_t) {
        EndArray scratch;
        try {
            for (std::size_t k; (k = next_block.fetch_add(1, std::memory_order_relaxed)) < blocks;) {
                const std::size_t first = k * kEdgeBlock, last = std::min(n, first + kEdgeBlock);
                std::uint64_t room = 0;
                for (std::size_t i = first; i < last; ++i) room += nbrs_[i].size();
                if (scratch.size() < 2 * room) scratch.resize(2 * room);
                const auto count = static_cast<std::uint64_t>(list_block_edges(first, last, scratch.data(), stop) - scratch.data());
                std::uint64_t begin = 0;
                if (k != 0) {
                    for (unsigned spins = 0; (begin = ends[k - 1].load(std::memory_order_acquire)) == kUnplaced; ++spins) {
                        if (abandoned.load(std::memory_order_relaxed)) return;
                        if (spins >= kSpinsBeforeYield) std::this_thread::yield();
#if defined(__x86_64__)
                        else __builtin_ia32_pause();
#endif
                    }
                }
                // The edge count is what sizes the result: a listing that disagrees with it is a
                // fault, never a write past the end.
                if (count > out.size() - begin) fault("the edge listing found more than " + std::to_string(edge_count_) + " edges");
                ends[k].store(begin + count, std::memory_order_release);
                if (count != 0) std::memcpy(out.data() + begin, scratch.data(), count * sizeof(NodeId));  // out may be null otherwise
                stop.advance(last - first);
            }
        } catch (...) {
            abandoned.store(true, std::memory_order_relaxed);
            throw;
        }
    });
    const std::uint64_t written = blocks == 0 ? 0 : ends[blocks - 1].load(std::memory_order_relaxed);
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

EndArray Graph::id_array(const Interrupt& stop) const {
    EndArray out(ids_.size());
    stop.expect(ids_.size());
    for_range_checked(stop, ids_.size(), kFillGrain, kFillGrain, [&](std::size_t first, std::size_t last) {
        std::memcpy(out.data() + first, ids_.data() + first, (last - first) * sizeof(NodeId));
        stop.advance(last - first);
    });
    return out;
}

EndArray Graph::degree_array(const Interrupt& stop) const {
    EndArray out(ids_.size());
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
