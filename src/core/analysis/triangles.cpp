// Exact triangle count by degree-ordered orientation: the forward algorithm
// of Schank and Wagner ("Finding, Counting and Listing All Triangles in Large Graphs, an
// Experimental Study", WEA 2005), analysed by Latapy ("Main-memory triangle computations for very
// large (sparse (power-law)) graphs", TCS 2008).
//
// Every triangle is counted once, from its lowest-ranked node, where nodes are ranked by
// (degree, row). Each row keeps only its higher-ranked neighbours (its forward row), so a forward
// row never holds more than about sqrt(2m) entries however large the hub: the total work is
// O(m sqrt(m)) instead of the quadratic cost hubs impose on a plain neighbour-list intersection.
// For every forward edge u -> v the count grows by |F(u) ∩ F(v)|, found by marking F(u) in a
// per-thread bitmap (small enough to stay in cache) and testing every member of F(v) against it.
// Self-loops never rank above their own node, so they never take part.
//
// The forward rows are built straight from the neighbour sets (no sorted snapshot is needed: the
// bitmap test does not care about order), about 4 bytes per edge, and kept until the next mutation.
// Rows are counted in parallel; the total is a sum of integers, so it is the same for any number of
// workers.
#include <atomic>
#include <utility>

#include "core/analysis/triangle_walk.hpp"
#include "core/store/graph.hpp"
#include "parallel/pool.hpp"

namespace qm {

namespace {

// Calls f(v) for each neighbour v of u that ranks above u by (degree, row).
template <class F>
void for_each_forward(const BigVector<NeighbourSet>& nbrs, Index u, F&& f) {
    const std::uint64_t du = nbrs[u].size();
    nbrs[u].for_each_prefetched(nbrs.data(), [&](Index v) {
        const std::uint64_t dv = nbrs[v].size();
        if (dv != du ? dv > du : v > u) f(v);
    });
}

std::unique_ptr<ForwardRows> build_forward(const BigVector<NeighbourSet>& nbrs, const Interrupt& stop) {
    const std::uint64_t n = nbrs.size();
    auto fwd = std::make_unique<ForwardRows>();
    fwd->offsets.assign(n + 1, 0);
    parallel_for_checked(stop, n, [&](std::size_t u) {
        std::uint64_t kept = 0;
        for_each_forward(nbrs, static_cast<Index>(u), [&](Index) { ++kept; });
        fwd->offsets[u + 1] = kept;
    });
    for (std::uint64_t u = 0; u < n; ++u) fwd->offsets[u + 1] += fwd->offsets[u];
    fwd->targets.resize(fwd->offsets[n]);
    parallel_for_checked(stop, n, [&](std::size_t u) {
        Index* out = fwd->targets.data() + fwd->offsets[u];
        for_each_forward(nbrs, static_cast<Index>(u), [&](Index v) { *out++ = v; });
    });
    return fwd;
}

}  // namespace

const ForwardRows& Graph::ensure_forward(const Interrupt& stop) {
    if (!forward_) {
        drop_caches();  // one derived structure at a time: the memory goes to this one
        forward_ = build_forward(nbrs_, stop);  // kept only when complete
    }
    return *forward_;
}

std::uint64_t Graph::triangle_count(const Interrupt& stop) {
    const ForwardRows& f = ensure_forward(stop);
    // Each worker counts what its rows close and adds it in once.
    struct Count {
        std::atomic<std::uint64_t>& total;
        std::uint64_t found = 0;
        void close(std::uint64_t closed, Index, Index, Index) noexcept { found += closed; }
        ~Count() { total.fetch_add(found, std::memory_order_relaxed); }
    };
    std::atomic<std::uint64_t> total{0};
    walk_triangles(f, node_count(), stop, [&] { return Count{total}; });
    return total.load(std::memory_order_relaxed);
}

}  // namespace qm
