#!/usr/bin/env bash
# Runs the C++ tests under valgrind memcheck: any invalid access, use of
# uninitialised memory or definite leak fails the run. Reuses the C++ build of
# scripts/test.sh (build/cpp). Assumes scripts/setup.sh has run.
# Usage: scripts/valgrind.sh   (VORKA_PYTHON overrides the interpreter whose ninja is used)
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${VORKA_PYTHON:-$PWD/.venv/bin/python}
NINJA=$(command -v "$(dirname "$PY")/ninja" || command -v ninja)
BUILD=build/cpp

# Too slow under valgrind's ~50x slowdown (each takes 1-10 s natively);
# scripts/sanitize.sh runs them under ASan instead:
#   Formats.NarrowingSweep                 sweep of float32 bit patterns
#   Gemm.LargeBlockEdges                   products of 12 to 84 million multiply-adds
#   Gemm16.EveryKernelLayoutAndBlockEdge   the 16-bit kernels around every block size
#   Gemm16.RoundedBandsPastTheFirst        two products of a billion multiply-adds
SLOW=Formats.NarrowingSweep:Gemm.LargeBlockEdges:Gemm16.EveryKernelLayoutAndBlockEdge:Gemm16.RoundedBandsPastTheFirst
FILTER="-$SLOW"

cmake -S . -B "$BUILD" -G Ninja -DVORKA_BUILD_PYTHON=OFF -DCMAKE_MAKE_PROGRAM="$NINJA" >/dev/null
cmake --build "$BUILD" --target vorka_cpp_tests

echo "== C++ tests under valgrind memcheck (excluded: ${SLOW//:/ })"
log=$(mktemp)
status=0
valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect \
  --errors-for-leak-kinds=definite,indirect --track-origins=yes --num-callers=30 --log-file="$log" \
  "$BUILD/vorka_cpp_tests" --gtest_filter="$FILTER" --gtest_brief=1 || status=$?
grep -E "ERROR SUMMARY|definitely lost|indirectly lost" "$log" || true
if [ "$status" -ne 0 ]; then
  echo "valgrind: memcheck failed (exit $status)" >&2
  grep -v "^==[0-9]*== *$" "$log" | head -n 80 >&2
fi
rm -f "$log"
exit $status
