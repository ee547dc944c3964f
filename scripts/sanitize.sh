#!/usr/bin/env bash
# Builds the C++ tests and the extension with AddressSanitizer and
# UndefinedBehaviorSanitizer (plus the test hooks), proves the instrumentation
# is live with deliberate faults, then runs the C++ tests and the whole Python
# suite against the sanitized extension, once with the best kernels of this CPU
# and once with those of each lower instruction set forced (AVX2, portable).
# This build gives every buffer exactly its size and poisons it
# (src/support/alloc.hpp), so small over-reads and never-written results show.
# Any sanitizer report fails the run.
# Assumes scripts/setup.sh has run (.venv with numpy, pytest, torch).
# Usage: scripts/sanitize.sh   (VORKA_PYTHON overrides the interpreter)
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${VORKA_PYTHON:-$PWD/.venv/bin/python}
BIN=$(dirname "$PY")
BUILD=build/sanitize
PKG=$PWD/$BUILD/pkg
NINJA=$(command -v "$BIN/ninja" || command -v ninja)

echo "== sanitizer build ($BUILD)"
# -O2 with assertions on: NDEBUG stays undefined so internal checks fire too.
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g" \
  -DVORKA_SANITIZE=ON -DVORKA_TEST_HOOKS=ON -DVORKA_BUILD_TESTS=ON -DVORKA_BUILD_PYTHON=ON \
  -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build "$BUILD"

# The sanitized package lives apart from the normal install and shadows it
# through PYTHONPATH only for the commands below.
rm -rf "$PKG" && mkdir -p "$PKG/vorka"
cp python/vorka/*.py "$PKG/vorka/"
cp "$BUILD"/vorka_core*.so "$PKG/vorka/"

ASAN_RT=$(g++ -print-file-name=libasan.so)
UBSAN_RT=$(g++ -print-file-name=libubsan.so)
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# Huge requests must fail as std::bad_alloc, not abort (this build takes even
# huge buffers from malloc, see src/support/alloc.hpp).
CPP_ASAN=detect_leaks=1:halt_on_error=1:strict_string_checks=1:check_initialization_order=1:allocator_may_return_null=1
# CPython itself keeps memory alive at exit by design: no leak report for it.
# Huge requests (NumPy asked for terabytes) must fail as MemoryError, not abort.
PY_ASAN=detect_leaks=0:halt_on_error=1:allocator_may_return_null=1
run_py() { LD_PRELOAD="$ASAN_RT $UBSAN_RT" ASAN_OPTIONS=$PY_ASAN PYTHONPATH="$PKG" "$PY" "$@"; }

# Each deliberate fault must end the process with the expected report.
expect_report() {
  local what="$1" pattern="$2" out
  shift 2
  if out=$("$@" 2>&1); then
    echo "sanitize: $what ran to the end without a report: the instrumentation is not wired" >&2
    exit 1
  fi
  if ! grep -qE "$pattern" <<<"$out"; then
    echo "sanitize: $what failed without the expected report '$pattern':" >&2
    echo "$out" | tail -n 20 >&2
    exit 1
  fi
  echo "sanitize: $what reported as expected ($pattern)"
}
expect_report "out-of-bounds read (C++)" "AddressSanitizer: heap-buffer-overflow" \
  env ASAN_OPTIONS=$CPP_ASAN "$BUILD/vorka_fault_oob_read"
expect_report "signed overflow (C++)" "runtime error: signed integer overflow" \
  "$BUILD/vorka_fault_signed_overflow"
expect_report "over-read of a small array (exact-size buffers)" "AddressSanitizer: heap-buffer-overflow" \
  env ASAN_OPTIONS=$CPP_ASAN "$BUILD/vorka_fault_small_array_overread"
# UBSan's object-size check may see this read before ASan does: either report will do.
expect_report "out-of-bounds read (extension)" \
  "AddressSanitizer: heap-buffer-overflow|runtime error: load of address .* insufficient space" \
  run_py -c "import sys; sys.path.insert(0, '$PWD/$BUILD'); import vorka_fault_ext; vorka_fault_ext.oob_read()"

run_py - "$PKG" <<'PYEOF'
import sys, vorka
where = vorka.vorka_core.__file__
assert where.startswith(sys.argv[1]), f"the sanitized extension is not the one imported: {where}"
assert hasattr(vorka.vorka_core, "_force_isa"), "test hooks missing from the sanitized build"
print("sanitize: Python imports", where)
PYEOF

echo "== C++ tests under ASan+UBSan"
ASAN_OPTIONS=$CPP_ASAN ctest --test-dir "$BUILD" --output-on-failure -j2 | tail -n 5

# pytest captures stderr, and a halted process loses what it captured: the
# sanitizers write their reports to files instead.
REPORTS=$PWD/$BUILD/reports
rm -rf "$REPORTS" && mkdir -p "$REPORTS"
status=0
# Usage: run_suite ISA [pytest arguments]; ISA "" keeps the best kernels this CPU
# runs, "avx2" or "generic" forces older ones through the test hooks (conftest.py),
# so the paths of older CPUs are checked on any machine.
run_suite() {
  local isa="$1" tag="${1:-best}"
  shift
  echo "== Python tests under ASan+UBSan (kernels: $tag)"
  VORKA_TEST_ISA="$isa" LD_PRELOAD="$ASAN_RT $UBSAN_RT" ASAN_OPTIONS=$PY_ASAN:log_path=$REPORTS/asan-$tag \
    UBSAN_OPTIONS=$UBSAN_OPTIONS:log_path=$REPORTS/ubsan-$tag PYTHONPATH="$PKG" \
    "$PY" -m pytest -q -p no:cacheprovider "$@" || status=$?
}
run_suite "" tests/python
# Leak and thread checks do not depend on the kernels: the forced runs skip them.
lower=$(run_py -c "import vorka; print(*vorka.vorka_core._instruction_sets()[-2::-1])")
for isa in $lower; do
  run_suite "$isa" tests/python --ignore=tests/python/test_runtime.py
done
# Deliberately failed huge allocations leave warnings; anything else is a report.
if grep -lE "ERROR: AddressSanitizer|runtime error:|ERROR: LeakSanitizer" "$REPORTS"/* 2>/dev/null; then
  cat "$REPORTS"/* >&2
  echo "sanitize: sanitizer reports from the Python suite" >&2
  status=1
fi
exit $status
