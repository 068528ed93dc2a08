"""Keeps the reader's diagnostic lines out of the tools' own output.

`zu_data_reader` writes short lines straight to file descriptor 1 while it
converts channel data, bypassing `sys.stdout`. Whatever the tools print
(JSON above all) must not be interleaved with them, so descriptor 1 is
pointed at /dev/null whenever the module runs.
"""

from __future__ import annotations

import contextlib
import os
import sys
import threading
from collections.abc import Iterator

# Descriptor 1 is process-wide state: two threads swapping it at once could
# restore the wrong target.
_swap_lock = threading.RLock()
_discarded_for_good = False


def _point_fd1_at_devnull() -> None:
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
    finally:
        os.close(devnull)


def _flush_stdout() -> None:
    with contextlib.suppress(Exception):
        if sys.stdout is not None:
            sys.stdout.flush()


@contextlib.contextmanager
def diagnostics_discarded() -> Iterator[None]:
    """Points descriptor 1 at /dev/null while the block runs.

    Python-level output written to descriptor 1 from other threads during
    the block is lost too, which is why long-lived tool processes use
    `discard_diagnostics_for_good` instead.
    """
    if _discarded_for_good:
        yield
        return
    with _swap_lock:
        _flush_stdout()
        try:
            saved = os.dup(1)
        except OSError:
            # Descriptor 1 is closed: the module drops its lines by itself.
            yield
            return
        try:
            _point_fd1_at_devnull()
            try:
                yield
            finally:
                os.dup2(saved, 1)
        finally:
            os.close(saved)


def discard_diagnostics_for_good(*, keep_stdout: bool) -> None:
    """Points descriptor 1 at /dev/null for the rest of the process.

    With `keep_stdout`, `sys.stdout` is rebound to a copy of the original
    descriptor first, so the program's own output still reaches wherever
    standard output went; worker processes pass False and print nothing.
    """
    global _discarded_for_good
    with _swap_lock:
        if _discarded_for_good:
            return
        _flush_stdout()
        if keep_stdout and sys.stdout is not None:
            try:
                real = os.dup(1)
            except OSError:
                real = -1
            if real >= 0:
                old = sys.stdout
                sys.stdout = os.fdopen(
                    real,
                    "w",
                    encoding=getattr(old, "encoding", None) or "utf-8",
                    errors=getattr(old, "errors", None) or "strict",
                    buffering=1 if old.isatty() else -1,
                )
        with contextlib.suppress(OSError):
            _point_fd1_at_devnull()
        _discarded_for_good = True
