// Stopping a long operation early when its caller asks.
//
// The core knows nothing of Python or signals. A long operation is handed an Interrupt and calls
// check() between small pieces of its work (a few thousand rows, endpoints or draws: well under a
// millisecond each). On the thread that started the operation, check() asks the caller's poll
// function whether to stop, at most once per kPollInterval, so a poll that costs microseconds is
// nothing next to the work; every other thread (the pool's workers) only reads the flag that a poll
// saying "stop" has set. A stop is reported by throwing Interrupted, which unwinds like any other
// failure: workers' loops end early, and the operation leaves the graph as its failure rules say
// (unchanged, or for the loads that keep a prefix, consistent).
//
// An Interrupt with no poll function never stops anything; that is what internal callers and the
// point operations use.
//
// An Interrupt may also carry a Progress record, which its caller reads from another thread while
// the operation runs: the operation states its total once it knows it (expect()) and adds what it
// has done as it goes (advance()), in its own units (edges, nodes, iterations), a piece of work at
// a time, from any thread. Without a record both cost one branch.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <thread>

#include "parallel/pool.hpp"

namespace qm {

// Thrown by Interrupt::check() once the caller has asked to stop. Whatever the caller's poll
// function wanted to report (an exception of its own, say) it keeps on its side.
class Interrupted : public std::exception {
   public:
    const char* what() const noexcept override { return "operation interrupted"; }
};

// How far an operation has got; written by the operation, read by whoever watches it.
struct Progress {
    std::atomic<std::uint64_t> done{0};
    std::atomic<std::uint64_t> total{0};
};

class Interrupt {
   public:
    // Asked on the starting thread whether to stop; must not throw.
    using Poll = bool (*)(void* context) noexcept;
    using Clock = std::chrono::steady_clock;
    // How often the starting thread polls while it works.
    static constexpr Clock::duration kPollInterval = std::chrono::milliseconds(20);

    // Never stops.
    Interrupt() noexcept = default;
    // A shared one that never stops, for callers with nothing to poll.
    static const Interrupt& never() noexcept {
        static const Interrupt none;
        return none;
    }
    Interrupt(Poll poll, void* context) noexcept
        : poll_(poll), context_(context), owner_(std::this_thread::get_id()), next_poll_(Clock::now() + kPollInterval) {}
    Interrupt(const Interrupt&) = delete;
    Interrupt& operator=(const Interrupt&) = delete;

    // Throws Interrupted when the operation is to stop. Cheap enough to call every few thousand
    // items of work: one relaxed load, plus a clock read on the starting thread.
    void check() const {
        if (stopped_.load(std::memory_order_relaxed)) throw Interrupted();
        if (poll_ == nullptr || std::this_thread::get_id() != owner_) return;
        const Clock::time_point now = Clock::now();
        if (now < next_poll_) return;
        if (poll_(context_)) {
            stopped_.store(true, std::memory_order_relaxed);
            throw Interrupted();
        }
        next_poll_ = Clock::now() + kPollInterval;  // after the poll: its own cost is not work
    }

    // check() every `every` steps of a serial loop, counted by the caller's own step number.
    void check_every(std::size_t step, std::size_t every) const {
        if (step % every == 0) check();
    }
    // The same for the loop that makes an operation's progress, `done` units of it by this step.
    void check_every(std::size_t step, std::size_t every, std::uint64_t done) const {
        if (step % every != 0) return;
        check();
        if (progress_ != nullptr) progress_->done.store(done, std::memory_order_relaxed);
    }

    // Reports to `progress` from now on (null: to nothing).
    void report_to(Progress* progress) noexcept { progress_ = progress; }
    // The operation's whole work, in its units; done starts over from 0.
    void expect(std::uint64_t total) const noexcept {
        if (progress_ == nullptr) return;
        progress_->done.store(0, std::memory_order_relaxed);
        progress_->total.store(total, std::memory_order_relaxed);
    }
    // `units` more of the work done.
    void advance(std::uint64_t units) const noexcept {
        if (progress_ != nullptr) progress_->done.fetch_add(units, std::memory_order_relaxed);
    }

   private:
    Poll poll_ = nullptr;
    void* context_ = nullptr;
    std::thread::id owner_{};
    mutable Clock::time_point next_poll_{};  // touched by the starting thread only
    mutable std::atomic<bool> stopped_{false};
    Progress* progress_ = nullptr;
};

// Items of a serial or per-chunk loop worked between two checks: a few hundred microseconds of
// the cheapest loops, well under a millisecond of the dearest.
inline constexpr std::size_t kCheckEvery = std::size_t{1} << 12;

// parallel::for_range, with body(begin, end) called on pieces of at most `piece` indices, each
// after a check(); a chunk of a worker ends at the first stop.
template <class F>
void for_range_checked(const Interrupt& stop, std::size_t n, std::size_t grain, std::size_t piece, F&& body) {
    parallel::for_range(n, grain, [&](std::size_t begin, std::size_t end) {
        for (std::size_t b = begin; b < end; b += piece) {
            stop.check();
            body(b, std::min(end, b + piece));
        }
    });
}

// parallel::parallel_for with a check() every kCheckEvery indices.
template <class F>
void parallel_for_checked(const Interrupt& stop, std::size_t n, F&& f) {
    for_range_checked(stop, n, parallel::kDefaultGrain, kCheckEvery, [&f](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) f(i);
    });
}

// parallel::parallel_sum with a check() every kCheckEvery indices.
template <class F>
std::uint64_t parallel_sum_checked(const Interrupt& stop, std::size_t n, F&& f) {
    std::atomic<std::uint64_t> total{0};
    for_range_checked(stop, n, parallel::kDefaultGrain, kCheckEvery, [&](std::size_t begin, std::size_t end) {
        std::uint64_t part = 0;
        for (std::size_t i = begin; i < end; ++i) part += static_cast<std::uint64_t>(f(i));
        total.fetch_add(part, std::memory_order_relaxed);
    });
    return total.load(std::memory_order_relaxed);
}

}  // namespace qm
