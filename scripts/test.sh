#!/usr/bin/env bash
# Builds the module and the C++ core tests from this checkout and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore ".[test]"

cmake -S . -B build/tests -DVARNHOLT_BUILD_MODULE=OFF -DVARNHOLT_BUILD_TESTS=ON
cmake --build build/tests --parallel 2
ctest --test-dir build/tests --output-on-failure

python3 -m pytest -q -p no:cacheprovider tests
