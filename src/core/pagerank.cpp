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
#include <cmath>

#include "graph.hpp"
#include "parallel/pool.hpp"

namespace qm {

namespace {
// How many row entries ahead of the one being summed its sender's share is prefetched.
constexpr std::size_t kShareAhead = 16;
}  // namespace

BigVector<double> Graph::pagerank_scores(double damping, std::uint64_t max_iter, double tol, const Interrupt& stop) {
    const CsrSnapshot& csr = ensure_csr(stop);
    const std::uint64_t n = csr.rows();
    stop.expect(max_iter);
    if (n == 0) return {};

    const double count = static_cast<double>(n);
    const double base = (1.0 - damping) / count;
    BigVector<double> current(n, 1.0 / count);
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
                            if (p + kShareAhead < targets_end) __builtin_prefetch(&share[p[kShareAhead]]);
                            acc += share[*p];
                        }
                        next[j] = acc;
                    }
                });
            };
            if (csr.segments == 1) {
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
