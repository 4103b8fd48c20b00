// The checksums of graph files: XXH3-64 (seed 0), over a whole buffer or streamed in pieces.
//
// XXH3 runs at several times the speed memory can deliver data, so checking a file costs next to
// nothing beside reading it; it is also defined byte for byte, so a file's checksums are the same
// on every machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qm::io {

// XXH3-64 of n bytes at data.
std::uint64_t checksum(const void* data, std::size_t n) noexcept;

// The same, fed piece by piece.
class Checksum {
   public:
    Checksum();  // std::bad_alloc when the state cannot be had
    ~Checksum();
    Checksum(const Checksum&) = delete;
    Checksum& operator=(const Checksum&) = delete;

    void reset() noexcept;
    void update(const void* data, std::size_t n) noexcept;
    std::uint64_t value() const noexcept;

   private:
    void* state_;  // the hash's streaming state, opaque here
};

}  // namespace qm::io
