"""The working tree beside another commit's build, measured in one run.

    python bench/baseline.py LABEL BASE_MODULE_DIR BASE_BENCH_GRAPH WORK_BENCH_GRAPH OUT.md [--quick] [--large]
                             [--core BASE_BENCH_CORE WORK_BENCH_CORE]

Python: latency.py runs in processes that alternate between the two modules
(the commit's from BASE_MODULE_DIR, the working tree's as installed), each
process timing its module and the floor in the same interleaved rounds. A
side's ratio for a call is the median, over all of its rounds, of its time
over the floor's in that round. Two modules of one name cannot share a
process, so the floor is what makes the sides comparable across processes.
C++: graph.py runs both builds of the graph benchmark, each point on both
sides in turn, in fresh processes; with --core, both builds of the core
benchmark run their first-touch and strided sections, the sides in turn, and
a figure is the median of a side's passes. bench/run passes the paths.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

from harness import emit_json

HERE = os.path.dirname(os.path.abspath(__file__))
LIMIT = 1.10  # how far above the commit's figure a row of the working tree may lie


def latency(sides: dict[str, str | None], quick: bool) -> dict[str, dict]:
    passes, rounds = (2, 5) if quick else (6, 15)
    samples: dict[str, dict[str, list[float]]] = {side: {} for side in sides}
    rows = None
    with tempfile.TemporaryDirectory() as tmp:
        for p in range(passes):
            for side, module_dir in (list(sides.items()) if p % 2 == 0 else list(sides.items())[::-1]):
                env = dict(os.environ)
                if module_dir:
                    env["PYTHONPATH"] = module_dir + os.pathsep + env.get("PYTHONPATH", "")
                out = os.path.join(tmp, f"{side}-{p}.json")
                cmd = [sys.executable, os.path.join(HERE, "latency.py"), "--rounds", str(rounds), "--json", out]
                subprocess.run(cmd + (["--quick"] if quick else []), check=True, env=env)
                with open(out) as f:
                    result = json.load(f)
                if module_dir and not result["module"].startswith(module_dir):
                    raise SystemExit(f"the {side} side imported {result['module']}, not the module in {module_dir}")
                rows = result["rows"]
                for key, values in result["samples"].items():
                    samples[side].setdefault(key, []).extend(values)
                print(f"latency {side} pass {p + 1}/{passes}", file=sys.stderr, flush=True)
    out: dict[str, dict] = {}
    for side, found in samples.items():
        out[side] = {}
        for row in rows or []:
            key = row["key"]
            ours, floor = found[f"quarnel/{key}"], found[f"floor/{key}"]
            out[side][key] = {"what": row["what"], "ns": statistics.median(ours),
                              "ratio": statistics.median(a / b for a, b in zip(ours, floor))}
    return out


def graph(binaries: dict[str, str], quick: bool, large: bool) -> dict[str, dict]:
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "graph.json")
        # More passes than a plain run: the sides are compared within a few percent.
        cmd = [sys.executable, os.path.join(HERE, "graph.py"), "--json", out, "--passes", "2" if quick else "9"]
        cmd += [f"--side={side}={binary}" for side, binary in binaries.items()]
        subprocess.run(cmd + (["--quick"] if quick else []) + (["--large"] if large else []), check=True)
        with open(out) as f:
            return json.load(f)


CORE_SECTIONS = ("first-touch", "strided")


def core(binaries: dict[str, str], quick: bool) -> dict[str, dict[str, float]]:
    """GB/s by benchmark name and side: the median of each side's pass medians."""
    found: dict[str, dict[str, list[float]]] = {side: {} for side in binaries}
    passes = 2 if quick else 4
    with tempfile.TemporaryDirectory() as tmp:
        for p in range(passes):
            for side, binary in (list(binaries.items()) if p % 2 == 0 else list(binaries.items())[::-1]):
                for section in CORE_SECTIONS:
                    out = os.path.join(tmp, "core.json")
                    cmd = [binary, section, "--benchmark_out_format=json", f"--benchmark_out={out}"]
                    subprocess.run(cmd + (["--quick"] if quick else []), check=True, stdout=subprocess.DEVNULL)
                    with open(out) as f:
                        for b in json.load(f)["benchmarks"]:
                            if b.get("aggregate_name") == "median":
                                found[side].setdefault(b["run_name"], []).append(b["bytes_per_second"] / 1e9)
                print(f"core {side} pass {p + 1}/{passes}", file=sys.stderr, flush=True)
    # A variant one side lacks (added after the commit) has no row.
    names = sorted((n for n in found["work"] if n in found["base"]),
                   key=lambda n: [int(part) if part.isdigit() else part for part in n.split("/")])
    return {n: {side: statistics.median(found[side][n]) for side in binaries} for n in names}


def core_report(label: str, co: dict[str, dict[str, float]]) -> list[str]:
    lines = ["", "## C++ core: first touch of large blocks, and strided copies", "",
             "GB/s, bytes written over the median time of a call (`quarnel_bench_core`); a higher figure is faster, "
             "so the working tree is behind where working/base is under 1. The floors (`floor_*`, `naive`, "
             "`alloc_memcpy_free`) run the same code on both sides: how far apart their figures lie is the run's "
             "noise.", "",
             f"| benchmark | {label} GB/s | working tree GB/s | working/base | |", "|---|---|---|---|---|"]
    for name, sides in co.items():
        b, w = sides["base"], sides["work"]
        lines.append(f"| {name} | {b:.2f} | {w:.2f} | {w / b:.2f} | "
                     f"{'within 10%' if w * LIMIT >= b else '**more than 10% below**'} |")
    return lines


