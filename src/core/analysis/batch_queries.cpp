// Batch queries: many edge tests at once (in parallel), and the edge count of an induced subgraph.
#include <algorithm>
#include <array>

#include "core/store/graph.hpp"
#include "parallel/pool.hpp"

namespace qm {

namespace {

// Edge tests handled together in one prefetching pipeline, and how far ahead each stage looks.
constexpr std::size_t kTestBlock = 256;
constexpr std::size_t kAhead = 16;

}  // namespace

std::vector<Answer> Graph::has_edges(std::span<const NodeId> ends, const Interrupt& stop) const {
    const std::size_t pairs = ends.size() / 2;
    std::vector<Answer> answers(pairs);
    stop.expect(pairs);
    // Each test is three dependent cache misses (the index slots, the neighbour set's header, its
    // elements). Tests are run in blocks, one stage per pass, each stage prefetching kAhead tests
    // ahead, so the misses of many tests overlap instead of being paid one after another.
    parallel::for_range(pairs, kTestBlock, [&](std::size_t first, std::size_t last) {
        std::array<Index, kTestBlock> from, to;
        for (std::size_t b = first; b < last; b += kTestBlock) {
            stop.check();
            const std::size_t count = std::min(kTestBlock, last - b);
            const NodeId* pair = ends.data() + 2 * b;
            for (std::size_t k = 0; k < count; ++k) {
                if (k + kAhead < count) {
                    index_.prefetch(pair[2 * (k + kAhead)]);
                    index_.prefetch(pair[2 * (k + kAhead) + 1]);
                }
                from[k] = find(pair[2 * k]);
                to[k] = find(pair[2 * k + 1]);
            }
            for (std::size_t k = 0; k < count; ++k) {
                if (k + kAhead < count && from[k + kAhead] != kNoIndex) __builtin_prefetch(&nbrs_[from[k + kAhead]]);
                if (from[k] != kNoIndex && to[k] != kNoIndex) nbrs_[from[k]].prefetch(to[k]);
            }
            for (std::size_t k = 0; k < count; ++k) {
                bool yes = from[k] != kNoIndex && to[k] != kNoIndex && nbrs_[from[k]].contains(to[k]);
                answers[b + k] = yes ? Answer::Yes : Answer::No;
            }
            stop.advance(count);
        }
    });
    return answers;
}

std::uint64_t Graph::subgraph_edge_count(std::span<const NodeId> ids, const Interrupt& stop) const {
    // Members as dense indices, each once; a bitmap over the store answers membership.
    std::vector<Index> members;
    members.reserve(ids.size());
    stop.expect(ids.size());
    for (std::size_t k = 0; k < ids.size(); ++k) {
        stop.check_every(k, kCheckEvery, k);
        Index i = find(ids[k]);
        if (i != kNoIndex) members.push_back(i);
    }
    std::sort(members.begin(), members.end());
    members.erase(std::unique(members.begin(), members.end()), members.end());
    BigVector<std::uint64_t> is_member((ids_.size() + 63) / 64, 0);
    for (Index i : members) is_member[i / 64] |= std::uint64_t{1} << (i % 64);

    // Each edge once, from its smaller end by id; a self-loop counts once.
    std::uint64_t count = 0;
    for (std::size_t k = 0; k < members.size(); ++k) {
        stop.check_every(k, kCheckEvery);
        const Index x = members[k];
        const NodeId xid = ids_[x];
        nbrs_[x].for_each([&](Index y) {
            count += ids_[y] >= xid && ((is_member[y / 64] >> (y % 64)) & 1);
        });
    }
    return count;
}

}  // namespace qm
