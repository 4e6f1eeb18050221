import glob
import json
import os
import shutil
import subprocess
import sys

import pytest

import _quarnel

# The child lets the loader resolve symbols lazily: the 3.13-only symbols the
# module links against must not stop it before PyInit__quarnel runs the gate.
CHILD = r"""
import json, os, sys
sys.setdlopenflags(os.RTLD_LAZY)
try:
    import _quarnel
    outcome = {"type": None, "message": None, "file": _quarnel.__file__}
except BaseException as exc:
    outcome = {"type": type(exc).__name__, "message": str(exc)}
outcome["version"] = sys.version
print(json.dumps(outcome))
"""


def _runs(python):
    try:
        out = subprocess.run([python, "-c", "import sys; print(sys.version_info[:2])"],
                             capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return False
    return out.returncode == 0 and out.stdout.strip() == "(3, 12)"


def _find_python312():
    candidates = [os.environ.get("PYTHON312"), shutil.which("python3.12")]
    candidates += sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.12*/bin/python3.12")))
    for python in candidates:
        if python and _runs(python):
            return python
    return None


@pytest.fixture(scope="module")
def python312():
    python = _find_python312()
    if python is None:
        pytest.skip("no runnable CPython 3.12 (set PYTHON312, or install python3.12)")
    return python


def test_import_under_3_12_is_refused_with_mismatch_message(python312, tmp_path):
    shutil.copy(_quarnel.__file__, tmp_path / "_quarnel.so")
    run = subprocess.run([python312, "-c", CHILD], cwd=tmp_path, capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 0, run.stderr  # a crash would mean the gate never ran
    outcome = json.loads(run.stdout)
    assert outcome["version"].startswith("3.12")
    assert outcome["type"] == "ImportError"
    assert outcome["message"] == (
        "Python version mismatch: module was compiled for Python 3.13, but the interpreter "
        f"version is incompatible: {outcome['version']}.")


def test_copied_module_imports_under_this_interpreter(tmp_path):
    # Control for the test above: the same copy does load under 3.13.
    shutil.copy(_quarnel.__file__, tmp_path / "_quarnel.so")
    run = subprocess.run([sys.executable, "-c", CHILD], cwd=tmp_path, capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    outcome = json.loads(run.stdout)
    assert outcome["type"] is None
    assert outcome["file"] == str(tmp_path / "_quarnel.so")
