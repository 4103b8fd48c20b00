// Writing and reading graph files (docs/internals/graph-format.md).
//
// Writing streams the store's own arrays out: the ids as they lie, each node's degree, the table
// sets' shapes, and every set's elements in iteration order. Reading streams them back into a new
// store: ids into the dense array and the node index, sets built in place (inline, lists carved
// from one slab per piece of the file, tables rebuilt slot for slot), so a load is a few passes of
// sequential work with no hashing of pairs and no per-set allocation below the hubs.
//
// Reading trusts nothing. Counts are checked against the file's size where it is known and against
// the store's limits; memory grows only in step with data that has arrived, so a file that claims a
// huge graph and then ends costs no more than its length. Every index is range-checked, no set may
// hold an element twice, and the adjacency must be symmetric (see PairFingerprint). Checksums stop
// accidents; these checks stop a forged file from making a graph that breaks the store's invariants.
#include "core/io/graph_file.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/io/checksum.hpp"

static_assert(std::endian::native == std::endian::little, "graph files are little-endian, like the machines we build for");

namespace qm {

// The store's private state, for the two directions of the file.
struct StoreAccess {
    static const BigVector<NodeId>& ids(const Graph& g) noexcept { return g.ids_; }
    static const BigVector<NeighbourSet>& sets(const Graph& g) noexcept { return g.nbrs_; }
    static BigVector<NodeId>& ids(Graph& g) noexcept { return g.ids_; }
    static BigVector<NeighbourSet>& sets(Graph& g) noexcept { return g.nbrs_; }
    static NodeIndex& index(Graph& g) noexcept { return g.index_; }
    static std::vector<HugeArray<Index>>& slabs(Graph& g) noexcept { return g.list_slabs_; }
    static void set_edge_count(Graph& g, std::uint64_t edges) noexcept { g.edge_count_ = edges; }
    static void check_node_limit(std::uint64_t count) { Graph::check_node_limit(count); }
    static void record_every_node(Graph& g) noexcept { g.record_every_node(); }
};

namespace io {

namespace {

constexpr std::array<unsigned char, 8> kMagic{0x89, 'Q', 'M', 'G', '\r', '\n', 0x1a, '\n'};
constexpr std::uint32_t kByteOrderMark = 0x01020304;
constexpr std::size_t kHeaderSize = 64;
constexpr std::size_t kHeaderChecked = 56;  // the bytes the header checksum covers
constexpr std::size_t kSectionHeaderSize = 16;
constexpr std::size_t kChecksumSize = 8;
// Bytes moved between the file and the store at a time: small next to any graph worth saving, large
// enough that a call per piece costs nothing.
constexpr std::size_t kPieceBytes = std::size_t{4} << 20;
constexpr std::size_t kPieceEntries = kPieceBytes / sizeof(Index);
// Nodes a worker takes at a time when building or checking sets.
constexpr std::size_t kNodeGrain = 1024;

enum Tag : std::uint32_t { kEnd = 0, kIds = 1, kDegrees = 2, kTables = 3, kAdjacency = 4 };

const char* section_name(std::uint32_t tag) {
    switch (tag) {
        case kEnd: return "end";
        case kIds: return "ids";
        case kDegrees: return "degrees";
        case kTables: return "tables";
        case kAdjacency: return "adjacency";
        default: return "unknown";
    }
}

std::string section_label(std::uint32_t tag) {
    return "section " + std::to_string(tag) + " (" + section_name(tag) + ")";
}

// What the tables section holds for each node whose set is a table.
struct TableEntry {
    Index node;
    std::uint32_t capacity;
    std::uint32_t before_gap;
};
static_assert(sizeof(TableEntry) == 12);

struct Counts {
    std::uint64_t nodes = 0, edges = 0, entries = 0, tables = 0;
};

template <class T>
void put(std::byte* at, T value) noexcept {
    std::memcpy(at, &value, sizeof value);
}
template <class T>
T get(const std::byte* at) noexcept {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

std::array<std::byte, kHeaderSize> header_bytes(const Counts& c) {
    std::array<std::byte, kHeaderSize> h{};
    std::memcpy(h.data(), kMagic.data(), kMagic.size());
    put<std::uint32_t>(&h[8], kFormatVersion);
    put<std::uint32_t>(&h[12], kByteOrderMark);
    put<std::uint64_t>(&h[16], c.nodes);
    put<std::uint64_t>(&h[24], c.edges);
    put<std::uint64_t>(&h[32], c.entries);
    put<std::uint64_t>(&h[40], c.tables);
    put<std::uint64_t>(&h[48], 0);  // flags
    put<std::uint64_t>(&h[kHeaderChecked], checksum(h.data(), kHeaderChecked));
    return h;
}

// Everything a file of these counts holds after its header, in 128 bits: counts read from a file
// are bounded, the bytes they stand for are not.
unsigned __int128 bytes_after_header(const Counts& c) {
    unsigned __int128 bytes = 5 * (kSectionHeaderSize + kChecksumSize);  // four sections and the end
    bytes += static_cast<unsigned __int128>(c.nodes) * (sizeof(NodeId) + sizeof(std::uint32_t));
    bytes += static_cast<unsigned __int128>(c.tables) * sizeof(TableEntry);
    bytes += static_cast<unsigned __int128>(c.entries) * sizeof(Index);
    return bytes;
}

// Section lengths in bytes, from the counts (which the reader has bounded, so these cannot wrap).
std::uint64_t section_length(std::uint32_t tag, const Counts& c) {
    switch (tag) {
        case kIds: return c.nodes * sizeof(NodeId);
        case kDegrees: return c.nodes * sizeof(std::uint32_t);
        case kTables: return c.tables * sizeof(TableEntry);
        case kAdjacency: return c.entries * sizeof(Index);
        default: return 0;
    }
}

// ---- writing

class Writer {
   public:
    Writer(ByteSink& sink, const Interrupt& stop) : sink_(sink), stop_(stop) {}

    void raw(const void* data, std::size_t n) { sink_.write(data, n); }

    void begin(std::uint32_t tag, std::uint64_t length) {
        std::array<std::byte, kSectionHeaderSize> h{};
        put<std::uint32_t>(&h[0], tag);
        put<std::uint64_t>(&h[8], length);
        sink_.write(h.data(), h.size());
        sink_.begin_section(length);
        sum_.reset();
    }
    // A piece of the current section's data.
    void data(const void* p, std::size_t n) {
        stop_.check();
        sink_.write(p, n);
        sum_.update(p, n);
        stop_.advance(n);
    }
    template <class T>
    void data(const std::vector<T>& buffer) {
        data(buffer.data(), buffer.size() * sizeof(T));
    }
    void end() {
        const std::uint64_t sum = sum_.value();
        sink_.write(&sum, sizeof sum);
    }

   private:
    ByteSink& sink_;
    const Interrupt& stop_;
    Checksum sum_;
};

// Appends items to a buffer of a piece's size and hands each full piece to `flush`.
template <class T, class Flush>
class PieceBuffer {
   public:
    explicit PieceBuffer(Flush flush) : flush_(flush) { items_.reserve(kPieceBytes / sizeof(T)); }
    void push(const T& item) {
        items_.push_back(item);
        if (items_.size() == items_.capacity()) drain();
    }
    void drain() {
        if (!items_.empty()) flush_(items_);
        items_.clear();
    }

   private:
    Flush flush_;
    std::vector<T> items_;
};

}  // namespace

void write_graph(const Graph& g, ByteSink& sink, const Interrupt& stop) {
    const BigVector<NodeId>& ids = StoreAccess::ids(g);
    const BigVector<NeighbourSet>& sets = StoreAccess::sets(g);
    Counts c;
    c.nodes = ids.size();
    c.edges = g.edge_count();
    c.entries = parallel_sum_checked(stop, sets.size(), [&](std::size_t i) { return sets[i].size(); });
    c.tables = parallel_sum_checked(stop, sets.size(), [&](std::size_t i) { return sets[i].is_table() ? 1 : 0; });

    stop.expect(kHeaderSize + static_cast<std::uint64_t>(bytes_after_header(c)));

    Writer w(sink, stop);
    const auto header = header_bytes(c);
    w.raw(header.data(), header.size());

    // The ids straight from the store.
    w.begin(kIds, section_length(kIds, c));
    for (std::size_t at = 0; at < ids.size(); at += kPieceBytes / sizeof(NodeId)) {
        const std::size_t k = std::min(ids.size() - at, kPieceBytes / sizeof(NodeId));
        w.data(ids.data() + at, k * sizeof(NodeId));
    }
    w.end();

    auto flush = [&](const auto& items) { w.data(items); };
    w.begin(kDegrees, section_length(kDegrees, c));
    {
        PieceBuffer<std::uint32_t, decltype(flush)> out(flush);
        for (const NeighbourSet& s : sets) out.push(s.size());
        out.drain();
    }
    w.end();

    w.begin(kTables, section_length(kTables, c));
    {
        PieceBuffer<TableEntry, decltype(flush)> out(flush);
        for (std::size_t i = 0; i < sets.size(); ++i) {
            if (sets[i].is_table())
                out.push(TableEntry{static_cast<Index>(i), sets[i].capacity(), sets[i].elements_before_gap()});
        }
        out.drain();
    }
    w.end();

    w.begin(kAdjacency, section_length(kAdjacency, c));
    {
        PieceBuffer<Index, decltype(flush)> out(flush);
        for (const NeighbourSet& s : sets) s.for_each([&](Index x) { out.push(x); });
        out.drain();
    }
    w.end();

    w.begin(kEnd, 0);
    w.end();
}

namespace {

// ---- reading

std::string hex(std::uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
    return text;
}

// The first failure found by parallel workers, by the lowest node it concerns, so that the message
// is the same whatever the number of workers.
class FirstFailure {
   public:
    void note(std::uint64_t node, std::string message) {
        std::lock_guard lock(mutex_);
        if (!node_ || node < *node_) {
            node_ = node;
            message_ = std::move(message);
        }
    }
    void raise() const {
        std::lock_guard lock(mutex_);
        if (node_) throw FormatError(message_);
    }

