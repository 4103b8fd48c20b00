// Running out of memory on demand: the fuzzer can make one allocation of a call into the core fail
// with std::bad_alloc, the way exhausted memory would, to check what the core promises then (an
// operation changes nothing, or keeps a prefix of its work, and the graph stays consistent).
//
// failing_allocation.cpp replaces the global operator new and delete of the whole program. Only
// they are covered: the neighbour sets' own malloc() calls and the large mapped arrays never fail
// here.
#pragma once

#include <cstdint>

namespace qm::fuzz {

// No failure armed.
inline constexpr std::int64_t kNoFailure = -1;

// While it lives, allocation number `at` (from 0, counted across all threads) throws
// std::bad_alloc; kNoFailure arms nothing. Only one may live at a time.
class FailingAllocation {
   public:
    explicit FailingAllocation(std::int64_t at);
    ~FailingAllocation();
    FailingAllocation(const FailingAllocation&) = delete;
    FailingAllocation& operator=(const FailingAllocation&) = delete;
    bool armed() const { return armed_; }

   private:
    bool armed_;
};

}  // namespace qm::fuzz
