// Building the CSR snapshot: row offsets from the set sizes, then every row copied out of its
// neighbour set and sorted, rows in parallel. Built at most once between mutations.
#include <algorithm>

#include "graph.hpp"
#include "parallel/pool.hpp"

namespace qm {

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
        Index* row = snapshot->targets.data() + snapshot->offsets[i];
        Index* out = row;
        nbrs_[i].for_each([&](Index j) { *out++ = j; });
        std::sort(row, out);
    });
    csr_ = std::move(snapshot);  // only a complete snapshot is ever kept
    return *csr_;
}

}  // namespace qm
