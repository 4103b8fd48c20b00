// The fuzzer's look inside a qm::Graph: checks every invariant the store keeps privately, the ones
// no public answer would reveal until some later operation trips over them. Neighbour sets must be
// symmetric and free of repeats, the edge count must match them, the node index must map every id
// to its dense index (and hold nothing else), the degree and glance it records for each node must
// be those of the node's set, and a cached snapshot or forward-row structure must describe the
// graph as it is now. It only reads; a friend of Graph and NodeIndex for that purpose alone.
#pragma once

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/store/graph.hpp"

namespace qm {

struct GraphInspector {
    // The first broken invariant found, or an empty string. Only a thorough check walks every slot of
    // the node index (it has room for 2^16 ids or more, far more than the nodes of a small graph);
    // the quick one walks the stretch of the direct array between the least and greatest id.
    static std::string check(const Graph& g, bool thorough) {
        const std::uint64_t n = g.ids_.size();
        if (g.nbrs_.size() != n) return "node arrays differ in length";
        std::uint64_t entries = 0, loops = 0;
        std::vector<std::uint8_t> seen(n, 0);
        for (Index i = 0; i < n; ++i) {
            const NodeId id = g.ids_[i];
            const NeighbourSet& set = g.nbrs_[i];
            if (g.index_.find(id) != i) return "index does not map id " + std::to_string(id) + " to " + std::to_string(i);
            std::vector<Index> elements;
            set.for_each([&](Index j) { elements.push_back(j); });
            if (elements.size() != set.size()) return "set of " + std::to_string(id) + " walks a different size";
            for (const Index j : elements) {
                if (j >= n) return "set of " + std::to_string(id) + " holds a non-node";
                if (seen[j]++ != 0) return "set of " + std::to_string(id) + " holds a repeat";
                if (!set.contains(j)) return "set of " + std::to_string(id) + " misses an element it walks";
                if (!g.nbrs_[j].contains(i)) return "edge " + std::to_string(id) + "-" + std::to_string(g.ids_[j]) + " is one-sided";
                loops += j == i;
            }
            for (const Index j : elements) seen[j] = 0;
            entries += elements.size();
            if (std::string e = check_record(g, id, set, elements); !e.empty()) return e;
        }
        if (entries + loops != 2 * g.edge_count_) return "edge count disagrees with the sets";
        if (std::string e = check_index(g, thorough); !e.empty()) return e;
        if (g.csr_ && g.forward_) return "both derived structures are kept";
        if (g.csr_) {
            if (std::string e = check_csr(g, *g.csr_); !e.empty()) return e;
        }
        if (g.forward_) {
            if (std::string e = check_forward(g, *g.forward_); !e.empty()) return e;
        }
        return {};
    }

    // Whether a derived structure (snapshot or forward rows) is cached.
    static bool has_cache(const Graph& g) { return g.csr_ != nullptr || g.forward_ != nullptr; }

   private:
    // The degree and glance the index records for id, against its set.
    static std::string check_record(const Graph& g, NodeId id, const NeighbourSet& set,
                                    const std::vector<Index>& elements) {
        const NodeIndex::Found found = g.index_.lookup(id);
        if (found.degree != set.size()) return "index records a stale degree for " + std::to_string(id);
        if (g.index_.degree(id) != set.size()) return "degree() disagrees with lookup() for " + std::to_string(id);
        if (const Index* e = found.small_elements()) {
            if (!std::equal(elements.begin(), elements.end(), e))
                return "index records a stale glance for " + std::to_string(id);
        }
        return {};
    }

    // Every occupied slot names a node at its dense index, and there are exactly n of them.
    static std::string check_index(const Graph& g, bool thorough) {
        const NodeIndex& x = g.index_;
        const std::uint64_t n = g.ids_.size();
        if (x.empty_ != (n == 0)) return "index emptiness is wrong";
        for (const NodeId id : g.ids_)
            if (id < x.lo_ || id > x.hi_) return "index bounds miss id " + std::to_string(id);
        std::uint64_t occupied = 0;
        if (x.hashed_) {
            if (x.direct_ != nullptr) return "hashed index keeps a direct array";
            if (!thorough) return {};
            for (std::uint64_t s = 0; s < x.cap_; ++s) {
                const auto& slot = x.slots_[s];
                if (slot.entry.index == kNoIndex) continue;
                ++occupied;
                if (slot.entry.index >= n || g.ids_[slot.entry.index] != slot.id) return "hashed slot names a wrong node";
            }
        } else {
            if (x.slots_ != nullptr) return "direct index keeps a table";
            if (n == 0 && !thorough) return {};
            // Ids are within [lo_, hi_], which is within the array (or every slot, when thorough).
            const std::uint64_t first = thorough ? 0 : static_cast<std::uint64_t>(x.lo_);
            const std::uint64_t last = thorough ? x.direct_cap_ : static_cast<std::uint64_t>(x.hi_) + 1;
            if (last > x.direct_cap_) return "index bounds pass the direct array";
            for (std::uint64_t s = first; s < last; ++s) {
                const auto& entry = x.direct_[s];
                if (entry.index == kNoIndex) continue;
                ++occupied;
                if (entry.index >= n || g.ids_[entry.index] != static_cast<NodeId>(s)) return "direct slot names a wrong node";
            }
        }
        if (occupied != n) return "index holds " + std::to_string(occupied) + " entries for " + std::to_string(n) + " nodes";
        return {};
    }

