// Building the CSR snapshot: one pass over the store in dense order, each row copied out of its
// neighbour set and sorted. Built at most once between mutations.
#include <algorithm>

#include "graph.hpp"

namespace qm {

const CsrSnapshot& Graph::ensure_csr() {
    if (csr_) return *csr_;
    auto snapshot = std::make_unique<CsrSnapshot>();
    const std::size_t n = ids_.size();
    snapshot->offsets.resize(n + 1);
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        snapshot->offsets[i] = total;
        total += nbrs_[i].size();
    }
    snapshot->offsets[n] = total;
    snapshot->targets.resize(total);
    for (std::size_t i = 0; i < n; ++i) {
        Index* row = snapshot->targets.data() + snapshot->offsets[i];
        Index* out = row;
        nbrs_[i].for_each([&](Index j) { *out++ = j; });
        std::sort(row, out);
    }
    csr_ = std::move(snapshot);
    return *csr_;
}

}  // namespace qm
