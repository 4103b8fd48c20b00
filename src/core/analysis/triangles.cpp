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
// test cares about order), about 4 bytes per edge and 8 per node, and kept until the next
// mutation. A row lists its members by where their own rows start (csr.hpp), so reaching F(v) from
// v is one cache miss where an index would cost two (its offset, then the row).
// Rows are counted in parallel; the total is a sum of integers, so it is the same for any number of
// workers.
#include <algorithm>
#include <atomic>
#include <type_traits>
#include <utility>

#include "core/analysis/triangle_walk.hpp"
#include "core/base/env.hpp"
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

// Records this many words long or longer are written in 64-bit words (positions past 32 bits). The
// environment can set a lower bound (read once per process): the tests take the wide records with
// small graphs.
std::uint64_t wide_from() {
    static const std::uint64_t from = env_count_or("QUILLMESH_TRIANGLES_WIDE_WORDS", UINT32_MAX);
    return from;
}

// Every node's degree, and, on a graph whose degrees would not stay in the cache, the same capped
// at kCappedDegree in a byte: the rank test then reads a neighbour's byte, from an array a quarter
// of the size, and its degree only when both bytes are at the cap. (On a smaller graph the extra
// test only costs: the degrees stay in the cache anyway.)
// The environment can set another node count from which the bytes are used (read once per
// process): the tests take them with small graphs.
constexpr std::uint32_t kCappedDegree = UINT8_MAX;
constexpr std::uint64_t kCappedFromNodes = std::uint64_t{1} << 22;

std::uint64_t capped_from() {
    static const std::uint64_t from = env_count_or("QUILLMESH_TRIANGLES_CAPPED_NODES", kCappedFromNodes);
    return from;
}
struct Degrees {
    HugeArray<std::uint32_t> full;
    HugeArray<std::uint8_t> capped;  // empty on a small graph
};

Degrees degrees_of(const BigVector<NeighbourSet>& nbrs, const Interrupt& stop) {
    const std::uint64_t n = nbrs.size();
    Degrees d{HugeArray<std::uint32_t>(n), HugeArray<std::uint8_t>(n >= capped_from() ? n : 0)};
    parallel_for_checked(stop, n, [&](std::size_t u) {
        const std::uint32_t degree = nbrs[u].size();
        d.full.data()[u] = degree;
        if (d.capped.size() != 0) d.capped.data()[u] = static_cast<std::uint8_t>(std::min(degree, kCappedDegree));
    });
    return d;
}

// Calls row(u, f) for each u of [0, n) in parallel pieces, where f(v) is then called for each
// neighbour v of u that ranks above u by (degree, row). Capped degrees that differ order their
// nodes as the degrees do; equal ones below the cap are equal degrees. What the test reads first
// is loaded a few rows ahead, with also[v] when `also` is set.
template <class Also, class Row>
void for_each_forward_row(const BigVector<NeighbourSet>& nbrs, const Degrees& degrees, const Also* also,
                          const Interrupt& stop, Row&& row) {
    const std::size_t n = nbrs.size();
    const std::uint32_t* const full = degrees.full.data();
    const std::uint8_t* const capped = degrees.capped.data();
    const auto walk = [&](auto capped_ranks) {
        constexpr bool is_capped = decltype(capped_ranks)::value;
        // What the rank test reads first for a neighbour.
        const auto first_read = [&](Index v) -> const void* {
            return is_capped ? static_cast<const void*>(&capped[v]) : &full[v];
        };
        for_range_checked(stop, n, kBuildGrain, kCheckEvery, [&](std::size_t first, std::size_t last) {
            for (std::size_t u = first; u < last; ++u) {
                if (u + kElementsAhead < last) nbrs[u + kElementsAhead].prefetch_elements();
                if (u + kDegreesAhead < last && full[u + kDegreesAhead] <= kPrefetchedSet) {
                    nbrs[u + kDegreesAhead].for_each([&](Index v) {
                        __builtin_prefetch(first_read(v));
                        if (also != nullptr) __builtin_prefetch(&also[v]);
                    });
                }
                const std::uint32_t du = full[u];
                std::uint8_t cu = 0;
                if constexpr (is_capped) cu = capped[u];
                const auto above = [&](Index v) {
                    if constexpr (is_capped) {
                        const std::uint8_t cv = capped[v];
                        return cv != cu ? cv > cu : cu != kCappedDegree ? v > u : full[v] != du ? full[v] > du : v > u;
                    } else {
                        const std::uint32_t dv = full[v];
                        return dv != du ? dv > du : v > u;
                    }
                };
                row(u, [&](auto&& f) {
                    nbrs[u].for_each([&](Index v) {
                        if (above(v)) f(v);
                    });
                });
            }
        });
    };
    if (degrees.capped.size() != 0) {
        walk(std::true_type{});
    } else {
        walk(std::false_type{});
    }
}

