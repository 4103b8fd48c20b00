// The neighbour set of one node: a set of dense node indices, compact for the many small degrees of
// real graphs and still constant-time for hubs.
//
// Layouts, chosen by capacity and by how the set has been fed:
//   - inline: up to kInlineCapacity indices stored in the object itself (no allocation at all);
//   - list:   an unsorted heap array of at most kListCapacity indices, scanned linearly, which for a
//             few cache lines beats any hashing;
//   - table:  an open-addressing hash table with linear probing (Knuth, TAOCP vol. 3, 6.4) for
//             larger degrees: power-of-two capacity, kNoIndex marks an empty slot, and an element's
//             home slot is the top bits of index_hash(), i.e. Fibonacci hashing;
//   - keyed:  a table whose elements are kept in an array of their own, in the order they had, and
//             found through slots placed by a secret key drawn for this table (see slot_key.hpp).
// Iteration follows storage order: insertion order for inline and list sets, slot order for tables,
// the element array for keyed tables. All of them depend only on the sequence of insertions, never
// on addresses, keys or the process.
//
// Why keyed tables: index_hash() is public and the caller decides which node gets which index, so
// whoever feeds a hub can pick neighbours whose home slots share one probe run at every capacity,
// and every insertion and lookup then walks that run. A table therefore keeps count of what its
// runs cost (the sum of their squared lengths, which is twice the expected cost of a lookup times
// the capacity, and its longest run) and turns keyed the moment either is beyond what random
// elements ever come near. When that happens depends only on the insertions, so the order stays
// reproducible; the keyed layout costs about twice the memory of a table, which random neighbours
// never pay.
//
// Growth is split into reserve_one() (may throw std::bad_alloc, leaves the set unchanged then) and
// insert_new() (never fails), so the store can make room in both ends of an edge before writing
// either, and an allocation failure never leaves an edge in one set but not the other. (A table
// that cannot get the memory to turn keyed stays a correct table and tries again at its next
// insertion.)
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/base/types.hpp"
#include "core/store/slot_key.hpp"

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
    // A table turns keyed when the sum of its runs' squared lengths passes kRunCostPerSlot times its
    // capacity plus kRunCostSlack, or one run grows longer than kLongRunPerBit times the bits of its
    // capacity. Random elements at the greatest load come to about 14 times the capacity (45 at
    // worst in thousands of small tables) and to runs of about 13.5 per bit.
    static constexpr std::uint64_t kRunCostPerSlot = 64;
    static constexpr std::uint64_t kRunCostSlack = 4096;
    static constexpr std::uint32_t kLongRunPerBit = 40;

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
    // elements move to new storage, except when a table turns keyed (same slots, new storage).
    std::uint32_t capacity() const noexcept {
        if (cap_ <= kBorrowed) return cap_;
        if (cap_ <= kBorrowed + kListCapacity) return cap_ - kBorrowed;
        return std::uint32_t{1} << (cap_ - kKeyedBase);
    }
    bool is_inline() const noexcept { return cap_ == kInlineCapacity; }

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
    // std::bad_alloc when the table cannot be had. A table whose runs no insertions could have
    // left (a forged file's) turns keyed, as such insertions would have made it.
    static bool table_of(const Index* e, std::uint32_t n, std::uint32_t cap, std::uint32_t before_gap,
                         NeighbourSet& out) {
        Index* slots = allocate(std::size_t{cap} + kTableTail);
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
        t.note_runs();
        out = std::move(t);
        return true;
    }
    // A keyed table of `cap` slots (as for table_of()) whose elements, in order, are the n at e.
    // False (and *out untouched) when an element appears twice; throws std::bad_alloc when the
    // table cannot be had.
    static bool keyed_of(const Index* e, std::uint32_t n, std::uint32_t cap, NeighbourSet& out) {
        NeighbourSet t;
        t.store_.heap = allocate(keyed_block(cap));
        t.cap_ = keyed_code(cap);
        if (!t.fill_keyed(e, n)) return false;
        out = std::move(t);
        return true;
    }
    // What a table's file entry says in place of elements_before_gap() for a keyed table.
    static constexpr std::uint32_t kKeyedMark = UINT32_MAX;
    // A table's elements in slots before its first empty one (what table_of() takes as before_gap),
    // or kKeyedMark for a keyed table.
    std::uint32_t elements_before_gap() const noexcept {
        if (is_keyed()) return kKeyedMark;
        std::uint32_t s = 0;
        while (s < capacity() && store_.heap[s] != kNoIndex) ++s;
        return s;
    }
    // Whether the set is a hash table, keyed or not (else its elements are in insertion order).
    bool is_table() const noexcept { return is_plain_table() || is_keyed(); }
    // Whether the set is a keyed table.
    bool is_keyed() const noexcept { return cap_ > kKeyedBase; }
    // Whether `cap` is a table capacity that holds n elements.
    static bool table_capacity_holds(std::uint64_t cap, std::uint64_t n) noexcept {
        return cap > kListCapacity && std::has_single_bit(cap) && cap <= (std::uint64_t{1} << 31) && table_fits(n, cap);
    }

    [[gnu::always_inline]] bool contains(Index x) const noexcept {
        if (cap_ <= kListCapacity) return list_contains(elements(), size_, x);
        if (cap_ <= kBorrowed) return table_find(store_.heap, cap_, home_slot(x, cap_), x);
        if (cap_ <= kBorrowed + kListCapacity) return list_contains(store_.heap, size_, x);  // a borrowed list
        return keyed_contains(x);
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
        if (!is_inline()) __builtin_prefetch(elements());
    }

    // Starts loading the memory that contains(x) will read.
    void prefetch(Index x) const noexcept {
        if (is_plain_table()) {
            __builtin_prefetch(&store_.heap[home_slot(x, cap_)]);
        } else if (is_keyed()) {
            __builtin_prefetch(&store_.heap[keyed_slot(x)]);
        } else if (!is_inline()) {
            __builtin_prefetch(store_.heap);
        }
    }

    // Makes room for one more element. Throws std::bad_alloc and leaves the set as it was if the
    // memory cannot be had.
    void reserve_one() {
        if (is_table()) {
            if (!table_fits(size_ + 1, capacity())) grow_table(capacity() * 2);
        } else if (size_ == capacity()) {
            if (capacity() < kListCapacity) {
                grow_list(std::min(capacity() * 2, kListCapacity));
            } else {
                grow_table(table_capacity_for(size_ + 1));
            }
        }
    }

    // Adds x, which must be absent, into room made by reserve_one().
    [[gnu::always_inline]] void insert_new(Index x) noexcept {
        if (is_plain_table()) {
            place(x);
        } else if (is_keyed()) {
            store_.heap[free_slot(store_.heap, keyed_slot(x), capacity() - 1)] = x;
            keyed_elements()[size_++] = x;
        } else {
            elements()[size_++] = x;
        }
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
            copy.cap_ = cap_;
        } else {
            copy.store_.heap = allocate(storage_words());
            std::memcpy(copy.store_.heap, store_.heap, used_words() * sizeof(Index));
            copy.cap_ = is_borrowed() ? capacity() : cap_;  // a copy owns its list
        }
        copy.size_ = size_;
        return copy;
    }

    template <class F>
    void for_each(F&& f) const {
        if (is_plain_table()) {
            for (std::uint32_t s = 0, slots = cap_; s < slots; ++s)
                if (store_.heap[s] != kNoIndex) f(store_.heap[s]);
        } else {
            const Index* e = elements();
            for (std::uint32_t i = 0; i < size_; ++i) f(e[i]);
        }
    }

    // The elements of a set kept in one array in iteration order (inline or a list, owned or
    // borrowed), size() of them, for walks that copy short sets out whole; null for a table.
    const Index* list_elements() const noexcept {
        if (cap_ > kListCapacity && !is_borrowed()) return nullptr;
        return is_inline() ? store_.local : store_.heap;
    }

    // for_each that also prefetches data[x] a few elements ahead of visiting x, for walks that
    // look every element up in a large array indexed by node.
    template <class T, class F>
    void for_each_prefetched(const T* data, F&& f) const {
        if (is_plain_table()) return for_each(f);
        const Index* e = elements();
        for (std::uint32_t i = 0; i < size_; ++i) {
            if (i + kPrefetchAhead < size_) __builtin_prefetch(&data[e[i + kPrefetchAhead]]);
            f(e[i]);
        }
    }

    // for_each that stops as soon as f returns false.
    template <class F>
    void for_each_until(F&& f) const {
        if (is_plain_table()) {
            for (std::uint32_t s = 0, slots = cap_; s < slots; ++s)
                if (store_.heap[s] != kNoIndex && !f(store_.heap[s])) return;
        } else {
            const Index* e = elements();
            for (std::uint32_t i = 0; i < size_; ++i)
                if (!f(e[i])) return;
        }
    }

   private:
    // Layouts by cap_: kInlineCapacity inline; up to kListCapacity an owned list; up to kBorrowed a
    // table of cap_ slots; kBorrowed plus the room of a borrowed list (see adopt_list()); kKeyedBase
    // plus the bits of a keyed table's capacity. A list's capacity is at most kListCapacity and a
    // table's a power of two from 64 to 2^31, so the ranges never meet.
    static constexpr std::uint32_t kBorrowed = std::uint32_t{1} << 31;
    static constexpr std::uint32_t kKeyedBase = kBorrowed + 2 * kListCapacity;
    // A table's storage: its slots, then the 64-bit cost of its runs.
    static constexpr std::size_t kTableTail = sizeof(std::uint64_t) / sizeof(Index);
    // A keyed table's storage: its slots, its key, then room for as many elements as it may hold.
    static constexpr std::size_t kKeyWords = sizeof(SlotKey) / sizeof(Index);
    static_assert(sizeof(SlotKey) % sizeof(Index) == 0 && alignof(SlotKey) <= 16);

    bool is_plain_table() const noexcept { return cap_ > kListCapacity && cap_ <= kBorrowed; }

    // contains() for a keyed table, kept out of line: it is rare.
    [[gnu::noinline]] bool keyed_contains(Index x) const noexcept {
        return table_find(store_.heap, capacity(), keyed_slot(x), x);
    }
    bool is_borrowed() const noexcept { return cap_ > kBorrowed && cap_ <= kBorrowed + kListCapacity; }

    // The elements in iteration order, for every layout but a plain table.
    Index* elements() noexcept {
        if (is_inline()) return store_.local;
        return is_keyed() ? keyed_elements() : store_.heap;
    }
    const Index* elements() const noexcept { return const_cast<NeighbourSet*>(this)->elements(); }
    Index* keyed_elements() const noexcept { return store_.heap + capacity() + kKeyWords; }
    const SlotKey& key() const noexcept {
        return *std::launder(reinterpret_cast<const SlotKey*>(store_.heap + capacity()));
    }
    // cap_ of a keyed table of `cap` slots.
    static std::uint32_t keyed_code(std::uint32_t cap) noexcept {
        return kKeyedBase + static_cast<std::uint32_t>(std::countr_zero(cap));
    }
    static std::size_t keyed_block(std::uint32_t cap) noexcept {
        return std::size_t{cap} + kKeyWords + std::size_t{cap} / kMaxLoadDen * kMaxLoadNum;
    }
    // Index words of the heap storage of a set that has some, and how many of them are in use.
    std::size_t storage_words() const noexcept {
        if (is_plain_table()) return std::size_t{cap_} + kTableTail;
        if (is_keyed()) return keyed_block(capacity());
        return capacity();
    }
    std::size_t used_words() const noexcept {
        if (is_plain_table()) return std::size_t{cap_} + kTableTail;
        if (is_keyed()) return std::size_t{capacity()} + kKeyWords + size_;
        return size_;
    }

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
    std::uint32_t keyed_slot(Index x) const noexcept {
        return static_cast<std::uint32_t>(key().mix(x) >> (64 - (cap_ - kKeyedBase)));
    }
    static std::uint32_t free_slot(const Index* slots, std::uint32_t start, std::uint32_t mask) noexcept {
        std::uint32_t s = start;
        while (slots[s] != kNoIndex) s = (s + 1) & mask;
        return s;
    }
    static bool table_find(const Index* slots, std::uint32_t cap, std::uint32_t s, Index x) noexcept {
        const std::uint32_t mask = cap - 1;
        for (;;) {
            const Index v = slots[s];
            if (v == x) return true;
            if (v == kNoIndex) return false;
            s = (s + 1) & mask;
        }
    }

    // ---- the cost of a plain table's runs

    static constexpr std::uint64_t run_cost_limit(std::uint32_t cap) noexcept { return kRunCostPerSlot * cap + kRunCostSlack; }
    static constexpr std::uint32_t long_run(std::uint32_t cap) noexcept {
        return kLongRunPerBit * static_cast<std::uint32_t>(std::countr_zero(cap));
    }
    // The least capacity at which a table's runs can cost too much: below it, even all its elements
    // in one run stay within both limits, so its insertions skip the counting.
    static constexpr std::uint32_t first_watched() noexcept {
        std::uint32_t cap = 2 * kListCapacity;
        for (;;) {
            const std::uint64_t most = std::uint64_t{cap} / kMaxLoadDen * kMaxLoadNum;
            if (most * most > run_cost_limit(cap) || most > long_run(cap)) return cap;
            cap *= 2;
        }
    }
    std::uint64_t run_cost() const noexcept {
        std::uint64_t c;
        std::memcpy(&c, store_.heap + cap_, sizeof c);
        return c;
    }
    void set_run_cost(std::uint64_t c) noexcept { std::memcpy(store_.heap + cap_, &c, sizeof c); }

    // Puts x in its slot of this plain table, updates the cost of the run it joins and turns the
    // table keyed if that run, or all of them, now cost too much.
    [[gnu::always_inline]] void place(Index x) noexcept {
        Index* t = store_.heap;
        const std::uint32_t mask = cap_ - 1;
        const std::uint32_t home = home_slot(x, cap_);
        const std::uint32_t s = free_slot(t, home, mask);
        t[s] = x;
        ++size_;
        if (constexpr std::uint32_t kFirstWatched = first_watched(); cap_ < kFirstWatched) return;
        // x joins the run that ends just before s (which holds home..s-1, and whatever lies before
        // home) with the run that starts just after it.
        const std::uint64_t left = ((s - home) & mask) + occupied_before(t, home, mask);
        const std::uint64_t right = occupied_after(t, s, mask);
        const std::uint64_t cost = run_cost() + 2 * left * right + 2 * (left + right) + 1;
        set_run_cost(cost);
        if (cost > run_cost_limit(cap_) || left + 1 + right > long_run(cap_)) turn_keyed();
    }

    // How many slots right after p, and right before p, are occupied (a table always has an empty
    // slot). Eight slots at a time: runs are short, so nearly every call settles in one block with
    // a branch that goes the same way.
    static constexpr std::uint32_t kScanBlock = 8;
    // Bit k set where slot k of the block at e is empty.
    static std::uint32_t empty_lanes(const Index* e) noexcept {
#if defined(__SSE2__)
        const __m128i none = _mm_set1_epi32(-1);
        const __m128i lo = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(e)), none);
        const __m128i hi = _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(e + 4)), none);
        return static_cast<std::uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(lo)) |
                                          (_mm_movemask_ps(_mm_castsi128_ps(hi)) << 4));
