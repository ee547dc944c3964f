"""Train a small MLP with vorka's autograd on three interleaved spirals.

The data set is generated here (no download). Each step builds fresh parameter
tensors from NumPy arrays, runs the forward pass, calls backward(), reads the
gradients with grad(), updates the NumPy arrays and clears the graph.
At the end one step's gradients are compared with central finite differences of
the same loss computed in float64 NumPy; the script exits non-zero on a mismatch.

    python examples/train_mlp.py            # full run, well under a minute
    python examples/train_mlp.py --epochs 3 # quick check
    python examples/train_mlp.py --plot spirals.png  # also draw what it learned (needs matplotlib)
"""

from __future__ import annotations

import argparse
import sys
import time

import numpy as np
import numpy.typing as npt

from vorka import Tensor, nn

relu = nn.functional.relu

F32 = npt.NDArray[np.float32]
F64 = npt.NDArray[np.float64]
Params = dict[str, F32]
NAMES = ("w1", "b1", "w2", "b2", "w3", "b3")


def make_spirals(per_class: int, classes: int, rng: np.random.Generator) -> tuple[F32, npt.NDArray[np.int64]]:
    """Points on `classes` interleaved spiral arms in the plane, with a little noise."""
    xs, ys = [], []
    for c in range(classes):
        r = np.linspace(0.05, 1.0, per_class)
        theta = r * 12.0 + 2.0 * np.pi * c / classes + rng.normal(0.0, 0.3, per_class)
        xs.append(np.stack([r * np.cos(theta), r * np.sin(theta)], axis=1))
        ys.append(np.full(per_class, c))
    x, y = np.concatenate(xs), np.concatenate(ys)
    order = rng.permutation(len(y))
    return x[order].astype(np.float32), y[order]


def init_params(sizes: list[int], rng: np.random.Generator) -> Params:
    params: Params = {}
    for i, (fan_in, fan_out) in enumerate(zip(sizes[:-1], sizes[1:]), start=1):
        params[f"w{i}"] = (rng.normal(0.0, np.sqrt(2.0 / fan_in), (fan_in, fan_out))).astype(np.float32)
        params[f"b{i}"] = np.zeros(fan_out, np.float32)
    return params


def forward(p: dict[str, Tensor], x: Tensor) -> Tensor:
    # The (n, k) @ (k, m) products plus (m,) biases broadcast over the batch.
    h = relu(x @ p["w1"] + p["b1"])
    h = relu(h @ p["w2"] + p["b2"])
    return h @ p["w3"] + p["b3"]


def squared_error(out: Tensor, target: Tensor, batch: int) -> Tensor:
    # Per-element loss terms; backward() differentiates the sum of a tensor's
    # elements, so no reduction operation is needed.
    d = out - target
    return d * d * (1.0 / batch)


def train_step(params: Params, x: F32, onehot: F32) -> tuple[float, Params]:
    """Loss and gradients of one batch. Leaves the calling thread's graph empty."""
    leaves = {k: Tensor(v, requires_grad=True) for k, v in params.items()}
    terms = squared_error(forward(leaves, Tensor(x)), Tensor(onehot), len(x))
    terms.backward()
    grads: Params = {}
    for k, t in leaves.items():
        g = t.grad()
        assert g is not None and g.shape == params[k].shape, f"gradient of {k}"
        grads[k] = g
    loss = float(terms.to_numpy().sum(dtype=np.float64))
    # Every recorded node (and the storages it keeps) lives until the graph is
    # cleared; without this the tape grows with every step. The leaves above are
    # stale from here on, so the next step builds new ones.
    Tensor.clear_graph()
    return loss, grads


def predict(params: Params, x: F32) -> npt.NDArray[np.int64]:
    # Constant tensors: nothing is recorded.
    out = forward({k: Tensor(v) for k, v in params.items()}, Tensor(x)).to_numpy()
    return np.asarray(out.argmax(axis=1), np.int64)


PLOT_INCHES, PLOT_DPI = 6, 100  # a 600 x 600 pixel picture


def plot_regions(params: Params, x: F32, labels: npt.NDArray[np.int64], path: str) -> None:
    """Writes the predicted class over the plane as coloured regions, with the points on top."""
    import matplotlib

    matplotlib.use("Agg")  # files only; no display needed
    import matplotlib.pyplot as plt

    lim = float(np.abs(x).max()) * 1.1
    ticks = np.linspace(-lim, lim, 300, dtype=np.float32)
    gx, gy = np.meshgrid(ticks, ticks)
    grid = np.stack([gx.ravel(), gy.ravel()], axis=1)
    regions = predict(params, grid).reshape(gx.shape)

    fig, ax = plt.subplots(figsize=(PLOT_INCHES, PLOT_INCHES), dpi=PLOT_DPI)
    colours = ["tab:blue", "tab:orange", "tab:green"]
    cmap = matplotlib.colors.ListedColormap(colours)
    ax.contourf(gx, gy, regions, levels=np.arange(len(colours) + 1) - 0.5, cmap=cmap, alpha=0.35)
    ax.scatter(x[:, 0], x[:, 1], c=labels, cmap=cmap, s=6, edgecolors="none")
    ax.set(xlim=(-lim, lim), ylim=(-lim, lim), aspect="equal",
           title="vorka MLP: decision regions and the spiral points")
    fig.savefig(path, dpi=PLOT_DPI)  # no tight bbox: the pixel size stays fixed
    plt.close(fig)
    print(f"wrote {path}")


