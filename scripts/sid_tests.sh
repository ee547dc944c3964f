#!/usr/bin/env bash
# The tests that run inside the Debian unstable root (scripts/sid_root.sh), on
# the newest g++ and CPython releases. Warnings are errors in these builds, and
# so are calls of deprecated CPython API.
# Usage, from the checkout:
#   bash scripts/sid_root.sh run bash scripts/sid_tests.sh cpp
#   bash scripts/sid_root.sh run bash scripts/sid_tests.sh python 3.14
set -euo pipefail
cd "$(dirname "$0")/.."
[ -d /opt/vorka-venvs ] || { echo "sid_tests: run inside the root: bash scripts/sid_root.sh run $0 $*" >&2; exit 1; }
export CXXFLAGS="-Werror -Werror=deprecated-declarations"
export CMAKE_BUILD_PARALLEL_LEVEL=2

case "${1:-}" in
  cpp)
    echo "   $(g++ --version | head -n 1)"
    cmake -S . -B build/sid-cpp -G Ninja -DVORKA_BUILD_PYTHON=OFF >/dev/null
    cmake --build build/sid-cpp
    ctest --test-dir build/sid-cpp --output-on-failure -j2 | tail -n 5 ;;
  python)
    venv=/opt/vorka-venvs/${2:?python needs a version, e.g. 3.14}
    echo "   $("$venv/bin/python" --version), $(g++ --version | head -n 1)"
    # The build's output is shown only when it fails (a warning is an error here).
    "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps . >/tmp/vorka-build.log 2>&1 \
      || { tail -n 60 /tmp/vorka-build.log; exit 1; }
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python ;;
  *) echo "usage: $0 cpp | python VERSION" >&2; exit 2 ;;
esac
