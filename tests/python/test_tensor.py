import pickle

import pytest

import _quarnel as q

Tensor = q.Tensor
SEQ = "collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]"
FACTORY_PARAMS = (f"shape: {SEQ}, dtype: _quarnel.Dtype = quarnel.fp32, "
                  "device: _quarnel.Device = quarnel.cpu")
ELEMENT_SIZE = {q.FLOAT32: 4, q.INT32: 4, q.FLOAT64: 8, q.INT64: 8}


# ---- construction ---------------------------------------------------------

@pytest.mark.parametrize("make", [Tensor, Tensor.zeros, Tensor.ones], ids=["init", "zeros", "ones"])
@pytest.mark.parametrize("call", [
    lambda f: f([2, 3], q.INT64, q.CPU),
    lambda f: f(shape=[2, 3], dtype=q.INT64, device=q.CPU),
    lambda f: f([2, 3], device=q.cpu, dtype=q.int64),
], ids=["positional", "keyword", "mixed"])
def test_factories_take_positional_and_keyword_arguments(make, call):
    t = call(make)
    assert type(t) is Tensor
    assert (t.shape, t.dtype, t.device, t.nbytes()) == ([2, 3], q.INT64, q.CPU, 48)


@pytest.mark.parametrize("make", [Tensor, Tensor.zeros, Tensor.ones], ids=["init", "zeros", "ones"])
@pytest.mark.parametrize("dtype", list(ELEMENT_SIZE))
def test_fresh_tensor_properties(make, dtype):
    t = make([2, 3], dtype)
    assert t.shape == [2, 3] and t.strides == [3, 1] and t.offset == 0
    assert t.numel() == 6 and t.nbytes() == 6 * ELEMENT_SIZE[dtype]
    assert t.dtype == dtype and t.device == q.Device.CPU
    assert t.allocated() is True and t.is_contiguous() is True


def test_defaults_are_float32_on_cpu():
    t = Tensor([4], device=q.Device.CPU)
    assert t.dtype == q.float32 and t.device == q.cpu
    # Each crossing makes a new enumeration instance.
    assert t.dtype is not q.Dtype.FLOAT32 and t.dtype is not t.dtype
    assert type(t.dtype) is q.Dtype and type(t.device) is q.Device


@pytest.mark.parametrize("shape, strides, numel", [
    ([], [], 1),
    ([5], [1], 5),
    ([0, 3], [3, 1], 0),
    ([2, 3, 4, 5], [60, 20, 5, 1], 120),
    ([4, 1, 3], [3, 3, 1], 12),
    ([0, 2**64 - 1], [2**64 - 1, 1], 0),  # no elements, so the largest size allocates nothing
])
def test_shapes_of_every_rank(shape, strides, numel):
    t = Tensor.zeros(shape)
    assert (t.shape, t.strides, t.numel()) == (shape, strides, numel)
    assert t.allocated() is True  # zero-element storage counts as allocated


# ---- the Python surface ---------------------------------------------------

@pytest.mark.parametrize("func, signature, doc", [
    (Tensor.__init__, f"__init__(self: _quarnel.Tensor, {FACTORY_PARAMS}) -> None",
     "An empty (uninitialized) tensor."),
    (Tensor.zeros, f"zeros({FACTORY_PARAMS}) -> _quarnel.Tensor", None),
    (Tensor.ones, f"ones({FACTORY_PARAMS}) -> _quarnel.Tensor", None),
    (Tensor.numel, "numel(self: _quarnel.Tensor) -> int", None),
    (Tensor.nbytes, "nbytes(self: _quarnel.Tensor) -> int", None),
    (Tensor.allocated, "allocated(self: _quarnel.Tensor) -> bool",
     "True if the tensor has backing storage allocated."),
    (Tensor.is_contiguous, "is_contiguous(self: _quarnel.Tensor) -> bool", None),
    (Tensor.contiguous, "contiguous(self: _quarnel.Tensor) -> _quarnel.Tensor",
     "Copy to a contiguous tensor if needed, else return self."),
    (Tensor.view, f"view(self: _quarnel.Tensor, dims: {SEQ}) -> _quarnel.Tensor",
     "Zero-copy reshape; requires a contiguous tensor. One dim may be -1."),
    (Tensor.reshape, f"reshape(self: _quarnel.Tensor, dims: {SEQ}) -> _quarnel.Tensor",
     "View when contiguous, copying otherwise. One dim may be -1."),
    (Tensor.__add__, "__add__(self: _quarnel.Tensor, arg0: _quarnel.Tensor) -> _quarnel.Tensor",
     "Lazy elementwise add"),
    (Tensor.__repr__, "__repr__(self: _quarnel.Tensor) -> str", None),
    (q.execute, "execute(output: _quarnel.Tensor) -> None", "Materialize tensors in the graph"),
])
def test_signature_line_then_docstring(func, signature, doc):
    lines = func.__doc__.strip().splitlines()
    assert lines[0] == signature
    assert [line for line in lines[1:] if line] == ([doc] if doc else [])


