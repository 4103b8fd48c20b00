// Basic vocabulary of the graph core: node ids, dense indices and the node hash.
//
// A node id is any signed 64-bit value; there is no sentinel id. Internally every node also gets a
// dense 32-bit index for life (the graph only grows), and neighbour sets hold those indices. The
// all-ones index is never handed out, so it marks empty slots in the open-addressing tables.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace qm {

using NodeId = std::int64_t;
using Index = std::uint32_t;

inline constexpr Index kNoIndex = UINT32_MAX;
// Largest number of nodes one graph can hold: every index below kNoIndex.
inline constexpr std::uint64_t kMaxNodes = kNoIndex;

// The node hash: multiply by an odd constant and rotate, so the well-mixed high bits of the product
// land in the low bits that the tables mask with. It has no seed, so table layouts (and with them
// every iteration order) depend only on the operations applied.
inline constexpr std::uint64_t kNodeHashMultiplier = 0xf1357aea2e62a9c5ULL;
inline constexpr int kNodeHashRotation = 26;

constexpr std::uint64_t node_hash(NodeId id) noexcept {
    return std::rotl(static_cast<std::uint64_t>(id) * kNodeHashMultiplier, kNodeHashRotation);
}

// Hash of a dense index inside a neighbour table (Fibonacci hashing: take the top bits).
inline constexpr std::uint64_t kIndexHashMultiplier = 0x9e3779b97f4a7c15ULL;

constexpr std::uint64_t index_hash(Index i) noexcept { return i * kIndexHashMultiplier; }

// The least and the greatest of a run of ids ({0, 0} when it is empty), in one pass without a branch
// per id: std::minmax_element's branches made it take a tenth of a load of tens of millions of ids.
struct IdBounds {
    NodeId low = 0, high = 0;
};

inline IdBounds id_bounds(std::span<const NodeId> ids) noexcept {
    if (ids.empty()) return {};
    IdBounds b{ids[0], ids[0]};
    for (const NodeId x : ids) {
        b.low = std::min(b.low, x);
        b.high = std::max(b.high, x);
    }
    return b;
}

// std::allocator, except that a value-initialised element (resize(), the size constructor) is left
// uninitialised: a large array that its users fill in parallel then takes its page faults on every
// thread that writes it, not all on the one that sized it.
template <class T>
struct UninitAllocator : std::allocator<T> {
    using std::allocator<T>::allocator;
    template <class U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// The ends of a batch of edges (u0, v0, u1, v1, ...) or a run of node ids, as converted or generated.
using EndArray = std::vector<NodeId, UninitAllocator<NodeId>>;

}  // namespace qm
