// Communities by modularity, and the modularity of a given partition.
//
// Modularity with resolution gamma: Q = sum over communities c of L_c / m - gamma (K_c / 2m)^2,
// with L_c the edges inside c, K_c the sum of its nodes' degrees and m the edges; self-loops are
// left out of all three, as they are of every analysis of this kind.
//
// Method: Leiden (Traag, Waltman and van Eck, "From Louvain to Leiden: guaranteeing well-connected
// communities", Scientific Reports 2019). Each level moves nodes between communities from a queue
// (a node is queued again when a neighbour leaves for another community), then refines every
// community: its nodes start apart and are merged, each into the sub-community of the same community
// that gains most, only where both are well connected to the rest of the community. The refined
// sub-communities become the nodes of the next level's graph, each starting in the community its
// members were in. A level that leaves every node alone ends the pass; passes repeat from the
// partition found until one raises the modularity by less than half a percent. Merges are greedy
// (the largest gain, the first found on a tie) and the random order nodes are visited in comes from
// the seed, so a run is one sequence of steps on one thread: the same labels for the same graph,
// seed and resolution, whatever the number of workers. A last sweep splits a community that is not connected into its
// connected parts (each split raises the modularity), and labels are numbered by first appearance.
//
// The first level is a copy of the adjacency as plain rows without loops (every edge of weight 1);
// the levels above are smaller weighted graphs of their own.
#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>
#include <vector>

#include "core/base/fault.hpp"
#include "core/base/splitmix.hpp"
#include "core/store/graph.hpp"
#include "parallel/pool.hpp"

namespace qm {

namespace {

constexpr Index kNone = UINT32_MAX;

class Random {
   public:
    explicit Random(std::uint64_t seed) noexcept : state_(seed) {}
    std::uint64_t next() noexcept { return splitmix64(state_); }
    // 0..n-1 in a shuffled order.
    void shuffle(std::vector<Index>& order, std::size_t n) {
        order.resize(n);
        for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<Index>(i);
        for (std::size_t i = n; i > 1; --i) std::swap(order[i - 1], order[next() % i]);
    }

   private:
    std::uint64_t state_;
};

// The graph of the first level: the store's adjacency without its loops, copied into rows (each
// node's neighbours in the store's iteration order) that the many walks over it read end to end,
// every edge of weight 1.
struct StoreLevel {
    std::vector<std::uint64_t> start;
    std::vector<Index> nbr;
    std::vector<double> strength;  // loopless degree
    std::size_t size() const noexcept { return strength.size(); }
    double self(Index) const noexcept { return 0.0; }
    std::size_t entries() const noexcept { return nbr.size(); }
    template <class F>
    void for_each(Index v, F&& f) const {
        for (std::uint64_t k = start[v]; k < start[v + 1]; ++k) f(nbr[k], 1.0);
    }
};

StoreLevel store_level(const BigVector<NeighbourSet>& sets, const HugeArray<std::uint32_t>& degree, const Interrupt& stop) {
    const std::size_t n = degree.size();
    StoreLevel g;
    g.strength.resize(n);
    g.start.resize(n + 1);
    g.start[0] = 0;
    for (std::size_t v = 0; v < n; ++v) {
        g.strength[v] = degree.data()[v];
        g.start[v + 1] = g.start[v] + degree.data()[v];
    }
    g.nbr.resize(g.start[n]);
    parallel_for_checked(stop, n, [&](std::size_t v) {
        Index* out = g.nbr.data() + g.start[v];
        sets[v].for_each([&](Index w) {
            if (w != v) *out++ = w;
        });
    });
    return g;
}

// A level above the first: nodes are sub-communities of the level below, edges the summed weights
// between them, and self(v) the weight inside v (each inner edge counted from both ends). Weights
// are counts of first-level edges, whole numbers below 2^32 (the caller makes sure there are fewer
// edges than that), so 32 bits hold them exactly.
struct WeightedLevel {
    std::vector<std::uint64_t> start;
    std::vector<Index> nbr;
    std::vector<std::uint32_t> weight;
    std::vector<double> inner;
    std::vector<double> strength;
    std::size_t size() const noexcept { return strength.size(); }
    double self(Index v) const noexcept { return inner[v]; }
    std::size_t entries() const noexcept { return nbr.size(); }
    template <class F>
    void for_each(Index v, F&& f) const {
        for (std::uint64_t k = start[v]; k < start[v + 1]; ++k) f(nbr[k], static_cast<double>(weight[k]));
    }
};

// Sums of weights by community for one node at a time: add(), then read touched() and at(), then clear().
class Tally {
   public:
    void resize(std::size_t n) {
        if (sums_.size() < n) sums_.resize(n, 0.0);
    }
    void add(Index c, double w) {
        if (sums_[c] == 0.0) touched_.push_back(c);
        sums_[c] += w;
    }
    double at(Index c) const noexcept { return sums_[c]; }
    const std::vector<Index>& touched() const noexcept { return touched_; }
    void clear() noexcept {
        for (const Index c : touched_) sums_[c] = 0.0;
        touched_.clear();
    }

