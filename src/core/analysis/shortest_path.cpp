// Unweighted shortest-path length by bidirectional breadth-first search (Pohl, "Bi-directional
// search", 1971), each step growing the side whose frontier has the smaller degree sum.
//
// Both ends grow their search one level at a time, always the side whose next level is cheaper to
// build (the smaller sum of degrees over its frontier), so a hub is expanded only when the other
// side is no better. The search stops at the first edge that reaches a node the other side has
// seen: that edge closes a shortest path. (Had the other side seen that node at a shallower depth,
// it would already have reached the node being expanded, and an earlier level would have stopped
// the search.) Seen nodes live in one hash map that grows with the search (its emptied table is
// kept for the next search), so a short query costs nothing proportional to the size of the
// graph. A search that has seen a good share of the graph (long paths: roads, meshes, or no path
// within a large component) moves to a byte per node, read without hashing or probing.
#include <array>
#include <bit>
#include <limits>
#include <vector>

#include "core/store/graph.hpp"
#include "core/base/shelf.hpp"
#include "core/store/slot_key.hpp"

namespace qm {

namespace {

enum Side : std::uint8_t { kNone = 0, kFromSource = 1, kFromTarget = 2 };

// A seen-set table kept between searches, every slot empty, so that a search starts without
// allocating or clearing memory: fresh memory costs page faults that outweigh a short search.
struct SpareTable {
    BigVector<Index> keys;
    BigVector<Side> sides;
    std::vector<std::uint64_t> used;  // the slots a search filled, emptied again when it ends
    SlotKey key = SlotKey::fresh();   // where the table's keys go
};
// A table past this many slots is released rather than kept.
constexpr std::uint64_t kSpareMaxCapacity = std::uint64_t{1} << 20;

// The emptied tables of finished searches, shared by all threads. Searches that run at once rarely
// outnumber the cores; a few more tables are simply dropped.
using SpareShelf = Shelf<SpareTable, 8>;
// Never destroyed: a detached search may still be running while the process exits.
SpareShelf& shelf() {
    static SpareShelf* const one = new SpareShelf;
    return *one;
}

// Dense index -> the side that saw it. Open addressing, linear probing, kNoIndex marks empty; once
// it holds one node in kDenseShare of the graph's, a byte per node instead.
class SeenMap {
   public:
    explicit SeenMap(std::uint64_t nodes) : nodes_(nodes) {
        SpareTable spare = shelf().take();
        keys_ = std::move(spare.keys);
        sides_ = std::move(spare.sides);
        used_ = std::move(spare.used);
        key_ = spare.key;
        if (keys_.empty()) rehash(kInitialCapacity);  // may throw; a taken table is then just freed
    }
    ~SeenMap() {
        for (std::uint64_t s : used_) keys_[s] = kNoIndex;  // a side is only read where its key matches
        used_.clear();
        if (keys_.size() <= kSpareMaxCapacity) shelf().give({std::move(keys_), std::move(sides_), std::move(used_), key_});
    }
    SeenMap(const SeenMap&) = delete;
    SeenMap& operator=(const SeenMap&) = delete;

    // The side that saw i; if none, records `side` as having seen it and returns kNone.
    Side see(Index i, Side side) {
        if (!dense_.empty()) {
            Side& by = dense_[i];
            if (by != kNone) return by;
            by = side;
            return kNone;
        }
        if (4 * (used_.size() + 1) > 3 * keys_.size()) {
            if (used_.size() * kDenseShare >= nodes_) {
                go_dense();
                return see(i, side);
            }
            rehash(keys_.size() * 2);
        }
        std::uint64_t s = home(i);
        for (; keys_[s] != kNoIndex; s = (s + 1) & (keys_.size() - 1))
            if (keys_[s] == i) return sides_[s];
        used_.push_back(s);  // first, so that a failure leaves nothing to undo
        keys_[s] = i;
        sides_[s] = side;
        return kNone;
    }

   private:
    static constexpr std::uint64_t kInitialCapacity = 64;
    static constexpr std::uint64_t kDenseShare = 16;

    // Copies every key into a byte per node; the table keeps them until the search ends, when the
    // destructor empties its slots as usual.
    void go_dense() {
        std::vector<Side> dense(nodes_, kNone);
        for (std::uint64_t s : used_) dense[keys_[s]] = sides_[s];
        dense_.swap(dense);
    }

