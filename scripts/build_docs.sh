#!/usr/bin/env bash
# Builds the API reference from the package's docstrings into build/docs (open
# build/docs/index.html). The reference imports orvane, so the modules are built first where
# .venv has no orvane yet; Sphinx is installed into .venv where it is missing. Any Sphinx
# warning fails the build.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! .venv/bin/python -c 'import orvane' 2>/dev/null; then
  bash scripts/setup.sh
fi
if ! .venv/bin/python -c 'import sphinx' 2>/dev/null; then
  .venv/bin/python -m pip install -q --disable-pip-version-check "sphinx>=8"
fi
.venv/bin/sphinx-build -W --keep-going -b html docs build/docs "$@"
