"""Leaks and churn: every call family but the lazy add, a few hundred thousand
times, must leave the resident set flat and no Python object behind (that a
failing call leaves its arguments' reference counts alone is test_hostile.py's).
The lazy add is left out on purpose: the graph keeps every operand and result
until the process ends. A failing add records nothing, so it is churned too.
"""
import gc
import os
import sys

import pytest

import _quarnel as q

Tensor = q.Tensor
ROUNDS = 100_000


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def succeeding_calls():
    """Constructors, factories, view, reshape, contiguous, every property and
    method, repr, and the enumerations; 256 int64 elements (2 KiB) per new
    storage, so that a leaked storage shows at once."""
    for dtype in (q.FLOAT32, q.INT32, q.FLOAT64, q.INT64):
        t = Tensor([4, 64], dtype)
        z = Tensor.zeros((256,), dtype)
        o = Tensor.ones(range(1, 5), dtype, q.CPU)
        v = t.view([-1, 8])
        r = z.reshape((16, Index(16)))
        c = o.contiguous()
        for x in (t, z, o, v, r, c):
            x.shape, x.strides, x.dtype, x.device, x.offset
            x.numel(), x.nbytes(), x.allocated(), x.is_contiguous()
            repr(x), str(x)
    q.Dtype(3), q.Device(0), repr(q.INT64), str(q.CPU), q.FLOAT32.name, hash(q.INT32)
    q.execute(Tensor([2]))


def failing_calls(a, b):
    """Every kind of failing call, each with the exception it must raise."""
    for exc, call, args in (
        (ValueError, Tensor, ([1, 1, 1, 1, 1],)),
        (ValueError, Tensor.zeros, ([2**62],)),
        (ValueError, Tensor.ones, ([2**40, 2**40],)),
        (ValueError, Tensor, ([2], q.Dtype(9))),
        (RuntimeError, Tensor.zeros, ([256], q.INT64, q.CUDA)),
        (MemoryError, Tensor, ([2**60],)),
        (TypeError, Tensor, ([2, -3],)),
        (TypeError, Tensor.ones, ([2.0],)),
        (TypeError, Tensor, (None,)),
        (TypeError, Tensor, ([2], 1)),
        (ValueError, a.view, ([5, -1],)),
        (ValueError, a.reshape, ([-1, -1],)),
        (ValueError, a.view, ([0, -1],)),
        (ValueError, a.reshape, ([2, -3],)),
        (ValueError, a.view, ([1, 1, 1, 1, 256],)),
        (TypeError, a.view, (["2"],)),
        (ValueError, lambda x, y: x + y, (a, b)),  # a failed add records nothing
        (TypeError, lambda x, y: x + y, (a, 1)),
        (TypeError, q.execute, (None,)),
        (TypeError, q.Dtype, (256,)),
        (ValueError, repr, (q.Dtype(7),)),
        (TypeError, Tensor.numel, (Tensor.__new__(Tensor),)),
    ):
        try:
            call(*args)
        except exc:
            pass
        else:
            raise AssertionError(f"{call} did not raise {exc.__name__}")


def churn(rounds, a, b):
    for _ in range(rounds):
        succeeding_calls()
        failing_calls(a, b)


@pytest.mark.resident_set
@pytest.mark.slow
def test_churn_leaves_resident_set_and_objects_flat():
    a, b = Tensor([256], q.INT64), Tensor([2, 128], q.INT64)
    churn(2_000, a, b)  # warm-up: the allocator and the interpreter reach their steady state
    gc.collect()
    objects, blocks, rss = len(gc.get_objects()), sys.getallocatedblocks(), resident_bytes()
    churn(ROUNDS, a, b)
    gc.collect()
    # A leaked storage per round would be 200 MB or more, a leaked node of a
    # failed add 30 MB; a leaked Python object per round 100,000 blocks.
    growth = resident_bytes() - rss
    assert growth < 4 * 2**20, f"resident set grew by {growth / 2**20:.1f} MiB"
    assert len(gc.get_objects()) - objects < 100
    assert sys.getallocatedblocks() - blocks < 1_000
