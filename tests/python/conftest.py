import os

import numpy as np
import pytest

import vorka  # noqa: F401  (registers the bfloat16 NumPy dtype)

# VORKA_TEST_ISA=avx2 or generic runs the suite on older CPUs' kernels (builds
# with test hooks only; scripts/sanitize.sh uses it).
FORCED_ISA = os.environ.get("VORKA_TEST_ISA") or None
if FORCED_ISA:
    _force = getattr(vorka.vorka_core, "_force_isa", None)
    if _force is None:
        raise RuntimeError("VORKA_TEST_ISA needs a build with test hooks")
    ACTIVE_ISA = _force(FORCED_ISA)


def pytest_report_header(config):
    if FORCED_ISA:
        return f"vorka kernels forced to {FORCED_ISA} (in use: {ACTIVE_ISA})"
    return None

DTYPES = ["f32", "f16", "bf16", "bool"]
NUMERIC = ["f32", "f16", "bf16"]
NP_DTYPES = {"f32": np.float32, "f16": np.float16, "bf16": np.dtype("bfloat16"), "bool": np.bool_}


@pytest.fixture
def rng():
    return np.random.default_rng(1234)


def in_fresh_thread(fn):
    """Run fn on a new thread (fresh, empty tape) and return its result or re-raise its exception."""
    import threading

    box = {}

    def body():
        try:
            box["value"] = fn()
        except BaseException as e:  # noqa: BLE001 - handed back to the caller
            box["error"] = e

    th = threading.Thread(target=body)
    th.start()
    th.join()
    if "error" in box:
        raise box["error"]
    return box["value"]


def probe_node_id(t):
    """t's node index on its tape (None without one).

    Node ids are not visible from Python in a normal build; builds with test hooks expose them, and
    tests that need them are skipped elsewhere.
    """
    import vorka

    hook = getattr(vorka.vorka_core, "_node_index", None)
    if hook is None:
        pytest.skip("node indices are visible only in a build with test hooks")
    return hook(t)
