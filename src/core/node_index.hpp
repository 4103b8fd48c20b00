// Hash index from node id to dense index.
//
// Open addressing with linear probing (Knuth, TAOCP vol. 3, 6.4) over a power-of-two array of
// (id, index) slots, with multiplicative hashing (see node_hash()). An index of kNoIndex marks an
// empty slot, so every id (0, negatives, both extremes) is an ordinary key. Keeping the id in the
// slot means a hit costs one cache miss, not a second one into the dense id array. The slot of an
// id is its node hash masked to the table size; the hash has no seed, so the table's layout depends
// only on the insertions made. Nothing is ever removed (the graph only grows).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <new>

#include "interrupt.hpp"
#include "types.hpp"

namespace qm {

class NodeIndex {
   public:
    // The table grows once it would be more than kMaxLoadNum / kMaxLoadDen full.
    static constexpr std::uint64_t kMaxLoadNum = 3;
    static constexpr std::uint64_t kMaxLoadDen = 4;
    static constexpr std::uint64_t kMinCapacity = 16;

    NodeIndex() noexcept = default;
    ~NodeIndex() { std::free(slots_); }
    NodeIndex(const NodeIndex&) = delete;
    NodeIndex& operator=(const NodeIndex&) = delete;
    NodeIndex(NodeIndex&& o) noexcept : slots_(o.slots_), cap_(o.cap_) {
        o.slots_ = nullptr;
        o.cap_ = 0;
    }
    NodeIndex& operator=(NodeIndex&& o) noexcept {
        if (this != &o) {
            std::free(slots_);
            slots_ = o.slots_;
            cap_ = o.cap_;
            o.slots_ = nullptr;
            o.cap_ = 0;
        }
        return *this;
    }

    Index find(NodeId id) const noexcept {
        if (cap_ == 0) return kNoIndex;
        std::uint64_t mask = cap_ - 1;
        for (std::uint64_t s = node_hash(id) & mask;; s = (s + 1) & mask) {
            const Slot& slot = slots_[s];
            if (slot.index == kNoIndex) return kNoIndex;
            if (slot.id == id) return slot.index;
        }
    }

    // Starts loading the slot where a lookup of id begins, so that a batch of independent lookups
    // overlaps its cache misses instead of paying them one after another.
    void prefetch(NodeId id) const noexcept {
        if (cap_ != 0) __builtin_prefetch(&slots_[node_hash(id) & (cap_ - 1)]);
    }

    // Makes room for `count` entries in all. Throws std::bad_alloc (or Interrupted, when `stop` says
    // so while a large table is rebuilt) and leaves the index as it was.
    void reserve(std::uint64_t count, const Interrupt& stop = Interrupt::never()) {
        if (fits(count, cap_)) return;
        std::uint64_t cap = cap_ == 0 ? kMinCapacity : cap_;
        while (!fits(count, cap)) {
            if (cap > (UINT64_MAX / sizeof(Slot)) / 2) throw std::bad_alloc();
            cap *= 2;
        }
        rehash(cap, stop);
    }

    // Adds id -> index for an id that is absent, into room made by reserve().
    void insert_new(NodeId id, Index index) noexcept {
        std::uint64_t mask = cap_ - 1;
        std::uint64_t s = node_hash(id) & mask;
        while (slots_[s].index != kNoIndex) s = (s + 1) & mask;
        slots_[s] = Slot{id, index};
    }

   private:
    struct Slot {
        NodeId id;
        Index index;
    };

    static bool fits(std::uint64_t count, std::uint64_t cap) noexcept {
        return count * kMaxLoadDen <= cap * kMaxLoadNum;
    }

    void rehash(std::uint64_t new_cap, const Interrupt& stop) {
        Slot* fresh = static_cast<Slot*>(std::malloc(new_cap * sizeof(Slot)));
        if (fresh == nullptr) throw std::bad_alloc();
        // Rebuilding a table of tens of millions of slots takes a while: check now and then.
        auto checked = [&](std::uint64_t s) {
            if (s % kCheckEvery != 0) return;
            try {
                stop.check();
            } catch (...) {
                std::free(fresh);
                throw;
            }
        };
        for (std::uint64_t s = 0; s < new_cap; ++s) {
            checked(s);
            fresh[s].index = kNoIndex;
        }
        std::uint64_t mask = new_cap - 1;
        for (std::uint64_t s = 0; s < cap_; ++s) {
            checked(s);
            if (slots_[s].index == kNoIndex) continue;
            std::uint64_t t = node_hash(slots_[s].id) & mask;
            while (fresh[t].index != kNoIndex) t = (t + 1) & mask;
            fresh[t] = slots_[s];
        }
        std::free(slots_);
        slots_ = fresh;
        cap_ = new_cap;
    }

    Slot* slots_ = nullptr;
    std::uint64_t cap_ = 0;
};

}  // namespace qm
