// The graph file: a graph written out exactly as the store keeps it, and read back into a new
// graph that lists (and goes on listing, after the same further changes) exactly what the saved one
// would. docs/internals/graph-format.md describes the layout.
//
// A file is untrusted input: reading checks every count against the file's size and every index
// against the graph's invariants before it is used, grows memory only as data arrives, and throws
// FormatError (no graph made) for anything that is not a sound file.
#pragma once

#include <cstdint>
#include <stdexcept>

#include "core/io/byte_stream.hpp"
#include "core/store/graph.hpp"

namespace qm::io {

inline constexpr std::uint32_t kFormatVersion = 1;

// A file that is damaged, forged or not a graph file; the message says what is wrong.
class FormatError : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
};

// Writes g to sink: header, sections and end marker. Reads only (any number of threads may write
// one graph at once); checks `stop` between pieces and reports progress in bytes.
void write_graph(const Graph& g, ByteSink& sink, const Interrupt& stop);

// Reads one graph from source, stopping after its end marker; the graph is built whole or not at
// all. Throws FormatError for a bad file, std::bad_alloc, Interrupted, or what the source throws.
Graph read_graph(ByteSource& source, const Interrupt& stop);

}  // namespace qm::io
