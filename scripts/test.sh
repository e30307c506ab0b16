#!/usr/bin/env bash
# Installs what the tests need, builds everything and runs the whole test
# suite: the C++ unit tests (ctest) and the Python tests (pytest).
# Usage: bash scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${VELMAR_JOBS:-2}

# GoogleTest for the C++ unit tests.
if ! dpkg -s libgtest-dev >/dev/null 2>&1; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev cmake ninja-build g++ >/dev/null
fi

echo "== C++ unit tests"
cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELMAR_DEVELOPER_MODE=ON -DVELMAR_BUILD_TESTS=ON >/dev/null
cmake --build build/test -j "$jobs"
ctest --test-dir build/test --output-on-failure -j "$jobs"

echo "== Python package and extension"
python3 -m pip install -q ".[test]" -C build-dir=build/wheel \
  -C cmake.define.VELMAR_DEVELOPER_MODE=ON

echo "== Python tests"
python3 -m pytest tests -q -p no:cacheprovider
