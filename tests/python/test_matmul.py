import ml_dtypes
import numpy as np
import pytest

from vorka import Tensor

from conftest import NP_DTYPES, NUMERIC, in_fresh_thread, probe_node_id

BOOL_MSG = "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."


def mismatch_msg(a, b):
    return f"Tensor DType mismatch during binary execution. Cannot operate between {a} and {b}."


def ints(rng, shape, dtype="f32", lo=-8, hi=8):
    """Small integers: every product and partial sum is exact in float32."""
    return rng.integers(lo, hi + 1, size=shape).astype(NP_DTYPES[dtype])


def round_to(x, dtype):
    return np.asarray(x, np.float32).astype(NP_DTYPES[dtype])


def check_close(got, a, b, dtype):
    """got against the float64 product, allowing float32 sums in any order and one
    final rounding to the element type."""
    a64, b64 = np.asarray(a, np.float64), np.asarray(b, np.float64)
    want, scale = a64 @ b64, np.abs(a64) @ np.abs(b64)
    k = a64.shape[-1]
    final = {"f32": 0.0, "f16": 2.0**-11, "bf16": 2.0**-8}[dtype]
    err = np.abs(got.astype(np.float64) - want)
    assert np.all(err <= (k + 2) * 2.0**-24 * scale + final * np.abs(want) + 1e-30), err.max()


def colmajor(x, dtype):
    """The same matrix stack with its last two axes stored transposed."""
    return Tensor(np.ascontiguousarray(np.swapaxes(x, -1, -2)), dtype=dtype).transpose(x.ndim - 2, x.ndim - 1)


def doubly_strided(x, dtype):
    """A rank-3 stack whose matrices have both strides above 1: built as the
    transpose of axes 0 and 2 of a [n, m, batch] tensor."""
    base = Tensor(np.ascontiguousarray(np.transpose(x, (2, 1, 0))), dtype=dtype)
    t = base.transpose(0, 2)
    assert min(t.strides[1:]) > 1
    return t


def standard_strides(shape):
    out, step = [], 1
    for e in reversed(shape):
        out.append(step)
        step *= max(e, 1)
    return out[::-1]


# ---------------------------------------------------------------- values


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("m,k,n", [
    (1, 1, 1), (2, 3, 4), (7, 33, 5), (64, 64, 64), (100, 17, 129), (3, 1000, 2), (200, 300, 150),
])
def test_values_against_numpy(rng, dtype, m, k, n):
    a = round_to(rng.standard_normal((m, k)), dtype)
    b = round_to(rng.standard_normal((k, n)), dtype)
    r = Tensor(a, dtype=dtype) @ Tensor(b, dtype=dtype)
    assert (r.shape, r.dtype) == ([m, n], dtype)
    got = r.to_numpy()
    check_close(got, a, b, dtype)
    if dtype == "f32":
        np.testing.assert_allclose(got, a @ b, rtol=1e-5, atol=1e-5 * np.sqrt(k))


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("sa,sb", [
    ((5, 9), (9, 7)), ((64, 96), (96, 80)), ((130, 300), (300, 33)),
    # stacks around a shared operand, on either side, and broadcast batches
    ((64, 32, 32), (32, 32)), ((32, 32), (64, 32, 32)), ((4, 1, 40, 24), (3, 24, 20)),
    # folded stacks that end inside a row block and a row tile
    ((37, 57, 32), (32, 20)), ((57, 32), (37, 32, 20)),
])
def test_exact_when_float32_represents_every_term(rng, dtype, sa, sb):
    # |sum| <= 300 * 16: exact in float32 and, after one rounding, equal to
    # the exact product rounded to the element type
    a, b = ints(rng, sa, dtype, -4, 4), ints(rng, sb, dtype, -4, 4)
    got = (Tensor(a, dtype=dtype) @ Tensor(b, dtype=dtype)).to_numpy()
    want = round_to(a.astype(np.float64) @ b.astype(np.float64), dtype)
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("m,k,n", [(2, 2 ** 16, 3), (8, 2 ** 20, 8)])  # register-blocked and cache-blocked
def test_long_sums_keep_float32_accuracy(rng, m, k, n):
    # summed in halves down to a few thousand terms, not in one long sequence
    a, b = rng.random((m, k)).astype(np.float32), rng.random((k, n)).astype(np.float32)
    got = (Tensor(a) @ Tensor(b)).to_numpy()
    np.testing.assert_allclose(got, a.astype(np.float64) @ b.astype(np.float64), rtol=1e-6)


