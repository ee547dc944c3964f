"""Shared benchmark harness: timing, single-threaded setup and the report table.

Every bench script must import this module before NumPy, PyTorch or vorka: the
thread limits below are read by the BLAS/OpenMP runtimes when they load, so
setting them later has no effect.

    import harness  # first
    import numpy as np
"""

from __future__ import annotations

import os
import sys

# Every library runs single-threaded so the comparison is per core.
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "NUMEXPR_NUM_THREADS"):
    os.environ[_var] = "1"
# A forced OpenBLAS core type or L2 size mis-tunes NumPy's BLAS on this machine.
for _var in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"):
    os.environ.pop(_var, None)
_LATE = sorted(m for m in ("numpy", "torch", "vorka") if m in sys.modules)
if _LATE:
    print(f"harness: warning: {', '.join(_LATE)} imported before the harness; "
          "thread limits may not apply", file=sys.stderr)

import gc  # noqa: E402
import math  # noqa: E402
import platform  # noqa: E402
import statistics  # noqa: E402
import time  # noqa: E402
from dataclasses import dataclass, field  # noqa: E402
from typing import Callable, Mapping, Optional  # noqa: E402

LIBS = ("vorka", "numpy", "torch")

_quick = os.environ.get("VORKA_BENCH_QUICK", "") not in ("", "0")


def set_quick(on: bool = True) -> None:
    """Quick mode: a tenth of the time per repetition and at most 3 repetitions."""
    global _quick
    _quick = on


def is_quick() -> bool:
    return _quick


def configure_from_argv(argv: Optional[list[str]] = None) -> None:
    """For bench scripts run on their own: `--quick` switches on quick mode."""
    if "--quick" in (sys.argv[1:] if argv is None else argv):
        set_quick(True)


# --------------------------------------------------------------------------- torch

_torch_state: dict = {}


def torch():
    """The torch module limited to one thread, or None when it is not installed."""
    if "mod" not in _torch_state:
        try:
            import torch as mod
        except ImportError:
            mod = None
        if mod is not None:
            mod.set_num_threads(1)
            try:
                mod.set_num_interop_threads(1)
            except RuntimeError:  # only allowed before the first parallel region
                pass
        _torch_state["mod"] = mod
    return _torch_state["mod"]


# --------------------------------------------------------------------------- timing

def _loop(fn: Callable[[], object], number: int) -> int:
    it = range(number)
    t0 = time.perf_counter_ns()
    for _ in it:
        fn()
    return time.perf_counter_ns() - t0


def _null() -> None:
    return None


_overhead_ns: list[float] = []


def call_overhead() -> float:
    """Seconds one loop iteration costs with an empty callable (measured once)."""
    if not _overhead_ns:
        gc_was = gc.isenabled()
        gc.disable()
        try:
            n = 200_000
            _loop(_null, n)
            _overhead_ns.append(min(_loop(_null, n) for _ in range(5)) / n)
        finally:
            if gc_was:
                gc.enable()
    return _overhead_ns[0] * 1e-9


def _calibrate(fn: Callable[[], object], target_ns: float) -> tuple[int, int]:
    """A loop count whose run lasts at least target_ns, and that run's duration."""
    number = 1
    while True:
        elapsed = _loop(fn, number)
        if elapsed >= target_ns:
            return number, elapsed
        # Extrapolate with 20% headroom, growing at most 10x per step so a
        # noisy first sample cannot blow up the loop count.
        guess = math.ceil(number * target_ns * 1.2 / max(elapsed, 1))
        number = min(max(guess, number + 1), number * 10)