def test_class_has_no_docstring():
    assert Tensor.__doc__ is None


@pytest.mark.parametrize("name, kind", [
    ("shape", list), ("strides", list), ("dtype", q.Dtype), ("device", q.Device), ("offset", int),
])
def test_properties_are_read_only_and_fresh(name, kind):
    t = Tensor([2, 3])
    value = getattr(t, name)
    assert type(value) is kind
    if kind is list:
        assert value is not getattr(t, name)  # a new list per access, nothing cached
        value.append(9)
        assert getattr(t, name) != value
    with pytest.raises(AttributeError):
        setattr(t, name, value)
    with pytest.raises(AttributeError):
        delattr(t, name)


@pytest.mark.parametrize("name, kind", [
    ("numel", int), ("nbytes", int), ("allocated", bool), ("is_contiguous", bool),
    ("contiguous", Tensor),
])
def test_methods_must_be_called(name, kind):
    t = Tensor([2, 3])
    method = getattr(t, name)
    assert callable(method)  # a property would hand back the value itself
    assert type(method()) is kind
    with pytest.raises(TypeError):
        method(1)


@pytest.mark.parametrize("name", ["view", "reshape"])
def test_view_and_reshape_take_dims_by_position_or_keyword(name):
    t = Tensor.ones([2, 3])
    for result in (getattr(t, name)([3, -1]), getattr(t, name)(dims=(3, -1))):
        assert type(result) is Tensor and result.shape == [3, 2] and result.strides == [2, 1]
    assert t.shape == [2, 3]


def test_execute_takes_output_by_position_or_keyword():
    a = Tensor([2])
    c, d = a + a, a + a
    assert q.execute(c) is None and c.allocated()
    assert q.execute(output=d) is None and d.allocated()


@pytest.mark.parametrize("arg", [None, 1, [2], "t"])
def test_execute_rejects_non_tensors(arg):
    with pytest.raises(TypeError):
        q.execute(arg)


def test_no_instance_dict():
    t = Tensor([1])
    with pytest.raises(AttributeError):
        t.foo = 1
    assert not hasattr(t, "__dict__")


def test_identity_semantics():
    a, b = Tensor([2]), Tensor([2])
    assert Tensor.__eq__ is object.__eq__ and Tensor.__hash__ is object.__hash__
    assert a == a and a != b
    assert len({a, b, a}) == 2


@pytest.mark.parametrize("name", ["__radd__", "__iadd__", "__len__", "__getitem__", "__str__",
                                  "__eq__", "__hash__", "__getstate__", "__setstate__"])
def test_class_does_not_define(name):
    assert name not in vars(Tensor)


@pytest.mark.parametrize("action", [
    lambda t: len(t), lambda t: t[0], lambda t: memoryview(t), lambda t: pickle.dumps(t),
    lambda t: t < t, lambda t: t - t,
], ids=["len", "index", "buffer", "pickle", "order", "sub"])
def test_unsupported_protocols(action):
    with pytest.raises(TypeError):
        action(Tensor([2]))


