"""Typed use of _quarnel: passes `mypy --strict` and runs without error."""

from typing import assert_type

import _quarnel as q

# Members and their module-level names are one type to the checker.
assert_type(q.FLOAT32, q.Dtype)
assert_type(q.Dtype.FLOAT32, q.Dtype)
assert_type(q.float32, q.Dtype)
assert_type(q.Device.HIP, q.Device)
assert_type(q.cpu, q.Device)
assert_type(q.__version__, str)
assert_type(q.Dtype.__members__, dict[str, q.Dtype])

dtypes: list[q.Dtype] = [q.FLOAT32, q.Dtype.INT32, q.float64, q.Dtype(3)]
by_dtype = {dtype: dtype.name for dtype in dtypes}  # members hash by value
assert_type(by_dtype, dict[q.Dtype, str])
assert_type(q.INT64.value, int)
assert_type(int(q.INT64), int)
assert_type(repr(q.INT64), str)

# Shapes and dims: any iterable of integers.
a = q.Tensor([2, 3])
b = q.Tensor.ones((2, 3), q.FLOAT32, device=q.cpu)
z = q.Tensor.zeros(range(1, 3), dtype=q.Dtype.FLOAT64)
assert_type(a, q.Tensor)
assert_type(b, q.Tensor)
assert_type(z, q.Tensor)

c = a + b
assert_type(c, q.Tensor)
assert_type(c.allocated(), bool)
assert_type(q.execute(output=c), None)

assert_type(c.shape, list[int])
assert_type(c.strides, list[int])
assert_type(c.offset, int)
assert_type(c.dtype, q.Dtype)
assert_type(c.device, q.Device)
assert_type(c.numel(), int)
assert_type(c.nbytes(), int)
assert_type(c.is_contiguous(), bool)
assert_type(c.contiguous(), q.Tensor)
assert_type(c.view([3, -1]), q.Tensor)
assert_type(c.reshape(dims=(n for n in (6,))), q.Tensor)
assert_type(repr(c), str)

rows: int = c.view([3, -1]).shape[0]
total: int = sum(c.shape)


class Named(q.Tensor):
    """Subclasses are allowed; their sums are plain tensors."""


s = Named([2, 3])
assert_type(s + s, q.Tensor)
