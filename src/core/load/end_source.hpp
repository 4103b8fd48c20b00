// Endpoints that a load reads on demand, a stretch at a time, instead of as one array: a very large
// batch held in a form the core cannot read itself (a list of Python ints), which a converted copy
// would double. A chunked load reads it twice, to number its ids and then chunk by chunk.
#pragma once

#include <cstddef>
#include <span>
#include <stdexcept>

#include "core/base/types.hpp"

namespace qm {

// The source no longer holds what it held when the load began (reported to Python as RuntimeError):
// another thread changed it. The load stops there, keeping the chunks before it.
class SourceChanged : public std::runtime_error {
   public:
    SourceChanged() : std::runtime_error("the sequence changed while it was being loaded") {}
};

class EndSource {
   public:
    virtual ~EndSource() = default;
    // The number of endpoints, and the least and the greatest of them.
    virtual std::size_t size() const noexcept = 0;
    virtual NodeId low() const noexcept = 0;
    virtual NodeId high() const noexcept = 0;
    // Writes endpoints [first, first + out.size()) to out (first and the size even). Throws
    // SourceChanged when they are gone or out of [low(), high()].
    virtual void read(std::size_t first, std::span<NodeId> out) = 0;
    // Whether read() may be called from several threads at once (the pool's workers among them).
    virtual bool parallel_reads() const noexcept { return false; }
};

}  // namespace qm
