// Running an operation's native work detached from the interpreter.
//
// Between converting its arguments and converting its result, a long operation touches no Python
// object, so its calling thread detaches from the interpreter for that stretch: on the standard
// build other threads get the global lock, on the free-threaded build a stop-the-world pause
// (a garbage collection, say) no longer waits for the operation to end. The instance's borrow is
// held throughout, so no conflicting call on the same graph gets in meanwhile.
//
// While detached, the operation's Interrupt polls for signals on the main thread (the only thread
// whose handlers run): it re-attaches briefly, lets the handlers run, and detaches again. A
// handler that raises (Ctrl-C's KeyboardInterrupt) stops the operation, and its exception is what
// the call raises. Calls from other threads are never interrupted.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/base/interrupt.hpp"

namespace qm::py {

// Detaches the calling thread for its lifetime. Construct it attached; it re-attaches on every path
// out, exceptions included, so the failure mapping that catches them runs attached.
class Detached {
   public:
    // The operation reports its progress to `progress`, when there is one.
    explicit Detached(Progress* progress = nullptr) noexcept;
    ~Detached() { PyEval_RestoreThread(state_); }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

    // What the operation checks to know whether to stop.
    const Interrupt& interrupt() const noexcept { return interrupt_; }

   private:
    static bool poll(void* self) noexcept;

    Interrupt interrupt_;
    PyThreadState* state_;
};

// Records which thread is the interpreter's main thread (call once when the module loads, attached;
// false with an exception set on failure). A forked child's main thread is the one that forked.
bool remember_main_thread();

}  // namespace qm::py
