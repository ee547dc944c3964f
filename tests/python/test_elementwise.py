"""Element-wise arithmetic and comparison: values bit-exact against independent references,
broadcasting, error order, result layouts and the rounding of number operands."""

import operator

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from vorka import Tensor
from conftest import DTYPES, NP_DTYPES, NUMERIC, in_fresh_thread, probe_node_id

BF16 = NP_DTYPES["bf16"]
UINT = {"f32": np.uint32, "f16": np.uint16, "bf16": np.uint16}
ARITH = {"+": operator.add, "-": operator.sub, "*": operator.mul, "/": operator.truediv}
CMP = {"==": operator.eq, "!=": operator.ne, "<": operator.lt, "<=": operator.le,
       ">": operator.gt, ">=": operator.ge}
# what `x OP t` becomes once Python swaps the operands of a comparison
SWAPPED = {"==": "==", "!=": "!=", "<": ">", "<=": ">=", ">": "<", ">=": "<="}


# ---------------------------------------------------------------- references

def bf16_narrow(f):
    """float32 -> bfloat16, round to nearest even, NaNs quieted (bit-level, independent of ml_dtypes)."""
    x = np.atleast_1d(np.asarray(f, np.float32)).view(np.uint32)
    hi = x >> np.uint32(16)
    up = ((x & 0x8000) != 0) & ((x & 0x17FFF) != 0)
    out = np.where((x & 0x7FFFFFFF) > 0x7F800000, hi | 0x40, hi + up.astype(np.uint32))
    return out.astype(np.uint16).view(BF16).reshape(np.shape(f))


def bf16_widen(h):
    x = np.atleast_1d(np.asarray(h, BF16)).view(np.uint16).astype(np.uint32)
    x = np.where((x & 0x7FFF) > 0x7F80, x | 0x40, x)
    return (x << np.uint32(16)).astype(np.uint32).view(np.float32).reshape(np.shape(h))


def widen(a, dtype):
    return bf16_widen(a) if dtype == "bf16" else np.asarray(a).astype(np.float32)


def ref_arith(op, a, b, dtype):
    # NumPy's float16 ufuncs are correctly rounded for + - * /; bfloat16 is float32 then narrowed.
    with np.errstate(all="ignore"):
        if dtype == "bf16":
            return bf16_narrow(op(bf16_widen(a), bf16_widen(b)))
        return np.asarray(op(a, b))


def ref_cmp(op, a, b, dtype):
    if dtype == "bool":
        return np.asarray(op(np.asarray(a), np.asarray(b)))
    with np.errstate(all="ignore"):
        return np.asarray(op(widen(a, dtype), widen(b, dtype)))


def number_as(s, dtype):
    """A Python number as the kernels see it: float32 first, then the element type."""
    with np.errstate(all="ignore"):
        s32 = np.array(float(s), np.float64).astype(np.float32)
        if dtype == "f16":
            return s32.astype(np.float16)
        if dtype == "bf16":
            return bf16_narrow(s32)
        return s32


def ref_scalar_div(a, s, dtype):
    # times the float32 reciprocal where it is finite, else a true quotient
    with np.errstate(all="ignore"):
        s32 = np.array(float(s)).astype(np.float32)
        r = np.float32(1.0) / s32
        op = (lambda x: x * r) if np.isfinite(r) else (lambda x: x / s32)
        if dtype == "f32":
            return np.asarray(op(a))
        if dtype == "f16":
            return op(a.astype(np.float32)).astype(np.float16)
        return bf16_narrow(op(bf16_widen(a)))


def ref_rdiv(s, a, dtype):
    return ref_arith(operator.truediv, np.broadcast_to(number_as(s, dtype), np.shape(a)), a, dtype)


def assert_bits(got, expected, what=""):
    got, expected = np.asarray(got), np.asarray(expected)
    assert got.dtype == expected.dtype, what
    assert got.shape == expected.shape, what
    if got.dtype == np.bool_:
        np.testing.assert_array_equal(got, expected, err_msg=what)
        return
    gn, en = np.isnan(got.astype(np.float32)), np.isnan(expected.astype(np.float32))
    np.testing.assert_array_equal(gn, en, err_msg=f"NaN positions {what}")
    u = np.uint32 if got.itemsize == 4 else np.uint16
    gb, eb = got.view(u)[~gn], expected.view(u)[~en]
    bad = np.nonzero(gb != eb)[0]
    assert bad.size == 0, (f"{what}: {bad.size} mismatches, first got {gb[bad[0]]:#x} "
                           f"({got[~gn][bad[0]]}) expected {eb[bad[0]]:#x} ({expected[~en][bad[0]]})")


