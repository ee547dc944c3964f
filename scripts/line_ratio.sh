#!/usr/bin/env bash
# Non-blank lines of the tests against those of the code (src/ and python/),
# over the files git tracks. Usage: scripts/line_ratio.sh
set -euo pipefail
cd "$(dirname "$0")/.."
count() { git ls-files -- "$@" | xargs grep -cv '^\s*$' | awk -F: '{s += $NF} END {print s + 0}'; }
tests=$(count tests)
code=$(count src python)
echo "tests: $tests non-blank lines"
echo "code (src, python): $code non-blank lines"
awk -v t="$tests" -v c="$code" 'BEGIN {printf "ratio: %.2f\n", t / c}'
