#!/usr/bin/env bash
# Sets everything up, then runs the example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python examples/training_example.py "$@"