   private:
    mutable std::mutex mutex_;
    std::optional<std::uint64_t> node_;
    std::string message_;
};

// Symmetry, checked in the same pass that builds the sets. Each edge {a, b} (a < b) appears as a
// forward entry in a's set and a backward entry in b's; the adjacency is symmetric exactly when the
// multiset of pairs (a, b) that the forward entries name equals that of the backward ones. Looking
// every entry's mirror up costs a cache miss per edge (measured at 0.2 to 0.6 s for 10 million
// edges, more than the rest of a load), so the two multisets are compared by fingerprint instead:
// the product of (r - a - s b) over their pairs, modulo the prime p = 2^61 - 1, at a point (r, s)
// drawn afresh from the system's random source for every load. Two different multisets give two
// different polynomials in (r, s) of degree at most m (the number of pairs), which agree at a random
// point with probability at most m / p (Schwartz and Zippel): below 2^-31 even for a billion edges,
// whoever made the file, since nothing about the point leaves the process. The counts of forward and
// backward entries are compared exactly as well.
class PairFingerprint {
   public:
    static constexpr std::uint64_t kPrime = (std::uint64_t{1} << 61) - 1;

    PairFingerprint() : r_(draw()), s_(draw()) {}

    // a * b mod p, for a, b < 2^61 (or b below 2^32).
    static std::uint64_t mul(std::uint64_t a, std::uint64_t b) noexcept {
        __extension__ using Wide = unsigned __int128;
        const Wide z = static_cast<Wide>(a) * b;
        const std::uint64_t folded = (static_cast<std::uint64_t>(z) & kPrime) + static_cast<std::uint64_t>(z >> 61);
        return folded >= kPrime ? folded - kPrime : folded;
    }
    static std::uint64_t sub(std::uint64_t a, std::uint64_t b) noexcept { return a >= b ? a - b : a + kPrime - b; }

