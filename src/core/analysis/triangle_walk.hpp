// The walk over forward rows that finds every triangle once, from its lowest-ranked node (see
// triangles.cpp for the method): shared by the total count and the per-node counts.
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "core/base/interrupt.hpp"
#include "core/base/shelf.hpp"
#include "core/base/vector_isa.hpp"
#include "core/store/csr.hpp"
#include "parallel/pool.hpp"

namespace qm {

namespace triangle_walk {

// Bitmaps with a bit per two words of records (a record has at least two, so half its position
// names it), each lent to one range of rows at a time and clear again when it comes back. More are
// never out at once than there are threads; the bound only caps what is kept.
using Marks = BigVector<std::uint64_t>;
using MarkShelf = Shelf<Marks, 64>;

// Forward entries read between two interrupt checks (a row's cost is the sum of its members'
// forward degrees, which varies too much for a fixed count of rows).
inline constexpr std::uint64_t kEntriesPerCheck = std::uint64_t{1} << 16;
// How many records ahead of the one counted the walk starts loading its members' records: one
// cache miss per member (two where it crosses a line, as most do), overlapped with the counting of
// the rows in between.
inline constexpr std::size_t kRowsAhead = 3;
inline constexpr std::size_t kLine = 64;

// A tally that only counts, and may therefore be given a whole row's count at once.
template <class T>
concept CountingTally = requires(T t, std::uint64_t found) { t.add(found); };

// Forward rows this long or shorter are held in two 8-lane registers for the vector count.
inline constexpr std::ptrdiff_t kVectorRow = 16;

#ifdef QM_AVX2
// The triangles u closes: every member w of F(v), for v in F(u), compared with all of F(u) at
// once (held in two registers, padded with kNoIndex, which is no position). No memory is read
// beyond the records themselves, where the bitmap test reads a word of a bitmap larger than the
// L2 per entry. Adds the entries it reads to `read`.
__attribute__((target("avx2,popcnt"))) inline std::uint64_t count_row_avx2(const std::uint32_t* begin,
                                                                          const std::uint32_t* end,
                                                                          const std::uint32_t* records,
                                                                          std::uint64_t& read) noexcept {
    alignas(32) std::uint32_t padded[kVectorRow];
    for (std::ptrdiff_t i = 0; i < kVectorRow; ++i) padded[i] = i < end - begin ? begin[i] : kNoIndex;
    const __m256i low = _mm256_load_si256(reinterpret_cast<const __m256i*>(padded));
    const __m256i high = _mm256_load_si256(reinterpret_cast<const __m256i*>(padded + 8));
    std::uint64_t found = 0;
    for (const std::uint32_t* p = begin; p != end; ++p) {
        const std::uint32_t* v = records + *p;
        read += v[0] + 1;
        for (const std::uint32_t *w = v + ForwardRows::kHeader, *w_end = w + v[0]; w != w_end; ++w) {
            const __m256i x = _mm256_set1_epi32(static_cast<int>(*w));
            const __m256i hit = _mm256_or_si256(_mm256_cmpeq_epi32(x, low), _mm256_cmpeq_epi32(x, high));
            found += _mm256_testz_si256(hit, hit) == 0;
        }
    }
    return found;
}
#endif

// The walk over records of one word size (see walk_triangles()).
template <class Word, class MakeTally>
void walk_records(const ForwardRows& f, const Word* records, std::uint64_t n, const Interrupt& stop,
                  MakeTally&& make_tally) {
    constexpr std::uint64_t kHeader = ForwardRows::kHeader;
    const std::uint64_t mark_words = (f.words() / 2 + 63) / 64;
    const std::uint64_t* starts = f.starts.data();
    MarkShelf shelf;
    stop.expect(n);
    parallel::for_range((n + ForwardRows::kBlock - 1) / ForwardRows::kBlock, 1, [&](std::size_t first, std::size_t last) {
        Marks lent;
        auto tally = make_tally();
        std::uint64_t read = 0;
        const std::uint64_t end = starts[last];
        std::uint64_t ahead = starts[first];  // the record kRowsAhead on from u's
        for (std::size_t k = 0; k < kRowsAhead && ahead < end; ++k) ahead += kHeader + records[ahead];
        auto u = static_cast<Index>(first * ForwardRows::kBlock);
        for (std::uint64_t at = starts[first]; at < end; ++u) {
            if (read >= kEntriesPerCheck) {
                stop.check();
                read = 0;
            }
            if (ahead < end) {
                const Word* a = records + ahead;
                for (const Word *p = a + kHeader, *p_end = p + a[0]; p != p_end; ++p) {
                    __builtin_prefetch(records + *p);
                    __builtin_prefetch(reinterpret_cast<const char*>(records + *p) + kLine);  // most rows cross a line
                }
                ahead += kHeader + a[0];
            }
            const Word* row = records + at;
            const Word* begin = row + kHeader;
            const Word* row_end = begin + row[0];
            at += kHeader + row[0];
            if (row[0] < 2) continue;  // a triangle needs two forward neighbours of u
#ifdef QM_AVX2
            if constexpr (CountingTally<decltype(tally)> && std::is_same_v<Word, std::uint32_t>) {
                if (row_end - begin <= kVectorRow && avx2_available()) {
                    tally.add(count_row_avx2(begin, row_end, records, read));
                    continue;
                }
            }
#endif
            // Mark F(u); every marked w in F(v), for v in F(u), closes the triangle u, v, w.
            if (lent.empty()) {
                lent = shelf.take();
                if (lent.empty()) lent = Marks(mark_words, 0);
            }
            std::uint64_t* marks = lent.data();
            for (const Word* p = begin; p != row_end; ++p) marks[*p / 128] |= std::uint64_t{1} << (*p / 2 % 64);
            for (const Word* p = begin; p != row_end; ++p) {
                const Word* v = records + *p;
                read += v[0] + 1;
                for (const Word *w = v + kHeader, *w_end = w + v[0]; w != w_end; ++w)
                    tally.close((marks[*w / 128] >> (*w / 2 % 64)) & 1, u, v, records + *w);
            }
            for (const Word* p = begin; p != row_end; ++p) marks[*p / 128] = 0;
        }
        if (!lent.empty()) shelf.give(std::move(lent));  // not reached after a throw: that bitmap is simply freed
        stop.advance(std::min<std::uint64_t>(n, last * ForwardRows::kBlock) - first * ForwardRows::kBlock);
    });
}

}  // namespace triangle_walk

// Calls tally.close(closed, u, v, w) for every forward path u -> v -> w of the graph whose forward
// rows are f, closed saying whether u -> w closes it into a triangle (u lowest-ranked, then v, then
// w): so each triangle is met once. v and w are given as their records, whose word 1 is their
// index. The flag, rather than a branch, keeps the inner loop free of mispredictions for a tally
// that only counts. In parallel: each range of rows gets a tally of its own from make_tally(),
// which it drops when the range is done.
template <class MakeTally>
void walk_triangles(const ForwardRows& f, std::uint64_t n, const Interrupt& stop, MakeTally&& make_tally) {
    f.visit([&](const auto* records) { triangle_walk::walk_records(f, records, n, stop, make_tally); });
}

}  // namespace qm
