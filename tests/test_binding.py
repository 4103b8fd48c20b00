"""Argument binding and conversion of IntGraphCore methods: messages, accepted values, error mapping."""

import operator

import pytest

from quillmesh._accel import IntGraphCore

# Methods taking node ids: name -> parameter names. Every parameter is a required signed 64-bit id.
NODE_METHODS = {
    "add_node": ("n",),
    "add_edge": ("u", "v"),
    "has_edge": ("u", "v"),
    "has_node": ("n",),
    "neighbors": ("n",),
    "degree": ("n",),
}
NOARG_METHODS = ["number_of_nodes", "number_of_edges"]


class Index:
    """An integer-like object; records each conversion in `log`."""

    def __init__(self, value, log=None, tag=None):
        self.value, self.log, self.tag = value, log, tag

    def __index__(self):
        if self.log is not None:
            self.log.append(self.tag)
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


def interpreter_message(obj):
    with pytest.raises(TypeError) as info:
        operator.index(obj)
    return str(info.value)


def state(g):
    return repr(g), {n: sorted(g.neighbors(n)) for n in range(-3, 10) if g.has_node(n)}


def call(g, name, *args, **kwargs):
    return getattr(g, name)(*args, **kwargs)


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [
        ("add_node", (1, 2), {}, "takes 1 positional arguments but 2 were given"),
        ("add_edge", (1, 2, 3), {}, "takes 2 positional arguments but 3 were given"),
        ("has_edge", (1, 2, 3, 4), {}, "takes 2 positional arguments but 4 were given"),
        ("add_edge", (1, 2, 3), {"x": 1}, "takes 2 positional arguments but 3 were given"),
        ("add_edge", ("a", "b", "c"), {}, "takes 2 positional arguments but 3 were given"),
        ("add_node", (), {"node": 1}, "got an unexpected keyword argument 'node'"),
        ("add_edge", (1, 2), {"w": 3}, "got an unexpected keyword argument 'w'"),
        ("add_edge", (), {"x": 1}, "got an unexpected keyword argument 'x'"),
        ("add_edge", (1,), {"x": 2, "u": 3}, "got an unexpected keyword argument 'x'"),
        ("add_edge", (1,), {"U": 2}, "got an unexpected keyword argument 'U'"),
        ("add_edge", (1,), {"u": 2}, "got multiple values for argument 'u'"),
        ("add_edge", (1,), {"u": 2, "x": 3}, "got multiple values for argument 'u'"),
        ("add_node", (1,), {"n": 2}, "got multiple values for argument 'n'"),
        ("has_edge", (1, 2), {"v": 3}, "got multiple values for argument 'v'"),
        ("add_edge", (1,), {}, "missing 1 required positional argument: 'v'"),
        ("add_edge", ("a",), {}, "missing 1 required positional argument: 'v'"),
        ("add_edge", (), {"v": 2}, "missing 1 required positional argument: 'u'"),
        ("add_edge", (), {}, "missing 2 required positional arguments: 'u' and 'v'"),
        ("has_edge", (), {}, "missing 2 required positional arguments: 'u' and 'v'"),
        ("add_node", (), {}, "missing 1 required positional argument: 'n'"),
        ("neighbors", (), {}, "missing 1 required positional argument: 'n'"),
        ("degree", (), {}, "missing 1 required positional argument: 'n'"),
    ],
)
def test_binding_messages(name, args, kwargs, message):
    g = IntGraphCore()
    with pytest.raises(TypeError) as info:
        call(g, name, *args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == f"IntGraphCore.{name}() {message}"
    assert repr(g) == "IntGraphCore(nodes=0, edges=0)"


@pytest.mark.parametrize("name", NODE_METHODS)
def test_every_parameter_binds_by_keyword_in_any_order(name):
    g, h = IntGraphCore(), IntGraphCore()
    for graph in (g, h):
        graph.add_edge(1, 2)
    params = NODE_METHODS[name]
    values = dict(zip(params, (1, 2)))
    assert call(g, name, *values.values()) == call(h, name, **dict(reversed(values.items())))
    assert state(g) == state(h)
    for param in params:  # each keyword reaches its own parameter
        kwargs = {p: "a" if p == param else 1 for p in reversed(params)}
        with pytest.raises(TypeError, match=f"^argument '{param}': "):
            call(g, name, **kwargs)


@pytest.mark.parametrize("name", NOARG_METHODS)
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_noarg_methods_reject_arguments(name, args, kwargs):
    with pytest.raises(TypeError, match=name):
        call(IntGraphCore(), name, *args, **kwargs)


class MyInt(int):
    pass


@pytest.mark.parametrize(
    "value, node",
    [
        (True, 1),
        (False, 0),
        (-1, -1),
        (0, 0),
        (2**63 - 1, 2**63 - 1),
        (-(2**63), -(2**63)),
        (MyInt(5), 5),
        (Index(7), 7),
        (Index(-1), -1),
    ],
)
def test_integer_like_values_convert(value, node):
    g = IntGraphCore()
    g.add_edge(value, 3)
    g.add_node(value)
    assert g.has_node(node) and node in g and value in g
    assert g.has_edge(3, value) and g.degree(value) == 1
    assert g.neighbors(3) == [node] and type(g.neighbors(3)[0]) is int
    assert g.number_of_nodes() == 2 and g.number_of_edges() == 1


@pytest.mark.parametrize("bad", ["a", 1.0, None, [1], Index("x"), Index(2.5)])
@pytest.mark.parametrize("name", NODE_METHODS)
def test_non_integers_name_the_argument(name, bad):
    g = IntGraphCore()
    params = NODE_METHODS[name]
    expected = interpreter_message(bad)
    for i, param in enumerate(params):
        args = [1] * len(params)
        args[i] = bad
        with pytest.raises(TypeError) as info:
            call(g, name, *args)
        assert type(info.value) is TypeError
        assert str(info.value) == f"argument '{param}': {expected}"
    with pytest.raises(TypeError) as info:
        bad in g
    assert str(info.value) == f"argument 'n': {expected}"
    assert repr(g) == "IntGraphCore(nodes=0, edges=0)"


def test_interpreter_texts():
    g = IntGraphCore()
    for attempt in (lambda: g.add_node("a"), lambda: "a" in g):
        with pytest.raises(TypeError) as info:
            attempt()
        assert str(info.value) == "argument 'n': 'str' object cannot be interpreted as an integer"
    with pytest.raises(TypeError) as info:
        g.add_node(Index("x"))
    assert str(info.value) == "argument 'n': __index__ returned non-int (type str)"


@pytest.mark.parametrize("big", [2**63, -(2**63) - 1, 2**100, Index(2**63), Index(-(2**64))])
@pytest.mark.parametrize("name", NODE_METHODS)
def test_overflow_passes_through_without_name(name, big):
    g = IntGraphCore()
    with pytest.raises(OverflowError) as info:
        call(g, name, *([big] * len(NODE_METHODS[name])))
    assert type(info.value) is OverflowError
    assert "argument" not in str(info.value)
    with pytest.raises(OverflowError):
        big in g


@pytest.mark.parametrize("name", NODE_METHODS)
def test_type_error_is_wrapped_with_the_original_cause(name):
    root = KeyError("root")
    original = TypeError("boom")
    original.__cause__ = root
    with pytest.raises(TypeError) as info:
        call(IntGraphCore(), name, *[Index(original)] * len(NODE_METHODS[name]))
    wrapped = info.value
    assert type(wrapped) is TypeError and wrapped is not original
    assert str(wrapped) == f"argument '{NODE_METHODS[name][0]}': boom"
    assert wrapped.__cause__ is root


def test_type_error_raised_from_another_exception():
    class Chained:
        def __index__(self):
            try:
                {}["missing"]
            except KeyError as e:
                raise TypeError("bad id") from e

    with pytest.raises(TypeError) as info:
        IntGraphCore().add_node(Chained())
    assert str(info.value) == "argument 'n': bad id"
    assert type(info.value.__cause__) is KeyError
    with pytest.raises(TypeError) as info:
        IntGraphCore().add_node(Index(TypeError("plain")))
    assert str(info.value) == "argument 'n': plain" and info.value.__cause__ is None


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize("error", [MyTypeError("sub"), ValueError("v"), ZeroDivisionError("z"), KeyError("k")])
@pytest.mark.parametrize("name", NODE_METHODS)
def test_other_errors_pass_through_unchanged(name, error):
    g = IntGraphCore()
    with pytest.raises(type(error)) as info:
        call(g, name, *[Index(error)] * len(NODE_METHODS[name]))
    assert info.value is error
    with pytest.raises(type(error)) as info:
        Index(error) in g
    assert info.value is error


def test_arguments_convert_in_order_and_stop_at_the_first_failure():
    g, log = IntGraphCore(), []
    g.add_edge(Index(1, log, "u"), Index(2, log, "v"))
    assert log == ["u", "v"]
    log.clear()
    with pytest.raises(ValueError):
        g.add_edge(Index(ValueError(), log, "u"), Index(2, log, "v"))
    assert log == ["u"]
    log.clear()
    with pytest.raises(TypeError, match="argument 'u'"):
        g.has_edge(v=Index(2, log, "v"), u="a")
    assert log == []  # u is converted first even when bound after v


@pytest.mark.parametrize(
    "attempt",
    [
        lambda g: g.add_edge(10, "a"),
        lambda g: g.add_edge("a", 10),
        lambda g: g.add_edge(10, 2**63),
        lambda g: g.add_edge(10, -(2**63) - 1),
        lambda g: g.add_edge(10, Index(ValueError())),
        lambda g: g.add_edge(1, Index(MyTypeError())),
        lambda g: g.add_node(Index(ZeroDivisionError())),
        lambda g: g.add_node(2**64),
    ],
)
def test_failed_conversion_leaves_the_graph_unchanged(attempt):
    g = IntGraphCore()
    g.add_edge(1, 2)
    before = state(g)
    with pytest.raises(Exception):
        attempt(g)
    assert state(g) == before
    assert not g.has_node(10)
    g.add_edge(2, 3)  # still usable
    assert repr(g) == "IntGraphCore(nodes=3, edges=2)"
