// The differential fuzzer of the graph core: decodes its input into a run of operations, applies
// each to a qm::Graph, to a second qm::Graph that only ever takes single edges, and to the plain
// model of model.hpp, and stops the process (abort) at the first disagreement.
//
// What is compared after every operation: the node list and edge count; every node's degree,
// neighbours (as a set, and in arrival order while the set is small enough to be a list) and its
// edges both ways; the edge listing and degree sequence; the full internal consistency check of
// store_checks.hpp. The single-edge twin gives the bulk paths their strictest check: a batch, loaded
// edge by edge, at once or in chunks, must leave every neighbour set in exactly the order one-by-one
// insertion leaves it, hash-table sets included. Analyses are compared when the input asks for them.
// The input can also make a load's source report a change part way, or an allocation of the next
// call fail (failing_allocation.hpp); the store must then hold exactly what the core promises (the
// graph as it was, or a prefix of the batch) and drop or keep its cached structures accordingly.
//
// Input format, byte by byte (a reader that runs dry yields zeros, so every input is valid): an
// opcode, then its operands. Ids are one selector byte (see read_id) and sometimes more bytes; a
// batch is a length byte and that many ids or id pairs; a pattern is a shape, an id and a count,
// expanded here so that small inputs can build hubs and long paths. See Op for the opcodes.
//
// The environment decides once per process which bulk paths small batches take; the harness lowers
// the chunk bound and PageRank's segment size unless they are set already, so that batches of a few
// dozen edges and graphs of a few dozen nodes reach the chunked and segmented code.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "core/load/column_ends.hpp"
#include "core/base/fault.hpp"
#include "core/store/graph.hpp"
#include "failing_allocation.hpp"
#include "store_checks.hpp"
#include "parallel/pool.hpp"
#include "model.hpp"

namespace qm::fuzz {

namespace {

// ---- test settings for the whole process

// Loads of more edges than this go in chunks (each of at least a sixteenth of the load, and of this many when that is more).
constexpr char kChunkEdges[] = "16";
// PageRank's senders go in segments of this many rows.
constexpr char kSegmentRows[] = "8";
// Two workers, so that the parallel loops really split their ranges.
constexpr char kWorkers[] = "2";

// ---- decoding

// Bytes consumed front to back; zeros once they run out.
class Reader {
   public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint64_t word() {
        std::uint64_t w = 0;
        for (int k = 0; k < 8; ++k) w |= std::uint64_t{byte()} << (8 * k);
        return w;
    }

