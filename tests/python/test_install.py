"""What pip installed: the wheel holds the module and its stubs, nothing else."""

import importlib.metadata
from pathlib import Path

import _quarnel as q


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