   private:
    std::vector<double> sums_;
    std::vector<Index> touched_;
};

// The work of one run: scratch kept across levels, the scale of the gains, the random order.
class Leiden {
   public:
    Leiden(double total_strength, double resolution, std::uint64_t seed, const Interrupt& stop)
        : scale_(resolution / total_strength), random_(seed), stop_(stop) {}

    // Moves nodes of g between communities (comm, numbered below g.size()) from a queue until none
    // gains by moving. Returns whether any node moved.
    template <class G>
    bool move_nodes(const G& g, std::vector<Index>& comm) {
        const std::size_t n = g.size();
        std::vector<double> total(n, 0.0);
        std::vector<Index> members(n, 0);
        for (std::size_t v = 0; v < n; ++v) {
            total[comm[v]] += g.strength[v];
            ++members[comm[v]];
        }
        std::vector<Index> empty;
        for (std::size_t c = n; c-- > 0;)
            if (members[c] == 0) empty.push_back(static_cast<Index>(c));
        random_.shuffle(order_, n);
        // A ring of queued nodes; each node is in it at most once.
        std::vector<Index> ring(order_);
        std::vector<char> queued(n, 1);
        std::size_t head = 0, count = n;
        tally_.resize(n);
        bool moved = false;
        std::uint64_t steps = 0;
        while (count > 0) {
            stop_.check_every(steps++, kCheckEvery);
            const Index v = ring[head];
            head = head + 1 == n ? 0 : head + 1;
            --count;
            queued[v] = 0;
            const Index from = comm[v];
            const double k = g.strength[v];
            g.for_each(v, [&](Index w, double weight) { tally_.add(comm[w], weight); });
            total[from] -= k;
            --members[from];
            // Staying (or, if that leaves the community empty, moving to an empty one) is the baseline.
            Index best = from;
            double best_gain = tally_.at(from) - scale_ * k * total[from];
            for (const Index c : tally_.touched()) {
                const double gain = tally_.at(c) - scale_ * k * total[c];
                if (gain > best_gain) {
                    best_gain = gain;
                    best = c;
                }
            }
            if (best_gain < 0.0 && members[from] > 0) {
                best = empty.back();  // alone in a community of its own gains 0
                empty.pop_back();
            }
            if (members[from] == 0 && best != from) empty.push_back(from);
            total[best] += k;
            ++members[best];
            tally_.clear();
            if (best == from) continue;
            comm[v] = best;
            moved = true;
            g.for_each(v, [&](Index w, double) {
                if (!queued[w] && comm[w] != best) {
                    queued[w] = 1;
                    std::size_t tail = head + count;
                    if (tail >= n) tail -= n;
                    ring[tail] = w;
                    ++count;
                }
            });
        }
        return moved;
    }

