"""The Python examples of docs/reference.md, run as doctests, one test per section."""

import doctest
from pathlib import Path

import pytest

import _quarnel

REFERENCE = Path(__file__).resolve().parents[2] / "docs" / "reference.md"


def python_sections():
    """(heading, line of its first example, the section's ```python blocks joined)."""
    sections, heading, blocks, first, block = [], None, [], 0, None
    for number, line in enumerate(REFERENCE.read_text().splitlines(), 1):
        if block is not None:
            if line == "```":
                blocks.append("\n".join(block))
                block = None
            else:
                block.append(line)
        elif line == "```python":
            block = []
            first = first or number
        elif line.startswith("#"):
            if blocks:
                sections.append((heading, first, "\n\n".join(blocks)))
            heading, blocks, first = line.lstrip("# "), [], 0
    if blocks:
        sections.append((heading, first, "\n\n".join(blocks)))
    return sections


SECTIONS = python_sections()


def test_every_python_part_has_examples():
    headings = {heading for heading, _, _ in SECTIONS}
    assert {"Module", "Dtype and Device", "`execute(output)`", "Properties", "Methods", "`a + b`"} <= headings
    # A block that does not open with a prompt would be shown to readers but never run.
    assert all(block.startswith(">>> ") for _, _, text in SECTIONS for block in text.split("\n\n>>> "))


@pytest.mark.parametrize("heading, line, text", SECTIONS, ids=[h for h, _, _ in SECTIONS])
def test_examples(heading, line, text):
    test = doctest.DocTestParser().get_doctest(text, {"q": _quarnel}, heading, str(REFERENCE), line)
    report = []
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS, verbose=False)
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)
