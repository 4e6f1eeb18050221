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
        self.bw = {r: load(os.path.join(res_dir, f"bandwidth-{r}.json")) for r in ("first-touch", "warm")}
        self.core = load(os.path.join(res_dir, "core.jsonl"))
        graph = load(os.path.join(res_dir, "graph.json"))
        self.graph = graph["rows"]
        self.graph_unsettled = graph.get("unsettled_chain")
        self.large_warm_ok = True
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
        for key, what in (("add", "Lazy `a + b` of two [2, 3] fp32 tensors, from Python, ≤ {}x the floor's operator"),
                          ("execute", "`execute(c)` of one pending result made just before ≤ {}x the floor's "
                                      "one-object call"),
                          ("execute_cold", "`execute(c)` of a result made 16,384 adds earlier ≤ {}x the same call")):
            lim = next(r["limit"] for r in self.lat["rows"] if r["key"] == key)
            self.headline.append([what.format(f"{lim:g}"), f"{ratio[key]:.2f}x ({fmt(ns['quarnel/' + key])} ns vs "
                                                            f"{fmt(ns['floor/' + key])} ns)", verdict(ratio[key] <= lim)])
        peers = f"NumPy's eager add {fmt(ns.get('numpy/add'))} ns"
        if ns.get("torch/add") is not None:
            peers += f", PyTorch's {fmt(ns['torch/add'])} ns"
        self.headline.append(["Stretch: lazy `a + b` faster than NumPy's eager add of the same operands",
                              f"{ns['quarnel/add'] / ns['numpy/add']:.2f}x ({fmt(ns['quarnel/add'])} ns; {peers})"
                              if ns.get("numpy/add") else "NumPy not installed",
                              "info" if not ns.get("numpy/add") else
                              "reached" if ns["quarnel/add"] < ns["numpy/add"] else "not reached (stretch)"])
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

