"""NumPy as an outside oracle for view, reshape and the factories' metadata.

For random shapes and random dimension lists, view and reshape must succeed
exactly when NumPy's reshape of an array of that shape does, with the same
shape, element strides (NumPy's byte strides over the item size) and
contiguity. Where this library deliberately differs, the difference is a row
of DIFFERENCES below, which says when it applies, what this library does
instead and why; any other difference fails.
"""
import math
from dataclasses import dataclass
from typing import Callable, Optional

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import _quarnel as q

Tensor = q.Tensor
NUMPY_TYPES = {q.FLOAT32: np.float32, q.INT32: np.int32, q.FLOAT64: np.float64, q.INT64: np.int64}


@dataclass(frozen=True)
class Outcome:
    shape: Optional[list] = None
    strides: Optional[list] = None
    contiguous: Optional[bool] = None
    error: Optional[str] = None  # this library's message; NumPy's is not compared

    @property
    def ok(self):
        return self.error is None


@dataclass(frozen=True)
class Case:
    shape: tuple
    dims: tuple

    @property
    def numel(self):
        return math.prod(self.shape)


def row_major(shape):
    strides, inner = [], 1
    for size in reversed(shape):
        strides.insert(0, inner)
        inner *= size
    return strides


@dataclass(frozen=True)
class Difference:
    what: str
    aspect: str  # "outcome" (success, or the shape) or "strides"
    applies: Callable[[Case], bool]
    ours: Callable[[Case, Outcome], bool]  # what this library does instead
    reason: str


def _entries_valid(dims):
    return all(d >= -1 for d in dims) and list(dims).count(-1) <= 1


# Every deliberate difference from NumPy's reshape, with its reason.
DIFFERENCES = [
    Difference(
        "more than four entries", "outcome",
        applies=lambda c: len(c.dims) > 4,
        ours=lambda c, got: got.error == "Shape: rank exceeds MAX_RANK",
        reason="a tensor has at most four dimensions (MAX_RANK); NumPy allows 64"),
    Difference(
        "a negative entry other than -1", "outcome",
        applies=lambda c: len(c.dims) <= 4 and any(d < -1 for d in c.dims),
        ours=lambda c, got: got.error in ("view/reshape: dimensions must be >= 0 or -1",
                                          "view/reshape: only one -1 dimension allowed"),
        reason="only -1 asks for inference; NumPy takes any negative entry as the unknown one"),
    Difference(
        "a -1 beside a 0 when there are no elements", "outcome",
        applies=lambda c: (len(c.dims) <= 4 and c.numel == 0 and _entries_valid(c.dims)
                           and -1 in c.dims and 0 in c.dims),
        ours=lambda c, got: got.shape == [0 if d == -1 else d for d in c.dims],
        reason="0 is the one size that makes the count right, so the -1 is settled to 0; NumPy calls it ambiguous"),
    Difference(
        "strides of a tensor with no elements", "strides",
        applies=lambda c: c.numel == 0,
        ours=lambda c, got: got.strides == row_major(got.shape),
        reason="no element is addressed, so strides are the plain row-major products; "
               "NumPy's depend on how the array was made (all 0 for a new array)"),
]


def ours(shape, dims, method):
    t = Tensor(list(shape), q.INT32)
    try:
        r = getattr(t, method)(list(dims))
    except ValueError as e:
        return Outcome(error=str(e))
    assert r.offset == 0 and r.nbytes() == t.nbytes()
    return Outcome(r.shape, r.strides, r.is_contiguous())


def numpy_reshape(shape, dims):
    a = np.empty(shape, np.int32)
    try:
        r = a.reshape(dims)
    except ValueError:
        return Outcome(error="refused")
    assert np.shares_memory(r, a) or a.size == 0
    return Outcome(list(r.shape), [s // r.itemsize for s in r.strides], bool(r.flags.c_contiguous))


def compare(case, got, want):
    """Equal, or differing in a way a row of DIFFERENCES accounts for: a row
    about strides explains only strides, the others only outcomes and shapes."""
    if got.ok != want.ok or (got.ok and (got.shape, got.contiguous) != (want.shape, want.contiguous)):
        aspect = "outcome"
    elif got.ok and got.strides != want.strides:
        aspect = "strides"
    else:
        return
    for row in DIFFERENCES:
        if row.aspect == aspect and row.applies(case) and row.ours(case, got):
            return
    pytest.fail(f"{case}: this library gives {got}, NumPy {want}, and no listed difference explains it")


shapes = st.lists(st.integers(0, 4), min_size=0, max_size=4).map(tuple)
dims_entries = st.one_of(st.integers(-3, 6), st.sampled_from([-1, 0, 1, 8, 12, 24]))
dim_lists = st.lists(dims_entries, min_size=0, max_size=6).map(tuple)


@st.composite
def cases(draw):
    shape = draw(shapes)
    # Half of the lists are built to fit the count, so that success is common.
    if draw(st.booleans()):
        return Case(shape, draw(dim_lists))
    n = math.prod(shape)
    sizes = []
    while n > 1 and len(sizes) < 5:
        d = draw(st.sampled_from([x for x in range(2, n + 1) if n % x == 0]))
        sizes.append(d)
        n //= d
    sizes += [1] * draw(st.integers(0, 2)) + ([0] if n == 0 and draw(st.booleans()) else [])
    sizes = draw(st.permutations(sizes))
    if sizes and draw(st.booleans()):
        sizes[draw(st.integers(0, len(sizes) - 1))] = -1
    return Case(shape, tuple(sizes))


@pytest.mark.parametrize("method", ["view", "reshape"])
@given(case=cases())
def test_view_and_reshape_agree_with_numpy(method, case):
    compare(case, ours(case.shape, case.dims, method), numpy_reshape(case.shape, case.dims))


@pytest.mark.parametrize("make, numpy_make", [
    (Tensor, np.empty), (Tensor.zeros, np.zeros), (Tensor.ones, np.ones),
], ids=["init", "zeros", "ones"])
@pytest.mark.parametrize("dtype", list(NUMPY_TYPES))
@settings(max_examples=60, deadline=None)
@given(shape=shapes)
def test_factory_metadata_agrees_with_numpy(make, numpy_make, dtype, shape):
    t = make(list(shape), dtype)
    a = numpy_make(shape, NUMPY_TYPES[dtype])
    assert t.numel() == a.size
    assert t.nbytes() == a.nbytes
    got = Outcome(t.shape, t.strides, t.is_contiguous())
    want = Outcome(list(a.shape), [s // a.itemsize for s in a.strides], bool(a.flags.c_contiguous))
    compare(Case(shape, shape), got, want)


# The table itself: each row must still describe a real difference, and its
# stated behaviour must be this library's, on an example.
@pytest.mark.parametrize("row, case", [
    (DIFFERENCES[0], Case((6,), (1, 1, 1, 1, 6))),
    (DIFFERENCES[1], Case((2, 3), (2, -3))),
    (DIFFERENCES[2], Case((0, 3), (0, -1))),
    (DIFFERENCES[3], Case((2, 0, 3), (2, 0, 3))),
], ids=[row.what for row in DIFFERENCES])
def test_each_listed_difference_is_real(row, case):
    assert row.applies(case)
    got, want = ours(case.shape, case.dims, "reshape"), numpy_reshape(case.shape, case.dims)
    assert got != want
    assert row.ours(case, got), row.reason
