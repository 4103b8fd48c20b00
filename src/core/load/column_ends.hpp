// Endpoints of a load given as two columns of integers, the edges' first ends in one and their
// second ends in the other, read where they lie: an array of any integer width, contiguous or
// strided, or the pieces of a chunked column, each with an optional validity bitmap marking nulls.
// The load reads them a stretch at a time, interleaved (u0, v0, u1, v1, ...), exactly as it would
// read one flat array of those ends, so it gives the same graph.
//
// check() reads both columns whole before the load begins: a null, or a value that no node id can
// stand for, fails the call before anything changes, naming the column and the first bad position
// in the order the interleaved ends would meet it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/load/end_source.hpp"
#include "core/base/interrupt.hpp"
#include "core/base/types.hpp"

namespace qm {

enum class ColumnType : std::uint8_t { I8, I16, I32, I64, U8, U16, U32, U64 };

// One contiguous or strided run of values of a column.
struct ColumnPiece {
    const void* data = nullptr;  // the first value; null for a piece whose every value is null
    std::size_t length = 0;
    std::ptrdiff_t stride = 0;   // bytes from one value to the next
    ColumnType type = ColumnType::I64;
    // Bit (validity_offset + i) of this bitmap (least significant bit first) is clear where value i
    // is null; no bitmap means no nulls.
    const std::uint8_t* validity = nullptr;
    std::size_t validity_offset = 0;
};

struct Column {
    std::string name;
    std::vector<ColumnPiece> pieces;
    std::size_t size() const noexcept;
};

// A whole column as signed 64-bit values (labels, say), checked as ColumnEnds::check() checks its
// columns: InvalidArgument for a null, ValueOutOfRange for a value beyond the signed 64-bit range.
std::vector<NodeId> read_column(const Column& c, const Interrupt& stop);

class ColumnEnds final : public EndSource {
   public:
    // The columns must hold equally many values.
    ColumnEnds(Column first, Column second);

    // Reads both columns whole, in parallel: throws InvalidArgument for a null and ValueOutOfRange
    // for a value beyond the signed 64-bit range, whichever the interleaved ends meet first, and
    // takes the ends' bounds.
    void check(const Interrupt& stop);

    std::size_t size() const noexcept override { return 2 * edges_; }
    NodeId low() const noexcept override { return low_; }
    NodeId high() const noexcept override { return high_; }
    // Throws SourceChanged for a value outside the bounds check() took: the memory it read was
    // written to since (another thread's numpy array, say).
    void read(std::size_t first, std::span<NodeId> out) override;
    // Reading only memory that the caller's arguments keep, any thread may read.
    bool parallel_reads() const noexcept override { return true; }

   private:
    Column columns_[2];
    std::size_t edges_ = 0;
    NodeId low_ = 0, high_ = 0;
};

}  // namespace qm
