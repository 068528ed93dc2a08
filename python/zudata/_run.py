"""One task per item, run here, on a pool of threads or on a Dask cluster.

Tasks never raise for a bad file: they return an `Outcome` whose `error`
holds the text, so one bad file never stops the others. Results come back
in the order of the items, and at most a fixed window of tasks is in flight
at any time, so memory depends on the number of jobs, not on the number of
files.
"""

from __future__ import annotations

import threading
from typing import TYPE_CHECKING, Any
from collections.abc import Callable, Iterator, Sequence

from ._api import read_stop
from ._reader import StopFlag

if TYPE_CHECKING:
    from concurrent.futures import Future

Task = Callable[..., "Outcome"]

# Seconds between looks at the stop flag while waiting for a task.
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
    # Reads in flight end too, not only between files: one large member
    # can take seconds.
    flag = read_stop.get()
    if flag is not None:
        flag.set()


def forget_stop() -> None:
    """Clears a recorded stop, so that a run of the command in a process
    that outlives it (a notebook, a test) starts unstopped."""
    global _stop_signal
    _stop_signal = None


def stop_requested() -> bool:
    return _stop_signal is not None


def check_stop() -> None:
    if _stop_signal is not None:
        raise Interrupted(_stop_signal)


class Outcome:
    """What a task gives back for one item: its value (and the file's
    header as JSON text when asked for) and the traces read, or the error
    text."""

    __slots__ = ("error", "header", "traces", "value")

    def __init__(self, value: Any = None, header: Any = None, traces: int = 0, error: str | None = None) -> None:
        self.value = value
        self.header = header
        self.traces = traces
        self.error = error


def describe_error(exc: BaseException) -> str:
    """The text of an error for people: what went wrong, without the class
    name of errors meant to be read as they are."""
    if isinstance(exc, OSError):
        if exc.strerror:
            return exc.strerror
        return str(exc)
    if isinstance(exc, LookupError) and exc.args and isinstance(exc.args[0], str):
        # KeyError would otherwise show its text in quotes.
        return exc.args[0]
    return f"{type(exc).__name__}: {exc}"


def guarded(task: Task, item: Any, *args: Any) -> Outcome:
    """Runs one task; an unexpected exception costs only this item."""
    if _stop_signal is not None:
        return Outcome(error="not started: interrupted")
    try:
        return task(item, *args)
    except KeyboardInterrupt:
        # A read ended by the stop's flag: the stop itself is reported.
        if _stop_signal is None:
            raise
        return Outcome(error="interrupted")
    except Exception as exc:  # a fault in the task itself, not in the file
        return Outcome(error=describe_error(exc))


def _obeying(stop: StopFlag, task: Task, *args: Any) -> Outcome:
    """Runs a task on a pool's thread with its reads ended by `stop`."""
    token = read_stop.set(stop)
    try:
        return task(*args)
    finally:
        read_stop.reset(token)


def run_tasks(
    task: Task,
    items: Sequence[Any],
    args: tuple[Any, ...],
    *,
    jobs: int | None = None,
    client: Any = None,
    sent_items: Sequence[Any] | None = None,
) -> Iterator[tuple[Any, Outcome]]:
    """Yields (item, task(item, *args)) in the order of `items`.

    `jobs` > 1 runs that many threads; `client`, a `distributed.Client`,
    runs the tasks on its cluster, called with `sent_items` (for example
    absolute paths) in place of `items` when given. Leaving the loop early
    cancels the tasks not started and waits for the running ones, so no
    thread outlives the call; an interruption also ends the reads of the
    running ones.
    """
    sent = items if sent_items is None else sent_items
    if client is not None:
        yield from _windowed(
            lambda i: client.submit(guarded, task, sent[i], *args, pure=False),
            items, _cluster_window(client), cancel=lambda futures: client.cancel(futures),
        )
    elif jobs is not None and jobs > 1 and len(items) > 1:
        # Imported here: the pool's modules add to the start-up of every
        # command, most of which never use it.
        from concurrent.futures import ThreadPoolExecutor

        jobs = min(jobs, len(items))
        stop = read_stop.get()
        if stop is None:
            stop = StopFlag()
        with ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="zu") as pool:
            try:
                yield from _windowed(
                    lambda i: pool.submit(_obeying, stop, guarded, task, sent[i], *args), items, 2 * jobs
                )
            except (KeyboardInterrupt, Interrupted):
                # The pool's threads see no signal: their reads in flight
                # end only when told to.
                stop.set()
                raise
            finally:
                pool.shutdown(wait=True, cancel_futures=True)
    else:
        for i, item in enumerate(items):
            check_stop()
            outcome = guarded(task, sent[i], *args)
            # A task cut short by the stop is no result to report.
            check_stop()
            yield item, outcome


def _cluster_window(client: Any) -> int:
    try:
        threads = sum(client.nthreads().values())
    except Exception:
        threads = 0
    return max(2, 2 * threads)


def _windowed(
    submit: Callable[[int], Any],
    items: Sequence[Any],
    window: int,
    cancel: Callable[[list[Any]], Any] | None = None,
) -> Iterator[tuple[Any, Outcome]]:
    """At most `window` tasks submitted and not yet handed out; each result
    is handed out, in item order, as soon as it and all before it are in."""
    pending: list[Any] = []
    following = 0
    try:
        for index, item in enumerate(items):
            while following < len(items) and following - index < window:
                pending.append(submit(following))
                following += 1
            future = pending.pop(0)
            yield item, _wait(future)
    finally:
        for future in pending:
            future.cancel()
        if cancel is not None and pending:
            cancel(pending)


def _wait(future: Future[Outcome] | Any) -> Outcome:
    """The future's outcome, looking at the stop flag meanwhile; a task cut
    short by the stop is no result to report, so the flag wins.

    The wait is on a callback, and result() is asked only once the future
    is done: a Dask future's result(timeout=...) that times out just as the
    result arrives fails inside Dask (UnboundLocalError), which a slow
    machine meets."""
    finished = threading.Event()
    future.add_done_callback(lambda _: finished.set())
    while not finished.wait(_POLL):
        check_stop()
    check_stop()
    try:
        outcome = future.result()
    except Exception as exc:  # a lost worker, a scheduler gone away
        outcome = Outcome(error=f"on the cluster: {describe_error(exc)}")
    check_stop()
    return outcome
