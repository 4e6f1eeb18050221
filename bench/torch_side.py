"""PyTorch's side of the latency, bandwidth and graph tables, from a process of its own.

    python bench/torch_side.py latency [--quick] [--json FILE]
    python bench/torch_side.py bandwidth first-touch|warm [--quick] [--json FILE]

The only CPU build of PyTorch here is for CPython 3.11, so bench/run runs
this in .venv-torch, one process per table as for the other columns, with
one thread. The statements come from latency.py's ROWS (on the CPU, and on
the meta device, whose tensors carry shape and type and no data, so that its
add only infers the result's metadata), the sizes, rounds and malloc regimes
from bandwidth.py, the timing from harness.py. The output has the keys of
theirs ("torch/KEY" and "torch_meta/KEY" in "ns"; "torch_zeros_ns" and
"torch_ones_ns" in each row), which report.py merges into their tables.
graph_py.py runs its meta-device points with this interpreter too.
"""

from __future__ import annotations

import argparse
import os
import platform
import statistics
import sys

# Before torch is imported: its OpenMP and MKL runtimes read these when they load.
os.environ.update(OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")


def import_torch():
    import torch

    torch.set_num_threads(1)
    return torch


def about(torch) -> dict:
    return {"torch": torch.__version__, "python": platform.python_version(), "threads": torch.get_num_threads()}


def latency(quick: bool) -> dict:
    from harness import Case, run_rounds
    from latency import ROWS, rounds_and_target

    torch = import_torch()
    names = {"t_empty": torch.empty, "t_zeros": torch.zeros, "t_ones": torch.ones,
             "ta": torch.zeros(2, 3), "tb": torch.ones(2, 3), "meta": torch.device("meta"),
             "tma": torch.empty(2, 3, device="meta"), "tmb": torch.empty(2, 3, device="meta")}
    cases = [Case(f"{side}/{row.key}", stmt, {k: v for k, v in names.items() if k in stmt})
             for row in ROWS for side, stmt in (("torch", row.torch), ("torch_meta", row.torch_meta)) if stmt]
    rounds, target = rounds_and_target(quick)
    res = run_rounds(cases, rounds, target, progress=lambda r: print(".", end="", file=sys.stderr, flush=True))
    print(file=sys.stderr)
    return dict(about(torch), rounds=rounds, target_ns=target, samples=res,
                ns={k: statistics.median(v) for k, v in res.items()})


def bandwidth(regime: str, quick: bool) -> dict:
    import bandwidth as bw

    bw.set_regime(regime)  # as bandwidth.py does: before anything else is imported
    from harness import Case, run_rounds

    torch = import_torch()
    cols = [("torch_zeros", "tz(n)"), ("torch_ones", "to(n)")]
    rows = []
    for nb in bw.sizes(quick):
        n = nb // 4
        cases = [Case(key, stmt, {"tz": torch.zeros, "to": torch.ones, "n": n}) for key, stmt in cols]
        rounds = bw.rounds(nb, quick)
        res = run_rounds(cases, rounds, bw.TARGET_NS)
        rows.append(dict({"bytes": nb, "rounds": rounds}, **{key + "_ns": statistics.median(res[key]) for key, _ in cols}))
        print(f"torch bandwidth {regime} {nb >> 10} KiB", file=sys.stderr, flush=True)
    return dict(about(torch), regime=regime, columns=[c for c, _ in cols], rows=rows)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("table", choices=["latency", "bandwidth"])
    ap.add_argument("regime", nargs="?", choices=["first-touch", "warm"])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--json")
    args = ap.parse_args()
    if (args.table == "bandwidth") != (args.regime is not None):
        ap.error("bandwidth takes a regime, latency none")
    out = latency(args.quick) if args.table == "latency" else bandwidth(args.regime, args.quick)
    from harness import emit_json

    emit_json(out, args.json)


if __name__ == "__main__":
    main()
