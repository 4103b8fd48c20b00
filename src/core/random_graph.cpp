// The seeded random graph generator: m new edges between ids drawn uniformly from 0..n-1, i.e. the
// G(n, m) model of Erdos and Renyi sampled by rejection, on top of whatever the store already holds.
//
// Draws come from a 64-bit xorshift generator (Marsaglia, "Xorshift RNGs", 2003) with shifts
// (13, 7, 17); a draw is one step followed by the state's remainder modulo n. Each attempt draws u
// then v; a self-loop or an edge that is already present is redrawn, so exactly m new edges are
// added and the result is reproducible edge for edge from (graph state, n, m, seed).
//
// A request that can never be met (more edges than there are free node pairs) is refused up front
// instead of redrawing forever.
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "fault.hpp"
#include "graph.hpp"
#include "parallel/pool.hpp"

namespace qm {

namespace {

constexpr int kShiftA = 13;
constexpr int kShiftB = 7;
constexpr int kShiftC = 17;

struct XorShift {
    std::uint64_t state;
    std::uint64_t next() noexcept {
        state ^= state << kShiftA;
        state ^= state >> kShiftB;
        state ^= state << kShiftC;
        return state;
    }
};

using Wide = unsigned __int128;

// Every edge occupies at least one 32-bit entry in each of its two neighbour sets.
constexpr std::uint64_t kMinBytesPerEdge = 2 * sizeof(Index);

// Ranges up to this size pack an unordered pair {u, v} (u < v < n) into one 64-bit key u * n + v.
constexpr std::uint64_t kPackableRange = std::uint64_t{1} << 32;
// Attempts are drawn in blocks so that the pair-set slots of later attempts can be prefetched
// while earlier ones are decided, and the store looked up for a whole block in parallel; each
// attempt consumes its two draws whatever its outcome.
constexpr std::size_t kBlock = std::size_t{1} << 14;
constexpr std::size_t kLookahead = 16;
// A call that goes in chunks counts each node's edges beforehand (4 bytes a node) when the range
// has at most this many ids per edge.
constexpr std::uint64_t kHintedRangePerEdge = 2;

// The pairs accepted so far in one call: open addressing over packed keys, sized up front for the
// m keys the call can insert, so it never grows and never fills up.
class PairSet {
   public:
    static constexpr std::uint64_t kEmpty = UINT64_MAX;  // u * n + v never reaches it
    // Filled to at most kMaxLoadNum / kMaxLoadDen.
    static constexpr std::uint64_t kMaxLoadNum = 7;
    static constexpr std::uint64_t kMaxLoadDen = 10;
    // Slots filled between two interrupt checks.
    static constexpr std::uint64_t kFillPiece = std::uint64_t{1} << 20;

    PairSet(std::uint64_t most, const Interrupt& stop) {
        std::uint64_t cap = 16;
        while (most * kMaxLoadDen > cap * kMaxLoadNum) cap *= 2;
        slots_.reserve(cap);
        // Filled a piece at a time: for a large request this alone is a noticeable wait.
        while (slots_.size() < cap) {
            stop.check();
            slots_.resize(std::min<std::uint64_t>(cap, slots_.size() + kFillPiece), kEmpty);
        }
        shift_ = 64 - std::countr_zero(cap);
    }
    void prefetch(std::uint64_t key) const noexcept { __builtin_prefetch(&slots_[home(key)]); }
    // The slot holding key, or the empty slot where it belongs.
    std::uint64_t& slot(std::uint64_t key) noexcept {
        const std::uint64_t mask = slots_.size() - 1;
        std::uint64_t s = home(key);
        while (slots_[s] != key && slots_[s] != kEmpty) s = (s + 1) & mask;
        return slots_[s];
    }

   private:
    std::uint64_t home(std::uint64_t key) const noexcept { return (key * kIndexHashMultiplier) >> shift_; }
    std::vector<std::uint64_t> slots_;
    int shift_;
};

}  // namespace

void Graph::build_random(std::int64_t n, std::uint64_t m, std::uint64_t seed, const Interrupt& stop) {
    mutate([&] { insert_random(n, m, seed, stop); });
}

void Graph::insert_random(std::int64_t n, std::uint64_t m, std::uint64_t seed, const Interrupt& stop) {
    if (n < 0) throw InvalidArgument("build_random() needs n >= 0, got " + std::to_string(n));
    if (m == 0) return;
    if (n == 0) fault("attempt to calculate the remainder with a divisor of zero");

    const auto range = static_cast<std::uint64_t>(n);
    const Wide pairs = Wide{range} * (range - 1) / 2;
    if (Wide{m} + edge_count_ > pairs) {
        // edge_count_ may include edges outside 0..n-1; count the pairs actually taken.
        std::uint64_t taken = 0;
        for (std::size_t i = 0; i < ids_.size(); ++i) {
            stop.check_every(i, kCheckEvery);
            NodeId u = ids_[i];
            if (u < 0 || u >= n) continue;
            nbrs_[i].for_each([&](Index j) { taken += ids_[j] > u && ids_[j] < n; });
        }
        if (Wide{m} > pairs - taken) {
            throw InvalidArgument("build_random() cannot add " + std::to_string(m) +
                                  " edges: only " + std::to_string(static_cast<std::uint64_t>(pairs - taken)) +
                                  " pairs of distinct nodes among 0.." + std::to_string(n - 1) +
                                  " are not yet joined");
        }
    }
    // The store needs at least kMinBytesPerEdge for every edge; a request that cannot fit in this
    // machine's memory fails now instead of after filling it.
    const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGE_SIZE);
    if (pages > 0 && page_size > 0 &&
        Wide{m} * kMinBytesPerEdge > Wide{static_cast<std::uint64_t>(pages)} * static_cast<std::uint64_t>(page_size))
        throw std::bad_alloc();

