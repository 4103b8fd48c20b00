// What the package's extension modules and heap types have in common: how a module is defined, how a
// type is specified and how an instance is freed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace qm::py {

// The slots of every module of the package: its exec step; no global interpreter lock needed; and
// since the types and one-time objects are process-wide, never loaded into a second interpreter.
template <int (*Exec)(PyObject*)>
struct ModuleSlots {
    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(Exec)},
        {Py_mod_gil, Py_MOD_GIL_NOT_USED},
        {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
        {0, nullptr},
    };
};

// A module definition for multi-phase initialisation, with no per-module state.
template <int (*Exec)(PyObject*)>
PyModuleDef module_definition(const char* name, const char* doc, PyMethodDef* functions) {
    return {
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = name,
        .m_doc = doc,
        .m_size = 0,
        .m_methods = functions,
        .m_slots = ModuleSlots<Exec>::slots,
        .m_traverse = nullptr,
        .m_clear = nullptr,
        .m_free = nullptr,
    };
}

// How a heap type whose instances are T is described to the interpreter: by default not
// subclassable, without __dict__ or weak references, and not tracked by the cycle collector (its
// instances hold no Python objects).
template <class T>
constexpr PyType_Spec type_spec(const char* name, PyType_Slot* slots, unsigned int flags = Py_TPFLAGS_DEFAULT) {
    return {.name = name, .basicsize = static_cast<int>(sizeof(T)), .itemsize = 0, .flags = flags, .slots = slots};
}

// Frees an instance of a heap type whose own fields are already destroyed: its memory, then the
// reference to its type that every instance of a heap type holds.
inline void free_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
}

}  // namespace qm::py
