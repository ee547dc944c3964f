import os
import sys
import threading

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
