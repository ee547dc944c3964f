#!/usr/bin/env bash
# Sets everything up and runs every test: the C++ core under CTest, then the
# Python suite on CPython 3.11 (with PyTorch) and on the newest CPython.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

echo "== C++ core tests"
cmake -S . -B build/cpp -G Ninja -DVORKA_BUILD_PYTHON=OFF -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" >/dev/null
cmake --build build/cpp
ctest --test-dir build/cpp --output-on-failure -j2 | tail -n 5

status=0
for env in .venv .venv-newest; do
  [ -x "$env/bin/python" ] || continue
  echo "== Python tests ($("$env/bin/python" --version))"
  "$env/bin/python" -m pytest -q -p no:cacheprovider tests/python || status=1
done
echo "== Sanitizers (AddressSanitizer + UndefinedBehaviorSanitizer)"
bash scripts/sanitize.sh || status=1

echo "== valgrind memcheck of the C++ tests"
bash scripts/valgrind.sh || status=1

echo "== Examples, type stubs and mypy"
bash scripts/check_docs.sh || status=1

echo "== Wheel in a fresh environment"
bash scripts/check_wheel.sh || status=1

exit $status
