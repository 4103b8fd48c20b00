// The progress of long calls, for Python threads that watch it (quillmesh.progress).
//
// A thread that wants its long calls watched installs a channel (ProgressChannel, a Python object of
// quillmesh._arrays). Every long call the thread then makes opens a record on that channel: the
// call's name, a Progress that the operation fills through its Interrupt, when it started, and, once
// it ends, how (done, failed, interrupted) and when. The watcher, another Python thread, polls the
// channel: it gets every call still running, and every call that ended since its last poll, once.
// Neither side ever waits for the other beyond the channel's short lock, and the calling thread
// takes no Python object to report: only calls made on a thread with a channel pay anything.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/base/interrupt.hpp"

namespace qm::py {

enum class CallState : int { Running, Done, Failed, Interrupted };

struct CallRecord {
    using Clock = std::chrono::steady_clock;
    std::string name;
    std::uint64_t serial = 0;  // tells the calls of one channel apart
    Progress progress;
    Clock::time_point start = Clock::now();
    std::atomic<CallState> state{CallState::Running};
    std::atomic<std::int64_t> elapsed_ns{0};  // set when the call ends
    // The most elapsed time a poll has reported: a call that ends just after a poll measured it
    // reports no less, so the times a watcher sees never go back.
    std::atomic<std::int64_t> polled_ns{0};
};

class ProgressChannel {
   public:
    // A record for a call that starts now.
    std::shared_ptr<CallRecord> open(std::string name);
    // Ends a call's record; on success its work is all done, whatever the operation reported.
    void close(CallRecord& call, CallState how) noexcept;
    // Every call running, and every call ended since the last poll (which then forgets it), each
    // with the state it was seen in: the one state that decides whether it is forgotten, so that
    // a call ending during the poll is reported as ended exactly once.
    std::vector<std::pair<std::shared_ptr<CallRecord>, CallState>> poll();

   private:
    std::mutex mutex_;
    std::uint64_t next_serial_ = 0;
    std::vector<std::shared_ptr<CallRecord>> calls_;
};

// The channel the calling thread reports to, or null.
std::shared_ptr<ProgressChannel>& thread_channel() noexcept;

// The record of one long call, when its thread has a channel; ends it as failed unless told how.
class CallReport {
   public:
    CallReport(const char* prefix, const char* name);
    ~CallReport() { end(CallState::Failed); }
    CallReport(const CallReport&) = delete;
    CallReport& operator=(const CallReport&) = delete;

    // Where the operation reports to (null without a channel).
    Progress* progress() const noexcept { return call_ ? &call_->progress : nullptr; }
    void end(CallState how) noexcept;

   private:
    std::shared_ptr<ProgressChannel> channel_;
    std::shared_ptr<CallRecord> call_;
};

// The ProgressChannel type, built on first use.
PyTypeObject* progress_channel_type();

}  // namespace qm::py
