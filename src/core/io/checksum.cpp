// XXH3 built inline into this one file (third_party/xxhash).
#include "core/io/checksum.hpp"

#include <new>

#define XXH_INLINE_ALL
#include "xxhash.h"

namespace qm::io {

namespace {

XXH3_state_t* state_of(void* p) noexcept { return static_cast<XXH3_state_t*>(p); }

}  // namespace

std::uint64_t checksum(const void* data, std::size_t n) noexcept { return XXH3_64bits(data, n); }

Checksum::Checksum() : state_(XXH3_createState()) {
    if (state_ == nullptr) throw std::bad_alloc();
    reset();
}

Checksum::~Checksum() { XXH3_freeState(state_of(state_)); }

void Checksum::reset() noexcept { XXH3_64bits_reset(state_of(state_)); }

void Checksum::update(const void* data, std::size_t n) noexcept {
    if (n != 0) XXH3_64bits_update(state_of(state_), data, n);
}

std::uint64_t Checksum::value() const noexcept { return XXH3_64bits_digest(state_of(state_)); }

}  // namespace qm::io
