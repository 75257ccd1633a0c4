"""Shared set-up of the varnholt_replay tests: sample files generated per session into temporary
directories."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
PACKAGE_ROOT = HERE.parents[1] / "python"
try:
    import varnholt_replay  # noqa: F401
except ImportError:  # not installed: use the source tree
    sys.path.insert(0, str(PACKAGE_ROOT))

from varnholt_replay.generate import write_itch, write_lobster  # noqa: E402


@pytest.fixture(scope="session")
def lobster_files(tmp_path_factory: pytest.TempPathFactory):
    """A LOBSTER message file of 4000 messages with its 5-level orderbook file."""
    return write_lobster(tmp_path_factory.mktemp("lobster"), 4000, levels=5, seed=11, resting=250)


@pytest.fixture(scope="session")
def itch_file(tmp_path_factory: pytest.TempPathFactory):
    """An ITCH file of three symbols and what replaying each must give."""
    path = tmp_path_factory.mktemp("itch") / "session.itch"
    truth = write_itch(path, 3000, symbols=3, seed=5, resting=200)
    return path, truth
