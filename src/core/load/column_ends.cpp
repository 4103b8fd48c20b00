// Two columns of integers as the endpoints of a load (see column_ends.hpp).
#include "core/load/column_ends.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <utility>

#include "core/base/fault.hpp"
#include "parallel/pool.hpp"

namespace qm {

namespace {

// Values one piece of the parallel check covers.
constexpr std::size_t kCheckGrain = std::size_t{1} << 16;
constexpr std::size_t kNoPosition = std::numeric_limits<std::size_t>::max();

// body(T{}) with T the C++ type of t.
template <class F>
decltype(auto) with_type(ColumnType t, F&& body) {
    switch (t) {
        case ColumnType::I8: return body(std::int8_t{});
        case ColumnType::I16: return body(std::int16_t{});
        case ColumnType::I32: return body(std::int32_t{});
        case ColumnType::I64: return body(std::int64_t{});
        case ColumnType::U8: return body(std::uint8_t{});
        case ColumnType::U16: return body(std::uint16_t{});
        case ColumnType::U32: return body(std::uint32_t{});
        case ColumnType::U64: break;
    }
    return body(std::uint64_t{});
}

// Value i of a piece whose values are T. Read byte-wise: a strided buffer's values need not be
// aligned.
template <class T>
T value_at(const ColumnPiece& p, std::size_t i) noexcept {
    T v;
    std::memcpy(&v, static_cast<const char*>(p.data) + static_cast<std::ptrdiff_t>(i) * p.stride, sizeof v);
    return v;
}

bool is_null(const ColumnPiece& p, std::size_t i) noexcept {
    if (p.data == nullptr) return true;
    if (p.validity == nullptr) return false;
    const std::size_t bit = p.validity_offset + i;
    return ((p.validity[bit >> 3] >> (bit & 7)) & 1) == 0;
}

template <class T>
bool fits_node_id(T v) noexcept {
    if constexpr (std::is_same_v<T, std::uint64_t>) {
        return v <= static_cast<std::uint64_t>(std::numeric_limits<NodeId>::max());
    } else {
        return true;
    }
}

// body(piece, from, to, position) for the stretches [from, to) of the pieces that cover the
// column's positions [first, last); position is the column position of value `from`.
template <class F>
void for_stretches(const Column& c, std::size_t first, std::size_t last, F&& body) {
    std::size_t start = 0;
    for (const ColumnPiece& p : c.pieces) {
        const std::size_t end = start + p.length;
        if (end > first && start < last) {
            const std::size_t from = std::max(first, start) - start, to = std::min(last, end) - start;
            body(p, from, to, start + from);
        }
        if (end >= last) return;
        start = end;
    }
}

// What check() finds in one column.
struct Scan {
    enum class Problem { None, Null, TooLarge } problem = Problem::None;
    std::size_t position = kNoPosition;
    std::uint64_t value = 0;
    NodeId low = std::numeric_limits<NodeId>::max(), high = std::numeric_limits<NodeId>::min();

    void merge(const Scan& o) noexcept {
        if (o.position < position) {
            problem = o.problem;
            position = o.position;
            value = o.value;
        }
        low = std::min(low, o.low);
        high = std::max(high, o.high);
    }
};

Scan scan(const Column& c, const Interrupt& stop) {
    Scan all;
    std::mutex merge;
    for_range_checked(stop, c.size(), kCheckGrain, kCheckGrain, [&](std::size_t first, std::size_t last) {
        Scan part;
        for_stretches(c, first, last, [&](const ColumnPiece& p, std::size_t from, std::size_t to, std::size_t at) {
            with_type(p.type, [&]<class T>(T) {
                for (std::size_t i = from; i < to && part.position == kNoPosition; ++i) {
                    if (is_null(p, i)) {
                        part.problem = Scan::Problem::Null;
                        part.position = at + (i - from);
                        break;
                    }
                    const T v = value_at<T>(p, i);
                    if (!fits_node_id(v)) {
                        part.problem = Scan::Problem::TooLarge;
                        part.value = static_cast<std::uint64_t>(v);
                    } else {
                        part.low = std::min(part.low, static_cast<NodeId>(v));
                        part.high = std::max(part.high, static_cast<NodeId>(v));
                        continue;
                    }
                    part.position = at + (i - from);
                }
            });
        });
        const std::lock_guard<std::mutex> hold(merge);
        all.merge(part);
    });
    return all;
}

// Throws for the problem a scan found, if any; `noun` names what a value stands for.
void refuse(const Column& c, const Scan& bad, const std::string& noun) {
    const std::string where = c.name + "[" + std::to_string(bad.position) + "]";
    if (bad.problem == Scan::Problem::Null) throw InvalidArgument(where + " is null: a " + noun + " cannot be null");
    if (bad.problem == Scan::Problem::TooLarge)
        throw ValueOutOfRange(where + " = " + std::to_string(bad.value) + " does not fit a signed 64-bit " + noun);
}

}  // namespace

std::vector<NodeId> read_column(const Column& c, const Interrupt& stop) {
    refuse(c, scan(c, stop), "label");
    std::vector<NodeId> values(c.size());
    for_stretches(c, 0, values.size(), [&](const ColumnPiece& p, std::size_t from, std::size_t to, std::size_t at) {
        with_type(p.type, [&]<class T>(T) {
            for (std::size_t i = from; i < to; ++i) values[at + (i - from)] = static_cast<NodeId>(value_at<T>(p, i));
        });
    });
    return values;
}

std::size_t Column::size() const noexcept {
    std::size_t n = 0;
    for (const ColumnPiece& p : pieces) n += p.length;
    return n;
}

ColumnEnds::ColumnEnds(Column first, Column second)
    : columns_{std::move(first), std::move(second)}, edges_(columns_[0].size()) {}

void ColumnEnds::check(const Interrupt& stop) {
    const Scan scans[2] = {scan(columns_[0], stop), scan(columns_[1], stop)};
    // The interleaved ends meet the first column's value k at 2k and the second's at 2k + 1.
    const int c = scans[1].position < scans[0].position ? 1 : 0;
    refuse(columns_[c], scans[c], "node id");
    if (edges_ == 0) return;
    low_ = std::min(scans[0].low, scans[1].low);
    high_ = std::max(scans[0].high, scans[1].high);
}

void ColumnEnds::read(std::size_t first, std::span<NodeId> out) {
    const std::size_t edge = first / 2, count = out.size() / 2;
    for (int c = 0; c < 2; ++c) {
        NodeId* next = out.data() + c;
        bool in_bounds = true;
        for_stretches(columns_[c], edge, edge + count, [&](const ColumnPiece& p, std::size_t from, std::size_t to, std::size_t) {
            with_type(p.type, [&]<class T>(T) {
                for (std::size_t i = from; i < to; ++i, next += 2) {
                    const T v = value_at<T>(p, i);
                    *next = static_cast<NodeId>(v);
                    in_bounds &= fits_node_id(v) & (*next >= low_) & (*next <= high_);
                }
            });
        });
        if (!in_bounds) throw SourceChanged();
    }
}

}  // namespace qm
