"""The optional packages: one check, one message, one exception for all of them."""

from __future__ import annotations

import importlib
from typing import Any

EXTRAS = {
    "pyarrow.parquet": ("writing results (--out)", "parquet"),
    "distributed": ("running on a Dask cluster (--scheduler, --processes)", "distributed"),
    "tqdm": ("a progress bar", "progress"),
}
"""Each optional module: what needs it, and the extra of the varnholt package that brings it."""


class MissingPackage(RuntimeError):
    """Something was asked for that needs an optional package which is not installed."""


def require(module: str) -> Any:
    """The module, imported, or :class:`MissingPackage` saying what needs it and how to get it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        purpose, extra = EXTRAS[module]
        top = module.split(".")[0]
        raise MissingPackage(f"{purpose} needs {top}, which is not installed: "
                             f"pip install 'varnholt[{extra}]' (from a clone: pip install '.[{extra}]')") from None


def available(module: str) -> Any | None:
    """The module if it is installed, else None (for what works without it)."""
    try:
        return require(module)
    except MissingPackage:
        return None
