// The extension module `quillmesh._accel`: its definition (multi-phase initialisation, no global
// interpreter lock needed) and the exec step that publishes IntGraphCore. The class itself is in
// graph_type.cpp, in the library this module shares with the package's other modules.
#include "detach.hpp"
#include "failures.hpp"
#include "heap_types.hpp"
#include "instance.hpp"
#include "once.hpp"
#include "ref.hpp"

namespace qm::py {
namespace {

OnceObject all_name_once;

// ---- the module

int module_exec(PyObject* module) {
    if (!PyModule_Check(module)) {
        raise_not_instance(module, "PyModule");
        return -1;
    }
    PyTypeObject* type = graph_type();
    if (type == nullptr) return -1;
    if (!remember_main_thread()) return -1;
    PyObject* all_name = all_name_once.get([] { return PyUnicode_InternFromString("__all__"); });
    if (all_name == nullptr) return -1;

    Ref all(PyObject_GetAttr(module, all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = Ref(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name, all.get()) < 0) return -1;
    } else if (!PyList_Check(all.get())) {
        raise_not_instance(all.get(), "PyList");
        return -1;
    }
    Ref class_name(PyUnicode_FromString("IntGraphCore"));
    if (!class_name || PyList_Append(all.get(), class_name.get()) < 0) return -1;
    return PyModule_AddObjectRef(module, "IntGraphCore", reinterpret_cast<PyObject*>(type));
}

PyModuleDef module_def = module_definition<module_exec>("_accel", "", nullptr);

}  // namespace

}  // namespace qm::py

PyMODINIT_FUNC PyInit__accel(void) { return PyModuleDef_Init(&qm::py::module_def); }
