"""Element-wise benchmarks: small-tensor latency, large float32, float16/bfloat16.

Run on its own with `.venv/bin/python bench/bench_elementwise.py [--quick]`,
or through bench/run_all.py.
"""

import harness  # first: sets the thread limits before NumPy/torch load

from typing import Callable, Optional

import ml_dtypes
import numpy as np

from harness import Case, faster_than, within

from vorka import Tensor

SMALL = 4
LARGE = 4 * 1024 * 1024
TRANSPOSED = 2048

# name -> factory of a zero-argument callable evaluating the expression itself,
# so no extra Python call layer sits inside the timed loop.
OPS: dict[str, Callable] = {
    "a + b": lambda a, b: lambda: a + b,
    "a * b": lambda a, b: lambda: a * b,
    "a * 2.0": lambda a, b: lambda: a * 2.0,
    "a < b": lambda a, b: lambda: a < b,
}

VORKA_DTYPE = {"f32": "f32", "f16": "f16", "bf16": "bf16"}
NUMPY_DTYPE = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}


def _operands(n: int, dtype: str, seed: int = 0):
    """The same random a, b for every library (None for torch when it is missing)."""
    rng = np.random.default_rng(seed)
    a = rng.standard_normal(n, dtype=np.float32).astype(NUMPY_DTYPE[dtype])
    b = rng.standard_normal(n, dtype=np.float32).astype(NUMPY_DTYPE[dtype])
    libs = {
        "numpy": (a, b),
        "vorka": (Tensor(a, dtype=VORKA_DTYPE[dtype]), Tensor(b, dtype=VORKA_DTYPE[dtype])),
    }
    torch = harness.torch()
    if torch is not None:
        tdt = {"f32": torch.float32, "f16": torch.float16, "bf16": torch.bfloat16}[dtype]
        # bfloat16 has no NumPy buffer torch understands: go through float32.
        libs["torch"] = tuple(torch.from_numpy(x.astype(np.float32)).to(tdt) for x in (a, b))
    return libs


def _mismatch(vorka_result, numpy_result) -> Optional[str]:
    """Why vorka's result differs from NumPy's, or None. The inputs are finite and
    every op is a single correctly rounded IEEE operation, so equality is exact."""
    got = vorka_result.to_numpy()
    want = np.asarray(numpy_result)
    if got.shape != want.shape:
        return f"shape {got.shape} != {want.shape}"
    if got.dtype != want.dtype:
        return f"dtype {got.dtype} != {want.dtype}"
    if want.dtype == np.bool_:
        bad = np.count_nonzero(got != want)
    else:
        bad = np.count_nonzero(got.astype(np.float32) != want.astype(np.float32))
    return f"{bad} of {want.size} elements differ from NumPy" if bad else None


def _case(name: str, op: Callable, libs: dict, target=None) -> Case:
    fns = {lib: op(x, y) for lib, (x, y) in libs.items()}
    case = Case(name, fns, target)
    _check(case)
    return case


def _check(case: Case) -> None:
    """Compare vorka with NumPy before timing; a failing call is reported once, untimed."""
    try:
        problem = _mismatch(case.fns["vorka"](), case.fns["numpy"]())
    except Exception as e:
        case.errors["vorka"] = f"{type(e).__name__}: {e}"
        del case.fns["vorka"]
        return
    if problem:
        case.note = f"vorka result differs: {problem}"


def small_cases() -> list[Case]:
    libs = _operands(SMALL, "f32")
    target = faster_than("numpy", 2) & faster_than("torch", 4)
    return [_case(f"f32[{SMALL}] {name}", OPS[name], libs, target)
            for name in ("a + b", "a * 2.0", "a < b")]


def large_cases() -> list[Case]:
    libs = _operands(LARGE, "f32")
    return [_case(f"f32[4M] {name}", OPS[name], libs, within("numpy", 1.1))
            for name in ("a + b", "a * 2.0")]


