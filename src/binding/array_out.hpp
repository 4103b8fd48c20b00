// Results handed to Python as arrays: native memory wrapped, without a copy, in a small object that
// offers the buffer protocol with the array's element format and shape, so that numpy.asarray(),
// memoryview() and anything else that reads buffers see an int64/int32/float64 array of one or two
// dimensions. The object owns the memory the core filled (a HugeArray, a BigVector) and frees it
// when the last view of it goes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>

#include "core/base/huge_pages.hpp"

namespace qm::py {

template <class T>
constexpr const char* buffer_format() {
    static_assert(sizeof(long) == sizeof(std::int64_t), "int64 results are described as C long");
    if constexpr (std::is_same_v<T, std::int64_t>) {
        return "l";
    } else if constexpr (std::is_same_v<T, std::int32_t>) {
        return "i";
    } else if constexpr (std::is_same_v<T, std::uint8_t>) {
        return "B";
    } else {
        static_assert(std::is_same_v<T, double>, "no buffer format for this element type");
        return "d";
    }
}

class ArrayOut {
   public:
    // An array of `rows` x `columns` values (one dimension when columns is 1) held by `holder`,
    // which keeps them at data.
    template <class T, class Holder>
    static ArrayOut hold(Holder&& holder, std::size_t columns) {
        auto owner = std::make_shared<std::decay_t<Holder>>(std::forward<Holder>(holder));
        ArrayOut a;
        a.data_ = const_cast<std::remove_const_t<T>*>(owner->data());
        a.format_ = buffer_format<T>();
        a.itemsize_ = sizeof(T);
        a.ndim_ = columns == 1 ? 1 : 2;
        a.shape_[0] = static_cast<Py_ssize_t>(owner->size() / columns);
        a.shape_[1] = static_cast<Py_ssize_t>(columns);
        a.strides_[0] = static_cast<Py_ssize_t>(columns * sizeof(T));
        a.strides_[1] = static_cast<Py_ssize_t>(sizeof(T));
        a.owner_ = std::move(owner);
        return a;
    }
    // An array the core filled (a HugeArray, a BigVector, an EndArray), taken over.
    template <class Array>
        requires(!std::is_lvalue_reference_v<Array>)
    static ArrayOut of(Array&& a, std::size_t columns = 1) {
        using T = std::remove_const_t<std::remove_pointer_t<decltype(a.data())>>;
        return hold<T>(std::move(a), columns);
    }

    // Fills a buffer view of the array for `exporter`, the object that holds it.
    int fill(PyObject* exporter, Py_buffer* view, int flags) const noexcept;

   private:
    std::shared_ptr<void> owner_;
    void* data_ = nullptr;
    const char* format_ = nullptr;
    Py_ssize_t itemsize_ = 0;
    int ndim_ = 1;
    Py_ssize_t shape_[2] = {0, 1};
    Py_ssize_t strides_[2] = {0, 0};
};

// Two arrays returned together, as a tuple.
struct ArrayPairOut {
    ArrayOut first, second;
};

// The type of the objects that carry arrays to Python, built on first use.
PyTypeObject* array_type();

// A new object that holds the array and exports it through the buffer protocol.
PyObject* to_python(ArrayOut&& a);
PyObject* to_python(ArrayPairOut&& pair);

}  // namespace qm::py