The process-wide graph only grows: by the end of this section it held about
{self.lat['quarnel_nodes_recorded']:,} recorded adds, each keeping about 324 bytes (graph section), so every
add and every execute of a new result touches memory the process has not used before.
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
                     "numpy_ones": "np.ones", "numpy_empty_touched": "np.empty + 1 write/page",
                     "torch_zeros": "torch.zeros", "torch_ones": "torch.ones"}
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
than 4 KiB faults; so do buffers here from 4 MiB up, and `zeros` of a fresh block writes nothing either
(see the section on large blocks).
""")
        self.sections.append("\n".join(text))
        self.plot_bandwidth()

    # --- large blocks -----------------------------------------------------
    def large_section(self) -> None:
        ft = {r["bytes"]: r for r in self.bw["first-touch"]["rows"]}
        cpp = {r["bytes"]: r for r in self.core if r["kind"] == "first_touch"}
        sizes = [b for b in sorted(cpp) if b >= 16 * MiB and b in ft]
        if not sizes or "numpy_empty_touched_ns" not in ft[sizes[0]]:
            return
        gb = lambda r, c: r["bytes"] / r[c + "_ns"]  # noqa: E731
        rows, checks = [], {}
        for b in sizes:
            p, c = ft[b], cpp[b]
            np_zt, np_o, np_et = gb(p, "numpy_zeros_touched"), gb(p, "numpy_ones"), gb(p, "numpy_empty_touched")
            z_py, z_cpp, old = gb(p, "quarnel_zeros"), gb(c, "zeros"), gb(p, "floor")
            vals = {
                "zeros (Python) over np.zeros + 1 write/page": (z_py / np_zt, 0.8),
                "zeros + 1 write/page (C++) over np.zeros + 1 write/page": (z_cpp / np_zt, 0.8),
                "zeros (Python) over the old zeros (C floor, 16-byte aligned)": (z_py / old, 4.0 if b >= 64 * MiB else None),
                "ones over np.ones": (gb(p, "quarnel_ones") / np_o, 1.0),
                "new Tensor + 1 write/page (C++) over np.empty + 1 write/page": (gb(c, "tensor") / np_et, 1.0),
                "execute of a pending [n] + 1 write/page (C++) over np.empty + 1 write/page": (gb(c, "execute") / np_et, 1.0),
                "contiguous copy of a strided window (C++) over the huge-page C floor's memcpy": (
                    c["floor_huge_memcpy_ns"] / c["copy_ns"], 0.9),
            }
            for k, v in vals.items():
                checks.setdefault(k, []).append((b, *v))
            rows.append([size_name(b), fmt(z_py, 1), fmt(z_cpp, 1), fmt(np_zt, 1), fmt(old, 1), fmt(gb(p, "quarnel_ones"), 1),
                         fmt(np_o, 1), fmt(gb(p, "floor_huge"), 1), fmt(gb(c, "tensor"), 1), fmt(gb(c, "execute"), 1),
                         fmt(np_et, 1), fmt(gb(c, "floor_touch"), 1), fmt(gb(c, "floor_huge_touch"), 1),
                         fmt(gb(c, "copy"), 1), fmt(gb(c, "floor_huge_memcpy"), 1), fmt(gb(c, "floor_memcpy"), 1)])
        target_rows = []
        for k, pts in checks.items():
            limited = [(b, r, lim) for b, r, lim in pts if lim is not None]
            ok = all(r >= lim for _, r, lim in limited)
            worst = min(limited, key=lambda t: t[1] / t[2])
            target_rows.append([k, f"≥ {worst[2]:g}x" + (" from 64 MiB" if "old zeros" in k else ""),
                                ", ".join(f"{size_name(b)} {r:.2f}x" for b, r, _ in pts), verdict(ok)])
            self.headline.append([f"Large blocks: {k} ≥ {worst[2]:g}x" + (" from 64 MiB up" if "old zeros" in k else ""),
                                  f"worst {worst[1]:.2f}x ({size_name(worst[0])})", verdict(ok)])
        # Warm blocks from 4 MiB, where the new allocation and zeros' look at the pages could cost, against
        # the old floor doing the same work (memset on pages already present), beside the run's own noise.
        # Below 4 MiB the path is the old one; those ratios are reported as they are.
        def ratios(pred):
            out = []
            for regime, d in self.bw.items():
                for r in d["rows"]:
                    if pred(regime, r["bytes"]):
                        where = f"{regime}, {size_name(r['bytes'])}"
                        out.append((r["floor_shaped_ns"] / r["quarnel_zeros_ns"], "zeros, " + where))
                        out.append((r["floor_nonzero_ns"] / r["quarnel_ones_ns"], "ones, " + where))
            return out
        noise = max(abs(r["floor_ns"] / r["floor_nonzero_ns"] - 1) for d in self.bw.values() for r in d["rows"]
                    if r["bytes"] <= 16 * MiB)
        worst = min(ratios(lambda regime, b: regime == "warm" and b >= 4 * MiB))
        small = min(ratios(lambda regime, b: b < 4 * MiB and b >= MiB))
        self.headline.append(["Large blocks: warm figures no worse than before (over the old C floor doing the same "
                              "work, 4 MiB up, beside the run's noise)",
                              f"worst {worst[0]:.2f}x ({worst[1]}); the two floors that do the same work differ by up "
                              f"to {noise * 100:.0f}%; below 4 MiB the path is unchanged (worst {small[0]:.2f}x, "
                              f"{small[1]}, from 1 MiB)", verdict(worst[0] >= 1 - noise - 0.05)])
        self.large_warm_ok = worst[0] >= 1 - noise - 0.05
        self.sections.append(f"""## Large blocks on huge pages

From 4 MiB a buffer is aligned to 2 MiB, spans whole 2 MiB pages and is advised as huge pages, so its first
touch faults once per 2 MiB; and `zeros` leaves the pages of a fresh block to the kernel's zero-fill (as
calloc does) and writes only pages already present. All figures are first-touch (every call gets fresh
pages), GB/s, fp32. Python: `bench/bandwidth.py first-touch`, one call = allocate, fill, free. C++:
`quarnel_bench_core first-touch`, where one write per 4 KiB page stands for a user's first use of the
memory (Python cannot write into a tensor). The old C floor is `posix_memalign(16)` with `memset` or one
write per page, what every buffer did before; the huge-page C floor aligns to 2 MiB and advises.

{table(["size", "zeros (Py)", "zeros + 1 w/p (C++)", "np.zeros + 1 w/p", "old zeros (floor)", "ones (Py)",
        "np.ones", "huge floor memset", "Tensor + 1 w/p (C++)", "execute + 1 w/p (C++)", "np.empty + 1 w/p",
        "old floor + 1 w/p", "huge floor + 1 w/p", "strided copy (C++)", "huge floor memcpy", "old floor memcpy"], rows)}

{table(["measure", "limit", "by size", ""], target_rows)}

`zeros` from Python writes nothing on a fresh block, so its figure is that of allocating and freeing; the
C++ column with one write per page is the one to set beside NumPy's `zeros` with a write per page.

