// Blocks mapped on their own for transparent huge pages (see huge_pages.hpp).
#include "core/base/huge_pages.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace qm::huge_pages {

namespace {

constexpr std::size_t kPage = 4096;

// The mapping of a block: whole small pages.
constexpr std::size_t mapped_length(std::size_t bytes) { return (bytes + kPage - 1) & ~(kPage - 1); }

}  // namespace

void* allocate(std::size_t bytes) {
    if (bytes < kMappedFrom) return ::operator new(bytes);
    if (bytes > SIZE_MAX - 2 * kHugePage) throw std::bad_alloc();
    const std::size_t length = mapped_length(bytes);
    // Map one huge page more than needed, then cut the block to start on a 2 MiB boundary.
    void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
    if (aligned > start) munmap(raw, aligned - start);
    const std::size_t tail = kHugePage - (aligned - start);
    if (tail > 0) munmap(reinterpret_cast<void*>(aligned + length), tail);
    auto* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
    // Only the whole huge pages: the last part, under 2 MiB, keeps small pages, so the block never
    // holds more resident memory than its bytes. Only advice: without it all pages stay small.
    madvise(block, bytes & ~(kHugePage - 1), MADV_HUGEPAGE);
#endif
    return block;
}

void release(void* p, std::size_t bytes) noexcept {
    if (p == nullptr) return;
    if (bytes < kMappedFrom) {
        ::operator delete(p);
        return;
    }
    munmap(p, mapped_length(bytes));
}

}  // namespace qm::huge_pages