def time_many(fns: Mapping[str, Callable[[], object]], *, min_time: float = 0.2, repeat: int = 7,
              subtract_overhead: bool = True) -> dict[str, float]:
    """Median seconds per call of each callable, see timeit.

    Repetitions are interleaved across the callables, so a change in machine
    load during the measurement affects every library alike.
    """
    if _quick:
        min_time, repeat = min_time / 10, min(repeat, 3)
    repeat = max(1, repeat)
    overhead = call_overhead() if subtract_overhead else 0.0
    target_ns = max(min_time, 1e-6) * 1e9
    gc_was = gc.isenabled()
    gc.disable()
    try:
        numbers: dict[str, int] = {}
        samples: dict[str, list[float]] = {}
        for key, fn in fns.items():
            fn()  # warm-up: first-touch allocations, lazy initialisation
            numbers[key], elapsed = _calibrate(fn, target_ns)
            samples[key] = [elapsed / numbers[key]]
        for _ in range(repeat - 1):
            for key, fn in fns.items():
                samples[key].append(_loop(fn, numbers[key]) / numbers[key])
    finally:
        if gc_was:
            gc.enable()
    return {key: max(statistics.median(s) * 1e-9 - overhead, 0.0) for key, s in samples.items()}


def timeit(fn: Callable[[], object], *, min_time: float = 0.2, repeat: int = 7,
           subtract_overhead: bool = True) -> float:
    """Median seconds per call of `fn()`.

    The loop count is calibrated so one repetition lasts at least `min_time`
    seconds; `repeat` repetitions are timed with the garbage collector off.
    The cost of calling an empty callable in the same loop is subtracted so
    sub-microsecond operations are not dominated by the harness itself.
    In quick mode min_time is divided by 10 and repeat capped at 3.
    """
    return time_many({"fn": fn}, min_time=min_time, repeat=repeat,
                     subtract_overhead=subtract_overhead)["fn"]


# --------------------------------------------------------------------------- targets

@dataclass(frozen=True)
class Target:
    """A goal for vorka's time, reported in the table and never asserted."""

    label: str
    met: Callable[[Mapping[str, float]], bool]
    needs: tuple[str, ...]

    def check(self, times: Mapping[str, Optional[float]]) -> Optional[bool]:
        if any(times.get(lib) is None for lib in self.needs):
            return None
        return self.met(times)

    def __and__(self, other: "Target") -> "Target":
        return Target(f"{self.label}, {other.label}",
                      lambda t: self.met(t) and other.met(t),
                      tuple(dict.fromkeys(self.needs + other.needs)))


def faster_than(lib: str, factor: float) -> Target:
    """vorka takes at most 1/factor of `lib`'s time."""
    return Target(f">= {factor:g}x {lib}",
                  lambda t: t["vorka"] * factor <= t[lib], ("vorka", lib))


def within(lib: str, factor: float) -> Target:
    """vorka takes at most `factor` times `lib`'s time."""
    return Target(f"<= {factor:g}x {lib} time",
                  lambda t: t["vorka"] <= t[lib] * factor, ("vorka", lib))


# --------------------------------------------------------------------------- report

@dataclass
class Case:
    """One benchmark row: a name and one zero-argument callable per library."""

    name: str
    fns: dict[str, Callable[[], object]]
    target: Optional[Target] = None
    note: str = ""
    errors: dict[str, str] = field(default_factory=dict)


def fmt_time(s: Optional[float]) -> str:
    if s is None:
        return "n/a"
    if s < 1e-6:
        return f"{s * 1e9:.0f} ns"
    if s < 1e-3:
        return f"{s * 1e6:.2f} us"
    if s < 1.0:
        return f"{s * 1e3:.2f} ms"
    return f"{s:.3f} s"


def fmt_ratio(num: Optional[float], den: Optional[float]) -> str:
    if num is None or den is None:
        return "n/a"
    if den <= 0:
        return "inf"
    return f"{num / den:.2f}x"


def measure(case: Case) -> dict[str, Optional[float]]:
    """Times of one case per library; None for a missing or failing library."""
    working = {}
    for lib in LIBS:
        fn = case.fns.get(lib)
        if fn is None:
            continue
        try:
            fn()
        except Exception as e:  # a failing library is reported, not fatal
            case.errors[lib] = f"{type(e).__name__}: {e}"
            continue
        working[lib] = fn
    times = time_many(working) if working else {}
    return {lib: times.get(lib) for lib in LIBS}


