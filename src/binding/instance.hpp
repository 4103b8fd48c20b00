// An IntGraphCore instance and its borrow flag.
//
// The flag is what keeps calls on one instance apart, instead of a lock: any number of shared
// borrows at once, or one exclusive borrow. A borrow that conflicts with one already held is refused
// at once with RuntimeError and never waits, on either build of the interpreter. A borrow is held
// across the whole call, including the stretch where the calling thread is detached from the
// interpreter, so detaching never lets a conflicting call in.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "core/store/graph.hpp"

namespace qm::py {

// Flag values: 0 free, k > 0 held by k shared borrowers, all ones held exclusively.
inline constexpr std::uint64_t kExclusive = UINT64_MAX;

struct GraphObject {
    PyObject_HEAD
    Graph graph;
    std::atomic<std::uint64_t> borrow;
};

// The IntGraphCore type, built on first use (module.cpp).
PyTypeObject* graph_type();

enum class BorrowKind { Shared, Exclusive };

// With the GIL, a call that holds it from start to end, runs no Python code before its work is
// done and never detaches cannot meet another borrow being taken or given back on the instance's
// side of the interpreter: what it must not meet is an exclusive borrow already out (a detached
// writer). For such a call this check is the whole borrow, without the two atomic updates a
// BorrowGuard makes; it sets the same RuntimeError a refused shared borrow sets. Never used on a
// free-threaded build, where other threads run meanwhile.
bool no_exclusive_borrow(GraphObject* g) noexcept;

// Holds one borrow of an instance for its lifetime. A refused borrow never waits: it sets the
// RuntimeError and leaves the guard empty.
class BorrowGuard {
   public:
    BorrowGuard(GraphObject* g, BorrowKind kind) noexcept;
    ~BorrowGuard();
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;
    explicit operator bool() const noexcept { return flag_ != nullptr; }

   private:
    std::atomic<std::uint64_t>* flag_ = nullptr;
    BorrowKind kind_;
};

}  // namespace qm::py
