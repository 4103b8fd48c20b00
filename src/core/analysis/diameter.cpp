// The diameter: the greatest distance between two nodes that are connected (0 without edges).
//
// Method: iFUB (Crescenzi, Grossi, Habib, Lanzi and Marino, "On computing the diameter of
// real-world undirected graphs", TCS 2013), component by component. Two double sweeps from the
// component's node of greatest degree give a lower bound and a central node u; a breadth-first
// search from u sorts the component into levels by distance from u. Every node at level i or
// below is within 2i of every other, so the nodes of the deepest levels are the only ones whose
// eccentricity can still raise the answer: their eccentricities are taken level by level, deepest
// first, until the best found is at least twice the next level's depth. On real graphs (long, thin
// peripheries) that stops after a few searches; on random graphs, whose deepest levels hold a good
// part of the nodes, it can take a search from each of them, as the plain method takes one from
// every node. Exact. Searches run over dense indices, with scratch arrays that each search clears
// behind itself, so a search costs the size of its component only; the searches of one level run
// side by side on the worker pool, or, on a shallow component, 64 at a time by bit-parallel search.
// Reads the graph only (a shared borrow suffices).
#include <algorithm>
#include <atomic>
#include <optional>
#include <span>

#include "core/base/shelf.hpp"
#include "core/store/graph.hpp"
#include "parallel/pool.hpp"

namespace qm {

namespace {

// Breadth-first searches within one component, on arrays over all nodes kept between searches.
// An empty one (default-constructed) is what a shelf hands out before any is kept.
class Searches {
   public:
    Searches() noexcept = default;
    Searches(const BigVector<NeighbourSet>& sets, const Interrupt& stop)
        : sets_(&sets), stop_(&stop), depth_(sets.size()), queue_(sets.size()) {
        std::fill(depth_.data(), depth_.data() + depth_.size(), kUnseen);
    }
    bool ready() const noexcept { return sets_ != nullptr; }

    // Searches from `from`; the nodes it reached are order()[0, reached()), by distance, and
    // depth(v) is v's distance until the next search. Returns the eccentricity of `from`.
    std::uint32_t run(Index from) {
        clear();
        Index* queue = queue_.data();
        std::uint32_t* depth = depth_.data();
        queue[0] = from;
        depth[from] = 0;
        std::size_t head = 0, tail = 1;
        while (head < tail) {
            stop_->check_every(head, kCheckEvery);
            const Index v = queue[head++];
            const std::uint32_t next = depth[v] + 1;
            (*sets_)[v].for_each_prefetched(depth, [&](Index w) {
                if (depth[w] == kUnseen) {
                    depth[w] = next;
                    queue[tail++] = w;
                }
            });
        }
        reached_ = tail;
        stop_->advance(1);
        return depth[queue[tail - 1]];
    }

    // On the last search, the node at depth `depth` on a shortest path back from the farthest
    // node reached: each step goes to the first neighbour, in iteration order, one level up.
    Index middle(const BigVector<NeighbourSet>& sets, std::uint32_t depth) const {
        Index v = queue_.data()[reached_ - 1];
        while (depth_.data()[v] > depth) {
            const std::uint32_t up = depth_.data()[v] - 1;
            Index next = v;
            sets[v].for_each_until([&](Index w) {
                if (depth_.data()[w] != up) return true;
                next = w;
                return false;
            });
            v = next;
        }
        return v;
    }

    const Index* order() const noexcept { return queue_.data(); }
    std::size_t reached() const noexcept { return reached_; }
    std::uint32_t depth(Index v) const noexcept { return depth_.data()[v]; }

   private:
    static constexpr std::uint32_t kUnseen = UINT32_MAX;
    void clear() noexcept {
        for (std::size_t k = 0; k < reached_; ++k) depth_.data()[queue_.data()[k]] = kUnseen;
        reached_ = 0;
    }
    const BigVector<NeighbourSet>* sets_ = nullptr;
    const Interrupt* stop_ = nullptr;
    HugeArray<std::uint32_t> depth_;
    HugeArray<Index> queue_;
    std::size_t reached_ = 0;
};

// Searches from up to 64 sources at once, a bit per source (the bit-parallel search of Akiba, Iwata
// and Yoshida, "Fast exact shortest-path distance queries on large networks", SIGMOD 2013, used
// here for eccentricities): each round, every node of the component ORs together its neighbours'
// frontier words and keeps the bits it has not seen, so one round advances all the searches by a
// level, and the greatest eccentricity among the sources is the number of rounds that found a node.
// A round reads every edge of the component once (a node that every source has reached reads none),
// so this pays where a component is shallow and a level holds many nodes: 64 searches for about as
// many rounds as the component is deep.
class WideSearches {
   public:
    explicit WideSearches(std::size_t n) : seen_(n), frontier_(n), next_(n) {
        std::fill(seen_.data(), seen_.data() + n, 0);
        std::fill(frontier_.data(), frontier_.data() + n, 0);
    }

