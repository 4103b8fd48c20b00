// Betweenness: for each node v, the sum over pairs of other nodes s, t of the fraction of shortest
// s-t paths that pass through v.
//
// Method: Brandes ("A faster algorithm for betweenness centrality", 2001). A breadth-first search
// from each source s counts the shortest paths sigma(v) from s to every node; walking the search
// back, deepest first, gives each node's dependency delta(v) = sigma(v) * sum over its neighbours w
// one level deeper of (1 + delta(w)) / sigma(w), and a node's betweenness is the sum of its
// dependencies over all sources. The walk back pulls from the deeper neighbours instead of keeping
// predecessor lists: once delta(w) is known, sigma(w) is replaced by (1 + delta(w)) / sigma(w),
// which is all the level above reads of w.
//
// Sources run side by side on the worker pool, each search on arrays of its own that it clears
// behind itself. Their dependencies are added to the totals in the order of the sources, node by
// node, so the result has the same bits whatever the number of workers: a batch of sources is
// searched, then added one source after another (node ranges side by side when the batch reached
// much of the graph; the reached nodes alone when it did not). Reads the graph only.
//
// The sampled form takes its sources from a partial Fisher-Yates shuffle of the dense indices driven
// by SplitMix64 from the seed, and scales as the exact form does with k sources in place of n:
// values are divided by k (N - 1) for the nodes that were not sources and (k - 1)(N - 1) for those
// that were (a source cannot lie between itself and a target), where N = n - 1 counts the possible
// targets; unnormalised values are the estimate of the full sum over unordered pairs.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <unordered_map>

#include "core/base/fault.hpp"
#include "core/base/splitmix.hpp"
#include "core/store/graph.hpp"
#include "parallel/pool.hpp"

namespace qm {

namespace {

constexpr std::uint32_t kUnseen = UINT32_MAX;

// One source's search and dependencies, over all nodes. Between searches every node is unseen and
// every dependency 0, which a search restores for the nodes it reached when clear() is called. A
// node's distance and path count share an entry: the walks read both of a neighbour at once.
class Dependencies {
   public:
    Dependencies(std::size_t n) : node_(n), delta_(n), queue_(n) {
        std::fill(node_.data(), node_.data() + n, Entry{});
        std::fill(delta_.data(), delta_.data() + n, 0.0);
    }

    // Adjacency: anything whose element v has for_each_prefetched(data, f), as a neighbour set has.
    template <class Adjacency>
    void run(const Adjacency& sets, Index source, const Interrupt& stop) {
        Entry* node = node_.data();
        double* delta = delta_.data();
        Index* queue = queue_.data();
        queue[0] = source;
        node[source] = {1.0, 0};
        std::size_t head = 0, tail = 1;
        while (head < tail) {
            stop.check_every(head, kCheckEvery);
            const Index v = queue[head++];
            const std::uint32_t next = node[v].dist + 1;
            const double paths = node[v].sigma;
            sets[v].for_each_prefetched(node, [&](Index w) {
                Entry& e = node[w];
                if (e.dist == kUnseen) {
                    e = {paths, next};
                    queue[tail++] = w;
                } else if (e.dist == next) {
                    e.sigma += paths;
                }
            });
        }
        reached_ = tail;
        // Deepest first; the source's own dependency stays 0 (it is not between itself and a target).
        for (std::size_t k = tail; k-- > 1;) {
            stop.check_every(k, kCheckEvery);
            const Index v = queue[k];
            const std::uint32_t below = node[v].dist + 1;
            double pull = 0.0;
            sets[v].for_each_prefetched(node, [&](Index w) {
                // (1 + delta(w)) / sigma(w) by now; a select, not a branch, which no predictor gets right
                const double coefficient = node[w].sigma;
                pull += node[w].dist == below ? coefficient : 0.0;
            });
            delta[v] = node[v].sigma * pull;
            node[v].sigma = (1.0 + delta[v]) / node[v].sigma;
        }
    }

    std::size_t reached() const noexcept { return reached_; }
    const Index* order() const noexcept { return queue_.data(); }
    const double* delta() const noexcept { return delta_.data(); }

    void clear() noexcept {
        for (std::size_t k = 0; k < reached_; ++k) {
            const Index v = queue_.data()[k];
            node_.data()[v].dist = kUnseen;
            delta_.data()[v] = 0.0;
        }
        reached_ = 0;
    }

   private:
    struct Entry {
        double sigma = 0.0;  // shortest paths from the source; on the walk back, (1 + delta) / sigma
        std::uint32_t dist = kUnseen;
    };
    HugeArray<Entry> node_;
    HugeArray<double> delta_;
    HugeArray<Index> queue_;
    std::size_t reached_ = 0;
};

// The adjacency without loops as rows read end to end, each in its set's iteration order (so the
// sums, and their bits, are those a walk of the sets gives). Searches over big hash-table sets spend
// most of their time on empty slots; rows have none.
class LooplessRows {
   public:
    class Row {
       public:
        Row(const Index* first, const Index* last) noexcept : first_(first), last_(last) {}
        template <class T, class F>
        void for_each_prefetched(const T* data, F&& f) const {
            for (const Index* p = first_; p < last_; ++p) {
                if (p + kAhead < last_) __builtin_prefetch(data + p[kAhead]);
                f(*p);
            }
        }

       private:
        static constexpr std::ptrdiff_t kAhead = 4;
        const Index *first_, *last_;
    };

