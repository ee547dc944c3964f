import operator
import os
import sys
import threading
from collections import namedtuple

import numpy as np
import pytest

# VORKA_NO_TORCH=1 runs the suite as an interpreter without PyTorch sees it.
if os.environ.get("VORKA_NO_TORCH"):
    sys.modules["torch"] = None

import vorka  # noqa: E402  (registers the bfloat16 NumPy dtype)
from vorka import Tensor  # noqa: E402

# VORKA_TEST_ISA=avx2 or generic runs the suite on older CPUs' kernels (builds
# with test hooks only; scripts/sanitize.sh uses it).
FORCED_ISA = os.environ.get("VORKA_TEST_ISA") or None
# The instruction sets of the build, lowest first (none without test hooks).
ISAS = getattr(vorka.vorka_core, "_instruction_sets", tuple)()
if FORCED_ISA:
    _force = getattr(vorka.vorka_core, "_force_isa", None)
    if _force is None:
        raise RuntimeError("VORKA_TEST_ISA needs a build with test hooks")
    ACTIVE_ISA = _force(FORCED_ISA)


def pytest_report_header(config):
    return f"vorka kernels forced to {FORCED_ISA} (in use: {ACTIVE_ISA})" if FORCED_ISA else None


relu = vorka.nn.functional.relu
DTYPES = ["f32", "f16", "bf16", "bool"]
NUMERIC = ["f32", "f16", "bf16"]
NP_DTYPES = {"f32": np.float32, "f16": np.float16, "bf16": np.dtype("bfloat16"), "bool": np.bool_}
NO_GRAD = r"backward\(\) called on tensor that does not require grad"
ARITH_BOOL = "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first."
F32 = np.float32


def left_range(r, x, y):
    """A float32 step that overflowed or lost bits to underflow although its operands were ordinary."""
    normal = np.isfinite(r) & (np.abs(r) >= np.finfo(F32).tiny)
    return ~normal & np.isfinite(x) & np.isfinite(y) & (x != 0) & (y != 0)


def quotient_grad(g, a, b):
    """-g * a / (b * b): float32 steps, in float64 where a step leaves the float32 range."""
    with np.errstate(all="ignore"):
        t, u = -g * a, b * b
        far = left_range(t, -g, a) | left_range(u, b, b)
        exact = (-g.astype(np.float64) * a / (b.astype(np.float64) * b)).astype(F32)
        return np.where(far, exact, t / u)


def rdiv_grad(g, x, s):
    """g * (-s / (x * x)) for s / x, the same way."""
    with np.errstate(all="ignore"):
        u, d = x * x, -s / (x * x)
        far = left_range(u, x, x) | left_range(d, np.broadcast_to(-s, u.shape), u)
        exact = (g.astype(np.float64) * (-np.float64(s) / (x.astype(np.float64) * x))).astype(F32)
        return np.where(far, exact, g * d)


# An operation: family, NumPy reference (on float32 or bool values), float32 gradients of (left, right) from
# (g, a, b), number operands ("t op s", "s op t"): the word naming it when t is Bool, the gradient of t from (g,
# x, the number in float32, the number rounded to the type), the float32 value when not the operation on that.
Op = namedtuple("Op", "family ref grad numbers", defaults=(None, {}))
Number = namedtuple("Number", "word grad value", defaults=(None, None))


def _compared(ref, word, swapped):
    return Op("comparison", ref, None, {"t op s": Number(word), "s op t": Number(swapped)})


