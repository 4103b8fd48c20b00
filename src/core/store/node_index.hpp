// Index from node id to dense index, in one of two layouts.
//
// Direct: while every id is a small non-negative number (ids 0..n-1, the usual case, or any range
// not much wider than the node count), an array indexed by the id itself holds the dense index:
// a lookup is one load from an array of 8 bytes per id, where a hash table costs a probe into an
// array at least twice as large. The array may be at most kDirectSlack slots per
// node wide (or kDirectFloor slots, whichever is more).
//
// Hashed: otherwise (a negative id, or ids far wider than the node count), an open-addressing table
// with linear probing (Knuth, TAOCP vol. 3, 6.4) over a power-of-two array of (id, index) slots.
// Keeping the id in the slot means a hit costs one cache miss, not a second one into the dense id
// array. Ids come from outside and the node hash is public, so an id's slot is its node hash mixed
// with the table's secret key (see slot_key.hpp), drawn when the index turns into a table: ids
// crafted to share hash bits spread like random ones. Growing keeps the key, so that a doubling
// moves each entry from slot s to s or s + capacity and streams through both arrays, where a new
// key would scatter the writes. Should a probe run still grow past kLongRun (for random keys at
// this load, a chance far below one in a billion per table), the next reserve() rebuilds the table
// under a new key, so not even a key found out by timing keeps its worth beyond one insertion.
//
// The layout is chosen again whenever room is made, from the range of all ids and the room asked
// for: ids 0..n-1 that arrive in random order start hashed (the first few already span the range)
// and move to the array once the node count has caught up with them. A move back to the table
// needs an id more than kDirectSlack times the node count the array was sized for, and a move to
// the array needs the count to catch up with it again, so every round trip at least doubles the
// node count: the moves cost O(1) per node in all.
//
// Each entry also keeps its node's degree, written by the store whenever the node's neighbour set
// changes size: a degree query is then one lookup here, instead of a second cache miss into the
// neighbour set (the hash slot's padding holds it; the array's entries are 8 bytes instead of 4).
// The direct layout also keeps, in a second array indexed by id, a glance at each node's set (the
// elements of a set of one or two, or where a list's array starts), recorded by the store whenever
// the set changes: a membership test reads the entry and the glance at once, both addressed by the
// id, and goes straight to the elements, one cache miss fewer than through the set object. The
// glances sit apart from the entries so that a degree query's array stays as compact as before.
//
// In both layouts kNoIndex marks an empty slot, so every id is an ordinary key. Nothing is ever
// removed (the graph only grows), and nothing iterates the index, so its layout (and with it the
// key) never shows in a result. Growth is split into reserve() (may throw, leaves the index unchanged then) and
// insert_new() (never fails).
#pragma once

#include <algorithm>
#include <cstdint>
#include <new>
#include <span>
#include <utility>

#include "core/base/huge_pages.hpp"
#include "core/base/interrupt.hpp"
#include "core/store/neighbour_set.hpp"
#include "core/store/slot_key.hpp"
#include "core/base/types.hpp"

namespace qm {

struct GraphInspector;  // the fuzzer's read-only consistency checks (fuzz/store_checks.hpp)

class NodeIndex {
   public:
    // The table grows once it would be more than kMaxLoadNum / kMaxLoadDen full.
    static constexpr std::uint64_t kMaxLoadNum = 3;
    static constexpr std::uint64_t kMaxLoadDen = 4;
    static constexpr std::uint64_t kMinCapacity = 16;
    // A probe run this long makes the next reserve() rebuild the table under a fresh key.
    static constexpr std::uint64_t kLongRun = 1024;
    // The direct array may span this many slots per node it can hold, or kDirectFloor slots.
    static constexpr std::uint64_t kDirectSlack = 2;
    static constexpr std::uint64_t kDirectFloor = std::uint64_t{1} << 16;
    // Who fills a new array: the calling thread, or, for a bulk load (whose loops run on the worker
    // pool anyway) and an array of at least kParallelFillFrom slots, every thread of the pool, in
    // pieces of at least kFillGrain slots. Adding nodes one by one never starts the pool.
    enum class Fill { Here, Shared };
    static constexpr std::uint64_t kParallelFillFrom = std::uint64_t{1} << 20;
    static constexpr std::uint64_t kFillGrain = std::uint64_t{1} << 16;

