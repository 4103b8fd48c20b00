// The fuzzer's reference graph: the same operations as qm::Graph, written the plainest way (ordered
// maps and sets, whole-graph loops), so that its answers can be trusted without reading the core.
//
// It keeps what the core promises about order: nodes are numbered in order of first appearance
// (u before v for an edge), and each node's neighbours are also kept in the order they arrived,
// which is the order the core lists a small set in. The analyses follow their documented
// definitions literally: PageRank adds each receiver's shares in ascending order of the sending
// node's number, so its scores can be compared bit for bit; the generator replays the xorshift
// draws one attempt at a time.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "core/base/types.hpp"

namespace qm::fuzz {

struct Model {
    std::vector<NodeId> ids;                         // by number, in order of first appearance
    std::map<NodeId, std::size_t> number;            // id -> its number
    std::vector<std::set<std::size_t>> adjacent;     // neighbours by number
    std::vector<std::vector<std::size_t>> arrivals;  // the same, in order of insertion
    std::uint64_t edges = 0;

    std::optional<std::size_t> find(NodeId id) const {
        const auto it = number.find(id);
        if (it == number.end()) return std::nullopt;
        return it->second;
    }

    std::size_t add_node(NodeId id) {
        if (const auto n = find(id)) return *n;
        number.emplace(id, ids.size());
        ids.push_back(id);
        adjacent.emplace_back();
        arrivals.emplace_back();
        return ids.size() - 1;
    }

    // Whether the edge was new.
    bool add_edge(NodeId u, NodeId v) {
        const std::size_t a = add_node(u), b = add_node(v);
        if (adjacent[a].count(b) != 0) return false;
        adjacent[a].insert(b);
        arrivals[a].push_back(b);
        if (a != b) {
            adjacent[b].insert(a);
            arrivals[b].push_back(a);
        }
        ++edges;
        return true;
    }

    bool has_edge(NodeId u, NodeId v) const {
        const auto a = find(u), b = find(v);
        return a && b && adjacent[*a].count(*b) != 0;
    }

    std::uint64_t degree(NodeId id) const {
        const auto a = find(id);
        return a ? adjacent[*a].size() : 0;
    }

    // Sizes of the components, in the order the node numbering first meets each of them.
    std::vector<std::uint64_t> component_sizes() const {
        std::vector<bool> seen(ids.size(), false);
        std::vector<std::uint64_t> sizes;
        for (std::size_t first = 0; first < ids.size(); ++first) {
            if (seen[first]) continue;
            std::uint64_t size = 0;
            std::deque<std::size_t> queue{first};
            seen[first] = true;
            while (!queue.empty()) {
                const std::size_t u = queue.front();
                queue.pop_front();
                ++size;
                for (const std::size_t v : adjacent[u]) {
                    if (!seen[v]) {
                        seen[v] = true;
                        queue.push_back(v);
                    }
                }
            }
            sizes.push_back(size);
        }
        return sizes;
    }

    // Per node, the position of its component in component_sizes()' order.
    std::vector<std::int64_t> component_labels() const {
        std::vector<std::int64_t> label(ids.size(), -1);
        std::int64_t next = 0;
        for (std::size_t first = 0; first < ids.size(); ++first) {
            if (label[first] >= 0) continue;
            for (const std::size_t u : reached_from(first)) label[u] = next;
            ++next;
        }
        return label;
    }

    // Per node, its hops from source; -1 where source does not reach it (everywhere when absent).
    std::vector<std::int64_t> distances(NodeId source) const {
        std::vector<std::int64_t> distance(ids.size(), -1);
        const auto s = find(source);
        if (!s) return distance;
        distance[*s] = 0;
        for (const std::size_t u : reached_from(*s))
            for (const std::size_t v : adjacent[u])
                if (distance[v] < 0) distance[v] = distance[u] + 1;
        return distance;
    }

    // The nodes reached from first, in breadth-first order.
    std::vector<std::size_t> reached_from(std::size_t first) const {
        std::vector<bool> seen(ids.size(), false);
        std::vector<std::size_t> order{first};
        seen[first] = true;
        for (std::size_t k = 0; k < order.size(); ++k) {
            for (const std::size_t v : adjacent[order[k]]) {
                if (!seen[v]) {
                    seen[v] = true;
                    order.push_back(v);
                }
            }
        }
        return order;
    }