# Every operation of Tensor by its Python name: the tests run each one the library defines with its entry;
# one without an entry fails test_every_operation_has_a_reference, naming it.
OPERATIONS = {
    "__add__": Op("arithmetic", np.add, lambda g, a, b: (g, g),
                  dict.fromkeys(["t op s", "s op t"], Number("add", lambda g, *_: g))),
    "__sub__": Op("arithmetic", np.subtract, lambda g, a, b: (g, -g), {"t op s": Number("sub", lambda g, *_: g)}),
    "__mul__": Op("arithmetic", np.multiply, lambda g, a, b: (g * b, g * a),
                  dict.fromkeys(["t op s", "s op t"], Number("product", lambda g, x, s, r: g * r))),
    "__truediv__": Op("arithmetic", np.true_divide, lambda g, a, b: (g / b, quotient_grad(g, a, b)),
                      {"t op s": Number("product", lambda g, x, s, r: g * (F32(1) / s),   # times 1 / s where finite
                                        lambda x, s: x * (F32(1) / s) if np.isfinite(F32(1) / s) else x / s),
                       "s op t": Number("div", lambda g, x, s, r: rdiv_grad(g, x, r))}),
    "__matmul__": Op("matmul", np.matmul, lambda g, a, b: (g @ np.swapaxes(b, -1, -2), np.swapaxes(a, -1, -2) @ g)),
    "__eq__": _compared(np.equal, "==", "=="), "__ne__": _compared(np.not_equal, "!=", "!="),
    "__lt__": _compared(np.less, "<", ">"), "__le__": _compared(np.less_equal, "<=", ">="),
    "__gt__": _compared(np.greater, ">", "<"), "__ge__": _compared(np.greater_equal, ">=", "<="),
    "__and__": Op("logical", np.logical_and), "__or__": Op("logical", np.logical_or),
    "__xor__": Op("logical", np.logical_xor), "__invert__": Op("not", np.logical_not),
}


def library_operations():
    """Tensor's operators by forward name (the slots its type fills: nb_add gives __add__ and __radd__), and
    its methods of one other tensor (as rows whose Python column is `method` make them)."""
    slot, method = type(object.__eq__), type(Tensor.grad)
    return sorted(n for n, v in vars(Tensor).items() if isinstance(v, slot) and n in vars(operator) or (
        isinstance(v, method) and v.__text_signature__ == "($self, other)" and not n.startswith("__")))


def ops_of(*families):   # the library's operations of these families that OPERATIONS has
    return [n for n in library_operations() if n in OPERATIONS and OPERATIONS[n].family in families]


def apply(name, x, y):   # x <name> y through Python's operator, as the interpreter runs it, or x.name(y)
    return vars(operator)[name](x, y) if name in vars(operator) else getattr(x, name)(y)


def mismatch(a, b):
    return f"Tensor DType mismatch during binary execution. Cannot operate between {a} and {b}."


def T(x, dtype="f32", requires_grad=False):
    return Tensor(np.asarray(x).astype(NP_DTYPES[dtype]), dtype=dtype, requires_grad=requires_grad)


def bits(t):
    """The element bits of a tensor or array, as unsigned integers."""
    a = t.to_numpy() if isinstance(t, Tensor) else np.asarray(t)
    return a.view({1: np.uint8, 2: np.uint16, 4: np.uint32}[a.itemsize])


def assert_bits(got, expected, what=""):
    """Same dtype, shape and bits; NaNs only need to sit at the same places."""
    got, expected = np.asarray(got), np.asarray(expected)
    assert got.dtype == expected.dtype and got.shape == expected.shape, what
    if got.dtype == np.bool_:
        np.testing.assert_array_equal(got, expected, err_msg=what)
        return
    gn, en = np.isnan(got.astype(np.float32)), np.isnan(expected.astype(np.float32))
    np.testing.assert_array_equal(gn, en, err_msg=f"NaN positions {what}")
    gb, eb = bits(got)[~gn], bits(expected)[~en]
    bad = np.nonzero(gb != eb)[0]
    assert bad.size == 0, f"{what}: {bad.size} mismatches, first got {gb[bad[0]]:#x} expected {eb[bad[0]]:#x}"


@pytest.fixture
def rng():
    return np.random.default_rng(1234)


@pytest.fixture
def torch():
    """PyTorch as the gradient reference; tests that take it skip without it."""
    return pytest.importorskip("torch")


def on_threads(n, fn):
    """Run fn(k) for k < n on n new threads at once; return the results or re-raise the first exception."""
    out, errors = [None] * n, []

    def body(k):
        try:
            out[k] = fn(k)
        except BaseException as e:  # noqa: BLE001 - handed back to the caller
            errors.append(e)

    threads = [threading.Thread(target=body, args=(k,)) for k in range(n)]
    [t.start() for t in threads]
    [t.join() for t in threads]
    if errors:
        raise errors[0]
    return out


def in_fresh_thread(fn):
    """fn() on a new thread (fresh, empty tape)."""
    return on_threads(1, lambda k: fn())[0]


def probe_node_id(t):
    """t's node index on its tape (None without one); visible only in builds with test hooks."""
    hook = getattr(vorka.vorka_core, "_node_index", None)
    if hook is None:
        pytest.skip("node indices are visible only in a build with test hooks")
    return hook(t)
