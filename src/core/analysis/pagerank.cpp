// PageRank (Page, Brin, Motwani and Winograd, "The PageRank Citation Ranking: Bringing Order to the
// Web", 1999) by power iteration in the pull direction over the CSR snapshot, bit for bit
// reproducible.
//
// Every node splits its damped score evenly over the entries of its row; a node without neighbours
// passes nothing on and its share is dropped (no redistribution, no renormalisation). Each
// iteration starts every node's new score from the base term (1 - damping) / n and adds the shares
// it receives in ascending order of the sending row. Pulling over a row whose neighbour rows are
// sorted ascending performs exactly those additions in exactly that order, so the rows can be
// computed in parallel without atomics and the result does not depend on the number of workers.
// The convergence test sums |old - new| strictly in row order, on the calling thread. On a large
// graph the pull goes segment by segment (csr.hpp), which changes where the reads fall, not the sums.
// On a halved snapshot (csr.hpp) the entries a row no longer keeps are pushed to it instead, in the
// same order (pull_halved() below).
#include <algorithm>
#include <cmath>
#include <vector>

#include "core/store/graph.hpp"
#include "parallel/pool.hpp"

namespace qm {

namespace {
// How many row entries ahead of the one being summed its sender's share is prefetched.
constexpr std::size_t kShareAhead = 16;

// Asks for the share of the sender kShareAhead entries after p, if there is one.
inline void prefetch_share(const Index* p, const Index* targets_end, const double* share) {
    if (p + kShareAhead < targets_end) __builtin_prefetch(&share[p[kShareAhead]]);
}

// Pushes of shares into the sums, each made kPushAhead pushes after it is asked for, in the order
// asked, its sum prefetched meanwhile: the sums a band pushes to lie at random, and a push that
// finds its sum's line out of cache would otherwise stall the ones behind it.
class DelayedPushes {
   public:
    static constexpr std::size_t kPushAhead = 16;  // a power of two

    explicit DelayedPushes(double* next) noexcept : next_(next) {}
    void push(Index row, double share) noexcept {
        Pending& slot = ring_[asked_++ % kPushAhead];
        if (asked_ > kPushAhead) next_[slot.row] += slot.share;
        __builtin_prefetch(&next_[row], 1);
        slot = {row, share};
    }
    // Makes the pushes still waiting, oldest first.
    void flush() noexcept {
        for (std::size_t k = asked_ > kPushAhead ? asked_ - kPushAhead : 0; k < asked_; ++k) {
            const Pending& slot = ring_[k % kPushAhead];
            next_[slot.row] += slot.share;
        }
        asked_ = 0;
    }

   private:
    struct Pending {
        Index row;
        double share;
    };
    double* next_;
    Pending ring_[kPushAhead];
    std::size_t asked_ = 0;
};

// The rows of a halved snapshot cut into consecutive bands, one per thread: band b is the rows from
// first[b] to first[b + 1], whose entries start at targets[at[b]].
struct Bands {
    std::vector<std::uint64_t> first, at;

