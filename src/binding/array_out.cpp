// The object that carries an array result to Python (see array_out.hpp).
#include "array_out.hpp"

#include <new>

#include "heap_types.hpp"
#include "once.hpp"
#include "ref.hpp"

namespace qm::py {

int ArrayOut::fill(PyObject* exporter, Py_buffer* view, int flags) const noexcept {
    view->obj = Py_NewRef(exporter);
    view->buf = data_;
    view->len = shape_[0] * shape_[1] * itemsize_;
    view->readonly = 0;
    view->itemsize = itemsize_;
    view->format = (flags & PyBUF_FORMAT) != 0 ? const_cast<char*>(format_) : nullptr;
    view->ndim = ndim_;
    // C-contiguous, so a consumer that asks for no shape may read it as plain bytes.
    view->shape = (flags & PyBUF_ND) == PyBUF_ND ? const_cast<Py_ssize_t*>(shape_) : nullptr;
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? const_cast<Py_ssize_t*>(strides_) : nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

namespace {

struct ArrayObject {
    PyObject_HEAD
    ArrayOut array;
};

int array_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    return reinterpret_cast<ArrayObject*>(self)->array.fill(self, view, flags);
}

void array_dealloc(PyObject* self) {
    reinterpret_cast<ArrayObject*>(self)->array.~ArrayOut();
    free_instance(self);
}

PyType_Slot array_slots[] = {
    {Py_tp_doc, const_cast<char*>("Memory of a quillmesh array result, read through the buffer protocol.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(&array_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(&array_getbuffer)},
    {0, nullptr},
};

PyType_Spec array_spec = type_spec<ArrayObject>("quillmesh._arrays.ResultBuffer", array_slots,
                                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION);

OnceObject array_type_once;

}  // namespace

PyTypeObject* array_type() {
    return reinterpret_cast<PyTypeObject*>(array_type_once.get([] { return PyType_FromSpec(&array_spec); }));
}

PyObject* to_python(ArrayOut&& a) {
    PyTypeObject* type = array_type();
    if (type == nullptr) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<ArrayObject*>(self)->array) ArrayOut(std::move(a));
    return self;
}

PyObject* to_python(ArrayPairOut&& pair) {
    Ref first(to_python(std::move(pair.first)));
    if (!first) return nullptr;
    Ref second(to_python(std::move(pair.second)));
    if (!second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
}

}  // namespace qm::py