def test_in_place_add_falls_back_to_a_new_result():
    a = b = Tensor([2])
    a += Tensor([2])
    assert a is not b and a.allocated() is False and b.allocated() is True


def test_subclass_allowed():
    class Sub(Tensor):
        pass
    s = Sub([2])
    assert isinstance(s, Tensor) and s.shape == [2]
    assert type(s + s) is Tensor


# ---- sizes past what memory holds ---------------------------------------

@pytest.mark.parametrize("shape, exc, message", [
    ([2**63], ValueError, "Shape: element count overflows int64"),
    ([2**32, 2**31], ValueError, "Shape: element count overflows int64"),
    ([2**62], ValueError, "Storage: byte count overflows size_t"),
    ([2**61], MemoryError, "std::bad_alloc"),
])
@pytest.mark.parametrize("make", [Tensor, Tensor.zeros, Tensor.ones], ids=["init", "zeros", "ones"])
def test_huge_shapes(raises_exactly, make, shape, exc, message):
    raises_exactly(exc, message, make, shape)


# ---- failures -------------------------------------------------------------

RANK = "Shape: rank exceeds MAX_RANK"
CPU_ONLY = "Buffer: only CPU device is implemented"


@pytest.mark.parametrize("args, exc, message", [
    (([1, 1, 1, 1, 1],), ValueError, RANK),   # length_error, so not RuntimeError
    (([2], q.FLOAT32, q.CUDA), RuntimeError, CPU_ONLY),
    (([2], q.FLOAT32, q.HIP), RuntimeError, CPU_ONLY),
    (([0], q.FLOAT32, q.CUDA), RuntimeError, CPU_ONLY),  # even with nothing to hold
    (([2], q.Dtype(9)), ValueError, "Unsupported Dtype"),
    (([2], q.Dtype(4), q.CUDA), ValueError, "Unsupported Dtype"),  # element type checked first
    (([2], q.FLOAT32, q.Device(7)), RuntimeError, CPU_ONLY),
])
@pytest.mark.parametrize("make", [Tensor, Tensor.zeros, Tensor.ones], ids=["init", "zeros", "ones"])
def test_factory_failures(raises_exactly, make, args, exc, message):
    raises_exactly(exc, message, make, *args)
    raises_exactly(exc, message, make, **dict(zip(["shape", "dtype", "device"], args)))


@pytest.mark.parametrize("shape, dims, exc, message", [
    ([2, 3], [1, 1, 1, 1, 6], ValueError, RANK),
    ([2, 3], [-1, -1, 1, 1, 6], ValueError, RANK),   # rank is checked before everything
    ([2, 3], [], ValueError, "view/reshape: numel mismatch"),
    ([2, 3], [4], ValueError, "view/reshape: numel mismatch"),
    ([2, 3], [2**63 - 1], ValueError, "view/reshape: numel mismatch"),
    ([2, 3], [4, -1], ValueError, "view/reshape: numel is not divisible by known dims"),
    ([2, 3], [0, -1], ValueError, "view/reshape: cannot infer dimension"),
    ([2, 3], [-1, -1], ValueError, "view/reshape: only one -1 dimension allowed"),
    ([2, 3], [2, -3], ValueError, "view/reshape: dimensions must be >= 0 or -1"),
    ([2, 3], [-1, -1, -2], ValueError, "view/reshape: only one -1 dimension allowed"),
    ([2, 3], [-2, -1, -1], ValueError, "view/reshape: dimensions must be >= 0 or -1"),
    ([], [2], ValueError, "view/reshape: numel mismatch"),
])
@pytest.mark.parametrize("name", ["view", "reshape"])
def test_view_reshape_failures(raises_exactly, name, shape, dims, exc, message):
    t = Tensor(shape)
    raises_exactly(exc, message, getattr(t, name), dims)
    assert t.shape == shape and t.strides == Tensor(shape).strides


