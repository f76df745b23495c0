# SPDX-License-Identifier: MIT
"""Where the results go: checked before anything is measured, and written whole or not at
all (a temporary file beside the target, then a rename)."""

import os
import tempfile
from pathlib import Path

from .errors import BenchError


def check_writable(directory):
    """Creates directory if need be and proves that a file can be made in it."""
    directory = Path(directory)
    try:
        directory.mkdir(parents=True, exist_ok=True)
        with tempfile.NamedTemporaryFile(dir=directory, prefix=".run_bench-check-"):
            pass
    except OSError as error:
        raise BenchError(f"cannot write to {directory}: {error.strerror or error}") from None


def atomic_write(path, text):
    """Replaces path with text in one rename; on failure the old file is left as it was."""
    path = Path(path)
    temporary = None
    try:
        with tempfile.NamedTemporaryFile("w", encoding="utf-8", dir=path.parent,
                                         prefix=f".{path.name}.", delete=False) as out:
            temporary = out.name
            out.write(text)
        mode = path.stat().st_mode & 0o7777 if path.exists() else 0o644
        os.chmod(temporary, mode)
        os.replace(temporary, path)
    except OSError as error:
        if temporary is not None and os.path.exists(temporary):
            os.unlink(temporary)
        raise BenchError(f"cannot write {path}: {error.strerror or error}") from None


def commit(outputs, stale=()):
    """Writes every {path: text} of outputs, then removes the stale paths that are not among
    them (figures of an earlier run that this run did not draw)."""
    for path, text in outputs.items():
        atomic_write(path, text)
    written = {Path(p) for p in outputs}
    for path in map(Path, stale):
        if path not in written and path.exists():
            try:
                path.unlink()
            except OSError as error:
                raise BenchError(f"cannot remove {path}: {error.strerror or error}") from None
