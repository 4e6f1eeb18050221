import pytest

import _quarnel as q

Tensor = q.Tensor
DTYPE_TEXT = [(q.FLOAT32, "fp32"), (q.INT32, "i32"), (q.FLOAT64, "f64"), (q.INT64, "i64")]
SHAPES = [([], ""), ([5], "5"), ([0, 4], "0, 4"), ([2, 3, 1], "2, 3, 1"), ([1, 2, 3, 4], "1, 2, 3, 4")]


def expected(dims, dtype_text):
    return f"quarnel.Tensor(shape=[{dims}], dtype={dtype_text}, device=cpu)"


@pytest.mark.parametrize("shape, dims", SHAPES, ids=[f"rank{len(s)}" for s, _ in SHAPES])
@pytest.mark.parametrize("dtype, text", DTYPE_TEXT, ids=[t for _, t in DTYPE_TEXT])
@pytest.mark.parametrize("make", [Tensor, Tensor.zeros, Tensor.ones], ids=["init", "zeros", "ones"])
def test_text_form(make, shape, dims, dtype, text):
    t = make(shape, dtype)
    assert repr(t) == expected(dims, text)
    assert str(t) == repr(t) and f"{t}" == repr(t)


@pytest.mark.parametrize("shape, dims", SHAPES, ids=[f"rank{len(s)}" for s, _ in SHAPES])
@pytest.mark.parametrize("dtype, text", DTYPE_TEXT, ids=[t for _, t in DTYPE_TEXT])
def test_pending_result_prints_like_allocated_tensor(shape, dims, dtype, text):
    c = Tensor(shape, dtype) + Tensor(shape, dtype)
    before = repr(c)
    assert before == repr(Tensor(shape, dtype)) == expected(dims, text) == str(c)
    q.execute(c)
    assert repr(c) == before


def test_views_print_their_own_shape():
    t = Tensor([2, 3])
    assert repr(t.view([3, 2])) == expected("3, 2", "fp32")
    assert repr((t + t).reshape([-1])) == expected("6", "fp32")


@pytest.mark.parametrize("shape, dims", [
    ([0, 2**64 - 1], "0, 18446744073709551615"),  # 20 digits, the widest size
    ([0, 2**63, 2**32, 7], "0, 9223372036854775808, 4294967296, 7"),
])
def test_sizes_in_plain_decimal(shape, dims):
    assert repr(Tensor(shape, q.INT32)) == expected(dims, "i32")
