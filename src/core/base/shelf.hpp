// A few spare objects kept for reuse under a lock: the scratch memory of the analyses (a triangle
// count's bitmaps, a path search's emptied seen-table), shared by the threads that need it.
//
// Kept here rather than in thread-local storage: a loaded module's thread-local storage is
// allocated on a thread's first touch, and when that allocation fails the C library ends the
// process instead of reporting it. take() and give() never allocate.
#pragma once

#include <array>
#include <cstddef>
#include <mutex>
#include <utility>

namespace qm {

template <class T, std::size_t N>
class Shelf {
   public:
    // A kept object, or a default-constructed (empty) one when none is kept.
    T take() noexcept {
        std::lock_guard lock(mutex_);
        return count_ == 0 ? T{} : std::move(items_[--count_]);
    }
    // Keeps item for a later take(); a full shelf lets it go.
    void give(T&& item) noexcept {
        std::lock_guard lock(mutex_);
        if (count_ < N) items_[count_++] = std::move(item);
    }

   private:
    std::mutex mutex_;
    std::array<T, N> items_{};
    std::size_t count_ = 0;
};

}  // namespace qm
