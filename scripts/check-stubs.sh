#!/usr/bin/env bash
# Checks src/varnholt.pyi against the installed module with stubtest, then type-checks the
# examples against that stub with mypy --strict, and the companion package with mypy. PYTHON picks the interpreter (default python3);
# varnholt must be installed there (bash scripts/test.sh does that).
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
"$python" -c 'import varnholt' || { echo "varnholt is not installed for $python" >&2; exit 1; }
# mypy, and matplotlib so that the optional plotting in examples/replay.py is checked as well.
"$python" -c 'import mypy, matplotlib' 2>/dev/null ||
    "$python" -m pip install --quiet --disable-pip-version-check --root-user-action=ignore mypy 'matplotlib>=3.5'

# The stub comes from src/: mypy does not look for a top-level module's stub in site-packages.
# stubtest has no --cache-dir; a one-line config keeps its cache in build/ as well.
export MYPYPATH=src
"$python" -m mypy.stubtest varnholt --allowlist tests/stubtest-allowlist.txt \
    --mypy-config-file <(printf '[mypy]\ncache_dir = build/mypy-cache\n')
"$python" -m mypy --strict --cache-dir build/mypy-cache examples/
# NumPy's operators return Any, which --strict refuses to pass on; pyarrow and tqdm have no types.
"$python" -m mypy --ignore-missing-imports --cache-dir build/mypy-cache python/varnholt_replay
