// The compressed-sparse-row snapshot: every node's neighbours back to back in one array, each row
// sorted, for the algorithms that want contiguous, ordered adjacency.
//
// Row numbers are the store's dense indices, so the row order is the store's iteration order, the
// node of row i is Graph::ids()[i], and no separate id-to-row map is needed (the store's index is
// it). Rows hold neighbour row numbers sorted ascending: a pull over a row visits senders in
// ascending row order, and a self-loop is one entry of its own row.
//
// The snapshot is a cache owned by its graph: built on demand by Graph::ensure_csr(), dropped by
// every mutating call, read-only in between (so worker threads may share it without locks).
#pragma once

#include <cstdint>
#include <vector>

#include "huge_pages.hpp"
#include "types.hpp"

namespace qm {

// Rows restricted to the neighbours that rank above the row's node, in no particular order (see
// triangles.cpp). Like the snapshot, a cache owned by the graph and dropped by every mutating call.
struct ForwardRows {
    BigVector<std::uint64_t> offsets;
    BigVector<Index> targets;
};

struct CsrSnapshot {
    BigVector<std::uint64_t> offsets;  // row i is targets[offsets[i] .. offsets[i + 1])
    BigVector<Index> targets;

    std::uint64_t rows() const noexcept { return offsets.size() - 1; }
    std::uint64_t degree(Index i) const noexcept { return offsets[i + 1] - offsets[i]; }
    const Index* row_begin(Index i) const noexcept { return targets.data() + offsets[i]; }
    const Index* row_end(Index i) const noexcept { return targets.data() + offsets[i + 1]; }
};

}  // namespace qm