def verdict(base: float, work: float) -> str:
    return "within 10%" if work <= base * LIMIT else "**more than 10% above**"


def ratio(base: float, work: float) -> str:
    # CPU time comes in scheduler ticks: a short phase may have none.
    return f"{work / base:.2f}" if base > 0 else "–"


def report(label: str, lat: dict, gr: dict, co: dict, quick: bool, large: bool) -> str:
    lines = [f"# The working tree beside {label}", "",
             f"Produced by `bench/run --baseline {label}{' --quick' if quick else ''}{' --large' if large else ''}`. "
             "Python figures are medians over rounds from processes that alternate between the two modules; "
             "a ratio is the call's time over the floor's in the same round. C++ figures are medians over passes "
             "of fresh processes, each point run on both sides in turn, of the same benchmark program built "
             "against each side's library; beside the wall-clock time of recording and executing stands the "
             "process's user CPU time, which leaves out the kernel's page faults on fresh memory.", "",
             "## From Python, over the binding floor", "",
             f"| call | {label} ns | working tree ns | {label} ratio | working tree ratio | working/base | |",
             "|---|---|---|---|---|---|---|"]
    base, work = lat["base"], lat["work"]
    for key, row in base.items():
        b, w = row["ratio"], work[key]["ratio"]
        lines.append(f"| `{row['what']}` | {row['ns']:,.0f} | {work[key]['ns']:,.0f} | {b:.2f} | {w:.2f} | {w / b:.2f} | "
                     f"{verdict(b, w)} |")
    lines += ["", "## C++ graph, per node", "",
              f"| shape | N | measure | {label} | working tree | working/base | |", "|---|---|---|---|---|---|---|"]
    measures = [("record_ns_per_node", "record ns"), ("record_user_ns_per_node", "record, user CPU ns"),
                ("execute_ns_per_node", "execute ns"), ("execute_user_ns_per_node", "execute, user CPU ns"),
                ("rerun_ns_per_node", "execute again ns"), ("walk_ns_per_node", "walk ns"),
                ("record_bytes_per_node", "bytes kept per add")]
    for brow, wrow in zip(gr["base"]["rows"], gr["work"]["rows"]):
        for key, name in measures:
            b, w = brow[key], wrow[key]
            if "user" in key and min(b, w) == 0:
                continue  # CPU time comes in scheduler ticks: too short a phase to show
            lines.append(f"| {brow['shape']} | {brow['n']:,} | {name} | {b:,.1f} | {w:,.1f} | {ratio(b, w)} | "
                         f"{verdict(b, w) if b > 0 else ''} |")
    largest = [(b, w) for b, w in zip(gr["base"]["rows"], gr["work"]["rows"]) if b["shape"] == "chain"][-1]
    b, w = largest
    lines += ["", f"## The largest chain (N = {b['n']:,})", "", f"| measure | {label} | working tree | working/base | |",
              "|---|---|---|---|---|",
              f"| record and execute, s | {b['record_execute_s']:.2f} | {w['record_execute_s']:.2f} | "
              f"{w['record_execute_s'] / b['record_execute_s']:.2f} | {verdict(b['record_execute_s'], w['record_execute_s'])} |",
              f"| peak resident set, GB | {b['peak_bytes'] / 1e9:.2f} | {w['peak_bytes'] / 1e9:.2f} | "
              f"{w['peak_bytes'] / b['peak_bytes']:.2f} | {verdict(b['peak_bytes'], w['peak_bytes'])} |"]
    if large and gr["base"]["unsettled_chain"]:
        bu, wu = gr["base"]["unsettled_chain"], gr["work"]["unsettled_chain"]
        lines.append(f"| the same on memory the host had not backed yet, s | {bu['record_execute_s']:.2f} | "
                     f"{wu['record_execute_s']:.2f} | {wu['record_execute_s'] / bu['record_execute_s']:.2f} | "
                     f"{verdict(bu['record_execute_s'], wu['record_execute_s'])} |")
    if co:
        lines += core_report(label, co)
    return "\n".join(lines) + "\n"


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("label")
    ap.add_argument("base_module_dir")
    ap.add_argument("base_graph")
    ap.add_argument("work_graph")
    ap.add_argument("out")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--large", action="store_true")
    ap.add_argument("--core", nargs=2, metavar=("BASE_BENCH_CORE", "WORK_BENCH_CORE"))
    ap.add_argument("--from-json", action="store_true", help="report an earlier run's results again")
    args = ap.parse_args()
    data = os.path.splitext(args.out)[0] + ".json"
    if args.from_json:
        saved = json.load(open(data))
        lat, gr, co = saved["latency"], saved["graph"], saved.get("core", {})
    else:
        lat = latency({"base": args.base_module_dir, "work": None}, args.quick)
        gr = graph({"base": args.base_graph, "work": args.work_graph}, args.quick, args.large)
        co = core({"base": args.core[0], "work": args.core[1]}, args.quick) if args.core else {}
        emit_json({"latency": lat, "graph": gr, "core": co}, data)
    text = report(args.label, lat, gr, co, args.quick, args.large)
    with open(args.out, "w") as f:
        f.write(text)
    print(text)


if __name__ == "__main__":
    main()
