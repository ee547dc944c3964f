"""Matrix-product benchmarks: float32 against NumPy and the core's FMA peak,
transposed operands, float16/bfloat16 against PyTorch, many small products.

The float32 peak of one core is measured here, not assumed: a C program with a
fixed loop of independent FMAs (256- and 512-bit) is compiled with the system
C compiler and run single-threaded; the faster width counts. The peak is the
best of several runs while product times are medians, so on a loaded machine
the printed fraction of peak reads low.

Run on its own with `.venv/bin/python bench/bench_matmul.py [--quick]`,
or through bench/run_all.py.
"""

import harness  # first: sets the thread limits before NumPy/torch load

import os
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Optional

import ml_dtypes
import numpy as np

from harness import Case, Target, faster_than, within

from vorka import Tensor

SQUARE = (256, 1024, 2048)
HALF = 1024
BATCH = 4096
SMALL = 8
MID = 32
PEAK_FRACTION = 0.85

NUMPY_DTYPE = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}

# --------------------------------------------------------------------------- peak

# Twelve independent FMA chains cover the FMA latency on both vector widths;
# the loop body is fixed in assembly so no compiler setting can change it.
_PEAK_SOURCE = r"""
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

#define FMA12(R)                                                       \
    "vfmadd231ps %%" R "12, %%" R "13, %%" R "0\n\t"                   \
    "vfmadd231ps %%" R "12, %%" R "13, %%" R "1\n\t"                   \
    "vfmadd231ps %%" R "12, %%" R "13, %%" R "2\n\t"                   \
    "vfmadd231ps %%" R "12, %%" R "13, %%" R "3\n\t"                   \
    "vfmadd231ps %%" R "12, %%" R "13, %%" R "4\n\t"                   \
    "vfmadd231ps %%" R "12, %%" R "13, %%" R "5\n\t"                   \
    "vfmadd231ps %%" R "12, %%" R "13, %%" R "6\n\t"                   \
    "vfmadd231ps %%" R "12, %%" R "13, %%" R "7\n\t"                   \
    "vfmadd231ps %%" R "12, %%" R "13, %%" R "8\n\t"                   \
    "vfmadd231ps %%" R "12, %%" R "13, %%" R "9\n\t"                   \
    "vfmadd231ps %%" R "12, %%" R "13, %%" R "10\n\t"                  \
    "vfmadd231ps %%" R "12, %%" R "13, %%" R "11\n\t"

#define CLOBBER "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", \
                "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "cc"

static const float one = 1.0f, tiny = 0x1p-20f;

static void run_ymm(long n) {
    __asm__ volatile(
        "vxorps %%ymm0, %%ymm0, %%ymm0\n\t"
        "vmovaps %%ymm0, %%ymm1\n\tvmovaps %%ymm0, %%ymm2\n\tvmovaps %%ymm0, %%ymm3\n\t"
        "vmovaps %%ymm0, %%ymm4\n\tvmovaps %%ymm0, %%ymm5\n\tvmovaps %%ymm0, %%ymm6\n\t"
        "vmovaps %%ymm0, %%ymm7\n\tvmovaps %%ymm0, %%ymm8\n\tvmovaps %%ymm0, %%ymm9\n\t"
        "vmovaps %%ymm0, %%ymm10\n\tvmovaps %%ymm0, %%ymm11\n\t"
        "vbroadcastss %1, %%ymm12\n\tvbroadcastss %2, %%ymm13\n\t"
        "1:\n\t" FMA12("ymm") "dec %0\n\tjnz 1b\n\t"
        : "+r"(n) : "m"(one), "m"(tiny) : CLOBBER);
}

static void run_zmm(long n) {
    __asm__ volatile(
        "vxorps %%xmm0, %%xmm0, %%xmm0\n\t"
        "vmovaps %%zmm0, %%zmm1\n\tvmovaps %%zmm0, %%zmm2\n\tvmovaps %%zmm0, %%zmm3\n\t"
        "vmovaps %%zmm0, %%zmm4\n\tvmovaps %%zmm0, %%zmm5\n\tvmovaps %%zmm0, %%zmm6\n\t"
        "vmovaps %%zmm0, %%zmm7\n\tvmovaps %%zmm0, %%zmm8\n\tvmovaps %%zmm0, %%zmm9\n\t"
        "vmovaps %%zmm0, %%zmm10\n\tvmovaps %%zmm0, %%zmm11\n\t"
        "vbroadcastss %1, %%zmm12\n\tvbroadcastss %2, %%zmm13\n\t"
        "1:\n\t" FMA12("zmm") "dec %0\n\tjnz 1b\n\t"
        "vzeroupper\n\t"
        : "+r"(n) : "m"(one), "m"(tiny) : CLOBBER);
}

/* Best GFLOP/s of `reps` runs of at least `seconds` each. */
static double measure(void (*run)(long), int lanes, double seconds, int reps) {
    long n = 1000;
    for (;;) {
        double t0 = now();
        run(n);
        double dt = now() - t0;
        if (dt >= seconds) break;
        n *= 2;
    }
    double best = 0.0;
    for (int r = 0; r < reps; ++r) {
        double t0 = now();
        run(n);
        double g = 12.0 * 2.0 * lanes * (double)n / (now() - t0) * 1e-9;
        if (g > best) best = g;
    }
    return best;
}

int main(int argc, char** argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 0.1;
    int reps = argc > 2 ? atoi(argv[2]) : 7;
    double ymm = measure(run_ymm, 8, seconds, reps);
    double zmm = __builtin_cpu_supports("avx512f") ? measure(run_zmm, 16, seconds, reps) : 0.0;
    printf("%.3f %.3f\n", ymm, zmm);
    return 0;
}
"""


