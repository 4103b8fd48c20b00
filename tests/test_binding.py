"""Argument binding and conversion of IntGraphCore methods: messages, accepted values, error mapping."""

import operator

import pytest

from quillmesh._accel import IntGraphCore
from support import METHODS, Index, state

# Methods whose parameters are all node ids: name -> parameter names.
NODE_METHODS = {m.name: m.param_names for m in METHODS if m.params and {p.kind for p in m.params} == {"i64"}}
MyInt = type("MyInt", (int,), {})
MyTypeError = type("MyTypeError", (TypeError,), {})


def call_all(g, name, value):
    return getattr(g, name)(*[value] * len(NODE_METHODS[name]))


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [
        ("add_node", (1, 2), {}, "takes 1 positional arguments but 2 were given"),
        ("add_edge", (1, 2, 3), {"x": 1}, "takes 2 positional arguments but 3 were given"),
        ("has_edge", ("a", "b", "c", "d"), {}, "takes 2 positional arguments but 4 were given"),
        ("add_node", (), {"node": 1}, "got an unexpected keyword argument 'node'"),
        ("add_edge", (1,), {"x": 2, "u": 3}, "got an unexpected keyword argument 'x'"),
        ("degree", (), {"N": 1}, "got an unexpected keyword argument 'N'"),
        ("add_edge", (1,), {"u": 2, "x": 3}, "got multiple values for argument 'u'"),
        ("has_node", (1,), {"n": 2}, "got multiple values for argument 'n'"),
        ("has_edge", (1, 2), {"v": 3}, "got multiple values for argument 'v'"),
        ("add_edge", ("a",), {}, "missing 1 required positional argument: 'v'"),
        ("add_edge", (), {"v": 2}, "missing 1 required positional argument: 'u'"),
        ("add_edge", (), {}, "missing 2 required positional arguments: 'u' and 'v'"),
        ("has_edge", (), {}, "missing 2 required positional arguments: 'u' and 'v'"),
        ("neighbors", (), {}, "missing 1 required positional argument: 'n'"),
    ],
)
def test_binding_messages(name, args, kwargs, message):
    g = IntGraphCore()
    with pytest.raises(TypeError) as info:
        getattr(g, name)(*args, **kwargs)
    assert type(info.value) is TypeError and str(info.value) == f"IntGraphCore.{name}() {message}"
    assert len(g) == 0


@pytest.mark.parametrize("name", NODE_METHODS)
def test_keywords_bind_in_any_order(name):
    g, h = IntGraphCore(), IntGraphCore()
    for graph in (g, h):
        graph.add_edge(1, 2)
    values = dict(zip(NODE_METHODS[name], (1, 2)))
    assert getattr(g, name)(*values.values()) == getattr(h, name)(**dict(reversed(values.items())))
    assert state(g) == state(h)
    for param in values:  # each keyword reaches its own parameter
        with pytest.raises(TypeError, match=f"^argument '{param}': "):
            getattr(g, name)(**{p: "a" if p == param else 1 for p in reversed(values)})


@pytest.mark.parametrize("name", [m.name for m in METHODS if not m.params])
def test_noarg_methods_reject_arguments(name):
    for args, kwargs in [((1,), {}), ((), {"x": 1})]:
        with pytest.raises(TypeError, match=name):
            getattr(IntGraphCore(), name)(*args, **kwargs)


@pytest.mark.parametrize(
    "value, node",
    [(True, 1), (False, 0), (-1, -1), (2**63 - 1, 2**63 - 1), (-(2**63), -(2**63)), (MyInt(5), 5), (Index(-1), -1)],
)
def test_integer_like_values_convert(value, node):
    g = IntGraphCore()
    g.add_edge(value, 3)
    g.add_node(value)
    assert g.has_node(node) and value in g and g.has_edge(3, value) and g.degree(value) == 1
    assert g.neighbors(3) == [node] and type(g.neighbors(3)[0]) is int and g.neighbors(value) == [3]
    assert (len(g), g.number_of_edges()) == (2, 1)


@pytest.mark.parametrize("bad", ["a", 1.0, None, [1], Index("x"), Index(2.5)])
@pytest.mark.parametrize("name", NODE_METHODS)
def test_non_integers_name_the_argument(name, bad):
    g = IntGraphCore()
    with pytest.raises(TypeError) as expected:
        operator.index(bad)  # the interpreter's own text for this value
    params = NODE_METHODS[name]
    for i, param in enumerate(params):
        args = [1] * i + [bad] + [1] * (len(params) - i - 1)
        with pytest.raises(TypeError) as info:
            getattr(g, name)(*args)
        assert type(info.value) is TypeError and str(info.value) == f"argument '{param}': {expected.value}"
    with pytest.raises(TypeError) as info:
        bad in g
    assert str(info.value) == f"argument 'n': {expected.value}"
    assert len(g) == 0


@pytest.mark.parametrize("big", [2**63, -(2**63) - 1, 2**100, Index(2**63), Index(-(2**64))])
@pytest.mark.parametrize("name", NODE_METHODS)
def test_overflow_passes_through_without_name(name, big):
    g = IntGraphCore()
    for attempt in (lambda: call_all(g, name, big), lambda: big in g):
        with pytest.raises(OverflowError) as info:
            attempt()
        assert type(info.value) is OverflowError and "argument" not in str(info.value)


@pytest.mark.parametrize("name", NODE_METHODS)
def test_type_error_is_wrapped_keeping_its_cause(name):
    class Chained:
        def __index__(self):
            try:
                {}["missing"]
            except KeyError as e:
                raise TypeError("boom") from e

    with pytest.raises(TypeError) as info:
        call_all(IntGraphCore(), name, Chained())
    assert type(info.value) is TypeError and str(info.value) == f"argument '{NODE_METHODS[name][0]}': boom"
    assert type(info.value.__cause__) is KeyError and info.value.__cause__.args == ("missing",)
    with pytest.raises(TypeError) as info:
        Index(TypeError("plain")) in IntGraphCore()
    assert str(info.value) == "argument 'n': plain" and info.value.__cause__ is None


@pytest.mark.parametrize("error", [MyTypeError("sub"), ValueError("v"), ZeroDivisionError("z"), KeyError("k")])
@pytest.mark.parametrize("name", NODE_METHODS)
def test_other_errors_pass_through_unchanged(name, error):
    g = IntGraphCore()
    for attempt in (lambda: call_all(g, name, Index(error)), lambda: Index(error) in g):
        with pytest.raises(type(error)) as info:
            attempt()
        assert info.value is error


def test_arguments_convert_in_order_and_stop_at_the_first_failure():
    g, log = IntGraphCore(), []
    g.add_edge(v=Index(2, log, "v"), u=Index(1, log, "u"))
    assert log == ["u", "v"] and g.has_edge(1, 2)
    with pytest.raises(ValueError):
        g.has_edge(Index(ValueError(), log, "u"), Index(2, log, "v"))
    assert log == ["u", "v", "u"]


@pytest.mark.parametrize("u, v", [(10, "a"), ("a", 10), (10, 2**63), (10, Index(ValueError())), (10, Index(MyTypeError()))])
def test_failed_conversion_leaves_the_graph_unchanged(u, v):
    g = IntGraphCore()
    g.add_edge(1, 2)
    before = state(g)
    with pytest.raises((TypeError, ValueError, OverflowError)):
        g.add_edge(u, v)
    assert state(g) == before and not g.has_node(10)
    g.add_edge(2, 3)  # still usable
    assert repr(g) == "IntGraphCore(nodes=3, edges=2)"
