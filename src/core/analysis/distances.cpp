// Hop distances from one node to every node: breadth-first search that switches direction level by
// level (Beamer, Asanović and Patterson, "Direction-Optimizing Breadth-First Search", SC 2012).
//
// A level whose frontier is small is grown top-down: each frontier node claims its unseen
// neighbours. Once the frontier's edges outweigh a fraction of the edges not yet explored, growing
// it would touch most of the graph's edges twice, so the next levels are grown bottom-up instead:
// every unseen node looks for a neighbour on the current level and stops at the first it finds, and
// the many nodes of a large level are found by reading far fewer edges. When the frontier thins out
// again the search goes back to top-down. Both directions give every node the length of its
// shortest path, so the result does not depend on the switches, the workers or the scheduling.
//
// Distances live in one array of n entries (-1: not reached yet), written through relaxed atomics:
// within a level a node is only ever claimed once (top-down: by compare-and-swap; bottom-up: by
// itself), and a read that races with a claim sees -1 or the next level, never the current one.
#include <atomic>
#include <mutex>

#include "core/store/graph.hpp"
#include "parallel/pool.hpp"

namespace qm {

namespace {

// Bottom-up once the frontier's edges exceed the unexplored edges / kToBottomUp; back to top-down
// once the frontier holds fewer than n / kToTopDown nodes (the figures of the paper above).
constexpr std::uint64_t kToBottomUp = 14;
constexpr std::uint64_t kToTopDown = 24;
// Frontier nodes (top-down) or nodes (bottom-up) one piece of parallel work covers; a frontier
// smaller than this is grown on the calling thread.
constexpr std::size_t kLevelGrain = std::size_t{1} << 12;
constexpr std::int64_t kUnreached = -1;

class Levels {
   public:
    Levels(std::size_t n, const Interrupt& stop) : dist_(n) {
        for_range_checked(stop, n, kLevelGrain, kCheckEvery, [&](std::size_t first, std::size_t last) {
            for (std::size_t i = first; i < last; ++i) dist_.data()[i] = kUnreached;
        });
    }
    std::int64_t get(Index i) const noexcept { return ref(i).load(std::memory_order_relaxed); }
    void set(Index i, std::int64_t d) noexcept { ref(i).store(d, std::memory_order_relaxed); }
    // Marks i as reached at level d unless something reached it first.
    bool claim(Index i, std::int64_t d) noexcept {
        std::int64_t expected = kUnreached;
        return get(i) == kUnreached &&
               ref(i).compare_exchange_strong(expected, d, std::memory_order_relaxed, std::memory_order_relaxed);
    }
    HugeArray<std::int64_t> take() noexcept { return std::move(dist_); }

   private:
    std::atomic_ref<std::int64_t> ref(Index i) const noexcept { return std::atomic_ref<std::int64_t>(dist_.data()[i]); }
    HugeArray<std::int64_t> dist_;
};

}  // namespace

HugeArray<std::int64_t> Graph::distances(NodeId source, const Interrupt& stop) const {
    const std::size_t n = ids_.size();
    stop.expect(n);
    Levels levels(n, stop);
    const Index s = find(source);
    if (s == kNoIndex) return levels.take();

    levels.set(s, 0);
    std::vector<Index> frontier{s}, next;
    std::uint64_t frontier_nodes = 1, frontier_edges = nbrs_[s].size();
    std::uint64_t unexplored = row_entries();
    bool bottom_up = false;
    std::mutex merge;
    for (std::int64_t d = 0; frontier_nodes > 0; ++d) {
        stop.check();
        unexplored -= std::min(unexplored, frontier_edges);
        if (!bottom_up && frontier_edges > unexplored / kToBottomUp) {
            bottom_up = true;
        } else if (bottom_up && frontier_nodes < n / kToTopDown) {
            bottom_up = false;
            // The list of level d, which the bottom-up step that found it did not keep.
            frontier.clear();
            for (std::size_t i = 0; i < n; ++i) {
                stop.check_every(i, kCheckEvery);
                if (levels.get(static_cast<Index>(i)) == d) frontier.push_back(static_cast<Index>(i));
            }
        }
        std::atomic<std::uint64_t> found{0}, found_edges{0};
        if (bottom_up) {
            for_range_checked(stop, n, kLevelGrain, kCheckEvery, [&](std::size_t first, std::size_t last) {
                std::uint64_t nodes = 0, edges = 0;
                for (std::size_t v = first; v < last; ++v) {
                    if (levels.get(static_cast<Index>(v)) != kUnreached) continue;
                    nbrs_[v].for_each_until([&](Index w) {
                        if (levels.get(w) != d) return true;
                        levels.set(static_cast<Index>(v), d + 1);
                        ++nodes;
                        edges += nbrs_[v].size();
                        return false;
                    });
                }
                found.fetch_add(nodes, std::memory_order_relaxed);
                found_edges.fetch_add(edges, std::memory_order_relaxed);
            });
        } else {
            next.clear();
            auto grow = [&](std::size_t first, std::size_t last, std::vector<Index>& out) {
                std::uint64_t edges = 0;
                for (std::size_t k = first; k < last; ++k) {
                    nbrs_[frontier[k]].for_each([&](Index w) {
                        if (!levels.claim(w, d + 1)) return;
                        out.push_back(w);
                        edges += nbrs_[w].size();
                    });
                }
                found_edges.fetch_add(edges, std::memory_order_relaxed);
            };
            if (frontier.size() < kLevelGrain) {
                for (std::size_t k = 0; k < frontier.size(); k += kCheckEvery) {
                    stop.check();
                    grow(k, std::min(frontier.size(), k + kCheckEvery), next);
                }
            } else {
                for_range_checked(stop, frontier.size(), kLevelGrain, kCheckEvery,
                                  [&](std::size_t first, std::size_t last) {
                                      std::vector<Index> mine;
                                      grow(first, last, mine);
                                      const std::lock_guard<std::mutex> hold(merge);
                                      next.insert(next.end(), mine.begin(), mine.end());
                                  });
            }
            found.store(next.size(), std::memory_order_relaxed);
            frontier.swap(next);
        }
        frontier_nodes = found.load(std::memory_order_relaxed);
        stop.advance(frontier_nodes);
        frontier_edges = found_edges.load(std::memory_order_relaxed);
    }
    return levels.take();
}

}  // namespace qm