def T(x, dtype="f32", **kw):
    return Tensor(np.asarray(x).astype(NP_DTYPES[dtype]), dtype=dtype, **kw)


def bits_of(*values, dtype):
    return np.array(values, UINT[dtype]).view(NP_DTYPES[dtype])


SPECIALS = {
    "f32": np.concatenate([
        np.array([0.0, -0.0, 1.0, -1.0, 1.5, 3.0, 0.1, -7.25, 65504.0, 1e38, np.inf, -np.inf, np.nan],
                 np.float32),
        bits_of(0x7F7FFFFF, 0xFF7FFFFF, 0x00000001, 0x80000001, 0x00800000, 0x007FFFFF,
                0x7F800001, 0xFFC00000, dtype="f32")]),
    "f16": np.concatenate([
        np.array([0.0, -0.0, 1.0, -1.0, 1.5, 3.0, 0.1, -7.25, 2 ** -11, 3 * 2 ** -11, np.inf, -np.inf,
                  np.nan], np.float16),
        bits_of(0x7BFF, 0xFBFF, 0x0001, 0x8001, 0x0400, 0x03FF, 0x7C01, 0xFE00, dtype="f16")]),
    "bf16": np.concatenate([
        np.array([0.0, -0.0, 1.0, -1.0, 1.5, 3.0, 0.1, -7.25, 2 ** -8, 3 * 2 ** -8, np.inf, -np.inf,
                  np.nan], np.float32).astype(BF16),
        bits_of(0x7F7F, 0xFF7F, 0x0001, 0x8001, 0x0080, 0x007F, 0x7F81, 0xFFC0, dtype="bf16")]),
}


# ---------------------------------------------------------------- tensor with tensor

@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("sym", ARITH)
def test_arithmetic_on_every_pair_of_special_values(dtype, sym):
    v = SPECIALS[dtype]
    a, b = v[:, None], v[None, :]  # broadcast to the full grid of pairs
    got = ARITH[sym](T(a, dtype), T(b, dtype))
    assert got.dtype == dtype and got.shape == [v.size, v.size]
    assert_bits(got.to_numpy(), ref_arith(ARITH[sym], a, b, dtype), f"{dtype} {sym}")


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("sym", CMP)
def test_comparison_on_every_pair_of_special_values(dtype, sym):
    v = SPECIALS[dtype]
    a, b = v[:, None], v[None, :]
    got = CMP[sym](T(a, dtype), T(b, dtype))
    assert got.dtype == "bool" and got.requires_grad is False
    assert_bits(got.to_numpy(), ref_cmp(CMP[sym], a, b, dtype), f"{dtype} {sym}")


@pytest.mark.parametrize("sym", CMP)
def test_bool_comparison(sym):
    a, b = np.array([False, False, True, True]), np.array([False, True, False, True])
    got = CMP[sym](T(a, "bool"), T(b, "bool"))
    np.testing.assert_array_equal(got.to_numpy(), CMP[sym](a, b))


@pytest.mark.parametrize("dtype,a,sym,b,expected", [
    ("f32", 1.0, "/", 0.0, np.inf), ("f32", -1.0, "/", 0.0, -np.inf), ("f32", 0.0, "/", 0.0, np.nan),
    ("f32", 2.0 ** -126, "/", 2.0, 2.0 ** -127),            # subnormal result, not flushed
    ("f32", 2.0 ** -149, "*", 1.0, 2.0 ** -149),            # subnormal operand, not treated as zero
    ("f16", 65504.0, "+", 65504.0, np.inf),
    ("f16", 1.0, "+", 2.0 ** -11, 1.0),                      # tie to even
    ("f16", 1.0, "+", 3 * 2.0 ** -11, 1.0 + 2.0 ** -9),
    ("f16", 2.0 ** -14, "*", 2.0 ** -10, 2.0 ** -24),        # smallest subnormal
    ("bf16", 1.0, "+", 2.0 ** -8, 1.0),
    ("bf16", 1.0, "+", 3 * 2.0 ** -8, 1.0 + 2.0 ** -6),
    ("bf16", 3.0, "*", 3.0, 9.0),
    ("bf16", 2.0 ** -126, "*", 2.0 ** -3, 2.0 ** -129),      # bfloat16 subnormal
    ("bf16", 3.3895313892515355e38, "+", 3.3895313892515355e38, np.inf),
])
def test_named_arithmetic_cases(dtype, a, sym, b, expected):
    got = ARITH[sym](T([a], dtype), T([b], dtype)).to_numpy().astype(np.float64)
    np.testing.assert_array_equal(got, [expected])


