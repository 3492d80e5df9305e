#!/usr/bin/env bash
# Installs what the project needs on a fresh machine (Debian packages, a Python 3.13
# virtualenv in .venv, Python packages) and builds and installs both modules into it.
set -euo pipefail
cd "$(dirname "$0")/.."

apt_packages=(build-essential cmake libboost-context-dev libgtest-dev libhwy-dev libtbb-dev)
missing=()
for package in "${apt_packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "Installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# A Python 3.13 that really runs (a pyenv shim may exist without selecting it).
find_python313() {
  local root candidate
  root=$( (pyenv root 2>/dev/null) || echo "$HOME/.pyenv")
  for candidate in $(ls -d "$root"/versions/3.13.*/bin/python3.13 2>/dev/null | sort -rV) \
                   "$(command -v python3.13 || true)"; do
    if [[ -n "$candidate" ]] && "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
      echo "$candidate"
      return
    fi
  done
}

if ! .venv/bin/python -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
  python=$(find_python313)
  if [[ -z "$python" ]]; then
    echo "Python 3.13 was not found on PATH or under pyenv" >&2
    exit 1
  fi
  rm -rf .venv
  "$python" -m venv .venv
fi

# nvcc is looked for on PATH; the toolkit's usual home is added when it is not there.
if ! command -v nvcc >/dev/null 2>&1 && [[ -x /usr/local/cuda/bin/nvcc ]]; then
  export PATH="/usr/local/cuda/bin:$PATH"
fi

build_requirements=$(.venv/bin/python -c \
  'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))')
mapfile -t build_requirements <<<"$build_requirements"
.venv/bin/python -m pip install -q --disable-pip-version-check "${build_requirements[@]}"
# The development build carries the test hooks (ORVANE_TEST_HOOKS); the wheel users install
# does not.
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation \
  -C cmake.define.ORVANE_TEST_HOOKS=ON ".[test]"
