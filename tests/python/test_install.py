"""What pip installed: the wheel holds the module and its stubs, nothing else,
with the metadata an index shows and the licence beside it."""

import importlib.metadata
import shutil
import subprocess
from pathlib import Path

import pytest

import _quarnel as q

ROOT = Path(__file__).resolve().parents[2]


def test_distribution_holds_the_module_and_its_stubs_only():
    files = {str(f) for f in importlib.metadata.files("quarnel")}
    payload = {f for f in files if not f.startswith("quarnel-0.1.0.dist-info/")}
    assert payload == {Path(q.__file__).name, "_quarnel-stubs/__init__.pyi"}
    assert all(Path(f.locate()).is_file() for f in importlib.metadata.files("quarnel")
               if str(f) in payload)


def test_distribution_metadata_matches_the_module():
    meta = importlib.metadata.metadata("quarnel")
    assert meta["Name"] == "quarnel"
    assert meta["Version"] == q.__version__ == "0.1.0"
    assert meta["Requires-Python"] == "<3.14,>=3.13"
    assert importlib.metadata.requires("quarnel") is None  # nothing to install with it


def test_distribution_carries_the_licence_it_names():
    meta = importlib.metadata.metadata("quarnel")
    assert meta["License-Expression"] == "MIT"
    assert meta.get_all("License-File") == ["LICENSE"]
    licences = [f for f in importlib.metadata.files("quarnel") if f.name == "LICENSE"]
    assert [str(f) for f in licences] == ["quarnel-0.1.0.dist-info/licenses/LICENSE"]
    assert licences[0].read_text() == (ROOT / "LICENSE").read_text()


def test_long_description_is_the_readme_as_markdown():
    meta = importlib.metadata.metadata("quarnel")
    assert meta["Description-Content-Type"] == "text/markdown"
    assert meta.get_payload().strip() == (ROOT / "README.md").read_text().strip()


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm (binutils)")
def test_module_exports_its_init_function_only():
    out = subprocess.run(["nm", "-D", "--defined-only", q.__file__], capture_output=True, text=True,
                         check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit__quarnel"]
