#!/usr/bin/env bash
# Builds everything from this checkout and runs every test: the C++ core tests, the pytest suite
# (with a bounded fuzzing run), the type stubs, the whole suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, the core compiled for macOS, Windows and glibc 2.17, the manylinux2014
# wheel under every CPython from 3.10 on, and the sdist built with the system's compiler.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { printf '\n==== %s\n' "$*"; }

# GoogleTest and Google Benchmark are the system packages the tests need (the module itself needs
# none): the C++ core tests run on the first, and the core benchmarks are compiled against the
# second so that they cannot fall behind the core. Installed when missing and this runs as root on
# Debian, else the script says how.
if ! [ -e /usr/include/gtest/gtest.h ] || ! [ -e /usr/include/benchmark/benchmark.h ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        step "installing libgtest-dev and libbenchmark-dev for the C++ core tests and benchmarks"
        apt-get update -qq && apt-get install -y -qq --no-install-recommends libgtest-dev libbenchmark-dev >/dev/null
    else
        echo "GoogleTest or Google Benchmark is missing: apt-get install libgtest-dev libbenchmark-dev" >&2
        exit 1
    fi
fi

step "module and C++ core tests"
python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore ".[test]"
cmake -S . -B build/tests -DVARNHOLT_BUILD_MODULE=OFF -DVARNHOLT_BUILD_TESTS=ON -DVARNHOLT_BUILD_BENCHMARKS=ON
cmake --build build/tests --parallel 2
ctest --test-dir build/tests --output-on-failure

step "pytest suite"
python3 -m pytest -q -p no:cacheprovider tests

step "type stubs"
bash scripts/check-stubs.sh

step "sanitizers"
bash scripts/test-sanitized.sh

step "portability: the core for macOS, Windows and glibc 2.17"
bash scripts/check-portability.sh

step "manylinux2014 wheel on every CPython from 3.10 on"
bash scripts/check-wheel.sh

step "sdist built with the system's C++ compiler"
bash scripts/check-sdist.sh
