#!/usr/bin/env bash
# Sets up the main environment and runs the demonstration.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --main-only
.venv/bin/python examples/demo.py "$@"
