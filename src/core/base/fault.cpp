// Reporting of internal faults: the message and its origin go to standard error the moment the fault
// is raised, whatever later becomes of the exception.
#include "core/base/fault.hpp"

#include <cstdio>

namespace qm {

void fault(const std::string& message, std::source_location where) {
    std::fprintf(stderr, "quillmesh: internal fault at %s:%u: %s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), message.c_str());
    throw Fault(message);
}

}  // namespace qm