    // Splits every community of comm into sub-communities: nodes start alone and join, in random
    // order, the sub-community of their own community that gains most, where both the node and that
    // sub-community are well connected to the rest of the community. Returns the sub-community of
    // each node (the index of one of its nodes).
    template <class G>
    std::vector<Index> refine(const G& g, const std::vector<Index>& comm) {
        const std::size_t n = g.size();
        std::vector<double> total(n, 0.0);
        for (std::size_t v = 0; v < n; ++v) total[comm[v]] += g.strength[v];
        std::vector<Index> sub(n);
        std::vector<double> sub_total(n), outside(n, 0.0);  // outside: weight to the rest of the community
        std::vector<char> alone(n, 1);
        for (std::size_t v = 0; v < n; ++v) {
            sub[v] = static_cast<Index>(v);
            sub_total[v] = g.strength[v];
            g.for_each(static_cast<Index>(v), [&](Index w, double weight) {
                if (comm[w] == comm[v]) outside[v] += weight;
            });
        }
        random_.shuffle(order_, n);
        for (std::size_t i = 0; i < n; ++i) {
            stop_.check_every(i, kCheckEvery);
            const Index v = order_[i];
            if (!alone[v]) continue;
            const double k = g.strength[v];
            const double community = total[comm[v]];
            if (outside[v] < scale_ * k * (community - k)) continue;
            g.for_each(v, [&](Index w, double weight) {
                if (comm[w] == comm[v]) tally_.add(sub[w], weight);
            });
            Index best = kNone;
            double best_gain = 0.0;
            for (const Index s : tally_.touched()) {
                if (s == v) continue;
                if (outside[s] < scale_ * sub_total[s] * (community - sub_total[s])) continue;
                const double gain = tally_.at(s) - scale_ * k * sub_total[s];
                if (gain > best_gain) {
                    best_gain = gain;
                    best = s;
                }
            }
            if (best != kNone) {
                outside[best] += outside[v] - 2.0 * tally_.at(best);
                sub_total[best] += k;
                sub[v] = best;
                alone[v] = 0;
                alone[best] = 0;
            }
            tally_.clear();
        }
        return sub;
    }

    // The graph whose nodes are the sub-communities `sub` of g, numbered by first appearance; `sub`
    // becomes each node's new number.
    template <class G>
    WeightedLevel aggregate(const G& g, std::vector<Index>& sub) {
        const std::size_t n = g.size();
        std::vector<Index> number(n, kNone);
        Index count = 0;
        for (std::size_t v = 0; v < n; ++v) {
            Index& s = number[sub[v]];
            if (s == kNone) s = count++;
            sub[v] = s;
        }
        // The nodes of each new node, together.
        std::vector<std::uint64_t> first(std::size_t{count} + 1, 0);
        for (std::size_t v = 0; v < n; ++v) ++first[sub[v] + 1];
        for (std::size_t s = 1; s <= count; ++s) first[s] += first[s - 1];
        std::vector<Index> grouped(n);
        {
            std::vector<std::uint64_t> next(first.begin(), first.end() - 1);
            for (std::size_t v = 0; v < n; ++v) grouped[next[sub[v]]++] = static_cast<Index>(v);
        }
        WeightedLevel up;
        up.start.assign(std::size_t{count} + 1, 0);
        // At most as many entries as the level below: reserved once (untouched capacity costs no
        // memory), so growing never copies them.
        up.nbr.reserve(g.entries());
        up.weight.reserve(g.entries());
        up.inner.assign(count, 0.0);
        up.strength.assign(count, 0.0);
        tally_.resize(count);
        for (Index s = 0; s < count; ++s) {
            stop_.check_every(s, kCheckEvery);
            for (std::uint64_t j = first[s]; j < first[s + 1]; ++j) {
                const Index v = grouped[j];
                up.strength[s] += g.strength[v];
                up.inner[s] += g.self(v);
                g.for_each(v, [&](Index w, double weight) {
                    if (sub[w] == s)
                        up.inner[s] += weight;
                    else
                        tally_.add(sub[w], weight);
                });
            }
            for (const Index t : tally_.touched()) {
                up.nbr.push_back(t);
                up.weight.push_back(static_cast<std::uint32_t>(tally_.at(t)));
            }
            up.start[s + 1] = up.nbr.size();
            tally_.clear();
        }
        return up;
    }