    // Products kept apart each way, so that consecutive factors do not wait for one another: a
    // multiplication modulo p takes several times as long to finish as to start.
    static constexpr std::uint32_t kLanes = 4;
    // What one worker gathers: the entries counted each way, and the products of their factors.
    struct Tally {
        std::uint64_t forward = 0, backward = 0, self = 0;
        std::uint64_t ahead[kLanes] = {1, 1, 1, 1}, behind[kLanes] = {1, 1, 1, 1};
    };

    // Takes in the d entries e of node v's set; returns the greatest (0 for none).
    Index tally(Index v, const Index* e, std::uint32_t d, Tally& t) const noexcept {
        // A forward entry x is the pair (v, x), a backward one (x, v): their factors are
        // (r - v) - s x and (r - s v) - x. Which way an entry points is as good as random, so each
        // block of entries is first split by direction without a branch, then each side multiplied.
        const std::uint64_t forward_base = sub(r_, v), backward_base = sub(r_, mul(s_, v));
        Index ahead[kBlock + kLanes], behind[kBlock + kLanes];
        Index top = 0;
        for (std::uint32_t first = 0; first < d; first += kBlock) {
            const std::uint32_t last = std::min(d, first + kBlock);
            std::uint32_t na = 0, nb = 0;
            for (std::uint32_t j = first; j < last; ++j) {
                const Index x = e[j];
                top = std::max(top, x);
                ahead[na] = x;
                na += x > v;
                behind[nb] = x;
                nb += x < v;
            }
            t.forward += na;
            t.backward += nb;
            t.self += (last - first) - na - nb;
            // Padded with factors of 1 to whole rounds of the lanes (the blocks have room for them).
            for (; na % kLanes != 0; ++na) ahead[na] = kOne;
            for (; nb % kLanes != 0; ++nb) behind[nb] = kOne;
            for (std::uint32_t k = 0; k < na; k += kLanes)
                for (std::uint32_t l = 0; l < kLanes; ++l)
                    t.ahead[l] = mul(t.ahead[l], ahead[k + l] == kOne ? 1 : sub(forward_base, mul(s_, ahead[k + l])));
            for (std::uint32_t k = 0; k < nb; k += kLanes)
                for (std::uint32_t l = 0; l < kLanes; ++l)
                    t.behind[l] = mul(t.behind[l], behind[k + l] == kOne ? 1 : sub(backward_base, behind[k + l]));
        }
        return top;
    }

