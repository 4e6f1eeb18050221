"""Per-call latency from Python: _quarnel, the pybind11 floor, NumPy.

    python bench/latency.py [--quick] [--json FILE]

Needs _bench_floor on sys.path (bench/run puts build/bench/floor there).
PyTorch's column is measured by torch_side.py, which takes its statements
from ROWS below; so this module imports _quarnel and the floor only when it
builds its cases.
"""

from __future__ import annotations

import argparse
import statistics
import sys

from harness import Case, emit_json, median_ratio, run_rounds

try:
    import numpy as np
except ImportError:  # the report says so
    np = None

# key, what, quarnel statement, floor statement, floor call shape, limit of
# quarnel/floor, NumPy statement, PyTorch statement.
ROWS = [
    ("ctor", "Tensor([2, 3])", "Tensor([2, 3])", "Obj([2, 3])",
     "class construction, list of ints + 2 defaulted enums", 1.3,
     "np_empty((2, 3), f32)", "t_empty(2, 3)"),
    ("zeros", "Tensor.zeros([2, 3])", "zeros([2, 3])", "fzeros([2, 3])",
     "static method, list of ints + 2 defaulted enums, new object", 1.3,
     "np_zeros((2, 3), f32)", "t_zeros(2, 3)"),
    ("ones", "Tensor.ones([2, 3])", "ones([2, 3])", "fones([2, 3])",
     "static method, list of ints + 2 defaulted enums, new object", 1.3,
     "np_ones((2, 3), f32)", "t_ones(2, 3)"),
    ("add", "a + b (lazy)", "a + b", "fa + fb",
     "operator, new object", 2.0,
     "na + nb", "ta + tb"),
    ("execute", "execute(x), x = a + b just made", "execute(x)", "fexecute(x)",
     "function taking one object", 3.0,
     None, None),
    ("execute_cold", "execute(x), x made 16384 adds earlier", "execute(x)", "fexecute(x)",
     "function taking one object", 6.0,
     None, None),
    ("shape", "t.shape", "a.shape", "fa.shape",
     "property, new list of 2 ints", 1.3,
     "na.shape", "ta.shape"),
    ("numel", "t.numel()", "a.numel()", "fa.numel()",
     "method, int result", 1.3,
     "na.size", "ta.numel()"),
    ("repr", "repr(t)", "repr(a)", "repr(fa)",
     "__repr__, std::string result", 1.3,
     "repr(na)", "repr(ta)"),
    ("view", "t.view([-1])", "a.view([-1])", "fa.view([-1])",
     "method, list of ints, new object", 1.3,
     "na.reshape(-1)", "ta.view(-1)"),
    ("reshape", "t.reshape([3, 2])", "a.reshape([3, 2])", "fa.reshape([3, 2])",
     "method, list of ints, new object", 1.3,
     "na.reshape(3, 2)", "ta.reshape(3, 2)"),
    ("contiguous", "t.contiguous()", "a.contiguous()", "fa.contiguous()",
     "method, new object", 1.3,
     "np_ascontiguousarray(na)", "ta.contiguous()"),
]

# The bare shapes of the floor, for reference.
FLOOR_BASICS = [
    ("noop", "noop()", "noop()"),
    ("take_list", "take_list([2, 3])", "take_list([2, 3])"),
    ("trivial_ctor", "Bare()", "Bare()"),
    ("take_obj", "take_obj(fa)", "take_obj(fa)"),
]


def rounds_and_target(quick: bool) -> tuple[int, int]:
    return (9, 1_000_000) if quick else (61, 3_000_000)


def build_cases() -> list[Case]:
    import _quarnel as q
    import _bench_floor as fl

    a = q.Tensor([2, 3])
    b = q.Tensor.ones([2, 3])
    fa, fb = fl.Obj([2, 3]), fl.Obj([2, 3])
    qn = {"Tensor": q.Tensor, "zeros": q.Tensor.zeros, "ones": q.Tensor.ones, "a": a, "b": b,
          "execute": q.execute}
    fn = {"Obj": fl.Obj, "fzeros": fl.Obj.zeros, "fones": fl.Obj.ones, "fa": fa, "fb": fb,
          "fexecute": fl.execute, "Bare": fl.Bare, "noop": fl.noop, "take_list": fl.take_list, "take_obj": fl.take_obj}
    nn = {}
    if np is not None:
        na, nb = np.zeros((2, 3), np.float32), np.ones((2, 3), np.float32)
        nn = {"np_empty": np.empty, "np_zeros": np.zeros, "np_ones": np.ones, "f32": np.float32,
              "na": na, "nb": nb, "np_ascontiguousarray": np.ascontiguousarray}

    def used(stmt: str, names: dict) -> dict:
        return {k: v for k, v in names.items() if k in stmt}

    cases = []
    for key, _, qs, fs, _, _, ns, _ in ROWS:
        if key.startswith("execute"):
            batch = 256 if key == "execute" else 16384
            cases.append(Case(f"quarnel/{key}", qs, used(qs, qn), make=lambda k: [a + b for _ in range(k)],
                              batch=batch))
            cases.append(Case(f"floor/{key}", fs, used(fs, fn), make=lambda k: [fa + fb for _ in range(k)],
                              batch=batch))
            continue
        cases.append(Case(f"quarnel/{key}", qs, used(qs, qn)))
        cases.append(Case(f"floor/{key}", fs, used(fs, fn)))
        if ns and np is not None:
            cases.append(Case(f"numpy/{key}", ns, used(ns, nn)))
    for key, _, fs in FLOOR_BASICS:
        cases.append(Case(f"floor/{key}", fs, used(fs, fn)))
    return cases


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--json")
    args = ap.parse_args()
    rounds, target = rounds_and_target(args.quick)
    cases = build_cases()
    # The graph keeps every add for the life of the process, and its size
    # bears on what an add costs: the report states it.
    def recorded_adds() -> int:
        return sum(c.total_calls for c in cases if c.key in ("quarnel/add", "quarnel/execute", "quarnel/execute_cold"))

    res = run_rounds(cases, rounds, target, progress=lambda r: print(".", end="", file=sys.stderr, flush=True))
    print(file=sys.stderr)
    out = {
        "rounds": rounds,
        "target_ns": target,
        "rows": [dict(key=k, what=w, quarnel_stmt=qs, floor_stmt=fs, shape=sh, limit=lim, numpy_stmt=ns,
                      torch_stmt=ts) for k, w, qs, fs, sh, lim, ns, ts in ROWS],
        "basics": [dict(key=k, what=w) for k, w, _ in FLOOR_BASICS],
        "samples": res,
        "ns": {k: statistics.median(v) for k, v in res.items()},
        "ratio": {r[0]: median_ratio(res[f"quarnel/{r[0]}"], res[f"floor/{r[0]}"]) for r in ROWS
                  if f"quarnel/{r[0]}" in res},
        "quarnel_nodes_recorded": recorded_adds(),
    }
    emit_json(out, args.json)


if __name__ == "__main__":
    main()
