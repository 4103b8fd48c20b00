// Point operations of the adjacency store. Every mutation first makes all the room it needs (which
// is where it can fail) and only then writes, so a failure leaves the graph exactly as it was.
#include "core/store/graph.hpp"

#include <algorithm>
#include <string>

#include "core/base/fault.hpp"

namespace qm {

bool Graph::has_edge(NodeId u, NodeId v) const noexcept {
    const NodeIndex::Found a = index_.lookup(u);
    if (a.index == kNoIndex) return false;
    const Index iv = find(v);
    if (iv == kNoIndex) return false;
    if (const Index* e = a.small_elements()) return NeighbourSet::list_contains(e, a.degree, iv);
    return nbrs_[a.index].contains(iv);
}

std::vector<NodeId> Graph::neighbors(NodeId id) const {
    std::vector<NodeId> out;
    const NodeIndex::Found a = index_.lookup(id);
    if (a.index == kNoIndex) return out;
    out.reserve(a.degree);
    if (const Index* e = a.small_elements()) {
        for (std::uint32_t k = 0; k < a.degree; ++k) out.push_back(ids_[e[k]]);
    } else {
        nbrs_[a.index].for_each([&](Index j) { out.push_back(ids_[j]); });
    }
    return out;
}

std::uint64_t Graph::degree(NodeId id) const noexcept { return index_.degree(id); }

void Graph::check_node_limit(std::uint64_t count) {
    if (count > kMaxNodes) {
        throw CapacityError("IntGraphCore cannot hold more than " + std::to_string(kMaxNodes) +
                            " nodes");
    }
}

void Graph::reserve_nodes(std::uint64_t count, NodeId lo, NodeId hi, const Interrupt& stop, NodeIndex::Fill fill) {
    check_node_limit(count);
    if (count > ids_.capacity()) {
        // Grow geometrically ourselves: reserve() alone would make repeated one-node growth
        // quadratic.
        std::uint64_t room = std::max<std::uint64_t>({count, 2 * ids_.capacity(), kInitialNodeRoom});
        ids_.reserve(std::min(room, kMaxNodes));
    }
    if (ids_.capacity() > nbrs_.capacity()) nbrs_.reserve(ids_.capacity());
    index_.reserve(ids_.capacity(), lo, hi, nbrs_.data(), stop, fill);
}

Index Graph::append_node(NodeId id) noexcept {
    Index i = static_cast<Index>(ids_.size());
    ids_.push_back(id);      // cannot reallocate: reserve_nodes() made the room
    nbrs_.emplace_back();    // likewise
    index_.insert_new(id, i);
    return i;
}

void Graph::add_node(NodeId id) {
    if (!has_node(id)) {
        reserve_nodes(node_count() + 1, id, id);
        append_node(id);
    }
    drop_caches();
}

void Graph::add_edge(NodeId u, NodeId v) {
    insert_edge(u, v);
    drop_caches();
}

void Graph::add_nodes(std::span<const NodeId> ids, const Interrupt& stop) {
    // Node by node: a failure part way keeps the nodes before it.
    stop.expect(ids.size());
    mutate([&] {
        for (std::size_t k = 0; k < ids.size(); ++k) {
            stop.check_every(k, kCheckEvery, k);
            if (has_node(ids[k])) continue;
            reserve_nodes(node_count() + 1, ids[k], ids[k], stop);
            append_node(ids[k]);
        }
    });
}

void Graph::grow_for_one(NodeId id, Index i) {
    nbrs_[i].reserve_one();
    index_.record(id, nbrs_[i]);  // the set may have moved: a later failure must not leave a stale glance
}

bool Graph::insert_edge(NodeId u, NodeId v) {
    Index iu = find(u);
    Index iv = u == v ? iu : find(v);
    if (iu != kNoIndex && iv != kNoIndex) {
        if (nbrs_[iu].contains(iv)) return false;
        grow_for_one(u, iu);
        if (iv != iu) grow_for_one(v, iv);
    } else {
        // A node created here starts with an empty inline set, which takes one element without
        // allocating; only an endpoint that already exists may need to grow.
        std::uint64_t missing = (iu == kNoIndex) + (u != v && iv == kNoIndex);
        if (iu != kNoIndex) grow_for_one(u, iu);
        if (iv != kNoIndex) grow_for_one(v, iv);
        const NodeId one = iu == kNoIndex ? u : v;      // a missing end
        const NodeId other = iv == kNoIndex ? v : u;    // the other missing end, or the same one
        reserve_nodes(node_count() + missing, std::min(one, other), std::max(one, other));
        if (iu == kNoIndex) iu = append_node(u);
        if (iv == kNoIndex) iv = u == v ? iu : append_node(v);
    }
    nbrs_[iu].insert_new(iv);
    index_.record(u, nbrs_[iu]);
    if (iv != iu) {
        nbrs_[iv].insert_new(iu);
        index_.record(v, nbrs_[iv]);
    }
    ++edge_count_;
    return true;
}

}  // namespace qm