@pytest.mark.parametrize("dtype,a,b,want", [
    # summed in float32 and rounded once; float16 accumulation would stay at 2048
    ("f16", [[2048.0, 1.0, 1.0]], [[1.0], [1.0], [1.0]], 2050.0),
    ("bf16", [[256.0, 1.0, 1.0]], [[1.0], [1.0], [1.0]], 258.0),
    # 1 + 2^-8 + 2^-8 = 1 + 2^-7 exactly; each partial sum alone would round back to 1 in bfloat16
    ("bf16", [[1.0, 2.0**-8, 2.0**-8]], [[1.0], [1.0], [1.0]], 1.0 + 2.0**-7),
])
def test_one_rounding_per_element(dtype, a, b, want):
    r = Tensor(np.array(a, NP_DTYPES[dtype]), dtype=dtype) @ Tensor(np.array(b, NP_DTYPES[dtype]), dtype=dtype)
    assert r.to_numpy().astype(np.float64).tolist() == [[want]]


def test_bfloat16_values_that_would_underflow_in_products(rng):
    # Products of these values are float32 subnormals (2^-130) and their sums
    # are normal: an implementation that flushed subnormals would return 0.
    m = k = n = 64
    a = np.full((m, k), 2.0**-70, np.float32)
    b = np.full((k, n), 2.0**-60, np.float32)
    b[:, 0] = 1.0  # mixed magnitudes in one operand
    got = (Tensor(a.astype(ml_dtypes.bfloat16), dtype="bf16") @ Tensor(b.astype(ml_dtypes.bfloat16), dtype="bf16"))
    want = round_to(a.astype(np.float64) @ b.astype(np.float64), "bf16")
    np.testing.assert_array_equal(got.to_numpy(), want)
    # a subnormal bfloat16 operand counts as its value, not as zero
    a[:] = 0.0
    a[0, :] = 1.0
    a[3, 5] = 2.0**-130
    b[:] = 1.0
    got = Tensor(a.astype(ml_dtypes.bfloat16), dtype="bf16") @ Tensor(b.astype(ml_dtypes.bfloat16), dtype="bf16")
    got = got.to_numpy().astype(np.float64)
    assert np.all(got[0] == 64.0) and np.all(got[3] == 2.0**-130) and np.count_nonzero(got) == 2 * n


@pytest.mark.parametrize("dtype", NUMERIC)
def test_special_values_propagate(dtype):
    a = np.array([[np.inf, 1.0], [np.nan, 0.0], [1.0, 1.0]], np.float32)
    b = np.array([[1.0, 0.0], [1.0, 1.0]], np.float32)
    got = (Tensor(round_to(a, dtype), dtype=dtype) @ Tensor(round_to(b, dtype), dtype=dtype)).to_numpy()
    np.testing.assert_array_equal(got.astype(np.float32), np.array([[np.inf, np.nan], [np.nan, np.nan], [2, 1]],
                                                                   np.float32))


# ---------------------------------------------------------------- batches