// Writes every node's record at its start at[u]; a member v is written as at[v], loaded ahead.
template <class Word>
void write_records(const BigVector<NeighbourSet>& nbrs, const Degrees& degrees, const Word* at, Word* records,
                   const Interrupt& stop) {
    for_each_forward_row(nbrs, degrees, at, stop, [&](std::size_t u, auto&& forward) {
        Word* record = records + at[u];
        Word* next = record + ForwardRows::kHeader;
        forward([&](Index v) { *next++ = at[v]; });
        record[0] = static_cast<Word>(next - record - ForwardRows::kHeader);
        record[1] = static_cast<Word>(u);
    });
}

std::unique_ptr<ForwardRows> build_forward(const BigVector<NeighbourSet>& nbrs, const Interrupt& stop) {
    const std::uint64_t n = nbrs.size();
    auto fwd = std::make_unique<ForwardRows>();
    const Degrees degree = degrees_of(nbrs, stop);
    // Each record's start: its row's length counted first, then summed in place, in 32 bits while
    // every start fits.
    HugeArray<std::uint32_t> narrow_start(n);
    std::uint32_t* const kept = narrow_start.data();
    for_each_forward_row(nbrs, degree, static_cast<const std::uint32_t*>(nullptr), stop,
                         [&](std::size_t u, auto&& forward) {
                             std::uint32_t count = 0;
                             forward([&](Index) { ++count; });
                             kept[u] = count;
                         });
    std::uint64_t words = 0;
    for (std::uint64_t u = 0; u < n; ++u) words += ForwardRows::kHeader + kept[u];
    const std::uint64_t blocks = (n + ForwardRows::kBlock - 1) / ForwardRows::kBlock;
    fwd->starts = HugeArray<std::uint64_t>(blocks + 1);
    const auto fill_starts = [&](auto* at) {
        std::uint64_t sum = 0;
        for (std::uint64_t u = 0; u < n; ++u) {
            if (u % ForwardRows::kBlock == 0) fwd->starts.data()[u / ForwardRows::kBlock] = sum;
            const std::uint64_t length = ForwardRows::kHeader + kept[u];  // read before at[u] may overwrite it
            at[u] = static_cast<std::remove_reference_t<decltype(*at)>>(sum);
            sum += length;
        }
        fwd->starts.data()[blocks] = sum;
    };
    if (words < wide_from()) {
        std::uint32_t* const at = narrow_start.data();
        fill_starts(at);
        fwd->narrow = HugeArray<std::uint32_t>(words);
        write_records(nbrs, degree, static_cast<const std::uint32_t*>(at), fwd->narrow.data(), stop);
    } else {
        HugeArray<std::uint64_t> wide_start(n);
        std::uint64_t* const at = wide_start.data();
        fill_starts(at);
        narrow_start = HugeArray<std::uint32_t>();
        fwd->wide = HugeArray<std::uint64_t>(words);
        write_records(nbrs, degree, static_cast<const std::uint64_t*>(at), fwd->wide.data(), stop);
    }
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
        void close(std::uint64_t closed, Index, const void*, const void*) noexcept { found += closed; }
        void add(std::uint64_t closed) noexcept { found += closed; }
        ~Count() { total.fetch_add(found, std::memory_order_relaxed); }
    };
    std::atomic<std::uint64_t> total{0};
    walk_triangles(f, node_count(), stop, [&] { return Count{total}; });
    return total.load(std::memory_order_relaxed);
}

}  // namespace qm
