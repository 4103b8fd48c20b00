// Blocks mapped on their own for transparent huge pages (see huge_pages.hpp).
#include "huge_pages.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace qm::huge_pages {

namespace {

constexpr std::size_t round_up(std::size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

}  // namespace

void* allocate(std::size_t bytes) {
    if (bytes < kMappedFrom) return ::operator new(bytes);
    if (bytes > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
    const std::size_t length = round_up(bytes);
    // Map one huge page more than needed, then cut the block to a 2 MiB boundary.
    void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
    if (aligned > start) munmap(raw, aligned - start);
    const std::size_t tail = kHugePage - (aligned - start);
    if (tail > 0) munmap(reinterpret_cast<void*>(aligned + length), tail);
    auto* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
    madvise(block, length, MADV_HUGEPAGE);  // only advice: without it the block keeps small pages
#endif
    return block;
}

void release(void* p, std::size_t bytes) noexcept {
    if (p == nullptr) return;
    if (bytes < kMappedFrom) {
        ::operator delete(p);
        return;
    }
    munmap(p, round_up(bytes));
}

}  // namespace qm::huge_pages
