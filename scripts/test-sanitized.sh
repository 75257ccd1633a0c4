#!/usr/bin/env bash
# Builds the module and the C++ core tests with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs both test suites under them. The interpreter itself is not instrumented, so the
# sanitizer runtimes are preloaded, and leaks are not reported: CPython keeps memory until exit.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore pytest hypothesis numpy
cmake -S . -B build/sanitized -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNHOLT_SANITIZE=ON -DVARNHOLT_BUILD_TESTS=ON
cmake --build build/sanitized --parallel 2
ctest --test-dir build/sanitized --output-on-failure

# The fuzzing run is shorter here: the main pytest run does the bounded one.
export VARNHOLT_FUZZ_EXAMPLES=${VARNHOLT_FUZZ_EXAMPLES:-300}
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_init_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
PYTHONPATH="$PWD/build/sanitized" \
  python3 -m pytest -q -p no:cacheprovider tests
