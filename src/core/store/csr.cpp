// Building the CSR snapshot (layouts in csr.hpp: full rows in one segment or in several, or halved
// rows), blocks of rows in parallel. Built at most once between mutations.
#include <algorithm>
#include <utility>

#include "core/base/env.hpp"
#include "core/store/graph.hpp"
#include "parallel/pool.hpp"

namespace qm {

namespace {
// Rows up to this long are sorted by rank: each element goes to the place given by how many of the
// row are smaller (a set's elements are distinct, so the places are a permutation). Quadratic, but
// free of branches and vectorised, it is about twice as fast as a comparison sort at the typical
// degrees of sparse graphs, where sorting was most of the snapshot's cost.
constexpr std::uint32_t kRankSortMax = NeighbourSet::kListCapacity;

// Writes set's elements that keep(element) accepts to row, ascending.
template <class Keep>
void copy_sorted(const NeighbourSet& set, Index* row, Keep keep) {
    if (set.size() > kRankSortMax) {
        Index* out = row;
        set.for_each([&](Index j) {
            if (keep(j)) *out++ = j;
        });
        std::sort(row, out);
        return;
    }
    Index held[kRankSortMax];
    Index* out = held;
    set.for_each([&](Index j) {
        *out = j;  // held has room for the whole set: write always, advance only when kept
        out += keep(j);
    });
    const auto d = static_cast<std::uint32_t>(out - held);
    for (std::uint32_t a = 0; a < d; ++a) {
        const Index x = held[a];
        std::uint32_t rank = 0;
        for (std::uint32_t b = 0; b < d; ++b) rank += held[b] < x;
        row[rank] = x;
    }
}

// Sorts one row's piece of a segment: a handful of entries at the degrees where segments pay.
void sort_piece(Index* begin, Index* end) {
    // An empty piece may be a null range (a graph without edges has no targets at all), where even
    // forming begin + 1 is undefined.
    if (end - begin < 2) return;
    if (end - begin > 16) {
        std::sort(begin, end);
        return;
    }
    for (Index* p = begin + 1; p < end; ++p) {
        const Index x = *p;
        Index* q = p;
        for (; q != begin && q[-1] > x; --q) *q = q[-1];
        *q = x;
    }
}

// Rows per segment of a pull, 2^kSegmentShift by default: a segment's shares (8 bytes a row) then
// take half the last-level cache, and with the score arrays of a graph up to twice that size
// fitting whole, smaller graphs keep one segment. Segments are taken only while their counts (a
// byte per row and segment) keep the snapshot and PageRank's score arrays within 6 bytes an entry:
// 4 per entry, plus 28 and the counts per row. The environment can set another segment size (read
// once per process): the tests lower it to take the segmented paths with small graphs.
constexpr unsigned kSegmentShift = 21;

std::pair<std::uint32_t, unsigned> choose_segments(std::uint64_t rows, std::uint64_t entries) {
    static const int forced_shift = [] {  // -1: not set
        const std::uint64_t value = env_count("QUILLMESH_PAGERANK_SEGMENT_ROWS");
        return value == 0 ? -1 : static_cast<int>(std::bit_width(value)) - 1;  // a power of two, rounded down
    }();
    const bool forced = forced_shift >= 0;
    const auto segments_of = [rows](unsigned shift) { return (rows + (std::uint64_t{1} << shift) - 1) >> shift; };
    if (forced || rows > (std::uint64_t{1} << kSegmentShift)) {
        unsigned shift = forced ? static_cast<unsigned>(forced_shift) : kSegmentShift;
        while (segments_of(shift) > CsrSnapshot::kMaxSegments) ++shift;
        const std::uint64_t segments = segments_of(shift);
        if (segments > 1 && (forced || (segments + 28) * rows <= 2 * entries))
            return {static_cast<std::uint32_t>(segments), shift};
    }
    return {1, 0};
}

// From this many entries (a full copy of 4 GiB) the snapshot is halved (csr.hpp). Below it the full
// rows, whose pull reads without writing at random, are worth their memory; from it on, they and
// PageRank's scores would take 11 bytes an edge, more than a machine that holds the graph (12 bytes
// an edge) has to spare. The environment can set another threshold (read once per process): the
// tests lower it to take the halved paths with small graphs.
constexpr std::uint64_t kHalvedFrom = std::uint64_t{1} << 30;

bool choose_halved(std::uint64_t entries) {
    static const std::uint64_t from = env_count_or("QUILLMESH_PAGERANK_HALVED_ENTRIES", kHalvedFrom);
    return entries >= from;
}

// Writes every row of a one-segment snapshot whose starts are set, ascending: row i gets the
// elements t of sets[i] that keep(i, t) accepts, lengths[i] of them.
template <class Keep>
void write_rows(CsrSnapshot& csr, const NeighbourSet* sets, const BigVector<std::uint32_t>& lengths, Keep keep,
                const Interrupt& stop) {
    csr.for_blocks(stop, [&](std::uint64_t first, std::uint64_t end, std::uint64_t b) {
        Index* row = csr.targets.data() + csr.starts[b];
        for (std::uint64_t i = first; i < end; ++i) {
            copy_sorted(sets[i], row, [&](Index t) { return keep(i, t); });
            row += lengths[i];
        }
    });
}

// Fills a halved snapshot whose degrees and starts are sized: every row's entries t <= i counted,
// and every block's, then the rows written.
void lay_out_halved(CsrSnapshot& csr, const NeighbourSet* sets, const Interrupt& stop) {
    const auto kept = [](std::uint64_t i, Index t) { return t <= i; };
    csr.kept.resize(csr.rows());
    csr.for_blocks(stop, [&](std::uint64_t first, std::uint64_t end, std::uint64_t b) {
        std::uint64_t in_block = 0;
        for (std::uint64_t i = first; i < end; ++i) {
            std::uint32_t in_row = 0;
            sets[i].for_each([&](Index t) { in_row += kept(i, t); });
            csr.kept[i] = in_row;
            in_block += in_row;
        }
        csr.starts[b] = in_block;
    });
    std::uint64_t at = 0;
    for (std::uint64_t& start : csr.starts) at += std::exchange(start, at);
    csr.targets.resize(at);
    write_rows(csr, sets, csr.kept, kept, stop);
}

// Fills a snapshot of more than one segment whose degrees, targets and starts are sized: every row's
// entries in every segment counted, and every block's, then the pieces written and sorted.
void lay_out_segments(CsrSnapshot& csr, const NeighbourSet* sets, const Interrupt& stop) {
    const std::uint64_t n = csr.rows();
    const std::uint64_t blocks = csr.blocks();
    const std::uint32_t segments = csr.segments;
    const unsigned shift = csr.segment_shift;
    const auto count_pieces = [&](std::uint64_t i, std::uint32_t* in_row) {
        std::fill_n(in_row, segments, 0);
        sets[i].for_each([&](Index t) { ++in_row[t >> shift]; });
    };
    csr.counts.resize(segments * n);
    csr.for_blocks(stop, [&](std::uint64_t first, std::uint64_t end, std::uint64_t b) {
        std::uint64_t in_block[CsrSnapshot::kMaxSegments] = {};
        std::uint32_t in_row[CsrSnapshot::kMaxSegments];
        for (std::uint64_t i = first; i < end; ++i) {
            count_pieces(i, in_row);
            for (std::uint32_t s = 0; s < segments; ++s) {
                csr.counts[s * n + i] = static_cast<std::uint8_t>(std::min<std::uint32_t>(in_row[s], CsrSnapshot::kWideCount));
                in_block[s] += in_row[s];
            }
        }
        for (std::uint32_t s = 0; s < segments; ++s) csr.starts[s * blocks + b] = in_block[s];
    });
    std::uint64_t at = 0;
    for (std::uint64_t& start : csr.starts) at += std::exchange(start, at);
    // Only a row of kWideCount entries or more can have a piece that large.
    std::uint32_t in_row[CsrSnapshot::kMaxSegments];
    for (std::uint64_t i = 0; i < n; ++i) {
        stop.check_every(i, kCheckEvery);
        if (csr.degrees[i] < CsrSnapshot::kWideCount) continue;
        count_pieces(i, in_row);
        for (std::uint32_t s = 0; s < segments; ++s)
            if (in_row[s] >= CsrSnapshot::kWideCount) csr.wide.emplace_back(s * n + i, in_row[s]);
    }
    std::sort(csr.wide.begin(), csr.wide.end());

    csr.for_blocks(stop, [&](std::uint64_t first, std::uint64_t end, std::uint64_t b) {
        std::uint64_t at_piece[CsrSnapshot::kMaxSegments];
        std::uint64_t piece_begin[CsrSnapshot::kMaxSegments];
        for (std::uint32_t s = 0; s < segments; ++s) at_piece[s] = csr.starts[s * blocks + b];
        Index* const targets = csr.targets.data();
        for (std::uint64_t i = first; i < end; ++i) {
            std::copy_n(at_piece, segments, piece_begin);
            sets[i].for_each([&](Index t) { targets[at_piece[t >> shift]++] = t; });
            for (std::uint32_t s = 0; s < segments; ++s) sort_piece(targets + piece_begin[s], targets + at_piece[s]);
        }
    });
}
}  // namespace

const CsrSnapshot& Graph::ensure_csr(const Interrupt& stop) {
    if (csr_) return *csr_;
    drop_caches();  // the forward rows, if any: one derived structure at a time
    auto snapshot = std::make_unique<CsrSnapshot>();
    CsrSnapshot& csr = *snapshot;
    const std::uint64_t n = ids_.size();
    csr.degrees.resize(n);
    std::uint64_t total = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
        stop.check_every(i, kCheckEvery);
        csr.degrees[i] = nbrs_[i].size();
        total += csr.degrees[i];
    }
    csr.halved = choose_halved(total);
    if (!csr.halved) {
        csr.targets.resize(total);
        std::tie(csr.segments, csr.segment_shift) = choose_segments(n, total);
    }
    csr.starts.resize(csr.segments * csr.blocks());
    // An empty graph's snapshot has no rows to fill; it must not be what starts the worker pool.
    if (n > 0 && csr.halved) {
        lay_out_halved(csr, nbrs_.data(), stop);
    } else if (n > 0 && csr.segments == 1) {
        std::uint64_t at = 0;
        for (std::uint64_t i = 0; i < n; ++i) {
            if ((i & ((std::uint64_t{1} << CsrSnapshot::kBlockShift) - 1)) == 0) csr.starts[i >> CsrSnapshot::kBlockShift] = at;
            at += csr.degrees[i];
        }
        write_rows(csr, nbrs_.data(), csr.degrees, [](std::uint64_t, Index) { return true; }, stop);
    } else if (n > 0) {
        lay_out_segments(csr, nbrs_.data(), stop);
    }
    csr_ = std::move(snapshot);  // only a complete snapshot is ever kept
    return *csr_;
}

}  // namespace qm