    Bands(const CsrSnapshot& csr, std::uint64_t count) : first(count + 1), at(count + 1) {
        const std::uint64_t n = csr.rows();
        for (std::uint64_t b = 0; b < count; ++b) {
            first[b] = b * n / count;
            const std::uint64_t block = first[b] >> CsrSnapshot::kBlockShift;
            at[b] = csr.starts[block];
            for (std::uint64_t i = block << CsrSnapshot::kBlockShift; i < first[b]; ++i) at[b] += csr.kept[i];
        }
        first[count] = n;
        at[count] = csr.targets.size();
    }
    std::uint64_t count() const noexcept { return first.size() - 1; }
};

// One iteration's sums over a halved snapshot, into next. Row j's sum is the base term plus the
// shares of its neighbours in ascending row order: first those below j, then j's own for a
// self-loop (row j's kept entries, pulled when j's turn comes), then those above j, each row i > j
// that keeps the entry j pushing its share to j in ascending order of i. A band is one pass in
// order: its rows, each pulling its entries and pushing its share to those of them within the band
// (already summed so far); then the rows after it, each pushing its share to the band's rows among
// its entries. So every sum gets the additions of a full row, in its order, and as a band writes
// only its own rows, bands run in parallel without atomics, and their number changes nothing.
void pull_halved(const CsrSnapshot& csr, const Bands& bands, double base, const double* share, double* next,
                 const Interrupt& stop) {
    const std::uint64_t n = csr.rows();
    const Index* const targets_end = csr.targets.data() + csr.targets.size();
    for_range_checked(stop, bands.count(), 1, 1, [&](std::size_t b, std::size_t) {
        const std::uint64_t low = bands.first[b], high = bands.first[b + 1];
        const Index* p = csr.targets.data() + bands.at[b];
        DelayedPushes pushes(next);
        for (std::uint64_t j = low; j < high; ++j) {
            stop.check_every(j - low, kCheckEvery);
            const Index* const row_end = p + csr.kept[j];
            const double own = share[j];
            double acc = base;
            for (; p != row_end && *p < low; ++p) {
                prefetch_share(p, targets_end, share);
                acc += share[*p];
            }
            for (; p != row_end && *p != j; ++p) {
                prefetch_share(p, targets_end, share);
                acc += share[*p];
                pushes.push(*p, own);
            }
            if (p != row_end) {  // the self-loop, last of the row
                acc += own;
                ++p;
            }
            next[j] = acc;
        }
        for (std::uint64_t i = high; i < n; ++i) {
            stop.check_every(i - high, kCheckEvery);
            const Index* const row_end = p + csr.kept[i];
            const double own = share[i];
            const Index* q = low == 0 ? p : std::lower_bound(p, row_end, static_cast<Index>(low));
            for (; q != row_end && *q < high; ++q) pushes.push(*q, own);
            p = row_end;
        }
        pushes.flush();
    });
}
}  // namespace

BigVector<double> Graph::pagerank_scores(double damping, std::uint64_t max_iter, double tol, const Interrupt& stop) {
    const CsrSnapshot& csr = ensure_csr(stop);
    const std::uint64_t n = csr.rows();
    stop.expect(max_iter);
    if (n == 0) return {};

    const double count = static_cast<double>(n);
    const double base = (1.0 - damping) / count;
    BigVector<double> current(n, 1.0 / count);
    const Bands bands(csr, csr.halved ? std::min<std::uint64_t>(parallel::thread_count(), n) : 0);
    {
        // Three arrays of n doubles while iterating (24 bytes a node over the snapshot), two of
        // them freed before the scores are handed back.
        BigVector<double> next(n, base);
        BigVector<double> share(n);
        for (std::uint64_t iter = 0; iter < max_iter; ++iter) {
            parallel_for_checked(stop, n, [&](std::size_t i) {
                std::uint64_t d = csr.degree(static_cast<Index>(i));
                share[i] = d == 0 ? 0.0 : (damping * current[i]) / static_cast<double>(d);
            });
            // One pass per segment of senders (csr.hpp), each adding its shares to what the
            // passes before left in next: the additions of a row-major pull, in its order.
            const Index* const targets_end = csr.targets.data() + csr.targets.size();
            const auto pull = [&](std::uint32_t s, auto entries) {
                csr.for_blocks(stop, [&](std::uint64_t first, std::uint64_t end, std::uint64_t b) {
                    const Index* p = csr.block_begin(s, b);
                    for (std::uint64_t j = first; j < end; ++j) {
                        double acc = s == 0 ? base : next[j];
                        for (const Index* row_end = p + entries(static_cast<Index>(j)); p != row_end; ++p) {
                            // The senders' shares are scattered: ask for the ones a few entries
                            // ahead (into the next rows too) while these are summed.
                            prefetch_share(p, targets_end, share.data());
                            acc += share[*p];
                        }
                        next[j] = acc;
                    }
                });
            };
            if (csr.halved) {
                pull_halved(csr, bands, base, share.data(), next.data(), stop);
            } else if (csr.segments == 1) {
                pull(0, [&](Index j) { return csr.degrees[j]; });
            } else {
                for (std::uint32_t s = 0; s < csr.segments; ++s) pull(s, [&](Index j) { return csr.count(s, j); });
            }
            double diff = 0.0;
            for (std::uint64_t i = 0; i < n; ++i) {
                stop.check_every(i, kCheckEvery);
                diff += std::fabs(current[i] - next[i]);
            }
            current.swap(next);
            stop.advance(1);
            if (diff < tol) break;
        }
    }

    return current;
}

std::vector<std::pair<NodeId, double>> Graph::pagerank(double damping, std::uint64_t max_iter, double tol,
                                                      const Interrupt& stop) {
    const BigVector<double> scores = pagerank_scores(damping, max_iter, tol, stop);
    std::vector<std::pair<NodeId, double>> result;
    result.reserve(scores.size());
    for (std::uint64_t i = 0; i < scores.size(); ++i) result.emplace_back(ids_[i], scores[i]);
    return result;
}

}  // namespace qm
