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

# Every public method: name -> (text signature, __doc__). Add a row when a method is added.
METHODS = {
    "add_node": ("($self, n)", None),
    "add_edge": ("($self, u, v)", None),
    "has_edge": ("($self, u, v)", None),
    "has_node": ("($self, n)", None),
    "number_of_nodes": ("($self)", None),
    "number_of_edges": ("($self)", None),
    "neighbors": ("($self, n)", None),
    "degree": ("($self, n)", None),
}


def test_module_surface():
    assert accel.__all__ == ["IntGraphCore"]
    assert accel.__doc__ == ""
    assert accel.IntGraphCore is quillmesh.IntGraphCore
    assert {name for name in vars(accel) if not name.startswith("__")} == {"IntGraphCore"}


def test_class_identity_and_doc():
    assert IntGraphCore.__name__ == IntGraphCore.__qualname__ == "IntGraphCore"
    assert IntGraphCore.__module__ == "quillmesh._accel"
    assert IntGraphCore.__doc__ == "Ultra-fast undirected integer-node graph."
    assert IntGraphCore.__text_signature__ == "()"
    assert IntGraphCore.__bases__ == (object,)


def test_public_methods_are_exactly_the_table():
    public = {name for name in dir(IntGraphCore) if not name.startswith("_")}
    assert public == set(METHODS)


@pytest.mark.parametrize("name", METHODS)
def test_method_signature_and_doc(name):
    signature, doc = METHODS[name]
    method = getattr(IntGraphCore, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc
    assert method.__qualname__ == f"IntGraphCore.{name}"
    params = list(inspect.signature(method).parameters.values())
    assert params[0].name == "self"
    for p in params[1:]:
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD


def test_only_the_expected_special_methods_are_defined():
    own = {name for name in vars(IntGraphCore) if name.startswith("__")}
    assert own == {"__new__", "__len__", "__contains__", "__repr__", "__doc__", "__module__"}


def test_cannot_subclass():
    with pytest.raises(TypeError):
        type("Sub", (IntGraphCore,), {})


def test_no_instance_attributes_or_weakrefs():
    g = IntGraphCore()
    with pytest.raises(AttributeError):
        g.anything = 1
    with pytest.raises(AttributeError):
        g.add_node = None
    assert not hasattr(g, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(g)


def test_default_object_behaviour():
    g, h = IntGraphCore(), IntGraphCore()
    assert bool(g) is False and len(g) == 0
    assert str(g) == repr(g) == "IntGraphCore(nodes=0, edges=0)"
    g.add_edge(1, 2)
    g.add_edge(2, 3)
    assert bool(g) is True
    assert str(g) == repr(g) == "IntGraphCore(nodes=3, edges=2)"
    assert g != h and g == g  # identity comparison
    assert hash(g) == object.__hash__(g)
    with pytest.raises(TypeError):
        iter(g)
    with pytest.raises(TypeError):
        g[1]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "IntGraphCore.__new__() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "IntGraphCore.__new__() takes 0 positional arguments but 2 were given"),
        ((), {"x": 1}, "IntGraphCore.__new__() got an unexpected keyword argument 'x'"),
        ((1,), {"x": 1}, "IntGraphCore.__new__() takes 0 positional arguments but 1 was given"),
    ],
)
def test_constructor_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        IntGraphCore(*args, **kwargs)
    assert str(info.value) == message


def test_instances_are_independent():
    g, h = IntGraphCore(), IntGraphCore()
    g.add_edge(1, 2)
    assert type(g) is IntGraphCore
    assert len(h) == 0 and not h.has_node(1)


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="needs a free-threaded build")
def test_import_keeps_the_gil_disabled():
    code = (
        "import sys; before = sys._is_gil_enabled(); import quillmesh._accel; "
        "print(before, sys._is_gil_enabled())"
    )
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["False", "False"]
    assert "GIL" not in out.stderr  # no "the GIL has been enabled" warning
