"""Per-call latency from Python: _quarnel, the pybind11 floor, and the peers.

    python bench/latency.py [--quick] [--rounds N] [--json FILE]

Needs _bench_floor on sys.path (bench/run puts build/bench/floor there).
NumPy computes eagerly; MLX records lazily, as we do; their columns are timed
in the same rounds as ours. PyTorch's CPU and meta-device columns are timed
by torch_side.py in a CPython 3.11 process of its own, from the statements
in ROWS below, so this module imports _quarnel, the floor and the peers only
when it builds its cases.
"""

from __future__ import annotations

import argparse
import statistics
import sys
from dataclasses import asdict, dataclass

from harness import Case, emit_json, median_ratio, run_rounds, settle


@dataclass
class Row:
    key: str
    what: str
    quarnel: str
    floor: str
    shape: str             # the floor's call shape
    limit: float           # of quarnel over the floor
    numpy: str | None = None
    mlx: str | None = None
    torch: str | None = None
    torch_meta: str | None = None


ROWS = [
    Row("ctor", "Tensor([2, 3])", "Tensor([2, 3])", "Obj([2, 3])",
        "class construction, list of ints + 2 defaulted enums", 1.3,
        "np_empty((2, 3), f32)", "mx_zeros((2, 3), mf32)", "t_empty(2, 3)", "t_empty(2, 3, device=meta)"),
    Row("zeros", "Tensor.zeros([2, 3])", "zeros([2, 3])", "fzeros([2, 3])",
        "static method, list of ints + 2 defaulted enums, new object", 1.3,
        "np_zeros((2, 3), f32)", "mx_zeros((2, 3), mf32)", "t_zeros(2, 3)", "t_zeros(2, 3, device=meta)"),
    Row("ones", "Tensor.ones([2, 3])", "ones([2, 3])", "fones([2, 3])",
        "static method, list of ints + 2 defaulted enums, new object", 1.3,
        "np_ones((2, 3), f32)", "mx_ones((2, 3), mf32)", "t_ones(2, 3)", "t_ones(2, 3, device=meta)"),
    Row("add", "a + b (lazy)", "a + b", "fa + fb", "operator, new object", 2.0,
        "na + nb", "ma + mb", "ta + tb", "tma + tmb"),
    Row("execute", "execute(x), x = a + b just made", "execute(x)", "fexecute(x)",
        "function taking one object", 3.0, mlx="mx_eval(x)"),
    Row("execute_cold", "execute(x), x made 16384 adds earlier", "execute(x)", "fexecute(x)",
        "function taking one object", 6.0, mlx="mx_eval(x)"),
    Row("shape", "t.shape", "a.shape", "fa.shape", "property, new list of 2 ints", 1.3,
        "na.shape", "ma.shape", "ta.shape", "tma.shape"),
    Row("numel", "t.numel()", "a.numel()", "fa.numel()", "method, int result", 1.3,
        "na.size", "ma.size", "ta.numel()", "tma.numel()"),
    Row("repr", "repr(t)", "repr(a)", "repr(fa)", "__repr__, std::string result", 1.3,
        "repr(na)", "repr(ma)", "repr(ta)", "repr(tma)"),
    Row("view", "t.view([-1])", "a.view([-1])", "fa.view([-1])", "method, list of ints, new object", 1.3,
        "na.reshape(-1)", "ma.reshape(-1)", "ta.view(-1)", "tma.view(-1)"),
    Row("reshape", "t.reshape([3, 2])", "a.reshape([3, 2])", "fa.reshape([3, 2])",
        "method, list of ints, new object", 1.3, "na.reshape(3, 2)", "ma.reshape(3, 2)", "ta.reshape(3, 2)",
        "tma.reshape(3, 2)"),
    Row("contiguous", "t.contiguous()", "a.contiguous()", "fa.contiguous()", "method, new object", 1.3,
        "np_ascontiguousarray(na)", "mx_contiguous(ma)", "ta.contiguous()", "tma.contiguous()"),
]

# The bare shapes of the floor, for scale.
FLOOR_BASICS = [("noop", "noop()"), ("take_list", "take_list([2, 3])"), ("trivial_ctor", "Bare()"),
                ("take_obj", "take_obj(fa)")]


def rounds_and_target(quick: bool) -> tuple[int, int]:
    return (9, 1_000_000) if quick else (61, 3_000_000)


# Settled before each round (see harness.settle): several times what the
# graph grows by in a round (about 100,000 adds of 332 bytes in a full run).
# A run that settled 4 GiB once, at its start, still saw `a + b` triple in
# cost from its twentieth round on, as the graph reached memory the host
# had let go of meanwhile.
def settle_bytes(quick: bool) -> int:
    return (64 << 20) if quick else (256 << 20)


def used(stmt: str, names: dict) -> dict:
    return {k: v for k, v in names.items() if k in stmt}


