#!/usr/bin/env bash
# Builds the wheel from .venv (no build isolation), checks that the extension
# needs nothing at run time beyond the C/C++ runtimes (BLIS is linked in), then
# installs the wheel into a fresh virtual environment and runs the Python tests
# from outside the source tree. Assumes scripts/setup.sh ran.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PY=${VORKA_PYTHON:-$ROOT/.venv/bin/python}  # override to check another environment
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vorka-wheel.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

echo "== building the wheel"
"$PY" -m pip wheel -q --no-build-isolation --no-deps -w "$WORK/dist" . >/dev/null
wheel=$(ls "$WORK"/dist/vorka-*.whl)
echo "$(basename "$wheel")"

echo "== wheel contents"
"$PY" - "$wheel" <<'PYEOF'
import sys, zipfile
names = zipfile.ZipFile(sys.argv[1]).namelist()
need = ["vorka/__init__.py", "vorka/__init__.pyi", "vorka/vorka_core.pyi", "vorka/py.typed"]
missing = [n for n in need if n not in names]
if not any(n.startswith("vorka/vorka_core.") and n.endswith(".so") for n in names):
    missing.append("vorka/vorka_core.*.so")
print("\n".join(sorted(n for n in names if n.startswith("vorka/"))))
if missing:
    sys.exit(f"check_wheel: missing from the wheel: {', '.join(missing)}")
PYEOF

echo "== shared libraries the extension needs"
mkdir "$WORK/unpacked"
"$PY" -m zipfile -e "$wheel" "$WORK/unpacked"
so=$(ls "$WORK"/unpacked/vorka/vorka_core.*.so)
needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "$needed"
# Only the C and C++ runtimes may remain (libpython is resolved by the interpreter).
allowed='^(libstdc\+\+\.so\.6|libm\.so\.6|libgcc_s\.so\.1|libc\.so\.6|libpthread\.so\.0|libdl\.so\.2|ld-linux-x86-64\.so\.2)$'
if grep -Ev "$allowed" <<<"$needed"; then
  echo "check_wheel: the extension needs libraries beyond the C/C++ runtimes (above)"; exit 1
fi
if ldd "$so" | grep -q 'not found'; then
  ldd "$so"; echo "check_wheel: unresolved libraries"; exit 1
fi
if readelf --dyn-syms -W "$so" | awk '$7 != "UND"' | grep -q 'bli_\|sgemm'; then
  echo "check_wheel: BLIS symbols are exported from the extension"; exit 1
fi

echo "== fresh environment"
"$PY" -m venv "$WORK/venv"
"$WORK/venv/bin/python" -m pip install -q --upgrade pip >/dev/null
"$WORK/venv/bin/python" -m pip install -q "$wheel" pytest hypothesis ml_dtypes numpy

echo "== Python tests against the installed wheel"
cp -r tests/python "$WORK/tests"
cd "$WORK"
ROOT="$ROOT" "$WORK/venv/bin/python" -c 'import vorka, os; assert not vorka.__file__.startswith(os.environ["ROOT"]), vorka.__file__; print("vorka from", os.path.dirname(vorka.__file__))'
"$WORK/venv/bin/python" -m pytest -q -p no:cacheprovider "$WORK/tests"
