// Whole-graph listings. All of them walk the store in its iteration order (dense order for nodes,
// each set's own order for neighbours), so for one unchanged graph they agree with each other and
// with the rows of the CSR snapshot. An edge is listed once, from its smaller end by signed order.
#include "graph.hpp"

namespace qm {

std::vector<NodeId> Graph::edge_ends(const Interrupt& stop) const {
    std::vector<NodeId> out;
    out.reserve(2 * edge_count_);
    for (std::size_t i = 0; i < ids_.size(); ++i) {
        stop.check_every(i, kCheckEvery);
        const NodeId u = ids_[i];
        nbrs_[i].for_each_prefetched(ids_.data(), [&](Index j) {
            const NodeId v = ids_[j];
            if (u <= v) {
                out.push_back(u);
                out.push_back(v);
            }
        });
    }
    return out;
}

std::vector<std::pair<NodeId, std::uint64_t>> Graph::degree_sequence(const Interrupt& stop) const {
    std::vector<std::pair<NodeId, std::uint64_t>> out;
    out.reserve(ids_.size());
    for (std::size_t i = 0; i < ids_.size(); ++i) {
        stop.check_every(i, kCheckEvery);
        out.emplace_back(ids_[i], nbrs_[i].size());
    }
    return out;
}

}  // namespace qm
