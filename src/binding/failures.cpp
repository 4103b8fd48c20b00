// The exceptions the binding layer raises itself, and the PanicException type.
#include "failures.hpp"

#include <cstring>

#include "once.hpp"
#include "ref.hpp"

namespace qm::py {

void raise_not_instance(PyObject* obj, const char* target) {
    Ref name(PyType_GetQualName(Py_TYPE(obj)));
    if (!name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), target);
}

void apply_argument_error_rule(const char* name) {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr || !Py_IS_TYPE(raised, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
        PyErr_SetRaisedException(raised);
        return;
    }
    Ref original(raised);
    Ref text(PyUnicode_FromFormat("argument '%s': %S", name, original.get()));
    if (!text) return;
    PyObject* wrapped = PyObject_CallOneArg(PyExc_TypeError, text.get());
    if (wrapped == nullptr) return;
    PyException_SetCause(wrapped, PyException_GetCause(original.get()));  // steals the new reference
    PyErr_SetRaisedException(wrapped);
}

namespace {

OnceObject panic_type_once;

PyObject* panic_type() {
    return panic_type_once.get([] {
        return PyErr_NewExceptionWithDoc(
            "pyo3_runtime.PanicException",
            "An internal fault of quillmesh: an operation met a condition it cannot recover from.\n\n"
            "It derives from BaseException, so `except Exception` does not catch it.",
            PyExc_BaseException, nullptr);
    });
}

}  // namespace

void raise_panic(const char* message) {
    PyObject* type = panic_type();
    if (type == nullptr) return;
    Ref text(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
    if (!text) return;
    PyObject* exc = PyObject_CallOneArg(type, text.get());
    if (exc == nullptr) return;
    PyErr_SetRaisedException(exc);
}

namespace {

OnceObject format_error_once;

}  // namespace

PyObject* format_error_type() {
    return format_error_once.get([] {
        return PyErr_NewExceptionWithDoc(
            "quillmesh.io.FormatError",
            "A graph file (or pickle) that is damaged, forged or not a graph file; the message says what is "
            "wrong.",
            PyExc_ValueError, nullptr);
    });
}

void raise_os_error(const std::system_error& e) {
    const int code = e.code().value();
    Ref args(Py_BuildValue("(is)", code, std::strerror(code)));
    if (!args) return;
    PyObject* exc = PyObject_Call(PyExc_OSError, args.get(), nullptr);  // the errno's subclass
    if (exc != nullptr) PyErr_SetRaisedException(exc);
}

void raise_interrupted() {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
}

}  // namespace qm::py