    static std::vector<Index> sorted_set(const NeighbourSet& set) {
        std::vector<Index> row;
        set.for_each([&](Index j) { row.push_back(j); });
        std::sort(row.begin(), row.end());
        return row;
    }

    // Each row, pieced together segment by segment, is the node's set in ascending order.
    static std::string check_csr(const Graph& g, const CsrSnapshot& csr) {
        const std::uint64_t n = g.ids_.size();
        if (csr.rows() != n) return "snapshot has a stale row count";
        std::vector<std::vector<Index>> rows(n);
        const std::uint64_t block_rows = std::uint64_t{1} << CsrSnapshot::kBlockShift;
        for (std::uint32_t s = 0; s < csr.segments; ++s) {
            for (std::uint64_t b = 0; b < csr.blocks(); ++b) {
                const Index* p = csr.block_begin(s, b);
                for (std::uint64_t i = b * block_rows; i < std::min(n, (b + 1) * block_rows); ++i) {
                    const std::uint64_t count = csr.count(s, static_cast<Index>(i));
                    for (std::uint64_t k = 0; k < count; ++k, ++p) {
                        if (csr.segments > 1 && (*p >> csr.segment_shift) != s) return "snapshot entry in a wrong segment";
                        rows[i].push_back(*p);
                    }
                }
            }
        }
        for (Index i = 0; i < n; ++i) {
            if (csr.degree(i) != g.nbrs_[i].size()) return "snapshot has a stale degree";
            if (rows[i] != sorted_set(g.nbrs_[i])) return "snapshot row " + std::to_string(i) + " is not its set, ascending";
        }
        return {};
    }

    // Record u holds u and exactly the neighbours ranking above u by (degree, dense index), each by
    // the start of its own record; the records follow each other, and the block starts match.
    static std::string check_forward(const Graph& g, const ForwardRows& f) {
        return f.visit([&](const auto* records) { return check_records(g, f, records); });
    }
    template <class Word>
    static std::string check_records(const Graph& g, const ForwardRows& f, const Word* records) {
        const std::uint64_t n = g.ids_.size();
        const std::uint64_t blocks = (n + ForwardRows::kBlock - 1) / ForwardRows::kBlock;
        if (f.starts.size() != blocks + 1) return "forward rows have a stale block count";
        std::vector<std::uint64_t> start(n);
        std::uint64_t at = 0;
        for (Index u = 0; u < n; ++u) {
            if (u % ForwardRows::kBlock == 0 && f.starts.data()[u / ForwardRows::kBlock] != at) return "forward block start is wrong";
            if (at + ForwardRows::kHeader > f.words() || records[at + 1] != u) return "forward record " + std::to_string(u) + " is misplaced";
            start[u] = at;
            at += ForwardRows::kHeader + records[at];
        }
        if (at != f.words() || f.starts.data()[blocks] != at) return "forward records do not fill their array";
        std::unordered_map<std::uint64_t, Index> node_at;
        for (Index u = 0; u < n; ++u) node_at.emplace(start[u], u);
        for (Index u = 0; u < n; ++u) {
            std::vector<Index> want;
            const std::uint64_t du = g.nbrs_[u].size();
            g.nbrs_[u].for_each([&](Index v) {
                const std::uint64_t dv = g.nbrs_[v].size();
                if (dv > du || (dv == du && v > u)) want.push_back(v);
            });
            std::sort(want.begin(), want.end());
            std::vector<Index> have;
            for (std::uint64_t k = 0; k < records[start[u]]; ++k) {
                const auto member = node_at.find(records[start[u] + ForwardRows::kHeader + k]);
                if (member == node_at.end()) return "forward row " + std::to_string(u) + " names no record";
                have.push_back(member->second);
            }
            std::sort(have.begin(), have.end());
            if (have != want) return "forward row " + std::to_string(u) + " is stale";
        }
        return {};
    }
};

}  // namespace qm