   private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Ids step by wrapping arithmetic: a pattern may start near either extreme.
NodeId plus(NodeId id, std::uint64_t k) { return static_cast<NodeId>(static_cast<std::uint64_t>(id) + k); }

// The node hash is a bijection: an odd multiplier (invertible modulo 2^64) and a rotation. Ids
// whose hashes share their low kCollisionBits bits all start probing at the same slot of every
// table up to 2^kCollisionBits slots: the worst case of the store's hashed index.
constexpr std::uint64_t inverse_of_odd(std::uint64_t a) {
    std::uint64_t x = a;  // Newton's iteration doubles the correct low bits each step: 5 -> 64
    for (int k = 0; k < 5; ++k) x *= 2 - a * x;
    return x;
}
constexpr std::uint64_t kHashInverse = inverse_of_odd(kNodeHashMultiplier);
static_assert(kNodeHashMultiplier * kHashInverse == 1);
constexpr NodeId unhash(std::uint64_t h) {
    return static_cast<NodeId>(std::rotr(h, kNodeHashRotation) * kHashInverse);
}
static_assert(node_hash(unhash(0x123456789abcdefULL)) == 0x123456789abcdefULL);
constexpr unsigned kCollisionBits = 24;
// The k-th id of a collision family: all of the family share the low hash bits `family`.
NodeId colliding(std::uint64_t k, std::uint8_t family) { return unhash(k << kCollisionBits | family); }

constexpr NodeId kFar[] = {
    NodeId{1} << 16, NodeId{1} << 17, NodeId{1} << 20, NodeId{1} << 31,
    NodeId{1} << 32, NodeId{1} << 40, NodeId{1} << 62, -(NodeId{1} << 40),
};
constexpr NodeId kExtremes[] = {
    INT64_MIN, INT64_MIN + 1, INT64_MAX, INT64_MAX - 1, -1, 0, INT32_MAX, UINT32_MAX,
};
// Selector classes: the top 3 bits of the selector byte, the low 5 its argument.
constexpr unsigned kClassShift = 5;
constexpr std::uint8_t kArgMask = 31;

NodeId read_id(Reader& in, const Model& model) {
    const std::uint8_t s = in.byte();
    const std::uint8_t arg = s & kArgMask;
    switch (s >> kClassShift) {
        case 0:
        case 1: return arg;  // a dense run from 0 (twice as likely: the usual ids)
        case 2:              // a node already present
            if (model.ids.empty()) return arg;
            return model.ids[(std::size_t{in.byte()} << kClassShift | arg) % model.ids.size()];
        case 3: return -1 - static_cast<NodeId>(arg);
        case 4: return plus(kFar[arg % std::size(kFar)], in.byte());
        case 5: return kExtremes[arg % std::size(kExtremes)];
        case 6: return colliding(arg, in.byte());
        default: return static_cast<NodeId>(in.word());
    }
}

// A batch header: up to kBatchMask items, and a flag asking for one extra id after them.
constexpr std::uint8_t kBatchMask = 63;
constexpr std::uint8_t kOddFlag = 64;

// Ends of a batch of edges, possibly with an odd last element (which loads ignore).
std::vector<NodeId> read_batch(Reader& in, const Model& model) {
    const std::uint8_t h = in.byte();
    std::vector<NodeId> ends;
    for (int k = 0; k < (h & kBatchMask); ++k) {
        ends.push_back(read_id(in, model));
        ends.push_back(read_id(in, model));
    }
    if (h & kOddFlag) ends.push_back(read_id(in, model));
    return ends;
}

std::vector<NodeId> read_ids(Reader& in, const Model& model) {
    const std::uint8_t h = in.byte();
    std::vector<NodeId> ids;
    for (int k = 0; k < (h & kBatchMask); ++k) ids.push_back(read_id(in, model));
    return ids;
}

// Shapes that a few bytes expand into many edges.
enum class Shape : std::uint8_t { Star, Path, Clique, Scatter, ReverseStar, Collisions, HubCollisions, Count };
// A clique's node count is capped so it stays a few hundred edges.
constexpr std::uint64_t kMaxCliqueNodes = 40;
// Colliding ids one pattern may bring.
constexpr std::uint64_t kMaxFamily = 160;
// Leaves of a hub whose neighbour table collides, and what share of the nodes they are picked from.
constexpr std::uint64_t kMaxHubLeaves = 400;
constexpr unsigned kHubShareBits = 3;  // one node in 8: homes in the first 8th of every table
// Patterns may be up to (kPatternScale + 1) * 255 edges long (a colliding hub: a few thousand).
constexpr std::uint64_t kPatternScale = 3;

// A count byte, then a scale byte: up to (kPatternScale + 1) * 255.
std::uint64_t read_count(Reader& in) {
    const std::uint64_t count = in.byte();
    return count * (1 + (in.byte() & kPatternScale));
}

std::vector<NodeId> read_pattern(Reader& in, const Model& model) {
    const auto shape = static_cast<Shape>(in.byte() % static_cast<std::uint8_t>(Shape::Count));
    const NodeId base = read_id(in, model);
    const std::uint64_t count = read_count(in);
    std::vector<NodeId> ends;
    auto edge = [&](NodeId u, NodeId v) {
        ends.push_back(u);
        ends.push_back(v);
    };
    switch (shape) {
        case Shape::Star:
            for (std::uint64_t i = 0; i < count; ++i) edge(base, plus(base, i + 1));
            break;
        case Shape::ReverseStar:
            for (std::uint64_t i = 0; i < count; ++i) edge(plus(base, i + 1), base);
            break;
        case Shape::Path:
            for (std::uint64_t i = 0; i < count; ++i) edge(plus(base, i), plus(base, i + 1));
            break;
        case Shape::Clique: {
            const std::uint64_t k = std::min(count, kMaxCliqueNodes);
            for (std::uint64_t i = 0; i < k; ++i)
                for (std::uint64_t j = i; j < k; ++j) edge(plus(base, i), plus(base, j));  // with self-loops
            break;
        }
        case Shape::Scatter: {  // repeats and self-loops among a narrow range
            Draws draws(in.byte());
            const std::uint64_t range = std::uint64_t{in.byte()} + 1;
            for (std::uint64_t i = 0; i < count; ++i) {
                const std::uint64_t a = draws.next() % range;
                edge(plus(base, a), plus(base, draws.next() % range));
            }
            break;
        }
        case Shape::Collisions: {
            // Every id of a family probes from the same slot: a long family makes each lookup of
            // the rest of the run walk it (the hashed index probes linearly), which only slows the
            // run once the family is longer than what the index layouts change at.
            const std::uint8_t family = in.byte();
            const std::uint64_t k = std::min(count, kMaxFamily);
            for (std::uint64_t i = 0; i < k; ++i) edge(colliding(i, family), colliding((i * 3 + 1) % (k + 1), family));
            break;
        }
        case Shape::HubCollisions: {
            // A path through fresh nodes, which take the dense indices from the model's node count
            // on, then a hub joined to those of them whose indices times the neighbour tables'
            // multiplier lie in the lowest 8th of the range: their homes share the first 8th of
            // the hub's table at every capacity, enough to pile them into long runs.
            const std::uint64_t k = std::min(count, kMaxHubLeaves), first = model.ids.size();
            std::vector<NodeId> leaves;
            std::uint64_t j = 0;
            for (; leaves.size() < k; ++j) {
                if (j > 0) edge(plus(base, j - 1), plus(base, j));
                if (index_hash(static_cast<Index>(first + j)) >> (64 - kHubShareBits) == 0) leaves.push_back(plus(base, j));
            }
            const NodeId hub = plus(base, j);
            for (const NodeId leaf : leaves) edge(hub, leaf);
            break;
        }
        case Shape::Count: break;
    }
    return ends;
}

// ---- failures

[[noreturn]] void fail(std::size_t op, const std::string& what) {
    std::fprintf(stderr, "quillmesh fuzz: operation %zu: %s\n", op, what.c_str());
    std::fflush(stderr);
    std::abort();
}

std::string show(const std::vector<NodeId>& v) {
    std::string s = "[";
    for (const NodeId x : v) s += std::to_string(x) + " ";
    return s + "]";
}

// An EndSource over a vector that can be made to report, on its k-th read, that the underlying
// sequence changed (as another thread changing a Python list would).
class VectorSource : public EndSource {
   public:
    VectorSource(const std::vector<NodeId>& ends, std::size_t fail_at_read)
        : ends_(ends), fail_at_(fail_at_read), bounds_(id_bounds(ends)) {}
    std::size_t size() const noexcept override { return ends_.size(); }
    NodeId low() const noexcept override { return bounds_.low; }
    NodeId high() const noexcept override { return bounds_.high; }
    void read(std::size_t first, std::span<NodeId> out) override {
        if (reads_++ == fail_at_) {
            failed_first_ = first;
            throw SourceChanged();
        }
        if (first % 2 != 0 || out.size() % 2 != 0 || first > ends_.size() || out.size() > ends_.size() - first) {
            bad_read_ = true;  // reported once the load returns
            throw SourceChanged();
        }
        std::copy_n(ends_.begin() + static_cast<std::ptrdiff_t>(first), out.size(), out.begin());
    }
    // Where the failed read would have started: the load keeps the edges before it.
    std::size_t failed_first() const { return failed_first_; }
    bool bad_read() const { return bad_read_; }

