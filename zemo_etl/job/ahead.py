"""A step's chunks made one ahead in a thread, so that the next chunk's
native work (which runs without the interpreter lock) overlaps the Python
work on the one before it."""

from __future__ import annotations

import queue
import sys
import threading
from collections.abc import Iterable, Iterator
from typing import Any, Optional, TypeVar

T = TypeVar("T")
_END = object()


def read_ahead(items: Iterable[T]) -> Iterator[T]:
    """The items in order, each next one made in a thread while the caller
    works on the one before. An exception of `items` is raised here, at its
    place in the order. Once the caller stops, the thread is waited for: it
    stops after the item it is making. A Ctrl-C that arrives while the caller
    waits for an item leaves at once: the thread (a daemon, touching nothing
    the caller holds) drops that item when it is made and ends."""
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

    thread = threading.Thread(target=make, name="zemo-etl read-ahead", daemon=True)
    try:
        thread.start()
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
        if thread.ident is not None and not isinstance(sys.exc_info()[1], KeyboardInterrupt):
            thread.join()
