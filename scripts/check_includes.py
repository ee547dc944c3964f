#!/usr/bin/env python3
"""Checks every #include of src/ against the layers of scripts/include_rules.txt.

Usage: check_includes.py [--src DIR] [--rules FILE]. Prints each broken rule
with its file and line and exits 1; exits 0 when every include is allowed.
"""
import argparse
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
QUOTED = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
PYTHON_HEADER = re.compile(r'^\s*#\s*include\s*<(Python\.h|numpy/[^>]+)>')
SOURCES = {".hpp", ".cpp", ".h", ".cc"}


class Layer:
    def __init__(self, name, patterns, below, python):
        self.name, self.patterns, self.below, self.python = name, patterns, below, python
        self.reach = {name}  # its own files and every layer it may include, transitively

    def match(self, path):
        """Length of the longest pattern matching `path`, 0 for none."""
        best = 0
        for p in self.patterns:
            if p.endswith("/") and path.startswith(p) or p.endswith("*") and path.startswith(p[:-1]) or p == path:
                best = max(best, len(p))
        return best


def load_rules(text):
    layers, errors = {}, []
    for n, raw in enumerate(text.splitlines(), 1):
        line = raw.split("#", 1)[0].split()
        if not line:
            continue
        python = line[-1] == "python"
        if python:
            line = line[:-1]
        head, _, tail = " ".join(line).partition("->")
        name, *patterns = head.split()
        below = tail.split()
        layer = Layer(name, patterns, below, python)
        for b in below:
            if b not in layers:
                errors.append(f"rules line {n}: {name} names {b}, which is not a layer defined above it")
                continue
            layer.reach |= layers[b].reach
            if layers[b].python and not python:
                errors.append(f"rules line {n}: {name} may not see Python but names {b}, which does")
        if name in layers or not patterns:
            errors.append(f"rules line {n}: layer {name} is defined twice or has no files")
        layers[name] = layer
    return layers, errors


def layer_of(layers, path):
    best = max(layers.values(), key=lambda l: l.match(path), default=None)
    return best if best is not None and best.match(path) else None


def check(src, rules_text):
    layers, errors = load_rules(rules_text)
    files = sorted(p.relative_to(src).as_posix() for p in src.rglob("*") if p.suffix in SOURCES)
    for path in files:
        own = layer_of(layers, path)
        if own is None:
            errors.append(f"src/{path}: belongs to no layer; add it to the include rules")
            continue
        for n, line in enumerate((src / path).read_text(encoding="utf-8").splitlines(), 1):
            where = f"src/{path}:{n}"
            if PYTHON_HEADER.match(line) and not own.python:
                errors.append(f"{where}: {line.strip()}: layer {own.name} may not include Python or NumPy headers")
            m = QUOTED.match(line)
            if not m:
                continue
            target = m.group(1)
            if not (src / target).is_file():
                errors.append(f'{where}: #include "{target}": no such file under src/')
                continue
            theirs = layer_of(layers, target)
            if theirs is not None and theirs.name not in own.reach:
                allowed = ", ".join(sorted(own.reach))
                errors.append(f'{where}: #include "{target}": layer {own.name} may not include layer '
                              f"{theirs.name} (it may include: {allowed})")
    return files, errors


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--src", type=Path, default=ROOT / "src")
    ap.add_argument("--rules", type=Path, default=ROOT / "scripts" / "include_rules.txt")
    args = ap.parse_args(argv)
    files, errors = check(args.src, args.rules.read_text(encoding="utf-8"))
    for e in errors:
        print(e, file=sys.stderr)
    if errors:
        print(f"include rules broken ({len(errors)}); the rules: {args.rules}", file=sys.stderr)
        return 1
    print(f"include rules hold for {len(files)} files of {args.src}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