    NodeIndex() noexcept = default;
    // An index that keeps no glances (one that maps ids for a while, beside no neighbour sets).
    struct NoGlances {};
    explicit NodeIndex(NoGlances) noexcept : keeps_glances_(false) {}
    ~NodeIndex() {
        release_all();
    }
    NodeIndex(const NodeIndex&) = delete;
    NodeIndex& operator=(const NodeIndex&) = delete;
    NodeIndex(NodeIndex&& o) noexcept { take(o); }
    NodeIndex& operator=(NodeIndex&& o) noexcept {
        if (this != &o) {
            release_all();
            take(o);
        }
        return *this;
    }

    Index find(NodeId id) const noexcept {
        const Entry* e = entry(id);
        return e == nullptr ? kNoIndex : e->index;
    }

    // The degree recorded for id; 0 when id is absent.
    std::uint32_t degree(NodeId id) const noexcept {
        const Entry* e = entry(id);
        return e == nullptr ? 0 : e->degree;
    }

    // id's dense index, degree and, in the direct layout, glance; index kNoIndex when id is absent.
    struct Found {
        Index index;
        std::uint32_t degree;
        const NeighbourSet::Glance* glance;  // null in the hashed layout

        // The set's elements straight from the glance; null when the set itself must be read (a
        // table, or the hashed layout).
        const Index* small_elements() const noexcept {
            if (glance == nullptr || degree > NeighbourSet::kListCapacity) return nullptr;
            return NeighbourSet::glanced(*glance, degree);
        }
    };
    Found lookup(NodeId id) const noexcept {
        const Entry* e = entry(id);
        if (e == nullptr) return Found{kNoIndex, 0, nullptr};
        return Found{e->index, e->degree, glances_ == nullptr ? nullptr : &glances_[id]};
    }

    // Records the degree (and glance) of id, which must be present, from its neighbour set.
    void record(NodeId id, const NeighbourSet& set) noexcept {
        entry(id)->degree = set.size();
        if (glances_ != nullptr) glances_[id] = set.glance();
    }
    // Starts loading what record(id, ...) writes.
    void prefetch_record(NodeId id) const noexcept {
        if (hashed_ || static_cast<std::uint64_t>(id) >= direct_cap_) return prefetch(id);
        __builtin_prefetch(&direct_[id], 1);
        if (glances_ != nullptr) __builtin_prefetch(&glances_[id], 1);
    }
    // record() for a set that has only grown within its list array, from `before` elements: its
    // glance is still right unless it showed elements (a set of at most two), and the glances are
    // a second array that a load would otherwise write at random for every node it touches.
    void record_in_place(NodeId id, const NeighbourSet& set, std::uint32_t before) noexcept {
        if (before <= NeighbourSet::kInlineCapacity) return record(id, set);
        entry(id)->degree = set.size();
    }

    // Starts loading the slot where a lookup of id begins, so that a batch of independent lookups
    // overlaps its cache misses instead of paying them one after another.
    void prefetch(NodeId id) const noexcept {
        if (!hashed_) {
            if (static_cast<std::uint64_t>(id) < direct_cap_) __builtin_prefetch(&direct_[id], 1);
        } else if (cap_ != 0) {
            __builtin_prefetch(&slots_[home(key_, id, cap_ - 1)], 1);
        }
    }

    // Makes room for `count` entries in all, the new ones having ids in [lo, hi]. `sets` are the
    // neighbour sets of the entries present, by dense index, for the glances of a move to the direct
    // layout (unused by an index that keeps none). Throws std::bad_alloc (or Interrupted, when `stop` says so while a large array is
    // rebuilt) and leaves the index as it was.
    void reserve(std::uint64_t count, NodeId lo, NodeId hi, const NeighbourSet* sets,
                 const Interrupt& stop = Interrupt::never(), Fill fill = Fill::Here) {
        if (!empty_) {
            lo = std::min(lo, lo_);
            hi = std::max(hi, hi_);
        }
        const std::uint64_t limit = std::max(kDirectSlack * count, kDirectFloor);
        if (lo >= 0 && static_cast<std::uint64_t>(hi) < limit) {
            if (hashed_) {
                become_direct(static_cast<std::uint64_t>(hi) + 1, limit, sets, stop, fill);
            } else {
                grow_direct(static_cast<std::uint64_t>(hi) + 1, limit, stop, fill);
            }
        } else if (!hashed_) {
            become_hashed(count, stop, fill);
        } else if (!fits(count, cap_) || rekey_) {
            rehash(capacity_for(count), rekey_ ? SlotKey::fresh() : key_, stop, fill);
        }
    }

