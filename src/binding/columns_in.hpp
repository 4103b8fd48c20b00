// An argument that is a column of integers, read where it lies: anything that offers the Arrow
// PyCapsule interface (__arrow_c_stream__, or __arrow_c_array__), else a one-dimensional buffer of
// integers (a numpy array, an array.array, a strided slice of a 2-D array). The column's memory is
// held until the call ends: the buffer view, or the Arrow arrays taken over from their producer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "core/load/column_ends.hpp"
#include "arrow_c.hpp"
#include "from_python.hpp"

namespace qm::py {

class ColumnIn {
   public:
    ColumnIn() noexcept = default;
    // Attached, like every argument: an Arrow producer's release callback may need the interpreter.
    ~ColumnIn();
    ColumnIn(const ColumnIn&) = delete;
    ColumnIn& operator=(const ColumnIn&) = delete;

    // The values, for the core; the caller names the column.
    Column column;

   private:
    friend struct FromPython<ColumnIn>;
    // Each returns false with an exception set on failure.
    bool read_stream(PyObject* o);
    bool read_array(PyObject* o);
    bool read_buffer(PyObject* o);
    // Takes over an array described by schema as the column's next piece.
    bool add_piece(const ArrowSchema& schema, ArrowArray& array);

    Py_buffer view_{};
    bool holds_view_ = false;
    ArrowSchema schema_{};
    std::vector<ArrowArray> arrays_;
};

template <>
struct FromPython<ColumnIn> {
    static bool convert(PyObject* o, ColumnIn& out);
};

}  // namespace qm::py
