"""Work done in a thread while the caller goes on: a step's chunks made one
ahead, so that the next chunk's native work (which runs without the
interpreter lock) overlaps the Python work on the one before it; and one
value made beside the caller's work."""

from __future__ import annotations

import atexit
import contextlib
import queue
import signal
import sys
import threading
from collections.abc import Callable, Generator, Iterable, Iterator
from typing import Any, Optional, TypeVar

T = TypeVar("T")
_END = object()

# The threads of this module still running, each with the event that stops it after its current item and
# how long to wait for that at most (None: as long as it takes). They are waited for at exit: a thread that
# takes the interpreter lock back from a native call while the interpreter shuts down is ended in a way
# that native code does not survive (the process aborts, with "FATAL: exception not rethrown" instead of
# the status it was exiting with).
_running: set[tuple[threading.Thread, threading.Event, Optional[float]]] = set()
# A chunk read ahead may wait for its input (a dump on standard input from a writer that outlives a
# Ctrl-C): the exit waits for it this long at most.
ITEM_WAIT_AT_EXIT = 60.0


@atexit.register
def _wait_for_running() -> None:
    for thread, stop, timeout in list(_running):
        stop.set()
        thread.join(timeout)


def _start(work: Callable[[], None], name: str, stop: threading.Event,
           timeout: Optional[float] = None) -> threading.Thread:
    """A daemon thread running work(), listed in _running while it does."""
    def run() -> None:
        try:
            work()
        finally:
            _running.discard(entry)

    thread = threading.Thread(target=run, name=name, daemon=True)
    entry = (thread, stop, timeout)
    # Thread.start() waits for the thread to run: a KeyboardInterrupt raised in that wait would leave a
    # running thread unlisted, so Ctrl-C takes effect once start() has returned.
    with _ctrl_c_deferred():
        _running.add(entry)
        try:
            thread.start()
        except BaseException:  # it did not start
            _running.discard(entry)
            raise
    return thread


@contextlib.contextmanager
def _ctrl_c_deferred() -> Iterator[None]:
    """SIGINT's Python handler run at the end of the block rather than within
    it, where the caller is the main thread and the handler is Python's."""
    previous = signal.getsignal(signal.SIGINT)
    if threading.current_thread() is not threading.main_thread() or not callable(previous):
        yield
        return
    came: list[Any] = []
    signal.signal(signal.SIGINT, lambda signum, frame: came.append(frame))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if came:
            previous(signal.SIGINT, came[0])


def read_ahead(items: Iterable[T]) -> Generator[T, None, None]:
    """The items in order, each next one made in a thread while the caller
    works on the one before. An exception of `items` is raised here, at its
    place in the order. Once the caller stops, the thread is waited for: it
    stops after the item it is making. A Ctrl-C that arrives while the caller
    waits for an item leaves at once: the thread (a daemon, touching nothing
    the caller holds) drops that item when it is made and ends, and the
    interpreter waits for that at exit (ITEM_WAIT_AT_EXIT at most)."""
    made: queue.Queue[tuple[Any, Optional[BaseException]]] = queue.Queue(maxsize=1)
    stop = threading.Event()

    def put(entry: tuple[Any, Optional[BaseException]]) -> bool:
        while not stop.is_set():
            try:
                made.put(entry, timeout=0.05)
                return True
            except queue.Full:
                pass
        return False

    def make() -> None:
        try:
            for item in items:
                if not put((item, None)):
                    return
        except BaseException as e:  # raised in the caller
            put((_END, e))
            return
        put((_END, None))

    thread: Optional[threading.Thread] = None
    try:
        thread = _start(make, "zemo-etl read-ahead", stop, ITEM_WAIT_AT_EXIT)
        while True:
            item, error = made.get()
            if item is _END:
                if error is not None:
                    raise error
                return
            yield item
    finally:
        stop.set()
        # A native call of the thread sees no signal, and its chunk may take seconds.
        if thread is not None and not isinstance(sys.exc_info()[1], KeyboardInterrupt):
            thread.join()


def made_beside(make: Callable[[], T]) -> Callable[[], T]:
    """make() started in a thread at once; the function returned waits for
    its value and gives it, or raises what make raised. The thread is a
    daemon: a caller that stops (a failure, a Ctrl-C, which also leaves
    that wait at once) drops it and its value without waiting for them;
    the interpreter waits for it at exit."""
    done = threading.Event()
    outcome: list[tuple[Any, Optional[BaseException]]] = []

    def work() -> None:
        try:
            outcome.append((make(), None))
        except BaseException as e:  # raised in the caller
            outcome.append((None, e))
        finally:
            done.set()

    _start(work, "zemo-etl made-beside", threading.Event())

    def value() -> T:
        done.wait()
        made, error = outcome[0]
        if error is not None:
            raise error
        return made  # type: ignore[no-any-return]

    return value
