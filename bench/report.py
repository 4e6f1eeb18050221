"""Turns one bench/run's results into the markdown report and its plots.

    python bench/report.py RESULTS_DIR REPORT.md PLOT_DIR

Every figure in the report comes from RESULTS_DIR: the JSON that bench/run
wrote there (env, latency, bandwidth-*, core, core-first-touch, graph,
graph-py, large, and PyTorch's torch-* or the reason it is missing). Analysis
that rests on other measurements lives in docs/performance.md.
"""

from __future__ import annotations

import json
import os
import statistics
import sys

from tabulate import tabulate

KiB, MiB, GiB = 1 << 10, 1 << 20, 1 << 30


def load(results: str, name: str):
    path = os.path.join(results, name)
    return json.load(open(path)) if os.path.exists(path) else None


def size_name(b: float) -> str:
    b = int(b)
    return f"{b // GiB} GiB" if b >= GiB else f"{b // MiB} MiB" if b >= MiB else f"{b // KiB} KiB"


def fmt(x, digits: int = 0) -> str:
    return "–" if x is None else f"{x:,.{digits}f}"


def table(header: list[str], rows: list[list]) -> str:
    return tabulate(rows, header, tablefmt="github", disable_numparse=True)


def verdict(ok: bool) -> str:
    return "met" if ok else "**missed**"


def gbench(doc) -> dict[str, dict]:
    """Google Benchmark's medians by benchmark name (the aggregate rows)."""
    out = {}
    for b in doc["benchmarks"] if doc else []:
        if b.get("aggregate_name") == "median":
            out[b["run_name"]] = b
    return out


