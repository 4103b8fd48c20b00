// The test settings read from the environment.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace qm {

// The value of the environment variable `name` when it is a decimal count above zero, else 0.
inline std::uint64_t env_count(const char* name) noexcept {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    return *end == '\0' ? std::uint64_t{value} : 0;
}

// env_count(name), or `fallback` when it is 0: a threshold the tests can lower. Callers keep the
// result in a static, so that the environment is read once per process.
inline std::uint64_t env_count_or(const char* name, std::uint64_t fallback) noexcept {
    const std::uint64_t value = env_count(name);
    return value == 0 ? fallback : value;
}

}  // namespace qm
