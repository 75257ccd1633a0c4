#!/usr/bin/env bash
# Checks the release wheel for x86_64 as a user gets it: builds it with scripts/build-wheels.sh
# (manylinux2014, compiled against glibc 2.17), audits it with abi3audit, checks what it ships, and
# runs the pytest suite against that same wheel in a new virtual environment for every CPython from
# 3.10 on that pyenv has (plain releases: a free-threaded "t" build cannot load abi3 modules).
# WHEEL=path checks a wheel built before instead. PYTHON picks the interpreter that builds and
# audits (default python3).
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
pip_quiet=(--quiet --disable-pip-version-check --root-user-action=ignore)

root=${PYENV_ROOT:-$HOME/.pyenv}
mapfile -t pythons < <(ls -d "$root"/versions/*/bin/python 2>/dev/null |
    grep -E '/versions/3\.(1[0-9]|[2-9][0-9])\.[0-9]+/bin/python$' | sort -V)
printf '%s\n' "${pythons[@]}" | grep -q '/versions/3\.10\.' ||
    { echo "no CPython 3.10 under pyenv (pyenv install 3.10): the minimum must be tested" >&2; exit 1; }

wheel=${WHEEL:-}
if [ -z "$wheel" ]; then
    rm -rf build/wheelhouse
    DIST=build/wheelhouse PYTHON=$python bash scripts/build-wheels.sh x86_64 >build/build-wheels.log 2>&1 ||
        { cat build/build-wheels.log >&2; exit 1; }
    wheel=$(ls build/wheelhouse/varnholt-*.whl)
fi
case "$(basename "$wheel")" in
    varnholt-*-cp310-abi3-manylinux2014_x86_64.manylinux_2_17_x86_64.whl) ;;
    *) echo "not a cp310-abi3 manylinux2014 x86_64 wheel: $wheel" >&2; exit 1 ;;
esac
echo "wheel: $wheel, $(du -k "$wheel" | cut -f1) KiB"

# No symbol outside the limited API of 3.10, nothing newer than the tag promises.
"$python" -m abi3audit --version >/dev/null 2>&1 || "$python" -m pip install "${pip_quiet[@]}" abi3audit
"$python" -m abi3audit --strict --summary "$wheel"

# The module and its stub side by side at the top level, the companion package beside them, its
# command declared, and the module exporting its initialisation function alone.
"$python" - "$wheel" <<'EOF'
import subprocess, sys, tempfile, zipfile
wheel = zipfile.ZipFile(sys.argv[1])
names = set(wheel.namelist())
missing = {"varnholt.abi3.so", "varnholt.pyi", "varnholt-stubs/__init__.pyi", "varnholt_replay/__init__.py",
           "varnholt_replay/cli.py"} - names
if missing:
    sys.exit(f"wheel lacks {sorted(missing)}; it has {sorted(names)}")
entry_points = next(n for n in names if n.endswith(".dist-info/entry_points.txt"))
if "varnholt-replay = varnholt_replay.cli:main" not in wheel.read(entry_points).decode():
    sys.exit("wheel does not declare the varnholt-replay command")
with tempfile.TemporaryDirectory() as folder:
    module = wheel.extract("varnholt.abi3.so", folder)
    symbols = subprocess.run(["nm", "-D", "--defined-only", module], capture_output=True, text=True, check=True)
    exported = [line.split()[-1] for line in symbols.stdout.splitlines()]
    if exported != ["PyInit_varnholt"]:
        sys.exit(f"the module exports {exported}, not PyInit_varnholt alone")
EOF

failed=()
passed=()
for python_version in "${pythons[@]}"; do
    version=$("$python_version" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    venv=build/venv-wheel-$version
    echo "== CPython $version: a new $venv"
    rm -rf "$venv"
    "$python_version" -m venv "$venv"
    # The Parquet and Dask tests skip themselves here: the main pytest run covers them.
    "$venv/bin/python" -m pip install "${pip_quiet[@]}" pytest hypothesis "$wheel"
    # The tests must import the wheel's module, not a stray build in this directory.
    loaded=$("$venv/bin/python" -c 'import varnholt; print(varnholt.__file__)')
    case "$loaded" in
        "$PWD/$venv"/*) ;;
        *) echo "varnholt was imported from $loaded, not from $venv" >&2; exit 1 ;;
    esac
    "$venv/bin/varnholt-replay" --help >/dev/null
    if VARNHOLT_FUZZ_EXAMPLES=${VARNHOLT_FUZZ_EXAMPLES:-300} \
        "$venv/bin/python" -m pytest -q -p no:cacheprovider tests; then
        passed+=("$version")
    else
        failed+=("$version")
    fi
done
[ ${#failed[@]} -eq 0 ] || { echo "tests failed under CPython ${failed[*]}" >&2; exit 1; }
echo "the wheel passed under CPython ${passed[*]}"
