#!/usr/bin/env bash
# Runs the pytest suite against the manylinux2014 aarch64 wheel on this x86_64 machine: Debian's
# arm64 CPython (its packages unpacked into build/aarch64/root, not installed) under qemu-user's
# emulation, with NumPy, pytest and hypothesis's aarch64 wheels from PyPI beside the wheel.
# Needs Debian's apt and root for qemu-user (installed when missing); the system's package setup is
# left alone (the arm64 package lists live in build/aarch64/apt). WHEEL=path checks a wheel built
# before; otherwise scripts/build-wheels.sh builds it. Emulation is slow: the suite takes about ten
# times as long as on the machine itself.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
here=$PWD/build/aarch64

if ! command -v qemu-aarch64 >/dev/null; then
    [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null ||
        { echo "qemu-aarch64 is missing: apt-get install qemu-user" >&2; exit 1; }
    apt-get update -qq && apt-get install -y -qq --no-install-recommends qemu-user >/dev/null
fi

wheel=${WHEEL:-}
if [ -z "$wheel" ]; then
    DIST=build/aarch64/dist PYTHON=$python bash scripts/build-wheels.sh aarch64 >/dev/null
    wheel=$(ls build/aarch64/dist/varnholt-*manylinux_2_17_aarch64.whl)
fi
echo "wheel: $wheel"

# Debian's arm64 CPython and the libraries it needs, from package lists of its own.
interpreter() { ls "$here"/root/usr/bin/python3.* 2>/dev/null | grep -E '/python3\.[0-9]+$' | sort -V | tail -n 1; }
if [ -z "$(interpreter)" ]; then
    apt_options=(-o "Dir::State::Lists=$here/apt/lists" -o "Dir::Cache=$here/apt/cache"
                 -o "APT::Architecture=arm64" -o "APT::Architectures::=arm64" -o "Debug::NoLocking=1")
    mkdir -p "$here/apt/lists/partial" "$here/apt/cache/archives/partial" "$here/debs"
    apt-get "${apt_options[@]}" update -qq
    # The interpreter and its libraries, and the C++ runtime NumPy's wheels need; not the tools
    # dpkg needs to install packages.
    mapfile -t packages < <(apt-cache "${apt_options[@]}" depends --recurse --no-recommends --no-suggests \
        --no-conflicts --no-breaks --no-replaces --no-enhances python3 libstdc++6 |
        grep -E '^[a-z0-9]' | grep -vE '^(dpkg|tar|install-info|debconf|perl.*|base-files|mailcap|mime-support|media-types)$' |
        sort -u)
    (cd "$here/debs" && apt-get "${apt_options[@]}" download "${packages[@]}" >/dev/null 2>&1)
    rm -rf "$here/root"
    for deb in "$here"/debs/*.deb; do
        dpkg-deb -x "$deb" "$here/root"
    done
fi
# The interpreter behind a script of this machine's, which the tests' subprocesses run as
# sys.executable too: an aarch64 program cannot be executed directly here. Beside the interpreter,
# so that it finds its standard library from there.
launcher=$here/root/usr/bin/python3-under-qemu
printf '#!/bin/sh\nexec qemu-aarch64 -L "%s" -0 "$0" "%s" "$@"\n' "$here/root" "$(interpreter)" >"$launcher"
chmod +x "$launcher"
run() { "$launcher" "$@"; }
version=$(run -c 'import sys; print("%d.%d" % sys.version_info[:2])')
echo "CPython $version on $(run -c 'import platform; print(platform.machine())') under qemu"

# What the suite needs, for that interpreter and architecture, beside the wheel.
rm -rf "$here/site"
"$python" -m pip install --quiet --disable-pip-version-check --target "$here/site" --only-binary=:all: \
    --implementation cp --python-version "$version" --abi "cp${version/./}" \
    --platform manylinux2014_aarch64 --platform manylinux_2_17_aarch64 --platform manylinux_2_28_aarch64 \
    pytest hypothesis numpy "$wheel"
PYTHONPATH=$here/site run -c 'import varnholt, sys; assert varnholt.__file__.startswith(sys.argv[1]), varnholt.__file__' "$here/site"
# qemu-user keeps the address-space limit for itself (applying the guest's would limit the
# emulator), so under it no allocation runs out of memory and that test cannot make one.
PYTHONPATH=$here/site VARNHOLT_FUZZ_EXAMPLES=${VARNHOLT_FUZZ_EXAMPLES:-300} \
    run -m pytest -q -p no:cacheprovider tests \
    --deselect tests/test_leaks.py::test_running_out_of_memory_raises_memory_error_and_corrupts_nothing
