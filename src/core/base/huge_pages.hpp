// Memory for the big arrays that are read at random: per-node arrays of the store, the node index,
// the CSR snapshot, PageRank's scores, the bitmaps of the analyses.
//
// A block of kMappedFrom bytes or more is mapped on its own, aligned to 2 MiB and marked for
// transparent huge pages before it is first touched. One TLB entry then covers 2 MiB instead of
// 4 KiB, so a read at a random place in an array of hundreds of megabytes no longer walks the page
// tables first; PageRank's pull, which reads a random sender's share for every entry, gains most.
// Only the block's whole huge pages are advised, so it never holds more resident memory than on
// small pages. Smaller blocks come from the heap as usual. Where the kernel gives no huge pages,
// the mapping simply keeps small ones.
#pragma once

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

namespace qm {

namespace huge_pages {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;
inline constexpr std::size_t kMappedFrom = std::size_t{4} << 20;

// bytes of memory (uninitialised), or std::bad_alloc. Released with release(p, the same bytes).
void* allocate(std::size_t bytes);
void release(void* p, std::size_t bytes) noexcept;

}  // namespace huge_pages

template <class T>
struct HugePageAllocator {
    using value_type = T;

    HugePageAllocator() noexcept = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(huge_pages::allocate(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { huge_pages::release(p, n * sizeof(T)); }

    template <class U>
    bool operator==(const HugePageAllocator<U>&) const noexcept {
        return true;
    }
};

// An array of n uninitialised T, for T that need no construction, on huge pages once large.
template <class T>
class HugeArray {
   public:
    HugeArray() noexcept = default;
    explicit HugeArray(std::size_t n) : data_(n == 0 ? nullptr : HugePageAllocator<T>().allocate(n)), size_(n) {}
    ~HugeArray() {
        if (data_ != nullptr) HugePageAllocator<T>().deallocate(data_, size_);
    }
    HugeArray(HugeArray&& o) noexcept : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
    HugeArray& operator=(HugeArray o) noexcept {
        std::swap(data_, o.data_);
        std::swap(size_, o.size_);
        return *this;
    }
    T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

   private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

// A vector whose buffer, once large, sits on huge pages.
template <class T>
using BigVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace qm