In a heap that never maps blocks (the warm settings of the C++ copy benchmarks), glibc's aligned allocation
cannot reuse the space a freed block of the same size leaves until enough freed blocks have merged: the
first few dozen copies of a size land on fresh memory (about 0.4 GB/s here, and up to some twenty blocks'
worth of memory held meanwhile), then reuse settles and the copies run faster than with 16-byte alignment.
The copy benchmarks run each copy that long before timing it. With glibc's default settings the block's
space is reused at once.
""")

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
        g = sorted(self.graph, key=lambda r: (r["shape"], r["n"]))
        rows = [[r["shape"], f"{r['n']:,}", str(r["passes"]), fmt(r["record_ns_per_node"]),
                 fmt(r["record_bytes_per_node"]), fmt(r["execute_ns_per_node"]), fmt(r["execute_bytes_per_node"]),
                 fmt(r["rerun_ns_per_node"]), fmt(r["walk_ns_per_node"], 1), fmt(r["record_execute_s"], 3),
                 fmt(r["peak_bytes"] / MiB)] for r in g]
        top = max(r["n"] for r in g)
        chain = [r for r in g if r["shape"] == "chain"]
        rec_worst = max(chain, key=lambda r: r["record_ns_per_node"])
        self.headline.append([f"C++: recording one add, chain of N, fresh process per N, ≤ 250 ns at every N "
                              f"from 10^3 to {top:,}",
                              f"worst {rec_worst['record_ns_per_node']:,.0f} ns (N = {rec_worst['n']:,}); "
                              + ", ".join(f"{r['record_ns_per_node']:,.0f}" for r in chain),
                              verdict(rec_worst["record_ns_per_node"] <= 250)])
        big = [r for r in g if r["n"] == top]
        kept = max(r["record_bytes_per_node"] for r in big)
        self.headline.append([f"Memory kept per recorded add (resident set growth over N = {top:,}) ≤ 250 bytes",
                              f"{kept:,.0f} bytes", verdict(kept <= 250)])
        checks = []
        for shape in ("chain", "tree"):
            pts = [r for r in g if r["shape"] == shape]
            for key, what in (("execute_ns_per_node", "execute (walk + allocate)"),
                              ("rerun_ns_per_node", "execute again (walk, all allocated)"),
                              ("walk_ns_per_node", "walk alone (`schedule`)")):
                per = [r[key] for r in pts]
                spread = max(per) / min(per)
                checks.append((shape, what, per, spread))
        for what, name in (("execute (walk + allocate)", "`execute` (walk + allocate)"),
                           ("execute again (walk, all allocated)", "`execute` again (the walk alone, run again)")):
            sp = {c[0]: c[3] for c in checks if c[1] == what}
            self.headline.append([f"{name}: cost per node within 1.5x across 10^3 … {top:,}, chain and wide",
                                  f"spread {sp['chain']:.2f}x (chain), {sp['tree']:.2f}x (tree)",
                                  verdict(max(sp.values()) <= 1.5)])
        long = next((r for r in chain if r["n"] == 10**7), None)
        cold = self.graph_unsettled
        if long:
            self.headline.append(["The 10^7-node chain (record, execute) ≤ 6 s, ≤ 3 GB peak",
                                  f"{long['record_execute_s']:.1f} s, {long['peak_bytes'] / 1e9:.2f} GB"
                                  + (f" ({cold['record_execute_s']:.1f} s on memory the host had not backed yet)"
                                     if cold else ""),
                                  verdict(long["record_execute_s"] <= 6 and long["peak_bytes"] <= 3e9)])
        else:
            self.headline.append(["The 10^7-node chain (record, execute) ≤ 6 s, ≤ 3 GB peak", "not run (needs --large)",
                                  "info"])
        spread_rows = [[shape, what] + [fmt(p, 1) for p in per] + [f"{spread:.2f}x"]
                       for shape, what, per, spread in checks]
        ns_cols = [f"{n:,}" for n in sorted({r["n"] for r in g})]
        self.sections.append(f"""## Graph scaling

`build/bench/bench/quarnel_bench_graph` records N lazy adds of [2, 3] fp32 tensors into the process-wide graph
of a fresh process (a chain `t = t + b`, or a balanced tree of adds over one leaf, N/2 nodes wide at the
bottom), executes the last result (which walks the N nodes and allocates their results), executes it again
(a walk that finds every result allocated), and times one more walk on its own (`Executor::schedule`). Every
point runs in processes of its own, in interleaved passes; figures are medians over the passes. Bytes are the
growth of the resident set (`VmRSS`), so they count everything an add keeps; the peak is `VmHWM`.

