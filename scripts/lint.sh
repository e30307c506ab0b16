#!/usr/bin/env bash
# Formatting and lint of the whole tree, as the pre-commit hooks run them:
# ruff (lint and format) for Python, clang-format for C++. Checks only; run
# `pre-commit run --all-files` (or the tools with their fixing flags) to fix.
# Usage: bash scripts/lint.sh
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m pip install -q "ruff==0.8.6" "clang-format==18.1.8"

echo "== ruff check"
python3 -m ruff check .
echo "== ruff format --check"
python3 -m ruff format --check .
echo "== clang-format"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
