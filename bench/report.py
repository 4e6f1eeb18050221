"""Turns the benchmark results into the markdown report and its plots.

    python bench/report.py RESULTS_DIR REPORT.md PLOT_DIR

RESULTS_DIR holds what bench/run collected: env.json, latency.json,
bandwidth-first-touch.json, bandwidth-warm.json, core.jsonl, graph.json, and
PyTorch's torch-latency.json, torch-bandwidth-first-touch.json and
torch-bandwidth-warm.json, or instead torch-missing.txt saying why not.
"""

from __future__ import annotations

import json
import math
import os
import sys

KiB, MiB, GiB = 1 << 10, 1 << 20, 1 << 30


def load(path: str):
    if path.endswith(".jsonl"):
        with open(path) as f:
            return [json.loads(line) for line in f if line.strip()]
    with open(path) as f:
        return json.load(f)


def size_name(b: float) -> str:
    b = int(b)
    if b >= GiB:
        return f"{b // GiB} GiB"
    if b >= MiB:
        return f"{b // MiB} MiB"
    return f"{b // KiB} KiB"


def fmt(x: float | None, digits: int = 0) -> str:
    if x is None or (isinstance(x, float) and math.isnan(x)):
        return "–"
    return f"{x:,.{digits}f}"


def verdict(ok: bool) -> str:
    return "met" if ok else "**missed**"


def table(header: list[str], rows: list[list[str]]) -> str:
    out = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    out += ["| " + " | ".join(r) + " |" for r in rows]
    return "\n".join(out)


def slope(xs: list[float], ys: list[float]) -> float:
    """Least-squares slope of log y against log x."""
    lx = [math.log(x) for x in xs]
    ly = [math.log(y) for y in ys]
    mx, my = sum(lx) / len(lx), sum(ly) / len(ly)
    return sum((a - mx) * (b - my) for a, b in zip(lx, ly)) / sum((a - mx) ** 2 for a in lx)


