"""The examples in the package's docstrings run and show what they claim."""

import doctest
import importlib
import pkgutil
import re
import subprocess
import sys
from pathlib import Path

import pytest

import vexa

# Python modules only: an installed package also holds the shared library,
# which pkgutil would list as an extension module.
MODULES = sorted(
    name
    for finder, name, _ in pkgutil.iter_modules(vexa.__path__, "vexa.")
    if name != "vexa.__main__"
    and (Path(finder.path) / (name.rpartition(".")[2] + ".py")).is_file()
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


ROOT = Path(__file__).resolve().parents[2]
DESIGN = ROOT / "docs" / "design.md"


def _design_steps():
    """The step numbers of the design page: "1." ... at the margin, "5.1" ... below step 5."""
    steps, current = set(), None
    for line in DESIGN.read_text(encoding="utf-8").splitlines():
        top = re.match(r"(\d+)\. \*\*", line)
        if top:
            current = top.group(1)
            steps.add(current)
            continue
        sub = re.match(r" {3}(\d+)\. \*", line)
        if sub and current is not None:
            steps.add(f"{current}.{sub.group(1)}")
    return steps


def _comment_step_citations():
    pattern = re.compile(r"(?://|#).*?\b[Ss]teps? (\d+(?:\.\d+)?)(?: (?:to|and) (\d+(?:\.\d+)?))?")
    files = [p for p in (ROOT / "src").rglob("*") if p.suffix in (".h", ".cpp")]
    files += list((ROOT / "python").rglob("*.py"))
    for path in files:
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            for m in pattern.finditer(line):
                for cited in m.groups():
                    if cited:
                        yield f"{path.relative_to(ROOT)}:{number}", cited


def test_the_design_page_is_linked_and_numbers_its_road():
    assert "docs/design.md" in (ROOT / "README.md").read_text(encoding="utf-8")
    steps = _design_steps()
    assert {"1", "2", "3", "4", "5", "6"} <= steps
    assert {f"5.{i}" for i in range(1, 11)} <= steps


def test_comments_cite_steps_of_the_design_page():
    steps = _design_steps()
    citations = list(_comment_step_citations())
    assert citations, "the stage code cites the design page's steps"
    unknown = [f"{where} cites step {cited}" for where, cited in citations if cited not in steps]
    assert not unknown, unknown


def test_generated_tables_are_the_scripts_output():
    source = (ROOT / "src" / "transforms" / "transform_tables.cpp").read_text(encoding="utf-8")
    begin = "// ---- begin of the block printed by tools/gen_tables.py ----"
    end = "// ---- end of the generated block ----"
    block = source[source.index(begin) : source.index(end) + len(end)] + "\n"
    printed = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "gen_tables.py")],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    assert printed == block