@pytest.mark.parametrize("sa,sb,want", [
    ([2, 3], [3, 4], [2, 4]),
    ([5, 2, 3], [3, 4], [5, 2, 4]),
    ([2, 3], [5, 3, 4], [5, 2, 4]),
    ([5, 1, 2, 3], [4, 3, 2], [5, 4, 2, 2]),
    ([1, 2, 3], [7, 3, 1], [7, 2, 1]),
    ([3, 1, 4, 2, 3], [5, 1, 3, 2], [3, 5, 4, 2, 2]),
    ([2, 1, 1, 3], [1, 6, 3, 1], [2, 6, 1, 1]),
])
@pytest.mark.parametrize("dtype", NUMERIC)
def test_batch_broadcasting(rng, sa, sb, want, dtype):
    a, b = ints(rng, sa, dtype), ints(rng, sb, dtype)
    r = Tensor(a, dtype=dtype) @ Tensor(b, dtype=dtype)
    assert r.shape == want
    assert r.strides == standard_strides(want)
    np.testing.assert_array_equal(r.to_numpy(), round_to(np.matmul(a.astype(np.float64), b.astype(np.float64)),
                                                         dtype))


def test_many_small_products_match_one_by_one(rng):
    a, b = rng.standard_normal((300, 8, 8), np.float32), rng.standard_normal((8, 8), np.float32)
    batched = (Tensor(a) @ Tensor(b)).to_numpy()
    single = np.stack([(Tensor(a[i]) @ Tensor(b)).to_numpy() for i in range(0, 300, 37)])
    np.testing.assert_array_equal(batched[::37], single)
    np.testing.assert_allclose(batched, a @ b, rtol=1e-5, atol=1e-5)


# ---------------------------------------------------------------- layouts

LAYOUTS = {
    "row": lambda x, d: Tensor(x, dtype=d),
    "col": colmajor,
    "strided": doubly_strided,
}


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("la", LAYOUTS)
@pytest.mark.parametrize("lb", LAYOUTS)
@pytest.mark.parametrize("m,k,n", [(3, 5, 4), (40, 70, 36), (96, 160, 80)])
def test_operand_layouts_give_the_row_major_result(rng, dtype, la, lb, m, k, n):
    a, b = ints(rng, (3, m, k), dtype, -3, 3), ints(rng, (3, k, n), dtype, -3, 3)
    ta, tb = LAYOUTS[la](a, dtype), LAYOUTS[lb](b, dtype)
    np.testing.assert_array_equal(ta.to_numpy(), a)
    r = ta @ tb
    assert r.strides == standard_strides([3, m, n])
    np.testing.assert_array_equal(r.to_numpy(), round_to(a.astype(np.float64) @ b.astype(np.float64), dtype))


@pytest.mark.parametrize("dtype", NUMERIC)
def test_zero_stride_batch_axes(rng, dtype):
    # a stretched axis of extent 1 and a missing axis both hand one matrix to every product
    a = ints(rng, (1, 6, 5), dtype)
    b = ints(rng, (4, 5, 3), dtype)
    c = ints(rng, (3, 2), dtype)
    ta, tb, tc = (Tensor(x, dtype=dtype) for x in (a, b, c))
    cases = [
        (ta @ tb, np.matmul(a, b)),
        (tb @ tc, np.matmul(b, c)),
        (tc.transpose(0, 1) @ tb.transpose(1, 2), np.matmul(c.T, np.swapaxes(b, 1, 2))),
    ]
    for r, want in cases:
        np.testing.assert_array_equal(r.to_numpy(), round_to(np.asarray(want, np.float64), dtype))