@pytest.mark.parametrize("dtype", NUMERIC)
def test_signed_zero_results(dtype):
    pz, nz = T([0.0], dtype), T([-0.0], dtype)
    cases = [(nz + nz, True), (nz + pz, False), (pz - pz, False), (nz - pz, True),
             (pz * T([-1.0], dtype), True), (T([1.0], dtype) / T([-np.inf], dtype), True)]
    for t, negative in cases:
        assert np.signbit(t.to_numpy().astype(np.float32))[0] == negative


@pytest.mark.parametrize("dtype", NUMERIC)
def test_nan_and_zero_comparison_rules(dtype):
    nan, one = T([np.nan], dtype), T([1.0], dtype)
    for sym in ["==", "<", "<=", ">", ">="]:
        assert not CMP[sym](nan, nan).to_numpy()[0] and not CMP[sym](nan, one).to_numpy()[0]
    assert (nan != nan).to_numpy()[0] and (nan != one).to_numpy()[0]
    pz, nz = T([0.0], dtype), T([-0.0], dtype)
    assert (nz == pz).to_numpy()[0] and not (nz != pz).to_numpy()[0] and not (nz < pz).to_numpy()[0]


# ---------------------------------------------------------------- errors, in their order of checks

def _mk(dtype, shape):
    return T(np.ones(shape), dtype)


ARITH_BOOL = "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."


@pytest.mark.parametrize("sym", ARITH)
@pytest.mark.parametrize("lhs,rhs,exc,message", [
    (("bool", [2]), ("bool", [2]), TypeError, ARITH_BOOL),
    (("bool", [2]), ("bool", [3]), TypeError, ARITH_BOOL),  # Bool before shapes
    (("bool", [2]), ("f32", [2]), ValueError,
     "Tensor DType mismatch during binary execution. Cannot operate between Bool and F32."),
    (("f32", [2]), ("f16", [2]), ValueError,
     "Tensor DType mismatch during binary execution. Cannot operate between F32 and F16."),
    (("bf16", [2]), ("f16", [3]), ValueError,  # type before shapes
     "Tensor DType mismatch during binary execution. Cannot operate between BF16 and F16."),
    (("f16", [2]), ("bool", [2]), ValueError,
     "Tensor DType mismatch during binary execution. Cannot operate between F16 and Bool."),
    (("f32", [2, 3]), ("f32", [2]), RuntimeError, "Shape mismatch: cannot broadcast [2, 3] and [2]"),
    (("f16", [0]), ("f16", [3]), RuntimeError, "Shape mismatch: cannot broadcast [0] and [3]"),
    (("bf16", [2, 3, 4]), ("bf16", [3, 1, 5]), RuntimeError,
     "Shape mismatch: cannot broadcast [2, 3, 4] and [3, 1, 5]"),
    (("f32", [2 ** 40, 0]), ("f32", [2 ** 40, 1, 0]), RuntimeError,
     "Broadcast failed for A: [1099511627776, 0] -> [1099511627776, 1099511627776, 0]"),
])
def test_arithmetic_errors(sym, lhs, rhs, exc, message):
    with pytest.raises(exc) as e:
        ARITH[sym](_mk(*lhs), _mk(*rhs))
    assert type(e.value) is exc and str(e.value) == message


@pytest.mark.parametrize("sym", CMP)
@pytest.mark.parametrize("lhs,rhs,message", [
    (("f32", [2]), ("f16", [2]), "Tensor device or dtype mismatch for element-wise {} operation."),
    (("bool", [2]), ("bf16", [3]), "Tensor device or dtype mismatch for element-wise {} operation."),
    (("f32", [2, 3]), ("f32", [2]), "Shape mismatch: cannot broadcast [2, 3] and [2]"),
    (("bool", [4]), ("bool", [3]), "Shape mismatch: cannot broadcast [4] and [3]"),
    (("f16", [2 ** 40, 0]), ("f16", [2 ** 40, 1, 0]),
     "Broadcast failed for A: [1099511627776, 0] -> [1099511627776, 1099511627776, 0]"),
])
def test_comparison_errors(sym, lhs, rhs, message):
    with pytest.raises(RuntimeError) as e:
        CMP[sym](_mk(*lhs), _mk(*rhs))
    assert str(e.value) == message.format(sym)


# ---------------------------------------------------------------- broadcasting

