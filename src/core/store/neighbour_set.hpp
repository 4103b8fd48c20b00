// The neighbour set of one node: a set of dense node indices, compact for the many small degrees of
// real graphs and still constant-time for hubs.
//
// Three layouts, chosen by capacity alone:
//   - inline: up to kInlineCapacity indices stored in the object itself (no allocation at all);
//   - list:   an unsorted heap array of at most kListCapacity indices, scanned linearly, which for a
//             few cache lines beats any hashing;
//   - table:  an open-addressing hash table with linear probing (Knuth, TAOCP vol. 3, 6.4) for
//             larger degrees: power-of-two capacity, kNoIndex marks an empty slot, and an element's
//             home slot is the top bits of index_hash(), i.e. Fibonacci hashing.
// Iteration follows storage order: insertion order for inline and list sets, slot order for tables.
// Both depend only on the sequence of insertions, never on addresses or on the process.
//
// Growth is split into reserve_one() (may throw std::bad_alloc, leaves the set unchanged then) and
// insert_new() (never fails), so the store can make room in both ends of an edge before writing
// either, and an allocation failure never leaves an edge in one set but not the other.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/base/types.hpp"

namespace qm {

class NeighbourSet {
   public:
    static constexpr std::uint32_t kInlineCapacity = 2;
    static constexpr std::uint32_t kListCapacity = 32;
    // A table grows once it would be more than kMaxLoadNum / kMaxLoadDen full.
    static constexpr std::uint32_t kMaxLoadNum = 3;
    static constexpr std::uint32_t kMaxLoadDen = 4;
    // Elements a list lookup compares at once.
    static constexpr std::uint32_t kCompareBlock = 4;
    // How far ahead for_each_prefetched() looks.
    static constexpr std::uint32_t kPrefetchAhead = 4;

    NeighbourSet() noexcept = default;
    ~NeighbourSet() { release(); }
    NeighbourSet(const NeighbourSet&) = delete;
    NeighbourSet& operator=(const NeighbourSet&) = delete;
    NeighbourSet(NeighbourSet&& other) noexcept : store_(other.store_), size_(other.size_), cap_(other.cap_) {
        other.size_ = 0;
        other.cap_ = kInlineCapacity;
    }
    NeighbourSet& operator=(NeighbourSet&& other) noexcept {
        if (this != &other) {
            release();
            store_ = other.store_;
            size_ = other.size_;
            cap_ = other.cap_;
            other.size_ = 0;
            other.cap_ = kInlineCapacity;
        }
        return *this;
    }

    std::uint32_t size() const noexcept { return size_; }
    // How many elements the set has room for (slots, for a table); it changes exactly when the
    // elements move to new storage.
    std::uint32_t capacity() const noexcept { return is_borrowed() ? cap_ - kBorrowed : cap_; }
    bool is_inline() const noexcept { return capacity() == kInlineCapacity; }

    // Makes the set, which must be inline, a list in `space`: room for `room` elements
    // (kInlineCapacity < room <= kListCapacity) that the caller provides and keeps alive as long
    // as the set may use it. The set never frees such a borrowed array; when it outgrows it, it
    // moves to an array of its own and leaves the borrowed one behind.
    void adopt_list(Index* space, std::uint32_t room) noexcept {
        std::memcpy(space, store_.local, std::size_t{size_} * sizeof(Index));
        store_.heap = space;
        cap_ = kBorrowed + room;
    }

    // ---- whole sets at once, for a graph read back from a file: the same layouts (and so the same
    // iteration orders) as the insertions that made them.

