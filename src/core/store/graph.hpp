// The adjacency store: a growing, undirected graph over signed 64-bit node ids.
//
// Layout: every node gets a dense index for life, in order of first insertion. Two dense arrays hold
// each node's id and neighbour set; a hash index maps ids back to dense indices; neighbour sets hold
// dense indices. The store's iteration order is the dense order, which depends only on the sequence
// of operations applied.
//
// Invariants kept by every operation: neighbour sets are symmetric (v in N(u) iff u in N(v)); every
// index in a set names a node; a self-loop is the node's own index, once, in its own set;
// edge_count() counts distinct undirected edges, a self-loop once; the degree and glance the index
// records for a node are those of its set (insert_edge and the bulk load are the only writers of
// sets, and record both whenever a set changes, before anything that may fail). Nothing is ever
// removed.
//
// Mutations either complete or, when memory runs out (std::bad_alloc) or a capacity limit is hit
// (CapacityError), throw before the first visible change, so an edge is stored in both of its
// neighbour sets or in neither. Const methods never write, so any number of threads may read at once.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "core/store/csr.hpp"
#include "core/load/end_source.hpp"
#include "core/base/huge_pages.hpp"
#include "core/base/interrupt.hpp"
#include "core/store/neighbour_set.hpp"
#include "core/store/node_index.hpp"
#include "core/base/types.hpp"

namespace qm {

// One answer of a batch of yes/no questions; a byte each, so workers can write them side by side.
enum class Answer : std::uint8_t { No, Yes };

// Reads the private state for the fuzzer's consistency checks (fuzz/store_checks.hpp); never writes.
struct GraphInspector;
// Reads and rebuilds the private state for the graph file (core/io/graph_file.cpp).
struct StoreAccess;

class Graph {
   public:
    // Room made for this many nodes by the first insertion into an empty store.
    static constexpr std::uint64_t kInitialNodeRoom = 1024;

    Graph() noexcept = default;

    std::uint64_t node_count() const noexcept { return ids_.size(); }
    std::uint64_t edge_count() const noexcept { return edge_count_; }

    Index find(NodeId id) const noexcept { return index_.find(id); }
    bool has_node(NodeId id) const noexcept { return find(id) != kNoIndex; }
    bool has_edge(NodeId u, NodeId v) const noexcept;
    // Neighbours of id in its set's iteration order; empty when id is not a node.
    std::vector<NodeId> neighbors(NodeId id) const;
    std::uint64_t degree(NodeId id) const noexcept;

    // Every node's id in dense order (the store's iteration order), for whole-graph walks.
    const BigVector<NodeId>& ids() const noexcept { return ids_; }

    // ---- mutations. Each public mutator drops the cached structures of the analyses once it has
    // succeeded, whether or not it changed anything, and when it fails after changing the graph; a
    // mutator that fails without changing anything leaves them in place. The long ones check `stop`
    // as they go and throw Interrupted when it says so, with the same guarantees as any other failure.

    // Adds id with an empty neighbour set unless it is already a node.
    void add_node(NodeId id);
    // Adds the undirected edge {u, v}, creating missing endpoints (u first).
    void add_edge(NodeId u, NodeId v);
    // add_node for each id, in order.
    void add_nodes(std::span<const NodeId> ids, const Interrupt& stop);
    // add_edge for each pair (ends[2k], ends[2k + 1]), in order; an odd last element is ignored.
    // A batch that is large next to the store (see bulk_load.cpp) is applied all at once: nothing
    // visible changes until every allocation has succeeded, so a failure (memory, an interrupt)
    // changes nothing. A smaller batch goes edge by edge, and a very large one (more than
    // load_chunk_edges()) as consecutive chunks, so a failure keeps the edges before it.
    void add_edges(std::span<const NodeId> ends, const Interrupt& stop);
    // add_edges for ends the caller hands over: a large load frees them as it reads them (it keeps
    // their dense indices instead, half the size), so the input is not held twice.
    void add_edges(EndArray&& ends, const Interrupt& stop);
    // add_edges for ends read from a source: a batch that goes in chunks reads it twice and never
    // holds all of it; a smaller one reads it whole first.
    void add_edges(EndSource& source, const Interrupt& stop);
    // The edges of a batch of `edges` edges that go in at once.
    static std::uint64_t load_chunk_edges(std::uint64_t edges) noexcept;
    // Adds m new random edges among the ids 0..n-1 (see random_graph.cpp).
    void build_random(std::int64_t n, std::uint64_t m, std::uint64_t seed, const Interrupt& stop);