# ---------------------------------------------------------------- empty extents


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("sa,sb,want", [
    ([2, 0], [0, 3], [2, 3]),
    ([4, 2, 0], [0, 3], [4, 2, 3]),
    ([0, 3], [3, 4], [0, 4]),
    ([2, 3], [3, 0], [2, 0]),
    ([0, 2, 3], [3, 4], [0, 2, 4]),
    ([0, 0], [0, 0], [0, 0]),
])
def test_empty_extents(dtype, sa, sb, want):
    r = Tensor(np.ones(sa, NP_DTYPES[dtype]), dtype=dtype) @ Tensor(np.ones(sb, NP_DTYPES[dtype]), dtype=dtype)
    assert (r.shape, r.dtype) == (want, dtype)
    out = r.to_numpy()
    assert out.shape == tuple(want)
    assert np.all(out == 0) and not np.any(np.signbit(out.astype(np.float32)))


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("sa,sb", [
    ([2**40, 0], [0, 2**40]),              # beyond the size limit
    ([2**29, 0], [0, 2**29]),              # within it, but 1 EiB fits no address space
    ([2**30, 1, 0], [2**30, 0, 2**30]),    # the same via the batch axes
])
def test_result_too_large_raises_memory_error(dtype, sa, sb):
    a = Tensor(np.zeros(sa, NP_DTYPES[dtype]), dtype=dtype)
    b = Tensor(np.zeros(sb, NP_DTYPES[dtype]), dtype=dtype)
    with pytest.raises(MemoryError):
        a @ b
    # the interpreter and the library carry on
    assert (Tensor([[1.0, 2.0]], dtype=dtype) @ Tensor([[3.0], [4.0]], dtype=dtype)).to_numpy().tolist() == [[11.0]]


# ---------------------------------------------------------------- errors and their order


def _t(shape, dtype="f32"):
    return Tensor(np.ones(shape, NP_DTYPES[dtype]), dtype=dtype)


@pytest.mark.parametrize("a,b,exc,message", [
    (_t([3]), _t([3, 4]), RuntimeError, "Matmul requires at least 2D tensors. A: 1D, B: 2D"),
    (_t([2, 3]), _t([3]), RuntimeError, "Matmul requires at least 2D tensors. A: 2D, B: 1D"),
    (_t([]), _t([]), RuntimeError, "Matmul requires at least 2D tensors. A: 0D, B: 0D"),
    (_t([2, 3]), _t([4, 5]), RuntimeError, "Matrix inner dimensions mismatch for matmul: 3 vs 4"),
    (_t([2, 2, 3]), _t([5, 3, 4]), RuntimeError, "Shape mismatch: cannot broadcast [2] and [5]"),
    (_t([3, 2, 2, 3]), _t([4, 3, 1]), RuntimeError, "Shape mismatch: cannot broadcast [3, 2] and [4]"),
    (_t([2, 3], "f32"), _t([3, 4], "f16"), ValueError, mismatch_msg("F32", "F16")),
    (_t([2, 3], "bf16"), _t([3, 4], "f32"), ValueError, mismatch_msg("BF16", "F32")),
    (_t([2, 3], "bool"), _t([3, 4], "f32"), ValueError, mismatch_msg("Bool", "F32")),
    (_t([2, 3], "bool"), _t([3, 4], "bool"), TypeError, BOOL_MSG),
    # order: element types before ranks, ranks before inner extents, inner before batch
    (_t([3], "bool"), _t([5], "bool"), TypeError, BOOL_MSG),
    (_t([3], "f16"), _t([5], "bf16"), ValueError, mismatch_msg("F16", "BF16")),
    (_t([3]), _t([2, 4, 5]), RuntimeError, "Matmul requires at least 2D tensors. A: 1D, B: 3D"),
    (_t([2, 2, 3]), _t([5, 4, 4]), RuntimeError, "Matrix inner dimensions mismatch for matmul: 3 vs 4"),
    (_t([2, 2, 0]), _t([5, 0, 4]), RuntimeError, "Shape mismatch: cannot broadcast [2] and [5]"),
    # the expanded operands themselves exceed the size limit
    (_t([1, 2**40, 0]), _t([2**40, 0, 5]), RuntimeError,
     "Broadcast failed for A to [1099511627776, 1099511627776, 0]"),
    (_t([2**40, 1, 0]), _t([1, 0, 2**40]), RuntimeError,
     "Broadcast failed for B to [1099511627776, 0, 1099511627776]"),
])
def test_errors_and_their_order(a, b, exc, message):
    with pytest.raises(exc) as info:
        a @ b
    assert type(info.value) is exc
    assert str(info.value) == message


