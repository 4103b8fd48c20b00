// Process-wide objects built on first use (the graph type, the panic exception type, looked-up
// classes), safe when several threads race to be first on an interpreter without a global lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

namespace qm::py {

// One object built once per process and never released. The first caller builds it under the
// mutex; PyMutex detaches a blocked waiter from the interpreter, so a builder that runs Python code
// (an import, say) never deadlocks against the threads queued behind it.
class OnceObject {
   public:
    template <class Build>
    PyObject* get(Build&& build) {
        if (PyObject* v = value_.load(std::memory_order_acquire)) return v;
        PyMutex_Lock(&mutex_);
        PyObject* v = value_.load(std::memory_order_acquire);
        if (v == nullptr) {
            v = build();  // a failure leaves the exception set and lets a later call retry
            if (v != nullptr) value_.store(v, std::memory_order_release);
        }
        PyMutex_Unlock(&mutex_);
        return v;
    }

   private:
    std::atomic<PyObject*> value_{nullptr};
    PyMutex mutex_{};
};

}  // namespace qm::py
