"""Runs every bench/bench_*.py module's main() and prints one Markdown report.

Usage: .venv/bin/python bench/run_all.py [--quick] [name ...]
Names select modules by substring, e.g. `run_all.py matmul`.
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


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short run: fewer, shorter repetitions")
    parser.add_argument("names", nargs="*", help="only modules whose name contains one of these")
    args = parser.parse_args(argv)
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
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
