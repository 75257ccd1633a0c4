"""Keeping freed memory in the process, for the readers' large temporaries.

The readers allocate and free arrays of a few megabytes per block.  By
default glibc hands such blocks back to the system as soon as they are
freed (they are mapped on their own, or trimmed off the top of the heap), so
every block pays again for the kernel to map and zero the pages: that costs
as much as the parsing itself.  :func:`keep_freed_memory` raises both
thresholds so that freed blocks are reused; the process keeps its peak
memory.  Only the command-line tool (and the benchmark) call it, once per
process: it is a choice for the whole process, which a library must leave to
the program using it.  It does nothing where the C library has no
``mallopt`` (it is not glibc).
"""

from __future__ import annotations

import ctypes
import ctypes.util
import sys
from functools import lru_cache

_M_TRIM_THRESHOLD, _M_MMAP_THRESHOLD = -1, -3
MMAP_THRESHOLD = 1 << 25  # the largest glibc accepts on 64-bit systems
TRIM_THRESHOLD = 1 << 30


@lru_cache(maxsize=1)
def keep_freed_memory() -> bool:
    """Asks glibc to keep freed blocks of up to 32 MiB for reuse; True if it agreed."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        mallopt = libc.mallopt
    except (OSError, AttributeError):
        return False
    return bool(mallopt(_M_MMAP_THRESHOLD, MMAP_THRESHOLD)) and bool(mallopt(_M_TRIM_THRESHOLD, TRIM_THRESHOLD))