_PEAKS: dict[str, float] = {}  # FLOP/s per vector width, once measured


def fma_peak() -> tuple[Optional[float], str]:
    """Single-core float32 peak in FLOP/s, from a fixed FMA loop compiled with the
    system C compiler and run single-threaded; (None, reason) when that fails."""
    cc = shutil.which(os.environ.get("CC", "cc")) or shutil.which("gcc")
    if cc is None:
        return None, "no C compiler found"
    with tempfile.TemporaryDirectory(prefix="vorka-peak-") as tmp:
        src, exe = os.path.join(tmp, "peak.c"), os.path.join(tmp, "peak")
        with open(src, "w") as f:
            f.write(_PEAK_SOURCE)
        try:
            subprocess.run([cc, "-O2", "-o", exe, src], check=True, capture_output=True, timeout=120)
            seconds, reps = ("0.02", "3") if harness.is_quick() else ("0.1", "9")
            out = subprocess.run([exe, seconds, reps], check=True, capture_output=True, text=True, timeout=300)
        except (OSError, subprocess.SubprocessError) as e:
            return None, f"peak program failed: {e}"
    ymm, zmm = (float(x) * 1e9 for x in out.stdout.split())
    _PEAKS.update({"256-bit": ymm, "512-bit": zmm})
    width = "512-bit" if zmm >= ymm else "256-bit"
    return max(ymm, zmm), (f"FMA loop: {ymm * 1e-9:.1f} GFLOP/s with 256-bit vectors, "
                           f"{zmm * 1e-9:.1f} with 512-bit; peak = {width}")


def peak_target(flops: float, peak: Optional[float]) -> Target:
    label = f">= {PEAK_FRACTION:.0%} peak"
    if peak is None:
        return Target(label, lambda t: False, ("vorka", "no-peak"))
    return Target(label, lambda t: flops / t["vorka"] >= PEAK_FRACTION * peak, ("vorka",))


# --------------------------------------------------------------------------- operands

def _random(rng, shape, dtype="f32"):
    return rng.standard_normal(shape, dtype=np.float32).astype(NUMPY_DTYPE[dtype])


