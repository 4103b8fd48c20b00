// Owned references to Python objects: the one smart pointer of the binding layer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qm::py {

// Owns one strong reference (or none) and drops it on every path out.
class Ref {
   public:
    Ref() noexcept = default;
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    ~Ref() { Py_XDECREF(p_); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(o.release()) {}
    Ref& operator=(Ref&& o) noexcept {
        PyObject* old = std::exchange(p_, o.release());
        Py_XDECREF(old);
        return *this;
    }
    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

   private:
    PyObject* p_ = nullptr;
};

}  // namespace qm::py