@pytest.mark.parametrize("sa,sb,expected", [
    ([2, 3], [3], [2, 3]), ([2, 1], [1, 3], [2, 3]), ([], [2, 3], [2, 3]), ([2, 3], [], [2, 3]),
    ([4, 1, 5], [3, 1], [4, 3, 5]), ([0], [1], [0]), ([1], [0], [0]), ([0, 3], [3], [0, 3]),
    ([5, 1, 1], [1, 4, 1], [5, 4, 1]), ([], [], []), ([2, 1, 3, 1, 2], [3, 4, 1], [2, 1, 3, 4, 2]),
])
@pytest.mark.parametrize("dtype", DTYPES)
def test_broadcast_shapes_and_values(sa, sb, expected, dtype, rng):
    a = rng.standard_normal(sa).round(1).astype(NP_DTYPES[dtype])
    b = rng.standard_normal(sb).round(1).astype(NP_DTYPES[dtype])
    ops = {"<": operator.lt, "!=": operator.ne}
    if dtype != "bool":
        ops.update({"-": operator.sub, "/": operator.truediv})
    for sym, op in ops.items():
        got = op(T(a, dtype), T(b, dtype))
        assert got.shape == expected, sym
        ref = ref_cmp(op, a, b, dtype) if sym in CMP else ref_arith(op, a, b, dtype)
        assert_bits(got.to_numpy(), ref, f"{dtype} {sa} {sym} {sb}")
        if 0 in expected:
            assert got.strides == [0] * len(expected)


# ---------------------------------------------------------------- result layouts (zip rule)

def transposed(shape, d0=0, d1=1, dtype="f32"):
    """A tensor of logical shape `shape` whose axes d0, d1 were swapped in memory."""
    mem = list(shape)
    mem[d0], mem[d1] = mem[d1], mem[d0]
    data = np.arange(1, np.prod(mem) + 1, dtype=np.float32).reshape(mem)
    return T(data, dtype).transpose(d0, d1)


def standard(shape, dtype="f32"):
    return T(np.arange(2, np.prod(shape) + 2, dtype=np.float32).reshape(shape), dtype)


@pytest.mark.parametrize("make_a,make_b,strides", [
    (lambda d: standard([2, 3], d), lambda d: standard([3], d), [3, 1]),
    (lambda d: standard([2, 3], d), lambda d: standard([2, 1], d), [3, 1]),
    (lambda d: transposed([3, 2], dtype=d), lambda d: transposed([3, 2], dtype=d), [1, 3]),
    (lambda d: transposed([3, 2], dtype=d), lambda d: standard([3, 2], d), [2, 1]),
    (lambda d: standard([3, 2], d), lambda d: transposed([3, 2], dtype=d), [2, 1]),
    (lambda d: transposed([3, 2], dtype=d), lambda d: standard([2], d), [1, 3]),  # broadcast row
    (lambda d: standard([2], d), lambda d: transposed([3, 2], dtype=d), [1, 3]),
    (lambda d: transposed([3, 2], dtype=d), lambda d: standard([3, 1], d), [1, 3]),
    (lambda d: standard([3, 2], d), lambda d: standard([3, 1], d), [2, 1]),
    (lambda d: T(5.0, d), lambda d: transposed([3, 2], dtype=d), [1, 3]),         # rank-0 operand
    (lambda d: transposed([3, 2, 4], dtype=d), lambda d: transposed([3, 2, 4], dtype=d), [8, 4, 1]),
    (lambda d: transposed([4, 3, 2], 0, 2, d), lambda d: transposed([4, 3, 2], 0, 2, d), [1, 4, 12]),
    (lambda d: transposed([3, 1], dtype=d), lambda d: transposed([3, 1], dtype=d), [1, 1]),
])
@pytest.mark.parametrize("dtype", NUMERIC)
def test_zip_layout(make_a, make_b, strides, dtype):
    a, b = make_a(dtype), make_b(dtype)
    na, nb = a.to_numpy(), b.to_numpy()
    for sym, op in [("+", operator.add), ("*", operator.mul), ("==", operator.eq), (">=", operator.ge)]:
        got = op(a, b)
        assert got.strides == strides, sym
        ref = ref_cmp(op, na, nb, dtype) if sym in CMP else ref_arith(op, na, nb, dtype)
        assert_bits(got.to_numpy(), ref, sym)


def test_bool_comparison_layout():
    a = transposed([3, 2], dtype="bool")
    assert (a == a).strides == [1, 3]
    assert (a != standard([3, 2], "bool")).strides == [2, 1]