    // A set of n <= kInlineCapacity elements, kept inline.
    static NeighbourSet inline_of(const Index* e, std::uint32_t n) noexcept {
        NeighbourSet s;
        if (n != 0) std::memcpy(s.store_.local, e, std::size_t{n} * sizeof(Index));  // e may be null then
        s.size_ = n;
        return s;
    }
    // A list of the n elements (kInlineCapacity < n <= kListCapacity) already at `space`, which the
    // caller keeps alive as long as the set may use it (see adopt_list()).
    static NeighbourSet borrowed_list(Index* space, std::uint32_t n) noexcept {
        NeighbourSet s;
        s.store_.heap = space;
        s.size_ = n;
        s.cap_ = kBorrowed + n;
        return s;
    }
    // A table of `cap` slots (a power of two above kListCapacity with room for n) holding the n
    // elements e, given in slot order, of which the first `before_gap` lay before the table's first
    // empty slot. Inserting them from that gap on, around the end, puts each back in its own slot:
    // no probe run crosses the gap, so everything between an element's home and its slot is already
    // in place when it arrives. False (and *out untouched) when an element appears twice; throws
    // std::bad_alloc when the table cannot be had.
    static bool table_of(const Index* e, std::uint32_t n, std::uint32_t cap, std::uint32_t before_gap,
                         NeighbourSet& out) {
        Index* slots = allocate(cap);
        std::memset(slots, 0xff, std::size_t{cap} * sizeof(Index));
        for (std::uint32_t k = 0; k < n; ++k) {
            const Index x = e[(before_gap + k) % n];
            std::uint32_t s = home_slot(x, cap);
            for (; slots[s] != kNoIndex; s = (s + 1) & (cap - 1)) {
                if (slots[s] == x) {
                    std::free(slots);
                    return false;
                }
            }
            slots[s] = x;
        }
        NeighbourSet t;
        t.store_.heap = slots;
        t.size_ = n;
        t.cap_ = cap;
        out = std::move(t);
        return true;
    }
    // A table's elements in slots before its first empty one (what table_of() takes as before_gap).
    std::uint32_t elements_before_gap() const noexcept {
        std::uint32_t s = 0;
        while (s < capacity() && store_.heap[s] != kNoIndex) ++s;
        return s;
    }
    // Whether the set is an open-addressing table (else its elements are in insertion order).
    bool is_table() const noexcept { return capacity() > kListCapacity; }
    // Whether `cap` is a table capacity that holds n elements.
    static bool table_capacity_holds(std::uint64_t cap, std::uint64_t n) noexcept {
        return cap > kListCapacity && std::has_single_bit(cap) && cap <= (std::uint64_t{1} << 31) && table_fits(n, cap);
    }

    bool contains(Index x) const noexcept {
        if (is_table()) return table_find(x) != kNotFound;
        return list_contains(elements(), size_, x);
    }

    // What a membership test of a set of at most kListCapacity elements reads, small enough to
    // keep next to the node's index entry so that the test skips this object: the elements
    // themselves while there are at most kInlineCapacity, else where the list's array starts.
    // Valid until the set next changes (the store takes it again each time).
    union Glance {
        const Index* list;
        Index local[kInlineCapacity];
    };
    Glance glance() const noexcept {
        Glance g{};
        if (size_ <= kInlineCapacity) {
            std::memcpy(g.local, elements(), std::size_t{size_} * sizeof(Index));  // never a table
        } else if (!is_table()) {
            g.list = store_.heap;
        }
        return g;
    }
    // The elements a glance of a set of `size` <= kListCapacity elements shows.
    static const Index* glanced(const Glance& g, std::uint32_t size) noexcept {
        return size <= kInlineCapacity ? g.local : g.list;
    }
    // Whether x is among the n elements at e: the membership test of a list, also run on the
    // elements a glance shows.
    static bool list_contains(const Index* e, std::uint32_t n, Index x) noexcept {
        // Four elements per vector compare; the compiler leaves a plain loop scalar.
        using Block = Index __attribute__((vector_size(kCompareBlock * sizeof(Index))));
        const Block want = x - Block{};  // x in every lane
        std::uint32_t i = 0;
        for (; i + kCompareBlock <= n; i += kCompareBlock) {
            Block have;
            std::memcpy(&have, e + i, sizeof have);
            const Block hit = have == want;  // all ones in matching lanes
            static_assert(sizeof hit == 2 * sizeof(std::uint64_t));
            std::uint64_t lanes[2];
            std::memcpy(lanes, &hit, sizeof hit);
            if ((lanes[0] | lanes[1]) != 0) return true;
        }
        bool found = false;
        for (; i < n; ++i) found |= (e[i] == x);
        return found;
    }

