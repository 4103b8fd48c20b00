// The extension module `quillmesh._io`: graphs written to and read from files, file objects and
// pickles (see src/core/io/graph_file.hpp for the format). Each function is described like a method
// of the class (methods.hpp) and runs through the same call protocol: the borrow (shared to save,
// exclusive on the new graph a load fills), detached and stoppable on Ctrl-C, progress reported
// under "io.<name>", the same failure mapping (and quillmesh.io.FormatError for a bad file). The
// package's `quillmesh.io` makes saves atomic and registers the pickle reducer.
#include <cstdint>
#include <vector>

#include "array_out.hpp"
#include "core/io/checksum.hpp"
#include "core/io/graph_file.hpp"
#include "detach.hpp"
#include "entry.hpp"
#include "failures.hpp"
#include "files.hpp"
#include "heap_types.hpp"
#include "methods.hpp"
#include "progress.hpp"

namespace qm::py::io_functions {

using methods::Exclusive;
using methods::Shared;

struct IoFunction : GraphFunction {
    static constexpr const char* report_prefix = "io.";
};

struct Save : Shared, IoFunction {
    static constexpr const char* name = "save";
    static constexpr const char* doc =
        "save(g, file)\n--\n\nWrites g to file, a file descriptor or a binary file object, in the graph file "
        "format.";
    static constexpr std::array params{"g", "file"};
    static void run(const Graph& g, const Interrupt& stop, const FileIn& file) {
        io::write_graph(g, *file.sink(), stop);
    }
};

// A graph read from a source made of `In` into an empty one: the caller makes it, so the read runs
// under its exclusive borrow.
template <class In>
struct ReadsGraph : Exclusive, IoFunction {
    static void run(Graph& g, const Interrupt& stop, const In& in) {
        if (g.node_count() != 0) throw InvalidArgument("a graph is loaded into a new, empty IntGraphCore");
        g = io::read_graph(*in.source(), stop);
    }
};

struct Load : ReadsGraph<FileIn> {
    static constexpr const char* name = "load";
    static constexpr const char* doc =
        "load(g, file)\n--\n\nReads one graph from file, a file descriptor or a binary file object, into g, "
        "which must be empty.";
    static constexpr std::array params{"g", "file"};
};

// The file's bytes as pieces: the sections' data each in a buffer of its own (even positions are the
// small pieces between them), for pickles that hand big buffers over out of band.
struct PiecesOut {
    std::vector<io::PieceSink::Piece> pieces;
};

PyObject* to_python(PiecesOut&& out) {
    Ref tuple(PyTuple_New(static_cast<Py_ssize_t>(out.pieces.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < out.pieces.size(); ++i) {
        PyObject* item = py::to_python(ArrayOut::of(std::move(out.pieces[i].data)));
        if (item == nullptr) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
    }
    return tuple.release();
}

struct Export : Shared, IoFunction {
    static constexpr const char* name = "export";
    static constexpr const char* doc =
        "export(g)\n--\n\nThe graph file of g as a tuple of buffers: the sections' data at odd positions, "
        "what lies between them at even ones.";
    static constexpr std::array params{"g"};
    static PiecesOut run(const Graph& g, const Interrupt& stop) {
        io::PieceSink sink;
        io::write_graph(g, sink, stop);
        return {sink.take()};
    }
};

struct Restore : ReadsGraph<PiecesIn> {
    static constexpr const char* name = "restore";
    static constexpr const char* doc =
        "restore(g, pieces)\n--\n\nReads one graph from the concatenation of pieces, a tuple of bytes-like "
        "objects, into g, which must be empty.";
    static constexpr std::array params{"g", "pieces"};
};

using All = MethodList<Save, Load, Export, Restore>;

auto graph_functions = All::table();

// checksum(data): not a graph function, so outside the table above.
PyObject* checksum(PyObject*, PyObject* data) {
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    const std::uint64_t sum = io::checksum(view.buf, static_cast<std::size_t>(view.len));
    PyBuffer_Release(&view);
    return PyLong_FromUnsignedLongLong(sum);
}

// The table of the module: the graph functions and checksum().
std::array<PyMethodDef, std::tuple_size_v<decltype(graph_functions)> + 1> functions = [] {
    std::array<PyMethodDef, std::tuple_size_v<decltype(graph_functions)> + 1> all{};
    std::size_t k = 0;
    for (const PyMethodDef& d : graph_functions)
        if (d.ml_name != nullptr) all[k++] = d;
    all[k++] = {"checksum", &checksum, METH_O,
                "checksum(data, /)\n--\n\nXXH3-64 (seed 0) of a bytes-like object, as graph files use it."};
    all[k] = {nullptr, nullptr, 0, nullptr};
    return all;
}();

int module_exec(PyObject* module) {
    PyObject* format_error = format_error_type();
    if (graph_type() == nullptr || array_type() == nullptr || progress_channel_type() == nullptr ||
        format_error == nullptr || !remember_main_thread())
        return -1;
    if (PyModule_AddIntConstant(module, "FORMAT_VERSION", io::kFormatVersion) < 0) return -1;
    return PyModule_AddObjectRef(module, "FormatError", format_error);
}

PyModuleDef module_def = module_definition<module_exec>(
    "_io", "Graph files and pickles for IntGraphCore; see quillmesh.io.", functions.data());

}  // namespace qm::py::io_functions

PyMODINIT_FUNC PyInit__io(void) { return PyModuleDef_Init(&qm::py::io_functions::module_def); }