    // Multiplies a worker's products into the totals.
    void add(const Tally& t) noexcept {
        std::lock_guard lock(mutex_);
        for (std::uint32_t l = 0; l < kLanes; ++l) {
            forward_ = mul(forward_, t.ahead[l]);
            backward_ = mul(backward_, t.behind[l]);
        }
    }
    bool balanced() const noexcept { return forward_ == backward_; }

   private:
    static constexpr std::uint32_t kBlock = 64;
    // Marks a padding entry: kNoIndex is never a neighbour (the range check refuses it).
    static constexpr Index kOne = kNoIndex;

    static std::uint64_t draw() {
        std::uint64_t value = 0;
        try {
            std::random_device device;
            value = (std::uint64_t{device()} << 32) ^ device();
        } catch (...) {
            // No system random source: the clock's and the stack's bits, mixed, are the next best.
            static std::atomic<std::uint64_t> drawn{0};
            int here = 0;
            value = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                    (reinterpret_cast<std::uintptr_t>(&here) << 20) ^ (drawn.fetch_add(1) * 0x9e3779b97f4a7c15ULL);
            value = mul(value % kPrime, value % kPrime | 1);
        }
        return value % kPrime;
    }
    std::uint64_t r_, s_;
    std::mutex mutex_;
    std::uint64_t forward_ = 1, backward_ = 1;
};

class Reader {
   public:
    Reader(ByteSource& source, const Interrupt& stop) : source_(source), stop_(stop) {}

    Graph read() {
        read_header();
        read_ids();
        read_degrees();
        read_tables();
        read_adjacency();
        read_section_header(kEnd);
        finish_section(kEnd);
        StoreAccess::record_every_node(g_);  // each node's degree and glance at its set, in the index
        StoreAccess::set_edge_count(g_, c_.edges);
        return std::move(g_);
    }

