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
#include <array>
#include <atomic>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "core/base/fault.hpp"
#include "core/store/graph.hpp"
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

// x % d for a divisor fixed in advance, by multiplication (Lemire, Kaser and Kurz, "Faster
// remainder by direct computation", 2019): exact for every 64-bit x and every d > 0 (for d = 1 the
// multiplier wraps to 0, which gives 0), in a few multiplications where a division takes tens of
// cycles, and the divisions were most of drawing.
class Remainder {
   public:
    explicit Remainder(std::uint64_t d) noexcept : d_(d), m_(~Wide{0} / d + 1) {}
    std::uint64_t operator()(std::uint64_t x) const noexcept {
        const Wide low = m_ * x;
        const Wide bottom = (Wide{static_cast<std::uint64_t>(low)} * d_) >> 64;
        const Wide top = (low >> 64) * d_;
        return static_cast<std::uint64_t>((bottom + top) >> 64);
    }

   private:
    std::uint64_t d_;
    Wide m_;
};

// A number of generator steps taken at once. A step is linear over GF(2), so k of them are a 64x64
// bit matrix, kept as its columns: column i is where k steps take the state 1 << i.
class Jump {
   public:
    explicit Jump(std::uint64_t steps) noexcept {
        for (int i = 0; i < 64; ++i) column_[i] = std::uint64_t{1} << i;
        Jump power;
        for (int i = 0; i < 64; ++i) power.column_[i] = XorShift{std::uint64_t{1} << i}.next();
        for (; steps != 0; steps >>= 1) {
            if ((steps & 1) != 0) *this = power.after(*this);
            power = power.after(power);
        }
    }
    std::uint64_t apply(std::uint64_t state) const noexcept {
        std::uint64_t out = 0;
        for (int i = 0; i < 64; ++i) out ^= column_[i] & (0 - ((state >> i) & 1));
        return out;
    }

   private:
    Jump() = default;
    // This map applied after `first`.
    Jump after(const Jump& first) const noexcept {
        Jump out;
        for (int i = 0; i < 64; ++i) out.column_[i] = apply(first.column_[i]);
        return out;
    }
    std::array<std::uint64_t, 64> column_{};
};

// Attempts drawn by one piece of parallel work.
constexpr std::uint64_t kDrawPiece = std::uint64_t{1} << 16;

// Draws the next `count` attempts of gen, self-loops included, into out (u then v: 2 * count
// values), leaving gen past them all, exactly as drawing them one by one would. Pieces of
// kDrawPiece attempts are drawn in parallel, each from gen's state jumped past the pieces before
// it. Returns how many of the attempts are self-loops.
template <class T>
std::uint64_t draw_attempts(XorShift& gen, const Remainder& mod, std::uint64_t count, T* out, const Interrupt& stop) {
    static const Jump piece_jump(2 * kDrawPiece);
    const std::uint64_t pieces = (count + kDrawPiece - 1) / kDrawPiece;
    std::vector<std::uint64_t> starts(pieces + 1);
    starts[0] = gen.state;
    for (std::uint64_t p = 0; p + 1 < pieces; ++p) starts[p + 1] = piece_jump.apply(starts[p]);
    std::atomic<std::uint64_t> loops{0};
    for_range_checked(stop, pieces, 1, 1, [&](std::size_t p, std::size_t) {
        XorShift piece{starts[p]};
        std::uint64_t own_loops = 0;
        for (std::uint64_t a = p * kDrawPiece; a < std::min(count, (p + 1) * kDrawPiece); ++a) {
            const std::uint64_t u = mod(piece.next()), v = mod(piece.next());
            out[2 * a] = static_cast<T>(u);
            out[2 * a + 1] = static_cast<T>(v);
            own_loops += u == v;
        }
        if (p + 1 == pieces) starts[pieces] = piece.state;
        loops.fetch_add(own_loops, std::memory_order_relaxed);
    });
    if (pieces != 0) gen.state = starts[pieces];
    return loops.load(std::memory_order_relaxed);
}

// Every edge occupies at least one 32-bit entry in each of its two neighbour sets.
constexpr std::uint64_t kMinBytesPerEdge = 2 * sizeof(Index);

// Ranges past this size go edge by edge (see insert_random).
constexpr std::uint64_t kPackableRange = std::uint64_t{1} << 32;
// A call that goes in chunks counts each node's edges beforehand (4 bytes a node) when the range
// has at most this many ids per edge.
constexpr std::uint64_t kHintedRangePerEdge = 2;
// Attempts drawn at once ahead of their counting, and how far ahead of the counting its counters
// are loaded.
constexpr std::uint64_t kReplayBlock = std::uint64_t{1} << 20;
constexpr std::size_t kReplayLookahead = 16;
// The slices a block of attempts is counted in, beside the numbering of its ids.
constexpr std::size_t kCountSlices = 16;

}  // namespace

void Graph::build_random(std::int64_t n, std::uint64_t m, std::uint64_t seed, const Interrupt& stop) {
    mutate([&] { insert_random(n, m, seed, stop); });
}

