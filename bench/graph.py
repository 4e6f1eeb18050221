"""Graph scaling: runs quarnel_bench_graph for chains and trees of N adds.

    python bench/graph.py BENCH_GRAPH [--quick] [--large] [--json FILE]
    python bench/graph.py --side NAME=BENCH_GRAPH --side NAME=BENCH_GRAPH ... [--quick] [--large] [--json FILE]

Every (shape, N) point runs in a fresh process of its own, so each starts from
an empty graph; the points are visited in interleaved passes and each figure is
the median over the passes. Each process first touches and frees about as much
memory as the point will use (see bench_graph.cpp), and the 10^7 chain is also
run once without that, as a fresh process on this machine gets it. With
several sides (builds of the benchmark from different commits), each point
runs every side in turn, so that the sides share the machine's spells alike;
the result then holds the rows of each side under its name.
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

METRICS = ("record_ns_per_node", "record_user_ns_per_node", "record_sys_ns_per_node", "record_bytes_per_node",
           "execute_ns_per_node", "execute_user_ns_per_node", "execute_sys_ns_per_node", "execute_bytes_per_node",
           "rerun_ns_per_node", "rerun_user_ns_per_node", "walk_ns_per_node", "walk_user_ns_per_node",
           "record_execute_s", "peak_bytes", "huge_page_bytes")


def measure(sides: dict[str, str], quick: bool, large: bool, passes: int | None = None) -> dict[str, dict]:
    sizes = [10**3, 10**4, 10**5] if quick else [10**3, 10**4, 10**5, 10**6]
    if large:
        sizes.append(10**7)
    passes = passes or (2 if quick else 5)
    points = [(shape, n) for n in sizes for shape in ("chain", "tree")]
    runs: dict[tuple, list[dict]] = {(side, *p): [] for side in sides for p in points}
    for p in range(passes):
        for shape, n in points:
            if n >= 10**7 and p >= 3:
                continue  # three passes of the largest are enough time and memory
            # Every other pass in the other order, so that neither side always
            # runs just after the other.
            for side, binary in (list(sides.items()) if p % 2 == 0 else list(sides.items())[::-1]):
                settle = str(n * SETTLE_BYTES_PER_NODE)
                out = subprocess.run([binary, shape, str(n), settle], check=True, capture_output=True, text=True).stdout
                runs[(side, shape, n)].append(json.loads(out))
                print(f"graph {side} {shape} {n}", file=sys.stderr, flush=True)
    results = {}
    for side, binary in sides.items():
        unsettled = None
        if large:
            out = subprocess.run([binary, "chain", str(10**7)], check=True, capture_output=True, text=True).stdout
            unsettled = json.loads(out)
        rows = []
        for shape, n in points:
            found = runs[(side, shape, n)]
            row = {"shape": shape, "n": n, "passes": len(found)}
            row.update((key, statistics.median(r[key] for r in found)) for key in METRICS)
            rows.append(row)
        results[side] = {"rows": rows, "unsettled_chain": unsettled}
    return results


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("binary", nargs="?")
    ap.add_argument("--side", action="append", default=[], help="NAME=BENCH_GRAPH, once per side")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--large", action="store_true", help="also N = 10^7 (about 3.5 GB and a minute)")
    ap.add_argument("--passes", type=int, help="instead of the default for the mode")
    ap.add_argument("--json")
    args = ap.parse_args()
    if bool(args.binary) == bool(args.side):
        ap.error("give either one BENCH_GRAPH or --side NAME=BENCH_GRAPH for each side")
    if args.binary:
        emit_json(measure({"": args.binary}, args.quick, args.large, args.passes)[""], args.json)
    else:
        emit_json(measure(dict(s.split("=", 1) for s in args.side), args.quick, args.large, args.passes), args.json)


if __name__ == "__main__":
    main()