   private:
    const std::vector<NodeId>& ends_;
    std::size_t fail_at_;
    std::size_t reads_ = 0;
    std::size_t failed_first_ = 0;
    bool bad_read_ = false;
    IdBounds bounds_;
};
// A source fails at its read number (byte % kFailModulo) when that is below kFailReads.
constexpr std::uint8_t kFailModulo = 8;
constexpr std::uint8_t kFailReads = 3;
constexpr std::size_t kNeverFail = SIZE_MAX;

// A failure is armed at most this many allocations into a call: most calls make fewer.
constexpr std::uint8_t kFailureSpread = 48;

// ---- columns of ends (ColumnEnds)

// The column types, as their width in bytes and signedness, in ColumnType's order.
struct ColumnTypeInfo {
    ColumnType type;
    unsigned width;
    bool is_signed;
};
constexpr ColumnTypeInfo kColumnTypes[] = {
    {ColumnType::I8, 1, true},   {ColumnType::I16, 2, true},  {ColumnType::I32, 4, true},
    {ColumnType::I64, 8, true},  {ColumnType::U8, 1, false},  {ColumnType::U16, 2, false},
    {ColumnType::U32, 4, false}, {ColumnType::U64, 8, false},
};
constexpr unsigned kBitsPerByte = 8;
constexpr unsigned kWordBytes = sizeof(NodeId);

// Whether v is a value of the type. A negative id in an unsigned 64-bit column is the one value a
// column can hold that no node id stands for: its bits read as a number above the signed range.
bool holds(const ColumnTypeInfo& t, NodeId v) {
    if (t.width == kWordBytes) return t.is_signed || v >= 0;
    const unsigned bits = kBitsPerByte * t.width;
    if (t.is_signed) return v >= -(NodeId{1} << (bits - 1)) && v < (NodeId{1} << (bits - 1));
    return v >= 0 && v < (NodeId{1} << bits);
}

// A column is cut into at most this many pieces.
constexpr std::uint8_t kMaxPieces = 4;
// A piece's form byte: its type in the low bits (a type that cannot hold every value becomes
// signed 64-bit, except unsigned 64-bit, whose negative values are the too-large ones), then a
// stride of 1 to 4 values, one byte more (unaligned values), a reversed walk and a validity bitmap.
constexpr std::uint8_t kTypeMask = 7;
constexpr unsigned kStrideShift = 3;
constexpr std::uint8_t kStrideMask = 3;
constexpr std::uint8_t kUnalignedFlag = 32;
constexpr std::uint8_t kReversedFlag = 64;
constexpr std::uint8_t kValidityFlag = 128;
// The null-position byte that makes a whole piece null, given as no data at all.
constexpr std::uint8_t kAllNull = 255;
constexpr const char* kColumnNames[] = {"first", "second"};

enum class Flaw : std::uint8_t { None, Null, TooLarge };
// The byte after a column load's columns: with this bit, the rest picks an end to overwrite once
// check() has passed.
constexpr std::uint8_t kOverwriteFlag = 128;

// ---- the run

enum class Op : std::uint8_t {
    AddNode, AddEdge, AddNodes, AddEdgesSpan, AddEdgesOwned, AddEdgesSource, AddPattern, BuildRandom,
    PointQueries, HasEdges, SubgraphEdgeCount, ComponentSizes, ShortestPath, TriangleCount, PageRank,
    FailNextAllocation, Arrays, ComponentLabels, Distances, PageRankScores, ColumnLoad, WatchProgress, Analyses,
    Count
};
// The analyses one Analyses operation may run, picked by its first byte.
enum class Analysis : std::uint8_t { Cores, Triangles, Betweenness, Sampled, Diameter, Communities, Modularity, Count };
// Relative (and, near zero, absolute) agreement asked of float results against the model's.
constexpr double kCloseEnough = 1e-9;
// Nodes up to which the model's quadratic analyses (cores, betweenness, diameter) are compared.
constexpr std::uint64_t kMaxModelledNodes = 400;
// Resolutions an input may pick for communities and modularity.
constexpr double kResolutions[] = {1.0, 0.0, 0.5, 2.0, 1e-3, 30.0};
// How a pattern is handed to the store; Columns only through ColumnLoad (see column_load()).
enum class Route : std::uint8_t { Span, Owned, Source, Count, Columns };

// The generator's ranges: the low bits of its first byte pick one of kRangeKinds, the next bit
// whether the seed is a whole word.
constexpr std::uint8_t kRangeKinds = 8;
constexpr std::uint8_t kWordSeed = 8;
constexpr std::int64_t kSmallRange = 64;
constexpr std::int64_t kTinyRange = 8;
constexpr std::int64_t kWideRange = std::int64_t{1} << 16;     // past a batch's flat id table
constexpr std::int64_t kPackableRange = std::int64_t{1} << 32;  // past it, the generator goes edge by edge

constexpr double kTolerances[] = {0.0, 1e-12, 1e-6, 1e-3, 1.0, 1e300};
constexpr std::uint8_t kMaxIterations = 40;
// The largest damping byte maps to 1.0.
constexpr double kDampingScale = 255.0;
// Point queries per operation.
constexpr std::uint64_t kMaxPointQueries = 8;
// A batch with fewer than one endpoint per this many stored nodes goes in edge by edge.
constexpr std::uint64_t kNodesPerEndpoint = 8;
// A load or generator call that could take the graph past this many edges is skipped: every
// operation is followed by a check of the whole graph, and small graphs reach the same code.
constexpr std::uint64_t kMaxEdges = 4096;

class Run {
   public:
    explicit Run(Reader& in) : in_(in) { watched_.report_to(&progress_); }

    void go() {
        while (!in_.empty()) {
            step();
            check(in_.empty());
            ++op_;
        }
        if (op_ == 0) check(true);
    }

   private:
    void step() {
        switch (static_cast<Op>(in_.byte() % static_cast<std::uint8_t>(Op::Count))) {
            case Op::AddNode: {
                const NodeId id = read_id(in_, model_);
                const State before = state();
                const bool failed = attempt([&] { graph_.add_node(id); });
                if (!failed) {
                    twin_.add_node(id);
                    model_.add_node(id);
                }
                check_caches(before, failed);
                break;
            }
            case Op::AddEdge: {
                const NodeId u = read_id(in_, model_), v = read_id(in_, model_);
                const State before = state();
                const bool failed = attempt([&] { graph_.add_edge(u, v); });
                if (!failed) add_edge_elsewhere(u, v);
                check_caches(before, failed);
                break;
            }
            case Op::AddNodes: {
                const std::vector<NodeId> ids = read_ids(in_, model_);
                const State before = state();
                const bool failed = attempt([&] { graph_.add_nodes(ids, stop()); });
                // Node by node: a failure keeps the nodes before it.
                for (const NodeId id : ids) {
                    if (failed && model_.ids.size() == graph_.node_count()) break;
                    twin_.add_node(id);
                    model_.add_node(id);
                }
                check_caches(before, failed);
                break;
            }
            case Op::AddEdgesSpan: load(read_batch(in_, model_), Route::Span); break;
            case Op::AddEdgesOwned: load(read_batch(in_, model_), Route::Owned); break;
            case Op::AddEdgesSource: load(read_batch(in_, model_), Route::Source); break;
            case Op::AddPattern: {
                const auto route = static_cast<Route>(in_.byte() % static_cast<std::uint8_t>(Route::Count));
                load(read_pattern(in_, model_), route);
                break;
            }
            case Op::BuildRandom: build_random(); break;
            case Op::PointQueries: point_queries(); break;
            case Op::HasEdges: {
                const std::vector<NodeId> ends = read_batch(in_, model_);
                std::vector<Answer> got;
                if (attempt([&] { got = graph_.has_edges(ends, stop()); })) break;
                if (got.size() != ends.size() / 2) fail(op_, "has_edges answered a wrong number of pairs");
                for (std::size_t k = 0; k < got.size(); ++k)
                    if ((got[k] == Answer::Yes) != model_.has_edge(ends[2 * k], ends[2 * k + 1]))
                        fail(op_, "has_edges wrong for " + std::to_string(ends[2 * k]) + "-" + std::to_string(ends[2 * k + 1]));
                break;
            }
            case Op::SubgraphEdgeCount: {
                std::vector<NodeId> ids = read_ids(in_, model_);
                if (in_.byte() & 1) ids.insert(ids.end(), model_.ids.begin(), model_.ids.end());
                std::uint64_t got = 0;
                if (attempt([&] { got = graph_.subgraph_edge_count(ids, stop()); })) break;
                if (got != model_.subgraph_edge_count(ids)) fail(op_, "subgraph_edge_count of " + show(ids));
                break;
            }
            case Op::ComponentSizes: {
                std::vector<std::uint64_t> got;
                if (attempt([&] { got = graph_.component_sizes(stop()); })) break;
                if (got != model_.component_sizes()) fail(op_, "component_sizes");
                break;
            }
            case Op::ShortestPath: {
                const NodeId s = read_id(in_, model_), t = read_id(in_, model_);
                std::int64_t got = 0;
                if (attempt([&] { got = graph_.shortest_path_length(s, t, stop()); })) break;
                const std::int64_t want = model_.shortest_path_length(s, t);
                if (got != want)
                    fail(op_, "shortest_path_length(" + std::to_string(s) + ", " + std::to_string(t) + ") = " +
                                  std::to_string(got) + ", want " + std::to_string(want));
                break;
            }
            case Op::TriangleCount: {
                std::uint64_t got = 0;
                if (attempt([&] { got = graph_.triangle_count(stop()); })) break;
                if (got != model_.triangle_count())
                    fail(op_, "triangle_count " + std::to_string(got) + ", want " + std::to_string(model_.triangle_count()));
                break;
            }
            case Op::PageRank: pagerank(); break;
            case Op::FailNextAllocation: fail_at_ = in_.byte() % kFailureSpread; break;
            case Op::Arrays: arrays(); break;
            case Op::ComponentLabels: {
                HugeArray<std::int64_t> got;
                if (attempt([&] { got = graph_.component_labels(stop()); })) break;
                const std::vector<std::int64_t> want = model_.component_labels();
                if (!std::equal(got.data(), got.data() + got.size(), want.begin(), want.end()))
                    fail(op_, "component_labels");
                break;
            }
            case Op::Distances: {
                const NodeId source = read_id(in_, model_);
                HugeArray<std::int64_t> got;
                if (attempt([&] { got = graph_.distances(source, stop()); })) break;
                const std::vector<std::int64_t> want = model_.distances(source);
                if (!std::equal(got.data(), got.data() + got.size(), want.begin(), want.end()))
                    fail(op_, "distances from " + std::to_string(source));
                break;
            }
            case Op::PageRankScores: pagerank(true); break;
            case Op::ColumnLoad: column_load(); break;
            case Op::WatchProgress: watch_ = !watch_; break;
            case Op::Analyses: analyses(); break;
            case Op::Count: break;
        }
    }

