// Unweighted shortest-path length by bidirectional breadth-first search (Pohl, "Bi-directional
// search", 1971), each step growing the side whose frontier has the smaller degree sum.
//
// Both ends grow their search one level at a time, always the side whose next level is cheaper to
// build (the smaller sum of degrees over its frontier), so a hub is expanded only when the other
// side is no better. The search stops at the first edge that reaches a node the other side has
// seen: that edge closes a shortest path. (Had the other side seen that node at a shallower depth,
// it would already have reached the node being expanded, and an earlier level would have stopped
// the search.) On a graph of up to kMarkedNodes nodes, seen nodes are marked in a byte per node,
// kept zeroed between searches (a search clears what it marked), so that a short query costs
// nothing proportional to the size of the graph once the first has made the array. On a larger graph they live in one hash map that grows
// with the search (its emptied table is kept for the next search), and a search that has seen a
// good share of the graph (long paths: roads, meshes, or no path within a large component) moves
// to a byte per node of its own.
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "core/store/graph.hpp"
#include "core/base/env.hpp"
#include "core/base/shelf.hpp"
#include "core/store/slot_key.hpp"

namespace qm {

namespace {

enum Side : std::uint8_t { kNone = 0, kFromSource = 1, kFromTarget = 2 };

// A byte per node, every one kNone while kept. calloc(), where it maps a large block afresh, hands
// it over as zero pages that are only faulted in where a search marks them.
struct Marks {
    struct Free {
        void operator()(Side* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<Side[], Free> at;
    std::uint64_t size = 0;

    static Marks zeroed(std::uint64_t n) {
        static_assert(kNone == 0);
        Side* p = static_cast<Side*>(std::calloc(n, sizeof(Side)));
        if (p == nullptr) throw std::bad_alloc();
        return {std::unique_ptr<Side[], Free>(p), n};
    }
};
// Graphs of up to this many nodes mark seen nodes in Marks (a kept array is at most this many bytes).
// The environment can set another bound (read once per process): the tests lower it to take the
// hash map with small graphs.
constexpr std::uint64_t kMarkedNodes = std::uint64_t{1} << 23;

std::uint64_t marked_nodes() {
    static const std::uint64_t most = env_count_or("QUILLMESH_PATH_MARKED_NODES", kMarkedNodes);
    return most;
}

// A seen set kept between searches, every slot or mark empty, so that a search starts without
// allocating or clearing memory: fresh memory costs page faults that outweigh a short search.
struct SpareTable {
    BigVector<Index> keys;
    BigVector<Side> sides;
    std::vector<std::uint64_t> used;  // the slots (or nodes) a search filled, emptied when it ends
    SlotKey key = SlotKey::fresh();   // where the table's keys go
    Marks marks;
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

// Dense index -> the side that saw it. On a graph of up to kMarkedNodes nodes, a byte per node
// (Marks). Otherwise open addressing, linear probing, kNoIndex marks empty; once it holds one node
// in kDenseShare of the graph's, a byte per node of its own instead.
class SeenMap {
   public:
    explicit SeenMap(std::uint64_t nodes) : nodes_(nodes), marked_(nodes <= marked_nodes()) {
        SpareTable spare = shelf().take();
        keys_ = std::move(spare.keys);
        sides_ = std::move(spare.sides);
        used_ = std::move(spare.used);
        key_ = spare.key;
        marks_ = std::move(spare.marks);
        // May throw; a taken table is then just freed.
        if (marked_) {
            if (marks_.size < nodes_) marks_ = Marks::zeroed(nodes_);
        } else if (keys_.empty()) {
            rehash(kInitialCapacity);
        }
    }
    ~SeenMap() {
        if (marked_) {
            // Past one node in kDenseShare, clearing the nodes' whole span is cheaper than one by one.
            if (marked_all_) std::memset(marks_.at.get(), 0, nodes_ * sizeof(Side));
            else for (std::uint64_t i : used_) marks_.at[i] = kNone;
        } else {
            for (std::uint64_t s : used_) keys_[s] = kNoIndex;  // a side is only read where its key matches
        }
        used_.clear();
        if (keys_.size() <= kSpareMaxCapacity)
            shelf().give({std::move(keys_), std::move(sides_), std::move(used_), key_, std::move(marks_)});
    }
    SeenMap(const SeenMap&) = delete;
    SeenMap& operator=(const SeenMap&) = delete;

    // The side that saw i; if none, records `side` as having seen it and returns kNone. Called for
    // every edge a search scans: the marks' test is inlined there, the rest is not.
    [[gnu::always_inline]] Side see(Index i, Side side) {
        if (marked_) {
            Side& by = marks_.at[i];
            if (by != kNone) return by;
            if (!marked_all_) {
                if (used_.size() * kDenseShare >= nodes_) marked_all_ = true;
                else used_.push_back(i);  // first, so that a failure leaves nothing to undo
            }
            by = side;
            return kNone;
        }
        return see_unmarked(i, side);
    }

   private:
    [[gnu::noinline]] Side see_unmarked(Index i, Side side) {
        if (!dense_.empty()) {
            Side& by = dense_[i];
            if (by != kNone) return by;
            by = side;
            return kNone;
        }
        if (4 * (used_.size() + 1) > 3 * keys_.size()) {
            if (used_.size() * kDenseShare >= nodes_) {
                go_dense();
                return see_unmarked(i, side);
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
    const bool marked_;        // whether marks_ holds every node's side (else the hash map does)
    Marks marks_;              // kept from search to search, used where marked_
    bool marked_all_ = false;  // whether used_ stopped recording the marked nodes
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
