// Core numbers: the largest k such that a node belongs to the k-core, the biggest subgraph in which
// every node has at least k neighbours.
//
// Method: bucket peeling in O(n + m) (Batagelj and Zaversnik, "An O(m) Algorithm for Cores
// Decomposition of Networks", 2003). Nodes sit in an array sorted by their current degree, with
// the start of each degree's bucket; taking nodes in that order, each one's core number is its
// degree when it is taken, and every neighbour of higher degree moves one bucket down (a swap with
// the first node of its bucket). Self-loops are left out of the degrees, as they are of every
// analysis of this kind. The order nodes are taken in is fixed by the store's order, so the result
// is the same on every run; it is serial, the peeling being a chain of dependent steps, and reads
// the graph only (a shared borrow suffices).
#include <algorithm>

#include "core/store/graph.hpp"
#include "parallel/pool.hpp"

namespace qm {

HugeArray<std::uint32_t> Graph::loopless_degrees(const Interrupt& stop) const {
    const std::uint64_t n = node_count();
    HugeArray<std::uint32_t> d(n);
    parallel_for_checked(stop, n, [&](std::size_t i) {
        const NeighbourSet& set = nbrs_[i];
        d.data()[i] = set.size() - (set.contains(static_cast<Index>(i)) ? 1 : 0);
    });
    return d;
}

HugeArray<std::int64_t> Graph::core_numbers(const Interrupt& stop) const {
    const std::uint64_t n = node_count();
    HugeArray<std::uint32_t> degree = loopless_degrees(stop);
    std::uint32_t* deg = degree.data();
    const std::uint32_t top = n == 0 ? 0 : *std::max_element(deg, deg + n);
    // bin[k]: where the bucket of degree k starts in `order`; pos[v]: where v is in it.
    std::vector<std::uint64_t> bin(std::size_t{top} + 2, 0);
    for (std::uint64_t v = 0; v < n; ++v) ++bin[deg[v] + 1];
    for (std::size_t k = 1; k < bin.size(); ++k) bin[k] += bin[k - 1];
    HugeArray<Index> order(n), pos(n);
    {
        std::vector<std::uint64_t> next(bin.begin(), bin.end() - 1);
        for (std::uint64_t v = 0; v < n; ++v) {
            pos.data()[v] = static_cast<Index>(next[deg[v]]++);
            order.data()[pos.data()[v]] = static_cast<Index>(v);
        }
    }
    stop.expect(n);
    for (std::uint64_t i = 0; i < n; ++i) {
        stop.check_every(i, kCheckEvery, i);
        const Index v = order.data()[i];
        const std::uint32_t dv = deg[v];
        nbrs_[v].for_each([&](Index u) {
            if (deg[u] <= dv) return;  // also skips v itself
            // u moves to the front of its bucket, which then starts one later: its degree drops.
            const std::uint32_t du = deg[u];
            const Index first = order.data()[bin[du]];
            const Index pu = pos.data()[u];
            if (first != u) {
                order.data()[pu] = first;
                pos.data()[first] = pu;
                order.data()[bin[du]] = u;
                pos.data()[u] = static_cast<Index>(bin[du]);
            }
            ++bin[du];
            --deg[u];
        });
    }
    HugeArray<std::int64_t> core(n);
    parallel_for_checked(stop, n, [&](std::size_t v) { core.data()[v] = deg[v]; });
    return core;
}

}  // namespace qm