    // ---- whole-graph listings, in the store's iteration order

    // Every edge once as its two ends (u, v), u <= v, flattened, in listing order: node by node in
    // iteration order, each node's edges together.
    std::vector<NodeId> edge_ends(const Interrupt& stop) const;
    std::vector<std::pair<NodeId, std::uint64_t>> degree_sequence(const Interrupt& stop) const;

    // ---- the same listings and analyses as plain arrays, one entry per node in iteration order
    // (enumerate.cpp and the analyses' own files), filled in parallel where they can be

    // Results handed over whole: from the heap, where a result of a few MB is reused call after
    // call, rather than on huge pages mapped afresh each time (see edge_array()).
    EndArray id_array(const Interrupt& stop) const;
    EndArray degree_array(const Interrupt& stop) const;
    // edge_ends() into an array of exactly 2 * edge_count() ids.
    EndArray edge_array(const Interrupt& stop) const;
    // The adjacency as compressed sparse rows over dense indices: row i (the node ids()[i]) holds
    // its neighbours' indices ascending in indices[indptr[i], indptr[i + 1]). I is the index type
    // the caller asks for (32 or 64 bits); the caller checks that every value fits it.
    template <class I>
    struct Rows {
        HugeArray<I> indptr, indices;
    };
    template <class I>
    Rows<I> sorted_rows(const Interrupt& stop) const;
    // Entries of sorted_rows(): every edge twice, a self-loop once.
    std::uint64_t row_entries() const noexcept;
    // Per node, the position of its component in component_sizes()' order.
    HugeArray<std::int64_t> component_labels(const Interrupt& stop) const;       // components.cpp
    // Per node, its hop distance from source, or -1 where source does not reach it (everywhere
    // when source is not a node).
    HugeArray<std::int64_t> distances(NodeId source, const Interrupt& stop) const;  // distances.cpp
    // pagerank()'s scores alone, in iteration order.
    BigVector<double> pagerank_scores(double damping, std::uint64_t max_iter, double tol,
                                      const Interrupt& stop);  // pagerank.cpp

    // ---- analyses (one file each)

    std::vector<std::uint64_t> component_sizes(const Interrupt& stop) const;              // components.cpp
    std::int64_t shortest_path_length(NodeId source, NodeId target, const Interrupt& stop) const;  // shortest_path.cpp
    std::vector<Answer> has_edges(std::span<const NodeId> ends, const Interrupt& stop) const;     // batch_queries.cpp
    std::uint64_t subgraph_edge_count(std::span<const NodeId> ids, const Interrupt& stop) const;  // batch_queries.cpp
    // These two build the structure they read (forward rows, the CSR snapshot) when it is absent; an
    // interrupted build leaves none. The graph keeps at most one of the two: building one drops the
    // other, so an analysis never holds both on top of the graph.
    std::uint64_t triangle_count(const Interrupt& stop);  // triangles.cpp
    // Per node, the triangles through it (self-loops ignored), in iteration order; builds the
    // forward rows like triangle_count().
    HugeArray<std::int64_t> node_triangles(const Interrupt& stop);  // local_triangles.cpp
    // Per node, its local clustering coefficient (0 below two neighbours other than itself).
    HugeArray<double> clustering(const Interrupt& stop);  // local_triangles.cpp
    // Three times the triangles over the connected triples (0 without triples).
    double transitivity(const Interrupt& stop);  // local_triangles.cpp
    // The greatest distance between two connected nodes (0 without edges).
    std::int64_t diameter(const Interrupt& stop) const;  // diameter.cpp
    // Per node, its core number (self-loops ignored), in iteration order.
    HugeArray<std::int64_t> core_numbers(const Interrupt& stop) const;  // cores.cpp
    // Per node, its betweenness (self-loops ignored): from every node as a source when samples is
    // 0, else estimated from that many sources drawn with seed (at most node_count()).
    HugeArray<double> betweenness(bool normalized, std::uint64_t samples, std::uint64_t seed,
                                  const Interrupt& stop) const;  // betweenness.cpp
    // Per node, its community's label (0, 1, ... by first appearance): high modularity at this
    // resolution, every community connected; the same for the same graph and seed.
    HugeArray<std::int64_t> communities(double resolution, std::uint64_t seed, const Interrupt& stop) const;  // communities.cpp
    // The modularity of the partition given by one label per node in iteration order (NaN without
    // an edge other than self-loops).
    double modularity(std::span<const std::int64_t> labels, double resolution, const Interrupt& stop) const;  // communities.cpp
    std::vector<std::pair<NodeId, double>> pagerank(double damping, std::uint64_t max_iter, double tol,
                                                    const Interrupt& stop);  // pagerank.cpp