def half_cases() -> list[Case]:
    cases = []
    target = faster_than("numpy", 5) & within("torch", 1.0)
    for dtype in ("f16", "bf16"):
        libs = _operands(LARGE, dtype)
        cases += [_case(f"{dtype}[4M] {name}", OPS[name], libs, target)
                  for name in ("a + b", "a * b", "a * 2.0")]
    return cases


def transposed_case() -> Case:
    """a.T + b with a 2048x2048 and b a broadcast row: strided, non-contiguous input."""
    rng = np.random.default_rng(1)
    a = rng.standard_normal((TRANSPOSED, TRANSPOSED), dtype=np.float32)
    b = rng.standard_normal(TRANSPOSED, dtype=np.float32)
    name = f"f32[{TRANSPOSED}x{TRANSPOSED}].T + f32[{TRANSPOSED}]"
    fns = {"numpy": lambda: a.T + b}
    torch = harness.torch()
    if torch is not None:
        ta, tb = torch.from_numpy(a), torch.from_numpy(b)
        fns["torch"] = lambda: ta.T + tb
    case = Case(name, fns)
    vt, vb = Tensor(a).transpose(0, 1), Tensor(b)
    fns["vorka"] = lambda: vt + vb
    _check(case)
    return case


def layout_cases() -> list[Case]:
    """x.T + x: one operand read across its memory order (the walk goes in cache tiles)."""
    rng = np.random.default_rng(2)
    x = rng.standard_normal((TRANSPOSED, TRANSPOSED), dtype=np.float32)
    cases = []
    for name, expr in (("x.T + x", lambda p, q: lambda: p + q), ("x + x.T", lambda p, q: lambda: q + p)):
        fns = {"numpy": expr(x.T, x)}
        torch = harness.torch()
        if torch is not None:
            tx = torch.from_numpy(x)
            fns["torch"] = expr(tx.T, tx)
        vx = Tensor(x)
        fns["vorka"] = expr(vx.transpose(0, 1), vx)
        case = Case(f"f32[{TRANSPOSED}x{TRANSPOSED}] {name}", fns, within("numpy", 1.0))
        _check(case)
        cases.append(case)
    return cases


def copy_cases() -> list[Case]:
    """Tensor(a) and to_numpy() of contiguous data against NumPy's own copy of it."""
    a = np.random.default_rng(3).standard_normal(LARGE, dtype=np.float32)
    v = Tensor(a)
    torch = harness.torch()
    into = {"vorka": lambda: Tensor(a), "numpy": lambda: np.array(a)}
    out = {"vorka": v.to_numpy, "numpy": lambda: np.array(a)}
    if torch is not None:
        into["torch"] = lambda: torch.tensor(a)
        ta = torch.from_numpy(a)
        out["torch"] = lambda: ta.numpy().copy()
    for fns in (into, out):
        if not np.array_equal(np.asarray(fns["vorka"]() if fns is out else fns["vorka"]().to_numpy()), a):
            raise AssertionError("vorka copy differs from its source")
    note = "numpy column: numpy.array(a), a plain copy"
    return [Case("Tensor(a), f32[4M]", into, within("numpy", 1.1), note),
            Case("t.to_numpy(), f32[4M]", out, within("numpy", 1.1), note)]


def main() -> None:
    harness.run(small_cases(), "Element-wise: small-tensor latency (float32, 4 elements)")
    harness.run(large_cases(), "Element-wise: large float32 (4M elements)")
    harness.run(half_cases(), "Element-wise: float16 / bfloat16 (4M elements); "
                "numpy column = NumPy float16 / ml_dtypes bfloat16")
    harness.run(layout_cases(), "Element-wise: operands of different layouts")
    harness.run([transposed_case()], "Element-wise: transposed + broadcast (information only)")
    harness.run(copy_cases(), "NumPy interchange: copies of contiguous data")


if __name__ == "__main__":
    harness.configure_from_argv()
    print("## vorka element-wise benchmarks\n")
    print(harness.machine_summary())
    main()
