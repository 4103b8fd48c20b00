// Building the CSR snapshot: row offsets from the set sizes, then every row copied out of its
// neighbour set and sorted, rows in parallel. Built at most once between mutations.
#include <algorithm>

#include "graph.hpp"
#include "parallel/pool.hpp"

namespace qm {

namespace {
// Rows up to this long are sorted by rank: each element goes to the place given by how many of the
// row are smaller (a set's elements are distinct, so the places are a permutation). Quadratic, but
// free of branches and vectorised, it is about twice as fast as a comparison sort at the typical
// degrees of sparse graphs, where sorting was most of the snapshot's cost.
constexpr std::uint32_t kRankSortMax = NeighbourSet::kListCapacity;

// Writes set's elements to row, ascending.
void copy_sorted(const NeighbourSet& set, Index* row) {
    const std::uint32_t d = set.size();
    if (d > kRankSortMax) {
        Index* out = row;
        set.for_each([&](Index j) { *out++ = j; });
        std::sort(row, out);
        return;
    }
    Index held[kRankSortMax];
    Index* out = held;
    set.for_each([&](Index j) { *out++ = j; });
    for (std::uint32_t a = 0; a < d; ++a) {
        const Index x = held[a];
        std::uint32_t rank = 0;
        for (std::uint32_t b = 0; b < d; ++b) rank += held[b] < x;
        row[rank] = x;
    }
}
}  // namespace

const CsrSnapshot& Graph::ensure_csr(const Interrupt& stop) {
    if (csr_) return *csr_;
    drop_caches();  // the forward rows, if any: one derived structure at a time
    auto snapshot = std::make_unique<CsrSnapshot>();
    const std::size_t n = ids_.size();
    snapshot->offsets.resize(n + 1);
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        stop.check_every(i, kCheckEvery);
        snapshot->offsets[i] = total;
        total += nbrs_[i].size();
    }
    snapshot->offsets[n] = total;
    snapshot->targets.resize(total);
    // An empty graph's snapshot has no rows to fill; it must not be what starts the worker pool.
    if (n > 0) parallel_for_checked(stop, n, [&](std::size_t i) {
        copy_sorted(nbrs_[i], snapshot->targets.data() + snapshot->offsets[i]);
    });
    csr_ = std::move(snapshot);  // only a complete snapshot is ever kept
    return *csr_;
}

}  // namespace qm
