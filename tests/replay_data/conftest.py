"""Shared set-up of the varnholt_replay tests: sample files generated per session into temporary
directories, small files written from lines, and prefixes of the real LOBSTER sample files."""

from __future__ import annotations

import os
import sys
import zipfile
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
PACKAGE_ROOT = HERE.parents[1] / "python"
try:
    import varnholt_replay  # noqa: F401
except ImportError:  # not installed: use the source tree
    sys.path.insert(0, str(PACKAGE_ROOT))

from varnholt_replay.jobs import make_job  # noqa: E402
from varnholt_replay.testing.generate import write_itch, write_lobster  # noqa: E402

REAL_DATA = [Path(os.environ.get("VARNHOLT_LOBSTER_DATA", HERE.parents[2] / "shared" / "data" / "lobster")),
             Path("/work/shared/data/lobster")]
"""Where the real LOBSTER sample files (zip archives as LOBSTER ships them) may be; never in the project."""


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


def write_lines(path: Path, lines, header: str = "") -> Path:
    """A text file of the lines (strings, or tuples written comma-separated)."""
    path.write_text(header + "".join((line if isinstance(line, str) else ",".join(map(str, line))) + "\n"
                                     for line in lines))
    return path


def lobster_pair(tmp_path: Path, messages, rows=None, levels: int = 1, header: str = "", attribution: str = ""):
    """A job for message lines (type, id, size, price, direction; a second apart
    from 34200.5) and their orderbook rows, named as LOBSTER names them."""
    stem = f"X_2020-01-02_34200000_57600000_%s_{levels}.csv"
    lines = [",".join(map(str, (f"{34200 + i}.5", *m))) + attribution for i, m in enumerate(messages)]
    write_lines(tmp_path / (stem % "message"), lines, header)
    if rows is not None:
        write_lines(tmp_path / (stem % "orderbook"), rows)
    return make_job(tmp_path / (stem % "message"))


def real_lobster_prefix(tmp_path: Path, name: str, messages: int | None):
    """A job for the first ``messages`` of a real sample file (all with None,
    read from its archive), or a skip when the files are not here."""
    found = [folder / f"LOBSTER_SampleFile_{name}.zip" for folder in REAL_DATA]
    archive = next((path for path in found if path.exists()), None)
    if archive is None:
        pytest.skip("the real LOBSTER sample files are not here")
    with zipfile.ZipFile(archive) as bundle:
        member = next(n for n in bundle.namelist() if "_message_" in n)
    job = make_job(f"{archive}/{member}")
    if messages is None:
        return job
    for source in (job.path, job.orderbook):
        inner = source.rsplit("/", 1)[1]
        with zipfile.ZipFile(archive) as bundle, bundle.open(inner) as text:
            (tmp_path / inner).write_bytes(b"".join(text.readline() for _ in range(messages)))
    return make_job(tmp_path / member)
