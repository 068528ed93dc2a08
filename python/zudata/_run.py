"""One task per file, run here, in worker processes or on a Dask cluster.

Tasks never raise for a bad file: they return an `Outcome` whose `error`
holds the text, so one bad file never stops the others.
"""

from __future__ import annotations

import contextlib
import dataclasses
import multiprocessing
import os
import shutil
import signal
import sys
import tempfile
import threading
from concurrent.futures import Future, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from typing import Any
from collections.abc import Callable, Iterator, Sequence

from ._quiet import discard_diagnostics_for_good

Task = Callable[..., "Outcome"]

# Seconds between looks at the stop flag while waiting for a worker.
_POLL = 0.1
_stop_signal: int | None = None


class Interrupted(BaseException):
    """A stop was requested by a signal; raised between files, where every
    cleanup can still run."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def request_stop(signum: int, frame: Any = None) -> None:
    """Signal handler: only records the request. Raising from the handler
    itself could land inside a finaliser or callback, where Python prints
    the exception and carries on as if nothing happened."""
    global _stop_signal
    if _stop_signal is None:
        _stop_signal = signum


def check_stop() -> None:
    if _stop_signal is not None:
        raise Interrupted(_stop_signal)


def _wait(future: Future[Outcome]) -> Outcome:
    while True:
        check_stop()
        try:
            return future.result(timeout=_POLL)
        except TimeoutError:
            continue


@dataclasses.dataclass
class Outcome:
    value: Any = None
    header: Any = None
    traces: int = 0
    error: str | None = None


def describe_error(exc: BaseException) -> str:
    # The module's OSError texts are meant for people as they are.
    if isinstance(exc, OSError):
        return str(exc)
    return f"{type(exc).__name__}: {exc}"


def run_tasks(
    task: Task,
    paths: Sequence[Any],
    args: tuple[Any, ...],
    *,
    jobs: int | None = None,
    client: Any = None,
) -> Iterator[tuple[Any, Outcome]]:
    """Yields (path, task(path, *args)) in the order of `paths`."""
    if client is not None:
        yield from _on_cluster(task, paths, args, client)
    elif jobs is not None and jobs > 1 and len(paths) > 1:
        yield from _in_processes(task, paths, args, min(jobs, len(paths)))
    else:
        for path in paths:
            check_stop()
            yield path, task(path, *args)


def _worker_init() -> None:
    # The parent decides what an interrupt means and stops the workers itself
    # with SIGTERM, which must not land in a handler inherited by fork.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    discard_diagnostics_for_good(keep_stdout=False)


def _mp_context() -> Any:
    # fork starts workers fastest, but is only safe while this process runs
    # a single thread.
    methods = multiprocessing.get_all_start_methods()
    if sys.platform == "linux" and "fork" in methods and threading.active_count() == 1:
        return multiprocessing.get_context("fork")
    return multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")


def _stop(executor: ProcessPoolExecutor) -> None:
    """Ends a pool whose remaining work is not wanted (interrupt, dead worker)."""
    executor.shutdown(wait=False, cancel_futures=True)
    # Workers ignore SIGINT, so a long read would delay the exit; the results
    # are not wanted any more.
    processes = getattr(executor, "_processes", None) or {}
    for process in list(processes.values()):
        if process.is_alive():
            process.terminate()
    for process in list(processes.values()):
        process.join(timeout=10)
    executor.shutdown(wait=True)


# Arrays at least this large travel from a worker as a file on a memory-backed
# file system rather than pickled through the pool's pipe: the pipe copies
# every byte four times, and the unpickling happens on a thread of the
# parent that competes with its writing for the interpreter lock.
_SPOOL_MIN_BYTES = 64 << 10


@dataclasses.dataclass
class _Spooled:
    path: str


@contextlib.contextmanager
def _spool_dir() -> Iterator[str]:
    shm = "/dev/shm"
    where = shm if os.path.isdir(shm) and os.access(shm, os.W_OK) else None
    path = tempfile.mkdtemp(prefix="zu-spool-", dir=where)
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)


def _run_spooled(spool: str, task: Task, path: Any, *args: Any) -> Outcome:
    """Runs in a worker: the task, with a large array result left in `spool`."""
    import numpy as np

    outcome = task(path, *args)
    value = outcome.value
    if not isinstance(value, np.ndarray) or value.nbytes < _SPOOL_MIN_BYTES:
        return outcome
    name = None
    try:
        fd, name = tempfile.mkstemp(dir=spool, suffix=".npy")
        with os.fdopen(fd, "wb") as out:
            np.save(out, value, allow_pickle=False)
    except OSError:
        # A full or missing spool (a small /dev/shm, say) costs speed, not
        # the file: the array then goes through the pipe after all.
        if name is not None:
            with contextlib.suppress(OSError):
                os.unlink(name)
        return outcome
    outcome.value = _Spooled(name)
    return outcome


def _unspool(outcome: Outcome) -> Outcome:
    if isinstance(outcome.value, _Spooled):
        import numpy as np

        name = outcome.value.path
        try:
            outcome.value = np.load(name, allow_pickle=False)
        finally:
            os.unlink(name)
    return outcome


def _in_processes(task: Task, paths: Sequence[Any], args: tuple[Any, ...], jobs: int) -> Iterator[tuple[Any, Outcome]]:
    with _spool_dir() as spool:
        yield from _in_pools(task, paths, args, jobs, spool)


def _in_pools(
    task: Task, paths: Sequence[Any], args: tuple[Any, ...], jobs: int, spool: str
) -> Iterator[tuple[Any, Outcome]]:
    start = 0
    # A worker that dies takes its pool with it; each restart settles at
    # least one file, so there are at most len(paths) of them.
    while start < len(paths):
        executor = ProcessPoolExecutor(max_workers=jobs, mp_context=_mp_context(), initializer=_worker_init)
        broken = False
        finished = False
        try:
            futures: list[Future[Outcome]] = [
                executor.submit(_run_spooled, spool, task, p, *args) for p in paths[start:]
            ]
            for path, future in zip(paths[start:], futures, strict=True):
                start += 1
                try:
                    outcome = _unspool(_wait(future))
                except BrokenProcessPool:
                    outcome = Outcome(
                        error="a worker process died while reading this file or one read at the same time"
                    )
                    broken = True
                yield path, outcome
                if broken:
                    break
            finished = not broken
        finally:
            # Idle workers of a pool that did all its work leave by the
            # ordinary shutdown. Terminating them would race the pool's own
            # manager thread, which then reports a closed wake-up pipe
            # ("Bad file descriptor") at interpreter exit.
            if finished:
                executor.shutdown(wait=True)
            else:
                _stop(executor)


def _on_cluster(task: Task, paths: Sequence[Any], args: tuple[Any, ...], client: Any) -> Iterator[tuple[Any, Outcome]]:
    columns = [[a] * len(paths) for a in args]
    futures = client.map(task, [os.fspath(p) for p in paths], *columns, pure=False)
    try:
        for path, future in zip(paths, futures, strict=True):
            try:
                outcome = _wait(future)
            except Exception as exc:  # a lost worker, a scheduler gone away
                outcome = Outcome(error=f"on the cluster: {describe_error(exc)}")
            yield path, outcome
    finally:
        client.cancel(futures)
