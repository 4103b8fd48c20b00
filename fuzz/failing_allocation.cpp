// The global allocation functions of the fuzzer's binaries, able to fail once on demand (see
// failing_allocation.hpp). Kept in a file of their own so that no caller sees their bodies: the
// compiler would otherwise pair the built-in meaning of new with the free() below and warn.
#include "failing_allocation.hpp"

#include <atomic>
#include <cstdlib>
#include <new>

namespace qm::fuzz {

namespace {

// Allocations still to succeed before the one that fails; negative when none is armed.
std::atomic<std::int64_t> allocations_left{kNoFailure};

bool allocation_fails() noexcept {
    if (allocations_left.load(std::memory_order_relaxed) < 0) return false;
    return allocations_left.fetch_sub(1, std::memory_order_relaxed) == 0;
}

}  // namespace

FailingAllocation::FailingAllocation(std::int64_t at) : armed_(at != kNoFailure) {
    allocations_left.store(at, std::memory_order_relaxed);
}

FailingAllocation::~FailingAllocation() { allocations_left.store(kNoFailure, std::memory_order_relaxed); }

}  // namespace qm::fuzz

void* operator new(std::size_t size) {
    if (qm::fuzz::allocation_fails()) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
// The non-throwing forms too: left to the sanitizer's runtime, they would pair its allocations
// with the free() above.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
