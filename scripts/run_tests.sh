#!/usr/bin/env bash
# Sets everything up, then runs all tests: the C++ tests of the CPU stand-in and the Python
# suite over every module, the installation tests with the repaired wheel among them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# The wheel users install, repaired by auditwheel: the installation tests install it.
bash scripts/build_wheel.sh >/dev/null

cmake -S . -B build/cpp-tests -DORVANE_BUILD_CUDA=OFF -DORVANE_BUILD_CPP_TESTS=ON \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
  -Dpybind11_DIR="$(.venv/bin/python -m pybind11 --cmakedir)" >/dev/null
cmake --build build/cpp-tests -j "$(nproc)" --target cpu_cuda_tests cpu_cuda_tests_portable_context
ctest --test-dir build/cpp-tests --output-on-failure

.venv/bin/python -m pytest tests/python -q "$@"