def loss64(params: dict[str, F64], x: F64, onehot: F64) -> float:
    h = np.maximum(x @ params["w1"] + params["b1"], 0.0)
    h = np.maximum(h @ params["w2"] + params["b2"], 0.0)
    d = h @ params["w3"] + params["b3"] - onehot
    return float((d * d).sum() / len(x))


def finite_difference_check(params: Params, x: F32, onehot: F32, eps: float = 1e-6) -> float:
    """Largest gradient error, relative to each parameter's largest gradient entry.

    The reference is computed in float64 so that its own rounding error (about
    1e-10 here) is far below float32's; vorka's gradients are float32.
    """
    _, grads = train_step(params, x, onehot)
    p64 = {k: v.astype(np.float64) for k, v in params.items()}
    x64, y64 = x.astype(np.float64), onehot.astype(np.float64)
    worst = 0.0
    for name in NAMES:
        fd = np.zeros_like(p64[name])
        flat, out = p64[name].reshape(-1), fd.reshape(-1)
        for i in range(flat.size):
            keep = flat[i]
            flat[i] = keep + eps
            up = loss64(p64, x64, y64)
            flat[i] = keep - eps
            down = loss64(p64, x64, y64)
            flat[i] = keep
            out[i] = (up - down) / (2.0 * eps)
        err = float(np.abs(grads[name] - fd).max() / max(float(np.abs(fd).max()), 1e-12))
        print(f"  {name}: shape {list(fd.shape)}, max |vorka - finite difference| / max |grad| = {err:.2e}")
        worst = max(worst, err)
    return worst


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    ap.add_argument("--epochs", type=int, default=60, help="passes over the training set (default 60)")
    ap.add_argument("--hidden", type=int, default=64, help="width of the two hidden layers")
    ap.add_argument("--batch", type=int, default=64, help="examples per step")
    ap.add_argument("--lr", type=float, default=0.1, help="learning rate of SGD with momentum 0.9")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--plot", metavar="PNG", help="write the decision regions and the points to this PNG file")
    args = ap.parse_args(argv)
    if args.plot:
        # Checked before training, so a missing plotting library costs no waiting.
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            print("--plot needs matplotlib, which is not installed: pip install matplotlib", file=sys.stderr)
            return 2

    rng = np.random.default_rng(args.seed)
    classes = 3
    x, labels = make_spirals(1000, classes, rng)
    onehot = np.eye(classes, dtype=np.float32)[labels]
    split = len(x) * 4 // 5
    x_train, y_train, t_train = x[:split], labels[:split], onehot[:split]
    x_test, y_test = x[split:], labels[split:]

    params = init_params([2, args.hidden, args.hidden, classes], rng)
    velocity = {k: np.zeros_like(v) for k, v in params.items()}
    print(f"spirals: {len(x_train)} training and {len(x_test)} test points, {classes} classes; "
          f"MLP 2-{args.hidden}-{args.hidden}-{classes}, {sum(v.size for v in params.values())} parameters")

    start = time.perf_counter()
    for epoch in range(1, args.epochs + 1):
        t0 = time.perf_counter()
        order = rng.permutation(split)
        total = 0.0
        for lo in range(0, split, args.batch):
            idx = order[lo:lo + args.batch]
            loss, grads = train_step(params, x_train[idx], t_train[idx])
            total += loss * len(idx)
            for k in NAMES:
                velocity[k] = 0.9 * velocity[k] - args.lr * grads[k]
                params[k] += velocity[k]
        train_acc = float((predict(params, x_train) == y_train).mean())
        test_acc = float((predict(params, x_test) == y_test).mean())
        print(f"epoch {epoch:3d}/{args.epochs}  loss {total / split:.4f}  train acc {train_acc:6.1%}  "
              f"test acc {test_acc:6.1%}  {time.perf_counter() - t0:.3f}s")
    print(f"trained in {time.perf_counter() - start:.1f}s")
    if args.plot:
        plot_regions(params, x, labels, args.plot)

    print("gradient check of one step against central finite differences (float64):")
    worst = finite_difference_check(params, x_train[:32], t_train[:32])
    ok = worst < 1e-3
    print(f"{'PASS' if ok else 'FAIL'}: gradient check, worst relative error {worst:.2e} (limit 1e-3)")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