    // Not index_hash(): hub sets are tables laid out by that hash, and feeding a table's elements in
    // its own slot order into a smaller table with the same hash piles them into one long cluster.
    // Nor any fixed mix: which nodes a search meets is up to whoever built the graph, and a fixed
    // mix can be inverted to pick neighbours of a hub that all land in one run. A secret key keeps
    // the slots unrelated to both (see slot_key.hpp).
    static std::uint64_t slot_of(Index i, std::uint64_t cap, const SlotKey& key) noexcept {
        return key.mix(i) >> (std::numeric_limits<std::uint64_t>::digits - std::countr_zero(cap));
    }
    std::uint64_t home(Index i) const noexcept { return slot_of(i, keys_.size(), key_); }
    // Moves every key into a table of `cap` slots under a fresh key.
    void rehash(std::uint64_t cap) {
        const SlotKey key = SlotKey::fresh();
        BigVector<Index> keys(cap, kNoIndex);
        BigVector<Side> sides(cap, kNone);
        std::vector<std::uint64_t> used;
        used.reserve(used_.size() + 1);
        for (std::uint64_t s : used_) {
            std::uint64_t t = slot_of(keys_[s], cap, key);
            while (keys[t] != kNoIndex) t = (t + 1) & (cap - 1);
            keys[t] = keys_[s];
            sides[t] = sides_[s];
            used.push_back(t);
        }
        keys_.swap(keys);
        sides_.swap(sides);
        used_.swap(used);
        key_ = key;
    }
    BigVector<Index> keys_;
    BigVector<Side> sides_;
    std::vector<std::uint64_t> used_;
    SlotKey key_ = SlotKey::fresh();
    std::uint64_t nodes_;      // in the graph
    std::vector<Side> dense_;  // once in use, every node's side
};

// Expanding a frontier loads each node's set header and then its elements; both are started this
// many nodes ahead.
constexpr std::size_t kHeadersAhead = 8;
constexpr std::size_t kElementsAhead = 4;
// Frontier nodes expanded between two interrupt checks.
constexpr std::size_t kNodesPerCheck = 256;

struct Search {
    std::vector<Index> frontier;
    std::uint64_t work = 0;  // sum of the frontier's degrees
    std::uint64_t depth = 0;
};

}  // namespace

std::int64_t Graph::shortest_path_length(NodeId source, NodeId target, const Interrupt& stop) const {
    stop.expect(node_count());  // the most the search can reach
    if (source == target) return 0;
    Index s = find(source);
    if (s == kNoIndex) return -1;
    Index t = find(target);
    if (t == kNoIndex) return -1;

    // Summed once a level is complete rather than while it is built, so the last level (where the
    // search stops) never pays for it, and with the headers' loads overlapped.
    auto degree_sum = [&](const std::vector<Index>& nodes) {
        std::uint64_t sum = 0;
        for (std::size_t k = 0; k < nodes.size(); ++k) {
            if (k + kHeadersAhead < nodes.size()) __builtin_prefetch(&nbrs_[nodes[k + kHeadersAhead]]);
            sum += nbrs_[nodes[k]].size();
        }
        return sum;
    };
    SeenMap seen(node_count());
    std::array<Search, 2> search;
    seen.see(s, kFromSource);
    seen.see(t, kFromTarget);
    search[0].frontier.push_back(s);
    search[0].work = nbrs_[s].size();
    search[1].frontier.push_back(t);
    search[1].work = nbrs_[t].size();
    std::vector<Index> next;
    while (!search[0].frontier.empty() && !search[1].frontier.empty()) {
        const int g = search[0].work <= search[1].work ? 0 : 1;
        const Side mine = g == 0 ? kFromSource : kFromTarget;
        Search& grow = search[g];
        next.clear();
        bool met = false;
        const std::vector<Index>& frontier = grow.frontier;
        for (std::size_t k = 0; k < frontier.size(); ++k) {
            stop.check_every(k, kNodesPerCheck);
            if (k + kHeadersAhead < frontier.size()) __builtin_prefetch(&nbrs_[frontier[k + kHeadersAhead]]);
            if (k + kElementsAhead < frontier.size()) nbrs_[frontier[k + kElementsAhead]].prefetch_elements();
            nbrs_[frontier[k]].for_each_until([&](Index v) {
                Side by = seen.see(v, mine);
                if (by == kNone) {
                    next.push_back(v);
                } else if (by != mine) {
                    met = true;
                }
                return !met;
            });
            if (met) return static_cast<std::int64_t>(search[0].depth + search[1].depth + 1);
        }
        stop.advance(frontier.size());
        grow.frontier.swap(next);
        grow.work = degree_sum(grow.frontier);
        ++grow.depth;
    }
    return -1;
}

}  // namespace qm