   private:
    // Exactly n bytes, or FormatError naming where the data ended.
    void read_exact(void* p, std::size_t n, const std::string& where) {
        if (source_.read(p, n) != n) throw FormatError("file ends early in " + where);
    }
    // A piece of the current section's data, checksummed.
    void section_data(void* p, std::size_t n, std::uint32_t tag) {
        stop_.check();
        read_exact(p, n, section_label(tag));
        sum_.update(p, n);
        stop_.advance(n);
    }

    void read_header() {
        std::array<std::byte, kHeaderSize> h{};
        const std::size_t got = source_.read(h.data(), h.size());
        const std::size_t compared = std::min(got, kMagic.size());
        if (got == 0 || std::memcmp(h.data(), kMagic.data(), compared) != 0)
            throw FormatError("not a quillmesh graph file (bad magic)");
        if (got < h.size()) throw FormatError("file ends early in the header");
        const auto version = get<std::uint32_t>(&h[8]);
        if (version != kFormatVersion) {
            throw FormatError("unsupported format version " + std::to_string(version) + ": this quillmesh reads version " +
                              std::to_string(kFormatVersion) +
                              (version > kFormatVersion ? " (the file was written by a newer quillmesh)" : ""));
        }
        const auto mark = get<std::uint32_t>(&h[12]);
        if (mark != kByteOrderMark)
            throw FormatError("byte-order mark " + hex(mark) + " is not the little-endian " + hex(kByteOrderMark));
        if (get<std::uint64_t>(&h[kHeaderChecked]) != checksum(h.data(), kHeaderChecked))
            throw FormatError("header checksum mismatch");
        if (const auto flags = get<std::uint64_t>(&h[48]); flags != 0)
            throw FormatError("unknown flags " + hex(flags) + " (version 1 defines none)");
        c_.nodes = get<std::uint64_t>(&h[16]);
        c_.edges = get<std::uint64_t>(&h[24]);
        c_.entries = get<std::uint64_t>(&h[32]);
        c_.tables = get<std::uint64_t>(&h[40]);

        if (c_.nodes > kMaxNodes)
            throw FormatError("node count " + std::to_string(c_.nodes) + " is larger than a graph can hold (" +
                              std::to_string(kMaxNodes) + " nodes)");
        if (c_.tables > c_.nodes)
            throw FormatError("table count " + std::to_string(c_.tables) + " is larger than the node count " +
                              std::to_string(c_.nodes));
        // A set holds each node at most once.
        if (c_.entries > c_.nodes * c_.nodes)
            throw FormatError("entry count " + std::to_string(c_.entries) + " is larger than " +
                              std::to_string(c_.nodes) + " nodes can have");
        const unsigned __int128 needed = bytes_after_header(c_);
        stop_.expect(static_cast<std::uint64_t>(needed));
        if (const auto left = source_.remaining()) {
            if (needed > *left)
                throw FormatError("the header's counts (" + std::to_string(c_.nodes) + " nodes, " +
                                  std::to_string(c_.entries) + " entries) need more bytes than the file holds: larger than its " +
                                  std::to_string(*left) + " bytes after the header");
        }
    }

    void read_section_header(std::uint32_t tag) {
        std::array<std::byte, kSectionHeaderSize> h{};
        read_exact(h.data(), h.size(), section_label(tag));
        const auto found = get<std::uint32_t>(&h[0]);
        if (found != tag) throw FormatError("expected " + section_label(tag) + ", found tag " + std::to_string(found));
        if (get<std::uint32_t>(&h[4]) != 0) throw FormatError("reserved field of " + section_label(tag) + " is not zero");
        const auto length = get<std::uint64_t>(&h[8]);
        const std::uint64_t expected = section_length(tag, c_);
        if (length != expected)
            throw FormatError(section_label(tag) + " is " + std::to_string(length) + " bytes, the header's counts give " +
                              std::to_string(expected));
        sum_.reset();
    }

    void finish_section(std::uint32_t tag) {
        std::uint64_t stored = 0;
        read_exact(&stored, sizeof stored, section_label(tag));
        if (stored != sum_.value()) throw FormatError(section_label(tag) + " checksum mismatch");
    }

