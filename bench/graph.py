"""Graph scaling: runs quarnel_bench_graph for chains and trees of N adds.

    python bench/graph.py BENCH_GRAPH [--quick] [--large] [--json FILE]

Every (shape, N, heap) point runs in processes of its own, so each starts
from an empty graph; the points are visited in interleaved passes and each
figure is the median over the passes.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys

from harness import emit_json


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("binary")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--large", action="store_true", help="also N = 10^7 (several GB, about a minute)")
    ap.add_argument("--json")
    args = ap.parse_args()

    sizes = [10**3, 10**4, 10**5] if args.quick else [10**3, 10**4, 10**5, 10**6]
    if args.large:
        sizes.append(10**7)
    passes = 1 if args.quick else 3
    points = [(shape, n, heap) for n in sizes for shape in ("chain", "tree") for heap in ("default", "warm")]
    runs: dict[tuple, list[dict]] = {p: [] for p in points}
    for p in range(passes):
        for shape, n, heap in points:
            if n >= 10**7 and p > 0:
                continue  # one pass of the largest is enough time and memory
            reps = max(1, min(20, 10**6 // n))
            cmd = [args.binary, shape, str(n), str(reps)] + (["--warm-heap"] if heap == "warm" else [])
            out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
            runs[(shape, n, heap)].append(json.loads(out))
            print(f"graph {shape} {n} {heap}", file=sys.stderr, flush=True)

    rows = []
    for (shape, n, heap), results in runs.items():
        row = {"shape": shape, "n": n, "heap": heap, "passes": len(results), "reps": results[0]["reps"]}
        for key in ("record_ns_per_node", "record_bytes_per_node", "execute_ns_per_node",
                    "execute_bytes_per_node", "rerun_ns_per_node"):
            row[key] = statistics.median(r[key] for r in results)
        rows.append(row)
    emit_json({"rows": rows}, args.json)


if __name__ == "__main__":
    main()