    // Starts loading the first elements a walk meets.
    void prefetch_elements() const noexcept {
        if (!is_inline()) __builtin_prefetch(store_.heap);
    }

    // Starts loading the memory that contains(x) will read.
    void prefetch(Index x) const noexcept {
        if (is_table()) {
            __builtin_prefetch(&store_.heap[home_slot(x, capacity())]);
        } else if (!is_inline()) {
            __builtin_prefetch(store_.heap);
        }
    }

    // Makes room for one more element. Throws std::bad_alloc and leaves the set as it was if the
    // memory cannot be had.
    void reserve_one() {
        if (is_table()) {
            if (!table_fits(size_ + 1, capacity())) rehash(capacity() * 2);
        } else if (size_ == capacity()) {
            if (capacity() < kListCapacity) {
                grow_list(std::min(capacity() * 2, kListCapacity));
            } else {
                rehash(table_capacity_for(size_ + 1));
            }
        }
    }

    // Adds x, which must be absent, into room made by reserve_one().
    void insert_new(Index x) noexcept {
        if (is_table()) {
            store_.heap[free_slot(store_.heap, capacity(), x)] = x;
        } else {
            elements()[size_] = x;
        }
        ++size_;
    }

    // Makes room for `count` elements in all while the set is still a list, so a batch of
    // insertions allocates once. Room is never made past the list layout: when the batch outgrows
    // it, the set turns into a table exactly as one-at-a-time insertion would, so the resulting
    // iteration order does not depend on how the elements arrived.
    void reserve_list(std::uint32_t count) {
        if (is_table()) return;
        std::uint32_t want = std::min(count, kListCapacity);
        if (want > capacity()) grow_list(want);
    }

    // Makes room for `more` insertions that leave the layout as it is, and says whether it could:
    // a list grows its array (which may throw std::bad_alloc, leaving the set as it was) to hold
    // `wanted` more where the list layout allows (at least `more`), and a table has room when it
    // would not need to grow. False when the insertions might change the layout (a list turning
    // into a table, a table growing); such a set is changed through a copy instead (see clone()).
    bool make_room_in_place(std::uint64_t more, std::uint64_t wanted) {
        if (is_table()) return table_fits(std::uint64_t{size_} + more, capacity());
        if (std::uint64_t{size_} + more > kListCapacity) return false;
        reserve_list(static_cast<std::uint32_t>(std::min<std::uint64_t>(size_ + std::max(more, wanted), kListCapacity)));
        return true;
    }

    // Whether make_room_in_place(more) has made room (or a table has it anyway).
    bool has_room_in_place(std::uint64_t more) const noexcept {
        return is_table() ? table_fits(std::uint64_t{size_} + more, capacity()) : std::uint64_t{size_} + more <= capacity();
    }

    // Adds x unless present, into room made by make_room_in_place(); says whether it was added.
    bool insert_in_place(Index x) noexcept {
        if (contains(x)) return false;
        insert_new(x);
        return true;
    }

    // An exact copy, storage layout included (and with it the iteration order).
    NeighbourSet clone() const {
        NeighbourSet copy;
        if (is_inline()) {
            copy.store_ = store_;
        } else {
            std::uint32_t used = is_table() ? capacity() : size_;
            copy.store_.heap = allocate(capacity());
            std::memcpy(copy.store_.heap, store_.heap, std::size_t{used} * sizeof(Index));
            copy.cap_ = capacity();
        }
        copy.size_ = size_;
        return copy;
    }

    template <class F>
    void for_each(F&& f) const {
        if (is_table()) {
            for (std::uint32_t s = 0, slots = capacity(); s < slots; ++s)
                if (store_.heap[s] != kNoIndex) f(store_.heap[s]);
        } else {
            const Index* e = elements();
            for (std::uint32_t i = 0; i < size_; ++i) f(e[i]);
        }
    }

