// Basic vocabulary of the graph core: node ids, dense indices and the node hash.
//
// A node id is any signed 64-bit value; there is no sentinel id. Internally every node also gets a
// dense 32-bit index for life (the graph only grows), and neighbour sets hold those indices. The
// all-ones index is never handed out, so it marks empty slots in the open-addressing tables.
#pragma once

#include <bit>
#include <cstdint>

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

}  // namespace qm
