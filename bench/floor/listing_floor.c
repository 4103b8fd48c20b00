/* The least a C extension can spend building the listings' result shapes: the same Python objects
 * that degree_sequence() and edges() return, built in the plainest loop, with no graph behind them.
 * Built and timed by listing_floor.py. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* A 2-tuple that takes over both references, kept off the cycle collector's list as the listings
 * keep theirs. */
static PyObject* pair(PyObject* a, PyObject* b) {
    PyObject* t = PyTuple_New(2);
    if (t == NULL) {
        Py_XDECREF(a);
        Py_XDECREF(b);
        return NULL;
    }
    PyTuple_SET_ITEM(t, 0, a);
    PyTuple_SET_ITEM(t, 1, b);
    PyObject_GC_UnTrack(t);
    return t;
}

/* A list of n items: item(i) for each i, or NULL if one is NULL. */
static PyObject* list_of(PyObject* arg, PyObject* (*item)(Py_ssize_t)) {
    Py_ssize_t n = PyLong_AsSsize_t(arg);
    if (n < 0) return NULL;
    PyObject* l = PyList_New(n);
    if (l == NULL) return NULL;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* x = item(i);
        if (x == NULL) {
            Py_DECREF(l);
            return NULL;
        }
        PyList_SET_ITEM(l, i, x);
    }
    return l;
}

static PyObject* degree_of(Py_ssize_t i) { return PyLong_FromLongLong(i % 40); }

static PyObject* node_id(Py_ssize_t i) { return PyLong_FromLongLong(i); }

static PyObject* node_pair(Py_ssize_t i) { return pair(PyLong_FromLongLong(1000000 + i), degree_of(i)); }

/* n small ints (the shape of a bare degree list): cached objects, one reference each. */
static PyObject* small_ints(PyObject* self, PyObject* arg) { return list_of(arg, degree_of); }

/* n node ids 0..n-1 (the shape of nodes()): a new int for every id from 256 up. */
static PyObject* node_ids(PyObject* self, PyObject* arg) { return list_of(arg, node_id); }

/* n (node, degree) pairs: a new int for every node id, a small int for its degree. */
static PyObject* node_pairs(PyObject* self, PyObject* arg) { return list_of(arg, node_pair); }

/* m (u, v) pairs listed node by node, `per` edges a node: one int per node for u, shared by its
 * edges, and a new int for every v. */
static PyObject* edge_pairs(PyObject* self, PyObject* args) {
    Py_ssize_t m, per;
    if (!PyArg_ParseTuple(args, "nn", &m, &per) || m < 0 || per < 1) return NULL;
    PyObject* l = PyList_New(m);
    if (l == NULL) return NULL;
    PyObject* first = NULL;
    for (Py_ssize_t i = 0; i < m; ++i) {
        if (i % per == 0) {
            Py_XDECREF(first);
            first = PyLong_FromLongLong(1000000 + i / per);
            if (first == NULL) goto fail;
        }
        PyObject* t = pair(Py_NewRef(first), PyLong_FromLongLong(1000000 + (i * 7919) % 1000003));
        if (t == NULL) goto fail;
        PyList_SET_ITEM(l, i, t);
    }
    Py_XDECREF(first);
    return l;
fail:
    Py_XDECREF(first);
    Py_DECREF(l);
    return NULL;
}

static PyMethodDef methods[] = {
    {"node_ids", node_ids, METH_O, NULL},
    {"small_ints", small_ints, METH_O, NULL},
    {"node_pairs", node_pairs, METH_O, NULL},
    {"edge_pairs", edge_pairs, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyModuleDef_Slot slots[] = {
#ifdef Py_GIL_DISABLED
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "listing_floor", NULL, 0, methods, slots};

PyMODINIT_FUNC PyInit_listing_floor(void) { return PyModuleDef_Init(&module); }