    // Ids into the store's dense array, growing it as they arrive; then the node index.
    void read_ids() {
        read_section_header(kIds);
        BigVector<NodeId>& ids = StoreAccess::ids(g_);
        const std::size_t n = c_.nodes;
        // A file known to hold every id gets its array at once; a stream's grows as ids arrive.
        if (source_.remaining()) ids.reserve(n);
        constexpr std::size_t kPiece = kPieceBytes / sizeof(NodeId);
        for (std::size_t at = 0; at < n; at += kPiece) {
            const std::size_t k = std::min(n - at, kPiece);
            ids.resize(at + k);
            section_data(ids.data() + at, k * sizeof(NodeId), kIds);
        }
        finish_section(kIds);

        StoreAccess::check_node_limit(n);
        NodeIndex& index = StoreAccess::index(g_);
        const IdBounds bounds = id_bounds(ids);
        if (n != 0) index.reserve(n, bounds.low, bounds.high, nullptr, stop_);
        constexpr std::size_t kAhead = 8;
        for (std::size_t i = 0; i < n; ++i) {
            stop_.check_every(i, kCheckEvery);
            if (i + kAhead < n) index.prefetch(ids[i + kAhead]);
            if (index.find(ids[i]) != kNoIndex) throw FormatError("duplicate node id " + std::to_string(ids[i]));
            index.insert_new(ids[i], static_cast<Index>(i));
        }
        StoreAccess::sets(g_).resize(n);
    }

    void read_degrees() {
        read_section_header(kDegrees);
        const std::size_t n = c_.nodes;
        degrees_ = HugeArray<std::uint32_t>(n);  // no larger than the ids already read
        constexpr std::size_t kPiece = kPieceBytes / sizeof(std::uint32_t);
        for (std::size_t at = 0; at < n; at += kPiece)
            section_data(degrees_.data() + at, std::min(n - at, kPiece) * sizeof(std::uint32_t), kDegrees);
        finish_section(kDegrees);

        std::uint64_t sum = 0, tables = 0;
        const BigVector<NodeId>& ids = StoreAccess::ids(g_);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t d = degrees_.data()[i];
            if (d > n)
                throw FormatError("degree " + std::to_string(d) + " of node " + std::to_string(ids[i]) +
                                  " exceeds the node count " + std::to_string(n));
            sum += d;
            tables += d > NeighbourSet::kListCapacity;
        }
        if (sum != c_.entries)
            throw FormatError("degrees sum to " + std::to_string(sum) + ", the header says " + std::to_string(c_.entries) +
                              " entries");
        if (tables != c_.tables)
            throw FormatError("tables section lists " + std::to_string(c_.tables) + " tables, but " + std::to_string(tables) +
                              " nodes have a degree above " + std::to_string(NeighbourSet::kListCapacity));
    }

    void read_tables() {
        read_section_header(kTables);
        const std::size_t t = c_.tables;
        tables_.resize(t);  // at most one per node already read
        constexpr std::size_t kPiece = kPieceBytes / sizeof(TableEntry);
        for (std::size_t at = 0; at < t; at += kPiece)
            section_data(tables_.data() + at, std::min(t - at, kPiece) * sizeof(TableEntry), kTables);
        finish_section(kTables);

        for (std::size_t k = 0; k < t; ++k) {
            const TableEntry& e = tables_[k];
            auto bad = [&](const std::string& why) {
                throw FormatError("tables section: entry " + std::to_string(k) + " " + why);
            };
            if (e.node >= c_.nodes) bad("names node position " + std::to_string(e.node) + ", out of range");
            if (k > 0 && e.node <= tables_[k - 1].node) bad("is not in ascending node order");
            const std::uint32_t d = degrees_.data()[e.node];
            if (d <= NeighbourSet::kListCapacity) bad("is for a node of degree " + std::to_string(d));
            // The store's tables are the least power of two that holds them, or double that while
            // they grow: four times the degree is more than any of them needs.
            if (!NeighbourSet::table_capacity_holds(e.capacity, d) || e.capacity > std::uint64_t{4} * d)
                bad("has capacity " + std::to_string(e.capacity) + ", not a table for degree " + std::to_string(d));
            if (e.before_gap > d && e.before_gap != NeighbourSet::kKeyedMark)
                bad("has " + std::to_string(e.before_gap) + " elements before its gap, above its degree");
        }
    }