def _torch_of(x: np.ndarray, dtype: str):
    torch = harness.torch()
    if torch is None:
        return None
    tdt = {"f32": torch.float32, "f16": torch.float16, "bf16": torch.bfloat16}[dtype]
    # bfloat16 has no NumPy buffer torch understands: go through float32.
    return torch.from_numpy(np.ascontiguousarray(x, dtype=np.float32)).to(tdt)


def _reference(a: np.ndarray, b: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The float64 product and the size of its terms, sum |a| |b|."""
    a64, b64 = np.asarray(a, np.float64), np.asarray(b, np.float64)
    return a64 @ b64, np.abs(a64) @ np.abs(b64) + np.finfo(np.float32).tiny


def _mismatch(got, a: np.ndarray, b: np.ndarray, dtype: str) -> Optional[str]:
    """Why vorka's product `got` is off, or None. Sums may run in any order, so the
    tolerance grows with k and the terms' size; 16-bit results add one rounding."""
    want, scale = _reference(a, b)
    got = np.asarray(got.to_numpy(), np.float64)
    if got.shape != want.shape:
        return f"shape {got.shape} != {want.shape}"
    rtol = a.shape[-1] * 2.0**-23 + {"f32": 0.0, "f16": 2.0**-11, "bf16": 2.0**-8}[dtype]
    bad = np.count_nonzero(np.abs(got - want) > rtol * scale)
    return f"{bad} of {want.size} elements off" if bad else None


def _case(name: str, a: np.ndarray, b: np.ndarray, dtype: str, target: Optional[Target]) -> Case:
    """a @ b for every library, vorka's result checked before timing."""
    va, vb = Tensor(a, dtype=dtype), Tensor(b, dtype=dtype)
    fns = {"vorka": lambda: va @ vb}
    if dtype == "f32":  # NumPy has no bfloat16 product and no BLAS for float16
        fns["numpy"] = lambda: a @ b
    ta, tb = _torch_of(a, dtype), _torch_of(b, dtype)
    if ta is not None:
        fns["torch"] = lambda: ta @ tb
    case = Case(name, fns, target)
    try:
        problem = _mismatch(va @ vb, a, b, dtype)
    except Exception as e:  # reported once, untimed
        case.errors["vorka"] = f"{type(e).__name__}: {e}"
        del case.fns["vorka"]
        return case
    if problem:
        case.note = f"vorka result differs: {problem}"
    return case


# --------------------------------------------------------------------------- cases

def square_cases(peak: Optional[float]) -> list[Case]:
    rng = np.random.default_rng(0)
    cases = []
    for n in SQUARE:
        a, b = _random(rng, (n, n)), _random(rng, (n, n))
        target = faster_than("numpy", 0.95) & peak_target(2.0 * n**3, peak)
        cases.append(_case(f"f32 {n}x{n} @ {n}x{n}", a, b, "f32", target))
    return cases


def _column_major(x: Tensor) -> Tensor:
    """The same matrix, stored column-major."""
    return Tensor(np.ascontiguousarray(x.to_numpy().T), dtype=x.dtype).transpose(0, 1)


def transposed_table() -> None:
    """vorka with column-major operands against its own contiguous product. The
    repetitions of a row are interleaved, so machine load hits all columns alike."""
    rng = np.random.default_rng(0)
    layouts = ("A", "B", "AB")
    print("\n### Matmul: column-major operands against the contiguous product (vorka)\n")
    print("| case | contiguous | " + " | ".join(f"{w} column-major" for w in layouts) + " | target |")
    print("|---|---:|" + "---:|" * len(layouts) + "---|")
    notes = []
    for n in SQUARE:
        a, b = _random(rng, (n, n)), _random(rng, (n, n))
        ta, tb = Tensor(a), Tensor(b)
        fns = {"": lambda: ta @ tb}
        for w in layouts:
            va = _column_major(ta) if "A" in w else ta
            vb = _column_major(tb) if "B" in w else tb
            fns[w] = lambda va=va, vb=vb: va @ vb
            problem = _mismatch(va @ vb, a, b, "f32")
            if problem:
                notes.append(f"- n = {n}, {w} column-major: vorka result differs: {problem}")
        t = harness.time_many(fns)
        worst = max(t[w] for w in layouts) / t[""]
        mark = "\u2713" if worst <= 1.1 else "\u2717"
        cells = [f"f32 {n}x{n} @ {n}x{n}", harness.fmt_time(t[""])]
        cells += [f"{harness.fmt_time(t[w])} ({t[w] / t['']:.2f}x)" for w in layouts]
        print("| " + " | ".join(cells + [f"{mark} <= 1.1x contiguous"]) + " |", flush=True)
    if notes:
        print()
        print("\n".join(notes))


def half_cases() -> list[Case]:
    rng = np.random.default_rng(2)
    cases = []
    for dtype in ("f16", "bf16"):
        a, b = _random(rng, (HALF, HALF), dtype), _random(rng, (HALF, HALF), dtype)
        cases.append(_case(f"{dtype} {HALF}x{HALF} @ {HALF}x{HALF}", a, b, dtype, within("torch", 1.0)))
    return cases


def half_against_float32() -> None:
    """vorka's 16-bit products against its own float32 product of the same size,
    interleaved in one timing run (targets: float16 >= 0.9x, bfloat16 >= 1.5x)."""
    rng = np.random.default_rng(4)
    a, b = _random(rng, (HALF, HALF)), _random(rng, (HALF, HALF))
    fns = {}
    for dtype in ("f32", "f16", "bf16"):
        va, vb = Tensor(a, dtype=dtype), Tensor(b, dtype=dtype)
        fns[dtype] = lambda va=va, vb=vb: va @ vb
    t = harness.time_many(fns)
    flops = 2.0 * HALF**3
    print(f"\n### Matmul: 16-bit products against vorka's float32, n = {HALF}\n")
    print("| dtype | time | GFLOP/s | speed vs float32 | target |")
    print("|---|---:|---:|---:|---|")
    for dtype, goal in (("f32", None), ("f16", 0.9), ("bf16", 1.5)):
        speed = t["f32"] / t[dtype]
        mark = "" if goal is None else ("\u2713" if speed >= goal else "\u2717") + f" >= {goal:g}x"
        print(f"| {dtype} | {harness.fmt_time(t[dtype])} | {flops / t[dtype] * 1e-9:.1f} | {speed:.2f}x | {mark} |")


def forced_isa_table() -> None:
    """float16 against float32 (both vorka) under each instruction set the build lets
    a benchmark force (builds with test hooks: `_force_isa`), so the kernels of older
    CPUs are measured on this one. Each row's columns are timed interleaved."""
    import vorka
    force = getattr(vorka.vorka_core, "_force_isa", None)
    if force is None:
        print("\n(per-instruction-set table skipped: this build has no test hooks)")
        return
    rng = np.random.default_rng(5)
    sq = _random(rng, (HALF, HALF)), _random(rng, (HALF, HALF))
    stack, one = _random(rng, (BATCH, MID, MID)), _random(rng, (MID, MID))
    shapes = {f"{HALF}^3": sq, f"[{BATCH}, {MID}, {MID}] @ [{MID}, {MID}]": (stack, one),
              f"[{MID}, {MID}] @ [{BATCH}, {MID}, {MID}]": (one, stack)}
    print("\n### Matmul: float16 against float32 per forced instruction set (vorka)\n")
    print("| instruction set | case | float32 | float16 | float16 speed vs float32 | target |")
    print("|---|---|---:|---:|---:|---|")
    names = vorka.vorka_core._instruction_sets()  # lowest first
    best = force(names[-1])  # the best this CPU has
    for isa in names[:0:-1]:  # all but the portable set, best first
        if force(isa) != isa:
            continue
        for name, (a, b) in shapes.items():
            fns = {}
            for dtype in ("f32", "f16"):
                va, vb = Tensor(a, dtype=dtype), Tensor(b, dtype=dtype)
                fns[dtype] = lambda va=va, vb=vb: va @ vb
            t = harness.time_many(fns)
            speed = t["f32"] / t["f16"]
            goal = 0.9 if name == f"{HALF}^3" else None
            mark = "" if goal is None else ("\u2713" if speed >= goal else "\u2717") + f" >= {goal:g}x"
            print(f"| {isa} | {name} | {harness.fmt_time(t['f32'])} | {harness.fmt_time(t['f16'])} | {speed:.2f}x "
                  f"| {mark} |", flush=True)
    force(best)


# NumPy's float32 product with its BLAS held to AVX2 kernels, in a process of
# its own (the BLAS reads the core type once, when it loads). It answers each
# "n reps" line with the seconds per product of one repetition, so its
# repetitions can alternate with vorka's and load changes hit both alike.
_NUMPY_AVX2 = r"""
import sys, time
import numpy as np
rng = np.random.default_rng(0)
ops = {}
for line in sys.stdin:
    n, reps = map(int, line.split())
    if n not in ops:
        ops[n] = rng.standard_normal((n, n), dtype=np.float32), rng.standard_normal((n, n), dtype=np.float32)
    a, b = ops[n]
    t = time.perf_counter()
    for _ in range(reps):
        a @ b
    print((time.perf_counter() - t) / reps, flush=True)
"""


def _alternate(n: int, vorka_fn, numpy_proc) -> tuple[list[float], list[float]]:
    """Seconds per product of vorka and of NumPy's AVX2 BLAS, one sample each
    per round, their repetitions alternating; samples sorted, fastest first.
    Short samples (about 10 ms of work) and many rounds: on a shared host a
    neighbour's load only ever adds time, so the fastest sample of each side is
    its speed on a free core, and short samples make one likely."""
    reps = max(1, int(5e8 / n**3))
    def numpy_rep() -> float:
        numpy_proc.stdin.write(f"{n} {reps}\n")
        numpy_proc.stdin.flush()
        return float(numpy_proc.stdout.readline())
    def vorka_rep() -> float:
        t = time.perf_counter()
        for _ in range(reps):
            vorka_fn()
        return (time.perf_counter() - t) / reps
    numpy_rep(), vorka_rep()  # warm-up: first touches, packing buffers
    ts_v, ts_n = [], []
    for _ in range(5 if harness.is_quick() else 25):
        ts_v.append(vorka_rep())
        ts_n.append(numpy_rep())
    return sorted(ts_v), sorted(ts_n)


def avx2_square_table() -> None:
    """vorka's float32 products with AVX2 forced against NumPy's BLAS held to its
    AVX2 (Haswell) kernels, as on a CPU without AVX-512, repetitions alternating;
    % of the 256-bit FMA peak for each (target: >= 0.95x NumPy)."""
    import vorka
    force = getattr(vorka.vorka_core, "_force_isa", None)
    if force is None:
        print("\n(AVX2 square table skipped: this build has no test hooks)")
        return
    best = force(vorka.vorka_core._instruction_sets()[-1])
    if force("avx2") != "avx2":
        force(best)
        print("\n(AVX2 square table skipped: this CPU lacks AVX2 + FMA)")
        return
    env = {**os.environ, "OPENBLAS_CORETYPE": "Haswell", "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}
    try:
        proc = subprocess.Popen([sys.executable, "-c", _NUMPY_AVX2], env=env, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, text=True)
    except OSError as e:
        force(best)
        print(f"\n(AVX2 square table skipped: NumPy could not start: {e})")
        return
    peak = _PEAKS.get("256-bit")
    print("\n### Matmul: float32 with AVX2 forced, NumPy's BLAS on its AVX2 kernels (OPENBLAS_CORETYPE=Haswell)\n")
    print("Fastest of alternating samples (a busy host only adds time); the ratio of the medians beside it.\n")
    print("| case | vorka (AVX2) | numpy (Haswell) | numpy/vorka | medians | vorka % of 256-bit peak | target |")
    print("|---|---:|---:|---:|---:|---:|---|")
    rng = np.random.default_rng(0)
    try:
        for n in SQUARE:
            a, b = Tensor(_random(rng, (n, n))), Tensor(_random(rng, (n, n)))
            ts, numpy_ts = _alternate(n, lambda: a @ b, proc)
            t, numpy_t = ts[0], numpy_ts[0]
            ratio, median_ratio = numpy_t / t, numpy_ts[len(ts) // 2] / ts[len(ts) // 2]
            share = f"{2.0 * n**3 / t / peak:.1%}" if peak else "n/a"
            mark = "\u2713" if ratio >= 0.95 else "\u2717"
            print(f"| f32 {n}x{n} @ {n}x{n} | {harness.fmt_time(t)} | {harness.fmt_time(numpy_t)} | {ratio:.2f}x "
                  f"| {median_ratio:.2f}x | {share} | {mark} >= 0.95x numpy |", flush=True)
    except (OSError, ValueError) as e:
        print(f"\n(AVX2 square table stopped: NumPy run failed: {e})")
    finally:
        proc.stdin.close()
        proc.wait(timeout=60)
        force(best)


def batched_cases() -> list[Case]:
    rng = np.random.default_rng(3)
    a = _random(rng, (BATCH, SMALL, SMALL))
    b = _random(rng, (BATCH, SMALL, SMALL))
    b1 = _random(rng, (SMALL, SMALL))
    target = within("numpy", 1.0)
    cases = [
        _case(f"f32 [{BATCH}, {SMALL}, {SMALL}] @ [{BATCH}, {SMALL}, {SMALL}]", a, b, "f32", target),
        _case(f"f32 [{BATCH}, {SMALL}, {SMALL}] @ [{SMALL}, {SMALL}]", a, b1, "f32", target),
    ]
    # mid-size matrices around a shared operand, on either side
    for dtype in ("f32", "f16", "bf16"):
        stack, one = _random(rng, (BATCH, MID, MID), dtype), _random(rng, (MID, MID), dtype)
        cases.append(_case(f"{dtype} [{BATCH}, {MID}, {MID}] @ [{MID}, {MID}]", stack, one, dtype,
                           within("torch", 1.0)))
        cases.append(_case(f"{dtype} [{MID}, {MID}] @ [{BATCH}, {MID}, {MID}]", one, stack, dtype,
                           within("torch", 1.0)))
    return cases


def _fractions(times: list[dict], peak: Optional[float]) -> None:
    if peak is None:
        return
    print()
    for n, t in zip(SQUARE, times):
        if t.get("vorka"):
            got = 2.0 * n**3 / t["vorka"]
            print(f"- n = {n}: vorka {got * 1e-9:.1f} GFLOP/s = {got / peak:.1%} of peak"
                  + (f"; numpy {2.0 * n**3 / t['numpy'] * 1e-9:.1f} GFLOP/s" if t.get("numpy") else ""))


def main() -> None:
    peak, how = fma_peak()
    print(f"\nSingle-core float32 peak: "
          + (f"{peak * 1e-9:.1f} GFLOP/s ({how})" if peak else f"unknown ({how})"))
    square = square_cases(peak)
    times = harness.run(square, "Matmul: float32 square products (one thread each)")
    _fractions(times, peak)
    avx2_square_table()
    transposed_table()
    harness.run(half_cases(), "Matmul: float16 / bfloat16 against PyTorch")
    half_against_float32()
    forced_isa_table()
    harness.run(batched_cases(), "Matmul: many small and mid-size products")


if __name__ == "__main__":
    harness.configure_from_argv()
    print("## vorka matmul benchmarks\n")
    print(harness.machine_summary())
    main()