# An operand read across its memory order is walked in tiles: 64 bytes of it per
# line (16 float32, 32 16-bit or 64 bool elements) by runs of 256. Sizes sit one
# below, on and one above those edges; `b` is standard, broadcast, or permuted otherwise.
@pytest.mark.parametrize("shape,swap,b_form", [
    ([15, 255], (0, 1), "standard"), ([16, 256], (0, 1), "standard"), ([17, 257], (0, 1), "standard"),
    ([33, 513], (0, 1), "row"), ([65, 300], (0, 1), "column"), ([1, 300], (0, 1), "standard"),
    ([3, 17, 257], (1, 2), "swap02"), ([257, 3, 33], (0, 2), "swap12"), ([5, 31, 65], (0, 2), "row"),
    ([3, 4, 17, 65], (2, 3), "axis1"),  # two outer axes that cannot merge
])
@pytest.mark.parametrize("dtype", DTYPES)
def test_tiled_walk_across_memory_order(shape, swap, b_form, dtype):
    na, a = _build(shape, swap, dtype, 7)
    if b_form in ("row", "column", "axis1"):
        b_shape = {"row": shape[-1:], "column": shape[:-1] + [1], "axis1": shape[:1] + [1] + shape[2:]}[b_form]
        nb, b = _build(b_shape, None, dtype, 8)
    else:
        nb, b = _build(shape, {"standard": None, "swap02": (0, 2), "swap12": (1, 2)}[b_form], dtype, 8)
    target = list(np.broadcast_shapes(na.shape, nb.shape))
    for x, y, nx, ny in ((a, b, na, nb), (b, a, nb, na)):
        for sym in (["<=", "!="] if dtype == "bool" else ["+", "*", ">="]):
            got = (ARITH.get(sym) or CMP[sym])(x, y)
            assert got.strides == expected_zip_strides(x, y, target), sym
            ref = ref_cmp(CMP[sym], nx, ny, dtype) if sym in CMP else ref_arith(ARITH[sym], nx, ny, dtype)
            assert_bits(got.to_numpy(), ref, sym)
    # to_numpy of a layout that is neither row- nor column-major copies through the same walk
    if len(shape) >= 3:
        assert_bits(a.transpose(0, 1).to_numpy(), np.swapaxes(na, 0, 1))


# ---------------------------------------------------------------- tensor with a number

SCALARS = [0.0, -0.0, 1.0, -2.5, 0.1, 1 / 3, 3, True, 2049.0, 257.0, 65504.0, 65520.0, 1e40, -1e40,
           1e-50, 1e-45, -1e-40, 3e-39, float("inf"), float("-inf"), float("nan")]

SCALAR_ARITH = {
    "t + s": (lambda t, s: t + s, lambda a, s, d: ref_arith(operator.add, a, number_as(s, d), d)),
    "s + t": (lambda t, s: s + t, lambda a, s, d: ref_arith(operator.add, a, number_as(s, d), d)),
    "t - s": (lambda t, s: t - s, lambda a, s, d: ref_arith(operator.sub, a, number_as(s, d), d)),
    "t * s": (lambda t, s: t * s, lambda a, s, d: ref_arith(operator.mul, a, number_as(s, d), d)),
    "s * t": (lambda t, s: s * t, lambda a, s, d: ref_arith(operator.mul, a, number_as(s, d), d)),
    "t / s": (lambda t, s: t / s, lambda a, s, d: ref_scalar_div(a, s, d)),
    "s / t": (lambda t, s: s / t, lambda a, s, d: ref_rdiv(s, a, d)),
}


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("form", SCALAR_ARITH)
def test_scalar_arithmetic(dtype, form):
    fn, ref = SCALAR_ARITH[form]
    a = SPECIALS[dtype]
    for s in SCALARS:
        got = fn(T(a, dtype), s)
        assert got.dtype == dtype
        assert_bits(got.to_numpy(), ref(a, s, dtype), f"{dtype} {form} with s={s!r}")


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("sym", CMP)
@pytest.mark.parametrize("tensor_left", [True, False])
def test_scalar_comparison(dtype, sym, tensor_left):
    a = SPECIALS[dtype]
    for s in SCALARS:
        t = T(a, dtype)
        got = CMP[sym](t, s) if tensor_left else CMP[sym](s, t)
        eff = sym if tensor_left else SWAPPED[sym]
        assert got.dtype == "bool" and got.requires_grad is False
        expected = ref_cmp(CMP[eff], a, np.broadcast_to(number_as(s, dtype), a.shape), dtype)
        assert_bits(got.to_numpy(), expected, f"{dtype} {'t' if tensor_left else 's'} {sym} s={s!r}")