    // Runs a call into the core, with the allocation failure the input armed for it, if any. Says
    // whether that failure was thrown out of the call; any other std::bad_alloc is a finding, and
    // other exceptions go to the caller, which knows which ones the call may throw.
    // While the input watches progress, the call reports it to a fresh record, which must then
    // show no more done than its total, however the call ended.
    template <class F>
    bool attempt(F&& call) {
        progress_.done = 0;
        progress_.total = 0;
        struct CheckProgress {
            Run& run;
            ~CheckProgress() { run.check_progress(); }
        } check_after{*this};
        const FailingAllocation failing(std::exchange(fail_at_, kNoFailure));
        try {
            call();
        } catch (const std::bad_alloc&) {
            if (!failing.armed()) fail(op_, "std::bad_alloc without an injected failure");
            return true;
        }
        return false;
    }

    // The Interrupt for the next call: one reporting to progress_ while the input watches it.
    const Interrupt& stop() const { return watch_ ? watched_ : Interrupt::never(); }

    void check_progress() const {
        const std::uint64_t done = progress_.done, total = progress_.total;
        if (watch_ && total != 0 && done > total)  // a total of 0: not known yet (diameter, communities)
            fail(op_, "progress done " + std::to_string(done) + " past its total " + std::to_string(total) + analysis_);
    }

    // What a mutation must compare its outcome with.
    struct State {
        std::uint64_t nodes, edges;
        bool cached;
    };
    State state() const { return {graph_.node_count(), graph_.edge_count(), GraphInspector::has_cache(graph_)}; }

    // A mutation drops the derived structures once it has succeeded (changing the graph or not),
    // and when it failed after changing the graph; one that failed without a change leaves them.
    void check_caches(const State& before, bool failed) {
        const bool changed = graph_.node_count() != before.nodes || graph_.edge_count() != before.edges;
        const bool cached = GraphInspector::has_cache(graph_);
        if (cached && (!failed || changed)) fail(op_, "a mutation left a derived structure cached");
        if (failed && !changed && cached != before.cached) fail(op_, "a mutation that failed without a change dropped the caches");
    }

    // After a failure part way through edges that go in one by one (or in chunks), the store holds
    // a prefix of them: brings the twin and the model to the shortest prefix with the store's counts
    // (any longer one with the same counts adds only repeats). The checks that follow compare the rest.
    void follow_prefix(const std::vector<NodeId>& ends, std::size_t edges) {
        for (std::size_t k = 0; k < edges; ++k) {
            if (model_.ids.size() == graph_.node_count() && model_.edges == graph_.edge_count()) return;
            add_edge_elsewhere(ends[2 * k], ends[2 * k + 1]);
        }
    }

    bool too_large(std::uint64_t more_edges) const { return model_.edges + more_edges > kMaxEdges; }

    void add_edge_elsewhere(NodeId u, NodeId v) {
        twin_.add_edge(u, v);
        model_.add_edge(u, v);
    }

    // A batch through one of the store's entry points; the twin and the model take it edge by edge.
    // With Route::Columns, `columns` holds the same ends, checked already.
    void load(const std::vector<NodeId>& ends, Route route, EndSource* columns = nullptr) {
        const std::size_t edges = ends.size() / 2;
        const std::uint8_t fail_byte = route == Route::Source ? in_.byte() : 0;
        if (too_large(edges)) return;
        // A batch that goes in at once (large next to the store, within one chunk) changes nothing
        // when it fails; the others keep a prefix.
        const bool at_once = edges > 0 && 2 * edges * kNodesPerEndpoint >= graph_.node_count() &&
                             Graph::load_chunk_edges(edges) >= edges;
        const State before = state();
        bool failed = false;
        switch (route) {
            case Route::Span:
                failed = attempt([&] { graph_.add_edges(std::span<const NodeId>(ends), stop()); });
                break;
            case Route::Owned: {
                EndArray owned(ends.begin(), ends.end());
                failed = attempt([&] { graph_.add_edges(std::move(owned), stop()); });
                break;
            }
            case Route::Source: {
                const std::uint8_t f = fail_byte % kFailModulo;
                VectorSource source(ends, f < kFailReads ? f : kNeverFail);
                try {
                    failed = attempt([&] { graph_.add_edges(source, stop()); });
                } catch (const SourceChanged&) {
                    if (source.bad_read()) fail(op_, "a load read its source out of bounds or unpaired");
                    // The chunks before the failed read stay, exactly.
                    for (std::size_t k = 0; k < source.failed_first() / 2; ++k) add_edge_elsewhere(ends[2 * k], ends[2 * k + 1]);
                    check_caches(before, true);
                    return;
                } catch (const std::exception& e) {
                    fail(op_, std::string("a load from a source threw: ") + e.what());
                }
                break;
            }
            case Route::Columns:
                try {
                    failed = attempt([&] { graph_.add_edges(*columns, stop()); });
                } catch (const std::exception& e) {
                    fail(op_, std::string("a load from columns threw: ") + e.what());
                }
                break;
            case Route::Count: break;
        }
        // A load states its whole work, the batch's edges, before it starts.
        if (watch_ && !failed && edges > 0 && progress_.total != edges)
            fail(op_, "a load of " + std::to_string(edges) + " edges expected " + std::to_string(progress_.total.load()));
        if (!failed) {
            for (std::size_t k = 0; k < edges; ++k) add_edge_elsewhere(ends[2 * k], ends[2 * k + 1]);
        } else if (!at_once) {
            follow_prefix(ends, edges);
        }
        check_caches(before, failed);
    }