    // The greatest eccentricity among the sources (at most 64), all in the component `nodes`.
    std::uint32_t run(const BigVector<NeighbourSet>& sets, std::span<const Index> nodes, std::span<const Index> sources,
                      const Interrupt& stop) {
        std::uint64_t* seen = seen_.data();
        std::uint64_t* frontier = frontier_.data();
        std::uint64_t* next = next_.data();
        const std::uint64_t all = sources.size() == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << sources.size()) - 1;
        for (std::size_t j = 0; j < sources.size(); ++j) {
            seen[sources[j]] |= std::uint64_t{1} << j;
            frontier[sources[j]] |= std::uint64_t{1} << j;
        }
        std::uint32_t rounds = 0;
        for (;;) {
            std::atomic<bool> found{false};
            for_range_checked(stop, nodes.size(), kGrain, kCheckEvery, [&](std::size_t b, std::size_t e) {
                std::uint64_t any = 0;
                for (std::size_t k = b; k < e; ++k) {
                    const Index v = nodes[k];
                    std::uint64_t reach = 0;
                    if (seen[v] != all) sets[v].for_each_prefetched(frontier, [&](Index w) { reach |= frontier[w]; });
                    next[v] = reach & ~seen[v];
                    any |= next[v];
                }
                if (any) found.store(true, std::memory_order_relaxed);
            });
            if (!found.load()) break;
            ++rounds;
            for_range_checked(stop, nodes.size(), kGrain, kCheckEvery, [&](std::size_t b, std::size_t e) {
                for (std::size_t k = b; k < e; ++k) {
                    const Index v = nodes[k];
                    seen[v] |= next[v];
                    frontier[v] = next[v];
                }
            });
        }
        for (const Index v : nodes) seen[v] = frontier[v] = 0;
        stop.advance(sources.size());
        return rounds;
    }

   private:
    static constexpr std::size_t kGrain = 4096;
    HugeArray<std::uint64_t> seen_, frontier_, next_;
};

// A level is searched 64 nodes at a time when it holds at least this many and the component is at
// most this deep from its centre (so a round bounds the searches at twice that).
constexpr std::size_t kWideLevel = 128;
constexpr std::uint32_t kWideDepth = 16;

// Double sweeps before the levels are searched.
constexpr int kSweeps = 2;
// Spare searches for the workers that search the nodes of a level side by side.
using SearchShelf = Shelf<Searches, 64>;

}  // namespace

std::int64_t Graph::diameter(const Interrupt& stop) const {
    const std::uint64_t n = node_count();
    if (n == 0) return 0;
    stop.expect(0);  // the number of searches is found as they go
    Searches search(nbrs_, stop);
    SearchShelf spare;
    // Nodes not yet in a component that has been measured.
    std::vector<bool> done(n, false);
    std::uint32_t best = 0;
    std::vector<Index> levels;  // the start's search, kept while the deepest levels are searched
    std::optional<WideSearches> wide;
    for (std::uint64_t first = 0; first < n; ++first) {
        if (done[first]) continue;
        // The component of `first`, found by one search; its node of greatest degree is the start.
        search.run(static_cast<Index>(first));
        Index start = static_cast<Index>(first);
        for (std::size_t k = 0; k < search.reached(); ++k) {
            const Index v = search.order()[k];
            done[v] = true;
            if (nbrs_[v].size() > nbrs_[start].size()) start = v;
        }
        if (search.reached() < 2) continue;
        // Two double sweeps (the 4-sweep of the same authors): a search from a node reaches
        // farthest some a, whose own search reaches farthest some b at distance e(a), a lower bound
        // on the diameter; the middle of that a-b path is a node of small eccentricity, and it
        // starts the next sweep and, at last, the levels below.
        std::uint32_t lower = 0;
        Index centre = start;
        for (int sweep = 0; sweep < kSweeps; ++sweep) {
            search.run(centre);
            const std::uint32_t far = search.run(search.order()[search.reached() - 1]);
            lower = std::max(lower, far);
            centre = search.middle(nbrs_, far / 2);
        }
        const std::uint32_t ecc = search.run(centre);
        levels.assign(search.order(), search.order() + search.reached());
        // Level boundaries: levels[0, end) are at depth <= i.
        std::vector<std::size_t> level_end(std::size_t{ecc} + 1, 0);
        for (const Index v : levels) ++level_end[search.depth(v)];
        for (std::size_t i = 1; i < level_end.size(); ++i) level_end[i] += level_end[i - 1];
        // Nodes at depth i or less are at most 2 i apart: once that is no more than the best
        // distance found (here or in another component), the deeper levels searched so far decide.
        lower = std::max(lower, ecc);
        for (std::uint32_t i = ecc; i > 0 && 2 * i > std::max(lower, best); --i) {
            const std::size_t from = level_end[i - 1];
            if (level_end[i] - from >= kWideLevel && ecc <= kWideDepth) {
                if (!wide) wide.emplace(n);
                for (std::size_t k = from; k < level_end[i]; k += 64) {
                    const std::size_t count = std::min<std::size_t>(64, level_end[i] - k);
                    lower = std::max(lower, wide->run(nbrs_, levels, std::span(levels).subspan(k, count), stop));
                }
                continue;
            }
            // The searches of a level are independent: workers take its nodes side by side, each
            // with searches of its own, and the greatest eccentricity does not depend on who found it.
            std::atomic<std::uint32_t> level_best{0};
            parallel::for_range(level_end[i] - from, 1, [&](std::size_t b, std::size_t e) {
                Searches own = spare.take();
                if (!own.ready()) own = Searches(nbrs_, stop);
                std::uint32_t found = 0;
                for (std::size_t k = b; k < e; ++k) found = std::max(found, own.run(levels[from + k]));
                spare.give(std::move(own));  // not reached after a throw: those arrays are simply freed
                std::uint32_t seen = level_best.load(std::memory_order_relaxed);
                while (found > seen && !level_best.compare_exchange_weak(seen, found, std::memory_order_relaxed)) {
                }
            });
            lower = std::max(lower, level_best.load());
        }
        best = std::max(best, lower);
    }
    return best;
}

}  // namespace qm