    // One pass over all levels from the partition `labels` of the first level (community numbers
    // below its size), which it improves in place. Returns whether any node moved.
    bool pass(const StoreLevel& base, std::vector<Index>& labels) {
        const std::size_t n = base.size();
        std::vector<Index> node_of(n);  // each first-level node's node on the current level
        for (std::size_t v = 0; v < n; ++v) node_of[v] = static_cast<Index>(v);
        std::vector<Index> comm = labels;
        bool any = false;
        WeightedLevel level;
        bool first_level = true;
        for (;;) {
            const bool moved = first_level ? move_nodes(base, comm) : move_nodes(level, comm);
            any |= moved;
            const std::size_t size = first_level ? n : level.size();
            // Done when every community is a single node of this level.
            std::vector<char> used(size, 0);
            std::size_t communities = 0;
            for (std::size_t v = 0; v < size; ++v)
                if (!used[comm[v]]) used[comm[v]] = 1, ++communities;
            if (communities == size) break;
            std::vector<Index> sub = first_level ? refine(base, comm) : refine(level, comm);
            WeightedLevel up = first_level ? aggregate(base, sub) : aggregate(level, sub);
            if (up.size() == size) break;  // nothing merged: the levels above would repeat this one
            std::vector<Index> up_comm(up.size());
            for (std::size_t v = 0; v < size; ++v) up_comm[sub[v]] = comm[v];
            for (std::size_t v = 0; v < n; ++v) node_of[v] = sub[node_of[v]];
            // Community numbers below the new level's size, in order of first appearance.
            std::vector<Index> renumber(size, kNone);
            Index next = 0;
            for (Index& c : up_comm) {
                if (renumber[c] == kNone) renumber[c] = next++;
                c = renumber[c];
            }
            comm = std::move(up_comm);
            level = std::move(up);
            first_level = false;
        }
        for (std::size_t v = 0; v < n; ++v) labels[v] = comm[node_of[v]];
        return any;
    }

