// Files as arguments: a file descriptor (an int), read and written by the core directly while the
// call is detached, or a binary file object, whose read/readinto and write methods are called
// with the thread re-attached for each piece. Data crosses to Python code in objects of its own
// (bytes written, a bytearray read into), never as views of native memory, so a file object that
// keeps what it was handed cannot reach memory the call frees.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <vector>

#include "core/io/byte_stream.hpp"
#include "from_python.hpp"

namespace qm::py {

class FileIn {
   public:
    FileIn() noexcept = default;
    FileIn(FileIn&& o) noexcept : fd_(o.fd_), file_(o.file_) { o.file_ = nullptr; }
    FileIn& operator=(FileIn&& o) noexcept {
        std::swap(fd_, o.fd_);
        std::swap(file_, o.file_);
        return *this;
    }
    ~FileIn() { Py_XDECREF(file_); }  // attached, like every argument

    // What the core writes to or reads from; made detached, used on the calling thread only.
    std::unique_ptr<io::ByteSink> sink() const;
    std::unique_ptr<io::ByteSource> source() const;

   private:
    friend struct FromPython<FileIn>;
    int fd_ = -1;
    PyObject* file_ = nullptr;
};

template <>
struct FromPython<FileIn> {
    static bool convert(PyObject* o, FileIn& out);
};

// A tuple of bytes-like objects, read one after another (a pickle's pieces).
class PiecesIn {
   public:
    PiecesIn() noexcept = default;
    PiecesIn(PiecesIn&& o) noexcept : views_(std::move(o.views_)) {}
    PiecesIn& operator=(PiecesIn&& o) noexcept {
        std::swap(views_, o.views_);
        return *this;
    }
    ~PiecesIn();

    std::unique_ptr<io::ByteSource> source() const;

   private:
    friend struct FromPython<PiecesIn>;
    std::vector<Py_buffer> views_;
};

template <>
struct FromPython<PiecesIn> {
    static bool convert(PyObject* o, PiecesIn& out);
};

}  // namespace qm::py