#else
        std::uint32_t bits = 0;
        for (std::uint32_t k = 0; k < kScanBlock; ++k) bits |= std::uint32_t{e[k] == kNoIndex} << k;
        return bits;
#endif
    }
    static std::uint32_t occupied_after(const Index* t, std::uint32_t p, std::uint32_t mask) noexcept {
        std::uint32_t n = 0;
        for (p = (p + 1) & mask;;) {
            if (p + kScanBlock <= mask + 1) {
                if (const std::uint32_t bits = empty_lanes(t + p)) return n + static_cast<std::uint32_t>(std::countr_zero(bits));
                n += kScanBlock;
                p = (p + kScanBlock) & mask;
            } else {
                if (t[p] == kNoIndex) return n;
                ++n;
                p = (p + 1) & mask;
            }
        }
    }
    static std::uint32_t occupied_before(const Index* t, std::uint32_t p, std::uint32_t mask) noexcept {
        std::uint32_t n = 0;
        for (p = (p - 1) & mask;;) {
            if (p + 1 >= kScanBlock) {
                if (const std::uint32_t bits = empty_lanes(t + p + 1 - kScanBlock))
                    return n + static_cast<std::uint32_t>(std::countl_zero(bits << (32 - kScanBlock)));
                n += kScanBlock;
                p = (p - kScanBlock) & mask;
            } else {
                if (t[p] == kNoIndex) return n;
                ++n;
                p = (p - 1) & mask;
            }
        }
    }

    // Counts the cost of a plain table's runs afresh, after all its elements were placed at once,
    // and turns the table keyed if it is too high.
    void note_runs() noexcept {
        const Index* t = store_.heap;
        const std::uint32_t mask = cap_ - 1;
        std::uint32_t gap = 0;
        while (t[gap] != kNoIndex) ++gap;  // a table is never full
        std::uint64_t cost = 0, run = 0, longest = 0;
        for (std::uint32_t k = 1; k <= cap_; ++k) {
            if (t[(gap + k) & mask] != kNoIndex) {
                longest = std::max(longest, ++run);
            } else {
                cost += run * run;
                run = 0;
            }
        }
        set_run_cost(cost);
        if (cost > run_cost_limit(cap_) || longest > long_run(cap_)) turn_keyed();
    }

    // Makes this plain table a keyed one of as many slots, its elements in their slot order. Left as
    // it is when the memory cannot be had.
    [[gnu::noinline, gnu::cold]] void turn_keyed() noexcept {
        const std::uint32_t cap = cap_;
        void* block = std::malloc(keyed_block(cap) * sizeof(Index));
        if (block == nullptr) return;
        Index* order = static_cast<Index*>(block) + cap + kKeyWords;
        std::uint32_t n = 0;
        for_each([&](Index x) { order[n++] = x; });
        Index* old = store_.heap;
        store_.heap = static_cast<Index*>(block);
        cap_ = keyed_code(cap);
        fill_keyed(order, n);
        std::free(old);
    }

    // Draws a fresh key for this keyed table and places the n elements at e (which may already be
    // its own element array) in its slots. False when an element appears twice.
    bool fill_keyed(const Index* e, std::uint32_t n) noexcept {
        const std::uint32_t cap = capacity(), mask = cap - 1;
        ::new (static_cast<void*>(store_.heap + cap)) SlotKey(SlotKey::fresh());
        Index* slots = store_.heap;
        std::memset(slots, 0xff, std::size_t{cap} * sizeof(Index));
        Index* order = keyed_elements();
        if (e != order) std::memcpy(order, e, std::size_t{n} * sizeof(Index));
        for (std::uint32_t k = 0; k < n; ++k) {
            std::uint32_t s = keyed_slot(order[k]);
            for (; slots[s] != kNoIndex; s = (s + 1) & mask)
                if (slots[s] == order[k]) return false;
            slots[s] = order[k];
        }
        size_ = n;
        return true;
    }

    static Index* allocate(std::size_t count) {
        void* p = std::malloc(count * sizeof(Index));
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

    // Moves every element, in iteration order, into a new table of new_cap slots: a keyed table
    // stays keyed (with a new key), anything else becomes a plain table.
    void grow_table(std::uint32_t new_cap) {
        if (is_keyed()) {
            keyed_of(keyed_elements(), size_, new_cap, *this);  // its elements are distinct
            return;
        }
        Index* fresh = allocate(std::size_t{new_cap} + kTableTail);
        std::memset(fresh, 0xff, std::size_t{new_cap} * sizeof(Index));
        for_each([&](Index x) { fresh[free_slot(fresh, home_slot(x, new_cap), new_cap - 1)] = x; });
        release();
        store_.heap = fresh;
        cap_ = new_cap;
        // Spreading elements over twice the slots only shortens their runs, so the grown table
        // counts its cost afresh from here: what later insertions add.
        set_run_cost(0);
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
