// Edge listings as Python lists (see to_python.hpp).
#include "to_python.hpp"

namespace qm::py {

namespace {

// The int object of the id an edge listing gave as a first end last, reused while the next edge
// starts with the same id. A listing gives all edges of a node together, so this makes one object
// per node instead of one per edge for the first ends.
class LastFirstEnd {
   public:
    // A new reference to the int of id, or null with the interpreter's exception.
    PyObject* get(NodeId id) {
        if (!obj_ || id != id_) {
            obj_ = Ref(PyLong_FromLongLong(id));
            if (!obj_) return nullptr;
            id_ = id;
        }
        return Py_NewRef(obj_.get());
    }

   private:
    Ref obj_;
    NodeId id_ = 0;
};

}  // namespace

PyObject* to_python(const EdgeListingOut& v) {
    LastFirstEnd first_end;
    const std::size_t step = v.paired ? 2 : 1;
    const std::size_t items = v.ends.size() / step;
    Ref list(PyList_New(static_cast<Py_ssize_t>(items)));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < items; ++k) {
        PyObject* item;
        if (v.paired) {
            PyObject* first = first_end.get(v.ends[2 * k]);
            item = number_pair(first, first == nullptr ? nullptr : PyLong_FromLongLong(v.ends[2 * k + 1]));
        } else {
            item = k % 2 == 0 ? first_end.get(v.ends[k]) : PyLong_FromLongLong(v.ends[k]);
        }
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
}

}  // namespace qm::py
