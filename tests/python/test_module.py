import importlib
import operator
import pickle
import sys

import pytest

import _quarnel as q

Dtype, Device = q.Dtype, q.Device

OWN_NAMES = [
    "__doc__", "__version__",
    "Dtype", "FLOAT32", "INT32", "FLOAT64", "INT64",
    "Device", "CPU", "CUDA", "HIP",
    "float32", "int32", "float64", "int64", "cpu",
    "Tensor", "execute",
]
# Set by the import system, not by the module definition.
IMPORT_NAMES = {"__name__", "__package__", "__loader__", "__spec__", "__file__"}

# (type, member name, value, short text)
MEMBERS = [
    (Dtype, "FLOAT32", 0, "fp32"),
    (Dtype, "INT32", 1, "i32"),
    (Dtype, "FLOAT64", 2, "f64"),
    (Dtype, "INT64", 3, "i64"),
    (Device, "CPU", 0, "cpu"),
    (Device, "CUDA", 1, "cuda"),
    (Device, "HIP", 2, "hip"),
]
ALIASES = [("float32", Dtype.FLOAT32), ("int32", Dtype.INT32), ("float64", Dtype.FLOAT64),
           ("int64", Dtype.INT64), ("cpu", Device.CPU)]


def test_attributes_in_definition_order():
    names = [n for n in vars(q) if n not in IMPORT_NAMES]
    assert names == OWN_NAMES
    assert q.__doc__ == "Quarnel doc"
    assert q.__version__ == "0.1.0"


@pytest.mark.parametrize("name", ["cuda", "hip"])
def test_no_lower_case_alias_for_devices_without_memory(name):
    with pytest.raises(AttributeError):
        getattr(q, name)


@pytest.mark.parametrize("etype, name, value, text", MEMBERS)
def test_member(etype, name, value, text):
    m = getattr(etype, name)
    assert type(m) is etype
    assert getattr(q, name) is m  # exported, not copied
    assert m.value == value and type(m.value) is int
    assert int(m) == value and operator.index(m) == value
    assert m.name == name
    assert str(m) == f"{etype.__name__}.{name}"
    assert repr(m) == f"quarnel.{text}"
    assert hash(m) == hash(value)
    assert etype(value) == m and etype(value) is not m
    assert etype(value=value) == m
    back = pickle.loads(pickle.dumps(m))
    assert type(back) is etype and back == m and back.value == value
    assert m.__getstate__() == value


@pytest.mark.parametrize("alias, member", ALIASES)
def test_alias_is_equal_new_instance(alias, member):
    a = getattr(q, alias)
    assert type(a) is type(member)
    assert a == member and not (a != member)
    assert a is not member
    assert {member: "found"}[a] == "found"


def test_enum_types_are_not_python_enums_nor_ints():
    import enum
    for etype in (Dtype, Device):
        assert not issubclass(etype, enum.Enum)
        assert not issubclass(etype, int)


@pytest.mark.parametrize("etype, names", [(Dtype, ["FLOAT32", "INT32", "FLOAT64", "INT64"]),
                                          (Device, ["CPU", "CUDA", "HIP"])])
def test_members_mapping_and_generated_doc_in_member_order(etype, names):
    members = etype.__members__
    assert type(members) is dict
    assert list(members) == names
    assert all(members[n] is getattr(etype, n) for n in names)
    doc = etype.__doc__
    positions = [doc.index(n) for n in names]
    assert positions == sorted(positions)


@pytest.mark.parametrize("lhs, rhs, equal", [
    (Dtype.FLOAT32, Dtype(0), True),
    (Dtype.FLOAT32, Dtype.INT32, False),
    (Dtype.FLOAT32, 0, False),           # no implicit conversion to int
    (Dtype.INT32, 1, False),
    (Dtype.FLOAT32, Device.CPU, False),  # same value, other type
    (Device.CPU, Dtype.FLOAT32, False),
    (Dtype.FLOAT32, None, False),
    (Device.HIP, "HIP", False),
    (Device(-1), Device(-1), True),
])
def test_equality(lhs, rhs, equal):
    assert (lhs == rhs) is equal
    assert (lhs != rhs) is (not equal)


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge,
                                operator.add, operator.sub, operator.and_])
@pytest.mark.parametrize("rhs", [Dtype.INT64, 1])
def test_no_ordering_or_arithmetic(op, rhs):
    with pytest.raises(TypeError):
        op(Dtype.INT32, rhs)


class _IntLike:
    def __int__(self):
        return 2


class _IndexLike:
    def __index__(self):
        return 3


@pytest.mark.parametrize("etype, arg, value", [
    (Dtype, 255, 255), (Dtype, 7, 7), (Dtype, True, 1),
    (Dtype, _IntLike(), 2), (Dtype, _IndexLike(), 3),
    (Device, -2**31, -2**31), (Device, 2**31 - 1, 2**31 - 1), (Device, -1, -1),
    (Device, _IndexLike(), 3),
    (Dtype, Device.HIP, 2),  # members convert through __index__ like any int-like object
])
def test_constructor_accepts_whole_underlying_range(etype, arg, value):
    assert etype(arg).value == value


# Values of other types are test_hostile.py's.
@pytest.mark.parametrize("etype, arg", [(Dtype, 256), (Dtype, -1), (Device, 2**31), (Device, -2**31 - 1)])
def test_constructor_rejects_values_outside_underlying_type(raises_exactly, etype, arg):
    raises_exactly(TypeError, None, etype, arg)


@pytest.mark.parametrize("value, message", [
    (Dtype(4), "Unsupported Dtype"), (Dtype(7), "Unsupported Dtype"), (Dtype(255), "Unsupported Dtype"),
    (Device(3), "Unsupported device"), (Device(-1), "Unsupported device"),
    (Device(2**31 - 1), "Unsupported device"),
])
def test_value_naming_no_member(raises_exactly, value, message):
    assert value.name == "???"
    assert str(value) == f"{type(value).__name__}.???"
    assert hash(value) == hash(value.value)
    assert pickle.loads(pickle.dumps(value)) == value
    # Only the module's repr may run: pybind11's own would return text instead.
    raises_exactly(ValueError, message, repr, value)


@pytest.mark.parametrize("etype", [Dtype, Device])
def test_repr_is_replaced_not_overloaded(etype):
    lines = etype.__repr__.__doc__.strip().splitlines()
    assert lines == [f"__repr__(self: _quarnel.{etype.__name__}) -> str"]


@pytest.mark.parametrize("etype, prop", [(Dtype, "value"), (Dtype, "name"), (Device, "value")])
def test_value_and_name_are_read_only(etype, prop):
    m = etype(1)
    with pytest.raises(AttributeError):
        setattr(m, prop, 2)
    assert m.value == 1


def test_reimport_returns_cached_module_with_same_attributes():
    before = {name: getattr(q, name) for name in OWN_NAMES}
    saved = sys.modules.pop("_quarnel")
    try:
        again = importlib.import_module("_quarnel")
        assert again is saved
        for name, obj in before.items():
            assert getattr(again, name) is obj, name
        assert again.Dtype.FLOAT32 is Dtype.FLOAT32
    finally:
        sys.modules["_quarnel"] = saved