    // Adds id -> index (degree 0) for an id that is absent, into room made by reserve().
    void insert_new(NodeId id, Index index) noexcept {
        cover(id, id);
        if (!hashed_) {
            direct_[id] = Entry{index, 0};  // its glance is still the empty one the slot was made with
            return;
        }
        rekey_ |= place(slots_, cap_ - 1, key_, Slot{id, Entry{index, 0}}) >= kLongRun;
    }

    // Whether insert_independently() may add ids: the flat layout, where an id writes only its own
    // slot, so that distinct ids may be added from several threads at once.
    bool inserts_independently() const noexcept { return !hashed_ && direct_cap_ != 0; }
    // Takes [lo, hi] into the range of ids stored, for the ids about to be added; ids no index has
    // yet, inside room made by reserve().
    void cover(NodeId lo, NodeId hi) noexcept {
        lo_ = empty_ ? lo : std::min(lo_, lo);
        hi_ = empty_ ? hi : std::max(hi_, hi);
        empty_ = false;
    }
    // insert_new() in the flat layout, for an id that cover() took in, with the degree and glance of
    // `set` when `record` (else degree 0, as insert_new() leaves it). Distinct ids may be added
    // from several threads at once.
    void insert_independently(NodeId id, Index index, const NeighbourSet& set, bool record) noexcept {
        direct_[id] = Entry{index, record ? set.size() : 0};
        if (record && glances_ != nullptr) glances_[id] = set.glance();
    }
    // Takes back insert_independently() for each of ids (added or not yet), before cover().
    void forget_independently(std::span<const NodeId> ids) noexcept {
        for (const NodeId id : ids) {
            direct_[id] = kEmpty;
            if (glances_ != nullptr) glances_[id] = Glance{};
        }
    }

   private:
    friend struct GraphInspector;
    struct Entry {
        Index index;
        std::uint32_t degree;
    };
    using Glance = NeighbourSet::Glance;
    struct Slot {
        NodeId id;
        Entry entry;
    };
    static constexpr Entry kEmpty{kNoIndex, 0};

    Entry* entry(NodeId id) noexcept { return const_cast<Entry*>(std::as_const(*this).entry(id)); }
    const Entry* entry(NodeId id) const noexcept {
        if (!hashed_) {
            if (static_cast<std::uint64_t>(id) >= direct_cap_) return nullptr;
            const Entry* e = &direct_[id];
            return e->index == kNoIndex ? nullptr : e;
        }
        if (cap_ == 0) return nullptr;
        std::uint64_t mask = cap_ - 1;
        for (std::uint64_t s = home(key_, id, mask);; s = (s + 1) & mask) {
            const Slot& slot = slots_[s];
            if (slot.entry.index == kNoIndex) return nullptr;
            if (slot.id == id) return &slot.entry;
        }
    }

    static bool fits(std::uint64_t count, std::uint64_t cap) noexcept {
        return count * kMaxLoadDen <= cap * kMaxLoadNum;
    }

    std::uint64_t capacity_for(std::uint64_t count) const {
        std::uint64_t cap = cap_ == 0 ? kMinCapacity : cap_;
        while (!fits(count, cap)) {
            if (cap > (UINT64_MAX / sizeof(Slot)) / 2) throw std::bad_alloc();
            cap *= 2;
        }
        return cap;
    }

    // Both layouts are read at random: their arrays go on huge pages once large.
    template <class T>
    static T* allocate(std::uint64_t n) {
        return HugePageAllocator<T>().allocate(n);
    }
    template <class T>
    static void release(T* p, std::uint64_t n) noexcept {
        HugePageAllocator<T>().deallocate(p, n);
    }
    void release_all() noexcept {
        release(slots_, cap_);
        release(direct_, direct_cap_);
        release(glances_, direct_cap_);
    }

