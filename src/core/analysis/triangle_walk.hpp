// The walk over forward rows that finds every triangle once, from its lowest-ranked node (see
// triangles.cpp for the method): shared by the total count and the per-node counts.
#pragma once

#include <cstdint>
#include <utility>

#include "core/base/interrupt.hpp"
#include "core/base/shelf.hpp"
#include "core/base/vector_isa.hpp"
#include "core/store/csr.hpp"
#include "parallel/pool.hpp"

namespace qm {

namespace triangle_walk {

// Bitmaps over all rows, each lent to one range of rows at a time and clear again when it comes
// back. More are never out at once than there are threads; the bound only caps what is kept.
using Marks = BigVector<std::uint64_t>;
using MarkShelf = Shelf<Marks, 64>;

// Rows handed to a worker at a time: enough for the prefetching to run ahead within a range.
inline constexpr std::size_t kRowGrain = 256;
// Forward entries read between two interrupt checks (a row's cost is the sum of its members'
// forward degrees, which varies too much for a fixed count of rows).
inline constexpr std::uint64_t kEntriesPerCheck = std::uint64_t{1} << 16;

// A tally that only counts, and may therefore be given a whole row's count at once.
template <class T>
concept CountingTally = requires(T t, std::uint64_t found) { t.add(found); };

// Forward rows this long or shorter are held in two 8-lane registers for the vector count.
inline constexpr std::ptrdiff_t kVectorRow = 16;

#ifdef QM_AVX2
// The triangles u closes: every w in F(v), for v in F(u), compared with all of F(u) at once
// (held in two registers, padded with kNoIndex, which no row holds). No memory is read beyond the
// rows themselves, where the bitmap test reads a word of a bitmap larger than the L2 per entry.
__attribute__((target("avx2,popcnt"))) inline std::uint64_t count_row_avx2(const Index* begin, const Index* end,
                                                                          const std::uint64_t* offsets,
                                                                          const Index* targets) noexcept {
    alignas(32) Index padded[kVectorRow];
    for (std::ptrdiff_t i = 0; i < kVectorRow; ++i) padded[i] = i < end - begin ? begin[i] : kNoIndex;
    const __m256i low = _mm256_load_si256(reinterpret_cast<const __m256i*>(padded));
    const __m256i high = _mm256_load_si256(reinterpret_cast<const __m256i*>(padded + 8));
    std::uint64_t found = 0;
    for (const Index* p = begin; p != end; ++p) {
        const Index* w = targets + offsets[*p];
        const Index* w_end = targets + offsets[*p + 1];
        for (; w != w_end; ++w) {
            const __m256i x = _mm256_set1_epi32(static_cast<int>(*w));
            const __m256i hit = _mm256_or_si256(_mm256_cmpeq_epi32(x, low), _mm256_cmpeq_epi32(x, high));
            found += _mm256_testz_si256(hit, hit) == 0;
        }
    }
    return found;
}
#endif

}  // namespace triangle_walk

// Calls tally.close(closed, u, v, w) for every forward path u -> v -> w of the graph whose forward
// rows are f, closed saying whether u -> w closes it into a triangle (u lowest-ranked, then v, then
// w): so each triangle is met once. The flag, rather than a branch, keeps the inner loop free of
// mispredictions for a tally that only counts. In parallel: each range of rows gets a tally of its
// own from make_tally(), which it drops when the range is done.
template <class MakeTally>
void walk_triangles(const ForwardRows& f, std::uint64_t n, const Interrupt& stop, MakeTally&& make_tally) {
    using namespace triangle_walk;
    const std::uint64_t words = (n + 63) / 64;
    MarkShelf shelf;
    const std::uint64_t* offsets = f.offsets.data();
    const Index* targets = f.targets.data();
    auto row = [&](std::size_t u) { return std::pair{targets + offsets[u], targets + offsets[u + 1]}; };
    stop.expect(n);
    parallel::for_range(n, kRowGrain, [&](std::size_t first, std::size_t last) {
        Marks lent = shelf.take();
        if (lent.empty()) lent = Marks(words, 0);
        std::uint64_t* marks = lent.data();
        auto tally = make_tally();
        std::uint64_t read = 0;
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
#ifdef QM_AVX2
            if constexpr (CountingTally<decltype(tally)>) {
                if (end - begin <= kVectorRow && avx2_available()) {
                    for (const Index* p = begin; p != end; ++p) read += offsets[*p + 1] - offsets[*p] + 1;
                    tally.add(count_row_avx2(begin, end, offsets, targets));
                    continue;
                }
            }
#endif
            // Mark F(u); every marked w in F(v), for v in F(u), closes the triangle u, v, w.
            for (const Index* p = begin; p != end; ++p) marks[*p / 64] |= std::uint64_t{1} << (*p % 64);
            for (const Index* p = begin; p != end; ++p) {
                auto [w, w_end] = row(*p);
                read += static_cast<std::uint64_t>(w_end - w) + 1;
                for (; w != w_end; ++w) tally.close((marks[*w / 64] >> (*w % 64)) & 1, static_cast<Index>(u), *p, *w);
            }
            for (const Index* p = begin; p != end; ++p) marks[*p / 64] = 0;
        }
        shelf.give(std::move(lent));  // not reached after a throw: that bitmap is simply freed
        stop.advance(last - first);
    });
}

}  // namespace qm
