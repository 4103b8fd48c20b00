// Secret keys for where the hash tables that no result shows put their keys.
//
// The node hash is fixed, public and a bijection, so anyone can compute ids whose hashes agree in
// as many bits as they like, and any fixed function of it that picks a slot can be inverted the
// same way: a linear-probing table fed such ids piles them into one run, and every insertion or
// lookup walks it (quadratic in the number of ids). Tables whose layout never shows in a result
// (the node index, a search's seen set) therefore place keys by the node hash mixed with a key
// drawn from a process-wide secret each time the table is built or rebuilt, so the slots of given
// ids cannot be predicted and crafted ids spread like random ones. The neighbour sets are not among
// them: their slot order is the order neighbors() lists, so their layout must stay what the
// operations alone make it.
//
// The secret comes from the system's random source when the process first needs it (mixed with
// the clock and an address, in case that source is missing); keys are successive outputs of a
// counter-based generator seeded with it. Nothing about a table's key leaves the process.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>

#include "core/base/splitmix.hpp"

namespace qm {

class SlotKey {
   public:
    // A key no other table of this process shares.
    static SlotKey fresh() noexcept {
        static std::atomic<std::uint64_t> drawn{0};
        const std::uint64_t n = drawn.fetch_add(1, std::memory_order_relaxed);
        std::uint64_t state = secret() + n * kSplitMixStep;
        return SlotKey{next(state), next(state) | 1};
    }

    // Where hash h goes: h with the key's mask, times its odd factor as a 128-bit product, the two
    // halves folded together, so that every bit of h moves every bit of the result.
    std::uint64_t mix(std::uint64_t h) const noexcept {
        const Wide product = static_cast<Wide>(h ^ mask_) * factor_;
        return static_cast<std::uint64_t>(product >> kHalf) ^ static_cast<std::uint64_t>(product);
    }

   private:
    __extension__ using Wide = unsigned __int128;
    static constexpr int kHalf = 64;
    SlotKey(std::uint64_t mask, std::uint64_t factor) noexcept : mask_(mask), factor_(factor) {}

    static std::uint64_t next(std::uint64_t& state) noexcept { return splitmix64(state); }

    static std::uint64_t secret() noexcept {
        static const std::uint64_t value = [] {
            static int here;
            std::uint64_t s = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                              reinterpret_cast<std::uintptr_t>(&here);
            try {
                std::random_device device;
                s ^= (std::uint64_t{device()} << 32) ^ device();
            } catch (...) {
                // No random source: the clock and the address (randomised per process) remain.
            }
            return next(s);
        }();
        return value;
    }

    std::uint64_t mask_;
    std::uint64_t factor_;
};

}  // namespace qm
