"""The examples in the docstrings of the package's Python modules run and show what they claim."""

import doctest

import pytest

from quillmesh import _progress, algorithms, arrays, io

MODULES = [arrays, algorithms, io, _progress]


@pytest.mark.parametrize("module", MODULES, ids=lambda m: m.__name__)
def test_docstring_examples(module):
    if module is arrays:  # its conversions' examples use them
        pytest.importorskip("networkx")
        pytest.importorskip("scipy")
    result = doctest.testmod(module, optionflags=doctest.ELLIPSIS, report=True)
    assert result.attempted > 0, f"{module.__name__} has no examples"
    assert result.failed == 0, f"{result.failed} of {module.__name__}'s examples failed"
