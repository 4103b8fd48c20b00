// Internal faults and capacity limits raised by the graph core.
//
// The core knows nothing of Python: it reports conditions it cannot recover from by throwing one of
// these types, and the binding layer turns them into Python exceptions at its single failure-mapping
// point. Memory exhaustion is reported as std::bad_alloc, never handled here.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace qm {

// An internal fault: a broken invariant or an operation that cannot go on. The message is written to
// standard error (with where it happened) at the moment the fault is raised.
class Fault : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fault(const std::string& message,
                        std::source_location where = std::source_location::current());

// A request beyond what the store's layout can represent (more nodes than 32-bit indices can name).
// Raised before anything changes.
class CapacityError : public std::length_error {
   public:
    using std::length_error::length_error;
};

// An argument the operation cannot honour (reported to Python as ValueError). Raised before
// anything changes.
class InvalidArgument : public std::invalid_argument {
   public:
    using std::invalid_argument::invalid_argument;
};

// A value that no node id can stand for (reported to Python as OverflowError). Raised before
// anything changes.
class ValueOutOfRange : public std::out_of_range {
   public:
    using std::out_of_range::out_of_range;
};

}  // namespace qm