void Graph::insert_random(std::int64_t n, std::uint64_t m, std::uint64_t seed, const Interrupt& stop) {
    if (n < 0) throw InvalidArgument("build_random() needs n >= 0, got " + std::to_string(n));
    if (m == 0) return;
    stop.expect(m);
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
    const Remainder mod(range);
    if (range > kPackableRange) {
        if (node_count() == 0) {
            // m edges touch at most 2m nodes: never reserve for ids that cannot be reached.
            reserve_nodes(std::min(m >= range / 2 ? range : 2 * m, kMaxNodes), 0, static_cast<NodeId>(range - 1), stop);
        }
        // Edge by edge: an interrupt keeps the edges inserted so far.
        for (std::uint64_t attempt = 0, added = 0; added < m; ++attempt) {
            stop.check_every(attempt, kCheckEvery, added);
            auto u = static_cast<NodeId>(mod(gen.next()));
            auto v = static_cast<NodeId>(mod(gen.next()));
            if (u != v && insert_edge(u, v)) ++added;
        }
        return;
    }

    // In chunks of at most load_chunk_edges(m) attempts, each inserted in order with
    // insert_chunk(). Inserting an attempt whose pair the store already holds (from before the call
    // or from an earlier attempt) changes nothing, which is exactly its rejection; so inserting the
    // attempts in order, self-loops left out, gives the graph one-by-one drawing would, and the
    // edges a chunk adds are counted from the store. The next chunk takes only as many attempts as
    // edges are still missing, so no attempt past the m-th new edge is ever inserted. A chunk that
    // is large next to the store is loaded all at once, several times faster, and nothing of it
    // changes if memory runs out on the way; a small one goes edge by edge. A failure keeps the
    // chunks before it.
    const std::uint64_t chunk = load_chunk_edges(m);
    Pending pending;
    RecordAllOnExit record_all_on_exit{*this, pending};
    if (chunk < m && range <= kHintedRangePerEdge * m) {
        // Each node's share of the whole call, counted from a replay of the first m attempts that
        // are not self-loops (the few rejections among them are not foreseen), so that the first
        // chunk to reach a node gives its set room for all of it. Only room depends on the count.
        pending = {Pending::Key::Id, BigVector<std::uint32_t>(range, 0), {}, {}, false};
        // Drawn a block at a time; then one thread numbers the block's ids in order of first
        // appearance, which is the order the chunks would number them in (the chunks then only look
        // them up, in parallel), while the others count it in slices, with the counters' misses
        // overlapped. A node is in at most one end of an attempt that counts, so with fewer than
        // UINT32_MAX attempts no count can saturate and the slices simply add; otherwise one slice
        // counts, saturating.
        XorShift replay = gen;
        BigVector<std::uint32_t>& counts = pending.counts;
        std::vector<std::uint32_t> block(2 * kReplayBlock);  // ids below range <= 2^32
        const bool shared = m < UINT32_MAX;
        const std::size_t slices = shared ? kCountSlices : 1;
        std::uint64_t fresh = 0;  // the nodes the call will create, as numbered ahead
        for (std::uint64_t counted = 0; counted < m;) {
            stop.check();
            // Each attempt gives at most one that counts, so none of these is past the m-th.
            const std::uint64_t size = std::min(kReplayBlock, m - counted);
            const std::uint64_t loops = draw_attempts(replay, mod, size, block.data(), stop);
            auto count = [&](std::size_t first, std::size_t last) {
                const std::uint32_t* ends = block.data();
                for (std::size_t a = first; a < last; ++a) {
                    if (a + kReplayLookahead < last) {
                        __builtin_prefetch(&counts[ends[2 * (a + kReplayLookahead)]], 1);
                        __builtin_prefetch(&counts[ends[2 * (a + kReplayLookahead) + 1]], 1);
                    }
                    const std::uint32_t u = ends[2 * a], v = ends[2 * a + 1];
                    if (u == v) continue;
                    for (const std::uint32_t id : {u, v}) {
                        if (shared) {
                            std::atomic_ref<std::uint32_t>(counts[id]).fetch_add(1, std::memory_order_relaxed);
                        } else {
                            pending.add(id);
                        }
                    }
                }
            };
            parallel::for_range(1 + slices, 1, [&](std::size_t first, std::size_t last) {
                for (std::size_t part = first; part < last; ++part) {
                    if (part == 0) {
                        fresh = number_ahead(pending, range, {block.data(), 2 * size}, 2 * m, stop);
                    } else {
                        count(size * (part - 1) / slices, size * part / slices);
                    }
                }
            });
            counted += size - loops;
        }
        // Room for the nodes the call will create, made once (see insert_edges()).
        if (fresh > 0) reserve_nodes(node_count() + fresh, 0, static_cast<NodeId>(range - 1), stop, NodeIndex::Fill::Shared);
    }
    EndArray attempts;
    for (std::uint64_t added = 0; added < m;) {
        const std::uint64_t want = std::min(chunk, m - added);
        // The next `want` attempts drawn at once, their self-loops taken out, then as many more
        // drawn one by one as that left missing.
        attempts.resize(2 * want);
        std::size_t kept = 2 * want;
        if (draw_attempts(gen, mod, want, attempts.data(), stop) != 0) {
            kept = 0;
            for (std::size_t k = 0; k < 2 * want; k += 2) {
                stop.check_every(k, 2 * kCheckEvery);
                if (attempts[k] == attempts[k + 1]) continue;
                attempts[kept++] = attempts[k];
                attempts[kept++] = attempts[k + 1];
            }
        }
        while (kept < 2 * want) {
            stop.check_every(kept, 2 * kCheckEvery);
            const std::uint64_t u = mod(gen.next()), v = mod(gen.next());
            if (u == v) continue;
            attempts[kept++] = static_cast<NodeId>(u);
            attempts[kept++] = static_cast<NodeId>(v);
        }
        const std::uint64_t before = edge_count_;
        insert_chunk(attempts, pending, stop, &attempts);  // may take the array over
        added += edge_count_ - before;
        stop.advance(edge_count_ - before);
    }
}

}  // namespace qm
