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
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "core/base/fault.hpp"
#include "core/store/graph.hpp"

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

// Ranges past this size go edge by edge (see insert_random).
constexpr std::uint64_t kPackableRange = std::uint64_t{1} << 32;
// A call that goes in chunks counts each node's edges beforehand (4 bytes a node) when the range
// has at most this many ids per edge.
constexpr std::uint64_t kHintedRangePerEdge = 2;
// Attempts drawn ahead of their counting, and how far ahead of the counting its counters are loaded.
constexpr std::uint64_t kReplayBlock = 4096;
constexpr std::size_t kReplayLookahead = 32;

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
    if (range > kPackableRange) {
        if (node_count() == 0) {
            // m edges touch at most 2m nodes: never reserve for ids that cannot be reached.
            reserve_nodes(std::min(m >= range / 2 ? range : 2 * m, kMaxNodes), 0, static_cast<NodeId>(range - 1), stop);
        }
        // Edge by edge: an interrupt keeps the edges inserted so far.
        for (std::uint64_t attempt = 0, added = 0; added < m; ++attempt) {
            stop.check_every(attempt, kCheckEvery, added);
            auto u = static_cast<NodeId>(gen.next() % range);
            auto v = static_cast<NodeId>(gen.next() % range);
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
        pending = {Pending::Key::Id, BigVector<std::uint32_t>(range, 0), {}, false};
        // Drawn a block at a time and counted behind the draw with the counters' misses overlapped:
        // counted as drawn, every attempt waited for its two counters.
        XorShift replay = gen;
        BigVector<std::uint32_t>& counts = pending.counts;
        std::vector<std::uint64_t> block(2 * kReplayBlock);
        for (std::uint64_t counted = 0; counted < m;) {
            stop.check();
            const std::size_t size = 2 * static_cast<std::size_t>(std::min<std::uint64_t>(kReplayBlock, m - counted));
            for (std::size_t k = 0; k < size;) {
                const std::uint64_t u = replay.next() % range, v = replay.next() % range;
                if (u == v) continue;
                block[k++] = u;
                block[k++] = v;
            }
            for (std::size_t k = 0; k < size; ++k) {
                if (k + kReplayLookahead < size) __builtin_prefetch(&counts[block[k + kReplayLookahead]]);
                pending.add(block[k]);
            }
            counted += size / 2;
        }
        // Room for the nodes the call will create, made once (see insert_edges()).
        std::uint64_t fresh = 0;
        for (std::uint64_t id = 0; id < range; ++id) {
            stop.check_every(id, kCheckEvery);
            fresh += counts[id] != 0 && !has_node(static_cast<NodeId>(id));
        }
        if (fresh > 0) reserve_nodes(node_count() + fresh, 0, static_cast<NodeId>(range - 1), stop, NodeIndex::Fill::Shared);
    }
    EndArray attempts;
    for (std::uint64_t added = 0; added < m;) {
        const std::uint64_t want = std::min(chunk, m - added);
        attempts.clear();
        attempts.reserve(2 * want);
        while (attempts.size() < 2 * want) {
            stop.check_every(attempts.size(), 2 * kCheckEvery);
            const std::uint64_t u = gen.next() % range, v = gen.next() % range;
            if (u == v) continue;
            attempts.push_back(static_cast<NodeId>(u));
            attempts.push_back(static_cast<NodeId>(v));
        }
        const std::uint64_t before = edge_count_;
        insert_chunk(attempts, pending, stop, &attempts);  // may take the array over
        added += edge_count_ - before;
        stop.advance(edge_count_ - before);
    }
}

}  // namespace qm
