// Batch queries: many edge tests at once (in parallel), and the edge count of an induced subgraph.
#include <algorithm>

#include "graph.hpp"
#include "parallel/pool.hpp"

namespace qm {

std::vector<Answer> Graph::has_edges(std::span<const NodeId> ends) const {
    const std::size_t pairs = ends.size() / 2;
    std::vector<Answer> answers(pairs);
    parallel::parallel_for(pairs, [&](std::size_t k) {
        answers[k] = has_edge(ends[2 * k], ends[2 * k + 1]) ? Answer::Yes : Answer::No;
    });
    return answers;
}

std::uint64_t Graph::subgraph_edge_count(std::span<const NodeId> ids) const {
    // Members as dense indices, each once; a bitmap over the store answers membership.
    std::vector<Index> members;
    members.reserve(ids.size());
    for (NodeId id : ids) {
        Index i = find(id);
        if (i != kNoIndex) members.push_back(i);
    }
    std::sort(members.begin(), members.end());
    members.erase(std::unique(members.begin(), members.end()), members.end());
    std::vector<std::uint64_t> is_member((ids_.size() + 63) / 64, 0);
    for (Index i : members) is_member[i / 64] |= std::uint64_t{1} << (i % 64);

    // Each edge once, from its smaller end by id; a self-loop counts once.
    std::uint64_t count = 0;
    for (Index x : members) {
        NodeId xid = ids_[x];
        nbrs_[x].for_each([&](Index y) {
            count += ids_[y] >= xid && ((is_member[y / 64] >> (y % 64)) & 1);
        });
    }
    return count;
}

}  // namespace qm