Each process first touches and frees about as much memory as the point will use ("settling"). This machine
is a virtual machine whose host backs guest memory on its first touch, at several times the cost of the
guest's own page fault; memory a process has just freed comes back already backed. Settled figures measure
the library; the unsettled run of the 10^7 chain below shows what a process gets from memory the host has
not backed yet.{self.unsettled_sentence()}

{table(["graph", "N", "passes", "record ns/node", "record B/node", "execute ns/node", "execute B/node",
        "re-execute ns/node", "walk ns/node", "record + execute s", "peak MiB"], rows)}

Per-node cost across N, and its spread (largest over smallest):

{table(["graph", "phase"] + ns_cols + ["spread"], spread_rows)}

What one recorded add keeps: the node (88 bytes) and its walk entry (12: a mark and the recorded producers of
its two inputs) in the graph's chunks; the result's body with its count (120) and its storage with its count
(56) in the pending arena; and the node's input list, a `std::vector` of two handles, 32 bytes that malloc
makes 48. That is **324 bytes**; the objects the interface fixes (the node, its input list, a body and a
storage, each with the count that `std::shared_ptr` needs) come to 312 of them. Executing a result adds its
data block: 24 bytes, 48 from malloc with alignment and header.
""")
        self.plot_graph()

    def large_warm_bound(self) -> str:
        if self.large_warm_ok:
            return ""
        return """- **Warm large blocks.** In the warm regime malloc never maps a block, and glibc's allocation of a block
  aligned to 2 MiB cannot reuse the space a freed block of the same size leaves until enough freed blocks have
  merged, so some of the calls land on fresh memory (see the section on large blocks). With glibc's default
  settings, where large blocks are mapped or their space is reused at once, there is no such cost.
"""

    def unsettled_sentence(self) -> str:
        c = self.graph_unsettled
        if not c:
            return ""
        return (f" Unsettled, the 10^7 chain recorded at {c['record_ns_per_node']:,.0f} ns a node, executed at "
                f"{c['execute_ns_per_node']:,.0f}, executed again at {c['rerun_ns_per_node']:,.0f} and walked at "
                f"{c['walk_ns_per_node']:,.1f}, {c['record_execute_s']:.1f} s for record and execute, "
                f"peak {c['peak_bytes'] / MiB:,.0f} MiB.")

    # --- plots ------------------------------------------------------------
    def plot_graph(self) -> None:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        fig, axes = plt.subplots(1, 2, figsize=(12, 4.8))
        colors = {"record_ns_per_node": "tab:blue", "execute_ns_per_node": "tab:orange",
                  "rerun_ns_per_node": "tab:green", "walk_ns_per_node": "tab:red"}
        names = {"record_ns_per_node": "record", "execute_ns_per_node": "execute",
                 "rerun_ns_per_node": "execute again", "walk_ns_per_node": "walk alone"}
        for ax, shape in zip(axes, ("chain", "tree")):
            pts = sorted((r for r in self.graph if r["shape"] == shape), key=lambda r: r["n"])
            for key, color in colors.items():
                ax.plot([r["n"] for r in pts], [r[key] for r in pts], color=color, marker="o", label=names[key])
            ax.axhline(250, color="gray", ls=":", lw=1)
            ax.text(pts[0]["n"], 240, "250 ns: recording target", color="gray", fontsize=8, va="top")
            ax.set_xscale("log")
            ax.set_yscale("log")
            ax.set_xlabel("nodes (N)")
            ax.set_title(f"{shape}: ns per node")
            ax.grid(True, which="both", alpha=0.3)
        axes[0].set_ylabel("ns per node")
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
                  "floor_huge": ("C floor, huge pages (memset 0)", "tab:purple", "-"),
                  "floor_huge_nonzero": ("C floor, huge pages (memset 0x3f)", "tab:purple", "--"),
                  "numpy_empty_touched": ("np.empty + 1 write/page", "tab:olive", ":"),
                  "quarnel_zeros": ("quarnel zeros", "tab:blue", "-"), "quarnel_ones": ("quarnel ones", "tab:blue", "--"),
                  "numpy_zeros": ("np.zeros (lazy)", "tab:green", ":"),
                  "numpy_zeros_touched": ("np.zeros + 1 write/page", "tab:green", "-"),
                  "numpy_ones": ("np.ones", "tab:green", "--"), "torch_zeros": ("torch.zeros", "tab:red", "-"),
                  "torch_ones": ("torch.ones", "tab:red", "--")}
        for ax, (regime, d) in zip(axes, self.bw.items()):
            xs = [r["bytes"] for r in d["rows"]]
            for c in d["columns"]:
                name, color, ls = labels[c]
                ax.plot(xs, [r["bytes"] / r[c + "_ns"] for r in d["rows"]], color=color, ls=ls, marker="o", ms=3,
                        label=name)
            if regime == "first-touch":
                ax.text(0.02, 0.97, "np.zeros, and quarnel zeros from 4 MiB, write nothing on a fresh block",
                        transform=ax.transAxes, fontsize=8, va="top")
            ax.set_xscale("log", base=2)
            ax.set_yscale("log")  # lazy zeros run at thousands of GB/s, fills at a few
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
        self.large_section()
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
        g = self.graph
        top = max(r["n"] for r in g)
        walk_small = min(r["walk_ns_per_node"] for r in g if r["n"] == min(x["n"] for x in g))
        add_bound = ""
        if self.lat["ratio"]["add"] > 2.0:
            add_bound = f"""- **Lazy add from Python.** Beyond the floor's operator, an add runs about 825 instructions of its own
  (callgrind, C++), of which malloc's path for a new block (the input list, which the interface fixes as a
  `std::vector` and which nothing ever frees, so no freed block is at hand) is about 190; and it keeps 324
  bytes of new memory, which the kernel charges for as it hands out pages (about
  {324 * self.page_fault_ns / 4096:,.0f} ns an add at this machine's {self.page_fault_ns:,.0f} ns per 4 KiB
  page; more again where the host has to back the memory anew, see below).
