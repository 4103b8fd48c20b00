// The graph file reader under fuzzing: an input is a file to load, which it must either refuse with
// FormatError (or std::bad_alloc, for counts too large for this machine) or turn into a graph that
// keeps every invariant of the store (store_checks.hpp). A graph it accepts must then save to bytes
// that load back to the same listings and save to the same bytes again.
//
// Random bytes rarely get past the checksums, so the first byte of an input says how to feed the
// rest: bit 0 repairs every checksum the file's own lengths locate before loading (so mutations
// reach the checks behind them, as a forger's would), and bit 1 feeds the file in pieces whose
// sizes come from the second byte (so the reader's piece boundaries fall everywhere).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "core/io/checksum.hpp"
#include "core/io/graph_file.hpp"
#include "parallel/pool.hpp"
#include "store_checks.hpp"

namespace {

using qm::io::FormatError;

constexpr std::uint8_t kRepairChecksums = 1;
constexpr std::uint8_t kInPieces = 2;
constexpr std::size_t kHeaderSize = 64, kHeaderChecked = 56, kSectionHeaderSize = 16, kChecksumSize = 8;
constexpr std::uint32_t kEndTag = 0;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "load harness: %s\n", what.c_str());
    std::abort();
}

// Rewrites the header's checksum and each section's, walking the sections by their stated lengths
// for as far as the bytes go.
void repair_checksums(std::vector<std::uint8_t>& file) {
    if (file.size() < kHeaderSize) return;
    const std::uint64_t header_sum = qm::io::checksum(file.data(), kHeaderChecked);
    std::memcpy(&file[kHeaderChecked], &header_sum, sizeof header_sum);
    std::size_t at = kHeaderSize;
    while (at + kSectionHeaderSize <= file.size()) {
        std::uint32_t tag;
        std::uint64_t length;
        std::memcpy(&tag, &file[at], sizeof tag);
        std::memcpy(&length, &file[at + 8], sizeof length);
        const std::size_t data = at + kSectionHeaderSize;
        if (length > file.size() - data || file.size() - data - length < kChecksumSize) return;
        const std::uint64_t sum = qm::io::checksum(file.data() + data, length);
        std::memcpy(&file[data + length], &sum, sizeof sum);
        if (tag == kEndTag) return;
        at = data + length + kChecksumSize;
    }
}

std::vector<std::uint8_t> saved(const qm::Graph& g) {
    qm::io::PieceSink sink;
    qm::io::write_graph(g, sink, qm::Interrupt::never());
    std::vector<std::uint8_t> bytes;
    for (const auto& piece : sink.take()) bytes.insert(bytes.end(), piece.data.data(), piece.data.data() + piece.data.size());
    return bytes;
}

qm::Graph loaded(std::span<const std::uint8_t> file, std::size_t piece_size) {
    std::vector<std::span<const std::byte>> pieces;
    const auto* bytes = reinterpret_cast<const std::byte*>(file.data());
    for (std::size_t at = 0; at < file.size(); at += piece_size)
        pieces.emplace_back(bytes + at, std::min(piece_size, file.size() - at));
    qm::io::PieceSource source(std::move(pieces));
    return qm::io::read_graph(source, qm::Interrupt::never());
}

// Every node in order with its neighbours in order: what the listings show.
std::vector<qm::NodeId> listing(const qm::Graph& g) {
    std::vector<qm::NodeId> out;
    for (const qm::NodeId id : g.ids()) {
        out.push_back(id);
        const std::vector<qm::NodeId> nbrs = g.neighbors(id);
        out.push_back(static_cast<qm::NodeId>(nbrs.size()));
        out.insert(out.end(), nbrs.begin(), nbrs.end());
    }
    out.push_back(static_cast<qm::NodeId>(g.edge_count()));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("RAYON_NUM_THREADS", "2", 0);
    qm::parallel::parallel_for(2, [](std::size_t) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t mode = data[0];
    const std::size_t piece_size = (mode & kInPieces) ? std::size_t{data[1]} + 1 : size;
    std::vector<std::uint8_t> file(data + 2, data + size);
    if (mode & kRepairChecksums) repair_checksums(file);

    qm::Graph g;
    try {
        g = loaded(file, piece_size);
    } catch (const FormatError&) {
        return 0;
    } catch (const std::bad_alloc&) {
        return 0;
    }
    if (const std::string broken = qm::GraphInspector::check(g, true); !broken.empty())
        fail("a loaded graph breaks the store: " + broken);

    const std::vector<std::uint8_t> again = saved(g);
    qm::Graph copy;
    try {
        copy = loaded(again, again.size());
    } catch (const std::exception& e) {
        fail(std::string("a saved graph does not load: ") + e.what());
    }
    if (listing(copy) != listing(g)) fail("a saved graph loads with other listings");
    if (saved(copy) != again) fail("a loaded graph saves to other bytes");
    return 0;
}
