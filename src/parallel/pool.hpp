// The process-wide worker pool and the data-parallel loops that run on it.
//
// One pool of worker threads serves every loop in the process. The first loop builds it, whichever
// thread gets there first; it is never torn down. Between loops
// its workers sleep on a condition variable, and at exit they are simply left to vanish with the
// process, so nothing is joined or destroyed while the interpreter or the process shuts down. Its
// size is fixed when it is built (see cpu_limit.hpp for the rules).
//
// A loop cuts [0, n) into chunks which the calling thread and any free workers claim one at a time
// from a shared counter, so very uneven per-index costs (hubs) still spread over all threads. The
// caller always works on its own loop: a loop finishes even when every worker is busy with other
// loops, and a body may start a loop of its own. Any number of threads may run loops at once. When
// a loop returns, no call of its body is still running and everything the body wrote is visible to
// the caller. No lock is held while a body runs.
//
// A body that throws ends its loop early: chunks not yet started are skipped, chunks already running
// are waited for, and then the first exception thrown is rethrown on the caller as it was. When the
// pool cannot be built the loop throws PoolError; std::bad_alloc passes through unchanged.
//
// After fork() the child has none of the parent's workers; its first loop builds a fresh pool. A
// body must not itself fork.
#pragma once

#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <stdexcept>
#include <type_traits>

namespace qm::parallel {

// A grain that leaves the chunk size entirely to the pool.
inline constexpr std::size_t kDefaultGrain = 1;

// A non-owning reference to a callable run as body(begin, end) on a sub-range of a loop. The callable
// must outlive the loop, which a lambda passed straight to for_range() always does.
class RangeBody {
   public:
    // Implicit, so a lambda can be passed straight to for_range().
    template <class F>
        requires(!std::same_as<std::remove_cvref_t<F>, RangeBody>) &&
                std::invocable<std::remove_reference_t<F>&, std::size_t, std::size_t>
    RangeBody(F&& f) noexcept
        : target_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_(&invoke<std::remove_reference_t<F>>) {}

    void operator()(std::size_t begin, std::size_t end) const { call_(target_, begin, end); }

   private:
    template <class T>
    static void invoke(void* target, std::size_t begin, std::size_t end) {
        (*static_cast<T*>(target))(begin, end);
    }

    void* target_;
    void (*call_)(void*, std::size_t, std::size_t);
};

// The pool could not be built (a worker thread failed to start). The message has already been
// written to standard error when this is thrown; the next loop tries again.
class PoolError : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
};

// Makes the C++ runtime set up the calling thread's exception state now. The runtime keeps it in
// thread-local storage that the C library allocates on a thread's first throw when the runtime was
// loaded with a module (as it is under Python); if that allocation fails, for lack of memory, the C
// library ends the process, so a std::bad_alloc thrown on a fresh thread could never be reported.
// Every worker calls it as it starts, and the binding on every call.
inline void touch_exception_storage() noexcept {
    // The library declares the call pure; a volatile store keeps it from being dropped as unused.
    [[maybe_unused]] volatile int in_flight = std::uncaught_exceptions();
}

// Calls body(begin, end) on disjoint sub-ranges that together cover [0, n) exactly once, on the
// calling thread and the pool's workers, and returns when all of them are done. `grain` is the
// smallest sub-range worth handing out (0 counts as 1); the pool may choose larger ones. Fewer than
// two indices, or a range no larger than one grain, run on the calling thread alone. Builds the pool
// first if there is none yet, whatever n is.
void for_range(std::size_t n, std::size_t grain, const RangeBody& body);

// The threads a loop runs on: the pool's workers and the caller. Builds the pool first if there is
// none yet. For work that cuts itself into as many long pieces as there are threads.
std::size_t thread_count();

// Calls f(i) once for each i in [0, n).
template <class F>
    requires std::invocable<F&, std::size_t>
void parallel_for(std::size_t n, F&& f) {
    for_range(n, kDefaultGrain, [&f](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) f(i);
    });
}

// The sum of f(i) over [0, n), each term converted to 64 bits and added modulo 2^64. Modular
// addition is associative and commutative, so the result does not depend on how the range was cut
// or on how many workers ran it.
template <class F>
    requires std::invocable<F&, std::size_t> &&
             std::convertible_to<std::invoke_result_t<F&, std::size_t>, std::uint64_t>
std::uint64_t parallel_sum(std::size_t n, F&& f) {
    std::atomic<std::uint64_t> total{0};
    for_range(n, kDefaultGrain, [&f, &total](std::size_t begin, std::size_t end) {
        std::uint64_t part = 0;
        for (std::size_t i = begin; i < end; ++i) part += static_cast<std::uint64_t>(f(i));
        // Relaxed is enough: for_range() returning orders every chunk before the load below.
        total.fetch_add(part, std::memory_order_relaxed);
    });
    return total.load(std::memory_order_relaxed);
}

}  // namespace qm::parallel