    void build_random() {
        const std::uint8_t kind = in_.byte();
        const std::uint8_t a = in_.byte();
        std::int64_t n = 0;
        switch (kind % kRangeKinds) {
            case 0: n = a % kSmallRange; break;                     // small, 0 and 1 included
            case 1: n = std::int64_t{a} + 1; break;                 // up to 256
            case 2: n = -1 - std::int64_t{a}; break;                // refused
            case 3: n = kPackableRange + a; break;                  // past the packable range: edge by edge
            case 4: n = kWideRange + a; break;                      // wide: a hashed batch table
            case 5: n = a % kTinyRange; break;                      // nearly full at once
            case 6: n = INT64_MAX - a; break;
            default: n = std::int64_t{a} * a; break;
        }
        const std::uint64_t m = read_count(in_);
        const std::uint64_t seed = (kind & kWordSeed) ? in_.word() : in_.byte();

        if (too_large(m)) return;
        // What the model expects: refusals first, then the one-attempt-at-a-time replay.
        enum class Expect { Fine, Invalid, Fault } expect = Expect::Fine;
        if (n < 0) {
            expect = Expect::Invalid;
        } else if (m == 0) {
        } else if (n == 0) {
            expect = Expect::Fault;
        } else {
            using Wide = unsigned __int128;
            const auto range = static_cast<std::uint64_t>(n);
            const Wide pairs = Wide{range} * (range - 1) / 2;
            std::uint64_t taken = 0;
            for (std::size_t i = 0; i < model_.ids.size(); ++i)
                for (const std::size_t j : model_.adjacent[i])
                    taken += model_.ids[i] >= 0 && model_.ids[j] > model_.ids[i] && model_.ids[j] < n;
            if (Wide{m} > pairs - taken) expect = Expect::Invalid;
        }
        const State before = state();
        bool failed = false;
        try {
            failed = attempt([&] { graph_.build_random(n, m, seed, stop()); });
            if (!failed && expect != Expect::Fine)
                fail(op_, "build_random(" + std::to_string(n) + ", " + std::to_string(m) + ") was not refused");
        } catch (const InvalidArgument&) {
            if (expect != Expect::Invalid) fail(op_, "build_random refused a valid request");
            failed = true;
        } catch (const Fault&) {
            if (expect != Expect::Fault) fail(op_, "build_random faulted");
            failed = true;
        } catch (const std::exception& e) {
            fail(op_, std::string("build_random threw: ") + e.what());
        }
        if (expect == Expect::Fine) {
            // The edges in the order the draws bring them; after a failure, a prefix of them.
            const auto range = static_cast<std::uint64_t>(n);
            Draws draws(seed);
            for (std::uint64_t added = 0; added < m;) {
                if (failed && model_.ids.size() == graph_.node_count() && model_.edges == graph_.edge_count()) break;
                const auto u = static_cast<NodeId>(draws.next() % range);
                const auto v = static_cast<NodeId>(draws.next() % range);
                if (u != v && !model_.has_edge(u, v)) {
                    add_edge_elsewhere(u, v);
                    ++added;
                }
            }
        }
        check_caches(before, failed);
    }

    // Column c of a batch's ends (ends[2k + c]) as pieces decoded from the input; storage keeps their
    // bytes, flaws gets what check() must find at each position.
    Column make_column(std::size_t c, const std::vector<NodeId>& ends,
                       std::vector<std::vector<std::uint8_t>>& storage, std::vector<Flaw>& flaws) {
        const std::size_t count = ends.size() / 2;
        Column column{kColumnNames[c], {}};
        flaws.assign(count, Flaw::None);
        const std::size_t pieces = 1 + in_.byte() % kMaxPieces;
        for (std::size_t p = 0, at = 0; p < pieces; ++p) {
            const std::size_t length = p + 1 == pieces ? count - at : in_.byte() % (count - at + 1);
            const std::uint8_t form = in_.byte();
            ColumnTypeInfo type = kColumnTypes[form & kTypeMask];
            auto value = [&](std::size_t i) { return ends[2 * (at + i) + c]; };
            for (std::size_t i = 0; i < length && type.type != ColumnType::U64; ++i)
                if (!holds(type, value(i))) type = kColumnTypes[static_cast<std::size_t>(ColumnType::I64)];
            const std::size_t step = type.width * (1 + ((form >> kStrideShift) & kStrideMask)) + ((form & kUnalignedFlag) ? 1 : 0);
            std::vector<std::uint8_t>& bytes = storage.emplace_back(std::max<std::size_t>(length, 1) * step, 0);
            const bool reversed = (form & kReversedFlag) != 0;
            ColumnPiece piece;
            piece.length = length;
            piece.type = type.type;
            piece.stride = reversed ? -static_cast<std::ptrdiff_t>(step) : static_cast<std::ptrdiff_t>(step);
            std::uint8_t* first = bytes.data() + (reversed && length > 0 ? (length - 1) * step : 0);
            piece.data = first;
            for (std::size_t i = 0; i < length; ++i) {
                const NodeId v = value(i);  // its low bytes: the type's value (little-endian)
                std::memcpy(first + static_cast<std::ptrdiff_t>(i) * piece.stride, &v, type.width);
                if (!holds(type, v)) flaws[at + i] = Flaw::TooLarge;
            }
            if (form & kValidityFlag) {
                // Every bit outside the piece's own clear, so a bitmap read from a wrong offset shows.
                const std::size_t offset = in_.byte() % kBitsPerByte;
                const std::uint8_t null_at = in_.byte();
                std::vector<std::uint8_t>& bits = storage.emplace_back((offset + length) / kBitsPerByte + 1, 0);
                for (std::size_t i = 0; i < length; ++i)
                    if (null_at == kAllNull || i != null_at % (length + 1)) bits[(offset + i) / kBitsPerByte] |= 1u << ((offset + i) % kBitsPerByte);
                piece.validity = bits.data();
                piece.validity_offset = offset;
                if (null_at == kAllNull) piece.data = nullptr;
                for (std::size_t i = 0; i < length; ++i)
                    if (null_at == kAllNull || i == null_at % (length + 1)) flaws[at + i] = Flaw::Null;
            }
            column.pieces.push_back(piece);
            at += length;
        }
        return column;
    }

