"""Type stubs for the native module ``quillmesh._io`` (use ``quillmesh.io``)."""

from typing import Any

from quillmesh._accel import IntGraphCore
from quillmesh._arrays import ResultBuffer

FORMAT_VERSION: int

class FormatError(ValueError):
    """A graph file (or pickle) that is damaged, forged or not a graph file."""

def save(g: IntGraphCore, file: Any) -> None: ...
def load(g: IntGraphCore, file: Any) -> None: ...
def export(g: IntGraphCore) -> tuple[ResultBuffer, ...]: ...
def restore(g: IntGraphCore, pieces: tuple[Any, ...]) -> None: ...
def checksum(data: Any, /) -> int: ...
