"""Element-wise arithmetic, comparison and logic: values bit-exact against independent references,
broadcasting, result layouts, errors in their order of checks, the rounding of number operands."""

import numpy as np
import pytest

from conftest import (ARITH_BOOL, DTYPES, NP_DTYPES, NUMERIC, OPERATIONS, T, apply, assert_bits, bits,
                      library_operations, mismatch, ops_of)

BF16 = NP_DTYPES["bf16"]
ARITH, CMP, LOGIC = ops_of("arithmetic"), ops_of("comparison"), ops_of("logical")


def test_every_operation_has_a_reference():
    ours = library_operations()
    assert [n for n in ours if n not in OPERATIONS] == [], "operations without an entry in conftest.OPERATIONS"
    assert [n for n in OPERATIONS if n not in ours] == [], "entries of conftest.OPERATIONS the library lacks"


# ---------------------------------------------------------------- references

def bf16_narrow(f):
    """float32 -> bfloat16, round to nearest even, NaNs quieted (bit-level, independent of ml_dtypes)."""
    x = np.atleast_1d(np.asarray(f, np.float32)).view(np.uint32)
    up = ((x & 0x8000) != 0) & ((x & 0x17FFF) != 0)
    out = np.where((x & 0x7FFFFFFF) > 0x7F800000, (x >> 16) | 0x40, (x >> 16) + up.astype(np.uint32))
    return out.astype(np.uint16).view(BF16).reshape(np.shape(f))


def bf16_widen(h):
    x = np.atleast_1d(np.asarray(h, BF16)).view(np.uint16).astype(np.uint32)
    x = np.where((x & 0x7FFF) > 0x7F80, x | 0x40, x)
    return (x << np.uint32(16)).astype(np.uint32).view(np.float32).reshape(np.shape(h))


def ref(name, a, b, dtype):
    """The operation's NumPy reference: comparisons and logic on the float32 (or bool) values; NumPy's
    float16 + - * / are correctly rounded; bfloat16 is float32 then narrowed."""
    op = OPERATIONS[name].ref
    with np.errstate(all="ignore"):
        if dtype == "bool" or name in CMP:
            w = {"bool": np.asarray, "bf16": bf16_widen}.get(dtype, lambda x: np.asarray(x).astype(np.float32))
            return np.asarray(op(w(a), w(b)))
        if dtype == "bf16":
            return bf16_narrow(op(bf16_widen(a), bf16_widen(b)))
        return np.asarray(op(a, b))


def number_as(s, dtype):
    """A Python number as the kernels see it: float32 first, then the element type."""
    with np.errstate(all="ignore"):
        s32 = np.array(float(s), np.float64).astype(np.float32)
        return bf16_narrow(s32) if dtype == "bf16" else s32.astype(NP_DTYPES[dtype])


def ref_f32(value, a, s, dtype):
    """value(a, s) on a's float32 values and the number in float32, rounded once."""
    with np.errstate(all="ignore"):
        s32 = np.array(float(s)).astype(np.float32)
        if dtype == "bf16":
            return bf16_narrow(value(bf16_widen(a), s32))
        return np.asarray(value(np.asarray(a).astype(np.float32), s32)).astype(NP_DTYPES[dtype])


# ordinary values, then two that tie or round up once added to 1, then by their bits: the largest
# finite values, the smallest subnormals, the smallest normal, the largest subnormal, a signalling and a quiet NaN
SPECIALS = {d: np.concatenate([
    np.array([0.0, -0.0, 1.0, -1.0, 1.5, 3.0, 0.1, -7.25, *extra, np.inf, -np.inf, np.nan], np.float32)
    .astype(NP_DTYPES[d]), np.array(b, {"f32": np.uint32}.get(d, np.uint16)).view(NP_DTYPES[d])])
    for d, extra, b in [
    ("f32", (65504.0, 1e38, 2.0**-24, 3 * 2.0**-24),
     (0x7F7FFFFF, 0xFF7FFFFF, 1, 0x80000001, 0x00800000, 0x007FFFFF, 0x7F800001, 0xFFC00000)),
    ("f16", (2.0**-11, 3 * 2.0**-11), (0x7BFF, 0xFBFF, 1, 0x8001, 0x0400, 0x03FF, 0x7C01, 0xFE00)),
    ("bf16", (2.0**-8, 3 * 2.0**-8), (0x7F7F, 0xFF7F, 1, 0x8001, 0x0080, 0x007F, 0x7F81, 0xFFC0))]}
SPECIALS["bool"] = np.array([False, True])


# ---------------------------------------------------------------- every pair of special values