    // A batch as two columns of pieces: check() must find their first flaw in the order of the
    // interleaved ends, and a load of flawless ones must give what the flat batch gives.
    void column_load() {
        std::vector<NodeId> ends = read_batch(in_, model_);
        ends.resize(ends.size() & ~std::size_t{1});
        std::vector<std::vector<std::uint8_t>> storage;
        std::vector<Flaw> flaws[2];
        const Column made[2] = {make_column(0, ends, storage, flaws[0]), make_column(1, ends, storage, flaws[1])};
        const std::uint8_t overwrite_at = in_.byte();
        if (too_large(ends.size() / 2)) return;
        ColumnEnds columns(made[0], made[1]);
        Flaw want = Flaw::None;
        std::string where;
        for (std::size_t k = 0; k < ends.size() && want == Flaw::None; ++k) {
            want = flaws[k % 2][k / 2];
            where = std::string(kColumnNames[k % 2]) + "[" + std::to_string(k / 2) + "]";
        }
        const State before = state();
        bool failed = false;
        auto refused = [&](Flaw flaw, const std::exception& e) {
            if (want != flaw || std::string(e.what()).find(where) == std::string::npos)
                fail(op_, std::string("check() of columns: ") + e.what() + ", want a flaw at " + where);
            failed = true;
        };
        try {
            failed = attempt([&] { columns.check(stop()); });
            if (!failed && want != Flaw::None) fail(op_, "check() of columns passed a flaw at " + where);
        } catch (const InvalidArgument& e) {
            refused(Flaw::Null, e);
        } catch (const ValueOutOfRange& e) {
            refused(Flaw::TooLarge, e);
        } catch (const std::exception& e) {
            fail(op_, std::string("check() of columns threw: ") + e.what());
        }
        if (failed) {
            check_caches(before, true);  // nothing changed
            return;
        }
        if ((overwrite_at & kOverwriteFlag) && !ends.empty()) {
            // Another thread writes a value past the bounds check() took into the memory: the load
            // must notice it and stop, keeping no more than a prefix of the batch.
            const std::size_t k = (overwrite_at & ~kOverwriteFlag) % ends.size();
            // Just past either bound, unless the bounds span every id.
            const bool above = columns.high() < INT64_MAX, below = columns.low() > INT64_MIN;
            const NodeId outside = above ? columns.high() + 1 : below ? columns.low() - 1 : 0;
            if ((above || below) && overwrite(made[k % 2], k / 2, outside)) {
                try {
                    if (!attempt([&] { graph_.add_edges(columns, stop()); }))
                        fail(op_, "a load read a value past the columns' bounds without noticing");
                } catch (const SourceChanged&) {
                }
                follow_prefix(ends, ends.size() / 2);
                check_caches(before, true);
                return;
            }
        }
        load(ends, Route::Columns, &columns);
    }

    // Writes v over value `position` of the column, if its piece's type holds v.
    static bool overwrite(const Column& column, std::size_t position, NodeId v) {
        for (const ColumnPiece& p : column.pieces) {
            if (position >= p.length) {
                position -= p.length;
                continue;
            }
            const ColumnTypeInfo& type = kColumnTypes[static_cast<std::size_t>(p.type)];
            if (!holds(type, v)) return false;
            // The pieces lie in the harness's own storage.
            auto* at = static_cast<std::uint8_t*>(const_cast<void*>(p.data)) + static_cast<std::ptrdiff_t>(position) * p.stride;
            std::memcpy(at, &v, type.width);
            return true;
        }
        return false;
    }

    // The array forms of the listings, against the listings and the model. Each walks every node
    // (edge_array twice), so once it has returned its progress shows all of its work done.
    void arrays() {
        EndArray ids;
        EndArray edges;
        EndArray degrees;
        Graph::Rows<std::int32_t> narrow;
        Graph::Rows<std::int64_t> wide;
        const auto listed = [&](auto&& call, const char* what) {
            if (attempt(call)) return false;
            if (watch_ && progress_.done != progress_.total)
                fail(op_, std::string(what) + " returned with " + std::to_string(progress_.done.load()) + " of " +
                              std::to_string(progress_.total.load()) + " done");
            return true;
        };
        if (listed([&] { ids = graph_.id_array(stop()); }, "id_array") &&
            !std::equal(ids.data(), ids.data() + ids.size(), model_.ids.begin(), model_.ids.end()))
            fail(op_, "id_array");
        if (listed([&] { degrees = graph_.degree_array(stop()); }, "degree_array")) {
            if (degrees.size() != model_.ids.size()) fail(op_, "degree_array length");
            for (std::size_t i = 0; i < degrees.size(); ++i)
                if (static_cast<std::uint64_t>(degrees.data()[i]) != model_.adjacent[i].size()) fail(op_, "degree_array");
        }
        if (listed([&] { edges = graph_.edge_array(stop()); }, "edge_array")) {
            const std::vector<NodeId> want = graph_.edge_ends(Interrupt::never());
            if (!std::equal(edges.data(), edges.data() + edges.size(), want.begin(), want.end()))
                fail(op_, "edge_array differs from edge_ends()");
        }
        std::uint64_t entries = 0;
        for (const auto& set : model_.adjacent) entries += set.size();
        if (graph_.row_entries() != entries) fail(op_, "row_entries");
        if (listed([&] { narrow = graph_.sorted_rows<std::int32_t>(stop()); }, "sorted_rows<int32_t>"))
            check_rows(narrow, "sorted_rows<int32_t>");
        if (listed([&] { wide = graph_.sorted_rows<std::int64_t>(stop()); }, "sorted_rows<int64_t>"))
            check_rows(wide, "sorted_rows<int64_t>");
    }

    // Row i holds the model's neighbours of node i, by number, ascending.
    template <class I>
    void check_rows(const Graph::Rows<I>& rows, const std::string& what) {
        const std::size_t n = model_.ids.size();
        if (rows.indptr.size() != n + 1 || rows.indices.size() != graph_.row_entries()) fail(op_, what + ": sizes");
        const I* const indptr = rows.indptr.data();
        if (indptr[0] != 0 || static_cast<std::uint64_t>(indptr[n]) != rows.indices.size()) fail(op_, what + ": ends");
        for (std::size_t i = 0; i < n; ++i) {
            if (indptr[i + 1] < indptr[i]) fail(op_, what + ": offsets go back");
            const auto same = [](I got, std::size_t want) { return static_cast<std::size_t>(got) == want; };
            if (!std::equal(rows.indices.data() + indptr[i], rows.indices.data() + indptr[i + 1],
                            model_.adjacent[i].begin(), model_.adjacent[i].end(), same))
                fail(op_, what + ": row of " + std::to_string(model_.ids[i]));
        }
    }