@pytest.mark.parametrize("dtype,value,number", [
    ("f16", 2048.0, 2049), ("bf16", 256.0, 257), ("f32", 16777216.0, 16777217),
    # rounded to float32 first: 1 + 2^-11 (+2^-40) is then a float16 tie and goes to even
    ("f16", 1.0, 1 + 2.0 ** -11 + 2.0 ** -40), ("bf16", 1.0, 1 + 2.0 ** -8 + 2.0 ** -40),
    ("f32", 0.0, 1e-50),
])
def test_number_is_rounded_before_use(dtype, value, number):
    t = T([value], dtype)
    assert (t == number).to_numpy()[0] and (number == t).to_numpy()[0]
    assert not (t != number).to_numpy()[0]
    assert not (t < number).to_numpy()[0] and not (t > number).to_numpy()[0]
    np.testing.assert_array_equal((T([0.0], dtype) + number).to_numpy().astype(np.float64), [value])


@pytest.mark.parametrize("dtype", NUMERIC)
def test_overflowing_numbers(dtype):
    t = T([1.0, -2.0], dtype)
    np.testing.assert_array_equal((t * 1e40).to_numpy().astype(np.float32), [np.inf, -np.inf])
    np.testing.assert_array_equal((1e40 + t).to_numpy().astype(np.float32), [np.inf, np.inf])
    np.testing.assert_array_equal((t == 1e40).to_numpy(), [False, False])
    np.testing.assert_array_equal((T([np.inf], dtype) == 1e40).to_numpy(), [True])
    if dtype == "f16":  # 65520 rounds to infinity in float16 only
        np.testing.assert_array_equal((T([0.0], dtype) + 65520.0).to_numpy(), [np.inf])


@pytest.mark.parametrize("dtype,a,s,expected_bits", [
    ("f32", 5.0, 3.0, 0x3FD55556),      # 5 * float32(1/3), not the rounded quotient 0x3FD55555
    ("f32", 3.0, 3.0, 0x3F800000),
    ("f16", 0.1, 0.00001, 0x70E2),      # float32 reciprocal 100000 is kept: about 10000, finite
    ("f16", 2.0, 0.0, 0x7C00), ("f16", -2.0, 0.0, 0xFC00),
    ("bf16", 100.0, 3.0, 0x4205),       # 33.25: widened 100 * float32(1/3) rounded once
    ("bf16", 0.1, 0.00001, None),
    ("f32", 1e-39, 1e-40, 0x4120003B),  # 1 / s overflows: a true quotient, 10.000056 as in NumPy
    ("f32", 0.0, 1e-40, 0x00000000),
    ("bf16", 1e-39, -1e-40, 0xC122),  # -10.125: bfloat16 holds 1e-39 coarsely
])
def test_division_by_a_number(dtype, a, s, expected_bits):
    x = np.array([a]).astype(NP_DTYPES[dtype])
    got = (T(x, dtype) / s).to_numpy()
    assert_bits(got, ref_scalar_div(x, s, dtype))
    if expected_bits is not None:
        assert int(got.view(UINT[dtype])[0]) == expected_bits
    else:
        assert abs(float(got.astype(np.float32)[0]) - 10000.0) < 100.0


@pytest.mark.parametrize("dtype", NUMERIC)
def test_division_by_zero_numbers(dtype):
    got = (T([0.0, 2.0, -2.0], dtype) / 0.0).to_numpy().astype(np.float32)
    assert np.isnan(got[0]) and got[1] == np.inf and got[2] == -np.inf
    got = (T([0.0, 2.0], dtype) / -0.0).to_numpy().astype(np.float32)
    assert np.isnan(got[0]) and got[1] == -np.inf


@pytest.mark.parametrize("dtype,s,x,expected", [
    ("f32", 1.0, [0.0, -0.0, 2.0, np.inf, np.nan], [np.inf, -np.inf, 0.5, 0.0, np.nan]),
    ("f32", 5.0, [3.0], [np.float32(5.0) / np.float32(3.0)]),   # a true quotient
    ("f16", 2049.0, [1.0], [2048.0]),                            # number rounded to float16 first
    ("bf16", 257.0, [1.0], [256.0]),
    ("f16", 1.0, [3.0], [np.float16(1.0) / np.float16(3.0)]),
    ("f16", 0.0, [0.0], [np.nan]),
])
def test_number_divided_by_tensor(dtype, s, x, expected):
    got = (s / T(x, dtype)).to_numpy().astype(np.float32)
    np.testing.assert_array_equal(got, np.array(expected).astype(NP_DTYPES[dtype]).astype(np.float32))


