// Triangles through each node, local clustering coefficients and transitivity.
//
// Method: the forward walk of triangles.cpp (Schank and Wagner, WEA 2005), which meets every
// triangle once, from its lowest-ranked node u, as u -> v -> w; each meeting adds one to the counts
// of u, v and w. A worker keeps u's count in a register and adds v's and w's with relaxed atomic
// increments: integer sums, so the counts are the same whatever the number of workers or their
// order. The forward rows are built when absent and kept, as triangle_count() keeps them.
//
// The clustering coefficient of a node with d neighbours other than itself is 2 t / (d (d - 1)),
// 0 when d < 2; transitivity is 3 x triangles / connected triples = sum(2 t) / sum(d (d - 1)).
// Self-loops take part in neither triangles nor degrees here. Each quotient is of two integers
// exact in a double (below 2^53), so it is rounded once, as Python's own division of ints is.
#include <atomic>

#include "core/analysis/triangle_walk.hpp"
#include "core/store/graph.hpp"

namespace qm {

namespace {

// Adds each triangle met to the counts of its three nodes: u's in a register while the walk stays
// on its row, v's and w's (given by their records) at once.
struct NodeTally {
    std::int64_t* t;
    Index row = kNoIndex;
    std::int64_t at_row = 0;
    template <class Word>
    void close(std::uint64_t closed, Index u, const Word* v, const Word* w) noexcept {
        if (closed == 0) return;
        if (u != row) flush(u);
        ++at_row;
        std::atomic_ref<std::int64_t>(t[v[1]]).fetch_add(1, std::memory_order_relaxed);
        std::atomic_ref<std::int64_t>(t[w[1]]).fetch_add(1, std::memory_order_relaxed);
    }
    void flush(Index next) noexcept {
        if (row != kNoIndex && at_row != 0) std::atomic_ref<std::int64_t>(t[row]).fetch_add(at_row, std::memory_order_relaxed);
        row = next;
        at_row = 0;
    }
    ~NodeTally() { flush(kNoIndex); }
};

}  // namespace

HugeArray<std::int64_t> Graph::node_triangles(const Interrupt& stop) {
    const ForwardRows& f = ensure_forward(stop);
    const std::uint64_t n = node_count();
    HugeArray<std::int64_t> counts(n);
    parallel_for_checked(stop, n, [&](std::size_t i) { counts.data()[i] = 0; });
    std::int64_t* const t = counts.data();
    walk_triangles(f, n, stop, [&] { return NodeTally{t}; });
    return counts;
}

namespace {

// d (d - 1) for a node with d neighbours other than itself.
std::uint64_t pairs_of(std::uint64_t d) noexcept { return d < 2 ? 0 : d * (d - 1); }

}  // namespace

HugeArray<double> Graph::clustering(const Interrupt& stop) {
    const HugeArray<std::int64_t> t = node_triangles(stop);
    const HugeArray<std::uint32_t> d = loopless_degrees(stop);
    HugeArray<double> c(t.size());
    parallel_for_checked(stop, t.size(), [&](std::size_t i) {
        const std::uint64_t pairs = pairs_of(d.data()[i]);
        c.data()[i] = pairs == 0 || t.data()[i] == 0
                          ? 0.0
                          : static_cast<double>(2 * t.data()[i]) / static_cast<double>(pairs);
    });
    return c;
}

double Graph::transitivity(const Interrupt& stop) {
    const HugeArray<std::int64_t> t = node_triangles(stop);
    const HugeArray<std::uint32_t> d = loopless_degrees(stop);
    const std::uint64_t closed = 2 * parallel_sum_checked(stop, t.size(), [&](std::size_t i) {
        return static_cast<std::uint64_t>(t.data()[i]);
    });
    const std::uint64_t triples = parallel_sum_checked(stop, d.size(), [&](std::size_t i) { return pairs_of(d.data()[i]); });
    return closed == 0 ? 0.0 : static_cast<double>(closed) / static_cast<double>(triples);
}

}  // namespace qm