@pytest.mark.parametrize("dtype,name", [(d, n) for d in NUMERIC for n in ARITH + CMP] +
                         [("bool", n) for n in CMP + LOGIC])
def test_every_pair_of_special_values(dtype, name):
    v = SPECIALS[dtype]
    a, b = v[:, None], v[None, :]  # broadcast to the full grid of pairs
    got = apply(name, T(a, dtype), T(b, dtype))
    assert (got.dtype, got.shape, got.requires_grad) == (dtype if name in ARITH else "bool", [v.size, v.size], False)
    assert_bits(got.to_numpy(), ref(name, a, b, dtype), f"{dtype} {name}")


def test_logical_not():
    m = np.array([[True, False, True], [False, False, True]])
    r = ~T(m, "bool").transpose(0, 1)
    assert r.dtype == "bool" and r.strides == [1, 3] and r.to_numpy().tolist() == (~m.T).tolist()
    assert (~T(True, "bool")).to_numpy().tolist() is False
    for dtype in NUMERIC:
        with pytest.raises(RuntimeError, match=r"^Logical NOT is only supported for Bool data type\.$"):
            ~T([1.0], dtype)


# ---------------------------------------------------------------- named cases

def _s(x, dtype="f32"):
    return T([x], dtype)


# (dtype, expression, expected value; the bits where given as an int). Operations of two tensors meet
# every pair of SPECIALS below; these few fix the bits the references there must agree with.
NAMED = [
    ("f32", lambda d: _s(2.0**-126, d) / _s(2.0, d), 2.0**-127),        # subnormal result, not flushed
    ("f16", lambda d: _s(1.0, d) + _s(2.0**-11, d), 1.0),                # tie to even
    ("f16", lambda d: _s(2.0**-14, d) * _s(2.0**-10, d), 2.0**-24),      # smallest subnormal
    ("bf16", lambda d: _s(1.0, d) + _s(3 * 2.0**-8, d), 1.0 + 2.0**-6),
    ("bf16", lambda d: _s(2.0**-126, d) * _s(2.0**-3, d), 2.0**-129),    # bfloat16 subnormal
    # Python numbers are rounded to float32 first, then to the element type
    ("f16", lambda d: (_s(2048.0, d) == 2049) & (2049 == _s(2048.0, d)), True),
    ("bf16", lambda d: _s(256.0, d).__req__(257), True), ("f32", lambda d: _s(16777216.0, d) == 16777217, True),
    ("f16", lambda d: _s(1.0, d) == 1 + 2.0**-11 + 2.0**-40, True),     # a float16 tie once in float32
    ("bf16", lambda d: _s(1.0, d) <= 1 + 2.0**-8 + 2.0**-40, True),
    ("f32", lambda d: _s(0.0, d) < 1e-50, False), ("f16", lambda d: _s(0.0, d) + 65520.0, np.inf),
    ("bf16", lambda d: _s(-2.0, d) * 1e40, -np.inf), ("f32", lambda d: _s(np.inf, d) == 1e40, True),
    ("f32", lambda d: _s(1.0, d).__rgt__(1e40), True), ("f32", lambda d: _s(1.0, d) / 1e-46, np.inf),
    # t / s is t times the float32 reciprocal where that is finite, else a true quotient
    ("f32", lambda d: _s(5.0, d) / 3.0, 0x3FD55556), ("f32", lambda d: _s(3.0, d) / 3.0, 0x3F800000),
    ("f16", lambda d: _s(0.1, d) / 0.00001, 0x70E2), ("f16", lambda d: _s(-2.0, d) / 0.0, 0xFC00),
    ("bf16", lambda d: _s(100.0, d) / 3.0, 0x4205), ("f32", lambda d: _s(1e-39, d) / 1e-40, 0x4120003B),
    ("bf16", lambda d: _s(1e-39, d) / -1e-40, 0xC122), ("f16", lambda d: _s(0.0, d) / -0.0, np.nan),
    ("bf16", lambda d: _s(2.0, d) / -0.0, -np.inf),
    # s / t is a true quotient of the rounded number
    ("f32", lambda d: 5.0 / _s(3.0, d), np.float32(5.0) / np.float32(3.0)),
    ("f16", lambda d: 2049.0 / _s(1.0, d), 2048.0),
    ("bf16", lambda d: 257.0 / _s(1.0, d), 256.0), ("f32", lambda d: 1.0 / _s(-0.0, d), -np.inf),
]


