"""Matrix products: values against float64 references, batches, operand layouts, empty extents, errors
in their order of checks, and every instruction set's kernels against the best one's, bit for bit."""

import numpy as np
import pytest

import vorka
from vorka import Tensor
from conftest import ARITH_BOOL, FORCED_ISA, ISAS, NP_DTYPES, NUMERIC, T, bits, in_fresh_thread, mismatch, relu

def ints(rng, shape, dtype="f32", lo=-8, hi=8):
    """Small integers: every product and partial sum is exact in float32."""
    return rng.integers(lo, hi + 1, size=shape).astype(NP_DTYPES[dtype])


def exact(a, b, dtype):
    """The float64 product rounded once to the element type."""
    return np.matmul(a.astype(np.float64), b.astype(np.float64)).astype(np.float32).astype(NP_DTYPES[dtype])


def standard_strides(shape):
    return [s // 4 for s in np.empty(shape, np.float32).strides]


LAYOUTS = {  # the same matrix stack stored row-major, column-major, or with both matrix strides above 1
    "row": lambda x, d: Tensor(x, dtype=d),
    "col": lambda x, d: Tensor(np.ascontiguousarray(np.swapaxes(x, -1, -2)), dtype=d).transpose(x.ndim - 2, x.ndim - 1),
    "strided": lambda x, d: Tensor(np.ascontiguousarray(np.transpose(x, (2, 1, 0))), dtype=d).transpose(0, 2),
}


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("sa,sb", [
    ((1, 1), (1, 1)), ((5, 9), (9, 7)), ((64, 96), (96, 80)), ((130, 300), (300, 33)), ((3, 1000), (1000, 2)),
    # stacks around a shared operand, on either side, and broadcast batches
    ((64, 32, 32), (32, 32)), ((32, 32), (64, 32, 32)), ((4, 1, 40, 24), (3, 24, 20)),
    # folded stacks that end inside a row block and a row tile
    ((37, 57, 32), (32, 20)), ((57, 32), (37, 32, 20)),
    # batch broadcasting of every kind
    ((5, 1, 2, 3), (4, 3, 2)), ((1, 2, 3), (7, 3, 1)), ((3, 1, 4, 2, 3), (5, 1, 3, 2)), ((2, 1, 1, 3), (1, 6, 3, 1)),
    ((1, 6, 5), (4, 5, 3)), ((4, 5, 3), (3, 2)),   # a stretched and a missing axis: one matrix for every product
])
def test_exact_when_float32_represents_every_term(rng, dtype, sa, sb):
    a, b = ints(rng, sa, dtype, -4, 4), ints(rng, sb, dtype, -4, 4)
    r = Tensor(a, dtype=dtype) @ Tensor(b, dtype=dtype)
    want = exact(a, b, dtype)
    assert r.shape == list(want.shape) and r.strides == standard_strides(want.shape)
    np.testing.assert_array_equal(r.to_numpy(), want)


# register-blocked, cache-blocked, and batches of long products (either operand batched): summed in
# halves down to a few thousand terms, not in one long sequence
@pytest.mark.parametrize("sa,sb,rtol", [((2, 2**16), (2**16, 3), 1e-6), ((8, 2**20), (2**20, 8), 1e-6),
                                        ((3, 2, 5000), (5000, 3), 1e-5), ((2, 5000), (3, 5000, 2), 1e-5)])
def test_long_sums_keep_float32_accuracy(rng, sa, sb, rtol):
    a, b = rng.random(sa).astype(np.float32), rng.random(sb).astype(np.float32)
    np.testing.assert_allclose((Tensor(a) @ Tensor(b)).to_numpy(), a.astype(np.float64) @ b.astype(np.float64),
                               rtol=rtol)


# infinities, NaNs, and finite terms whose sums pass the largest value
@pytest.mark.parametrize("dtype,big", [("f32", 3e38), ("f16", 60000.0), ("bf16", 3e38)])
def test_special_values(dtype, big):
    a = [[np.inf, 1.0, 0.0], [np.nan, 0.0, 0.0], [1.0, 1.0, 0.0], [-1.0, big, big], [0.0, -big, -big]]
    got = (T(a, dtype) @ T([[1.0, 0.0], [1.0, 1.0], [1.0, 1.0]], dtype)).to_numpy().astype(np.float64)
    want = [[np.inf, np.nan], [np.nan, np.nan], [2, 1], [np.inf, np.inf], [-np.inf, -np.inf]]
    np.testing.assert_array_equal(got, want)


def test_bfloat16_products_that_are_float32_subnormals():
    # Products are 2^-130 and their sums normal: flushing subnormals would give 0.
    a, b = np.full((64, 64), 2.0**-70, np.float32), np.full((64, 64), 2.0**-60, np.float32)
    b[:, 0] = 1.0  # mixed magnitudes in one operand
    np.testing.assert_array_equal((T(a, "bf16") @ T(b, "bf16")).to_numpy(), exact(a, b, "bf16"))
    # a subnormal bfloat16 operand counts as its value, not as zero
    a[:] = 0.0
    a[0, :] = 1.0
    a[3, 5] = 2.0**-130
    got = (T(a, "bf16") @ T(np.ones((64, 64)), "bf16")).to_numpy().astype(np.float64)
    assert np.all(got[0] == 64.0) and np.all(got[3] == 2.0**-130) and np.count_nonzero(got) == 128


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
    np.testing.assert_array_equal(r.to_numpy(), exact(a, b, dtype))


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("sa,sb,want", [([2, 0], [0, 3], [2, 3]), ([4, 2, 0], [0, 3], [4, 2, 3]),
                                        ([0, 3], [3, 4], [0, 4]), ([2, 3], [3, 0], [2, 0]),
                                        ([0, 2, 3], [3, 4], [0, 2, 4]), ([0, 0], [0, 0], [0, 0])])
def test_empty_extents(dtype, sa, sb, want):
    r = T(np.ones(sa), dtype) @ T(np.ones(sb), dtype)
    out = r.to_numpy()
    assert (r.shape, r.dtype, out.shape) == (want, dtype, tuple(want))
    assert np.all(out == 0) and not np.any(np.signbit(out.astype(np.float32)))


def _t(shape, dtype="f32"):
    return T(np.ones(shape, np.float32), dtype)


@pytest.mark.parametrize("a,b,exc,message", [
    (_t([3]), _t([3, 4]), RuntimeError, "Matmul requires at least 2D tensors. A: 1D, B: 2D"),
    (_t([2, 3]), _t([3]), RuntimeError, "Matmul requires at least 2D tensors. A: 2D, B: 1D"),
    (_t([2, 3]), _t([4, 5]), RuntimeError, "Matrix inner dimensions mismatch for matmul: 3 vs 4"),
    (_t([2, 2, 3]), _t([5, 3, 4]), RuntimeError, "Shape mismatch: cannot broadcast [2] and [5]"),
    (_t([3, 2, 2, 3]), _t([4, 3, 1]), RuntimeError, "Shape mismatch: cannot broadcast [3, 2] and [4]"),
    (_t([2, 3], "f32"), _t([3, 4], "f16"), ValueError, mismatch("F32", "F16")),
    (_t([2, 3], "bool"), _t([3, 4], "f32"), ValueError, mismatch("Bool", "F32")),
    # order: element types before ranks, ranks before inner extents, inner before batch
    (_t([3], "bool"), _t([5], "bool"), TypeError, ARITH_BOOL),
    (_t([3], "f16"), _t([5], "bf16"), ValueError, mismatch("F16", "BF16")),
    (_t([3]), _t([2, 4, 5]), RuntimeError, "Matmul requires at least 2D tensors. A: 1D, B: 3D"),
    (_t([2, 2, 3]), _t([5, 4, 4]), RuntimeError, "Matrix inner dimensions mismatch for matmul: 3 vs 4"),
    (_t([2, 2, 0]), _t([5, 0, 4]), RuntimeError, "Shape mismatch: cannot broadcast [2] and [5]"),
    # the expanded operands themselves exceed the size limit
    (_t([1, 2**40, 0]), _t([2**40, 0, 5]), RuntimeError, "Broadcast failed for A to [1099511627776, 1099511627776, 0]"),
    (_t([2**40, 1, 0]), _t([1, 0, 2**40]), RuntimeError, "Broadcast failed for B to [1099511627776, 0, 1099511627776]"),
    # results beyond the size limit, or within it but larger than any address space (1 EiB)
    (_t([2**40, 0]), _t([0, 2**40]), MemoryError, "matmul result [1099511627776, 1099511627776] exceeds the array size limit"),
    (_t([2**29, 0], "f16"), _t([0, 2**29], "f16"), MemoryError,
     "out of memory for the matmul of [536870912, 0] and [0, 536870912]"),
    (_t([2**30, 1, 0], "bf16"), _t([2**30, 0, 2**30], "bf16"), MemoryError,
     "out of memory for the matmul of [1073741824, 1, 0] and [1073741824, 0, 1073741824]"),
])
def test_errors_and_their_order(a, b, exc, message):
    with pytest.raises(exc) as info:
        a @ b
    assert type(info.value) is exc and message in (None, str(info.value))


# ---------------------------------------------------------------- every instruction set, bit for bit

def _workload(dtype):
    """Results of the SIMD paths: products (packed blocks and edges; names start with "@"), element-wise
    and number forms, comparisons, relu, conversions and the gradients' broadcast sums."""
    rng = np.random.default_rng(5)
    a, b = rng.standard_normal((67, 129)), rng.standard_normal((129, 35))
    ta, tb, tw = T(a, dtype, True), T(b, dtype), T(rng.standard_normal((3, 67, 35)), dtype)
    x = T(rng.standard_normal((5, 70)) * 100, dtype, True)
    y = T(rng.standard_normal(70) + 3, dtype, True)
    out = {"@": ta @ tb, "@t": tb.transpose(0, 1) @ ta.transpose(0, 1), "@b": tw @ tb.transpose(0, 1),
           "+": x + y, "-": x - y, "*": x * y, "/": x / y, "*s": x * 0.3, "/s": x / 3.0, "s/": 3.0 / y,
           "-s": x - 1.5, "<": x < y, ">=s": x >= 0.5, "relu": relu(x), "relu_t": relu(x).transpose(0, 1) * 2.0}
    (relu(x / y) * (x - y) + x * 0.5).backward()
    ((ta @ tb) * tw).backward()
    return {**{k: bits(v) for k, v in out.items()}, "dx": x.grad(), "dy": y.grad(), "@da": ta.grad()}


@pytest.fixture
def force_isa():
    hook = getattr(vorka.vorka_core, "_force_isa", None)
    if hook is None:
        pytest.skip("instruction sets can be forced only in a build with test hooks")
    yield hook
    hook(FORCED_ISA or ISAS[-1])


@pytest.mark.parametrize("isa", ISAS[:-1])
@pytest.mark.parametrize("dtype", NUMERIC)
def test_every_instruction_set_gives_the_same_bits(force_isa, isa, dtype):
    best = force_isa(ISAS[-1])
    if best == isa:
        pytest.skip(f"this CPU's best is {best}")
    want = in_fresh_thread(lambda: _workload(dtype))
    assert force_isa(isa) == isa
    got = in_fresh_thread(lambda: _workload(dtype))
    for name in want:
        if dtype == "f32" and isa == ISAS[0] and name.startswith("@"):  # portable kernels: multiply, then add
            np.testing.assert_allclose(got[name].view(np.float32), want[name].view(np.float32), 1e-5, 1e-5, err_msg=name)
        else:
            np.testing.assert_array_equal(bits(got[name]), bits(want[name]), err_msg=f"{name} on {isa} vs {best}")


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("sx,sw,tiny,xt", [
    ((64, 72), (72, 80), False, False), ((64, 72), (72, 80), True, False),
    ((3, 40, 72), (3, 72, 80), False, False),
    # a stack around a shared weight: its gradient is one product over the stacked
    # rows, longer than a block of k (512) or than a split sum (4096) ...
    ((9, 64, 72), (72, 80), False, False), ((70, 64, 8), (8, 8), False, False),
    # ... unless x is a view whose rows do not stack (its first two axes swapped)
    ((9, 64, 72), (72, 80), False, True),
    ((80, 72), (4, 72, 80), False, False),  # the gradient of x sums over a broadcast batch
    ((4, 64, 32), (1, 1, 32, 64), False, False),  # w with more (unit) batch axes than x
])
def test_gradients_round_the_exact_sum_once(rng, dtype, sx, sw, tiny, xt):
    """Large enough for the packed 16-bit kernels; integer terms keep every float32 sum exact, so each
    gradient is the exact value rounded once. A value whose products could be subnormal must take
    the widening path with the same result."""
    x0, w0 = ints(rng, sx, "f32", -4, 4), ints(rng, sw, "f32", -4, 4)
    if tiny:
        w0[3, 5] = 2.0**-100
    c0 = ints(rng, (x0 @ w0).shape, "f32", -4, 4)
    leaf = Tensor(x0.swapaxes(0, 1) if xt else x0, dtype=dtype, requires_grad=True)
    x, w = leaf.transpose(0, 1) if xt else leaf, Tensor(w0, dtype=dtype, requires_grad=True)
    ((x @ w) * Tensor(c0, dtype=dtype)).backward()
    w0 = w.to_numpy().astype(np.float64)   # as the element type holds it
    gx = (c0.astype(np.float64) @ np.swapaxes(w0, -1, -2)).reshape((-1,) + x0.shape).sum(0)
    gw = (np.swapaxes(x0, -1, -2).astype(np.float64) @ c0).reshape((-1,) + w0.shape).sum(0)
    gx = gx.swapaxes(0, 1) if xt else gx
    np.testing.assert_array_equal(leaf.grad(), gx.astype(np.float32).astype(NP_DTYPES[dtype]))
    np.testing.assert_array_equal(w.grad(), gw.astype(np.float32).astype(NP_DTYPES[dtype]))
