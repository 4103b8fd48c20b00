// The borrow flag of an IntGraphCore instance (see instance.hpp).
#include "instance.hpp"

namespace qm::py {

namespace {

void refuse_shared() { PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed"); }

}  // namespace

BorrowGuard::BorrowGuard(GraphObject* g, BorrowKind kind) noexcept : kind_(kind) {
    std::atomic<std::uint64_t>& flag = g->borrow;
    if (kind == BorrowKind::Exclusive) {
        std::uint64_t expected = 0;
        if (flag.compare_exchange_strong(expected, kExclusive, std::memory_order_acq_rel,
                                         std::memory_order_acquire)) {
            flag_ = &flag;
        } else {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        }
        return;
    }
    std::uint64_t seen = flag.load(std::memory_order_acquire);
    while (seen != kExclusive) {
        if (flag.compare_exchange_weak(seen, seen + 1, std::memory_order_acq_rel,
                                       std::memory_order_acquire)) {
            flag_ = &flag;
            return;
        }
    }
    refuse_shared();
}

bool no_exclusive_borrow(GraphObject* g) noexcept {
    if (g->borrow.load(std::memory_order_acquire) != kExclusive) return true;
    refuse_shared();
    return false;
}

BorrowGuard::~BorrowGuard() {
    if (flag_ == nullptr) return;
    if (kind_ == BorrowKind::Exclusive) {
        flag_->store(0, std::memory_order_release);
    } else {
        flag_->fetch_sub(1, std::memory_order_release);
    }
}

}  // namespace qm::py
