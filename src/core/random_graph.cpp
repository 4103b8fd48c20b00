// The seeded random graph generator: m new edges between ids drawn uniformly from 0..n-1.
//
// Draws come from a 64-bit xorshift generator with shifts (13, 7, 17); a draw is one step followed
// by the state's remainder modulo n. Each attempt draws u then v; a self-loop or an edge that is
// already present is redrawn, so exactly m new edges are added and the result is reproducible
// edge for edge from (graph state, n, m, seed).
//
// A request that can never be met (more edges than there are free node pairs) is refused up front
// instead of redrawing forever.
#include <algorithm>
#include <string>

#include "fault.hpp"
#include "graph.hpp"

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

}  // namespace

void Graph::build_random(std::int64_t n, std::uint64_t m, std::uint64_t seed) {
    if (n < 0) throw InvalidArgument("build_random() needs n >= 0, got " + std::to_string(n));
    if (m == 0) {
        discard_snapshot();
        return;
    }
    if (n == 0) fault("attempt to calculate the remainder with a divisor of zero");

    const auto range = static_cast<std::uint64_t>(n);
    const Wide pairs = Wide{range} * (range - 1) / 2;
    if (Wide{m} + edge_count_ > pairs) {
        // edge_count_ may include edges outside 0..n-1; count the pairs actually taken.
        std::uint64_t taken = 0;
        for (std::size_t i = 0; i < ids_.size(); ++i) {
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
    if (node_count() == 0) {
        // m edges touch at most 2m nodes; never reserve for ids that cannot be drawn or reached.
        std::uint64_t reachable = m >= range / 2 ? range : 2 * m;
        reserve_nodes(std::min(reachable, kMaxNodes));
    }

    XorShift gen{seed <= 1 ? 1 : seed};
    for (std::uint64_t added = 0; added < m;) {
        auto u = static_cast<NodeId>(gen.next() % range);
        auto v = static_cast<NodeId>(gen.next() % range);
        if (u != v && insert_edge(u, v)) ++added;
    }
    discard_snapshot();
}

}  // namespace qm
