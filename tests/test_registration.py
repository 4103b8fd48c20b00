"""The module and the IntGraphCore class as Python sees them: names, docs, signatures, type flags."""

import inspect
import os
import subprocess
import sys
import sysconfig
import weakref

import pytest

import quillmesh
import quillmesh._accel as accel
from quillmesh._accel import IntGraphCore

# Every public method in registration order: name -> (text signature, __doc__).
METHODS = {
    "add_node": ("($self, n)", None),
    "add_edge": ("($self, u, v)", None),
    "add_edges_from": ("($self, edges)", None),
    "add_edges_flat": ("($self, flat)", None),
    "add_nodes_from": ("($self, nodes)", None),
    "has_edge": ("($self, u, v)", None),
    "build_random": (
        "($self, n, m, seed=42)",
        "Native bulk random graph generation (Erős-Rényi G_{n,m} style)\n"
        "Bypasses Python list allocations for massive benchmarks.",
    ),
    "has_node": ("($self, n)", None),
    "number_of_nodes": ("($self)", None),
    "number_of_edges": ("($self)", None),
    "neighbors": ("($self, n)", None),
    "degree": ("($self, n)", None),
    "nodes": ("($self)", None),
    "edges": ("($self)", None),
    "edges_flat": ("($self)", None),
    "degree_sequence": ("($self)", None),
    "has_edges": ("($self, edges)", None),
    "triangle_count": (
        "($self)",
        "Triangle counting using CSR sorted merge-intersection.\n"
        "The sorted adjacency in CSR enables SIMD-friendly sequential scans.",
    ),
    "connected_component_sizes": ("($self)", "Connected components via parallel BFS."),
    "shortest_path_length": ("($self, source, target)", None),
    "subgraph_edge_count": ("($self, nodes)", None),
    "pagerank": (
        "($self, damping=0.85, max_iter=100, tol=1e-6)",
        "SIMD-friendly PageRank using contiguous f64 arrays + rayon parallel scatter.",
    ),
}


def test_module_and_class_identity():
    assert accel.__all__ == ["IntGraphCore"] and accel.__doc__ == ""
    assert {name for name in vars(accel) if not name.startswith("__")} == {"IntGraphCore"}
    assert quillmesh.IntGraphCore is IntGraphCore
    assert IntGraphCore.__name__ == IntGraphCore.__qualname__ == "IntGraphCore"
    assert IntGraphCore.__module__ == "quillmesh._accel" and IntGraphCore.__bases__ == (object,)
    assert IntGraphCore.__doc__ == "Ultra-fast undirected integer-node graph."
    assert IntGraphCore.__text_signature__ == "()"


def test_class_defines_exactly_the_listed_members():
    assert [name for name in vars(IntGraphCore) if not name.startswith("_")] == list(METHODS)
    own_dunders = {name for name in vars(IntGraphCore) if name.startswith("__")}
    assert own_dunders == {"__new__", "__len__", "__contains__", "__repr__", "__doc__", "__module__"}


@pytest.mark.parametrize("name", METHODS)
def test_method_signature_and_doc(name):
    method = getattr(IntGraphCore, name)
    assert (method.__text_signature__, method.__doc__) == METHODS[name]
    assert method.__qualname__ == f"IntGraphCore.{name}"
    params = list(inspect.signature(method).parameters.values())
    assert params[0].name == "self"
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params[1:])


def test_no_subclass_no_attributes_no_weakrefs():
    with pytest.raises(TypeError):
        type("Sub", (IntGraphCore,), {})
    g = IntGraphCore()
    for attr in ("anything", "add_node"):
        with pytest.raises(AttributeError):
            setattr(g, attr, 1)
    assert not hasattr(g, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(g)


def test_default_object_behaviour():
    g, h = IntGraphCore(), IntGraphCore()
    assert bool(g) is False
    assert str(g) == repr(g) == "IntGraphCore(nodes=0, edges=0)"
    g.add_edge(1, 2)
    g.add_edge(2, 3)
    assert bool(g) is True and str(g) == repr(g) == "IntGraphCore(nodes=3, edges=2)"
    assert g != h and hash(g) == object.__hash__(g)  # identity semantics


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "takes 0 positional arguments but 1 was given"),
        ((1, 2), {"x": 1}, "takes 0 positional arguments but 2 were given"),
        ((), {"x": 1}, "got an unexpected keyword argument 'x'"),
    ],
)
def test_constructor_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        IntGraphCore(*args, **kwargs)
    assert str(info.value) == f"IntGraphCore.__new__() {message}"


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded build")
def test_import_keeps_the_gil_disabled():
    code = "import sys; a = sys._is_gil_enabled(); import quillmesh._accel; print(a, sys._is_gil_enabled())"
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["False", "False"] and "GIL" not in out.stderr