class Report:
    def __init__(self, res_dir: str, plot_dir: str) -> None:
        self.dir = res_dir
        self.plot_dir = plot_dir
        self.env = load(os.path.join(res_dir, "env.json"))
        self.lat = load(os.path.join(res_dir, "latency.json"))
        self.lat_warm = load(os.path.join(res_dir, "latency-warm-heap.json"))
        self.bw = {r: load(os.path.join(res_dir, f"bandwidth-{r}.json")) for r in ("first-touch", "warm")}
        self.core = load(os.path.join(res_dir, "core.jsonl"))
        self.graph = load(os.path.join(res_dir, "graph.json"))["rows"]
        self.torch = self.merge_torch() if os.path.exists(os.path.join(res_dir, "torch-latency.json")) else None
        self.headline: list[list[str]] = []
        self.sections: list[str] = []

    def merge_torch(self) -> dict:
        """Puts torch_side.py's figures where the PyTorch columns read them, and
        returns what it says about its process."""
        lat = load(os.path.join(self.dir, "torch-latency.json"))
        # Only the torch/ keys: its empty loops are those of another process.
        self.lat["ns"].update((k, v) for k, v in lat["ns"].items() if k.startswith("torch/"))
        for regime, d in self.bw.items():
            t = load(os.path.join(self.dir, f"torch-bandwidth-{regime}.json"))
            if [r["bytes"] for r in t["rows"]] != [r["bytes"] for r in d["rows"]]:
                raise ValueError(f"torch-bandwidth-{regime}.json and bandwidth-{regime}.json have different sizes")
            d["columns"] += t["columns"]
            for row, trow in zip(d["rows"], t["rows"]):
                row.update((c + "_ns", trow[c + "_ns"]) for c in t["columns"])
        return {k: lat[k] for k in ("torch", "python", "threads")}

    def torch_missing(self) -> str:
        try:
            with open(os.path.join(self.dir, "torch-missing.txt")) as f:
                return f.read().strip()
        except FileNotFoundError:
            return "bench/run left neither PyTorch's results nor a reason"

    def torch_sentence(self) -> str:
        """One sentence for a table with a PyTorch column."""
        if self.torch:
            return (f" PyTorch {self.torch['torch']} is measured in a separate process on CPython "
                    f"{self.torch['python']} with {self.torch['threads']} thread (see the notes).")
        return " The PyTorch column is empty: " + self.torch_missing().rstrip(".") + "."

    # --- per-call latency -------------------------------------------------
    def latency(self) -> None:
        ns, ratio = self.lat["ns"], self.lat["ratio"]
        rows, worst = [], (0.0, "")
        for r in self.lat["rows"]:
            k, lim = r["key"], r["limit"]
            q, f = ns[f"quarnel/{k}"], ns[f"floor/{k}"]
            rt = ratio[k]
            ok = lim is None or rt <= lim
            if lim == 1.3 and rt > worst[0]:
                worst = (rt, r["what"])
            rows.append([f"`{r['what']}`", fmt(q), fmt(f), f"{rt:.2f}", "–" if lim is None else f"≤ {lim}",
                         "info" if lim is None else verdict(ok),
                         fmt(ns.get(f"numpy/{k}")) + (f" (`{r['numpy_stmt']}`)" if r["numpy_stmt"] else ""),
                         fmt(ns.get(f"torch/{k}")), r["shape"]])
        plain = [r for r in self.lat["rows"] if r["limit"] == 1.3]
        all_ok = all(ratio[r["key"]] <= 1.3 for r in plain)
        self.headline.append(["Every bound call ≤ 1.3x the floor of its call shape",
                              f"worst {worst[0]:.2f}x (`{worst[1]}`)", verdict(all_ok)])
        for key, what, lim in (("add", "Lazy `a + b` ≤ 2x the floor's operator", 2.0),
                               ("execute", "`execute` of one pending result ≤ 4x the floor's one-object call", 4.0)):
            self.headline.append([what, f"{ratio[key]:.2f}x ({fmt(ns['quarnel/' + key])} ns vs "
                                        f"{fmt(ns['floor/' + key])} ns)", verdict(ratio[key] <= lim)])
        basics = [[f"`{b['what']}`", fmt(ns[f"floor/{b['key']}"])] for b in self.lat["basics"]]
        self.sections.append(f"""## Per-call latency from Python

One process, {self.lat['rounds']} interleaved rounds; each round runs every case once, for about
{self.lat['target_ns'] / 1e6:.0f} ms, in an order shuffled anew for each round. Figures are medians in ns per call,
net of the empty loop ({fmt(statistics_median(self.lat['samples']['_loop_repeat']), 1)} ns). The ratio is the
median over rounds of _quarnel's time over the floor's time in the same round, so that a slow spell of the
machine cancels out. The floor is `_bench_floor`, a pybind11 module built for the benchmark only, whose
entries have _quarnel's signatures (argument kinds, defaults, named parameters, result kind, default holder)
and empty bodies. `execute` is timed on results made just before, in batches of 256; the `info` row times
results made 16,384 adds earlier, whose memory has left the caches.{self.torch_sentence()}

{table(["call", "_quarnel ns", "floor ns", "ratio", "limit", "", "NumPy ns", "PyTorch ns", "floor call shape"], rows)}

The floor's bare call shapes, for scale:

{table(["floor call", "ns"], basics)}

The same add and execute rows in a second process whose heap had 2 GiB of pages faulted in beforehand (malloc
keeping freed memory), so that the memory the graph keeps is not touched for the first time:

{table(["call", "_quarnel ns", "floor ns", "ratio"],
       [[f"`{r['what']}`", fmt(self.lat_warm['ns'][f"quarnel/{r['key']}"]), fmt(self.lat_warm['ns'][f"floor/{r['key']}"]),
         f"{self.lat_warm['ratio'][r['key']]:.2f}"] for r in self.lat_warm['rows'] if r['key'] in self.lat_warm['ratio']])}

The process-wide graph only grows: by the end of this section it held about
{self.lat['quarnel_nodes_recorded']:,} recorded adds, and the cost of an add depends on that (see the graph
section: every add keeps about 390 bytes that nothing frees, so adds keep touching new memory).
NumPy's `a + b` computes the sum; ours records it. NumPy's `repr` prints the values.
""")

    # --- bandwidth --------------------------------------------------------
    def bandwidth(self) -> None:
        text = ["## Bandwidth of zeros and ones", """
Each call allocates, fills and frees (the Python object is dropped at once); GB/s is bytes over the median
time of a call, from Python, fp32, interleaved rounds in one process per regime. **first-touch**: malloc maps
every block of 32 KiB or more afresh, so every call pays the kernel's page faults; **warm**: malloc keeps
freed memory mapped, so pages are present and the figures are those of the fill. The C floor is
`posix_memalign(16)` + `memset` + `free` of the same size, called through the floor module as
`alloc_memset_free(nbytes)`, a call that costs about 150 ns less than one with zeros' argument shape (a list
of sizes and two defaulted enumerations); "C floor, zeros' call shape" does the same memory work behind that
shape. The ratio columns are _quarnel over the C floor with the byte 0 (and, for ones, over the C floor with
the byte 0x3f).""" + self.torch_sentence() + "\n"]
        for regime, d in self.bw.items():
            cols = d["columns"]
            hdr = ["size", "C floor", "C floor 0x3f", "C floor, zeros' call shape", "zeros", "zeros/floor",
                   "zeros/floor (same call shape)", "ones", "ones/floor", "ones/floor 0x3f"]
            extra = [c for c in cols if c.startswith(("numpy", "torch"))]
            names = {"numpy_zeros": "np.zeros", "numpy_zeros_touched": "np.zeros + 1 write/page",
                     "numpy_ones": "np.ones", "torch_zeros": "torch.zeros", "torch_ones": "torch.ones"}
            hdr += [names[c] for c in extra]
            rows = []
            for r in d["rows"]:
                b = r["bytes"]
                gb = {c: b / r[c + "_ns"] for c in cols}
                rows.append([size_name(b), fmt(gb["floor"], 1), fmt(gb["floor_nonzero"], 1), fmt(gb["floor_shaped"], 1),
                             fmt(gb["quarnel_zeros"], 1), f"{gb['quarnel_zeros'] / gb['floor']:.2f}",
                             f"{gb['quarnel_zeros'] / gb['floor_shaped']:.2f}",
                             fmt(gb["quarnel_ones"], 1), f"{gb['quarnel_ones'] / gb['floor']:.2f}",
                             f"{gb['quarnel_ones'] / gb['floor_nonzero']:.2f}"] + [fmt(gb[c], 1) for c in extra])
            text.append(f"### {regime} (GB/s)\n\n" + table(hdr, rows) + "\n")
            big = [r for r in d["rows"] if r["bytes"] >= MiB]
            z = min(r["floor_ns"] / r["quarnel_zeros_ns"] for r in big)
            zs = min(r["floor_shaped_ns"] / r["quarnel_zeros_ns"] for r in big)
            o = min(r["floor_ns"] / r["quarnel_ones_ns"] for r in big)
            onz = min(r["floor_nonzero_ns"] / r["quarnel_ones_ns"] for r in big)
            self.headline.append([f"`zeros` ≥ 0.9x the C floor from 1 MiB up ({regime})",
                                  f"worst {z:.2f}x; {zs:.2f}x against the floor called with zeros' argument shape",
                                  verdict(z >= 0.9)])
            self.headline.append([f"`ones` ≥ 0.9x the C floor from 1 MiB up ({regime})",
                                  f"worst {o:.2f}x against memset 0; {onz:.2f}x against memset 0x3f",
                                  verdict(o >= 0.9) + ("" if o >= 0.9 else (" (met against 0x3f)" if onz >= 0.9 else ""))])
        spreads = []
        for regime, d in self.bw.items():
            small = [r for r in d["rows"] if r["bytes"] <= 16 * MiB]
            worst = max(small, key=lambda r: abs(r["floor_ns"] / r["floor_nonzero_ns"] - 1))
            spreads.append(f"{abs(worst['floor_ns'] / worst['floor_nonzero_ns'] - 1) * 100:.0f}% ({regime}, "
                           f"{size_name(worst['bytes'])})")
        text.append(f"""How noisy these are: up to 16 MiB the two C floors do the same work (only the byte differs), yet they
differ by up to {' and '.join(spreads)} in this run: a ratio that close to 1 tells nothing either way.
""")
        ft = self.bw["first-touch"]["rows"][-1]
        per_page = ft["floor_ns"] / (ft["bytes"] / 4096)
        self.page_fault_ns = per_page
        text.append(f"""In the first-touch regime the kernel's page faults dominate: the C floor spends about
{per_page:,.0f} ns per 4 KiB page at {size_name(ft['bytes'])}. NumPy's lazy `zeros` gets its block from calloc,
which on fresh pages writes nothing at all; one write per page shows what using it costs. NumPy also asks for
transparent huge pages on large blocks (`madvise`), which makes its first touch of big blocks much cheaper
than 4 KiB faults; the buffer design here makes one platform call per buffer and does not do that.
""")
        self.sections.append("\n".join(text))
        self.plot_bandwidth()

    # --- C++ microbenchmarks ----------------------------------------------
    def core_section(self) -> None:
        fills = [r for r in self.core if r["kind"] == "fill"]
        copies = [r for r in self.core if r["kind"] == "contiguous_copy"]
        strided = [r for r in self.core if r["kind"] == "strided_copy"]
        frows = [[r["size"], fmt(r["bytes"] / r["memset_ns"], 1), fmt(r["bytes"] / r["memset_nonzero_ns"], 1),
                  fmt(r["bytes"] / r["fill_fp32_ns"], 1), fmt(r["bytes"] / r["fill_f64_ns"], 1),
                  f"{r['memset_ns'] / r['fill_fp32_ns']:.2f}", f"{r['memset_nonzero_ns'] / r['fill_fp32_ns']:.2f}"]
                 for r in fills]
        crows = [[r["size"], fmt(r["bytes"] / r["quarnel_ns"], 1), fmt(r["bytes"] / r["alloc_memcpy_free_ns"], 1),
                  fmt(r["bytes"] / r["memcpy_only_ns"], 1), f"{r['alloc_memcpy_free_ns'] / r['quarnel_ns']:.2f}"]
                 for r in copies]
        srows = []
        for r in strided:
            b = r["bytes"]
            bound = traffic_bound(r)
            srows.append([r["case"], r["dtype"], fmt(b / r["quarnel_ns"], 1), fmt(b / r["naive_ns"], 1),
                          fmt(b / r["alloc_memcpy_free_ns"], 1), fmt(bound, 1),
                          f"{r['naive_ns'] / r['quarnel_ns']:.2f}", f"{bound * r['naive_ns'] / b:.2f}",
                          f"{r['alloc_memcpy_free_ns'] / r['quarnel_ns']:.2f}"])
        worst = min((r for r in strided if "inner stride" in r["case"]), key=lambda r: r["naive_ns"] / r["quarnel_ns"])
        listed = [r for r in strided if "inner stride" not in r["case"]]
        worst_listed = min(listed, key=lambda r: r["naive_ns"] / r["quarnel_ns"])
        win = [r for r in strided if r["case"].startswith("window of a wide storage, 4 KiB rows") and r["dtype"] == "fp32"]
        wmin = min(r["alloc_memcpy_free_ns"] / r["quarnel_ns"] for r in win)
        size = size_name(win[0]["bytes"])
        wl = worst_listed
        wl_bound = traffic_bound(wl) * wl["naive_ns"] / wl["bytes"]
        self.headline.append(["Non-contiguous copy ≥ 2x the naive index loop (windows, outer stride 0, both widths, "
                              "with and without offset)",
                              f"worst {wl['naive_ns'] / wl['quarnel_ns']:.2f}x ({wl['case']}, {wl['dtype']}; "
                              f"memory traffic bounds that case at {wl_bound:.2f}x)",
                              verdict(wl["naive_ns"] / wl["quarnel_ns"] >= 2)])
        self.headline.append(["… and also for an inner stride of 2 (extra case)",
                              f"worst {worst['naive_ns'] / worst['quarnel_ns']:.2f}x ({worst['case']}, {worst['dtype']})",
                              verdict(worst["naive_ns"] / worst["quarnel_ns"] >= 2)])
        self.headline.append([f"Window of a wide fp32 storage at {size} ≥ 0.5x memcpy bandwidth",
                              f"worst {wmin:.2f}x", verdict(wmin >= 0.5)])
        self.sections.append(f"""## C++ microbenchmarks of the core

Plain C++ with `std::chrono`, built with `-DQUARNEL_BUILD_BENCH=ON` (`build/bench/bench/quarnel_bench_core`).
Medians over interleaved rounds. Every variant that allocates does so the same way, with malloc keeping freed
memory mapped, so these are fill and copy speeds, not page-fault costs. GB/s counts the bytes written.

### Fill: `fill_ones` against memset (no allocation)

{table(["size", "memset 0", "memset 0x3f", "ones fp32", "ones f64", "fp32 / memset 0", "fp32 / memset 0x3f"], frows)}

### Contiguous copy (`copy_contiguous_impl`) against memcpy

{table(["size", "copy", "alloc + memcpy + free", "memcpy alone", "copy / (alloc + memcpy + free)"], crows)}

### Non-contiguous copies

`copy_contiguous_impl` of a 2-D layout over an explicit storage, against the naive element-at-a-time walk
(counters per dimension, element type known at compile time, same allocation) and against allocation +
memcpy of the same number of bytes from a contiguous source. The windows read half of each row of a storage
twice as wide; "outer stride 0" repeats one row; "inner stride 2" (not asked for) reads every other element.
Offsets are in elements.

{table(["case", "type", "copy GB/s", "naive GB/s", "memcpy GB/s", "traffic bound GB/s", "x naive",
        "bound x naive", "x memcpy"], srows)}

"traffic bound" is the speed the copy would reach if it moved memory as fast as memcpy does: memcpy reads and
writes each byte once, while a copy whose rows share cache lines with skipped elements (16-byte rows 32 bytes
apart, every other element) must read every line of the span, twice the bytes it writes. Where "bound x naive"
is under 2, twice the naive loop's speed is out of reach on this machine whatever the code.
""")

    # --- graph ------------------------------------------------------------
    def graph_section(self) -> None:
        rows = []
        for r in sorted(self.graph, key=lambda r: (r["shape"], r["heap"], r["n"])):
            rows.append([r["shape"], r["heap"], f"{r['n']:,}", str(r["passes"]), fmt(r["record_ns_per_node"]),
                         fmt(r["record_bytes_per_node"]), fmt(r["execute_ns_per_node"]),
                         fmt(r["execute_bytes_per_node"]), fmt(r["rerun_ns_per_node"])])
        checks = []
        flat_ok = True
        for shape in ("chain", "tree"):
            for heap in ("default", "warm"):
                pts = sorted((r for r in self.graph if r["shape"] == shape and r["heap"] == heap), key=lambda r: r["n"])
                ns = [r["n"] for r in pts]
                for metric in ("record", "execute"):
                    per = [r[f"{metric}_ns_per_node"] for r in pts]
                    tot = [p * n for p, n in zip(per, ns)]
                    s = slope(ns, tot)
                    far = [(n, t) for n, t in zip(ns, tot) if n >= 10**5]
                    s_far = slope([n for n, _ in far], [t for _, t in far]) if len(far) >= 2 else None
                    spread = max(per) / min(per)
                    ok = s <= 1.15
                    if metric == "execute" and heap == "default":
                        flat_ok &= ok
                    checks.append([shape, heap, metric, f"{ns[0]:,} – {ns[-1]:,}", f"{s:.3f}",
                                   "–" if s_far is None else f"{s_far:.3f}", f"{spread:.2f}",
                                   "flat" if ok else "**grows**"])
        top = max(r["n"] for r in self.graph)
        bytes_max = max(r["record_bytes_per_node"] for r in self.graph)
        rec_default = max(r["record_ns_per_node"] for r in self.graph if r["heap"] == "default")
        rec_warm = max(r["record_ns_per_node"] for r in self.graph if r["heap"] == "warm")
        self.headline.append(["≤ 300 bytes per recorded add (C++)", f"{bytes_max:,.0f} bytes", verdict(bytes_max <= 300)])
        self.headline.append(["≤ 300 ns per recorded add (C++), fresh heap", f"worst {rec_default:,.0f} ns",
                              verdict(rec_default <= 300)])
        self.headline.append(["≤ 300 ns per recorded add (C++), heap pages already present",
                              f"worst {rec_warm:,.0f} ns", verdict(rec_warm <= 300)])
        ex = [c for c in checks if c[2] == "execute" and c[1] == "default"]
        self.headline.append([f"`execute` linear up to {top:,} nodes",
                              "log-log slope of total time over all N, chain and tree: " + ", ".join(c[4] for c in ex)
                              + "; from 10^5 up: " + ", ".join(c[5] for c in ex)
                              + "; per-node cost spread " + ", ".join(c[6] + "x" for c in ex),
                              verdict(flat_ok) + ("" if top >= 10**7 else " (only up to this N; run with --large)")])
        self.sections.append(f"""## Graph scaling

`build/bench/bench/quarnel_bench_graph` records N lazy adds into the process-wide graph (a chain `t = t + b`,
or a balanced tree of adds over one leaf), executes the last result (which walks and allocates all N), and
executes it again (a walk alone). Each point runs in processes of its own (fresh graph), repeated within the
process up to 20 times; figures are medians. Bytes are heap bytes in use (`mallinfo2`) after minus before.
"default" is the ordinary heap, where the graph's ever-growing memory is touched for the first time as it is
recorded; "warm" has the heap's pages faulted in beforehand, which leaves the cost of the recording itself.

{table(["graph", "heap", "N", "passes", "record ns/node", "record B/node", "execute ns/node", "execute B/node",
        "re-execute ns/node"], rows)}

Linearity: least-squares slope of log(total time) against log(N) (1.0 is linear; "flat" up to 1.15), over all N
and from 10^5 nodes up, where the graph (about 50 MB at 10^5) no longer fits the 32 MiB L3 cache; and the spread
of the per-node cost (largest over smallest) across N:

{table(["graph", "heap", "phase", "N", "slope", "slope from 10^5", "spread", ""], checks)}

The work per node is constant (a few hash lookups and insertions, one allocation); what grows is the price of
each memory access once the index, the walk's visited set and the nodes no longer fit the caches and the TLB.

What one recorded add keeps, by the design's own objects (bytes requested, before malloc's 8-byte header and
16-byte rounding): result body with its count 120, its storage with its count 48, the input list of two
handles 32, the node 88, the index entry 24 plus its bucket 8, the node list's pointer 8: **328 bytes**.
malloc rounds these to 128 + 64 + 48 + 96 + 32 = 368, and the bucket array and node list grow by doubling.
So 300 bytes per add cannot be reached without changing those objects. Executing a node adds its buffer
(48 bytes with its count) and its data block (24 bytes, 32 with alignment): 96 bytes in the table.
""")
        self.plot_graph()

    # --- plots ------------------------------------------------------------
    def plot_graph(self) -> None:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        fig, axes = plt.subplots(1, 2, figsize=(12, 4.8), sharey=True)
        styles = {("chain", "default"): ("tab:blue", "-"), ("chain", "warm"): ("tab:blue", "--"),
                  ("tree", "default"): ("tab:orange", "-"), ("tree", "warm"): ("tab:orange", "--")}
        for ax, metric, title in ((axes[0], "record", "record one add"), (axes[1], "execute", "execute (per node)")):
            for (shape, heap), (color, ls) in styles.items():
                pts = sorted((r for r in self.graph if r["shape"] == shape and r["heap"] == heap), key=lambda r: r["n"])
                ax.plot([r["n"] for r in pts], [r[f"{metric}_ns_per_node"] for r in pts], color=color, ls=ls,
                        marker="o", label=f"{shape}, {heap} heap")
            if metric == "record":
                ax.axhline(300, color="gray", ls=":", lw=1)
                ax.text(2e5, 285, "300 ns target", color="gray", fontsize=8, va="top")
            ax.set_xscale("log")
            ax.set_xlabel("nodes in the graph (N)")
            ax.set_title(title)
            ax.grid(True, which="both", alpha=0.3)
        axes[0].set_ylabel("ns per node")
        axes[0].set_ylim(bottom=0)
        axes[1].legend(fontsize=8)
        fig.suptitle("Graph scaling: ns per node against N (a flat line is a linear total)")
        fig.tight_layout()
        fig.savefig(os.path.join(self.plot_dir, "bench-graph.png"), dpi=110)
        plt.close(fig)

    def plot_bandwidth(self) -> None:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        fig, axes = plt.subplots(1, 2, figsize=(12, 5.4))
        labels = {"floor": ("C floor (memset 0)", "black", "-"), "floor_nonzero": ("C floor (memset 0x3f)", "gray", "-"),
                  "floor_shaped": ("C floor, zeros' call shape", "black", ":"),
                  "quarnel_zeros": ("quarnel zeros", "tab:blue", "-"), "quarnel_ones": ("quarnel ones", "tab:blue", "--"),
                  "numpy_zeros": ("np.zeros (lazy)", "tab:green", ":"),
                  "numpy_zeros_touched": ("np.zeros + 1 write/page", "tab:green", "-"),
                  "numpy_ones": ("np.ones", "tab:green", "--"), "torch_zeros": ("torch.zeros", "tab:red", "-"),
                  "torch_ones": ("torch.ones", "tab:red", "--")}
        for ax, (regime, d) in zip(axes, self.bw.items()):
            xs = [r["bytes"] for r in d["rows"]]
            for c in d["columns"]:
                if regime == "first-touch" and c == "numpy_zeros":
                    continue  # lazy: thousands of GB/s, it would flatten every other line
                name, color, ls = labels[c]
                ax.plot(xs, [r["bytes"] / r[c + "_ns"] for r in d["rows"]], color=color, ls=ls, marker="o", ms=3,
                        label=name)
            if regime == "first-touch" and "numpy_zeros" in d["columns"]:
                ax.text(0.02, 0.97, "np.zeros (lazy, nothing written) is off the chart: "
                        f"{min(r['bytes'] / r['numpy_zeros_ns'] for r in d['rows']):,.0f}–"
                        f"{max(r['bytes'] / r['numpy_zeros_ns'] for r in d['rows']):,.0f} GB/s",
                        transform=ax.transAxes, fontsize=8, va="top")
            ax.set_xscale("log", base=2)
            ax.set_ylim(bottom=0)
            ax.set_xticks(xs)
            ax.set_xticklabels([size_name(x) for x in xs], rotation=45, fontsize=8)
            ax.set_title(f"{regime}: allocate + fill + free")
            ax.set_ylabel("GB/s")
            ax.grid(True, which="both", alpha=0.3)
        # One legend under both panels (the warm panel has every line).
        handles, names = axes[1].get_legend_handles_labels()
        fig.legend(handles, names, loc="lower center", ncol=5, fontsize=8, frameon=False)
        fig.tight_layout(rect=(0, 0.1, 1, 1))
        fig.savefig(os.path.join(self.plot_dir, "bench-bandwidth.png"), dpi=110)
        plt.close(fig)

    # --- whole report -----------------------------------------------------
    def write(self, out_path: str) -> str:
        self.latency()
        self.bandwidth()
        self.core_section()
        self.graph_section()
        e = self.env
        t = self.torch
        torch_env = (f"{t['torch']} (separate process, CPython {t['python']}, {t['threads']} thread)" if t
                     else "not measured")
        torch_note = f"{t['torch']}, {e['torch_note']}" if t else "not measured: " + self.torch_missing()
        head = f"""# quarnel benchmarks

Produced by `bench/run{' --quick' if e['quick'] else ''}{' --large' if e['large'] else ''}` on {e['date']}.
Machine: {e['cpu']}, {e['cores']} cores, {e['memory']}; kernel {e['kernel']}, {e['glibc']}; CPython {e['python']},
pybind11 {e['pybind11']}, NumPy {e['numpy'] or 'not installed'}, PyTorch {torch_env}.
Other work may run on the machine at the same time: figures are medians over interleaved rounds, and ratios are taken
between figures measured side by side.

## Targets

{table(["target", "measured", ""], self.headline)}

![graph scaling](bench-graph.png)

![bandwidth](bench-bandwidth.png)
"""
        lw = self.lat_warm
        bounds = f"""## What bounds the missed targets

- **Lazy add and execute.** The design has every add keep five heap objects for the life of the process (the
  result's body and its storage, each with its count; the node; its input list; the index entry) and every
  executed result two more (the buffer with its count, the data block). Nothing is ever freed, so each of them is
  a fresh allocation (malloc's slower path, no recycled block) in memory the process touches for the first time.
  The floor's operator allocates one object and frees it again. With the heap's pages already present the ratios
  are {lw['ratio'].get('add', float('nan')):.2f}x for the add and {lw['ratio'].get('execute', float('nan')):.2f}x
  for execute (table above), so the first touch is not the whole of the gap: the allocations and the index
  insertion themselves are the rest. In C++ a recorded add costs
  {min(r['record_ns_per_node'] for r in self.graph if r['heap'] == 'warm'):,.0f}–{max(r['record_ns_per_node'] for r in self.graph if r['heap'] == 'warm'):,.0f} ns with the pages present (graph section).
- **Bytes per add.** 328 bytes are the design's own objects before any allocator overhead (graph section).
- **ones against memset 0 at 64 MiB and up (warm).** This machine writes zeros faster than any other value at
  those sizes: memset with the byte 0x3f runs no faster than `ones` (fill table, and the 0x3f columns).
- **Non-contiguous copies of 16-byte rows and of every other element, 8-byte elements.** The copy reads every
  cache line of the span, twice the bytes it writes, and runs at the memory-traffic bound (strided table); twice
  the naive loop lies above that bound.
- **execute's cost per node at 10^6–10^7 nodes.** The walk makes a constant number of hash lookups and
  insertions per node into the design's `std::unordered_map` index and `std::unordered_set` visited set; once
  those and the nodes outgrow the caches and the TLB, every one of them is a memory access at random.
"""
        notes = bounds + f"""
## Notes

- PyTorch: {torch_note}
- Page faults on this machine cost about {self.page_fault_ns:,.0f} ns per 4 KiB page. The graph keeps every
  recorded add (about 390 bytes) and every executed result (96 bytes) for the life of the process, so recording
  and executing touch new memory all the time; the "warm" heap rows of the graph section show the cost without
  those faults.
- Large fills with the byte 0 run faster here than fills with any other value (compare the two memset
  columns): `ones` cannot use that, so its figures are also given against memset with a nonzero byte.
- NumPy's BLAS settings (OPENBLAS_*) are unset for the Python runs; none of the operations timed here uses BLAS.
"""
        text = head + "\n" + "\n".join(self.sections) + "\n" + notes
        with open(out_path, "w") as f:
            f.write(text)
        return text


def traffic_bound(r: dict) -> float:
    """GB/s of a strided copy that moved its memory at memcpy's rate: memcpy
    moves 2 bytes per byte written, this copy 1 + (bytes of cache lines it
    must read per byte written)."""
    w = 4 if r["dtype"] in ("fp32", "i32") else 8
    cols, outer, inner = r["cols"], r["outer_stride"], r["inner_stride"]
    if outer == 0:
        read = 0.0  # one row, read once and kept in cache
    else:
        region = ((cols - 1) * inner + 1) * w
        per_row = min(outer * w, math.ceil(region / 64) * 64)
        read = per_row / (cols * w)
    memcpy = r["bytes"] / r["alloc_memcpy_free_ns"]
    return memcpy * 2 / (1 + read)


def statistics_median(xs: list[float]) -> float:
    import statistics
    return statistics.median(xs)


def main() -> None:
    res_dir, out_path, plot_dir = sys.argv[1:4]
    print(Report(res_dir, plot_dir).write(out_path))


if __name__ == "__main__":
    main()
