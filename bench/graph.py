"""Graph scaling: runs quarnel_bench_graph for chains and trees of N adds.

    python bench/graph.py BENCH_GRAPH [--quick] [--large] [--json FILE]

Every (shape, N) point runs in a fresh process of its own, so each starts from
an empty graph; the points are visited in interleaved passes and each figure is
the median over the passes. Each process first touches and frees about as much
memory as the point will use (see bench_graph.cpp), and the 10^7 chain is also
run once without that, as a fresh process on this machine gets it.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys

from harness import emit_json

# What a point keeps per node (graph, results, schedule), with some to spare.
SETTLE_BYTES_PER_NODE = 480

METRICS = ("record_ns_per_node", "record_bytes_per_node", "execute_ns_per_node", "execute_bytes_per_node",
           "rerun_ns_per_node", "walk_ns_per_node", "record_execute_s", "peak_bytes", "huge_page_bytes")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--large", action="store_true", help="also N = 10^7 (about 3.5 GB and a minute)")
    ap.add_argument("--json")
    args = ap.parse_args()

    sizes = [10**3, 10**4, 10**5] if args.quick else [10**3, 10**4, 10**5, 10**6]
    if args.large:
        sizes.append(10**7)
    passes = 2 if args.quick else 5
    points = [(shape, n) for n in sizes for shape in ("chain", "tree")]
    runs: dict[tuple, list[dict]] = {p: [] for p in points}
    for p in range(passes):
        for shape, n in points:
            if n >= 10**7 and p >= 2:
                continue  # two passes of the largest are enough time and memory
            settle = str(n * SETTLE_BYTES_PER_NODE)
            out = subprocess.run([args.binary, shape, str(n), settle], check=True, capture_output=True, text=True).stdout
            runs[(shape, n)].append(json.loads(out))
            print(f"graph {shape} {n}", file=sys.stderr, flush=True)
    unsettled = None
    if args.large:
        out = subprocess.run([args.binary, "chain", str(10**7)], check=True, capture_output=True, text=True).stdout
        unsettled = json.loads(out)

    rows = []
    for (shape, n), results in runs.items():
        row = {"shape": shape, "n": n, "passes": len(results)}
        row.update((key, statistics.median(r[key] for r in results)) for key in METRICS)
        rows.append(row)
    emit_json({"rows": rows, "unsettled_chain": unsettled}, args.json)


if __name__ == "__main__":
    main()