@pytest.mark.parametrize("dtype,expr,expected", NAMED, ids=[f"{i}-{c[0]}" for i, c in enumerate(NAMED)])
def test_named_cases(dtype, expr, expected):
    got = expr(dtype).to_numpy()
    if isinstance(expected, bool):
        assert got.tolist() == [expected]
    elif isinstance(expected, int):
        assert int(bits(got)[0]) == expected, hex(int(bits(got)[0]))
    else:
        np.testing.assert_array_equal(got.astype(np.float64), [np.float64(expected)])


# ---------------------------------------------------------------- tensor with a number

SCALARS = [0.0, -0.0, 1.0, -2.5, 0.1, 1 / 3, 3, -1, np.float64(-1.0), True, 2049.0, 257.0, 65504.0, 65520.0, 1e40,
           -1e40, 1e-50, 1e-45, -1e-40, 3e-39, float("inf"), float("-inf"), float("nan")]
# (operation, "t op s" or "s op t") per number operand each operation takes, and the explicit methods.
SCALAR_FORMS = [(n, side) for n in ARITH + CMP for side in OPERATIONS[n].numbers] + [
    ("__req__", "t op s"), ("__rlt__", "t op s"), ("__rgt__", "t op s")]
EXPLICIT = {"__req__": ("__eq__", "=="), "__rlt__": ("__gt__", ">"), "__rgt__": ("__lt__", "<")}


def with_number(name, side, t, s):
    if name in EXPLICIT:
        return getattr(t, name)(s)
    return apply(name, t, s) if side == "t op s" else apply(name, s, t)


def number_form_ref(name, side, a, s, dtype):
    name = EXPLICIT.get(name, (name,))[0]
    value = OPERATIONS[name].numbers[side].value
    if value:
        return ref_f32(value, a, s, dtype)
    n = np.broadcast_to(number_as(s, dtype), a.shape)
    return ref(name, a, n, dtype) if side == "t op s" else ref(name, n, a, dtype)


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("name,side", SCALAR_FORMS)
def test_number_operands(dtype, name, side):
    a = SPECIALS[dtype]
    for s in SCALARS:
        got = with_number(name, side, T(a, dtype), s)
        assert got.dtype == (dtype if name in ARITH else "bool") and got.requires_grad is False
        assert_bits(got.to_numpy(), number_form_ref(name, side, a, s, dtype), f"{dtype} {name} {side} with s={s!r}")


# ---------------------------------------------------------------- errors, in their order of checks

LOGIC_NUM = "Logical operations are only supported for Bool data types."


ERRORS = [  # (operators, left (dtype, shape), right, exception, message with {} for the operator)
    (ARITH, ("bool", [2]), ("bool", [3]), TypeError, ARITH_BOOL),                 # Bool before shapes
    (ARITH, ("bool", [2]), ("f32", [2]), ValueError, mismatch("Bool", "F32")),
    (ARITH, ("bf16", [2]), ("f16", [3]), ValueError, mismatch("BF16", "F16")),   # types before shapes
    (ARITH, ("bf16", [2, 3, 4]), ("bf16", [3, 1, 5]), RuntimeError,
     "Shape mismatch: cannot broadcast [2, 3, 4] and [3, 1, 5]"),
    (ARITH, ("f32", [2**40, 0]), ("f32", [2**40, 1, 0]), RuntimeError,
     "Broadcast failed for A: [1099511627776, 0] -> [1099511627776, 1099511627776, 0]"),
    (CMP, ("f32", [2]), ("f16", [2]), RuntimeError, "Tensor device or dtype mismatch for element-wise {} operation."),
    (CMP, ("bool", [2]), ("bf16", [3]), RuntimeError, "Tensor device or dtype mismatch for element-wise {} operation."),
    (CMP, ("f16", [0]), ("f16", [3]), RuntimeError, "Shape mismatch: cannot broadcast [0] and [3]"),
    (CMP, ("f16", [2**40, 0]), ("f16", [2**40, 1, 0]), RuntimeError,
     "Broadcast failed for A: [1099511627776, 0] -> [1099511627776, 1099511627776, 0]"),
    (LOGIC, ("bool", [2]), ("f16", [3]), RuntimeError, LOGIC_NUM),                # types before shapes
    (LOGIC, ("f32", [3]), ("f32", [3]), RuntimeError, LOGIC_NUM),
    (LOGIC, ("bool", [2]), ("bool", [3]), RuntimeError, "Shape mismatch: cannot broadcast [2] and [3]"),
]


@pytest.mark.parametrize("ops,lhs,rhs,exc,message", ERRORS)
def test_errors(ops, lhs, rhs, exc, message):
    for name in ops:
        with pytest.raises(exc) as e:
            apply(name, T(np.ones(lhs[1]), lhs[0]), T(np.ones(rhs[1]), rhs[0]))
        symbol = OPERATIONS[name].numbers["t op s"].word if name in CMP else ""
        assert type(e.value) is exc and str(e.value) == message.format(symbol)


