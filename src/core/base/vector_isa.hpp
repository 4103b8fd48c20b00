// The vector instructions some kernels use when the processor has them, chosen at run time so
// that one build runs everywhere: such a kernel is compiled for AVX2 on its own
// (__attribute__((target("avx2")))) and called only when avx2_available() says so.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define QM_AVX2 1

namespace qm {

// Whether this processor runs AVX2 (and POPCNT, which every AVX2 processor has), asked once.
inline bool avx2_available() noexcept {
    static const bool available = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    return available;
}

}  // namespace qm
#endif