    XorShift gen{seed <= 1 ? 1 : seed};
    if (range > kPackableRange) {
        if (node_count() == 0) {
            // m edges touch at most 2m nodes: never reserve for ids that cannot be reached.
            reserve_nodes(std::min(m >= range / 2 ? range : 2 * m, kMaxNodes), 0, static_cast<NodeId>(range - 1), stop);
        }
        // Edge by edge: an interrupt keeps the edges inserted so far.
        for (std::uint64_t attempt = 0, added = 0; added < m; ++attempt) {
            stop.check_every(attempt, kCheckEvery);
            auto u = static_cast<NodeId>(gen.next() % range);
            auto v = static_cast<NodeId>(gen.next() % range);
            if (u != v && insert_edge(u, v)) ++added;
        }
        return;
    }

    // In chunks of load_chunk_edges(m) accepted edges: decide a chunk's attempts first, reading the
    // store but not changing it, then insert its accepted edges in order with insert_edges(): the
    // same graph as inserting them one by one. A pair is new when the store does not hold it (the
    // store includes the earlier chunks) and the chunk has not accepted it already, which is the
    // same decision as one pass over all m. A chunk that is large next to the store is loaded all
    // at once, several times faster, and nothing of it changes if memory runs out on the way; a
    // small batch goes edge by edge. A failure keeps the chunks before it.
    const std::uint64_t chunk = load_chunk_edges(m);
    Pending pending;
    if (chunk < m && range <= kHintedRangePerEdge * m) {
        // Each node's share of the whole call, counted from a replay of the draws (self-loops
        // skipped, rejections not foreseen), so that the first chunk to reach a node gives its set
        // room for all of it. Only room depends on the count.
        pending = {Pending::Key::Id, std::vector<std::uint32_t>(range, 0)};
        XorShift replay = gen;
        std::vector<std::uint32_t>& counts = pending.counts;
        for (std::uint64_t counted = 0; counted < m; ++counted) {
            stop.check_every(counted, kCheckEvery);
            std::uint64_t u, v;
            do {
                u = replay.next() % range;
                v = replay.next() % range;
            } while (u == v);
            counts[u] += counts[u] != UINT32_MAX;
            counts[v] += counts[v] != UINT32_MAX;
        }
    }
    std::vector<NodeId> accepted;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> block(kBlock);
    std::vector<Answer> stored(kBlock);
    std::size_t next = kBlock;  // the first attempt of `block` not yet decided
    auto key = [range](std::pair<std::uint64_t, std::uint64_t> p) {
        return p.first < p.second ? p.first * range + p.second : p.second * range + p.first;
    };
    for (std::uint64_t added = 0; added < m;) {
        const std::uint64_t want = std::min(chunk, m - added);
        accepted.clear();
        accepted.reserve(2 * want);
        {
            PairSet drawn(want, stop);  // holds this chunk's accepted pairs only: at most `want`
            const bool check_store = node_count() > 0;
            while (accepted.size() < 2 * want) {
                if (next == kBlock) {
                    stop.check();
                    for (auto& p : block) {
                        p.first = gen.next() % range;
                        p.second = gen.next() % range;
                    }
                    if (check_store) {
                        parallel::parallel_for(kBlock, [&](std::size_t b) {
                            auto [u, v] = block[b];
                            stored[b] = has_edge(static_cast<NodeId>(u), static_cast<NodeId>(v)) ? Answer::Yes : Answer::No;
                        });
                    }
                    next = 0;
                }
                for (; next < kBlock && accepted.size() < 2 * want; ++next) {
                    if (next + kLookahead < kBlock) drawn.prefetch(key(block[next + kLookahead]));
                    auto [u, v] = block[next];
                    if (u == v) continue;
                    if (check_store && stored[next] == Answer::Yes) continue;
                    std::uint64_t& slot = drawn.slot(key(block[next]));
                    if (slot != PairSet::kEmpty) continue;  // accepted earlier in this chunk
                    slot = key(block[next]);
                    accepted.push_back(static_cast<NodeId>(u));
                    accepted.push_back(static_cast<NodeId>(v));
                }
            }
        }
        insert_chunk(accepted, pending, stop);
        added += want;
    }
}

}  // namespace qm
