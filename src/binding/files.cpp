// File descriptors, file objects and pickle pieces as the core's byte sinks and sources.
#include "files.hpp"

#include <algorithm>
#include <cstring>

#include "failures.hpp"
#include "ref.hpp"

namespace qm::py {

namespace {

// Bytes handed to a file object's method at a time.
constexpr std::size_t kFilePiece = std::size_t{1} << 20;

// Attaches the calling thread, detached by the operation, for one call into Python.
class Attached {
   public:
    Attached() noexcept : state_(PyGILState_Ensure()) {}
    ~Attached() { PyGILState_Release(state_); }
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;

   private:
    PyGILState_STATE state_;
};

class FileSink final : public io::ByteSink {
   public:
    explicit FileSink(PyObject* file) noexcept : file_(file) {}
    void write(const void* data, std::size_t n) override {
        const auto* p = static_cast<const char*>(data);
        while (n != 0) {
            const std::size_t k = std::min(n, kFilePiece);
            const std::size_t wrote = write_piece(p, k);
            p += wrote;
            n -= wrote;
        }
    }

   private:
    // Hands up to k bytes to file.write(); returns how many it took (at least one).
    std::size_t write_piece(const char* p, std::size_t k) {
        Attached attached;
        Ref bytes(PyBytes_FromStringAndSize(p, static_cast<Py_ssize_t>(k)));
        if (!bytes) throw PythonRaised();
        Ref result(PyObject_CallMethod(file_, "write", "O", bytes.get()));
        if (!result) throw PythonRaised();
        if (result.get() == Py_None) return k;  // text-free writers that return nothing took it all
        const Py_ssize_t took = PyLong_AsSsize_t(result.get());
        if (took == -1 && PyErr_Occurred()) throw PythonRaised();
        if (took <= 0 || static_cast<std::size_t>(took) > k) {
            PyErr_Format(PyExc_OSError, "write() of the file took %zd of %zu bytes", took, k);
            throw PythonRaised();
        }
        return static_cast<std::size_t>(took);
    }

    PyObject* file_;
};

class FileSource final : public io::ByteSource {
   public:
    explicit FileSource(PyObject* file) noexcept : file_(file) {}
    // Dropped by the detached operation: lets the buffer go attached.
    ~FileSource() override {
        if (buffer_) {
            Attached attached;
            buffer_ = Ref();
        }
    }
    FileSource(const FileSource&) = delete;
    FileSource& operator=(const FileSource&) = delete;
    std::size_t read(void* data, std::size_t n) override {
        auto* p = static_cast<char*>(data);
        std::size_t got = 0;
        while (got < n && !ended_) got += read_piece(p + got, std::min(n - got, kFilePiece));
        return got;
    }