"""
        bounds = f"""## What bounds the missed targets

{add_bound}- **Memory per add, and the 10^7 chain's peak.** The interface fixes what an add keeps: a `Node` with its five
  fields (88 bytes), its `inputs` as a `std::vector<Tensor>` (a heap block of 32 bytes, 48 with malloc's header),
  a result body and a storage that handles share through `std::shared_ptr`, each with its count (120 and 56
  bytes). That is 312 bytes before the graph's own 12-byte walk entry; an executed [2, 3] fp32 result adds a data
  block of 48 bytes, and the walk its schedule and stack. So 250 bytes per add, and 3 GB for 10^7 adds with their
  results, lie below what those objects take.
- **Fresh memory.** Every add keeps 324 new bytes, and the kernel charges for every new page it hands out:
  about {self.page_fault_ns:,.0f} ns per 4 KiB page here, {self.page_fault_ns / 4096:.2f} ns a byte, so about
  {324 * self.page_fault_ns / 4096:,.0f} ns an add from memory the process has not used before. On this
  virtual machine, memory the host has not backed yet costs several times more again (the unsettled 10^7
  chain, graph section), which is what a fresh process recording 10^7 adds meets.
- **Re-execute and walk cost per node at large N.** Per node, a walk of a regular graph reads one 12-byte
  walk entry, in order along a chain, and pushes one frame and one schedule entry ({walk_small:.1f} ns a node
  at the smallest N); running the schedule again must read three cache lines per node to find each result
  allocated (the node's output handle, the body, the storage: nothing may be cached, since a body can be
  reassigned), which it prefetches along the schedule and which then runs at the memory's bandwidth once
  the graph no longer fits the caches, where at small N the same lines are in the cache. At 10^7 nodes the
  graph's gigabytes on small pages also miss the TLB: with its chunks advised as huge pages, a re-execute of
  the 10^7 chain ran at 46 instead of 81 ns a node, but recording on this machine then cost 532 instead of
  152 ns a node (huge pages here come from memory the host must back anew), so the chunks are not advised.
{self.large_warm_bound()}- **ones against memset 0 at 64 MiB and up (warm).** This machine writes zeros faster than any other value at
  those sizes: memset with the byte 0x3f runs no faster than `ones` (fill table, and the 0x3f columns).
- **Non-contiguous copies of 16-byte rows and of every other element, 8-byte elements.** The copy reads every
  cache line of the span, twice the bytes it writes, and runs at the memory-traffic bound (strided table); twice
  the naive loop lies above that bound.
"""
        notes = bounds + f"""
## Notes

- PyTorch: {torch_note}
- Page faults on this machine cost about {self.page_fault_ns:,.0f} ns per 4 KiB page. The graph keeps every
  recorded add (324 bytes) and every executed result's data for the life of the process, so recording and
  executing touch new memory all the time.
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