    void point_queries() {
        const std::uint64_t count = in_.byte() % kMaxPointQueries;
        for (std::uint64_t k = 0; k < count; ++k) {
            const NodeId a = read_id(in_, model_), b = read_id(in_, model_);
            if (graph_.has_node(a) != model_.find(a).has_value()) fail(op_, "has_node(" + std::to_string(a) + ")");
            if (graph_.degree(a) != model_.degree(a)) fail(op_, "degree(" + std::to_string(a) + ")");
            if (graph_.has_edge(a, b) != model_.has_edge(a, b))
                fail(op_, "has_edge(" + std::to_string(a) + ", " + std::to_string(b) + ")");
            check_neighbours(a);
        }
    }

    std::string analysis_;  // which analysis is running, for messages

    static bool close(double got, double want) {
        if (std::isnan(want)) return std::isnan(got);
        return std::fabs(got - want) <= kCloseEnough * std::max(1.0, std::fabs(want));
    }
    template <class T>
    static std::vector<T> values(const HugeArray<T>& a) {
        return std::vector<T>(a.data(), a.data() + a.size());
    }

    // One of the algorithms module's analyses against the model's, or, where the model has no
    // reference (sampled betweenness, communities), against what its results must satisfy.
    void analyses() {
        const auto which = static_cast<Analysis>(in_.byte() % static_cast<std::uint8_t>(Analysis::Count));
        const std::uint8_t arg = in_.byte();
        const std::uint64_t n = model_.ids.size();
        analysis_ = " (analysis " + std::to_string(static_cast<int>(which)) + ")";
        struct Forget {
            std::string& label;
            ~Forget() { label.clear(); }
        } forget{analysis_};
        const bool heavy = which == Analysis::Cores || which == Analysis::Betweenness || which == Analysis::Diameter;
        if (heavy && n > kMaxModelledNodes) return;  // the model's quadratic walks would dominate the run
        switch (which) {
            case Analysis::Cores: {
                HugeArray<std::int64_t> got;
                if (attempt([&] { got = graph_.core_numbers(stop()); })) break;
                if (values(got) != model_.core_numbers()) fail(op_, "core_numbers");
                break;
            }
            case Analysis::Triangles: {
                HugeArray<std::int64_t> t;
                HugeArray<double> c;
                double transitivity = 0.0;
                if (attempt([&] { t = graph_.node_triangles(stop()); })) break;
                if (attempt([&] { c = graph_.clustering(stop()); })) break;
                if (attempt([&] { transitivity = graph_.transitivity(stop()); })) break;
                const std::vector<std::int64_t> want = model_.node_triangles();
                if (values(t) != want) fail(op_, "node_triangles");
                std::uint64_t closed = 0, triples = 0;
                for (std::size_t u = 0; u < n; ++u) {
                    const double d = static_cast<double>(model_.others(u).size());
                    const double coefficient = d < 2 ? 0.0 : 2.0 * static_cast<double>(want[u]) / (d * (d - 1.0));
                    if (!close(c.data()[u], coefficient)) fail(op_, "clustering of node " + std::to_string(model_.ids[u]));
                    closed += 2 * static_cast<std::uint64_t>(want[u]);
                    triples += static_cast<std::uint64_t>(d * (d - 1.0));
                }
                const double expected = closed == 0 ? 0.0 : static_cast<double>(closed) / static_cast<double>(triples);
                if (!close(transitivity, expected)) fail(op_, "transitivity");
                break;
            }
            case Analysis::Betweenness: {
                const bool normalized = arg & 1;
                HugeArray<double> got;
                if (attempt([&] { got = graph_.betweenness(normalized, 0, 0, stop()); })) break;
                const std::vector<double> want = model_.betweenness(normalized);
                for (std::size_t u = 0; u < n; ++u)
                    if (!close(got.data()[u], want[u])) fail(op_, "betweenness of node " + std::to_string(model_.ids[u]));
                break;
            }
            case Analysis::Sampled: {
                // Sources drawn from the seed: the same bits on a second call, and more sources than
                // nodes refused before anything is done.
                const std::uint64_t samples = arg % (n + 2);
                const std::uint64_t seed = in_.word();
                HugeArray<double> first, second;
                bool refused = false;
                try {
                    if (attempt([&] { first = graph_.betweenness(arg & 128, samples, seed, stop()); })) break;
                } catch (const InvalidArgument&) {
                    refused = true;
                }
                if (refused != (samples > n)) fail(op_, "sampled betweenness with " + std::to_string(samples) + " sources");
                if (refused || samples == 0) break;
                if (attempt([&] { second = graph_.betweenness(arg & 128, samples, seed, stop()); })) break;
                if (std::memcmp(first.data(), second.data(), n * sizeof(double)) != 0)
                    fail(op_, "sampled betweenness differs between two calls");
                break;
            }
            case Analysis::Diameter: {
                std::int64_t got = 0;
                if (attempt([&] { got = graph_.diameter(stop()); })) break;
                if (got != model_.diameter()) fail(op_, "diameter " + std::to_string(got) + ", want " + std::to_string(model_.diameter()));
                break;
            }
            case Analysis::Communities: {
                // Labels 0.. by first appearance, every community connected, the same on a second
                // call; and its modularity as the model scores it.
                const double resolution = kResolutions[arg % std::size(kResolutions)];
                const std::uint64_t seed = in_.byte();
                HugeArray<std::int64_t> got, again;
                if (attempt([&] { got = graph_.communities(resolution, seed, stop()); })) break;
                if (attempt([&] { again = graph_.communities(resolution, seed, stop()); })) break;
                if (values(got) != values(again)) fail(op_, "communities differ between two calls");
                const std::vector<std::int64_t> labels = values(got);
                std::int64_t next = 0;
                for (const std::int64_t c : labels) {
                    if (c > next || c < 0) fail(op_, "community labels not numbered by first appearance");
                    if (c == next) ++next;
                }
                // Connected: a search inside each community from its first node reaches all of it.
                std::vector<bool> reached(n, false);
                for (std::int64_t c = 0; c < next; ++c) {
                    const auto first = static_cast<std::size_t>(std::find(labels.begin(), labels.end(), c) - labels.begin());
                    std::vector<std::size_t> queue{first};
                    reached[first] = true;
                    for (std::size_t head = 0; head < queue.size(); ++head)
                        for (const std::size_t v : model_.adjacent[queue[head]])
                            if (!reached[v] && labels[v] == c) {
                                reached[v] = true;
                                queue.push_back(v);
                            }
                }
                if (std::find(reached.begin(), reached.end(), false) != reached.end()) fail(op_, "a community is not connected");
                double q = 0.0;
                if (attempt([&] { q = graph_.modularity(labels, resolution, stop()); })) break;
                if (!close(q, model_.modularity(labels, resolution))) fail(op_, "modularity of the communities found");
                break;
            }
            case Analysis::Modularity: {
                // Labels from the input: small ones, or any 64-bit values (a hashed compaction).
                const double resolution = kResolutions[arg % std::size(kResolutions)];
                std::vector<std::int64_t> labels(n);
                for (std::int64_t& c : labels) c = arg & 128 ? read_id(in_, model_) : in_.byte() % (n + 1);
                const bool wrong_length = (arg & 64) != 0 && n > 0;
                if (wrong_length) labels.pop_back();
                double got = 0.0;
                bool refused = false;
                try {
                    if (attempt([&] { got = graph_.modularity(labels, resolution, stop()); })) break;
                } catch (const InvalidArgument&) {
                    refused = true;
                }
                if (refused != wrong_length) fail(op_, "modularity refused or took labels of the wrong length");
                if (!refused && !close(got, model_.modularity(labels, resolution))) fail(op_, "modularity");
                break;
            }
            case Analysis::Count: break;
        }
    }