   private:
    double scale_;  // gamma / 2m: the gain of v joining c is w(v, c) - scale_ k_v K_c
    Random random_;
    const Interrupt& stop_;
    Tally tally_;
    std::vector<Index> order_;
};

// Q of a partition of the first level given as labels below its size.
double quality(const StoreLevel& g, const std::vector<Index>& labels, double resolution) {
    const std::size_t n = g.size();
    std::vector<double> inside(n, 0.0), total(n, 0.0);
    double all = 0.0;
    for (std::size_t v = 0; v < n; ++v) {
        total[labels[v]] += g.strength[v];
        all += g.strength[v];
        g.for_each(static_cast<Index>(v), [&](Index w, double weight) {
            if (labels[w] == labels[v]) inside[labels[v]] += weight;
        });
    }
    double q = 0.0;
    for (std::size_t c = 0; c < n; ++c) q += inside[c] / all - resolution * (total[c] / all) * (total[c] / all);
    return q;
}

// Passes stop once one raises the modularity by less than this share of it: on random graphs, where
// every pass still finds a little, later passes cost as much as the first and add a few parts in ten
// thousand each.
constexpr double kGainToGoOn = 0.005;
constexpr int kMaxPasses = 32;
// Labels counted per thread by modularity() up to this many.
constexpr Index kFewLabels = Index{1} << 16;

}  // namespace

HugeArray<std::int64_t> Graph::communities(double resolution, std::uint64_t seed, const Interrupt& stop) const {
    if (!(resolution >= 0.0) || !std::isfinite(resolution))
        throw InvalidArgument("resolution must be a finite number, 0 or more");
    const std::uint64_t n = node_count();
    HugeArray<std::uint32_t> degree = loopless_degrees(stop);
    if (edge_count_ >= (std::uint64_t{1} << 32))
        throw CapacityError("communities() handles graphs of fewer than 2^32 edges");
    const StoreLevel base = store_level(nbrs_, degree, stop);
    degree = {};
    double total_strength = 0.0;
    for (const double k : base.strength) total_strength += k;
    std::vector<Index> labels(n);
    for (std::uint64_t v = 0; v < n; ++v) labels[v] = static_cast<Index>(v);
    stop.expect(0);
    if (total_strength > 0.0) {
        Leiden leiden(total_strength, resolution, seed, stop);
        double q = quality(base, labels, resolution);
        std::vector<Index> best = labels;
        for (int pass = 0; pass < kMaxPasses; ++pass) {
            const bool moved = leiden.pass(base, labels);
            stop.advance(1);
            const double now = quality(base, labels, resolution);
            if (now > q) best = labels;
            if (!moved || now - q < kGainToGoOn * std::abs(now)) break;
            q = now;
        }
        labels = std::move(best);
    }
    // Each community's connected parts, numbered by first appearance in iteration order.
    HugeArray<std::int64_t> out(n);
    std::fill(out.data(), out.data() + n, -1);
    std::vector<Index> queue;
    std::int64_t next = 0;
    for (std::uint64_t s = 0; s < n; ++s) {
        if (out.data()[s] >= 0) continue;
        stop.check();
        const std::int64_t label = next++;
        const Index community = labels[s];
        out.data()[s] = label;
        queue.assign(1, static_cast<Index>(s));
        for (std::size_t head = 0; head < queue.size(); ++head) {
            nbrs_[queue[head]].for_each([&](Index w) {
                if (out.data()[w] < 0 && labels[w] == community) {
                    out.data()[w] = label;
                    queue.push_back(w);
                }
            });
        }
    }
    return out;
}

double Graph::modularity(std::span<const std::int64_t> labels, double resolution, const Interrupt& stop) const {
    const std::uint64_t n = node_count();
    if (labels.size() != n)
        throw InvalidArgument("labels must have one entry per node: " + std::to_string(labels.size()) +
                              " given for " + std::to_string(n) + " nodes");
    if (!std::isfinite(resolution)) throw InvalidArgument("resolution must be a finite number");
    // Labels as numbers below n: as they are when they already lie there, else by first appearance.
    std::vector<Index> dense(n);
    const bool small = std::all_of(labels.begin(), labels.end(),
                                   [n](std::int64_t c) { return c >= 0 && static_cast<std::uint64_t>(c) < n; });
    if (small) {
        for (std::uint64_t v = 0; v < n; ++v) dense[v] = static_cast<Index>(labels[v]);
    } else {
        std::unordered_map<std::int64_t, Index> number;
        for (std::uint64_t v = 0; v < n; ++v) {
            stop.check_every(v, kCheckEvery);
            dense[v] = number.emplace(labels[v], static_cast<Index>(number.size())).first->second;
        }
    }
    // Edge counts are whole numbers: summed exactly, in any order, then turned into the quality.
    // Few labels are counted per thread and added up at the end (shared counters would be fought
    // over); many, straight into shared ones.
    const Index labels_used = n == 0 ? 0 : *std::max_element(dense.begin(), dense.end()) + 1;
    std::vector<std::atomic<std::uint64_t>> inside(labels_used), total(labels_used);
    auto count_node = [&](std::size_t v, auto&& add) {
        std::uint64_t in = 0, degree = 0;
        const Index c = dense[v];
        nbrs_[v].for_each([&](Index w) {
            if (w == v) return;
            ++degree;
            in += dense[w] == c;
        });
        add(c, in, degree);
    };
    if (labels_used <= kFewLabels) {
        const std::size_t pieces = parallel::thread_count();
        parallel::for_range(pieces, 1, [&](std::size_t b, std::size_t e) {
            std::vector<std::uint64_t> in(labels_used, 0), deg(labels_used, 0);
            for (std::size_t piece = b; piece < e; ++piece) {
                for (std::size_t v = piece * n / pieces, last = (piece + 1) * n / pieces; v < last; ++v) {
                    stop.check_every(v, kCheckEvery);
                    count_node(v, [&](Index c, std::uint64_t i, std::uint64_t d) {
                        in[c] += i;
                        deg[c] += d;
                    });
                }
            }
            for (Index c = 0; c < labels_used; ++c) {
                if (in[c]) inside[c].fetch_add(in[c], std::memory_order_relaxed);
                if (deg[c]) total[c].fetch_add(deg[c], std::memory_order_relaxed);
            }
        });
    } else {
        parallel_for_checked(stop, n, [&](std::size_t v) {
            count_node(v, [&](Index c, std::uint64_t i, std::uint64_t d) {
                if (i) inside[c].fetch_add(i, std::memory_order_relaxed);
                if (d) total[c].fetch_add(d, std::memory_order_relaxed);
            });
        });
    }
    std::uint64_t all = 0;
    for (Index c = 0; c < labels_used; ++c) all += total[c].load(std::memory_order_relaxed);
    if (all == 0) return std::numeric_limits<double>::quiet_NaN();
    const double two_m = static_cast<double>(all);
    double q = 0.0;
    for (Index c = 0; c < labels_used; ++c) {
        const double in = static_cast<double>(inside[c].load(std::memory_order_relaxed));
        const double k = static_cast<double>(total[c].load(std::memory_order_relaxed));
        if (k > 0.0) q += in / two_m - resolution * (k / two_m) * (k / two_m);
    }
    return q;
}

}  // namespace qm