SCALAR_BOOL_ERRORS = [
    (lambda t: t + 1.0, ValueError, "Tensor DType invalid during scalar add. Cannot operate between Bool and scalar."),
    (lambda t: 1.0 + t, ValueError, "Tensor DType invalid during scalar add. Cannot operate between Bool and scalar."),
    (lambda t: t - 1.0, ValueError, "Tensor DType invalid during scalar sub. Cannot operate between Bool and scalar."),
    (lambda t: t * 2.0, ValueError,
     "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."),
    (lambda t: 2 * t, ValueError,
     "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."),
    (lambda t: t / 2.0, ValueError,
     "Tensor DType invalid during scalar product. Cannot operate between Bool and scalar."),
    (lambda t: 2.0 / t, ValueError, "Tensor DType invalid during scalar div. Cannot operate between Bool and scalar."),
    (lambda t: t == 1.0, RuntimeError, "Tensor device or dtype mismatch for scalar == operation."),
    (lambda t: t == True, RuntimeError, "Tensor device or dtype mismatch for scalar == operation."),  # noqa: E712
    (lambda t: 1.0 == t, RuntimeError, "Tensor device or dtype mismatch for scalar == operation."),
    (lambda t: t != 1.0, RuntimeError, "Tensor device or dtype mismatch for scalar != operation."),
    (lambda t: 1.0 != t, RuntimeError, "Tensor device or dtype mismatch for scalar != operation."),
    (lambda t: t < 1.0, RuntimeError, "Tensor device or dtype mismatch for scalar < operation."),
    (lambda t: 1.0 < t, RuntimeError, "Tensor device or dtype mismatch for scalar > operation."),
    (lambda t: t <= 1.0, RuntimeError, "Tensor device or dtype mismatch for scalar <= operation."),
    (lambda t: t > 1.0, RuntimeError, "Tensor device or dtype mismatch for scalar > operation."),
    (lambda t: t >= 1.0, RuntimeError, "Tensor device or dtype mismatch for scalar >= operation."),
    (lambda t: 1.0 >= t, RuntimeError, "Tensor device or dtype mismatch for scalar <= operation."),
]


@pytest.mark.parametrize("fn,exc,message", SCALAR_BOOL_ERRORS)
def test_scalar_operations_on_bool(fn, exc, message):
    with pytest.raises(exc) as e:
        fn(T([True, False], "bool"))
    assert type(e.value) is exc and str(e.value) == message


@pytest.mark.parametrize("fn", [lambda t: t + 1.5, lambda t: t * 2.0, lambda t: t / 4.0, lambda t: 3.0 / t,
                                lambda t: t - 1.0, lambda t: t < 2.0, lambda t: 2.0 != t])
@pytest.mark.parametrize("make", [lambda d: transposed([3, 2], dtype=d),
                                  lambda d: transposed([3, 2, 4], dtype=d),
                                  lambda d: T(np.zeros((0, 3)), d), lambda d: T(2.0, d)])
@pytest.mark.parametrize("dtype", NUMERIC)
def test_scalar_operations_keep_strides(fn, make, dtype):
    t = make(dtype)
    got = fn(t)
    assert got.shape == t.shape and got.strides == t.strides
    with np.errstate(all="ignore"):
        expected = np.asarray(fn(t.to_numpy().astype(np.float32))).astype(np.float32)
    np.testing.assert_allclose(got.to_numpy().astype(np.float32), expected, rtol=1e-2)


def test_bool_not_equal():
    a = T([True, False], "bool")
    np.testing.assert_array_equal((a != T([True, True], "bool")).to_numpy(), [False, True])


# ---------------------------------------------------------------- recording

@pytest.mark.parametrize("build,expected_id", [
    (lambda a, c: a + c, 2),          # leaf for the constant (1), then the node
    (lambda a, c: c * a, 2),
    (lambda a, c: a * 2.0, 1),
    (lambda a, c: 2.0 / a, 1),
    (lambda a, c: a - 3.0, 1),
    (lambda a, c: a == c, None),      # comparisons never record
    (lambda a, c: a > 2.0, None),
    (lambda a, c: 2.0 != a, None),
])
def test_recorded_node_ids(build, expected_id):
    def body():
        a = Tensor([1.0, 2.0], requires_grad=True)
        c = Tensor([3.0, 4.0])
        r = build(a, c)
        assert r.requires_grad is (expected_id is not None)
        return probe_node_id(r)

    assert in_fresh_thread(body) == expected_id


def test_failed_operation_leaves_its_nodes():
    def body():
        a = Tensor([1.0, 2.0], requires_grad=True)          # 0
        with pytest.raises(RuntimeError):
            a + Tensor([1.0, 2.0, 3.0])                       # leaf 1, node 2, then the shape error
        with pytest.raises(RuntimeError):
            a < Tensor([1.0, 2.0, 3.0])                       # records nothing
        return probe_node_id(Tensor([0.0], requires_grad=True))

    assert in_fresh_thread(body) == 3


# ---------------------------------------------------------------- differential test against NumPy

