"""Autograd benchmarks: per-operation overhead of recording and the backward pass
(a long chain of tiny ops), and one training step of a small MLP.

Run on its own with `.venv/bin/python bench/bench_autograd.py [--quick]`,
or through bench/run_all.py. NumPy has no autograd: its column reads n/a.
"""

import harness  # first: sets the thread limits before NumPy/torch load

import numpy as np

from harness import Case, faster_than, within

import vorka
from vorka import Tensor

CHAIN = 1000
SMALL = 4
BATCH, IN, HIDDEN, OUT = 64, 256, 128, 10
LR = 1e-4


def _chain(x, c, ones):
    """CHAIN ops mixing scalar and tensor operands, then backward from the end."""
    y = x
    for i in range(CHAIN // 4):
        y = y * 1.0001
        y = y + c
        y = y * c
        y = y - 0.5
    if ones is None:
        y.backward()
    else:
        y.backward(ones)
    return y


def chain_case() -> Case:
    rng = np.random.default_rng(0)
    x0 = rng.standard_normal(SMALL).astype(np.float32)
    c0 = (rng.uniform(0.99, 1.01, SMALL)).astype(np.float32)

    c = Tensor(c0)

    def run_vorka():
        # Ids do not survive clear_graph(): each step starts from a new leaf.
        x = Tensor(x0, requires_grad=True)
        _chain(x, c, None)
        g = x.grad()
        Tensor.clear_graph()  # a program reclaims the tape after each step
        return g

    fns = {"vorka": run_vorka}
    torch = harness.torch()
    note = ""
    if torch is not None:
        tx, tc = torch.from_numpy(x0).requires_grad_(True), torch.from_numpy(c0)
        ones = torch.ones(SMALL)

        def run_torch():
            tx.grad = None
            _chain(tx, tc, ones)
            return tx.grad

        fns["torch"] = run_torch
        diff = np.max(np.abs(run_vorka() - run_torch().numpy()))
        note = f"max |grad difference| vs torch: {diff:.2e}"
    return Case(f"chain of {CHAIN} ops on f32[{SMALL}], forward + backward", fns, faster_than("torch", 3), note)


def mlp_case() -> Case:
    rng = np.random.default_rng(1)
    x0 = rng.standard_normal((BATCH, IN)).astype(np.float32)
    w1 = (rng.standard_normal((IN, HIDDEN)) / np.sqrt(IN)).astype(np.float32)
    b1 = np.zeros(HIDDEN, np.float32)
    w2 = (rng.standard_normal((HIDDEN, OUT)) / np.sqrt(HIDDEN)).astype(np.float32)
    b2 = np.zeros(OUT, np.float32)

    relu = vorka.nn.functional.relu
    x = Tensor(x0)
    state = [w1.copy(), b1.copy(), w2.copy(), b2.copy()]

    def run_vorka():
        # Ids do not survive clear_graph(): each step wraps the current values
        # in new leaves, as the update below makes new values anyway.
        params = [Tensor(p, requires_grad=True) for p in state]
        W1, B1, W2, B2 = params
        out = relu(x @ W1 + B1) @ W2 + B2
        out.backward()
        grads = [p.grad() for p in params]
        Tensor.clear_graph()
        for p, g in zip(state, grads):
            p -= LR * g
        return grads

    fns = {"vorka": run_vorka}
    torch = harness.torch()
    note = ""
    if torch is not None:
        tx = torch.from_numpy(x0)
        tparams = [torch.from_numpy(p.copy()).requires_grad_(True) for p in (w1, b1, w2, b2)]
        ones = torch.ones(BATCH, OUT)

        def run_torch():
            W1, B1, W2, B2 = tparams
            for p in tparams:
                p.grad = None
            out = torch.relu(tx @ W1 + B1) @ W2 + B2
            out.backward(ones)
            with torch.no_grad():
                for p in tparams:
                    p -= LR * p.grad
            return [p.grad for p in tparams]

        fns["torch"] = run_torch
        diff = max(float(np.max(np.abs(g - t.numpy()))) for g, t in zip(run_vorka(), run_torch()))
        note = f"max |grad difference| vs torch: {diff:.2e}"
    name = f"MLP SGD step: batch {BATCH}, {IN} -> {HIDDEN} -> {OUT}, ReLU, forward + backward + update"
    return Case(name, fns, within("torch", 1.0), note)


def bias_sum_case(rows: int = 1 << 18, cols: int = 64) -> Case:
    """A bias broadcast over many rows: its gradient is a column sum of the incoming gradient."""
    rng = np.random.default_rng(2)
    r0 = rng.random((rows, cols)).astype(np.float32)
    x, r = Tensor(np.zeros((rows, cols), np.float32)), Tensor(r0)
    exact = r0.astype(np.float64).sum(axis=0)

    def run_vorka():
        b = Tensor(np.zeros(cols, np.float32), requires_grad=True)
        ((x + b) * r).backward()
        g = b.grad()
        Tensor.clear_graph()
        return g

    fns = {"vorka": run_vorka, "numpy": lambda: r0.sum(axis=0)}
    errors = {"vorka": run_vorka(), "numpy": fns["numpy"]()}
    torch = harness.torch()
    if torch is not None:
        tx, tr, ones = torch.zeros(rows, cols), torch.from_numpy(r0), torch.ones(rows, cols)

        def run_torch():
            b = torch.zeros(cols, requires_grad=True)
            ((tx + b) * tr).backward(ones)
            return b.grad

        fns["torch"] = run_torch
        errors["torch"] = run_torch().numpy()
    note = "max relative error vs float64: " + ", ".join(
        f"{lib} {float(np.max(np.abs(g - exact) / exact)):.1e}" for lib, g in errors.items())
    return Case(f"bias gradient over [{rows}, {cols}] (forward + backward; numpy: the column sum only)", fns,
                within("torch", 1.5), note)


def training_step_case(dtype: str, batch: int = 256, sizes: tuple = (784, 512, 10), bias: bool = False) -> Case:
    """One step of an MLP (with or without biases): forward, backward, read
    every gradient, clear the tape (vorka) / the gradients (torch)."""
    import ml_dtypes

    np_dtype = {"f32": np.float32, "bf16": ml_dtypes.bfloat16}[dtype]
    rng = np.random.default_rng(2)
    n_in, n_hidden, n_out = sizes
    x0 = rng.standard_normal((batch, n_in)).astype(np.float32)
    w1 = (rng.standard_normal((n_in, n_hidden)) / np.sqrt(n_in)).astype(np.float32)
    w2 = (rng.standard_normal((n_hidden, n_out)) / np.sqrt(n_hidden)).astype(np.float32)
    params0 = [w1, w2] + ([rng.standard_normal(n_hidden).astype(np.float32) * 0.1,
                           rng.standard_normal(n_out).astype(np.float32) * 0.1] if bias else [])
    relu = vorka.nn.functional.relu
    x = Tensor(x0.astype(np_dtype), dtype=dtype)
    pv = [p.astype(np_dtype) for p in params0]

    def forward(x, W1, W2, B1=None, B2=None):
        h = x @ W1
        h = relu(h) if B1 is None else relu(h + B1)
        out = h @ W2
        return out if B2 is None else out + B2

    def run_vorka():
        params = [Tensor(p, dtype=dtype, requires_grad=True) for p in pv]
        forward(x, *params).backward()
        grads = [p.grad() for p in params]
        Tensor.clear_graph()
        return grads

    fns = {"vorka": run_vorka}
    torch = harness.torch()
    note = ""
    if torch is not None:
        tdt = {"f32": torch.float32, "bf16": torch.bfloat16}[dtype]
        tx = torch.from_numpy(x0).to(tdt)
        tp = [torch.from_numpy(p).to(tdt).requires_grad_(True) for p in params0]
        ones = torch.ones(batch, n_out, dtype=tdt)
        trelu = torch.relu

        def run_torch():
            W1, W2, *b = tp
            h = tx @ W1
            h = trelu(h) if not b else trelu(h + b[0])
            out = h @ W2
            (out if not b else out + b[1]).backward(ones)
            grads = [p.grad for p in tp]
            for p in tp:
                p.grad = None
            return grads

        fns["torch"] = run_torch
        diff = max(float(np.max(np.abs(np.asarray(g, np.float32) - t.float().numpy())))
                   for g, t in zip(run_vorka(), run_torch()))
        note = f"max |grad difference| vs torch: {diff:.2e}"
    name = (f"{dtype} MLP step: batch {batch}, {n_in} -> {n_hidden} (ReLU) -> {n_out}"
            f"{', with biases' if bias else ''}, forward + backward + read grads")
    return Case(name, fns, within("torch", 1.0), note)


def step_piece_cases(dtype: str = "bf16", batch: int = 256, sizes: tuple = (784, 512, 10)) -> list[Case]:
    """The pieces of the MLP step with biases, each on its own: the forward
    products, the gradient products (as the products of transposed views they
    are), the bias add and the ReLU with their gradients (from a leaf)."""
    import ml_dtypes

    np_dtype = {"f32": np.float32, "bf16": ml_dtypes.bfloat16}[dtype]
    rng = np.random.default_rng(6)
    n_in, n_hidden, n_out = sizes
    data = {name: rng.standard_normal(shape).astype(np.float32) * 0.1 for name, shape in
            (("x", (batch, n_in)), ("w1", (n_in, n_hidden)), ("w2", (n_hidden, n_out)), ("b1", (n_hidden,)),
             ("h", (batch, n_hidden)), ("g1", (batch, n_hidden)), ("g2", (batch, n_out)))}
    v = {k: Tensor(a.astype(np_dtype), dtype=dtype) for k, a in data.items()}
    raw = {k: a.astype(np_dtype) for k, a in data.items()}
    torch = harness.torch()
    t = {}
    if torch is not None:
        tdt = {"f32": torch.float32, "bf16": torch.bfloat16}[dtype]
        t = {k: torch.from_numpy(a).to(tdt) for k, a in data.items()}
    relu = vorka.nn.functional.relu

    def tr(x):
        return x.transpose(0, 1)

    def leaf_step(op):
        def run():
            x = Tensor(raw["h"], dtype=dtype, requires_grad=True)
            op(x).backward()
            Tensor.clear_graph()
        return run

    def torch_leaf_step(op):
        ones = torch.ones(batch, n_hidden, dtype=t["h"].dtype)

        def run():
            x = t["h"].detach().requires_grad_(True)
            op(x).backward(ones)
        return run

    pieces = [
        ("forward x @ W1", lambda: v["x"] @ v["w1"], lambda: t["x"] @ t["w1"]),
        ("forward h @ W2 (n = 10)", lambda: v["h"] @ v["w2"], lambda: t["h"] @ t["w2"]),
        ("gradient of W1: x^T @ g1", lambda: tr(v["x"]) @ v["g1"], lambda: t["x"].t() @ t["g1"]),
        ("gradient of h: g2 @ W2^T (k = 10)", lambda: v["g2"] @ tr(v["w2"]), lambda: t["g2"] @ t["w2"].t()),
        ("gradient of W2: h^T @ g2 (n = 10)", lambda: tr(v["h"]) @ v["g2"], lambda: t["h"].t() @ t["g2"]),
        ("h + b1, forward + backward of a leaf h", leaf_step(lambda x: x + v["b1"]),
         torch_leaf_step(lambda x: x + t["b1"]) if t else None),
        ("relu(h), forward + backward of a leaf h", leaf_step(relu),
         torch_leaf_step(torch.relu) if t else None),
    ]
    cases = []
    for name, fv, ft in pieces:
        fns = {"vorka": fv}
        if t and ft is not None:
            fns["torch"] = ft
        cases.append(Case(f"{dtype} {name}", fns))
    return cases


def relu_backward_cases(shape: tuple = (256, 512)) -> list[Case]:
    """relu(x).backward() of a leaf per float type: the seed, the ReLU and its gradient."""
    x0 = np.random.default_rng(5).standard_normal(shape).astype(np.float32)
    torch = harness.torch()
    cases = []
    for dtype in DTYPES:
        xv = x0.astype(_np_dtype(dtype))
        relu = vorka.nn.functional.relu

        def run_vorka(xv=xv, dtype=dtype):
            x = Tensor(xv, dtype=dtype, requires_grad=True)
            relu(x).backward()
            Tensor.clear_graph()

        fns = {"vorka": run_vorka}
        if torch is not None:
            tx = torch.from_numpy(x0).to(_torch_dtype(torch, dtype))
            ones = torch.ones(shape, dtype=_torch_dtype(torch, dtype))

            def run_torch(tx=tx, ones=ones):
                x = tx.detach().requires_grad_(True)
                torch.relu(x).backward(ones)

            fns["torch"] = run_torch
        cases.append(Case(f"relu(x).backward() of a leaf {dtype}{list(shape)}", fns, within("torch", 1.0)))
    return cases


# A training step's peak memory, one process per element type: the growth of
# the peak RSS over the first step (after the inputs exist), then the step's
# median time. Linux only (VmHWM reset through clear_refs).
_MEMORY_STEP = r"""
import sys, time
import ml_dtypes, numpy as np
import vorka
from vorka import Tensor
dtype, batch, n_in, n_hidden, n_out = sys.argv[1], *map(int, sys.argv[2:])
npd = {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}[dtype]
rng = np.random.default_rng(3)
x = Tensor(rng.standard_normal((batch, n_in)).astype(npd), dtype=dtype)
w1 = (rng.standard_normal((n_in, n_hidden)) / np.sqrt(n_in)).astype(npd)
w2 = (rng.standard_normal((n_hidden, n_out)) / np.sqrt(n_hidden)).astype(npd)
relu = vorka.nn.functional.relu
def step():
    W1, W2 = Tensor(w1, dtype=dtype, requires_grad=True), Tensor(w2, dtype=dtype, requires_grad=True)
    (relu(x @ W1) @ W2).backward()
    W1.grad(), W2.grad()
    Tensor.clear_graph()
def kib(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field))
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
base = kib("VmRSS:")
step()
grown = kib("VmHWM:") - base
times = []
for _ in range(5):
    t = time.perf_counter()
    step()
    times.append(time.perf_counter() - t)
print(grown / 1024, sorted(times)[2])
"""


def memory_table(batch: int = 4096, sizes: tuple = (784, 2048, 10)) -> None:
    """Peak memory of one training step per element type (each in a fresh
    process), next to its time; target: a 16-bit step grows the peak RSS by at
    most 0.6x of what the float32 step does."""
    import subprocess
    import sys
    n_in, n_hidden, n_out = sizes
    print(f"\n### Autograd: peak memory of a training step, batch {batch}, {n_in} -> {n_hidden} (ReLU) -> {n_out} "
          "(vorka, first step in a fresh process)\n")
    print("| dtype | peak RSS growth | vs float32 | step time | target |")
    print("|---|---:|---:|---:|---|")
    grown = {}
    for dtype in ("f32", "bf16", "f16"):
        try:
            res = subprocess.run([sys.executable, "-c", _MEMORY_STEP, dtype, str(batch), *map(str, sizes)],
                                 check=True, capture_output=True, text=True, timeout=600)
            mib, secs = map(float, res.stdout.split())
        except (OSError, subprocess.SubprocessError, ValueError) as e:
            print(f"| {dtype} | failed: {e} | | | |")
            continue
        grown[dtype] = mib
        ratio = mib / grown["f32"] if grown.get("f32") else None
        mark = "" if dtype == "f32" or ratio is None else ("\u2713" if ratio <= 0.6 else "\u2717") + " <= 0.6x float32"
        print(f"| {dtype} | {mib:.1f} MiB | {'' if ratio is None else f'{ratio:.2f}x'} | {harness.fmt_time(secs)} "
              f"| {mark} |", flush=True)


# Digits-sized full-batch training: 1,437 samples of 64 features, 10 classes.
DIGITS, DIGITS_LAYERS = 1437, (64, 128, 64, 10)
DTYPES = ("f32", "bf16", "f16")


def _np_dtype(dtype: str):
    import ml_dtypes
    return {"f32": np.float32, "f16": np.float16, "bf16": ml_dtypes.bfloat16}[dtype]


def _torch_dtype(torch, dtype: str):
    return {"f32": torch.float32, "f16": torch.float16, "bf16": torch.bfloat16}[dtype]


def seed_cases() -> list[Case]:
    """backward() of a leaf: the seed (ones of its shape) becomes its gradient."""
    x0 = np.random.default_rng(2).standard_normal((DIGITS, 128)).astype(np.float32)
    cases = []
    for dtype in DTYPES:
        x = Tensor(x0.astype(_np_dtype(dtype)), dtype=dtype, requires_grad=True)
        fns = {"vorka": x.backward}
        torch = harness.torch()
        if torch is not None:
            tx = torch.from_numpy(x0).to(_torch_dtype(torch, dtype)).requires_grad_(True)

            def run_torch(tx=tx):
                tx.grad = None
                tx.backward(torch.ones_like(tx))

            fns["torch"] = run_torch
        cases.append(Case(f"backward() of a leaf {dtype}[{DIGITS}, 128]", fns))
    return cases


def gradient_kernel_cases() -> list[Case]:
    """x / y + z per float type: both division gradients and a bias sum back to z's shape."""
    rng = np.random.default_rng(4)
    x0 = rng.standard_normal((DIGITS, 128)).astype(np.float32)
    y0 = rng.uniform(0.5, 2.0, (DIGITS, 128)).astype(np.float32)
    z0 = rng.standard_normal(128).astype(np.float32)
    torch = harness.torch()
    cases = []
    for dtype in DTYPES:
        data = [a.astype(_np_dtype(dtype)) for a in (x0, y0, z0)]

        def run_vorka(data=data, dtype=dtype):
            x, y, z = (Tensor(a, dtype=dtype, requires_grad=True) for a in data)
            (x / y + z).backward()
            grads = [t.grad() for t in (x, y, z)]
            Tensor.clear_graph()
            return grads

        fns = {"vorka": run_vorka}
        if torch is not None:
            tdata = [torch.from_numpy(a).to(_torch_dtype(torch, dtype)) for a in (x0, y0, z0)]
            ones = torch.ones(DIGITS, 128, dtype=_torch_dtype(torch, dtype))

            def run_torch(tdata=tdata, ones=ones):
                x, y, z = (a.clone().requires_grad_(True) for a in tdata)
                (x / y + z).backward(ones)
                return [x.grad, y.grad, z.grad]

            fns["torch"] = run_torch
        cases.append(Case(f"x / y + z {dtype}: x, y [{DIGITS}, 128], z [128], forward + backward + grads", fns))
    return cases


def digits_cases() -> list[Case]:
    """Full-batch step of an MLP 64 -> 128 -> 64 -> 10 (ReLU) in each float type:
    forward, backward, read every gradient, clear the tape."""
    rng = np.random.default_rng(3)
    x0 = rng.random((DIGITS, DIGITS_LAYERS[0]), dtype=np.float32)
    shapes = list(zip(DIGITS_LAYERS[:-1], DIGITS_LAYERS[1:]))
    w0 = [(rng.standard_normal(s) / np.sqrt(s[0])).astype(np.float32) for s in shapes]
    b0 = [np.zeros(s[1], np.float32) for s in shapes]
    relu = vorka.nn.functional.relu
    torch = harness.torch()
    cases = []
    for dtype in DTYPES:
        x = Tensor(x0.astype(_np_dtype(dtype)), dtype=dtype)
        state = [p.astype(_np_dtype(dtype)) for p in w0 + b0]

        def run_vorka(x=x, state=state, dtype=dtype):
            params = [Tensor(p, dtype=dtype, requires_grad=True) for p in state]
            ws, bs = params[:3], params[3:]
            h = x
            for i, (w, b) in enumerate(zip(ws, bs)):
                h = h @ w + b
                if i < 2:
                    h = relu(h)
            h.backward()
            grads = [p.grad() for p in params]
            Tensor.clear_graph()
            return grads

        fns = {"vorka": run_vorka}
        if torch is not None:
            tdt = _torch_dtype(torch, dtype)
            tx = torch.from_numpy(x0).to(tdt)
            tparams = [torch.from_numpy(p).to(tdt).requires_grad_(True) for p in w0 + b0]
            ones = torch.ones(DIGITS, DIGITS_LAYERS[-1], dtype=tdt)

            def run_torch(tx=tx, tparams=tparams, ones=ones):
                for p in tparams:
                    p.grad = None
                h = tx
                for i, (w, b) in enumerate(zip(tparams[:3], tparams[3:])):
                    h = h @ w + b
                    if i < 2:
                        h = torch.relu(h)
                h.backward(ones)
                return [p.grad for p in tparams]

            fns["torch"] = run_torch
        name = f"MLP step {dtype}: {DIGITS} x 64 -> 128 -> 64 -> 10, forward + backward + grads"
        cases.append(Case(name, fns, within("torch", 1.0) if dtype == "f16" else None))
    return cases


def _ratio_to_bf16(cases: list[Case], times: list[dict]) -> None:
    """Each float16 row against the bfloat16 row of the same table (vorka's times)."""
    by_dtype = {dt: t["vorka"] for dt, t in zip(DTYPES, times)}
    if by_dtype.get("f16") and by_dtype.get("bf16"):
        print(f"- vorka float16 / bfloat16 time: {by_dtype['f16'] / by_dtype['bf16']:.2f}x, "
              f"float16 / float32: {by_dtype['f16'] / by_dtype['f32']:.2f}x")


def main() -> None:
    harness.run([chain_case(), mlp_case(), bias_sum_case()],
                "Autograd: recording overhead, a training step and a broadcast gradient sum (float32)")
    harness.run([training_step_case("f32"), training_step_case("bf16"), training_step_case("f32", bias=True),
                 training_step_case("bf16", bias=True)],
                "Autograd: MLP training step, batch 256, 784 -> 512 -> 10")
    harness.run(step_piece_cases(), "Autograd: the pieces of the bfloat16 MLP step with biases")
    harness.run(relu_backward_cases(), "Autograd: ReLU forward + backward of a leaf, per float type")
    memory_table()
    cases = seed_cases()
    _ratio_to_bf16(cases, harness.run(cases, "Autograd: backward seed of a leaf, per float type"))
    cases = gradient_kernel_cases()
    _ratio_to_bf16(cases, harness.run(cases, "Autograd: division and bias gradients, per float type"))
    cases = digits_cases()
    _ratio_to_bf16(cases, harness.run(cases, "Autograd: digits-sized MLP step, per float type"))


if __name__ == "__main__":
    harness.configure_from_argv()
    print("## vorka autograd benchmarks\n")
    print(harness.machine_summary())
    main()