class Report:
    def __init__(self, results: str) -> None:
        self.r = results
        self.env = load(results, "env.json")
        self.lat = load(results, "latency.json")
        self.bw = {g: load(results, f"bandwidth-{g}.json") for g in ("first-touch", "warm")}
        self.core = gbench(load(results, "core.json"))
        self.first_touch = gbench(load(results, "core-first-touch.json"))
        self.graph = load(results, "graph.json")
        self.graph_py = load(results, "graph-py.json")
        self.large = load(results, "large.json")
        self.torch = load(results, "torch-latency.json")
        missing = os.path.join(results, "torch-missing.txt")
        self.torch_missing = open(missing).read().strip() if os.path.exists(missing) else None
        if self.torch:
            self.lat["ns"].update((k, v) for k, v in self.torch["ns"].items() if k.startswith("torch"))
            for regime, d in self.bw.items():
                t = load(results, f"torch-bandwidth-{regime}.json")
                d["columns"] += t["columns"]
                for row, trow in zip(d["rows"], t["rows"]):
                    row.update((c + "_ns", trow[c + "_ns"]) for c in t["columns"])
        self.targets: list[list[str]] = []
        self.sections: list[str] = []

    def target(self, what: str, measured: str, ok: bool | None) -> None:
        self.targets.append([what, measured, "info" if ok is None else verdict(ok)])

    def peers_note(self) -> str:
        versions = self.lat["versions"]
        parts = [f"NumPy {versions['numpy']}" if versions["numpy"] else self.lat["missing"].get("numpy"),
                 f"MLX {versions['mlx']}" if versions["mlx"] else self.lat["missing"].get("mlx")]
        if self.torch:
            parts.append(f"PyTorch {self.torch['torch']} on CPython {self.torch['python']} with "
                         f"{self.torch['threads']} thread, in processes of its own ({self.env['torch_note']})")
        else:
            parts.append(f"PyTorch not measured: {self.torch_missing}")
        return "; ".join(parts)

    # --- per-call latency ----------------------------------------------------
    def latency(self) -> None:
        ns, ratio, rows = self.lat["ns"], self.lat["ratio"], []
        for r in self.lat["rows"]:
            k = r["key"]
            rows.append([f"`{r['what']}`", fmt(ns[f"quarnel/{k}"]), fmt(ns[f"floor/{k}"]), f"{ratio[k]:.2f}",
                         f"≤ {r['limit']:g}", verdict(ratio[k] <= r["limit"]), fmt(ns.get(f"numpy/{k}")),
                         fmt(ns.get(f"mlx/{k}")), fmt(ns.get(f"torch/{k}")), fmt(ns.get(f"torch_meta/{k}")), r["shape"]])
        plain = [r for r in self.lat["rows"] if r["limit"] == 1.3]
        worst = max(plain, key=lambda r: ratio[r["key"]])
        self.target("Every bound call ≤ 1.3x the floor of its call shape",
                    f"worst {ratio[worst['key']]:.2f}x (`{worst['what']}`)", ratio[worst["key"]] <= 1.3)
        for r in self.lat["rows"]:
            if r["limit"] != 1.3:
                k = r["key"]
                self.target(f"`{r['what']}` ≤ {r['limit']:g}x the floor's {r['shape']}",
                            f"{ratio[k]:.2f}x ({fmt(ns['quarnel/' + k])} vs {fmt(ns['floor/' + k])} ns)",
                            ratio[k] <= r["limit"])
        for peer, name in (("numpy", "NumPy's eager add"), ("mlx", "MLX's lazy add"), ("torch_meta", "PyTorch's meta add")):
            if ns.get(f"{peer}/add"):
                self.target(f"Lazy `a + b` against {name}", f"{ns['quarnel/add'] / ns[peer + '/add']:.3g}x its time "
                            f"({fmt(ns['quarnel/add'])} vs {fmt(ns[peer + '/add'])} ns)", None)
        basics = [[f"`{b['what']}`", fmt(ns[f"floor/{b['key']}"])] for b in self.lat["basics"]]
        loop = statistics.median(self.lat["samples"]["_loop_repeat"])
        self.sections.append(f"""## Per-call latency from Python

One process, {self.lat['rounds']} interleaved rounds of every case, each for about {self.lat['target_ns'] / 1e6:.0f} ms,
in an order shuffled anew each round; medians in ns per call, net of the empty loop ({loop:.1f} ns). The ratio is the
median over rounds of _quarnel's time over the floor's in the same round. The floor (`_bench_floor`) has
_quarnel's signatures and empty bodies. `execute` is timed on results made just before, in batches of 256, and on
results made 16,384 adds earlier. NumPy computes its add; MLX's and the meta device's record or infer only; MLX's
`execute` column is `mx.eval`, which computes, and MLX has no uninitialised constructor, so its first row is
`mx.zeros`. By the end the process-wide graph held {self.lat['quarnel_nodes_recorded']:,} adds; before each round the
process touched and freed {self.lat['settled_bytes'] / MiB:,.0f} MiB, so that the graph's growth lands on memory the host has
backed, as in the graph benchmarks. {self.peers_note()}.

{table(["call", "_quarnel ns", "floor ns", "ratio", "limit", "", "NumPy ns", "MLX ns", "PyTorch ns",
        "PyTorch meta ns", "floor call shape"], rows)}

{table(["floor call", "ns"], basics)}
""")

    # --- recording graphs from Python, beside the peers ---------------------------
    def graph_py_section(self) -> None:
        g = self.graph_py
        if not g:
            return
        by = {(r["peer"], r["shape"], r["n"]): r for r in g["rows"]}
        peers = ["quarnel", "mlx", "torch_meta"]
        rows = []
        for shape, n in sorted({(r["shape"], r["n"]) for r in g["rows"]}, key=lambda k: (k[0], k[1])):
            cells = [shape, f"{n:,}"]
            for p in peers:
                r = by.get((p, shape, n))
                cells += [fmt(r and r["record_ns_per_add"]), fmt(r and r["bytes_per_add"])]
            rows.append(cells)
        depth = ", ".join(f"{p}: {n:,}" for p, n in g["depth_survived"].items())
        why = "".join(f" {p}: {m}." for p, m in g["missing"].items())
        top = max(r["n"] for r in g["rows"] if r["peer"] == "quarnel" and r["shape"] == "chain")
        ours, theirs = by.get(("quarnel", "chain", top)), by.get(("mlx", "chain", top))
        if ours and theirs:
            self.target(f"Recording a chain of {top:,} adds from Python against MLX",
                        f"{ours['record_ns_per_add'] / theirs['record_ns_per_add']:.2f}x its time, "
                        f"{ours['bytes_per_add'] / theirs['bytes_per_add']:.2f}x its bytes", None)
        self.sections.append(f"""## Recording graphs from Python, beside the peers that record

`bench/graph_py.py`: N adds of [2, 3] fp32 tensors from Python, a chain (`c = c + x`) or a balanced tree over one
leaf, each point in a fresh process; ns per add and bytes of resident-set growth per add. The meta device stops at
10^5 adds, where its time per add makes 10^6 too long a point. Deepest chain materialised (`execute`, `mx.eval`) without the
process failing, of 10^3 to 10^6: {depth}.{why}

{table(["graph", "N", "_quarnel ns", "_quarnel B", "MLX ns", "MLX B", "PyTorch meta ns", "PyTorch meta B"], rows)}
""")

    # --- bandwidth ---------------------------------------------------------------
    def bandwidth(self) -> None:
        names = {"floor": "C floor", "floor_nonzero": "C floor 0x3f", "floor_shaped": "C floor, zeros' shape",
                 "floor_huge": "huge-page floor", "floor_huge_nonzero": "huge-page floor 0x3f",
                 "quarnel_zeros": "zeros", "quarnel_ones": "ones", "numpy_zeros": "np.zeros",
                 "numpy_zeros_touched": "np.zeros + 1 w/p", "numpy_ones": "np.ones",
                 "numpy_empty_touched": "np.empty + 1 w/p", "torch_zeros": "torch.zeros", "torch_ones": "torch.ones"}
        text = ["""## Bandwidth of zeros and ones

Each call allocates, fills and frees, from Python, fp32; GB/s is bytes over the median time of a call (from 4 MiB
on first touch, the mean of the eight lengths each column cycles through). **first-touch**: malloc maps every
block of 32 KiB or more afresh; **warm**: malloc keeps freed memory. The C floor is `posix_memalign(16)` + `memset`
+ `free`; "zeros' shape" does the same behind zeros' argument conversion; the huge-page floor aligns to 2 MiB and
advises huge pages. "1 w/p" is one write per 4 KiB page: what first using the memory costs.
"""]
        for regime, d in self.bw.items():
            cols = d["columns"]
            rows = []
            for r in d["rows"]:
                gb = {c: r.get("mean_bytes", r["bytes"]) / r[c + "_ns"] for c in cols}
                rows.append([size_name(r["bytes"])] + [fmt(gb[c], 1) for c in cols]
                            + [f"{gb['quarnel_zeros'] / gb['floor_shaped']:.2f}", f"{gb['quarnel_ones'] / gb['floor']:.2f}"])
            text.append(f"### {regime} (GB/s)\n\n" + table(["size"] + [names[c] for c in cols]
                                                           + ["zeros / floor shape", "ones / floor"], rows) + "\n")
            # Blocks above the 16 MiB that are kept for reuse are mapped afresh whatever malloc is told, so
            # the warm regime, which keeps malloc's blocks, holds for ours only up to there.
            top = 16 * MiB if regime == "warm" else float("inf")
            big = [r for r in d["rows"] if MiB <= r["bytes"] <= top]
            z = min(r["floor_shaped_ns"] / r["quarnel_zeros_ns"] for r in big)
            o = min(min(r["floor_ns"], r["floor_nonzero_ns"]) / r["quarnel_ones_ns"] for r in big)
            self.target(f"`zeros` and `ones` ≥ 0.9x the C floor from 1 MiB up ({regime}"
                        + (", to 16 MiB" if regime == "warm" else "") + ")",
                        f"worst {z:.2f}x and {o:.2f}x (ones against the faster of memset 0 and 0x3f)",
                        z >= 0.9 and o >= 0.9)
            if regime == "warm":
                above = [r for r in d["rows"] if r["bytes"] > top]
                if above:
                    o = min(min(r["floor_ns"], r["floor_nonzero_ns"]) / r["quarnel_ones_ns"] for r in above)
                    self.target("`ones` above 16 MiB (warm), where ours are mapped afresh: over the C floor reusing "
                                "malloc's kept memory", f"worst {o:.2f}x", None)
        last = self.bw["first-touch"]["rows"][-1]
        self.fault_ns = last["floor_ns"] / (last["bytes"] / 4096)
        text.append(f"A fresh 4 KiB page costs the C floor {self.fault_ns:,.0f} ns at {size_name(last['bytes'])} on "
                    "first touch in this run (its time over its pages).\n")
        self.sections.append("\n".join(text))

    # --- large blocks ------------------------------------------------------------
    def large_section(self) -> None:
        ft = {r["bytes"]: r for r in self.bw["first-touch"]["rows"]}
        gbs = lambda r, c: r.get("mean_bytes", r["bytes"]) / r[c + "_ns"]  # noqa: E731
        rows, checks = [], {}
        sizes = sorted({int(n.split("/")[2]) for n in self.first_touch})
        for b in sizes:
            cpp = {v: b / self.first_touch[f"first_touch/{v}/{b}"]["real_time"] for v in
                   ("tensor", "zeros", "execute", "floor_touch", "floor_huge_touch", "copy", "floor_memcpy",
                    "floor_huge_memcpy")}
            p = ft.get(b)
            if p is None:
                continue
            np_zt, np_et = gbs(p, "numpy_zeros_touched"), gbs(p, "numpy_empty_touched")
            for what, value, limit in (("zeros + 1 write/page (C++) over np.zeros + 1 write/page", cpp["zeros"] / np_zt, 0.8),
                                       ("ones over np.ones", gbs(p, "quarnel_ones") / gbs(p, "numpy_ones"), 1.0),
                                       ("new Tensor + 1 write/page (C++) over np.empty + 1 write/page", cpp["tensor"] / np_et, 1.0),
                                       ("execute + 1 write/page (C++) over np.empty + 1 write/page", cpp["execute"] / np_et, 1.0),
                                       ("strided copy (C++) over the huge-page floor's memcpy",
                                        cpp["copy"] / cpp["floor_huge_memcpy"], 0.9)):
                checks.setdefault(what, []).append((b, value, limit))
            rows.append([size_name(b), fmt(gbs(p, "quarnel_zeros"), 1), fmt(cpp["zeros"], 1), fmt(np_zt, 1),
                         fmt(gbs(p, "quarnel_ones"), 1), fmt(gbs(p, "numpy_ones"), 1), fmt(cpp["tensor"], 1),
                         fmt(cpp["execute"], 1), fmt(np_et, 1), fmt(cpp["floor_touch"], 1), fmt(cpp["floor_huge_touch"], 1),
                         fmt(cpp["copy"], 1), fmt(cpp["floor_huge_memcpy"], 1)])
        for what, pts in checks.items():
            worst = min(pts, key=lambda t: t[1] / t[2])
            self.target(f"Large blocks, first touch: {what} ≥ {worst[2]:g}x", f"worst {worst[1]:.2f}x "
                        f"({size_name(worst[0])})", all(v >= lim for _, v, lim in pts))
        text = ["""## Large blocks

From 4 MiB a buffer is mapped for itself: page-rounded, on a 2 MiB boundary with its whole 2 MiB pages advised as
huge pages, unmapped when released but for up to 16 MiB kept for the next request of the same length; `zeros`
writes only memory it did not map fresh. First touch, GB/s, fp32: Python from the first-touch bandwidth run, C++
from `quarnel_bench_core first-touch` (Google Benchmark; one write per page stands for a user's first use).
""", table(["size", "zeros (Py)", "zeros + 1 w/p (C++)", "np.zeros + 1 w/p", "ones (Py)", "np.ones",
            "Tensor + 1 w/p (C++)", "execute + 1 w/p (C++)", "np.empty + 1 w/p", "C floor + 1 w/p",
            "huge floor + 1 w/p", "strided copy (C++)", "huge floor memcpy"], rows) + "\n"]
        lg = self.large
        if lg:
            q, n = lg["churn"]["quarnel"], lg["churn"]["numpy"]
            self.target("Churn of 2,000 tensors of 4 to 10 MiB, 40 live: peak ≤ 1.15x NumPy's",
                        f"{q['peak'] / MiB:,.0f} against {n['peak'] / MiB:,.0f} MiB", q["peak"] <= 1.15 * n["peak"])
            self.target("… and after dropping them all ≤ NumPy's + 16 MiB",
                        f"{q['after'] / MiB:,.1f} against {n['after'] / MiB:,.1f} MiB", q["after"] <= n["after"] + 16 * MiB)
            worst = max(lg["live"], key=lambda r: r["quarnel"] - r["numpy"])
            self.target("A live, written large tensor keeps ≤ NumPy's array + 4 KiB",
                        f"worst {(worst['quarnel'] - worst['numpy']) / KiB:+,.0f} KiB ({size_name(worst['bytes'])} + "
                        f"{worst['bytes'] % KiB} B)", all(r["quarnel"] <= r["numpy"] + 4 * KiB for r in lg["live"]))
            warm = min(lg["warm"], key=lambda r: r["numpy_ns"] / r["quarnel_ns"])
            self.target("Warm loop of allocate, ones, drop at 4, 16 and 64 MiB ≥ 0.9x NumPy's",
                        f"worst {warm['numpy_ns'] / warm['quarnel_ns']:.2f}x ({size_name(warm['bytes'])})",
                        all(r["numpy_ns"] / r["quarnel_ns"] >= 0.9 for r in lg["warm"]))
            text.append("`bench/large.py`, with malloc's default settings, in fresh processes: the churn (medians of its "
                        "passes) and one written tensor's resident growth; and the warm loop of allocate, `ones`, drop, "
                        "timed in interleaved rounds.\n")
            text.append(table(["", "_quarnel MiB", "NumPy MiB"], [
                ["churn: peak resident growth", fmt(q["peak"] / MiB, 1), fmt(n["peak"] / MiB, 1)],
                ["churn: left after dropping all", fmt(q["after"] / MiB, 1), fmt(n["after"] / MiB, 1)]]
                + [[f"live: {size_name(r['bytes'])} + {r['bytes'] % KiB} B, written", fmt(r["quarnel"] / MiB, 3),
                    fmt(r["numpy"] / MiB, 3)] for r in lg["live"]]) + "\n")
            text.append(table(["warm loop", "_quarnel µs", "NumPy µs", "NumPy / _quarnel"],
                              [[size_name(r["bytes"]), fmt(r["quarnel_ns"] / 1e3, 1), fmt(r["numpy_ns"] / 1e3, 1),
                                f"{r['numpy_ns'] / r['quarnel_ns']:.2f}"] for r in lg["warm"]]) + "\n")
        self.sections.append("\n".join(text))

    # --- C++ microbenchmarks -----------------------------------------------------
    def core_section(self) -> None:
        c = self.core
        med = lambda name: c[name]["real_time"]  # noqa: E731
        sizes = sorted({int(n.split("/")[2]) for n in c if n.startswith("fill/")})
        fills = [[size_name(b)] + [fmt(b / med(f"fill/{v}/{b}"), 1) for v in ("memset_0", "memset_3f", "ones_fp32", "ones_f64")]
                 + [f"{med(f'fill/memset_0/{b}') / med(f'fill/ones_fp32/{b}'):.2f}"] for b in sizes]
        copies = [[size_name(b)] + [fmt(b / med(f"copy/{v}/{b}"), 1) for v in ("quarnel", "alloc_memcpy_free", "memcpy_only")]
                  + [f"{med(f'copy/alloc_memcpy_free/{b}') / med(f'copy/quarnel/{b}'):.2f}"] for b in sizes]
        strided, names = [], sorted({n.rsplit("/", 1)[0] for n in c if n.startswith("strided/")})
        for name in names:
            q, naive, mem = (c[f"{name}/{v}"] for v in ("quarnel", "naive", "alloc_memcpy_free"))
            strided.append([name.split("/")[1], name.split("/")[2]]
                           + [fmt(x["bytes_per_second"] / 1e9, 1) for x in (q, naive, mem)]
                           + [f"{naive['real_time'] / q['real_time']:.2f}", f"{mem['real_time'] / q['real_time']:.2f}"])
        listed = [r for r in strided if not r[0].startswith("inner2")]
        worst = min(listed, key=lambda r: float(r[5]))
        self.target("Non-contiguous copy ≥ 2x the naive index loop (windows, outer stride 0, both widths and offsets)",
                    f"worst {worst[5]}x ({worst[0]}, {worst[1]})", float(worst[5]) >= 2)
        win = [r for r in strided if r[0].startswith("window_4k") and r[1] == "fp32"]
        self.target("Window of a wide fp32 storage ≥ 0.5x alloc + memcpy", f"worst {min(float(r[6]) for r in win):.2f}x",
                    min(float(r[6]) for r in win) >= 0.5)
        self.sections.append(f"""## C++ microbenchmarks of the core

Google Benchmark (`build/bench/bench/quarnel_bench_core`): medians over randomly interleaved repetitions, with
malloc keeping freed memory, so the C floors' figures are fill and copy speeds, not page faults; the library maps
its blocks above 16 MiB afresh each time, so its copies of 128 MiB pay their first touch. GB/s counts the bytes
written.

{table(["size", "memset 0", "memset 0x3f", "ones fp32", "ones f64", "memset 0 / ones fp32"], fills)}

{table(["size", "copy", "alloc + memcpy + free", "memcpy alone", "(alloc + memcpy + free) / copy"], copies)}

Non-contiguous copies of 2-D layouts against the naive element-at-a-time walk and against allocation + memcpy of
the same bytes, each writing into a buffer from the library's allocator as the copy does (windows read half of
each row of a storage twice as wide; outer stride 0 repeats one row; inner stride 2 reads every other element;
`_off3` starts 3 elements in):

{table(["case", "type", "copy GB/s", "naive GB/s", "memcpy GB/s", "x naive", "x memcpy"], strided)}
""")

    # --- C++ graph scaling --------------------------------------------------------
    def graph_section(self) -> None:
        g = sorted(self.graph["rows"], key=lambda r: (r["shape"], r["n"]))
        rows = [[r["shape"], f"{r['n']:,}", fmt(r["record_ns_per_node"]), fmt(r["record_user_ns_per_node"] or None),
                 fmt(r["record_bytes_per_node"], 1), fmt(r["execute_ns_per_node"]), fmt(r["rerun_ns_per_node"]),
                 fmt(r["walk_ns_per_node"], 1), fmt(r["record_execute_s"], 3), fmt(r["peak_bytes"] / MiB)] for r in g]
        top = max(r["n"] for r in g)
        chain = [r for r in g if r["shape"] == "chain"]
        worst = max(chain, key=lambda r: r["record_ns_per_node"])
        self.target(f"C++: recording one add, chain, ≤ 250 ns at every N up to {top:,}",
                    f"worst {worst['record_ns_per_node']:,.0f} ns (N = {worst['n']:,})", worst["record_ns_per_node"] <= 250)
        kept = max(r["record_bytes_per_node"] for r in g if r["n"] == top)
        self.target(f"Memory kept per recorded add (N = {top:,}) ≤ 250 bytes", f"{kept:,.1f} bytes; a fresh page costs "
                    f"{kept * self.fault_ns / 4096:,.0f} ns of it at this run's page cost", kept <= 250)
        for key, name in (("execute_ns_per_node", "`execute`"), ("rerun_ns_per_node", "`execute` again")):
            spread = {s: max(r[key] for r in g if r["shape"] == s) / min(r[key] for r in g if r["shape"] == s)
                      for s in ("chain", "tree")}
            self.target(f"{name} per node within 1.5x from 10^3 to {top:,}",
                        f"spread {spread['chain']:.2f}x (chain), {spread['tree']:.2f}x (tree)", max(spread.values()) <= 1.5)
        long = next((r for r in chain if r["n"] == 10**7), None)
        cold = self.graph.get("unsettled_chain")
        if long:
            self.target("The 10^7-node chain (record and execute) ≤ 6 s, ≤ 3 GB peak",
                        f"{long['record_execute_s']:.1f} s, {long['peak_bytes'] / 1e9:.2f} GB"
                        + (f"; {cold['record_execute_s']:.1f} s on memory the host had not backed" if cold else ""),
                        long["record_execute_s"] <= 6 and long["peak_bytes"] <= 3e9)
        self.sections.append(f"""## C++ graph scaling

`quarnel_bench_graph` records N lazy adds of [2, 3] fp32 tensors into the process-wide graph of a fresh process (a
chain, or a balanced tree over one leaf), executes the last result, executes it again (every result already
allocated), and walks once more alone. Medians over interleaved passes; each process first touches and frees as
much memory as the point will use. Bytes are resident-set growth; "user" is the process's user CPU time, which
leaves out the kernel's page faults on the fresh memory that recording takes; it comes in scheduler ticks, so a
phase too short for one shows "–" and one of a few ticks is coarse.

{table(["graph", "N", "record ns", "record user ns", "record B", "execute ns", "again ns", "walk ns",
        "record + execute s", "peak MiB"], rows)}
""")
        self.plot_graph(g)

    def plot_graph(self, g: list[dict]) -> None:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        fig, axes = plt.subplots(1, 2, figsize=(12, 4.8))
        keys = {"record_ns_per_node": "record", "execute_ns_per_node": "execute", "rerun_ns_per_node": "execute again",
                "walk_ns_per_node": "walk alone"}
        for ax, shape in zip(axes, ("chain", "tree")):
            pts = [r for r in g if r["shape"] == shape]
            for key, name in keys.items():
                ax.plot([r["n"] for r in pts], [r[key] for r in pts], marker="o", label=name)
            ax.set(xscale="log", yscale="log", xlabel="nodes (N)", title=f"{shape}: ns per node")
            ax.grid(True, which="both", alpha=0.3)
        axes[1].legend(fontsize=8)
        fig.tight_layout()
        fig.savefig(os.path.join(self.plots, "bench-graph.png"), dpi=110)
        plt.close(fig)

    def write(self, out_path: str, plots: str) -> str:
        self.plots = plots
        self.latency()
        self.graph_py_section()
        self.bandwidth()
        self.large_section()
        self.core_section()
        self.graph_section()
        e = self.env
        head = f"""# quarnel benchmarks

Produced by `bench/run{' --quick' if e['quick'] else ''}{' --large' if e['large'] else ''}` at commit {e['commit']} on
{e['date']}. Machine: {e['cpu']}, {e['cores']} cores, {e['memory']}; kernel {e['kernel']}, {e['glibc']}; CPython
{e['python']}, pybind11 {e['pybind11']}. Other work may share the machine: figures are medians over interleaved
rounds, and ratios are taken between figures measured side by side. What bounds the figures, from measurements
beyond this run's, is in [docs/performance.md](performance.md).

## Targets

{table(["target", "measured", ""], self.targets)}

![graph scaling](bench-graph.png)
"""
        text = head + "\n" + "\n".join(self.sections)
        with open(out_path, "w") as f:
            f.write(text)
        return text


def main() -> None:
    results, out_path, plots = sys.argv[1:4]
    print(Report(results).write(out_path, plots))


if __name__ == "__main__":
    main()
