"""Runs every bench/bench_*.py module's main() and prints one Markdown report.

Usage: .venv/bin/python bench/run_all.py [--quick] [--plot FILE.png] [name ...]
Names select modules by substring, e.g. `run_all.py matmul`. --plot also draws
the ratios (needs matplotlib).
"""

import os
import sys

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)

import harness  # noqa: E402  first: sets the thread limits before NumPy/torch load

import argparse  # noqa: E402
import importlib  # noqa: E402
import time  # noqa: E402
import traceback  # noqa: E402


def discover() -> list[str]:
    return sorted(f[:-3] for f in os.listdir(BENCH_DIR)
                  if f.startswith("bench_") and f.endswith(".py"))


def plot_ratios(recorded, path: str, cpu: str) -> None:
    """Horizontal bars of numpy/vorka and torch/vorka per case, on a log axis
    (ratios span 0.5x to hundreds), with 1.0 (equal time) marked."""
    import matplotlib

    matplotlib.use("Agg")  # files only; no display needed
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    names = [name.replace("`", "") for _, name, _ in recorded]
    fig, axes = plt.subplots(1, 2, sharey=True, figsize=(13, 1.2 + 0.24 * len(names)), dpi=100)
    for ax, lib, label in zip(axes, ("numpy", "torch"), ("NumPy", "PyTorch")):
        ratios = [t[lib] / t["vorka"] if t.get(lib) and t.get("vorka") else 0.0 for _, _, t in recorded]
        colours = ["tab:green" if r >= 1.0 else "tab:red" for r in ratios]
        ax.barh(range(len(names)), [r if r > 0 else float("nan") for r in ratios], color=colours, height=0.7)
        for y, r in enumerate(ratios):
            ax.text(r if r > 0 else 1.0, y, f" {r:.2f}x" if r > 0 else " n/a", va="center", fontsize=7)
        ax.axvline(1.0, color="black", linewidth=1)
        ax.annotate("1.0", (1.0, 1.0), xycoords=("data", "axes fraction"), ha="center", va="bottom")
        ax.set_xscale("log")
        shown = [r for r in ratios if r > 0] + [1.0]
        ax.set_xlim(min(shown) / 1.5, max(shown) * 2.0)  # room for the value labels
        ax.xaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}"))
        ax.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
        ax.set_xlabel(f"{label} time / vorka time")
        ax.grid(axis="x", which="both", alpha=0.3)
    axes[0].set_yticks(range(len(names)), names, fontsize=7)
    axes[0].invert_yaxis()
    fig.suptitle(f"vorka against NumPy and PyTorch, one thread each: {cpu}")
    fig.text(0.5, 0.005, "log scale; right of 1.0 (green): vorka faster, left (red): slower; n/a: not measured",
             ha="center", va="bottom", fontsize=8)
    fig.tight_layout(rect=(0, 0.02, 1, 1))
    fig.savefig(path)
    plt.close(fig)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short run: fewer, shorter repetitions")
    parser.add_argument("--plot", metavar="PNG", help="also draw the ratios into this PNG file")
    parser.add_argument("names", nargs="*", help="only modules whose name contains one of these")
    args = parser.parse_args(argv)
    if args.plot:
        # Checked first, so a missing plotting library costs no waiting.
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            print("--plot needs matplotlib, which is not installed: pip install matplotlib", file=sys.stderr)
            return 2
    harness.set_quick(args.quick)

    modules = [m for m in discover() if not args.names or any(n in m for n in args.names)]
    if not modules:
        print(f"no benchmark module matches {' '.join(args.names)}; have: {', '.join(discover())}")
        return 1
    print("# vorka benchmarks\n")
    print(harness.machine_summary())
    failed = []
    start = time.perf_counter()
    for name in modules:
        print(f"\n## {name}")
        try:
            mod = importlib.import_module(name)
            mod.main()
        except Exception:  # one broken module must not hide the others' results
            failed.append(name)
            print(f"\n{name} failed:\n```\n{traceback.format_exc()}```")
        sys.stdout.flush()
    print(f"\nTotal time: {time.perf_counter() - start:.0f} s"
          + (f"; failed: {', '.join(failed)}" if failed else ""))
    if args.plot:
        plot_ratios(harness.recorded, args.plot, harness.cpu_model())
        print(f"Ratios drawn in {args.plot}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
