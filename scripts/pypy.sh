#!/usr/bin/env bash
# Builds the module under PyPy and runs the whole Python test suite there,
# including the comparison of seeded embeddings with CPython's.
# Usage: bash scripts/pypy.sh   (after scripts/test.sh has installed the
# module for python3; set VELMAR_OTHER_PYTHON= to skip the comparison)
set -euo pipefail
cd "$(dirname "$0")/.."

export CMAKE_BUILD_PARALLEL_LEVEL=${VELMAR_JOBS:-2}
venv=build/pypy-venv
other_python=${VELMAR_OTHER_PYTHON-python3}

# PyPy with its C-API headers and venv support, and the compilers.
missing=()
for pkg in pypy3 pypy3-dev pypy3-venv cmake ninja-build g++; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [[ ! -x $venv/bin/python ]]; then
  pypy3 -m venv "$venv"
fi
py=$venv/bin/python
echo "== $($py -c 'import sys; print(sys.version.replace(chr(10), " "))')"

# Debian's bundled pip predates the -C (config settings) option.
$py -m pip install -q --upgrade pip
# NumPy and the test runner; the optional test dependencies only where a
# wheel exists for PyPy (SciPy, pandas and scikit-learn publish none for
# PyPy 3.9, so their tests skip with the reason).
$py -m pip install -q numpy "pytest>=7" "pytest-timeout>=2"
for extra in "networkx>=3.0" "scipy>=1.10" "pandas>=1.5" "scikit-learn>=1.2"; do
  if ! $py -m pip install -q --only-binary=:all: "$extra" >/dev/null 2>&1; then
    echo "   $extra: no wheel installs under PyPy, its tests will skip"
  fi
done

echo "== Python package and extension (PyPy)"
$py -m pip install -q . -C build-dir=build/pypy -C cmake.define.VELMAR_DEVELOPER_MODE=ON

if [[ -n $other_python ]] && ! "$other_python" -c "import _rust_core" 2>/dev/null; then
  echo "$other_python cannot import _rust_core: run scripts/test.sh first," \
    "or set VELMAR_OTHER_PYTHON= to skip the cross-interpreter comparison" >&2
  exit 1
fi
if [[ -n $other_python ]]; then
  other_python=$(command -v "$other_python")
fi

echo "== Python tests (PyPy)"
VELMAR_OTHER_PYTHON=$other_python $py -m pytest tests -q -p no:cacheprovider -rs
