#!/usr/bin/env bash
# Runs the examples (the training example shortened) and fails unless their
# printed checks pass; then type-checks the examples and a file using every
# public name with mypy --strict against the stubs in python/vorka, and compares
# the stubs with the compiled module (stubtest). Assumes scripts/setup.sh ran.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=${VORKA_PYTHON:-$ROOT/.venv/bin/python}  # override to check another environment
status=0

run_example() {
  local out rc=0
  echo "== $*"
  out=$("$PY" "$@" 2>&1) || rc=$?
  printf '%s\n' "$out" | tail -n 12
  if [ "$rc" -ne 0 ] || ! grep -q '^PASS' <<<"$out" || grep -q '^FAIL' <<<"$out"; then
    echo "check_docs: $* failed (exit $rc)"; status=1
  fi
}

run_example examples/train_mlp.py --epochs 3
run_example examples/dtypes.py
run_example tests/typing/use_every_name.py

echo "== mypy --strict"
MYPYPATH=python "$PY" -m mypy --strict --no-incremental --cache-dir=/dev/null \
  examples/ tests/typing/use_every_name.py || status=1

echo "== stubtest"
# From outside the tree, so the compiled module is the one installed in .venv.
(cd /tmp && MYPYPATH="$ROOT/python" "$PY" -m mypy.stubtest \
  --allowlist "$ROOT/tests/typing/stubtest_allowlist.txt" vorka) || status=1

exit $status
