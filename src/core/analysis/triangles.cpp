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

#include "core/store/graph.hpp"
#include "parallel/pool.hpp"
#include "core/base/shelf.hpp"

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

// Bitmaps over all rows for one count, each lent to one range of rows at a time and clear again
// when it comes back. More are never out at once than there are threads; the bound only caps what
// is kept.
using Marks = BigVector<std::uint64_t>;
using MarkShelf = Shelf<Marks, 64>;

// Rows handed to a worker at a time: enough for the prefetching to run ahead within a range.
constexpr std::size_t kRowGrain = 256;
// Forward entries read between two interrupt checks (a row's cost is the sum of its members'
// forward degrees, which varies too much for a fixed count of rows).
constexpr std::uint64_t kEntriesPerCheck = std::uint64_t{1} << 16;

}  // namespace

std::uint64_t Graph::triangle_count(const Interrupt& stop) {
    if (!forward_) {
        drop_caches();  // one derived structure at a time: the memory goes to this one
        forward_ = build_forward(nbrs_, stop);  // kept only when complete
    }
    const ForwardRows& f = *forward_;
    const std::uint64_t n = node_count();
    const std::uint64_t words = (n + 63) / 64;
    MarkShelf shelf;
    const std::uint64_t* offsets = f.offsets.data();
    const Index* targets = f.targets.data();
    auto row = [&](std::size_t u) { return std::pair{targets + offsets[u], targets + offsets[u + 1]}; };
    std::atomic<std::uint64_t> total{0};
    stop.expect(n);
    parallel::for_range(n, kRowGrain, [&](std::size_t first, std::size_t last) {
        Marks lent = shelf.take();
        if (lent.empty()) lent = Marks(words, 0);
        std::uint64_t* marks = lent.data();
        std::uint64_t found = 0, read = 0;
        for (std::size_t u = first; u < last; ++u) {
            if (read >= kEntriesPerCheck) {
                stop.check();
                read = 0;
            }
            // Reading F(v) for v in F(u) is two cache misses per v (its offset, then its row): ask
            // for the offsets two rows ahead and the rows themselves one row ahead, so the misses
            // of many rows overlap.
            if (u + 2 < last)
                for (auto [p, end] = row(u + 2); p != end; ++p) __builtin_prefetch(&offsets[*p]);
            if (u + 1 < last)
                for (auto [p, end] = row(u + 1); p != end; ++p) __builtin_prefetch(targets + offsets[*p]);
            auto [begin, end] = row(u);
            if (end - begin < 2) continue;  // a triangle needs two forward neighbours of u
            // Mark F(u); every marked w in F(v), for v in F(u), closes the triangle u, v, w.
            for (const Index* p = begin; p != end; ++p) marks[*p / 64] |= std::uint64_t{1} << (*p % 64);
            for (const Index* p = begin; p != end; ++p) {
                auto [w, w_end] = row(*p);
                read += static_cast<std::uint64_t>(w_end - w) + 1;
                for (; w != w_end; ++w) found += (marks[*w / 64] >> (*w % 64)) & 1;
            }
            for (const Index* p = begin; p != end; ++p) marks[*p / 64] = 0;
        }
        shelf.give(std::move(lent));  // not reached after a throw: that bitmap is simply freed
        total.fetch_add(found, std::memory_order_relaxed);
        stop.advance(last - first);
    });
    return total.load(std::memory_order_relaxed);
}

}  // namespace qm
