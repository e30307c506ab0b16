#!/usr/bin/env bash
# Builds the core and its C++ tests for other platforms and runs them where
# this Linux x86-64 machine can:
#   aarch64  Linux ARM64 with Debian's cross compiler; the C++ tests under
#            qemu-user, the extension module compiled and linked only.
#   windows  Windows x86-64 with MinGW-w64; the C++ tests under wine.
#   macos    macOS x86_64 and arm64 with zig's clang (PyPI package ziglang):
#            the core compiled only, nothing runs. (The C++ tests are not
#            compiled: zig's libc++ <random> and GoogleTest 1.12 do not build
#            together against its macOS headers.)
# Usage: bash scripts/cross.sh [aarch64|windows|macos]...   (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${VELMAR_JOBS:-2}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(aarch64 windows macos)

need_packages() {
  local missing=()
  for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
  if [ ${#missing[@]} -gt 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "${missing[@]}" >/dev/null
  fi
}

configure() {  # build dir, toolchain file, extra options...
  local dir=$1 toolchain=$2
  shift 2
  cmake -Wno-dev -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DVELMAR_DEVELOPER_MODE=ON "$@" >/dev/null
}

aarch64() {
  need_packages g++-aarch64-linux-gnu qemu-user googletest cmake ninja-build
  echo "== aarch64: core, C++ tests and extension module"
  # The build machine's Python and NumPy headers for the module: both are
  # LP64 Linux, so it compiles as it would against the target's own. It is
  # compiled and linked only; no aarch64 interpreter runs here.
  local py_include np_include
  py_include=$(python3 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  np_include=$(python3 -c 'import numpy; print(numpy.get_include())')
  configure build/aarch64 cmake/toolchains/aarch64-linux-gnu.cmake \
    -DVELMAR_BUILD_TESTS=ON -DVELMAR_BUILD_PYTHON=ON \
    -DPython_EXECUTABLE="$(command -v python3)" \
    -DPython_INCLUDE_DIR="$py_include" -DPython_NumPy_INCLUDE_DIR="$np_include"
  cmake --build build/aarch64 -j "$jobs"
  python3 - build/aarch64/binding/_rust_core*.so <<'PY'
import sys
with open(sys.argv[1], "rb") as f:
    head = f.read(20)
assert head[:4] == b"\x7fELF" and head[18] == 183, "not an aarch64 ELF module"
PY
  echo "== aarch64: C++ tests under qemu-user"
  # qemu-user 7.2 aborts in a forked child that starts threads (an assertion
  # in its own vCPU setup); the fork tests run natively instead.
  ctest --test-dir build/aarch64 --output-on-failure -j "$jobs" -E '^PoolFork\.'
}

windows() {
  need_packages g++-mingw-w64-x86-64-posix wine wine64 googletest cmake ninja-build
  echo "== Windows (MinGW-w64): core and C++ tests under wine"
  configure build/mingw cmake/toolchains/x86_64-w64-mingw32.cmake -DVELMAR_BUILD_TESTS=ON
  cmake --build build/mingw -j "$jobs"
  export WINEPREFIX=$PWD/build/wineprefix WINEDEBUG=-all
  wineboot --init >/dev/null 2>&1 || true
  # One wine start per executable (a start costs seconds); the hash table
  # once per vector clone.
  local failed=0
  for exe in build/mingw/velmar/*_test.exe; do
    wine "$exe" --gtest_brief=1 || failed=1
  done
  for clone in default x86-64-v3 x86-64-v4; do
    VELMAR_KERNEL_CLONE=$clone wine build/mingw/velmar/reproducibility_test.exe \
      --gtest_brief=1 || failed=1
  done
  wineserver -k || true
  return $failed
}

macos() {
  echo "== macOS x86_64 and arm64: core compiled only (zig's clang), nothing runs"
  python3 -m pip install -q ziglang
  for target in x86_64-macos aarch64-macos; do
    local out=build/macos-$target
    mkdir -p "$out"
    for src in velmar/src/*.cpp; do
      python3 -m ziglang c++ -target "$target" -std=c++20 -O2 \
        -ffp-contract=off -fno-fast-math -Wall -Wextra -Werror -Ivelmar/src \
        -c "$src" -o "$out/$(basename "$src" .cpp).o"
    done
    python3 -m ziglang ar rcs "$out/libvelmar_core.a" "$out"/*.o
    echo "$target: $(ls "$out"/*.o | wc -l) objects"
  done
}

for t in "${targets[@]}"; do
  start=$SECONDS
  "$t"
  echo "== $t: $((SECONDS - start)) s"
done
