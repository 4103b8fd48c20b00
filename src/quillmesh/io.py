"""Saving and loading graphs: files, file objects, pickles and copies.

``save(g, file)`` writes a graph in quillmesh's own binary format and ``load(file)`` reads it back
as a new :class:`~quillmesh.IntGraphCore` that is the same graph in every observable way: the same
``nodes()`` order, the same ``neighbors()`` order for every node, the same PageRank bits, and the
same layout, so the same further operations on the original and on the loaded graph give the same
listings ever after. The format is described in ``docs/internals/graph-format.md``; it is versioned,
and a file written by a newer quillmesh is refused by number.

A file is untrusted input: a damaged, truncated, forged or foreign file raises
:exc:`~quillmesh.io.FormatError` (a ``ValueError``) that says what is wrong, and never makes a graph
that breaks the store's rules.

Importing ``quillmesh`` registers pickling for ``IntGraphCore``: ``pickle`` (every protocol; with
protocol 5 the big sections travel out of band as ``pickle.PickleBuffer``), ``copy.copy`` and
``copy.deepcopy`` (both give an independent exact copy), and so ``multiprocessing``,
``concurrent.futures`` and Dask.

Saving holds the graph's shared borrow (other threads keep reading it), both calls run detached
from the interpreter, stop on Ctrl-C and report progress inside a :class:`~quillmesh.progress`
block, as "io.save" and "io.load".
"""

from __future__ import annotations

import copyreg
import os
import pickle
import tempfile
from typing import IO, Any, Union

from quillmesh import _io
from quillmesh._accel import IntGraphCore
from quillmesh._io import FORMAT_VERSION, FormatError

__all__ = ["FORMAT_VERSION", "FormatError", "load", "save"]

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


def _is_path(file: object) -> bool:
    return isinstance(file, (str, bytes, os.PathLike))


def _check_file(file: object, methods: tuple[str, ...], what: str) -> None:
    """A file object must have one of `methods`; anything else (an int too) is a TypeError."""
    if isinstance(file, int) or not any(hasattr(file, m) for m in methods):
        raise TypeError(f"{what} needs a path or a binary file object with {' or '.join(m + '()' for m in methods)}, "
                        f"got '{type(file).__name__}'")


def save(g: IntGraphCore, file: PathLike | IO[bytes]) -> None:
    """Write ``g`` to ``file``: a path, or a binary file object with ``write()``.

    A path is written atomically: the graph goes to a temporary file in the same folder, which is
    flushed to disk and then renamed over ``file``. If anything fails on the way (a full disk, no
    permission, Ctrl-C, ``MemoryError``) an existing file is left exactly as it was and no
    temporary file remains. A new file gets the permissions ``open()`` would give it; an existing
    one keeps its own. A file object is written from where it stands, and a failure may leave part
    of the graph written to it. The graph is held under its shared borrow while it is written, so
    other threads (and the file object's ``write()``) may read it but not change it.

    Parameters
    ----------
    g : IntGraphCore
        The graph to save.
    file : str, bytes, os.PathLike or IO[bytes]
        A path, or a binary file object with ``write()``. A file descriptor (an ``int``) is not
        taken as one.

    Raises
    ------
    TypeError
        If ``g`` is not an IntGraphCore, or ``file`` is neither a path nor a file object with
        ``write()``; a text file's ``write()`` refuses the bytes with a ``TypeError`` too.
    OSError
        If the file cannot be written (its folder is missing, say, or the path is a folder).
        Whatever a file object's ``write()`` raises passes through as it is.
    RuntimeError
        If ``g`` is held alone by a call in progress, such as a change, or if the file object's
        ``write()`` tries to change ``g``.

    Examples
    --------
    >>> import os
    >>> import tempfile
    >>> from quillmesh import IntGraphCore
    >>> from quillmesh.io import load, save
    >>> g = IntGraphCore()
    >>> g.add_edges_from([(3, 1), (1, 2)])
    >>> with tempfile.TemporaryDirectory() as folder:
    ...     path = os.path.join(folder, "g.qmg")
    ...     save(g, path)
    ...     print(load(path).edges() == g.edges())
    True
    """
    if not isinstance(g, IntGraphCore):
        raise TypeError(f"save() needs an IntGraphCore, got '{type(g).__name__}'")
    if not _is_path(file):
        _check_file(file, ("write",), "save()")
        _io.save(g, file)
        return
    path = os.fspath(file)
    folder, name = os.path.split(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=f".{os.fsdecode(name)}.", suffix=".partial", dir=folder)
    try:
        try:
            os.fchmod(fd, _mode_for(path))
            _io.save(g, fd)
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
    _sync_folder(folder)


