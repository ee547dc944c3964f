#!/usr/bin/env bash
# Checks the include rules of src/, sets everything up and runs every test: the
# C++ core under CTest, the Python suite on CPython 3.11 (with PyTorch) and on
# the newest CPython of the machine,
# then in a Debian unstable root (scripts/sid_root.sh; made on first use, kept in
# a cache folder outside the checkout) the C++ core with its g++ and the Python
# suite on CPython 3.14 and 3.15, warnings being errors there; sanitizers,
# valgrind, the examples and stubs, then the release artefacts (sdist and a
# manylinux wheel per CPython, each installed fresh and tested). Prints how long
# each part took.
set -euo pipefail
cd "$(dirname "$0")/.."

status=0
timings=()
# Runs one part; a failing part fails the run but does not stop the others.
part() {
  local name=$1 t0=$SECONDS rc=0; shift
  echo "== $name"
  "$@" || rc=$?
  timings+=("$(printf '%5d s  %s%s' $((SECONDS - t0)) "$name" "$([ $rc -eq 0 ] || echo '  (FAILED)')")")
  [ $rc -eq 0 ] || status=1
  last_rc=$rc
}

# Chained with &&: `set -e` does not apply inside a function run under `||`.
cpp_tests() {
  cmake -S . -B build/cpp -G Ninja -DVORKA_BUILD_PYTHON=OFF -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" >/dev/null &&
    cmake --build build/cpp &&
    ctest --test-dir build/cpp --output-on-failure -j2 | tail -n 5
}

python_tests() {
  "$1/bin/python" -m pytest -q -p no:cacheprovider tests/python
}

# Seconds, and needs nothing installed: a broken layering shows before the builds.
part "Include rules (scripts/include_rules.txt)" python3 scripts/check_includes.py
part "Set-up (system packages, .venv, .venv-newest)" bash scripts/setup.sh
[ $last_rc -eq 0 ] || exit 1
part "C++ core tests" cpp_tests
for env in .venv .venv-newest; do
  [ -x "$env/bin/python" ] || continue
  part "Python tests ($("$env/bin/python" --version))" python_tests "$env"
done
part "Debian unstable root (made on first use, else reused)" bash scripts/sid_root.sh ensure
if [ $last_rc -eq 0 ]; then  # without the root its parts would only fail again
  part "C++ core tests (Debian unstable, its g++, -Werror)" bash scripts/sid_root.sh run bash scripts/sid_tests.sh cpp
  for v in 3.14 3.15; do
    part "Python tests (CPython $v, Debian unstable, -Werror)" bash scripts/sid_root.sh run bash scripts/sid_tests.sh python "$v"
  done
fi
part "Sanitizers (AddressSanitizer + UndefinedBehaviorSanitizer)" bash scripts/sanitize.sh
part "valgrind memcheck of the C++ tests" bash scripts/valgrind.sh
part "Examples, type stubs and mypy" bash scripts/check_docs.sh
part "Release artefacts: sdist and manylinux wheels, each installed fresh and tested" bash scripts/build_wheels.sh

echo "== Time per part"
printf '%s\n' "${timings[@]}"
exit $status