@pytest.mark.parametrize("name,side", SCALAR_FORMS)
def test_bool_tensor_with_a_number(name, side):
    with pytest.raises((ValueError, RuntimeError)) as e:
        with_number(name, side, T([True, False], "bool"), True if "eq" in name else 1.0)
    word = EXPLICIT[name][1] if name in EXPLICIT else OPERATIONS[name].numbers[side].word
    compared = name in CMP or name in EXPLICIT
    assert str(e.value) == (f"Tensor device or dtype mismatch for scalar {word} operation." if compared else
                            f"Tensor DType invalid during scalar {word}. Cannot operate between Bool and scalar.")
    assert type(e.value) is (RuntimeError if compared else ValueError)


# ---------------------------------------------------------------- result layouts

def _build(shape, swap, dtype, seed):
    """Values (with specials, NaN payloads kept) of logical shape `shape`, axes `swap` swapped in memory."""
    rng = np.random.default_rng(seed)
    if dtype == "bool":
        vals = rng.random(shape) < 0.5
    else:
        pool = SPECIALS[dtype]
        vals = np.asarray(rng.standard_normal(shape) * 10.0 ** rng.integers(-3, 4, size=shape)).astype(NP_DTYPES[dtype])
        vals = np.where(rng.random(shape) < 0.3, pool[rng.integers(0, pool.size, size=shape)], vals)
    if swap is None:
        return vals, T(vals, dtype)
    return vals, T(np.swapaxes(vals, *swap), dtype).transpose(*swap)


S01, S02, S12, S23 = (0, 1), (0, 2), (1, 2), (2, 3)
# (a: logical shape and swapped axes, b: the same, strides of a OP b and b OP a). An operand read
# across its memory order is walked in tiles of 64 bytes by runs of 256: sizes sit around those edges.
LAYOUTS = [
    (([2, 3], None), ([3], None), [3, 1]), (([2, 3], None), ([2, 1], None), [3, 1]),
    (([3, 2], S01), ([3, 2], S01), [1, 3]), (([3, 2], S01), ([3, 2], None), [2, 1]),
    (([3, 2], S01), ([2], None), [1, 3]), (([3, 2], S01), ([3, 1], None), [1, 3]),
    (([3, 2], None), ([3, 1], None), [2, 1]), (([], None), ([3, 2], S01), [1, 3]),
    (([3, 2, 4], S01), ([3, 2, 4], S01), [8, 4, 1]), (([4, 3, 2], S02), ([4, 3, 2], S02), [1, 4, 12]),
    (([3, 1], S01), ([3, 1], S01), [1, 1]), (([2, 3, 1], S01), ([2, 3, 1], S01), [1, 2, 6]),  # extent-1 axes
    (([15, 255], S01), ([15, 255], None), [255, 1]),
    (([16, 256], S01), ([16, 256], None), [256, 1]), (([17, 257], S01), ([17, 257], None), [257, 1]),
    (([33, 513], S01), ([513], None), [1, 33]), (([65, 300], S01), ([65, 1], None), [1, 65]),
    (([1, 300], S01), ([1, 300], None), [300, 1]), (([3, 17, 257], S12), ([3, 17, 257], S02), [1, 3, 51]),
    (([257, 3, 33], S02), ([257, 3, 33], S12), [1, 257, 771]), (([5, 31, 65], S02), ([65], None), [1, 5, 155]),
    (([3, 4, 17, 65], S23), ([3, 1, 17, 65], None), [4420, 1105, 65, 1]),  # two outer axes that cannot merge
    (([2, 16, 3], S12), ([2, 16, 3], S12), [48, 3, 1]),  # both operands read in tiles
]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("a,b,strides", LAYOUTS, ids=[str(i) for i in range(len(LAYOUTS))])
def test_result_layouts(a, b, strides, dtype):
    na, ta = _build(*a, dtype, 7)
    nb, tb = _build(*b, dtype, 8)
    for x, y, nx, ny in ((ta, tb, na, nb), (tb, ta, nb, na)):
        for name in ["__le__", "__ne__", "__xor__"] if dtype == "bool" else ["__add__", "__mul__", "__ge__"]:
            got = apply(name, x, y)
            assert got.strides == strides, name
            assert_bits(got.to_numpy(), ref(name, nx, ny, dtype), name)
    if len(a[0]) >= 3:  # to_numpy of a layout neither row- nor column-major copies through the same walk
        assert_bits(ta.transpose(0, 1).to_numpy(), np.swapaxes(na, 0, 1))