def peer_names() -> tuple[dict, dict, dict]:
    """Names the NumPy and MLX statements use, and why a peer is missing."""
    missing, numpy, mlx = {}, {}, {}
    try:
        import numpy as np
        numpy = {"np_empty": np.empty, "np_zeros": np.zeros, "np_ones": np.ones, "f32": np.float32,
                 "na": np.zeros((2, 3), np.float32), "nb": np.ones((2, 3), np.float32),
                 "np_ascontiguousarray": np.ascontiguousarray, "numpy_version": np.__version__}
    except ImportError as e:
        missing["numpy"] = f"NumPy could not be imported: {e}"
    try:
        import mlx.core as mx
        ma, mb = mx.zeros((2, 3), mx.float32), mx.ones((2, 3), mx.float32)
        mx.eval(ma, mb)
        mlx = {"mx_zeros": mx.zeros, "mx_ones": mx.ones, "mf32": mx.float32, "ma": ma, "mb": mb,
               "mx_eval": mx.eval, "mx_contiguous": mx.contiguous, "mlx_version": mx.__version__}
    except ImportError as e:
        missing["mlx"] = f"MLX could not be imported: {e}"
    return numpy, mlx, missing


def build_cases(numpy: dict, mlx: dict) -> list[Case]:
    import _quarnel as q
    import _bench_floor as fl

    a, b = q.Tensor([2, 3]), q.Tensor.ones([2, 3])
    fa, fb = fl.Obj([2, 3]), fl.Obj([2, 3])
    qn = {"Tensor": q.Tensor, "zeros": q.Tensor.zeros, "ones": q.Tensor.ones, "a": a, "b": b, "execute": q.execute}
    fn = {"Obj": fl.Obj, "fzeros": fl.Obj.zeros, "fones": fl.Obj.ones, "fa": fa, "fb": fb, "fexecute": fl.execute,
          "Bare": fl.Bare, "noop": fl.noop, "take_list": fl.take_list, "take_obj": fl.take_obj}
    cases = []
    for row in ROWS:
        if row.key.startswith("execute"):
            # Results made just before, or 16,384 adds earlier (their memory has left the caches).
            batch = 256 if row.key == "execute" else 16384
            makers = [("quarnel", row.quarnel, qn, lambda k: [a + b for _ in range(k)]),
                      ("floor", row.floor, fn, lambda k: [fa + fb for _ in range(k)])]
            if mlx:
                makers.append(("mlx", row.mlx, mlx, lambda k: [mlx["ma"] + mlx["mb"] for _ in range(k)]))
            for side, stmt, names, make in makers:
                cases.append(Case(f"{side}/{row.key}", stmt, used(stmt, names), make=make, batch=batch))
            continue
        cases.append(Case(f"quarnel/{row.key}", row.quarnel, used(row.quarnel, qn)))
        cases.append(Case(f"floor/{row.key}", row.floor, used(row.floor, fn)))
        for side, stmt, names in (("numpy", row.numpy, numpy), ("mlx", row.mlx, mlx)):
            if stmt and names:
                cases.append(Case(f"{side}/{row.key}", stmt, used(stmt, names)))
    for key, stmt in FLOOR_BASICS:
        cases.append(Case(f"floor/{key}", stmt, used(stmt, fn)))
    return cases


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--json")
    ap.add_argument("--rounds", type=int, help="instead of the default for the mode")
    args = ap.parse_args()
    rounds, target = rounds_and_target(args.quick)
    rounds = args.rounds or rounds
    numpy, mlx, missing = peer_names()
    cases = build_cases(numpy, mlx)
    settled = settle_bytes(args.quick)
    res = run_rounds(cases, rounds, target, progress=lambda r: print(".", end="", file=sys.stderr, flush=True),
                     before_round=lambda: settle(settled))
    print(file=sys.stderr)
    import _quarnel

    # The graph keeps every add for the life of the process, and its size
    # bears on what an add costs: the report states it.
    recorded = sum(c.total_calls for c in cases if c.key in ("quarnel/add", "quarnel/execute", "quarnel/execute_cold"))
    out = {
        "module": _quarnel.__file__,
        "rounds": rounds,
        "target_ns": target,
        "rows": [asdict(r) for r in ROWS],
        "basics": [{"key": k, "what": w} for k, w in FLOOR_BASICS],
        "samples": res,
        "ns": {k: statistics.median(v) for k, v in res.items()},
        "ratio": {r.key: median_ratio(res[f"quarnel/{r.key}"], res[f"floor/{r.key}"]) for r in ROWS},
        "quarnel_nodes_recorded": recorded,
        "settled_bytes": settled,
        "versions": {"numpy": numpy.get("numpy_version"), "mlx": mlx.get("mlx_version")},
        "missing": missing,
    }
    emit_json(out, args.json)


if __name__ == "__main__":
    main()
