#!/usr/bin/env bash
# Checks that the source distribution builds a working module with the system's plain C++
# compiler (CXX, default c++) and nothing else: the sdist is installed, with pip's build isolation
# bringing scikit-build-core, CMake and Ninja, into a new virtual environment of the newest
# CPython from pyenv, and the core of the pytest suite runs against it. PYTHON picks the
# interpreter that makes the sdist (default python3).
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
pip_quiet=(--quiet --disable-pip-version-check --root-user-action=ignore)

root=${PYENV_ROOT:-$HOME/.pyenv}
newest=$(ls -d "$root"/versions/*/bin/python 2>/dev/null |
    grep -E '/versions/3\.(1[0-9]|[2-9][0-9])\.[0-9]+/bin/python$' | sort -V | tail -n 1 || true)
[ -n "$newest" ] || newest=$(command -v python3)

rm -rf build/sdist
DIST=build/sdist PYTHON=$python bash scripts/build-wheels.sh sdist >/dev/null
sdist=$(ls build/sdist/varnholt-*.tar.gz)
echo "sdist: $sdist, $(du -k "$sdist" | cut -f1) KiB"

venv=build/venv-sdist
rm -rf "$venv"
"$newest" -m venv "$venv"
# A release build from the sdist alone: no toolchain file, no compiler but the system's.
env -u CMAKE_TOOLCHAIN_FILE -u CXXFLAGS -u LDFLAGS CXX="${CXX:-c++}" \
    "$venv/bin/python" -m pip install "${pip_quiet[@]}" pytest hypothesis "$sdist"
loaded=$("$venv/bin/python" -c 'import varnholt; print(varnholt.__file__)')
case "$loaded" in
    "$PWD/$venv"/*) ;;
    *) echo "varnholt was imported from $loaded, not from $venv" >&2; exit 1 ;;
esac
# The module's own tests; the wheel checks run the whole suite.
VARNHOLT_FUZZ_EXAMPLES=100 "$venv/bin/python" -m pytest -q -p no:cacheprovider \
    tests/test_module.py tests/test_order.py tests/test_book.py tests/test_snapshots.py tests/test_replay.py