    // Runs stop.check() every kCheckEvery steps of a loop that fills fresh arrays, calling
    // `drop` (which releases them) if the check throws.
    template <class Drop>
    static void check_filling(std::uint64_t step, const Interrupt& stop, Drop&& drop) {
        if (step % kCheckEvery != 0) return;
        try {
            stop.check();
        } catch (...) {
            drop();
            throw;
        }
    }
    template <class T>
    static void check_filling(std::uint64_t step, T* fresh, std::uint64_t n, const Interrupt& stop) {
        check_filling(step, stop, [&] { release(fresh, n); });
    }

    // body(first, last) over [0, n) with a stop.check() every kCheckEvery slots, calling `drop`
    // (which releases the arrays filled) if it throws. A large shared fill runs on the pool's
    // threads, and so do the page faults of its fresh arrays, most of what it costs.
    template <class Body, class Drop>
    static void fill_checked(std::uint64_t n, Fill fill, const Interrupt& stop, Body&& body, Drop&& drop) {
        try {
            if (fill == Fill::Shared && n >= kParallelFillFrom) {
                for_range_checked(stop, n, kFillGrain, kCheckEvery, body);
                return;
            }
            for (std::uint64_t s = 0; s < n; s += kCheckEvery) {
                stop.check();
                body(s, std::min<std::uint64_t>(n, s + kCheckEvery));
            }
        } catch (...) {
            drop();
            throw;
        }
    }

    // The arrays of a direct layout of `cap` slots, uninitialised (glances null unless kept).
    struct Direct {
        Entry* entries;
        Glance* glances;
        std::uint64_t cap;
        void drop() const noexcept {
            release(entries, cap);
            release(glances, cap);
        }
    };
    Direct allocate_direct(std::uint64_t cap) const {
        Entry* entries = allocate<Entry>(cap);
        try {
            return Direct{entries, keeps_glances_ ? allocate<Glance>(cap) : nullptr, cap};
        } catch (...) {
            release(entries, cap);
            throw;
        }
    }

    // Widens the direct arrays to at least `needed` slots: geometrically, within `limit`.
    void grow_direct(std::uint64_t needed, std::uint64_t limit, const Interrupt& stop, Fill fill) {
        if (needed <= direct_cap_) return;
        const std::uint64_t cap = std::max(needed, std::min(limit, std::max(2 * direct_cap_, kDirectFloor)));
        const Direct fresh = allocate_direct(cap);
        fill_checked(cap, fill, stop, [&](std::uint64_t first, std::uint64_t last) {
            for (std::uint64_t s = first; s < last; ++s) {
                fresh.entries[s] = s < direct_cap_ ? direct_[s] : kEmpty;
                if (fresh.glances != nullptr) fresh.glances[s] = s < direct_cap_ ? glances_[s] : Glance{};
            }
        }, [&] { fresh.drop(); });
        adopt(fresh, nullptr, 0, key_);
    }

    // Makes the index either `array` (the direct layout) or `table` (of `table_cap` slots under
    // `key`: the hashed layout), the other being empty, and releases what was there.
    void adopt(const Direct& array, Slot* table, std::uint64_t table_cap, const SlotKey& key) noexcept {
        release_all();
        key_ = key;
        rekey_ = false;
        direct_ = array.entries;
        glances_ = array.glances;
        direct_cap_ = array.cap;
        slots_ = table;
        cap_ = table_cap;
        hashed_ = table != nullptr;
    }

    // Moves every entry of the table into direct arrays of at least `needed` slots, with the
    // glances of `sets`.
    void become_direct(std::uint64_t needed, std::uint64_t limit, const NeighbourSet* sets, const Interrupt& stop,
                       Fill fill) {
        const std::uint64_t cap = std::max(needed, std::min(limit, kDirectFloor));
        const Direct fresh = allocate_direct(cap);
        fill_checked(cap, fill, stop, [&](std::uint64_t first, std::uint64_t last) {
            for (std::uint64_t s = first; s < last; ++s) {
                fresh.entries[s] = kEmpty;
                if (fresh.glances != nullptr) fresh.glances[s] = Glance{};
            }
        }, [&] { fresh.drop(); });
        for (std::uint64_t s = 0; s < cap_; ++s) {
            check_filling(s, stop, [&] { fresh.drop(); });
            const Slot& slot = slots_[s];
            if (slot.entry.index == kNoIndex) continue;
            fresh.entries[slot.id] = slot.entry;  // ids are < needed
            if (fresh.glances != nullptr) fresh.glances[slot.id] = sets[slot.entry.index].glance();
        }
        adopt(fresh, nullptr, 0, key_);
    }

