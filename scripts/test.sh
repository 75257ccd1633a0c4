#!/usr/bin/env bash
# Builds everything from this checkout and runs every test: the C++ core tests, the pytest suite
# (with a bounded fuzzing run), the type stubs, the whole suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the abi3 wheel under the oldest and the newest CPython.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n==== %s\n' "$*"; }

step "module (installs libboost-dev when missing) and C++ core tests"
python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore ".[test]"
cmake -S . -B build/tests -DVARNHOLT_BUILD_MODULE=OFF -DVARNHOLT_BUILD_TESTS=ON
cmake --build build/tests --parallel 2
ctest --test-dir build/tests --output-on-failure

step "pytest suite"
python3 -m pytest -q -p no:cacheprovider tests

step "type stubs"
bash scripts/check-stubs.sh

step "sanitizers"
bash scripts/test-sanitized.sh

step "abi3 wheel on CPython 3.10 and the newest CPython"
bash scripts/check-wheel.sh