    void read_adjacency() {
        read_section_header(kAdjacency);
        const std::size_t n = c_.nodes;
        for (std::size_t i = 0; i < n; ++i) list_left_ += list_room(degrees_.data()[i]);
        // Read into memory that nothing needs initialised: every entry is overwritten by the file.
        std::vector<Index, UninitAllocator<Index>> piece;
        std::size_t next_table = 0;
        for (std::size_t first = 0; first < n;) {
            // Whole nodes, about a piece's worth of entries (a hub may make it one node and more).
            std::size_t last = first;
            std::uint64_t entries = 0;
            while (last < n && (last == first || entries + degrees_.data()[last] <= kPieceEntries))
                entries += degrees_.data()[last++];
            // Grown as data arrives: a degree the file does not back costs nothing.
            piece.clear();
            for (std::uint64_t at = 0; at < entries; at += kPieceEntries) {
                const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(entries - at, kPieceEntries));
                piece.resize(at + k);
                section_data(piece.data() + at, k * sizeof(Index), kAdjacency);
            }
            entries_read_ += entries;
            next_table = build_sets(first, last, piece.data(), next_table);
            first = last;
        }
        finish_section(kAdjacency);
        if (forward_ != backward_ || !fingerprint_.balanced())
            throw FormatError("asymmetric adjacency: the entries pointing to a later node (" + std::to_string(forward_) +
                              ") are not the mirror images of those pointing to an earlier one (" +
                              std::to_string(backward_) + ")");
        const std::uint64_t edges = forward_ + self_loops_;
        if (edges != c_.edges)
            throw FormatError("edge count " + std::to_string(c_.edges) + " in the header does not match the adjacency (" +
                              std::to_string(edges) + " edges)");
    }

    // The elements a set of degree d keeps in a list's array.
    static std::uint32_t list_room(std::uint32_t d) noexcept {
        return d > NeighbourSet::kInlineCapacity && d <= NeighbourSet::kListCapacity ? d : 0;
    }

    // Room for k list elements, carved from slabs that the graph keeps. A slab is sized for the
    // lists still to come, but at most about as large as the adjacency read so far, so memory grows
    // in step with the data; slabs are large enough to sit on huge pages, which the lists' random
    // reads want.
    Index* carve(std::uint64_t k) {
        if (block_left_ < k) {
            const std::uint64_t size =
                std::max(k, std::min(list_left_, std::max<std::uint64_t>(kPieceEntries, entries_read_)));
            std::vector<HugeArray<Index>>& slabs = StoreAccess::slabs(g_);
            slabs.reserve(slabs.size() + 1);
            slabs.emplace_back(size);  // the sets borrow from it from now on
            block_ = slabs.back().data();
            block_left_ = size;
        }
        Index* p = block_;
        block_ += k;
        block_left_ -= k;
        list_left_ -= k;
        return p;
    }

    // Builds the sets of nodes [first, last) from their elements, in parallel; returns the position
    // in the tables section after theirs.
    std::size_t build_sets(std::size_t first, std::size_t last, const Index* elements, std::size_t next_table) {
        const std::size_t count = last - first;
        const std::uint32_t* deg = degrees_.data();
        // Where each node's elements start, which table is whose, and each list's room in the slab.
        std::vector<std::uint64_t> start(count + 1, 0), list_start(count + 1, 0);
        std::vector<std::uint32_t> table_of(count, 0);
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint32_t d = deg[first + k];
            start[k + 1] = start[k] + d;
            list_start[k + 1] = list_start[k] + list_room(d);
            if (d > NeighbourSet::kListCapacity) table_of[k] = static_cast<std::uint32_t>(next_table++);
        }
        Index* const slab = carve(list_start[count]);

