"""quillmesh: a native graph engine for Python.

``IntGraphCore`` is a mutable undirected graph whose nodes are signed 64-bit integers. Its
operations run natively and are safe to call from many threads at once, also on the
free-threaded interpreter. ``quillmesh.arrays`` (which needs numpy) gives results as arrays and loads
edges from columns; ``quillmesh.io`` saves and loads graphs (and makes them pickle and copy);
``quillmesh.progress`` shows how far long calls have got.
"""

from quillmesh._accel import IntGraphCore
from quillmesh._progress import ProgressEvent, progress
from quillmesh import io  # registers pickling and copying of IntGraphCore

__all__ = ["IntGraphCore", "ProgressEvent", "progress"]
