#!/usr/bin/env bash
# Compiles the C++ core (src/records and src/book, which need no Python) for the other systems
# the wheels are built for, with zig's clang and the project's warning flags as errors: macOS on
# x86_64 and arm64, Windows on x86_64 (MinGW's headers), and Linux on aarch64 and x86_64 against
# glibc 2.17, whose headers hide what that glibc lacks. A Linux-only call without a portable path
# fails here. MSVC itself is not available here: cibuildwheel's Windows build is its check.
# PYTHON picks the interpreter that runs zig (default python3); ziglang is installed when missing.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
"$python" -c 'import ziglang' 2>/dev/null ||
    "$python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore ziglang
zig=$("$python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')

# The warning flags of CMakeLists.txt.
warnings=$(sed -n '/^  set(VARNHOLT_WARNINGS -Wall/,/)$/p' CMakeLists.txt | tr -d '()' | sed 's/set//; s/VARNHOLT_WARNINGS//')
[ -n "$warnings" ] || { echo "no warning flags found in CMakeLists.txt" >&2; exit 1; }

targets=(x86_64-macos aarch64-macos x86_64-windows-gnu aarch64-linux-gnu.2.17 x86_64-linux-gnu.2.17)
out=build/portability
rm -rf "$out"
mkdir -p "$out"
export zig warnings out
# One compile per target and file, two at a time.
for target in "${targets[@]}"; do
    for source in src/records/*.cpp src/book/*.cpp; do
        printf '%s %s\n' "$target" "$source"
    done
done | xargs -P 2 -L 1 sh -c '
    object="$out/$0-$(basename "$1" .cpp).o"
    # shellcheck disable=SC2086
    "$zig" c++ -target "$0" -std=c++23 -O1 -Werror $warnings -Isrc -c "$1" -o "$object" ||
        { echo "$1 does not compile for $0" >&2; exit 255; }
'
echo "the core compiles for ${targets[*]}"