    // A table of `cap` empty slots.
    static Slot* empty_table(std::uint64_t cap, const Interrupt& stop, Fill fill) {
        Slot* table = allocate<Slot>(cap);
        fill_checked(cap, fill, stop, [&](std::uint64_t first, std::uint64_t last) {
            for (std::uint64_t s = first; s < last; ++s) table[s].entry = kEmpty;
        }, [&] { release(table, cap); });
        return table;
    }

    // The slot where id's probe run starts in a table of mask + 1 slots under `key`.
    static std::uint64_t home(const SlotKey& key, NodeId id, std::uint64_t mask) noexcept {
        return key.mix(node_hash(id)) & mask;
    }

    // Puts a slot whose id is absent into a table of mask + 1 slots under `key`; returns how many
    // occupied slots it passed.
    static std::uint64_t place(Slot* table, std::uint64_t mask, const SlotKey& key, const Slot& slot) noexcept {
        std::uint64_t t = home(key, slot.id, mask), passed = 0;
        for (; table[t].entry.index != kNoIndex; t = (t + 1) & mask) ++passed;
        table[t] = slot;
        return passed;
    }

    // Moves every entry of the direct array into a table with room for `count`.
    void become_hashed(std::uint64_t count, const Interrupt& stop, Fill fill) {
        const std::uint64_t cap = capacity_for(count);
        const SlotKey key = SlotKey::fresh();
        Slot* fresh = empty_table(cap, stop, fill);
        for (std::uint64_t id = 0; id < direct_cap_; ++id) {
            check_filling(id, fresh, cap, stop);
            if (direct_[id].index != kNoIndex) place(fresh, cap - 1, key, Slot{static_cast<NodeId>(id), direct_[id]});
        }
        adopt(Direct{}, fresh, cap, key);
    }

    // Moves every entry into a table of new_cap slots under `key`.
    void rehash(std::uint64_t new_cap, const SlotKey& key, const Interrupt& stop, Fill fill) {
        Slot* fresh = empty_table(new_cap, stop, fill);
        for (std::uint64_t s = 0; s < cap_; ++s) {
            check_filling(s, fresh, new_cap, stop);
            if (slots_[s].entry.index != kNoIndex) place(fresh, new_cap - 1, key, slots_[s]);
        }
        adopt(Direct{}, fresh, new_cap, key);
    }

    void take(NodeIndex& o) noexcept {
        slots_ = std::exchange(o.slots_, nullptr);
        cap_ = std::exchange(o.cap_, 0);
        direct_ = std::exchange(o.direct_, nullptr);
        glances_ = std::exchange(o.glances_, nullptr);
        direct_cap_ = std::exchange(o.direct_cap_, 0);
        hashed_ = std::exchange(o.hashed_, false);
        key_ = o.key_;
        rekey_ = std::exchange(o.rekey_, false);
        keeps_glances_ = o.keeps_glances_;
        empty_ = std::exchange(o.empty_, true);
        lo_ = o.lo_;
        hi_ = o.hi_;
    }

    bool hashed_ = false;
    bool keeps_glances_ = true;
    // The smallest and largest id stored (meaningless while empty_).
    bool empty_ = true;
    NodeId lo_ = 0;
    NodeId hi_ = 0;
    Entry* direct_ = nullptr;
    Glance* glances_ = nullptr;  // beside direct_, of direct_cap_ too
    std::uint64_t direct_cap_ = 0;
    Slot* slots_ = nullptr;
    std::uint64_t cap_ = 0;
    SlotKey key_ = SlotKey::fresh();  // where the table's ids go
    bool rekey_ = false;              // a probe run reached kLongRun: rebuild under a new key
};

}  // namespace qm