# (table title, case name, times) of every case run in this process, for plots.
recorded: list[tuple[str, str, dict[str, Optional[float]]]] = []


def run(cases: list[Case], title: str) -> list[dict[str, Optional[float]]]:
    """Time every case and print a Markdown table; returns the times per case."""
    with_target = any(c.target is not None for c in cases)
    header = ["case", "vorka", "numpy", "torch", "numpy/vorka", "torch/vorka"]
    if with_target:
        header.append("target")
    print(f"\n### {title}\n")
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join(["---"] + ["---:"] * 5 + (["---"] if with_target else [])) + "|")
    results = []
    notes: list[str] = []
    for case in cases:
        times = measure(case)
        results.append(times)
        recorded.append((title, case.name, times))
        cells = [case.name] + [fmt_time(times[lib]) if lib not in case.errors else "err"
                               for lib in LIBS]
        cells += [fmt_ratio(times["numpy"], times["vorka"]), fmt_ratio(times["torch"], times["vorka"])]
        if with_target:
            if case.target is None:
                cells.append("")
            else:
                ok = case.target.check(times)
                mark = "?" if ok is None else ("\u2713" if ok else "\u2717")
                cells.append(f"{mark} {case.target.label}")
        print("| " + " | ".join(cells) + " |", flush=True)
        if case.note:
            notes.append(f"- {case.name}: {case.note}")
        for lib, err in case.errors.items():
            notes.append(f"- {case.name}: {lib} failed: {err}")
    if notes:
        print()
        print("\n".join(notes))
    return results


def cpu_model() -> str:
    """The CPU's model name as /proc/cpuinfo gives it (else what platform knows)."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def machine_summary() -> str:
    """CPU, core count and library versions, as Markdown lines."""
    cpu = cpu_model()
    try:
        usable = len(os.sched_getaffinity(0))
    except AttributeError:
        usable = os.cpu_count()

    def version(name: str) -> str:
        if name == "torch":
            mod = torch()
            return mod.__version__ if mod is not None else "n/a"
        try:
            mod = __import__(name)
        except ImportError:
            return "n/a"
        return getattr(mod, "__version__", None) or _dist_version(name)

    lines = [
        f"- CPU: {cpu}, {os.cpu_count()} logical cores ({usable} usable); every library on 1 thread",
        f"- CPU flags: {' '.join(_simd_flags()) or 'none of interest'}",
        # Other processes on the machine skew absolute times; ratios suffer less.
        "- load average at start: " + " / ".join(f"{x:.2f}" for x in os.getloadavg()),
        f"- Python {platform.python_version()} ({platform.python_implementation()}), {platform.system()} {platform.release()}",
        "- " + ", ".join(f"{n} {version(n)}" for n in ("vorka", "numpy", "ml_dtypes", "torch")),
        f"- timing: median of {3 if _quick else 7} repetitions of >= {0.02 if _quick else 0.2:g} s each"
        + (" (quick mode)" if _quick else "") + "; empty-call overhead subtracted",
    ]
    return "\n".join(lines)


_FLAGS = ("avx2", "fma", "f16c", "avx512f", "avx512dq", "avx512bw", "avx512vl", "avx512_bf16", "avx512_fp16",
          "avx512_vnni", "amx_tile", "amx_bf16")


def _simd_flags() -> list[str]:
    """The vector-instruction flags /proc/cpuinfo reports that matter here."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    have = set(line.split(":", 1)[1].split())
                    return [x for x in _FLAGS if x in have]
    except OSError:
        pass
    return []


def _dist_version(name: str) -> str:
    try:
        from importlib.metadata import version
        return version(name)
    except Exception:
        return "?"
