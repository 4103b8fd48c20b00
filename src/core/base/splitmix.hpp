// SplitMix64 (Steele, Lea and Flood, "Fast splittable pseudorandom number generators", 2014): the
// small seeded generator behind the slot keys, the sampled sources of betweenness and the visiting
// orders of communities. Its output for a given state is part of what those results are, so it
// never changes.
#pragma once

#include <cstdint>

namespace qm {

// What each draw adds to the state.
inline constexpr std::uint64_t kSplitMixStep = 0x9e3779b97f4a7c15ULL;

// The next value of the sequence that `state` stands at, advancing the state.
inline std::uint64_t splitmix64(std::uint64_t& state) noexcept {
    std::uint64_t z = (state += kSplitMixStep);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

}  // namespace qm
