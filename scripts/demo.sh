#!/usr/bin/env bash
# Sets up the main environment and runs the demonstration: an MLP trained with
# vorka's autograd, checked against finite differences, then the element-type tour.
# Arguments go to the training example, e.g. scripts/demo.sh --epochs 10.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --main-only
.venv/bin/python examples/train_mlp.py "$@"
.venv/bin/python examples/dtypes.py