@pytest.mark.parametrize("dtype", ["f16", "bf16"])
def test_sixteen_bit_errors_carry_the_same_texts(dtype):
    with pytest.raises(RuntimeError, match=r"^Matrix inner dimensions mismatch for matmul: 3 vs 2$"):
        _t([2, 3], dtype) @ _t([2, 2], dtype)
    with pytest.raises(RuntimeError, match=r"^Shape mismatch: cannot broadcast \[2\] and \[3\]$"):
        _t([2, 1, 1], dtype) @ _t([3, 1, 1], dtype)


@pytest.mark.parametrize("other", [[[1.0]], np.ones((1, 1), np.float32), None, 2.0])
def test_non_tensor_operands_decline(other):
    t = Tensor([[1.0]])
    assert t.__matmul__(other) is NotImplemented
    assert t.__rmatmul__(other) is NotImplemented
    if not isinstance(other, np.ndarray):  # NumPy would try its own product
        with pytest.raises(TypeError, match="unsupported operand"):
            t @ other
        with pytest.raises(TypeError, match="unsupported operand"):
            other @ t


# ---------------------------------------------------------------- recording


def test_records_a_node_that_keeps_both_operands():
    a0 = np.array([[1.0, 2.0], [3.0, 4.0]], np.float32)
    b0 = np.array([[5.0, 6.0, 7.0], [8.0, 9.0, 10.0]], np.float32)

    def body():
        a = Tensor(a0, requires_grad=True)
        b = Tensor(b0.copy())
        c = a @ b
        assert c.requires_grad
        del b  # the node holds b's storage
        c.backward()
        return a.grad()

    np.testing.assert_array_equal(in_fresh_thread(body), np.ones((2, 3), np.float32) @ b0.T)


def test_failed_product_still_records():
    def body():
        a = Tensor(np.ones((2, 3), np.float32), requires_grad=True)   # leaf 0
        with pytest.raises(RuntimeError):
            a @ Tensor(np.ones((4, 2), np.float32))                   # leaf 1, node 2, then the error
        return probe_node_id(a @ a.transpose(0, 1))                   # node 3 (transpose), then 4

    assert in_fresh_thread(body) == 4


def test_constant_operands_do_not_record():
    r = Tensor([[1.0]]) @ Tensor([[2.0]])
    assert r.requires_grad is False
    with pytest.raises(ValueError):
        r.backward()


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("sx,sw", [
    ((3, 40, 72), (3, 72, 80)),
    # a stack around a shared weight: its gradient is one product over the stacked
    # rows, longer than a block of k (256) or than a split sum (4096)
    ((6, 64, 72), (72, 80)), ((70, 64, 8), (8, 8)),
    ((80, 72), (4, 72, 80)),  # the gradient of x sums over a broadcast batch
], ids=["batched", "shared_w", "shared_w_long", "broadcast_x"])
def test_stacked_gradients_round_the_exact_sum_once(rng, dtype, sx, sw):
    # large enough for the packed 16-bit kernels; integer terms keep every float32 sum exact
    x0, w0 = ints(rng, sx, "f32", -4, 4), ints(rng, sw, "f32", -4, 4)
    c0 = ints(rng, (x0 @ w0).shape, "f32", -4, 4)
    x, w = Tensor(x0, dtype=dtype, requires_grad=True), Tensor(w0, dtype=dtype, requires_grad=True)
    ((x @ w) * Tensor(c0, dtype=dtype)).backward()
    gx = (c0.astype(np.float64) @ np.swapaxes(w0, -1, -2)).reshape((-1,) + x0.shape).sum(0)
    gw = (np.swapaxes(x0, -1, -2).astype(np.float64) @ c0).reshape((-1,) + w0.shape).sum(0)
    np.testing.assert_array_equal(x.grad(), round_to(gx, dtype))
    np.testing.assert_array_equal(w.grad(), round_to(gw, dtype))