    LooplessRows(const BigVector<NeighbourSet>& sets, const Interrupt& stop) : start_(sets.size() + 1) {
        const std::size_t n = sets.size();
        start_.data()[0] = 0;
        for (std::size_t v = 0; v < n; ++v)
            start_.data()[v + 1] = start_.data()[v] + sets[v].size() - (sets[v].contains(static_cast<Index>(v)) ? 1 : 0);
        nbr_ = HugeArray<Index>(start_.data()[n]);
        parallel_for_checked(stop, n, [&](std::size_t v) {
            Index* out = nbr_.data() + start_.data()[v];
            sets[v].for_each([&](Index w) {
                if (w != v) *out++ = w;
            });
        });
    }
    Row operator[](std::size_t v) const noexcept {
        return {nbr_.data() + start_.data()[v], nbr_.data() + start_.data()[v + 1]};
    }

   private:
    HugeArray<std::uint64_t> start_;
    HugeArray<Index> nbr_;
};

// The first k entries of a Fisher-Yates shuffle of 0..n-1: step i swaps entry i with entry
// i + (draw mod (n - i)). Only the displaced entries are stored, so it costs O(k).
std::vector<Index> sample_sources(std::uint64_t n, std::uint64_t k, std::uint64_t seed) {
    std::vector<Index> chosen(k);
    std::unordered_map<std::uint64_t, std::uint64_t> moved;
    auto at = [&](std::uint64_t i) {
        const auto it = moved.find(i);
        return it == moved.end() ? i : it->second;
    };
    std::uint64_t state = seed;
    for (std::uint64_t i = 0; i < k; ++i) {
        const std::uint64_t j = i + splitmix64(state) % (n - i);
        const std::uint64_t picked = at(j);
        moved[j] = at(i);
        chosen[i] = static_cast<Index>(picked);
    }
    return chosen;
}

// Above this many nodes, each search's arrays (28 bytes a node) are kept for one source per
// thread; below it, for two, so that a batch's uneven searches even out.
constexpr std::uint64_t kLargeGraph = std::uint64_t{1} << 20;

}  // namespace

HugeArray<double> Graph::betweenness(bool normalized, std::uint64_t samples, std::uint64_t seed,
                                     const Interrupt& stop) const {
    const std::uint64_t n = node_count();
    if (samples > n) throw InvalidArgument("samples must not exceed the number of nodes");
    const bool sampled = samples != 0;
    const std::uint64_t count = sampled ? samples : n;
    const std::vector<Index> chosen = sampled ? sample_sources(n, samples, seed) : std::vector<Index>{};
    auto source = [&](std::uint64_t i) { return sampled ? chosen[i] : static_cast<Index>(i); };

    HugeArray<double> total(n);
    std::fill(total.data(), total.data() + n, 0.0);
    stop.expect(count);
    const std::size_t threads = parallel::thread_count();
    const std::size_t slots = static_cast<std::size_t>(std::min<std::uint64_t>(count, n > kLargeGraph ? threads : 2 * threads));
    std::vector<Dependencies> deps;
    deps.reserve(slots);
    // Rows cost 4 bytes an edge end: taken below a million nodes, where that is small beside the
    // searches, and the store's sets walked directly above.
    std::optional<LooplessRows> rows;
    if (n <= kLargeGraph) rows.emplace(nbrs_, stop);
    for (std::uint64_t first = 0; first < count; first += slots) {
        const std::size_t batch = static_cast<std::size_t>(std::min<std::uint64_t>(slots, count - first));
        while (deps.size() < batch) deps.emplace_back(n);
        parallel::for_range(batch, 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) {
                if (rows)
                    deps[i].run(*rows, source(first + i), stop);
                else
                    deps[i].run(nbrs_, source(first + i), stop);
                stop.advance(1);
            }
        });
        std::uint64_t reached = 0;
        for (std::size_t i = 0; i < batch; ++i) reached += deps[i].reached();
        double* t = total.data();
        if (reached >= n / 4) {
            // Every node, source after source: an unreached node adds 0, which leaves its total's bits.
            for_range_checked(stop, n, 1024, kCheckEvery, [&](std::size_t b, std::size_t e) {
                for (std::size_t v = b; v < e; ++v) {
                    double x = t[v];
                    for (std::size_t i = 0; i < batch; ++i) x += deps[i].delta()[v];
                    t[v] = x;
                }
            });
        } else {
            for (std::size_t i = 0; i < batch; ++i) {
                const Dependencies& d = deps[i];
                for (std::size_t k = 0; k < d.reached(); ++k) {
                    const Index v = d.order()[k];
                    t[v] += d.delta()[v];
                }
            }
        }
        parallel::for_range(batch, 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) deps[i].clear();
        });
    }

    // Scaling: N = n - 1 possible targets; nothing to scale below two.
    const std::uint64_t targets = n == 0 ? 0 : n - 1;
    if (targets < 2) return total;
    const double big_n = static_cast<double>(targets);
    double plain, at_source;  // the factors for the nodes that were not sources, and those that were
    if (!sampled) {
        plain = normalized ? 1.0 / (big_n * (big_n - 1.0)) : 0.5;
        at_source = plain;
    } else {
        const double k = static_cast<double>(samples);
        const double nan = std::numeric_limits<double>::quiet_NaN();
        if (normalized) {
            plain = 1.0 / (k * (big_n - 1.0));
            at_source = samples > 1 ? 1.0 / ((k - 1.0) * (big_n - 1.0)) : nan;
        } else {
            plain = big_n / (k * 2.0);
            at_source = samples > 1 ? big_n / ((k - 1.0) * 2.0) : nan;
        }
    }
    std::vector<bool> is_source(sampled ? n : 0, false);
    for (const Index s : chosen) is_source[s] = true;
    double* t = total.data();
    parallel_for_checked(stop, n, [&](std::size_t v) { t[v] *= sampled && is_source[v] ? at_source : plain; });
    return total;
}

}  // namespace qm
