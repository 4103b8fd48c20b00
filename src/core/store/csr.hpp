// The compressed-sparse-row snapshot that PageRank pulls over: every node's neighbours as row
// numbers, each row sorted ascending, all rows in one array.
//
// Row numbers are the store's dense indices, so the row order is the store's iteration order, the
// node of row i is Graph::ids()[i], and no separate id-to-row map is needed (the store's index is
// it). A self-loop is one entry of its own row.
//
// On a graph whose per-node arrays outgrow the last-level cache, the entries are grouped by the
// sender's segment, a run of 2^21 consecutive rows (more, when that would make over 64 segments): all rows' entries into segment 0 first
// (row by row, each piece ascending), then segment 1, and so on. A pull then makes one pass per
// segment, and every random read of such a pass falls in the segment's few megabytes of scores,
// which stay in cache. Concatenating a row's pieces in segment order gives back the row ascending,
// so the additions a pull makes, and their order, are those of a plain row-major pull. Smaller
// graphs, and graphs too sparse to pay for the piece counts, keep one segment: plain row-major.
//
// A graph of 2^30 entries (about a billion) or more keeps only half of them ("halved"): row i
// holds its entries t <= i, kept[i] of them, ascending, in one segment. Every edge is in both of its
// rows, so the other half says nothing new: the entry t of row i stands for row t's entry i as well.
// The copy then takes 4 bytes an edge instead of 8, plus a second count per row, which is what lets
// PageRank run next to a graph of a billion edges. PageRank recovers the missing entries by pushing
// each row's share to the rows below it (pagerank.cpp), in the same order as full rows add them.
//
// The snapshot is a cache owned by its graph: built on demand by Graph::ensure_csr(), dropped by
// every mutating call, read-only in between (so worker threads may share it without locks).
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/base/huge_pages.hpp"
#include "core/base/interrupt.hpp"
#include "core/base/types.hpp"

namespace qm {

// Rows restricted to the neighbours that rank above the row's node, in no particular order (see
// triangles.cpp). Like the snapshot, a cache owned by the graph and dropped by every mutating call.
//
// One array of words holds a record per node, in dense order: the row's length, the node's index,
// then the row's members, each given by where its own record starts (its position). So going from
// a member to its row is one read, where an index would need its offset first; and a position names
// a node as surely as its index does. Words are 32 bits while every position fits, else 64.
struct ForwardRows {
    static constexpr std::uint64_t kHeader = 2;  // length, index
    // Nodes per block: the unit of parallel work, whose first record starts at starts[block].
    static constexpr std::size_t kBlock = 256;

    // Uninitialised when made: the build writes every element, from every worker.
    HugeArray<std::uint32_t> narrow;  // the records, when every position is below 2^32 - 1
    HugeArray<std::uint64_t> wide;    // else
    HugeArray<std::uint64_t> starts;  // per block, then the end of the last record

    std::uint64_t words() const noexcept { return narrow.size() + wide.size(); }
    // body(records) with the records as whichever words hold them.
    template <class F>
    decltype(auto) visit(F&& body) const {
        return wide.size() != 0 ? body(static_cast<const std::uint64_t*>(wide.data()))
                                : body(static_cast<const std::uint32_t*>(narrow.data()));
    }
};

struct CsrSnapshot {
    // Rows go in blocks of 2^kBlockShift: the unit of parallel work, with its own start in every
    // segment.
    static constexpr unsigned kBlockShift = 12;
    static constexpr std::uint32_t kMaxSegments = 64;
    // A piece count this large or larger is looked up in `wide`.
    static constexpr std::uint8_t kWideCount = 255;

    BigVector<std::uint32_t> degrees;  // per row: all of its entries, kept or not
    BigVector<Index> targets;          // segment by segment, then row by row
    bool halved = false;
    BigVector<std::uint32_t> kept;     // halved: per row, its entries t <= i (the row's length in targets)
    std::uint32_t segments = 1;
    unsigned segment_shift = 0;         // row t is in segment t >> segment_shift (segments > 1)
    BigVector<std::uint8_t> counts;     // [s * rows + i]: row i's entries in segment s, capped at kWideCount
    std::vector<std::uint64_t> starts;  // [s * blocks + b]: where block b's entries in segment s begin
    std::vector<std::pair<std::uint64_t, std::uint64_t>> wide;  // (s * rows + i, count), ascending

    std::uint64_t rows() const noexcept { return degrees.size(); }
    std::uint64_t blocks() const noexcept { return (rows() + (std::uint64_t{1} << kBlockShift) - 1) >> kBlockShift; }
    std::uint64_t degree(Index i) const noexcept { return degrees[i]; }
    // Row i's entries in segment s, as stored in targets.
    std::uint64_t count(std::uint32_t s, Index i) const noexcept {
        if (segments == 1) return halved ? kept[i] : degrees[i];
        const std::uint64_t key = s * rows() + i;
        const std::uint8_t c = counts[key];
        if (c < kWideCount) return c;
        return std::lower_bound(wide.begin(), wide.end(), std::pair<std::uint64_t, std::uint64_t>{key, 0})->second;
    }
    // body(first_row, end_row, block) for every block of rows, in parallel, a check() before each.
    template <class F>
    void for_blocks(const Interrupt& stop, F&& body) const {
        const std::uint64_t size = std::uint64_t{1} << kBlockShift;
        for_range_checked(stop, blocks(), parallel::kDefaultGrain, 1, [&](std::size_t b, std::size_t e) {
            for (; b < e; ++b) body(b * size, std::min<std::uint64_t>(rows(), (b + 1) * size), b);
        });
    }
    // The first entry of block b in segment s.
    const Index* block_begin(std::uint32_t s, std::uint64_t b) const noexcept {
        return targets.data() + starts[s * blocks() + b];
    }
};

}  // namespace qm
