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
// per-thread bitmap and testing every member of F(v) against it; where the processor has 8-lane
// vectors and F(u) is short (nearly every row), by comparing each member of F(v) with all of F(u)
// held in registers, which reads nothing but the rows (see triangle_walk.hpp).
// Self-loops never rank above their own node, so they never take part.
//
// The forward rows are built straight from the neighbour sets (no sorted snapshot is needed: neither
// test cares about order), about 4 bytes per edge, and kept until the next mutation.
// Rows are counted in parallel; the total is a sum of integers, so it is the same for any number of
// workers.
#include <atomic>
#include <utility>

#include "core/analysis/triangle_walk.hpp"
#include "core/store/graph.hpp"
#include "parallel/pool.hpp"

namespace qm {

namespace {

// Rows a piece of the forward rows' build covers, and how far ahead of the row it lists it loads
// a set's elements, then the degrees they name.
constexpr std::size_t kBuildGrain = std::size_t{1} << 12;
constexpr std::size_t kElementsAhead = 16;
constexpr std::size_t kDegreesAhead = 8;
constexpr std::uint32_t kPrefetchedSet = 64;

// Calls row(u, f) for each u of [0, n) in parallel pieces, where f(v) is then called for each
// neighbour v of u that ranks above u by (degree, row). The degrees are read from their own array,
// a quarter of the size of the sets, and loaded a few rows ahead.
template <class Row>
void for_each_forward_row(const BigVector<NeighbourSet>& nbrs, const HugeArray<std::uint32_t>& degrees,
                          const Interrupt& stop, Row&& row) {
    const std::size_t n = nbrs.size();
    const std::uint32_t* degree = degrees.data();
    for_range_checked(stop, n, kBuildGrain, kCheckEvery, [&](std::size_t first, std::size_t last) {
        for (std::size_t u = first; u < last; ++u) {
            if (u + kElementsAhead < last) nbrs[u + kElementsAhead].prefetch_elements();
            if (u + kDegreesAhead < last && degree[u + kDegreesAhead] <= kPrefetchedSet)
                nbrs[u + kDegreesAhead].for_each([&](Index v) { __builtin_prefetch(&degree[v]); });
            const std::uint32_t du = degree[u];
            row(u, [&](auto&& f) {
                nbrs[u].for_each([&](Index v) {
                    const std::uint32_t dv = degree[v];
                    if (dv != du ? dv > du : v > u) f(v);
                });
            });
        }
    });
}

std::unique_ptr<ForwardRows> build_forward(const BigVector<NeighbourSet>& nbrs, const Interrupt& stop) {
    const std::uint64_t n = nbrs.size();
    auto fwd = std::make_unique<ForwardRows>();
    HugeArray<std::uint32_t> degree(n);
    parallel_for_checked(stop, n, [&](std::size_t u) { degree.data()[u] = nbrs[u].size(); });
    fwd->offsets = HugeArray<std::uint64_t>(n + 1);
    std::uint64_t* offsets = fwd->offsets.data();
    offsets[0] = 0;
    for_each_forward_row(nbrs, degree, stop, [&](std::size_t u, auto&& forward) {
        std::uint64_t kept = 0;
        forward([&](Index) { ++kept; });
        offsets[u + 1] = kept;
    });
    for (std::uint64_t u = 0; u < n; ++u) offsets[u + 1] += offsets[u];
    fwd->targets = HugeArray<Index>(offsets[n]);
    for_each_forward_row(nbrs, degree, stop, [&](std::size_t u, auto&& forward) {
        Index* out = fwd->targets.data() + offsets[u];
        forward([&](Index v) { *out++ = v; });
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
        void add(std::uint64_t closed) noexcept { found += closed; }
        ~Count() { total.fetch_add(found, std::memory_order_relaxed); }
    };
    std::atomic<std::uint64_t> total{0};
    walk_triangles(f, node_count(), stop, [&] { return Count{total}; });
    return total.load(std::memory_order_relaxed);
}

}  // namespace qm