   private:
    // Reads up to k bytes into p through readinto() into a bytearray of our own (or read() where
    // the file has no readinto()); zero only at the end of the file.
    std::size_t read_piece(char* p, std::size_t k) {
        Attached attached;
        if (!buffer_) {
            buffer_ = Ref(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(kFilePiece)));
            if (!buffer_) throw PythonRaised();
            has_readinto_ = PyObject_HasAttrStringWithError(file_, "readinto");
            if (has_readinto_ < 0) throw PythonRaised();
        }
        std::size_t got = 0;
        if (has_readinto_ != 0) {
            Ref view(PyMemoryView_FromObject(buffer_.get()));
            if (!view) throw PythonRaised();
            Ref window(PySequence_GetSlice(view.get(), 0, static_cast<Py_ssize_t>(k)));
            if (!window) throw PythonRaised();
            Ref result(PyObject_CallMethod(file_, "readinto", "O", window.get()));
            if (!result) throw PythonRaised();
            // The views go now: a file that kept one would otherwise pin the bytearray's size.
            Ref released(PyObject_CallMethod(window.get(), "release", nullptr));
            if (!released) PyErr_Clear();
            Ref released_view(PyObject_CallMethod(view.get(), "release", nullptr));
            if (!released_view) PyErr_Clear();
            if (result.get() == Py_None) {
                PyErr_SetString(PyExc_OSError, "readinto() of the file returned None (a non-blocking file with no data)");
                throw PythonRaised();
            }
            const Py_ssize_t took = PyLong_AsSsize_t(result.get());
            if (took == -1 && PyErr_Occurred()) throw PythonRaised();
            if (took < 0 || static_cast<std::size_t>(took) > k || PyByteArray_GET_SIZE(buffer_.get()) < took) {
                PyErr_Format(PyExc_OSError, "readinto() of the file reported %zd bytes for %zu", took, k);
                throw PythonRaised();
            }
            got = static_cast<std::size_t>(took);
            std::memcpy(p, PyByteArray_AS_STRING(buffer_.get()), got);
        } else {
            Ref result(PyObject_CallMethod(file_, "read", "n", static_cast<Py_ssize_t>(k)));
            if (!result) throw PythonRaised();
            Py_buffer view;
            if (PyObject_GetBuffer(result.get(), &view, PyBUF_SIMPLE) < 0) throw PythonRaised();
            got = std::min(static_cast<std::size_t>(view.len), k);
            if (got != 0) std::memcpy(p, view.buf, got);
            const bool too_much = static_cast<std::size_t>(view.len) > k;
            PyBuffer_Release(&view);
            if (too_much) {
                PyErr_Format(PyExc_OSError, "read(%zu) of the file returned more bytes", k);
                throw PythonRaised();
            }
        }
        if (got == 0) ended_ = true;
        return got;
    }

    PyObject* file_;
    Ref buffer_;
    int has_readinto_ = 0;
    bool ended_ = false;
};

}  // namespace

std::unique_ptr<io::ByteSink> FileIn::sink() const {
    if (file_ == nullptr) return std::make_unique<io::FdSink>(fd_);
    return std::make_unique<FileSink>(file_);
}

std::unique_ptr<io::ByteSource> FileIn::source() const {
    if (file_ == nullptr) return std::make_unique<io::FdSource>(fd_);
    return std::make_unique<FileSource>(file_);
}

bool FromPython<FileIn>::convert(PyObject* o, FileIn& out) {
    if (PyLong_Check(o)) {
        const int fd = PyLong_AsInt(o);
        if (fd == -1 && PyErr_Occurred()) return false;
        if (fd < 0) {
            PyErr_SetString(PyExc_ValueError, "a file descriptor cannot be negative");
            return false;
        }
        out.fd_ = fd;
        return true;
    }
    int usable = 0;
    for (const char* method : {"write", "readinto", "read"}) {
        const int has = PyObject_HasAttrStringWithError(o, method);
        if (has < 0) return false;
        usable |= has;
    }
    if (usable == 0) {
        PyErr_Format(PyExc_TypeError, "expected a path, a file descriptor or a binary file object, got '%T'", o);
        return false;
    }
    out.file_ = Py_NewRef(o);
    return true;
}

PiecesIn::~PiecesIn() {
    for (Py_buffer& v : views_) PyBuffer_Release(&v);
}

std::unique_ptr<io::ByteSource> PiecesIn::source() const {
    std::vector<std::span<const std::byte>> pieces;
    pieces.reserve(views_.size());
    for (const Py_buffer& v : views_)
        pieces.emplace_back(static_cast<const std::byte*>(v.buf), static_cast<std::size_t>(v.len));
    return std::make_unique<io::PieceSource>(std::move(pieces));
}

bool FromPython<PiecesIn>::convert(PyObject* o, PiecesIn& out) {
    if (!PyTuple_Check(o)) {
        PyErr_Format(PyExc_TypeError, "expected a tuple of bytes-like pieces, got '%T'", o);
        return false;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(o);
    out.views_.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_buffer view;
        if (PyObject_GetBuffer(PyTuple_GET_ITEM(o, i), &view, PyBUF_C_CONTIGUOUS) < 0) return false;
        out.views_.push_back(view);
    }
    return true;
}

}  // namespace qm::py