@pytest.mark.parametrize("lhs, rhs, message", [
    (([2], q.INT32), ([2],), "add: dtype mismatch"),
    (([2, 3], q.INT64), ([3],), "add: dtype mismatch"),   # dtype decides before rank
    (([2, 3],), ([2],), "add: rank mismatch"),
    (([2, 3],), ([2, 3, 1],), "add: rank mismatch"),
    (([2, 3],), ([4, 5, 6],), "add: rank mismatch"),
    (([2, 3],), ([3, 2],), "add: shape mismatch"),
    (([1, 2, 3, 4],), ([1, 5, 3, 6],), "add: shape mismatch"),
    (([],), ([1],), "add: rank mismatch"),
])
def test_add_failures(raises_exactly, lhs, rhs, message):
    a, b = Tensor(*lhs), Tensor(*rhs)
    raises_exactly(ValueError, message, lambda: a + b)


@pytest.mark.parametrize("expr", [
    lambda t: t + 1, lambda t: 1 + t, lambda t: t + None, lambda t: t + [2], lambda t: t + q.FLOAT32,
])
def test_add_with_non_tensor_is_type_error(expr):
    with pytest.raises(TypeError, match="unsupported operand"):
        expr(Tensor([2]))


@pytest.mark.parametrize("other", [1, None, "x"])
def test_add_operator_returns_not_implemented(other):
    assert Tensor([2]).__add__(other) is NotImplemented


@pytest.mark.parametrize("keyword", ["other", "arg0"])
def test_add_operand_is_positional_only(keyword):
    t = Tensor([2])
    assert t.__add__(**{keyword: t}) is NotImplemented


# ---- lazy life cycle ------------------------------------------------------

@pytest.mark.parametrize("shape", [[], [2, 3], [1, 2, 3, 4]])
@pytest.mark.parametrize("dtype", list(ELEMENT_SIZE))
def test_add_result_is_pending_until_executed(shape, dtype):
    a, b = Tensor.ones(shape, dtype), Tensor.zeros(shape, dtype)
    c = a + b
    assert type(c) is Tensor and c is not a and c is not b
    assert (c.shape, c.dtype, c.device, c.offset) == (shape, dtype, q.CPU, 0)
    assert c.strides == a.strides and c.is_contiguous()
    assert c.nbytes() == a.nbytes()  # reported before any memory exists
    assert c.allocated() is False
    assert q.execute(c) is None
    assert c.allocated() is True
    assert q.execute(c) is None and c.allocated() is True  # repeating changes nothing
    assert a.allocated() and b.allocated()


def test_zero_element_result_is_allocated_at_once():
    c = Tensor([0, 3]) + Tensor([0, 3])
    assert c.shape == [0, 3] and c.allocated() is True and c.nbytes() == 0


def test_execute_on_a_plain_tensor_does_nothing():
    t = Tensor([2])
    assert q.execute(t) is None and t.allocated() is True


def test_view_of_pending_result():
    c = Tensor([2, 3]) + Tensor([2, 3])
    v = c.view([-1])
    r = c.reshape([3, 2])
    assert v.shape == [6] and v.allocated() is False and v.nbytes() == c.nbytes() == 24
    q.execute(v)  # a view has no producer of its own
    q.execute(r)
    assert (c.allocated(), v.allocated(), r.allocated()) == (False, False, False)
    q.execute(c)
    assert (c.allocated(), v.allocated(), r.allocated()) == (True, True, True)


def test_chained_adds_execute_their_whole_ancestry():
    a, b, e = Tensor([3]), Tensor([3]), Tensor([3])
    inner = a + b
    outer = inner + e
    q.execute(inner)
    assert inner.allocated() is True and outer.allocated() is False
    twice = outer + outer
    q.execute(twice)
    assert outer.allocated() and twice.allocated()


def test_contiguous_returns_new_object_sharing_the_body():
    c = Tensor([2, 3]) + Tensor([2, 3])
    d = c.contiguous()
    assert d is not c and type(d) is Tensor
    assert (d.shape, d.strides, d.offset, d.nbytes()) == (c.shape, c.strides, c.offset, c.nbytes())
    assert d.allocated() is False
    # The graph knows a tensor by its body, so executing the copy-free result
    # runs the producer of c; a view (new body) could not do that.
    q.execute(d)
    assert c.allocated() is True and d.allocated() is True
