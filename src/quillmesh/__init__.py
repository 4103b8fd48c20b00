"""quillmesh: a native graph engine for Python.

``IntGraphCore`` is a mutable undirected graph whose nodes are signed 64-bit integers. Its
operations run natively and are safe to call from many threads at once, also on the
free-threaded interpreter.
"""

from quillmesh._accel import IntGraphCore

__all__ = ["IntGraphCore"]