        BigVector<NeighbourSet>& sets = StoreAccess::sets(g_);
        const BigVector<NodeId>& ids = StoreAccess::ids(g_);
        const auto n = static_cast<Index>(c_.nodes);
        FirstFailure failure;
        std::atomic<std::uint64_t> forward{0}, backward{0}, self_loops{0};
        for_range_checked(stop_, count, kNodeGrain, kNodeGrain, [&](std::size_t begin, std::size_t end) {
            PairFingerprint::Tally tally;
            for (std::size_t k = begin; k < end; ++k) {
                const auto v = static_cast<Index>(first + k);
                const Index* e = elements + start[k];
                const std::uint32_t d = deg[v];
                const Index top = fingerprint_.tally(v, e, d, tally);
                if (d != 0 && top >= n) {
                    const Index bad = *std::find_if(e, e + d, [&](Index x) { return x >= n; });
                    failure.note(v, "neighbour index " + std::to_string(bad) + " of node " + std::to_string(ids[v]) +
                                        " is out of range (" + std::to_string(n) + " nodes)");
                    continue;
                }
                if (const std::optional<Index> twice = repeated(e, d)) {
                    failure.note(v, "node " + std::to_string(ids[v]) + " lists neighbour " + std::to_string(ids[*twice]) + " twice");
                    continue;
                }
                if (d <= NeighbourSet::kInlineCapacity) {
                    sets[v] = NeighbourSet::inline_of(e, d);
                } else if (d <= NeighbourSet::kListCapacity) {
                    Index* space = slab + list_start[k];
                    std::memcpy(space, e, std::size_t{d} * sizeof(Index));
                    sets[v] = NeighbourSet::borrowed_list(space, d);
                } else {
                    const TableEntry& t = tables_[table_of[k]];
                    const bool distinct = t.before_gap == NeighbourSet::kKeyedMark
                                              ? NeighbourSet::keyed_of(e, d, t.capacity, sets[v])
                                              : NeighbourSet::table_of(e, d, t.capacity, t.before_gap, sets[v]);
                    if (!distinct)
                        failure.note(v, "node " + std::to_string(ids[v]) + " lists a neighbour twice");
                }
            }
            forward.fetch_add(tally.forward, std::memory_order_relaxed);
            backward.fetch_add(tally.backward, std::memory_order_relaxed);
            self_loops.fetch_add(tally.self, std::memory_order_relaxed);
            fingerprint_.add(tally);
        });
        failure.raise();
        forward_ += forward.load();
        backward_ += backward.load();
        self_loops_ += self_loops.load();
        return next_table;
    }

    // An element of a list that appears twice in it (sets of tables are checked as they are built).
    static std::optional<Index> repeated(const Index* e, std::uint32_t d) {
        if (d > NeighbourSet::kListCapacity || d < 2) return std::nullopt;
        // A 256-bit filter of what has been seen: only a hit in it costs a scan of the earlier
        // elements, so a list is checked in about d steps.
        std::uint64_t seen[4] = {0, 0, 0, 0};
        for (std::uint32_t j = 0; j < d; ++j) {
            const auto bit = static_cast<unsigned>(index_hash(e[j]) >> 56);
            const std::uint64_t mask = std::uint64_t{1} << (bit & 63);
            if (seen[bit >> 6] & mask) {
                if (std::find(e, e + j, e[j]) != e + j) return e[j];
            }
            seen[bit >> 6] |= mask;
        }
        return std::nullopt;
    }

    ByteSource& source_;
    const Interrupt& stop_;
    Checksum sum_;
    Counts c_;
    Graph g_;
    HugeArray<std::uint32_t> degrees_;
    std::vector<TableEntry> tables_;
    std::uint64_t forward_ = 0, backward_ = 0, self_loops_ = 0;
    PairFingerprint fingerprint_;
    // The slab that lists are being carved from, and what lists still need.
    Index* block_ = nullptr;
    std::uint64_t block_left_ = 0, list_left_ = 0, entries_read_ = 0;
};

}  // namespace

Graph read_graph(ByteSource& source, const Interrupt& stop) {
    Reader reader(source, stop);
    return reader.read();
}

}  // namespace io
}  // namespace qm