    // pagerank(), or pagerank_scores() paired with the ids.
    void pagerank(bool scores_alone = false) {
        const double damping = in_.byte() / kDampingScale;
        const std::uint64_t iterations = in_.byte() % kMaxIterations;
        const double tol = kTolerances[in_.byte() % std::size(kTolerances)];
        std::vector<std::pair<NodeId, double>> got;
        if (attempt([&] {
                if (!scores_alone) {
                    got = graph_.pagerank(damping, iterations, tol, stop());
                    return;
                }
                const BigVector<double> scores = graph_.pagerank_scores(damping, iterations, tol, stop());
                for (std::size_t i = 0; i < scores.size(); ++i) got.emplace_back(graph_.ids()[i], scores[i]);
            }))
            return;
        const auto want = model_.pagerank(damping, iterations, tol);
        if (got.size() != want.size()) fail(op_, "pagerank lists a wrong number of nodes");
        for (std::size_t i = 0; i < got.size(); ++i) {
            // Bit for bit: the same additions in the same order.
            if (got[i].first != want[i].first || std::memcmp(&got[i].second, &want[i].second, sizeof(double)) != 0) {
                char text[128];
                std::snprintf(text, sizeof text, "pagerank of %" PRId64 ": %.17g, want %.17g", want[i].first,
                              got[i].second, want[i].second);
                fail(op_, text);
            }
        }
    }

    // neighbors(id) holds the model's set; while the set is a list, in arrival order.
    void check_neighbours(NodeId id) {
        const std::vector<NodeId> got = graph_.neighbors(id);
        const auto n = model_.find(id);
        if (!n) {
            if (!got.empty()) fail(op_, "neighbors of an absent id");
            return;
        }
        std::vector<NodeId> want;
        for (const std::size_t j : model_.arrivals[*n]) want.push_back(model_.ids[j]);
        if (want.size() <= NeighbourSet::kListCapacity) {
            if (got != want) fail(op_, "neighbors(" + std::to_string(id) + ") = " + show(got) + ", want " + show(want));
            return;
        }
        std::vector<NodeId> a = got, b = want;
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        if (a != b) fail(op_, "neighbors(" + std::to_string(id) + ") is not its set");
    }

    // Everything the store lists or knows agrees with the model and the twin.
    // The last one is thorough (see GraphInspector::check).
    void check(bool thorough) {
        if (std::string e = GraphInspector::check(graph_, thorough); !e.empty()) fail(op_, "store: " + e);
        if (std::string e = GraphInspector::check(twin_, thorough); !e.empty()) fail(op_, "twin: " + e);
        if (graph_.node_count() != model_.ids.size()) fail(op_, "node count");
        if (graph_.edge_count() != model_.edges) fail(op_, "edge count " + std::to_string(graph_.edge_count()) + ", want " + std::to_string(model_.edges));
        if (!std::equal(graph_.ids().begin(), graph_.ids().end(), model_.ids.begin(), model_.ids.end()))
            fail(op_, "node order");
        if (!std::equal(twin_.ids().begin(), twin_.ids().end(), model_.ids.begin(), model_.ids.end()))
            fail(op_, "twin's node order");
        std::vector<NodeId> want_ends;
        for (std::size_t i = 0; i < model_.ids.size(); ++i) {
            const NodeId id = model_.ids[i];
            if (!graph_.has_node(id)) fail(op_, "has_node(" + std::to_string(id) + ")");
            if (graph_.degree(id) != model_.adjacent[i].size()) fail(op_, "degree(" + std::to_string(id) + ")");
            check_neighbours(id);
            const std::vector<NodeId> mine = graph_.neighbors(id);
            if (mine != twin_.neighbors(id)) fail(op_, "neighbour order of " + std::to_string(id) + " differs from one-by-one insertion");
            for (const NodeId v : mine) {
                if (!graph_.has_edge(id, v) || !graph_.has_edge(v, id)) fail(op_, "has_edge misses a listed neighbour");
                if (id <= v) {
                    want_ends.push_back(id);
                    want_ends.push_back(v);
                }
            }
            // A node with an arbitrary other: mostly non-edges.
            const NodeId other = model_.ids[(i * 7 + 3) % model_.ids.size()];
            if (graph_.has_edge(id, other) != model_.has_edge(id, other)) fail(op_, "has_edge of a pair");
        }
        if (graph_.edge_ends(Interrupt::never()) != want_ends) fail(op_, "edge listing");
        const auto degrees = graph_.degree_sequence(Interrupt::never());
        if (degrees.size() != model_.ids.size()) fail(op_, "degree sequence length");
        for (std::size_t i = 0; i < degrees.size(); ++i)
            if (degrees[i].first != model_.ids[i] || degrees[i].second != model_.adjacent[i].size())
                fail(op_, "degree sequence");
    }

    Reader& in_;
    std::size_t op_ = 0;
    bool watch_ = false;  // calls report progress (see stop())
    Progress progress_;
    Interrupt watched_;
    std::int64_t fail_at_ = kNoFailure;  // armed for the next call into the core
    Graph graph_;
    Graph twin_;  // single nodes and edges only
    Model model_;
};

}  // namespace

}  // namespace qm::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("QUILLMESH_LOAD_CHUNK_EDGES", qm::fuzz::kChunkEdges, 0);
    setenv("QUILLMESH_PAGERANK_SEGMENT_ROWS", qm::fuzz::kSegmentRows, 0);
    setenv("RAYON_NUM_THREADS", qm::fuzz::kWorkers, 0);
    // The pool is built by the first parallel loop; built here, it is never built under an injected
    // allocation failure, which would only test that the next loop builds it again.
    qm::parallel::parallel_for(2, [](std::size_t) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qm::fuzz::Reader in(data, size);
    qm::fuzz::Run(in).go();
    return 0;
}
