#!/usr/bin/env bash
# Builds the one abi3 wheel, audits it, checks what it ships, and runs the pytest suite against
# that same wheel under the oldest supported CPython (3.10), 3.12 (the first to refuse modules in
# isolated subinterpreters, after running their initialisation) and the newest one installed.
set -euo pipefail
cd "$(dirname "$0")/.."

pip_quiet=(--quiet --disable-pip-version-check --root-user-action=ignore)

# A CPython from pyenv: the highest installed release whose version matches $1 (a regex; plain
# releases only, so no free-threaded "t" build, which cannot load abi3 modules).
pyenv_python() {
    local root=${PYENV_ROOT:-$HOME/.pyenv}
    ls -d "$root"/versions/*/bin/python 2>/dev/null | grep -E "/versions/$1/bin/python\$" | sort -V | tail -n 1 || true
}

oldest=$(pyenv_python '3\.10\.[0-9]+')
middle=$(pyenv_python '3\.12\.[0-9]+')
newest=$(pyenv_python '3\.(1[3-9]|[2-9][0-9])\.[0-9]+')
[ -n "$oldest" ] || { echo "no CPython 3.10 under pyenv (pyenv install 3.10): the minimum must be tested" >&2; exit 1; }
[ -n "$middle" ] || { echo "no CPython 3.12 under pyenv (pyenv install 3.12)" >&2; exit 1; }
[ -n "$newest" ] || { echo "no CPython 3.13 or newer under pyenv (pyenv install 3.13)" >&2; exit 1; }

# The wheel: exactly one, tagged for the stable ABI of CPython 3.10. Built without isolation and
# in a build directory of its own, so that a rerun recompiles only what changed (an isolated
# build brings a new CMake each time, and CMake then configures and compiles from scratch).
python3 -c 'import scikit_build_core, cmake, ninja' 2>/dev/null ||
    python3 -m pip install "${pip_quiet[@]}" 'scikit-build-core>=0.10' 'cmake>=3.26' ninja
rm -rf build/wheelhouse
python3 -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps \
    -C build-dir=build/wheel -w build/wheelhouse .
wheels=(build/wheelhouse/*.whl)
[ ${#wheels[@]} -eq 1 ] || { echo "expected one wheel, got: ${wheels[*]}" >&2; exit 1; }
wheel=${wheels[0]}
case "$(basename "$wheel")" in
    varnholt-*-cp310-abi3-*.whl) ;;
    *) echo "not a cp310-abi3 wheel: $wheel" >&2; exit 1 ;;
esac
echo "wheel: $wheel"

# No symbol outside the limited API of 3.10, nothing newer than the tag promises.
python3 -m abi3audit --version >/dev/null 2>&1 || python3 -m pip install "${pip_quiet[@]}" abi3audit
python3 -m abi3audit --strict --summary "$wheel"

# The module and its stub side by side at the top level, the companion package beside them, and
# its command declared.
python3 - "$wheel" <<'EOF'
import sys, zipfile
wheel = zipfile.ZipFile(sys.argv[1])
names = set(wheel.namelist())
missing = {"varnholt.abi3.so", "varnholt.pyi", "varnholt-stubs/__init__.pyi", "varnholt_replay/__init__.py",
           "varnholt_replay/cli.py"} - names
if missing:
    sys.exit(f"wheel lacks {sorted(missing)}; it has {sorted(names)}")
entry_points = next(n for n in names if n.endswith(".dist-info/entry_points.txt"))
if "varnholt-replay = varnholt_replay.cli:main" not in wheel.read(entry_points).decode():
    sys.exit("wheel does not declare the varnholt-replay command")
EOF

failed=()
for python in "$oldest" "$middle" "$newest"; do
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    venv=build/venv-$version
    echo "== CPython $version: $venv"
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
    # The Parquet and Dask tests skip themselves here: the main pytest run covers them.
    "$venv/bin/python" -m pip install "${pip_quiet[@]}" pytest hypothesis numpy
    "$venv/bin/python" -m pip install "${pip_quiet[@]}" --force-reinstall --no-deps "$wheel"
    # The tests must import the wheel's module, not a stray build in this directory.
    loaded=$("$venv/bin/python" -c 'import varnholt; print(varnholt.__file__)')
    case "$loaded" in
        "$PWD/$venv"/*) ;;
        *) echo "varnholt was imported from $loaded, not from $venv" >&2; exit 1 ;;
    esac
    "$venv/bin/varnholt-replay" --help >/dev/null
    VARNHOLT_FUZZ_EXAMPLES=${VARNHOLT_FUZZ_EXAMPLES:-300} \
        "$venv/bin/python" -m pytest -q -p no:cacheprovider tests || failed+=("$version")
done
[ ${#failed[@]} -eq 0 ] || { echo "tests failed under CPython ${failed[*]}" >&2; exit 1; }
