// Reading columns of integers from Arrow producers and buffers (see columns_in.hpp).
#include "columns_in.hpp"

#include <cstring>
#include <optional>
#include <string_view>

#include "ref.hpp"

namespace qm::py {

namespace {

constexpr const char* kExpected =
    "expected a column of integers: an object with the Arrow PyCapsule interface or a one-dimensional buffer";

std::optional<ColumnType> column_type(bool is_signed, Py_ssize_t width) {
    switch (width) {
        case 1: return is_signed ? ColumnType::I8 : ColumnType::U8;
        case 2: return is_signed ? ColumnType::I16 : ColumnType::U16;
        case 4: return is_signed ? ColumnType::I32 : ColumnType::U32;
        case 8: return is_signed ? ColumnType::I64 : ColumnType::U64;
        default: return std::nullopt;
    }
}

// The type and width of an Arrow integer format ("l" is int64, "I" uint32, ...).
std::optional<std::pair<ColumnType, Py_ssize_t>> arrow_integer(std::string_view format) {
    constexpr std::string_view kSigned = "csil", kUnsigned = "CSIL";
    if (format.size() != 1) return std::nullopt;
    for (std::size_t k = 0; k < kSigned.size(); ++k) {
        const auto width = static_cast<Py_ssize_t>(1) << k;
        if (format[0] == kSigned[k]) return std::pair{*column_type(true, width), width};
        if (format[0] == kUnsigned[k]) return std::pair{*column_type(false, width), width};
    }
    return std::nullopt;
}

// The struct a capsule holds, moved out of it: the capsule's release callback is cleared, so the
// struct is now ours to release. Null with an exception set when the capsule is not one.
template <class T>
bool take_from_capsule(PyObject* capsule, const char* name, T& out) {
    auto* p = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
    if (p == nullptr) return false;
    if (p->release == nullptr) {
        PyErr_Format(PyExc_ValueError, "the %s capsule was already consumed", name);
        return false;
    }
    out = *p;
    p->release = nullptr;
    return true;
}

// Calls o.method() and returns its result, or null with an exception set.
Ref call_protocol(PyObject* o, const char* method) { return Ref(PyObject_CallMethod(o, method, nullptr)); }

}  // namespace

ColumnIn::~ColumnIn() {
    for (ArrowArray& a : arrays_)
        if (a.release != nullptr) a.release(&a);
    if (schema_.release != nullptr) schema_.release(&schema_);
    if (holds_view_) PyBuffer_Release(&view_);
}

bool ColumnIn::add_piece(const ArrowSchema& schema, ArrowArray& array) {
    arrays_.push_back(array);  // ours to release from here on, whatever happens next
    array.release = nullptr;
    const ArrowArray& a = arrays_.back();
    const std::string_view format = schema.format != nullptr ? schema.format : "";
    if (schema.dictionary != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s, got a dictionary-encoded Arrow column", kExpected);
        return false;
    }
    if (format == "n") {  // the null type: every value is null, and no buffer holds any
        if (a.length > 0) column.pieces.push_back(ColumnPiece{.data = nullptr, .length = static_cast<std::size_t>(a.length)});
        return true;
    }
    const auto integer = arrow_integer(format);
    if (!integer) {
        PyErr_Format(PyExc_TypeError, "%s, got an Arrow column of format '%s'", kExpected, schema.format);
        return false;
    }
    if (a.length < 0 || a.offset < 0 || a.n_buffers != 2 || a.buffers == nullptr) {
        PyErr_SetString(PyExc_ValueError, "malformed Arrow array: an integer array has two buffers");
        return false;
    }
    if (a.length == 0) return true;
    ColumnPiece piece;
    piece.type = integer->first;
    piece.stride = integer->second;
    piece.length = static_cast<std::size_t>(a.length);
    piece.data = static_cast<const char*>(a.buffers[1]) + a.offset * integer->second;
    if (a.null_count != 0 && a.buffers[0] != nullptr) {
        piece.validity = static_cast<const std::uint8_t*>(a.buffers[0]);
        piece.validity_offset = static_cast<std::size_t>(a.offset);
    }
    column.pieces.push_back(piece);
    return true;
}

bool ColumnIn::read_array(PyObject* o) {
    Ref pair = call_protocol(o, "__arrow_c_array__");
    if (!pair) return false;
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
        PyErr_SetString(PyExc_TypeError, "__arrow_c_array__() must return a (schema, array) pair of capsules");
        return false;
    }
    ArrowArray array{};
    if (!take_from_capsule(PyTuple_GET_ITEM(pair.get(), 0), "arrow_schema", schema_)) return false;
    if (!take_from_capsule(PyTuple_GET_ITEM(pair.get(), 1), "arrow_array", array)) return false;
    return add_piece(schema_, array);
}

