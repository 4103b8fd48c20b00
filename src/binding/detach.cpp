// Detaching around native work and polling for signals meanwhile (see detach.hpp).
#include "detach.hpp"

#include <pthread.h>

#include <atomic>

#include "ref.hpp"

namespace qm::py {

namespace {

// The ident of the thread whose signal handlers run. Written at module load and in a forked child;
// read by every detached call.
std::atomic<unsigned long> main_thread{0};

void main_thread_after_fork() noexcept { main_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed); }

bool on_main_thread() noexcept {
    return PyThread_get_thread_ident() == main_thread.load(std::memory_order_relaxed);
}

}  // namespace

bool remember_main_thread() {
    Ref threading(PyImport_ImportModule("threading"));
    if (!threading) return false;
    Ref main(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main) return false;
    Ref ident(PyObject_GetAttrString(main.get(), "ident"));
    if (!ident) return false;
    unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
    main_thread.store(value, std::memory_order_relaxed);
    static std::atomic<bool> fork_handler_installed{false};
    if (!fork_handler_installed.exchange(true) && pthread_atfork(nullptr, nullptr, &main_thread_after_fork) != 0) {
        fork_handler_installed.store(false);
        PyErr_SetString(PyExc_RuntimeError, "cannot install the fork handler");
        return false;
    }
    return true;
}

// The Interrupt is built first (members in declaration order), while still attached.
Detached::Detached(Progress* progress) noexcept
    : interrupt_(on_main_thread() ? Interrupt(&poll, this) : Interrupt()), state_(PyEval_SaveThread()) {
    interrupt_.report_to(progress);
}

bool Detached::poll(void* context) noexcept {
    auto* self = static_cast<Detached*>(context);
    PyEval_RestoreThread(self->state_);
    const bool stop = PyErr_CheckSignals() != 0;  // runs the handlers; a raising one sets its exception
    self->state_ = PyEval_SaveThread();
    return stop;
}

}  // namespace qm::py