    // Hops on a shortest path; 0 for the same id (present or not), -1 when absent or unreachable.
    std::int64_t shortest_path_length(NodeId source, NodeId target) const {
        if (source == target) return 0;
        const auto s = find(source), t = find(target);
        if (!s || !t) return -1;
        std::vector<std::int64_t> distance(ids.size(), -1);
        std::deque<std::size_t> queue{*s};
        distance[*s] = 0;
        while (!queue.empty()) {
            const std::size_t u = queue.front();
            queue.pop_front();
            for (const std::size_t v : adjacent[u]) {
                if (distance[v] >= 0) continue;
                distance[v] = distance[u] + 1;
                if (v == *t) return distance[v];
                queue.push_back(v);
            }
        }
        return -1;
    }

    // Each triangle once, from its three numbers in ascending order; self-loops close none.
    std::uint64_t triangle_count() const {
        std::uint64_t count = 0;
        for (std::size_t u = 0; u < ids.size(); ++u)
            for (auto v = adjacent[u].upper_bound(u); v != adjacent[u].end(); ++v)
                for (auto w = adjacent[*v].upper_bound(*v); w != adjacent[*v].end(); ++w)
                    count += adjacent[u].count(*w);
        return count;
    }

    // Edges with both ends among `members` (absent ids and repeats change nothing).
    std::uint64_t subgraph_edge_count(const std::vector<NodeId>& members) const {
        std::set<std::size_t> in;
        for (const NodeId id : members)
            if (const auto n = find(id)) in.insert(*n);
        std::uint64_t count = 0;
        for (const std::size_t u : in)
            for (auto v = adjacent[u].lower_bound(u); v != adjacent[u].end(); ++v) count += in.count(*v);
        return count;
    }

    // Power iteration: every node starts at 1/n; each round a node keeps (1 - damping)/n and receives
    // damping * score / degree from each neighbour, added in ascending order of the neighbour's
    // number; a node without neighbours passes nothing on. Stops after max_iter rounds, or after the
    // first round whose summed absolute change (summed in number order) is below tol.
    std::vector<std::pair<NodeId, double>> pagerank(double damping, std::uint64_t max_iter, double tol) const {
        const std::size_t n = ids.size();
        std::vector<std::pair<NodeId, double>> result;
        if (n == 0) return result;
        const double count = static_cast<double>(n);
        const double base = (1.0 - damping) / count;
        std::vector<double> current(n, 1.0 / count), next(n), share(n);
        for (std::uint64_t iter = 0; iter < max_iter; ++iter) {
            for (std::size_t i = 0; i < n; ++i) {
                const std::size_t d = adjacent[i].size();
                share[i] = d == 0 ? 0.0 : (damping * current[i]) / static_cast<double>(d);
            }
            for (std::size_t j = 0; j < n; ++j) {
                double acc = base;
                for (const std::size_t k : adjacent[j]) acc += share[k];  // ascending
                next[j] = acc;
            }
            double diff = 0.0;
            for (std::size_t i = 0; i < n; ++i) diff += std::fabs(current[i] - next[i]);
            current.swap(next);
            if (diff < tol) break;
        }
        for (std::size_t i = 0; i < n; ++i) result.emplace_back(ids[i], current[i]);
        return result;
    }

    // ---- the analyses of the algorithms module, by their definitions; self-loops take no part.

    std::vector<std::size_t> others(std::size_t u) const {
        std::vector<std::size_t> out;
        for (const std::size_t v : adjacent[u])
            if (v != u) out.push_back(v);
        return out;
    }

    // The k-core numbers: repeatedly take away a node of least remaining degree.
    std::vector<std::int64_t> core_numbers() const {
        const std::size_t n = ids.size();
        std::vector<std::int64_t> left(n), core(n, 0);
        std::vector<bool> gone(n, false);
        for (std::size_t u = 0; u < n; ++u) left[u] = static_cast<std::int64_t>(others(u).size());
        std::int64_t level = 0;
        for (std::size_t round = 0; round < n; ++round) {
            std::size_t pick = n;
            for (std::size_t u = 0; u < n; ++u)
                if (!gone[u] && (pick == n || left[u] < left[pick])) pick = u;
            level = std::max(level, left[pick]);
            core[pick] = level;
            gone[pick] = true;
            for (const std::size_t v : others(pick))
                if (!gone[v]) --left[v];
        }
        return core;
    }

