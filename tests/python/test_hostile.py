"""Every callable of the module fed what a careless or hostile caller passes.

Each case names the exception kind it expects. A call that fails must leave its
arguments as they were (contents and reference counts) and the graph too: a
pending result made before stays pending, and its execute still works after.
That a failing add records nothing is checked by test_leaks.py, where a few
hundred thousand of them must not grow the resident set.
"""
import copy
import math
import sys

import pytest

import _quarnel as q

Tensor = q.Tensor


# ---- hostile objects -------------------------------------------------------

class RaisingIndex:
    def __index__(self):
        raise ZeroDivisionError("index")


class StrIndex:
    def __index__(self):
        return "3"


class HugeIndex:
    def __index__(self):
        return 2**70


class NegativeIndex:
    def __index__(self):
        return -7


class Int(int):
    pass


class IntOnly:
    """Convertible by __int__ alone, with no __index__."""

    def __int__(self):
        return 3


class RaisingIndexInt(int):
    """An int subclass whose __index__ raises: its int value is what counts."""

    def __index__(self):
        raise ZeroDivisionError("index")


class List(list):
    pass


class LyingList(list):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        return self.length


class RaisingLenList(list):
    def __len__(self):
        raise LookupError("len")


class RaisingSequence:
    """A sequence whose iteration raises at its second element."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 1:
            raise OSError("midway")
        if i >= 3:
            raise IndexError(i)
        return 2


class RaisingIterable:
    def __iter__(self):
        yield 2
        raise KeyError("midway")


def generator_raising_midway():
    yield 2
    raise KeyError("midway")


# ---- the state every failing call must leave alone --------------------------

@pytest.fixture
def pending():
    """A pending result and a view of it, checked after the test: still pending,
    then executed as usual."""
    a = Tensor([2, 3])
    c = a + a
    v = c.view([-1])
    yield c
    assert c.allocated() is False and v.allocated() is False
    q.execute(c)
    assert c.allocated() and v.allocated()


def snapshot(value):
    """What a call must not change: the elements of a list or tuple (the very
    objects), and the reference count of the argument and of its elements."""
    elements = [e for e in value] if isinstance(value, (list, tuple)) else []
    return [id(e) for e in elements], [sys.getrefcount(e) for e in elements], sys.getrefcount(value)


def check_fails(exc, call, *args, **kwargs):
    values = list(args) + list(kwargs.values())
    before = [snapshot(v) for v in values]
    with pytest.raises(exc):
        call(*args, **kwargs)
    assert [snapshot(v) for v in values] == before


FACTORIES = [Tensor, Tensor.zeros, Tensor.ones]
FACTORY_IDS = ["init", "zeros", "ones"]


# ---- shapes and dimension lists ---------------------------------------------

# (id, value, exception for a shape, exception for a dimension list)
HOSTILE_LISTS = [
    ("None", None, TypeError, TypeError),
    ("int", 3, TypeError, TypeError),
    ("float", 2.0, TypeError, TypeError),
    ("str", "23", TypeError, TypeError),
    ("bytes", b"\x02\x03", TypeError, TypeError),
    ("dict", {2: 3}, TypeError, TypeError),
    ("float element", [2.0], TypeError, TypeError),
    ("None element", [None], TypeError, TypeError),
    ("str element", ["2"], TypeError, TypeError),
    ("nested list", [[2]], TypeError, TypeError),
    ("negative size", [-2], TypeError, ValueError),
    ("2**64", [2**64], TypeError, TypeError),
    ("2**63", [2**63], ValueError, TypeError),
    ("-2**63-1", [-2**63 - 1], TypeError, TypeError),
    ("-2**63", [-2**63], TypeError, ValueError),
    ("__index__ raises", [RaisingIndex()], TypeError, TypeError),
    ("__index__ returns a str", [StrIndex()], TypeError, TypeError),
    ("__index__ returns 2**70", [HugeIndex()], TypeError, TypeError),
    ("__index__ returns -7", [NegativeIndex()], TypeError, ValueError),
    ("five entries", [1, 1, 1, 1, 1], ValueError, ValueError),
    ("__len__ raises", RaisingLenList([2]), LookupError, LookupError),
    ("__len__ negative", LyingList([2], -1), ValueError, ValueError),
    ("__len__ past ssize_t", LyingList([2], 2**63), OverflowError, OverflowError),
    ("iteration raises midway", RaisingSequence(), OSError, OSError),
    ("map raises midway", "map", KeyError, KeyError),
    ("generator raises midway", "generator", KeyError, KeyError),
    ("iterable of no accepted kind", RaisingIterable(), TypeError, TypeError),
]


def raise_at_two(x):
    if x == 2:
        raise KeyError("midway")
    return x


def fresh(value):
    """One-shot iterables are made anew for each call."""
    if value == "generator":
        return generator_raising_midway()
    if value == "map":
        return map(raise_at_two, [1, 2, 3])
    return value


@pytest.mark.parametrize("make", FACTORIES, ids=FACTORY_IDS)
@pytest.mark.parametrize("value, exc", [(v, e) for _, v, e, _ in HOSTILE_LISTS],
                         ids=[i for i, *_ in HOSTILE_LISTS])
def test_hostile_shapes(pending, make, value, exc):
    check_fails(exc, make, fresh(value))
    check_fails(exc, make, shape=fresh(value))


@pytest.mark.parametrize("name", ["view", "reshape"])
@pytest.mark.parametrize("value, exc", [(v, e) for _, v, _, e in HOSTILE_LISTS],
                         ids=[i for i, *_ in HOSTILE_LISTS])
def test_hostile_dims(pending, name, value, exc):
    for t in (Tensor([2, 3]), pending):
        before = (t.shape, t.strides, t.allocated())
        check_fails(exc, getattr(t, name), fresh(value))
        check_fails(exc, getattr(t, name), dims=fresh(value))
        assert (t.shape, t.strides, t.allocated()) == before


# Not errors: each of these is taken as the integers it holds.
@pytest.mark.parametrize("make, shape", [
    (lambda: (2, 3), [2, 3]),
    (lambda: range(2, 5), [2, 3, 4]),
    (lambda: {7: "a", 2: "b"}.keys(), [7, 2]),
    (lambda: {5}, [5]),
    (lambda: map(int, "12"), [1, 2]),
    (lambda: (x for x in (2, 3)), [2, 3]),
    (lambda: [True, 2], [1, 2]),
    (lambda: [Int(2), Int(3)], [2, 3]),
    (lambda: [RaisingIndexInt(2)], [2]),  # an int subclass counts by its value
    (lambda: [IntOnly()], [3]),
    (lambda: List([2, 3]), [2, 3]),
    (lambda: LyingList([2, 3], 0), [2, 3]),  # a length that is too small is only a hint
    (lambda: LyingList([2, 3], 10**6), [2, 3]),  # and so is one that is too large
], ids=["tuple", "range", "dict keys", "set", "map", "generator", "bool", "int subclass",
        "int subclass with raising __index__", "__int__ only", "list subclass", "__len__ too small",
        "__len__ too large"])
def test_odd_but_valid_lists_are_taken_by_their_elements(make, shape):
    assert Tensor(make()).shape == shape
    assert Tensor([math.prod(shape)]).view(make()).shape == shape


def test_absurd_length_claims_fail_cleanly():
    # The binding reserves what __len__ claims before reading: a claim past
    # what the allocator can give fails as the allocator does, nothing crashes.
    check_fails(ValueError, Tensor, LyingList([2], 2**62))


# ---- element types and devices ---------------------------------------------

@pytest.mark.parametrize("make", FACTORIES, ids=FACTORY_IDS)
@pytest.mark.parametrize("kwargs, exc", [
    ({"dtype": None}, TypeError),
    ({"dtype": 0}, TypeError),
    ({"dtype": True}, TypeError),
    ({"dtype": "fp32"}, TypeError),
    ({"dtype": q.CPU}, TypeError),
    ({"dtype": q.Dtype(4)}, ValueError),
    ({"dtype": q.Dtype(255)}, ValueError),
    ({"device": None}, TypeError),
    ({"device": 0}, TypeError),
    ({"device": q.FLOAT32}, TypeError),
    ({"device": q.CUDA}, RuntimeError),
    ({"device": q.Device(3)}, RuntimeError),
    ({"device": q.Device(-1)}, RuntimeError),
    ({"device": q.Device(2**31 - 1)}, RuntimeError),
], ids=lambda v: ",".join(f"{k}={type(x).__name__}:{getattr(x, 'value', x)}" for k, x in v.items())
    if isinstance(v, dict) else None)
def test_hostile_element_types_and_devices(pending, make, kwargs, exc):
    check_fails(exc, make, [2, 3], **kwargs)
    check_fails(exc, make, [0], **kwargs)  # no memory needed: still refused


@pytest.mark.parametrize("etype", [q.Dtype, q.Device])
@pytest.mark.parametrize("value", [None, 1.5, "0", 2**64, -2**64, RaisingIndex(), StrIndex(), HugeIndex(), [0]],
                         ids=["None", "float", "str", "2**64", "-2**64", "raising __index__",
                              "__index__ returns a str", "__index__ returns 2**70", "list"])
def test_hostile_enumeration_values(etype, value):
    check_fails(TypeError, etype, value)


# Each conversion of an integer, reached again from inside a failing __index__.
NESTED_INDEX = [
    ("shape", lambda v: Tensor([v])), ("view", lambda v: Tensor([6]).view([v])),
    ("reshape", lambda v: Tensor([6]).reshape([v])), ("Dtype", q.Dtype), ("Device", q.Device),
    ("Device.__setstate__", lambda v: uninitialised(q.Device).__setstate__(v)),
]


@pytest.mark.parametrize("convert", [c for _, c in NESTED_INDEX], ids=[i for i, _ in NESTED_INDEX])
def test_failing_index_runs_once(convert):
    # pybind11 retried a failing __index__ through int(), which ran it again:
    # nested twelve deep, 16,382 calls.
    calls = 0

    class Nested:
        def __init__(self, depth):
            self.depth = depth

        def __index__(self):
            nonlocal calls
            calls += 1
            if self.depth == 0:
                raise ZeroDivisionError("index")
            return convert(Nested(self.depth - 1))

    check_fails(TypeError, convert, Nested(12))
    assert calls == 13


# ---- keyword misuse ---------------------------------------------------------

@pytest.mark.parametrize("call", [
    lambda t: Tensor(),
    lambda t: Tensor(shape2=[2]),
    lambda t: Tensor([2], shape=[2]),
    lambda t: Tensor([2], q.FLOAT32, q.CPU, 1),
    lambda t: Tensor([2], dtype=q.FLOAT32, dtype2=q.FLOAT32),
    lambda t: Tensor.zeros(),
    lambda t: Tensor.ones([2], device=q.CPU, dtype=q.FLOAT32, extra=1),
    lambda t: t.view(),
    lambda t: t.view(dim=[2]),
    lambda t: t.reshape([6], dims=[6]),
    lambda t: t.reshape([6], [6]),
    lambda t: t.numel(1),
    lambda t: t.allocated(output=t),
    lambda t: t.contiguous(t),
    lambda t: q.execute(),
    lambda t: q.execute(t, t),
    lambda t: q.execute(out=t),
    lambda t: q.Dtype(),
    lambda t: q.Device(0, 0),
    lambda t: Tensor.__init__(object(), [2]),
    lambda t: Tensor.numel(None),
    lambda t: Tensor.numel(q.FLOAT32),
    lambda t: Tensor.shape.fget(object()),
], ids=lambda _: None)
def test_keyword_and_call_misuse(pending, call):
    t = Tensor([2, 3])
    with pytest.raises(TypeError):
        call(t)
    assert t.shape == [2, 3] and t.allocated()


@pytest.mark.parametrize("call", [
    lambda t: t.__add__(), lambda t: t.__add__(other=t), lambda t: t.__add__(t, t),
], ids=["no operand", "keyword", "two operands"])
def test_operator_misuse_is_not_implemented(pending, call):
    # An operator that cannot take its arguments defers to Python, as for any operand.
    assert call(Tensor([2, 3])) is NotImplemented


# ---- operands of + and of execute ------------------------------------------

@pytest.mark.parametrize("other", [None, 1, 2.0, True, "x", [1], (2, 3), q.FLOAT32, q.CPU, object()],
                         ids=lambda v: type(v).__name__)
def test_hostile_operands(pending, other):
    t = Tensor([2, 3])
    check_fails(TypeError, lambda a, b: a + b, t, other)
    check_fails(TypeError, lambda a, b: a + b, other, t)
    assert t.__add__(other) is NotImplemented
    check_fails(TypeError, q.execute, other)


# Refused by the core rather than by the conversions.
@pytest.mark.parametrize("exc, call, args", [
    (ValueError, lambda a, b: a + b, (Tensor([2, 3]), Tensor([3, 2]))),
    (ValueError, repr, (q.Dtype(7),)),
], ids=["add of other shapes", "repr of a value naming no member"])
def test_refused_calls_leave_their_arguments_alone(pending, exc, call, args):
    check_fails(exc, call, *args)


# ---- objects whose __init__ never ran --------------------------------------

def uninitialised(cls):
    return cls.__new__(cls)


class SubTensor(Tensor):
    pass


TENSOR_CALLS = [
    ("shape", lambda u: u.shape), ("strides", lambda u: u.strides), ("dtype", lambda u: u.dtype),
    ("device", lambda u: u.device), ("offset", lambda u: u.offset), ("numel", lambda u: u.numel()),
    ("nbytes", lambda u: u.nbytes()), ("allocated", lambda u: u.allocated()),
    ("is_contiguous", lambda u: u.is_contiguous()), ("contiguous", lambda u: u.contiguous()),
    ("view", lambda u: u.view([-1])), ("reshape", lambda u: u.reshape([-1])), ("repr", repr),
    ("str", str), ("add as self", lambda u: u + Tensor([1])), ("add as operand", lambda u: Tensor([1]) + u),
    ("execute", q.execute),
]


@pytest.mark.parametrize("cls", [Tensor, SubTensor], ids=["Tensor", "subclass"])
@pytest.mark.parametrize("call", [c for _, c in TENSOR_CALLS], ids=[i for i, _ in TENSOR_CALLS])
def test_tensor_whose_init_never_ran_is_refused(pending, raises_exactly, cls, call):
    # pybind11 would pass uninitialised memory as the tensor: crashes and garbage.
    raises_exactly(TypeError, "Tensor: __init__ was never called on this object", call, uninitialised(cls))


def test_tensor_initialised_late_works():
    u = uninitialised(Tensor)
    Tensor.__init__(u, [2, 3], q.INT64)
    assert (u.shape, u.dtype, u.allocated()) == ([2, 3], q.INT64, True)


ENUM_CALLS = [
    ("value", lambda e: e.value), ("name", lambda e: e.name), ("repr", repr), ("str", str), ("hash", hash),
    ("int", int), ("eq", lambda e: e == e), ("getstate", lambda e: e.__getstate__()),
]


@pytest.mark.parametrize("etype, message", [(q.Dtype, "Dtype: __init__ was never called on this object"),
                                            (q.Device, "Device: __init__ was never called on this object")],
                         ids=["Dtype", "Device"])
@pytest.mark.parametrize("call", [c for _, c in ENUM_CALLS], ids=[i for i, _ in ENUM_CALLS])
def test_enumeration_whose_init_never_ran_is_refused(raises_exactly, etype, message, call):
    raises_exactly(TypeError, message, call, uninitialised(etype))


@pytest.mark.parametrize("make", FACTORIES, ids=FACTORY_IDS)
def test_factories_refuse_enumerations_whose_init_never_ran(raises_exactly, make):
    raises_exactly(TypeError, "Dtype: __init__ was never called on this object", make, [2], uninitialised(q.Dtype))
    raises_exactly(TypeError, "Device: __init__ was never called on this object", make, [2],
                   device=uninitialised(q.Device))


def test_second_init_is_ignored():
    # pybind11 cannot re-initialise a C++ object in place and ignores the call.
    t = Tensor([2, 3], q.INT64)
    storage_bytes = t.nbytes()
    assert t.__init__([5], q.FLOAT32) is None
    assert (t.shape, t.dtype, t.nbytes()) == ([2, 3], q.INT64, storage_bytes)


def test_subclass_that_skips_init_is_refused():
    class Careless(Tensor):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match="must be called when overriding __init__"):
        Careless()


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy], ids=["copy", "deepcopy"])
def test_copying_a_tensor_is_refused(copier):
    # The copy protocol would make the object through __new__ alone, with no tensor inside.
    t = Tensor([2, 3])
    with pytest.raises(TypeError, match="cannot pickle"):
        copier(t)
    assert t.shape == [2, 3]