   private:
    friend struct GraphInspector;
    friend struct StoreAccess;
    // row(id, neighbour set) for the nodes [first, last) in order, on the calling thread, with the
    // neighbours' ids being loaded ahead: the walk of the edge listings.
    template <class F>
    void for_each_row(std::size_t first, std::size_t last, const Interrupt& stop, F&& row) const;
    // Writes the edges of nodes [first, last) that edge_array() lists from them, as pairs of ids,
    // from `next` on, which has room for two ids per entry of their sets; returns the end.
    NodeId* list_block_edges(std::size_t first, std::size_t last, NodeId* next, const Interrupt& stop) const;
    // The union-find labels of component_sizes(): each node's component's first dense index.
    HugeArray<Index> component_roots(const Interrupt& stop) const;
    // Builds the snapshot unless one is cached; the reference stays valid until the next mutation.
    const CsrSnapshot& ensure_csr(const Interrupt& stop);
    // Builds the forward rows of the triangle counts unless they are cached (triangles.cpp).
    const ForwardRows& ensure_forward(const Interrupt& stop);
    // Each node's degree without its self-loop, in iteration order.
    HugeArray<std::uint32_t> loopless_degrees(const Interrupt& stop) const;  // cores.cpp
    void drop_caches() noexcept {
        csr_.reset();
        forward_.reset();
    }
    // Runs a public mutation: drops the caches when it succeeds, and when it fails after the
    // graph has changed (nodes and edges only ever grow, so their counts tell).
    template <class Mutation>
    void mutate(Mutation&& mutation) {
        const std::uint64_t nodes = node_count(), edges = edge_count_;
        try {
            mutation();
        } catch (...) {
            if (node_count() != nodes || edge_count_ != edges) drop_caches();
            throw;
        }
        drop_caches();
    }

