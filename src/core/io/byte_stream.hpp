// Where the bytes of a graph file go to and come from: a file descriptor here; a Python file object
// or a pickle's buffers in the binding layer. The file format code sees only these two interfaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/base/huge_pages.hpp"

namespace qm::io {

class ByteSink {
   public:
    virtual ~ByteSink() = default;
    // Writes all n bytes, or throws.
    virtual void write(const void* data, std::size_t n) = 0;
    // Says that the next `length` bytes written are one section's data, for a sink that keeps
    // sections in pieces of their own.
    virtual void begin_section(std::uint64_t length) { (void)length; }
};

class ByteSource {
   public:
    virtual ~ByteSource() = default;
    // Reads up to n bytes into data; fewer only at the end of the data. Throws on a failure.
    virtual std::size_t read(void* data, std::size_t n) = 0;
    // The bytes left to read when the source knows them (a regular file), else none.
    virtual std::optional<std::uint64_t> remaining() const { return std::nullopt; }
};

// A file descriptor, written or read from its current offset. Failures throw std::system_error
// with the call's errno.
class FdSink final : public ByteSink {
   public:
    explicit FdSink(int fd) noexcept : fd_(fd) {}
    void write(const void* data, std::size_t n) override;

   private:
    int fd_;
};

class FdSource final : public ByteSource {
   public:
    explicit FdSource(int fd);  // reads the size of a regular file now
    std::size_t read(void* data, std::size_t n) override;
    std::optional<std::uint64_t> remaining() const override;

   private:
    int fd_;
    std::optional<std::uint64_t> left_;
};

// A sink that keeps what is written in memory: each section's data as a piece of its own, of
// exactly its length, and the bytes between sections (headers, checksums) as small pieces.
class PieceSink final : public ByteSink {
   public:
    struct Piece {
        HugeArray<std::uint8_t> data;
        bool section = false;
    };
    void write(const void* data, std::size_t n) override;
    void begin_section(std::uint64_t length) override;
    // The pieces in order; a small piece's size is what was written to it.
    std::vector<Piece> take();

   private:
    void small(const std::byte* data, std::size_t n);
    std::vector<Piece> pieces_;
    std::vector<std::byte> pending_;  // the small piece being written
    std::uint64_t section_left_ = 0;   // bytes still to come in the last piece
};

// A source over pieces of memory read one after another.
class PieceSource final : public ByteSource {
   public:
    explicit PieceSource(std::vector<std::span<const std::byte>> pieces) noexcept : pieces_(std::move(pieces)) {}
    std::size_t read(void* data, std::size_t n) override;
    std::optional<std::uint64_t> remaining() const override;

   private:
    std::vector<std::span<const std::byte>> pieces_;
    std::size_t piece_ = 0, offset_ = 0;
};

}  // namespace qm::io