def load(file: PathLike | IO[bytes]) -> IntGraphCore:
    """Read one graph from ``file``: a path, or a binary file object with ``readinto()`` or ``read()``.

    A file object is read up to the end of the graph and no further, so several graphs saved one
    after another into one stream load back one after another. Raises
    :exc:`~quillmesh.io.FormatError` for a file that is not a sound graph file.

    Parameters
    ----------
    file : str, bytes, os.PathLike or IO[bytes]
        A path, or a binary file object with ``readinto()`` or ``read()`` (``readinto()`` is used
        when it has both). A file descriptor (an ``int``) is not taken as one.

    Returns
    -------
    IntGraphCore
        A new graph, the same in every observable way as the one that was saved.

    Raises
    ------
    FormatError
        If the file is damaged, truncated, forged, empty, not a graph file, or written by a newer
        quillmesh (a file format of another version); the message says what is wrong.
    TypeError
        If ``file`` is neither a path nor a file object with ``readinto()`` or ``read()``, or if
        such a method returns something other than bytes (a text file's ``read()``, say).
    OSError
        If the path cannot be opened (``FileNotFoundError`` for a missing file) or read.
        Whatever a file object's ``readinto()`` or ``read()`` raises passes through as it is.

    Examples
    --------
    >>> from io import BytesIO
    >>> from quillmesh import IntGraphCore
    >>> from quillmesh.io import load, save
    >>> g = IntGraphCore()
    >>> g.add_edges_from([(3, 1), (1, 2)])
    >>> stream = BytesIO()
    >>> save(g, stream)
    >>> save(IntGraphCore(), stream)
    >>> _ = stream.seek(0)
    >>> first, second = load(stream), load(stream)
    >>> first.nodes(), first.edges()
    ([3, 1, 2], [(1, 3), (1, 2)])
    >>> len(second)
    0
    """
    g = IntGraphCore()
    if _is_path(file):
        with open(file, "rb", buffering=0) as f:
            _io.load(g, f.fileno())
    else:
        _check_file(file, ("readinto", "read"), "load()")
        _io.load(g, file)
    return g


def _mode_for(path: str | bytes) -> int:
    """The permissions a save gives: those of the file it replaces, else what open() would give."""
    try:
        return os.stat(path).st_mode & 0o7777
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        return 0o666 & ~umask


def _sync_folder(folder: str | bytes) -> None:
    """Make the rename itself durable, where the platform lets a folder be synced."""
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


# ---- pickling and copying


class _Section:
    """One big piece of a pickled graph: out of band with protocol 5, else plain bytes."""

    __slots__ = ("buffer",)

    def __init__(self, buffer: Any) -> None:
        self.buffer = buffer

    def __reduce_ex__(self, protocol: Any) -> tuple[Any, ...]:
        if isinstance(protocol, int) and protocol >= 5:
            return (_section, (pickle.PickleBuffer(self.buffer),))
        return (_section, (bytes(memoryview(self.buffer)),))

    def __deepcopy__(self, memo: dict[int, Any]) -> _Section:
        return self  # never written to: a copy may share it


def _section(buffer: Any) -> Any:
    return buffer


def _restore(*pieces: Any) -> IntGraphCore:
    """Rebuild a pickled or copied graph from its pieces (checked like a file)."""
    g = IntGraphCore()
    _io.restore(g, tuple(p.buffer if isinstance(p, _Section) else p for p in pieces))
    return g


def _reduce(g: IntGraphCore) -> tuple[Any, tuple[Any, ...]]:
    pieces = _io.export(g)
    # Sections' data sit at odd positions, the few bytes between them at even ones.
    args = tuple(_Section(p) if i % 2 else bytes(memoryview(p)) for i, p in enumerate(pieces))
    return _restore, args


copyreg.pickle(IntGraphCore, _reduce)