    // for_each that also prefetches data[x] a few elements ahead of visiting x, for walks that
    // look every element up in a large array indexed by node.
    template <class T, class F>
    void for_each_prefetched(const T* data, F&& f) const {
        if (is_table()) return for_each(f);
        const Index* e = elements();
        for (std::uint32_t i = 0; i < size_; ++i) {
            if (i + kPrefetchAhead < size_) __builtin_prefetch(&data[e[i + kPrefetchAhead]]);
            f(e[i]);
        }
    }

    // for_each that stops as soon as f returns false.
    template <class F>
    void for_each_until(F&& f) const {
        if (is_table()) {
            for (std::uint32_t s = 0, slots = capacity(); s < slots; ++s)
                if (store_.heap[s] != kNoIndex && !f(store_.heap[s])) return;
        } else {
            const Index* e = elements();
            for (std::uint32_t i = 0; i < size_; ++i)
                if (!f(e[i])) return;
        }
    }

   private:
    static constexpr std::uint32_t kNotFound = UINT32_MAX;
    // Added to cap_ while a list lives in a borrowed array (see adopt_list()). A list's capacity
    // is at most kListCapacity, so the sum stays clear of every table capacity (powers of two).
    static constexpr std::uint32_t kBorrowed = std::uint32_t{1} << 31;

    bool is_borrowed() const noexcept { return cap_ > kBorrowed; }
    Index* elements() noexcept { return is_inline() ? store_.local : store_.heap; }
    const Index* elements() const noexcept { return is_inline() ? store_.local : store_.heap; }

    static bool table_fits(std::uint64_t count, std::uint64_t cap) noexcept {
        return count * kMaxLoadDen <= cap * kMaxLoadNum;
    }
    static std::uint32_t table_capacity_for(std::uint64_t count) noexcept {
        std::uint64_t cap = std::uint64_t{kListCapacity} * 2;
        while (!table_fits(count, cap)) cap *= 2;
        return static_cast<std::uint32_t>(cap);
    }
    static std::uint32_t home_slot(Index x, std::uint32_t cap) noexcept {
        // cap is a power of two above kListCapacity, so the shift is in 1..58.
        return static_cast<std::uint32_t>(index_hash(x) >> (64 - std::countr_zero(cap)));
    }
    static std::uint32_t free_slot(const Index* slots, std::uint32_t cap, Index x) noexcept {
        std::uint32_t s = home_slot(x, cap);
        while (slots[s] != kNoIndex) s = (s + 1) & (cap - 1);
        return s;
    }
    std::uint32_t table_find(Index x) const noexcept {
        const std::uint32_t mask = capacity() - 1;
        std::uint32_t s = home_slot(x, mask + 1);
        for (;;) {
            Index v = store_.heap[s];
            if (v == x) return s;
            if (v == kNoIndex) return kNotFound;
            s = (s + 1) & mask;
        }
    }

    static Index* allocate(std::uint32_t count) {
        void* p = std::malloc(std::size_t{count} * sizeof(Index));
        if (p == nullptr) throw std::bad_alloc();
        return static_cast<Index*>(p);
    }

    void grow_list(std::uint32_t new_cap) {
        Index* fresh = allocate(new_cap);
        std::memcpy(fresh, elements(), std::size_t{size_} * sizeof(Index));
        release();
        store_.heap = fresh;
        cap_ = new_cap;
    }

    // Moves every element, in iteration order, into a new table of new_cap slots.
    void rehash(std::uint32_t new_cap) {
        Index* fresh = allocate(new_cap);
        std::memset(fresh, 0xff, std::size_t{new_cap} * sizeof(Index));
        for_each([&](Index x) { fresh[free_slot(fresh, new_cap, x)] = x; });
        release();
        store_.heap = fresh;
        cap_ = new_cap;
    }

    void release() noexcept {
        if (!is_inline() && !is_borrowed()) std::free(store_.heap);
    }

    union Storage {
        Index* heap;
        Index local[kInlineCapacity];
    } store_{};
    std::uint32_t size_ = 0;
    std::uint32_t cap_ = kInlineCapacity;
};

static_assert(sizeof(NeighbourSet) == 16, "neighbour sets must stay compact");

}  // namespace qm