bool ColumnIn::read_stream(PyObject* o) {
    Ref capsule = call_protocol(o, "__arrow_c_stream__");
    if (!capsule) return false;
    ArrowArrayStream stream{};
    if (!take_from_capsule(capsule.get(), "arrow_array_stream", stream)) return false;
    struct Release {
        ArrowArrayStream& s;
        ~Release() { s.release(&s); }
    } release{stream};
    auto failed = [&](int code) {
        const char* text = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
        PyErr_Format(PyExc_RuntimeError, "reading the Arrow stream failed (error %d): %s", code,
                     text != nullptr ? text : "no message");
        return false;
    };
    if (int code = stream.get_schema(&stream, &schema_); code != 0) return failed(code);
    for (;;) {
        ArrowArray array{};
        if (int code = stream.get_next(&stream, &array); code != 0) return failed(code);
        if (array.release == nullptr) return true;  // the end of the stream
        if (!add_piece(schema_, array)) return false;
    }
}

bool ColumnIn::read_buffer(PyObject* o) {
    if (PyObject_GetBuffer(o, &view_, PyBUF_STRIDES | PyBUF_FORMAT) < 0) return false;
    holds_view_ = true;
    if (view_.ndim != 1) {
        PyErr_Format(PyExc_TypeError, "%s, got a buffer of %d dimensions", kExpected, view_.ndim);
        return false;
    }
    // Native byte order and alignment ('@', '=' or '<' on this little-endian platform), then one
    // integer code; the width is the item size, which also covers the standard sizes of '=' and '<'.
    std::string_view format = view_.format != nullptr ? view_.format : "B";
    if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == '<')) format.remove_prefix(1);
    constexpr std::string_view kSigned = "bhilqn", kUnsigned = "BHILQN";
    std::optional<ColumnType> type;
    if (format.size() == 1 && kSigned.find(format[0]) != std::string_view::npos) {
        type = column_type(true, view_.itemsize);
    } else if (format.size() == 1 && kUnsigned.find(format[0]) != std::string_view::npos) {
        type = column_type(false, view_.itemsize);
    }
    if (!type) {
        PyErr_Format(PyExc_TypeError, "%s, got a buffer of format '%s'", kExpected, view_.format);
        return false;
    }
    if (view_.shape[0] > 0) {
        column.pieces.push_back(ColumnPiece{.data = view_.buf,
                                            .length = static_cast<std::size_t>(view_.shape[0]),
                                            .stride = view_.strides[0],
                                            .type = *type});
    }
    return true;
}

bool FromPython<ColumnIn>::convert(PyObject* o, ColumnIn& out) {
    int has = PyObject_HasAttrStringWithError(o, "__arrow_c_stream__");
    if (has < 0) return false;
    if (has > 0) return out.read_stream(o);
    has = PyObject_HasAttrStringWithError(o, "__arrow_c_array__");
    if (has < 0) return false;
    if (has > 0) return out.read_array(o);
    if (PyObject_CheckBuffer(o)) return out.read_buffer(o);
    Ref name(PyType_GetQualName(Py_TYPE(o)));
    if (!name) return false;
    PyErr_Format(PyExc_TypeError, "%s, got '%U'", kExpected, name.get());
    return false;
}

}  // namespace qm::py
