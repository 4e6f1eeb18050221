"""The installed type stubs: checked against the module, and used by mypy from outside the source tree."""

import ast
import re
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

import _quarnel as q

ROOT = Path(__file__).resolve().parents[2]
TYPING = ROOT / "tests" / "typing"
# Next to the module, where pip put both: the copy a type checker finds.
STUB = Path(q.__file__).parent / "_quarnel-stubs" / "__init__.pyi"

# Parameter types the stubs state differently from pybind11's generated
# signatures, on purpose: the module converts any iterable (a set, a
# generator, ...), and refuses floats, which SupportsInt would let through.
RESTATED = {
    "collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]": "Iterable[SupportsIndex]",
    "typing.SupportsInt | typing.SupportsIndex": "SupportsIndex",
}


def run_mypy(args, cwd, cache):
    # From a folder outside the source tree, so that only the installed stubs can be found.
    return subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(cache), *args],
                          cwd=cwd, capture_output=True, text=True, timeout=300)


@pytest.fixture(scope="module")
def mypy_cache(request, tmp_path_factory):
    # Kept with pytest's own cache where there is one, so that a run checks only what changed.
    cache = getattr(request.config, "cache", None)
    return cache.mkdir("mypy") if cache is not None else tmp_path_factory.mktemp("mypy-cache")


def test_stub_only_package_installed_beside_the_module():
    # A complete stub-only package: no py.typed, which would mark it partial.
    assert sorted(p.name for p in STUB.parent.iterdir()) == ["__init__.pyi"]


def test_stubtest_finds_no_difference(tmp_path):
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "_quarnel",
                          "--allowlist", str(TYPING / "stubtest-allowlist.txt")],
                         cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr


def test_strict_check_passes(tmp_path, mypy_cache):
    files = [ROOT / "examples" / "quickstart.py", TYPING / "usage.py"]
    run = run_mypy(["--strict", *map(str, files)], tmp_path, mypy_cache)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.startswith("Success: no issues found in 2 source files")


def test_typed_usage_also_runs():
    runpy.run_path(str(TYPING / "usage.py"), run_name="__main__")


def test_misuses_are_reported_exactly_where_marked(tmp_path, mypy_cache):
    path = TYPING / "misuse.py"
    expected = {}
    for number, line in enumerate(path.read_text().splitlines(), 1):
        if match := re.search(r"# error: ([\w-]+)$", line):
            expected[number] = {match.group(1)}
    assert len(expected) >= 10
    run = run_mypy(["--strict", "--show-error-codes", str(path)], tmp_path, mypy_cache)
    reported = {}
    for match in re.finditer(r"^.*misuse\.py:(\d+): error: .*\[([\w-]+)\]$", run.stdout, re.M):
        reported.setdefault(int(match.group(1)), set()).add(match.group(2))
    assert run.returncode == 1
    assert reported == expected, run.stdout


# ---- the stubs against pybind11's generated signatures ---------------------

def split_top_level(text):
    parts, depth, start = [], 0, 0
    for i, ch in enumerate(text):
        depth += ch in "[("
        depth -= ch in "])"
        if ch == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    if text[start:].strip():
        parts.append(text[start:].strip())
    return parts


def parse_signature(line):
    """'name(a: T, b: U = d, /) -> R' as ([(name, type, default, positional_only)], R)."""
    match = re.fullmatch(r"\w*\((.*)\) -> (.+)", line.strip())
    assert match, line
    raw = split_top_level(match.group(1))
    slash = raw.index("/") if "/" in raw else 0
    params = []
    for i, item in enumerate(raw):
        if item == "/":
            continue
        m = re.fullmatch(r"(\w+): (.+?)(?: = (.+))?", item)
        assert m, item
        name, kind, default = m.groups()
        params.append((name, kind, default, i < slash or re.fullmatch(r"arg\d+", name) is not None))
    return params, match.group(2)


def runtime_signatures(obj):
    lines = obj.__doc__.strip().splitlines()
    if len(lines) > 1 and lines[1] == "Overloaded function.":
        return [parse_signature(re.sub(r"^\d+\. ", "", l)) for l in lines if re.match(r"\d+\. ", l)], None
    rest = "\n".join(lines[1:]).strip()
    return [parse_signature(lines[0])], rest or None


def normal(kind):
    kind = RESTATED.get(kind, kind)
    return kind.replace("_quarnel.", "")


def stub_functions():
    tree = ast.parse(STUB.read_text())
    found = []
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found.append(pytest.param(None, node, id=node.name))
        elif isinstance(node, ast.ClassDef):
            found += [pytest.param(node.name, item, id=f"{node.name}.{item.name}")
                      for item in node.body if isinstance(item, ast.FunctionDef)]
    return found


@pytest.mark.parametrize("owner, func", stub_functions())
def test_stub_matches_generated_signature(owner, func):
    decorators = {ast.unparse(d) for d in func.decorator_list}
    args = func.args
    stub_params = [(a, True) for a in args.posonlyargs] + [(a, False) for a in args.args]
    defaults = [None] * (len(stub_params) - len(args.defaults)) + list(args.defaults)
    stub = [(a.arg, a.annotation and ast.unparse(a.annotation), d, posonly)
            for (a, posonly), d in zip(stub_params, defaults)]
    assert not args.vararg and not args.kwarg and not args.kwonlyargs
    if owner is None:
        runtime = getattr(q, func.name)
    else:
        runtime = vars(getattr(q, owner))[func.name]
        if "staticmethod" in decorators:
            assert isinstance(runtime, staticmethod)
            runtime = runtime.__func__
        else:
            assert stub[0][0] == "self"
            stub = stub[1:]
    if "property" in decorators:
        assert isinstance(runtime, property)
        (params, result), = [parse_signature(runtime.fget.__doc__.strip().splitlines()[0])]
        assert len(params) == 1 and not stub
        assert normal(result) == ast.unparse(func.returns)
        return

    overloads, doc = runtime_signatures(runtime)
    assert ast.get_docstring(func, clean=False) == doc
    if owner is not None and "staticmethod" not in decorators:
        overloads = [(params[1:], result) for params, result in overloads]  # self
    for params, result in overloads:
        assert normal(result) == ast.unparse(func.returns)
        assert len(params) == len(stub)
    for i, (s_name, s_kind, s_default, s_posonly) in enumerate(stub):
        for name, _, default, posonly in (params[i] for params, _ in overloads):
            assert s_posonly == posonly, name
            assert posonly or s_name == name  # positional-only names are free
            assert (s_default is None) == (default is None), name
            if s_default is not None:
                assert repr(eval(ast.unparse(s_default), vars(q))) == default
        # One stub parameter stands for all overloads, so it takes the widest type.
        kinds = {normal(params[i][1]) for params, _ in overloads}
        assert s_kind == ("object" if "object" in kinds else kinds.pop()), s_name
        assert s_kind == "object" or not kinds, s_name


def test_stub_docstrings_of_module_and_classes():
    tree = ast.parse(STUB.read_text())
    assert ast.get_docstring(tree, clean=False) == q.__doc__
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    assert set(classes) == {"Dtype", "Device", "Tensor"}
    for name, node in classes.items():
        assert ast.get_docstring(node, clean=False) == getattr(q, name).__doc__, name
