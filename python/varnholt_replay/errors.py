"""The error raised for input that cannot be replayed."""

from __future__ import annotations

from pathlib import Path


class InputError(Exception):
    """Input that cannot be read or replayed, with where it was found.

    ``line`` (from 1) is set for text files, ``offset`` (bytes from the start
    of the file) for binary ones; both are ``None`` for a problem with the
    file as a whole (missing, unreadable, empty).
    """

    def __init__(self, path: str | Path, reason: str, *, line: int | None = None,
                 offset: int | None = None, text: str | None = None) -> None:
        self.path = str(path)
        self.reason = reason
        self.line = line
        self.offset = offset
        self.text = text
        super().__init__(str(self))

    def __reduce__(self) -> tuple[object, ...]:
        # Keyword arguments do not survive the default pickling (results
        # cross process boundaries under Dask).
        return (_rebuild, (self.path, self.reason, self.line, self.offset, self.text))

    def __str__(self) -> str:
        where = self.path
        if self.line is not None:
            where += f":{self.line}"
        elif self.offset is not None:
            where += f": byte offset {self.offset}"
        message = f"{where}: {self.reason}"
        if self.text is not None:
            message += f": {self.text!r}"
        return message


def _rebuild(path: str, reason: str, line: int | None, offset: int | None, text: str | None) -> InputError:
    return InputError(path, reason, line=line, offset=offset, text=text)