    std::vector<std::int64_t> node_triangles() const {
        std::vector<std::int64_t> t(ids.size(), 0);
        for (std::size_t u = 0; u < ids.size(); ++u) {
            const std::vector<std::size_t> nb = others(u);
            for (std::size_t a = 0; a < nb.size(); ++a)
                for (std::size_t b = a + 1; b < nb.size(); ++b) t[u] += adjacent[nb[a]].count(nb[b]) != 0;
        }
        return t;
    }

    // Exact betweenness by Brandes, with the scaling of an undirected graph: 1 / ((n-1)(n-2))
    // normalized, else 1/2; nothing scaled below three nodes.
    std::vector<double> betweenness(bool normalized) const {
        const std::size_t n = ids.size();
        std::vector<double> total(n, 0.0);
        for (std::size_t s = 0; s < n; ++s) {
            std::vector<std::int64_t> dist(n, -1);
            std::vector<double> sigma(n, 0.0), delta(n, 0.0);
            std::vector<std::size_t> order;
            std::deque<std::size_t> queue{s};
            dist[s] = 0;
            sigma[s] = 1.0;
            while (!queue.empty()) {
                const std::size_t u = queue.front();
                queue.pop_front();
                order.push_back(u);
                for (const std::size_t v : others(u)) {
                    if (dist[v] < 0) {
                        dist[v] = dist[u] + 1;
                        queue.push_back(v);
                    }
                    if (dist[v] == dist[u] + 1) sigma[v] += sigma[u];
                }
            }
            for (std::size_t k = order.size(); k-- > 0;) {
                const std::size_t w = order[k];
                for (const std::size_t v : others(w))
                    if (dist[v] == dist[w] - 1) delta[v] += sigma[v] / sigma[w] * (1.0 + delta[w]);
                if (w != s) total[w] += delta[w];
            }
        }
        if (n >= 3) {
            const double scale = normalized ? 1.0 / ((n - 1.0) * (n - 2.0)) : 0.5;
            for (double& b : total) b *= scale;
        }
        return total;
    }

    std::int64_t diameter() const {
        std::int64_t most = 0;
        for (const NodeId id : ids)
            for (const std::int64_t d : distances(id)) most = std::max(most, d);
        return most;
    }

    // Modularity of a labelling (one label per node in numbering order), NaN without edges.
    double modularity(const std::vector<std::int64_t>& label, double resolution) const {
        std::map<std::int64_t, std::uint64_t> inside, total;
        std::uint64_t m = 0;
        for (std::size_t u = 0; u < ids.size(); ++u) {
            for (const std::size_t v : others(u)) {
                total[label[u]] += 1;
                if (label[u] == label[v]) inside[label[u]] += 1;  // each inside edge twice
                if (u < v) ++m;
            }
        }
        if (m == 0) return std::nan("");
        double q = 0.0;
        const double two_m = 2.0 * static_cast<double>(m);
        for (const auto& [c, k] : total) {
            const double in = static_cast<double>(inside[c]) / two_m, share = static_cast<double>(k) / two_m;
            q += in - resolution * share * share;
        }
        return q;
    }
};

// The generator's draws: 64-bit xorshift with shifts 13, 7 and 17, a node being the state's
// remainder modulo n. Seeds 0 and 1 both start from 1.
struct Draws {
    static constexpr int kShiftA = 13;
    static constexpr int kShiftB = 7;
    static constexpr int kShiftC = 17;
    std::uint64_t state;
    explicit Draws(std::uint64_t seed) : state(seed <= 1 ? 1 : seed) {}
    std::uint64_t next() {
        state ^= state << kShiftA;
        state ^= state >> kShiftB;
        state ^= state << kShiftC;
        return state;
    }
};

}  // namespace qm::fuzz
