"""What every command shares at its edges: the two kinds of user-facing failure
and the atomic file write."""
from __future__ import annotations

import os
import tempfile


class InputError(Exception):
    """Bad input named by the user; its text goes to stderr as is."""


class OutputError(Exception):
    """The output could not be written; its text goes to stderr as is."""


def write_atomic(path: str, data) -> None:
    """The whole file or nothing (str is written as UTF-8): written beside the target, then renamed over it."""
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(dir=directory, prefix=".velkin-", suffix=".tmp")
    except OSError as e:
        raise OutputError(f"cannot write {path}: {e.strerror or e}") from None
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data.encode("utf-8") if isinstance(data, str) else data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(temporary, 0o644)
        os.replace(temporary, path)
    except BaseException as e:
        os.unlink(temporary)
        if isinstance(e, OSError):
            raise OutputError(f"cannot write {path}: {e.strerror or e}") from None
        raise
