"""The module and the IntGraphCore class as Python sees them: names, docs, signatures, type flags."""

import inspect
import sysconfig
import weakref

import pytest

import quillmesh
import quillmesh._accel as accel
from quillmesh._accel import IntGraphCore
from support import METHOD, METHODS, SPECIALS, finish_python, start_python


def test_module_and_class_identity():
    assert accel.__all__ == ["IntGraphCore"] and accel.__doc__ == ""
    assert {name for name in vars(accel) if not name.startswith("__")} == {"IntGraphCore"}
    assert quillmesh.IntGraphCore is IntGraphCore
    assert IntGraphCore.__name__ == IntGraphCore.__qualname__ == "IntGraphCore"
    assert IntGraphCore.__module__ == "quillmesh._accel" and IntGraphCore.__bases__ == (object,)
    assert IntGraphCore.__doc__ == "Ultra-fast undirected integer-node graph."
    assert IntGraphCore.__text_signature__ == "()"


def test_class_defines_exactly_the_listed_members():
    assert [name for name in vars(IntGraphCore) if not name.startswith("_")] == [m.name for m in METHODS]
    own_dunders = {name for name in vars(IntGraphCore) if name.startswith("__")}
    assert own_dunders == {"__new__", "__doc__", "__module__"} | {m.name for m in SPECIALS}


@pytest.mark.parametrize("name", [m.name for m in METHODS])
def test_method_signature_and_doc(name):
    method = getattr(IntGraphCore, name)
    assert (method.__text_signature__, method.__doc__) == (METHOD[name].signature, METHOD[name].doc)
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
    run = finish_python(start_python(code, unset=["PYTHON_GIL"]))
    assert run.stdout_text.split() == ["False", "False"] and "GIL" not in run.stderr_text
