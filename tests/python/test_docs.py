"""The examples in the package's docstrings run and show what they claim."""

import doctest
import importlib
import pkgutil

import pytest

import vexa

MODULES = sorted(
    name
    for _, name, _ in pkgutil.iter_modules(vexa.__path__, "vexa.")
    if name != "vexa.__main__"
)


@pytest.mark.parametrize("name", MODULES)
def test_docstring_examples(name):
    module = importlib.import_module(name)
    flags = doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS
    result = doctest.testmod(module, optionflags=flags, verbose=False)
    assert result.failed == 0, f"{result.failed} of {result.attempted} examples failed in {name}"


def test_the_entry_points_have_examples():
    finder = doctest.DocTestFinder()
    for fn in (vexa.denoise, vexa.vexa, vexa.estimate_sigma, vexa.plan_memory):
        examples = sum(len(t.examples) for t in finder.find(fn))
        assert examples > 0, fn.__name__
    sections = ("Parameters", "Returns", "Raises", "Notes", "Examples")
    assert all(f"\n    {s}\n    ---" in vexa.denoise.__doc__ for s in sections)
