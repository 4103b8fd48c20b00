"""``quillmesh.progress``: long calls show how far they have got.

Inside a ``with quillmesh.progress():`` block, every long call that the thread makes (the loads,
``build_random``, ``has_edges``, ``subgraph_edge_count``, the analyses, the listings, the functions
of ``quillmesh.arrays`` and ``quillmesh.algorithms``, and ``quillmesh.io``'s ``save`` and ``load``)
reports its progress while it runs: its name, the work done and its total in the call's own units (edges, nodes, pairs; PageRank's total is its maximum iteration count,
and it finishes early when it converges), and the time it has taken. Outside a block nothing is
reported and nothing is measured.

A watcher thread, started by the block, reads the reports every ``interval`` seconds (ten times a
second unless told otherwise) and hands them to the callback, as :class:`~quillmesh.ProgressEvent`
objects, or draws a progress bar: ``tqdm``'s ``auto`` flavour when tqdm is installed, else one line
on standard error rewritten in place. The callback therefore runs on that thread: never on a worker,
and never while the graph's borrow is held by the thread that reports, so it may call into the graph
(where the running call's borrow refuses what conflicts with it, as always).
"""

from __future__ import annotations

import sys
import threading
from collections.abc import Callable
from dataclasses import dataclass
from types import TracebackType
from typing import Any, Literal

from quillmesh._arrays import ProgressChannel

__all__ = ["ProgressEvent", "progress"]

State = Literal["running", "done", "failed", "interrupted"]


@dataclass(frozen=True)
class ProgressEvent:
    """One report of one long call, as a :class:`~quillmesh.progress` callback receives it.

    Events are made by the block's watcher thread; an event is immutable, and each report is a new
    one. The last event of a call has ``finished`` true and says how the call ended.
    """

    #: Tells the calls of one block apart, numbered in the order they started.
    call: int
    #: The method's name, or "arrays.<name>", "algorithms.<name>", "io.<name>" for a function of
    #: those modules.
    operation: str
    #: Work done so far, in the call's own units (edges, nodes, pairs, iterations).
    done: int
    #: All of the call's work in those units (0 while the call does not know it yet).
    total: int
    #: Seconds since the call started.
    elapsed: float
    #: "running" until the call ends, then how it ended ("done", "failed" or "interrupted").
    state: State

    @property
    def finished(self) -> bool:
        """Whether the call has ended (its state is no longer "running")."""
        return self.state != "running"


Callback = Callable[[ProgressEvent], object]

# Seconds between two reports.
DEFAULT_INTERVAL = 0.1


class _StderrBars:
    """One line on standard error for the call in progress, rewritten in place."""

    def __init__(self) -> None:
        self._width = 0

    def __call__(self, e: ProgressEvent) -> None:
        share = f" {100 * e.done / e.total:5.1f}%" if e.total else ""
        line = f"{e.operation}: {e.done:,}/{e.total:,}{share} {e.elapsed:.1f}s"
        if e.state in ("failed", "interrupted"):
            line += f" ({e.state})"
        sys.stderr.write("\r" + line.ljust(self._width) + ("\n" if e.finished else ""))
        sys.stderr.flush()
        self._width = 0 if e.finished else len(line)

    def close(self) -> None:
        pass


class _TqdmBars:
    """A tqdm bar per call, closed when the call ends."""

    def __init__(self, tqdm: Any) -> None:
        self._tqdm = tqdm
        self._bars: dict[int, Any] = {}

    def __call__(self, e: ProgressEvent) -> None:
        bar = self._bars.get(e.call)
        if bar is None:
            bar = self._bars[e.call] = self._tqdm(desc=e.operation, total=e.total or None, leave=True)
        if e.total and bar.total != e.total:
            bar.total = e.total
        bar.update(e.done - bar.n)
        if e.finished:
            if e.state != "done":
                bar.set_postfix_str(e.state)
            bar.close()
            del self._bars[e.call]

    def close(self) -> None:
        for bar in self._bars.values():
            bar.close()
        self._bars.clear()


def _default_bars() -> _StderrBars | _TqdmBars:
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return _StderrBars()
    return _TqdmBars(tqdm)


class progress:
    """Reports the progress of the calling thread's long calls while the block runs.

    ``progress()`` draws progress bars; ``progress(callback)`` calls ``callback(event)`` instead,
    with a :class:`~quillmesh.ProgressEvent`, from a watcher thread, about every ``interval`` seconds
    while a call runs and once more when it ends. Blocks nest (the inner one takes the reports until
    it ends), and each thread's blocks see only that thread's calls. A ``progress`` object serves
    one block: entering it a second time, even after the first block has ended, is refused.

    An exception raised by the callback stops the reports of this block but not the call, which
    runs to its end and leaves the graph as it would have anyway; the exception is raised when the
    block ends (unless the block is already ending with an exception of its own).

    Parameters
    ----------
    callback : Callable[[ProgressEvent], object] or None
        Called with each event, on the watcher thread; what it returns is ignored. ``None`` (the
        default) draws bars instead: with tqdm when it is installed, else on standard error.
    interval : float
        Seconds between two looks at the running calls' reports; keyword only, 0.1 by default.

    Raises
    ------
    ValueError
        If ``interval`` is not positive (when the object is made).
    RuntimeError
        If the object is entered a second time.

    Examples
    --------
    >>> import quillmesh
    >>> from quillmesh import IntGraphCore
    >>> g = IntGraphCore()
    >>> g.build_random(1000, 5000, seed=1)
    >>> events = []
    >>> with quillmesh.progress(events.append):
    ...     scores = g.pagerank()
    >>> last = events[-1]
    >>> last.operation, last.state, last.finished
    ('pagerank', 'done', True)
    """

    def __init__(self, callback: Callback | None = None, *, interval: float = DEFAULT_INTERVAL) -> None:
        if interval <= 0:
            raise ValueError(f"interval must be positive, got {interval!r}")
        self._callback = callback
        self._interval = interval
        self._channel: ProgressChannel | None = None
        self._previous: ProgressChannel | None = None
        self._stop = threading.Event()
        self._watcher: threading.Thread | None = None
        self._sink: Callback | None = None
        self._bars: _StderrBars | _TqdmBars | None = None
        self._error: BaseException | None = None

    def __enter__(self) -> progress:
        if self._channel is not None:
            raise RuntimeError("a progress block cannot be entered twice")
        if self._callback is None:
            self._bars = _default_bars()
            self._sink = self._bars
        else:
            self._sink = self._callback
        self._channel = ProgressChannel()
        self._previous = self._channel.install()
        self._watcher = threading.Thread(target=self._watch, name="quillmesh-progress", daemon=True)
        self._watcher.start()
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        ProgressChannel.restore(self._previous)
        self._stop.set()
        if self._watcher is not None:
            self._watcher.join()
        if self._bars is not None:
            self._bars.close()
        if self._error is not None and kind is None:
            raise self._error

    def _watch(self) -> None:
        while not self._stop.wait(self._interval):
            self._report()
        self._report()  # the calls that ended since the last look

    def _report(self) -> None:
        assert self._channel is not None
        for serial, name, done, total, elapsed, state in self._channel.poll():
            if self._error is not None or self._sink is None:
                continue  # still polled, so that ended calls are let go of
            try:
                self._sink(ProgressEvent(serial, name, done, total, elapsed, state))
            except BaseException as e:  # noqa: BLE001 - raised again when the block ends
                self._error = e