    // The edge-insertion step shared by every path that inserts edges: creates missing endpoints
    // (u first), returns whether the edge is new. Does not drop the caches, so that callers
    // inserting many edges drop it once.
    bool insert_edge(NodeId u, NodeId v);
    // Makes room for one more neighbour of id (at dense index i), recording where its set now is.
    void grow_for_one(NodeId id, Index i);
    // add_edges without dropping the caches; with an owner, ends are its contents, which it may free;
    // with a source, ends are empty and the source holds them.
    void insert_edges(std::span<const NodeId> ends, EndArray* owner, EndSource* source,
                      const Interrupt& stop);
    // Makes room for `count` nodes in all, the new ones having ids in [lo, hi], so appending them
    // never reallocates. Throws CapacityError beyond the store's limit, std::bad_alloc when memory
    // runs out.
    // A bulk load passes Fill::Shared: the node index then fills a large new array on every core.
    void reserve_nodes(std::uint64_t count, NodeId lo, NodeId hi, const Interrupt& stop = Interrupt::never(),
                       NodeIndex::Fill fill = NodeIndex::Fill::Here);
    // Appends a new node into room made by reserve_nodes(); never fails.
    Index append_node(NodeId id) noexcept;
    // build_random without dropping the caches.
    void insert_random(std::int64_t n, std::uint64_t m, std::uint64_t seed, const Interrupt& stop);
    // How many entries a load still brings each node, counted before it starts so that a set is
    // given room for all of them the first time a chunk reaches it, rather than once per chunk.
    // Keyed by dense index (a batch whose ids were all numbered up front) or by id (ids in
    // [0, counts.size()), for the generator). Only room depends on it, never a result.
    struct Pending {
        enum class Key { None, Index, Id } key = Key::None;
        BigVector<std::uint32_t> counts;
        // Key::Id: the counts of the nodes the load has created so far, copied by index once each
        // node exists (while every node the store gained came from the load's chunks), so that the
        // passes of later chunks over every node read them in order rather than at random.
        BigVector<std::uint32_t> by_index;
        // One more entry for key k, saturating: a count only sizes room.
        void add(std::size_t k) noexcept { counts[k] += counts[k] != UINT32_MAX; }
        // The working arrays of one chunk, kept for the next (see Scratch in bulk_load.cpp).
        struct Scratch;
        std::shared_ptr<Scratch> scratch;
        // The scratch of a chunked load (made on first use), or `own` for a batch loaded at once.
        Scratch& scratch_or(Scratch& own);
        // The chunks of a load leave the node index's degrees and glances to be recorded once, by
        // record_all(), rather than each chunk writing them at random; set while some are stale.
        bool records_stale = false;
    };
    // Records every node's degree and glance in the node index if a chunk left them stale. Nothing
    // reads them before the load ends: it works on the sets themselves, and insert_edge only
    // writes the records of the nodes it touches.
    void record_all(Pending& pending) noexcept;
    // Records every node's degree and glance in the node index, in dense order (bulk_load.cpp).
    void record_every_node() noexcept;
    // Calls record_all() when it goes out of scope, however the load it guards ends.
    struct RecordAllOnExit {
        Graph& graph;
        Pending& pending;
        ~RecordAllOnExit() { graph.record_all(pending); }
    };
    // insert_edges for one chunk of a load that the caller has cut into chunks. With an owner, ends
    // are its contents, which a chunk loaded on its own may take over (leaving the owner empty).
    void insert_chunk(std::span<const NodeId> ends, Pending& pending, const Interrupt& stop,
                      EndArray* owner = nullptr);
    // The all-at-once path of add_edges, for one batch or one chunk of it (bulk_load.cpp).
    struct BatchIds;
    // mapped_ends, when not empty, holds the dense indices of ends (which may then be empty). An
    // owner's contents are the ends (or the input mapped_ends came from), which a batch loaded at
    // once takes over for its working memory once they are read, leaving the owner empty.
    void add_edges_batched(std::span<const NodeId> ends, std::span<const Index> mapped_ends, BatchIds& ids,
                           Pending& pending, const Interrupt& stop, EndArray* owner = nullptr);
    // Numbers the ids of ends (u then v, ids below range) that are not self-loops, in order of first
    // appearance, in the table that the generator's chunks of a load keyed by id share, made here on
    // first use for `endpoints` endpoints (bulk_load.cpp). Returns how many new ids the table has
    // numbered so far (0, numbering nothing, if range is too wide for a flat table: never for at
    // most two ids per endpoint).
    std::uint64_t number_ahead(Pending& pending, std::uint64_t range, std::span<const std::uint32_t> ends,
                               std::uint64_t endpoints, const Interrupt& stop);
    static void check_node_limit(std::uint64_t count);

    BigVector<NodeId> ids_;
    // Arrays that bulk loads carve into first list arrays for many sets at once (see
    // add_edges_batched()); the sets borrow them, and they live as long as the graph.
    std::vector<HugeArray<Index>> list_slabs_;
    BigVector<NeighbourSet> nbrs_;
    NodeIndex index_;
    std::uint64_t edge_count_ = 0;
    std::unique_ptr<CsrSnapshot> csr_;
    std::unique_ptr<ForwardRows> forward_;
};

}  // namespace qm