def _layout_flags(shape, strides):
    def walk(axes):
        expect = 1
        for n, s in axes:
            if n == 1:
                continue
            if s != expect:
                return False
            expect *= n
        return True

    if not shape:
        return 15
    if 0 in shape or walk(reversed(list(zip(shape, strides)))):
        return 15 if len(shape) == 1 or sum(n > 1 for n in shape) <= 1 else 5
    if len(shape) >= 2 and walk(zip(shape, strides)):
        return 10
    if len(shape) >= 2:
        if shape[0] > 1 and strides[0] == 1:
            return 8
        if shape[-1] > 1 and strides[-1] == 1:
            return 4
    return 0


def _view_strides(shape, strides, target):
    out = [0] * len(target)
    for i in range(1, len(shape) + 1):
        out[-i] = strides[-i] if shape[-i] == target[-i] else 0
    return out


def _dense_strides(shape, fortran):
    if 0 in shape:
        return [0] * len(shape)
    out, acc = [0] * len(shape), 1
    for i in (range(len(shape)) if fortran else reversed(range(len(shape)))):
        out[i], acc = acc, acc * shape[i]
    return out


def expected_zip_strides(a, b, target):
    flags, tendency = 15, 0
    for t in (a, b):
        f = _layout_flags(target, _view_strides(t.shape, t.strides, target))
        flags &= f
        tendency += (f & 1) - (f >> 1 & 1) + (f >> 2 & 1) - (f >> 3 & 1)
    return _dense_strides(target, not flags & 1 and (flags & 2 or tendency < 0))


@st.composite
def operand_pairs(draw):
    rank = draw(st.sampled_from([0, 1, 2, 2, 3, 3, 4]))
    target = [draw(st.sampled_from([0, 1, 2, 2, 3, 3, 4, 4, 5, 5])) for _ in range(rank)]
    shapes = []
    for _ in range(2):
        rank = draw(st.integers(0, len(target)))
        shapes.append([n if draw(st.integers(0, 3)) else 1 for n in target[len(target) - rank:]])
    swaps = [draw(st.tuples(st.integers(0, max(len(s) - 1, 0)), st.integers(0, max(len(s) - 1, 0))))
             if len(s) >= 2 and draw(st.booleans()) else None for s in shapes]
    return target, shapes, swaps, draw(st.integers(0, 2 ** 32 - 1))


def _build(shape, swap, dtype, seed):
    rng = np.random.default_rng(seed)
    if dtype == "bool":
        vals = rng.random(shape) < 0.5
    else:
        pool = SPECIALS[dtype]  # picked natively so that NaN payloads survive
        vals = np.asarray(rng.standard_normal(shape) * 10.0 ** rng.integers(-3, 4, size=shape))
        vals = vals.astype(NP_DTYPES[dtype])
        vals = np.where(rng.random(shape) < 0.3, pool[rng.integers(0, pool.size, size=shape)], vals)
    if swap is None:
        return vals, T(vals, dtype)
    d0, d1 = swap
    return vals, T(np.swapaxes(vals, d0, d1), dtype).transpose(d0, d1)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(case=operand_pairs(), dtype=st.sampled_from(DTYPES),
       sym=st.sampled_from(list(ARITH) + list(CMP)))
def test_differential_against_numpy(case, dtype, sym):
    target, (sa, sb), (wa, wb), seed = case
    if dtype == "bool" and sym in ARITH:
        sym = "<="
    na, a = _build(sa, wa, dtype, seed)
    nb, b = _build(sb, wb, dtype, seed + 1)
    expected_shape = list(np.broadcast_shapes(tuple(sa), tuple(sb)))
    got = (ARITH.get(sym) or CMP[sym])(a, b)
    assert got.shape == expected_shape
    assert got.strides == expected_zip_strides(a, b, expected_shape)
    if sym in ARITH:
        assert got.dtype == dtype
        assert_bits(got.to_numpy(), ref_arith(ARITH[sym], na, nb, dtype))
    else:
        assert got.dtype == "bool"
        assert_bits(got.to_numpy(), ref_cmp(CMP[sym], na, nb, dtype))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(case=operand_pairs(), dtype=st.sampled_from(NUMERIC),
       s=st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.integers(-70000, 70000)),
       form=st.sampled_from(list(SCALAR_ARITH)))
def test_scalar_differential_against_numpy(case, dtype, s, form):
    _, (sa, _), (wa, _), seed = case
    na, a = _build(sa, wa, dtype, seed)
    fn, ref = SCALAR_ARITH[form]
    got = fn(a, s)
    assert got.shape == list(na.shape) and got.strides == a.strides
    assert_bits(got.to_numpy(), ref(na, s, dtype), f"{form} s={s!r}")
