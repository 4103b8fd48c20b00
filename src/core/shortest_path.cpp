// Unweighted shortest-path length by bidirectional breadth-first search.
//
// Both ends grow their search one whole level at a time, always the side with the smaller frontier.
// When a level reaches a node the other side has already seen, the shortest distance is the
// smallest d_source + 1 + d_target over the meeting edges of that level. On graphs where the two
// balls meet in the middle this touches roughly the square root of what a one-sided search touches.
// Visited nodes live in small per-call hash maps that grow with the search, so a query costs
// nothing proportional to the size of the graph.
#include <algorithm>
#include <cstdlib>
#include <limits>

#include "graph.hpp"

namespace qm {

namespace {

// Dense index -> distance from one end. Open addressing, linear probing, kNoIndex marks empty.
class DistanceMap {
   public:
    static constexpr std::uint64_t kInitialCapacity = 64;

    DistanceMap() { rehash(kInitialCapacity); }

    // Distance of i, or kUnseen.
    static constexpr std::uint64_t kUnseen = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t find(Index i) const noexcept {
        for (std::uint64_t s = home(i);; s = (s + 1) & (keys_.size() - 1)) {
            if (keys_[s] == i) return dist_[s];
            if (keys_[s] == kNoIndex) return kUnseen;
        }
    }
    // Records i at distance d unless seen; returns whether it was new.
    bool insert(Index i, std::uint64_t d) {
        if (4 * (size_ + 1) > 3 * keys_.size()) rehash(keys_.size() * 2);
        std::uint64_t s = home(i);
        for (; keys_[s] != kNoIndex; s = (s + 1) & (keys_.size() - 1))
            if (keys_[s] == i) return false;
        keys_[s] = i;
        dist_[s] = d;
        ++size_;
        return true;
    }

   private:
    std::uint64_t home(Index i) const noexcept {
        return index_hash(i) >> (64 - std::countr_zero(keys_.size()));
    }
    void rehash(std::uint64_t cap) {
        std::vector<Index> keys(cap, kNoIndex);
        std::vector<std::uint64_t> dist(cap);
        keys_.swap(keys);
        dist_.swap(dist);
        size_ = 0;
        for (std::size_t s = 0; s < keys.size(); ++s)
            if (keys[s] != kNoIndex) insert(keys[s], dist[s]);
    }
    std::vector<Index> keys_;
    std::vector<std::uint64_t> dist_;
    std::uint64_t size_ = 0;
};

struct Side {
    DistanceMap seen;
    std::vector<Index> frontier;
    std::uint64_t depth = 0;
};

}  // namespace

std::int64_t Graph::shortest_path_length(NodeId source, NodeId target) const {
    if (source == target) return 0;
    Index s = find(source);
    if (s == kNoIndex) return -1;
    Index t = find(target);
    if (t == kNoIndex) return -1;

    Side a, b;
    a.seen.insert(s, 0);
    a.frontier.push_back(s);
    b.seen.insert(t, 0);
    b.frontier.push_back(t);
    std::vector<Index> next;
    while (!a.frontier.empty() && !b.frontier.empty()) {
        Side& grow = a.frontier.size() <= b.frontier.size() ? a : b;
        Side& other = &grow == &a ? b : a;
        std::uint64_t best = DistanceMap::kUnseen;
        next.clear();
        for (Index u : grow.frontier) {
            nbrs_[u].for_each([&](Index v) {
                std::uint64_t there = other.seen.find(v);
                if (there != DistanceMap::kUnseen) best = std::min(best, grow.depth + 1 + there);
                if (grow.seen.insert(v, grow.depth + 1)) next.push_back(v);
            });
        }
        if (best != DistanceMap::kUnseen) return static_cast<std::int64_t>(best);
        grow.frontier.swap(next);
        ++grow.depth;
    }
    return -1;
}

}  // namespace qm
