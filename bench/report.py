"""The report of one bench/run, with its plot, from its results folder; or two such folders compared.

    python bench/report.py RESULTS DOCS        writes DOCS/bench-report.md and DOCS/bench-graph.png
    python bench/report.py --compare OLD NEW   Google Benchmark's medians of both, new over old

Every figure comes from RESULTS: pyperf's medians (python.json, torch.json; the calls net of the empty loop),
Google Benchmark's medians over repetitions (core.json, graph*.json) and memory.json.
"""

import datetime
import glob
import json
import os
import subprocess
import sys

import pyperf
from tabulate import tabulate

KiB, MiB = 1 << 10, 1 << 20
CALLS = {"ctor": "Tensor([2, 3])", "zeros": "Tensor.zeros([2, 3])", "ones": "Tensor.ones([2, 3])",
         "add": "a + b (lazy)", "shape": "t.shape", "numel": "t.numel()", "repr": "repr(t)", "view": "t.view([-1])",
         "reshape": "t.reshape([3, 2])", "contiguous": "t.contiguous()", "execute": "execute(x), x = a + b just made",
         "execute_cold": "execute(x), x made 16,384 adds earlier"}


def gbench(results):
    """Google Benchmark's medians by name (without its /iterations:1/manual_time suffixes)."""
    out = {}
    for path in glob.glob(os.path.join(results, "core.json")) + glob.glob(os.path.join(results, "graph*.json")):
        with open(path) as f:
            out.update((b["run_name"].split("/iterations")[0], b) for b in json.load(f)["benchmarks"]
                       if b.get("aggregate_name") == "median")
    return out


def pyperf_ns(path):
    """pyperf's medians in ns, and its metadata; a call's time is net of the empty loop's."""
    if not os.path.exists(path):
        return {}, {}
    benches = pyperf.BenchmarkSuite.load(path).get_benchmarks()
    ns = {b.get_name(): b.median() * 1e9 for b in benches}
    loop = ns.pop("loop")
    return {k: v - loop if k.count("/") == 1 else v for k, v in ns.items()}, benches[0].get_metadata()


def table(header, rows):
    return tabulate(rows, header, tablefmt="github", disable_numparse=True) + "\n"


def fmt(x, digits=0):
    return "–" if x is None else f"{x:,.{digits}f}"


def size(b):
    return f"{b // (1 << 30)} GiB" if b >= 1 << 30 else f"{b // MiB} MiB" if b >= MiB else f"{b // KiB} KiB"


def report(results, docs):
    ns, meta = pyperf_ns(os.path.join(results, "python.json"))
    tns, tmeta = pyperf_ns(os.path.join(results, "torch.json"))
    ns.update(tns)
    core = gbench(results)
    graph = {k: b for k, b in core.items() if k.startswith("graph/")}
    with open(os.path.join(results, "memory.json")) as f:
        mem = json.load(f)
    missing = {p: open(f).read().strip() for p in ("mlx", "torch")
               if os.path.exists(f := os.path.join(results, f"missing-{p}.txt"))}
    heads, out = [], []

    def head(measure, result, target="", ok=None):
        heads.append([measure, result, target, "" if ok is None else "met" if ok else "**missed**"])

    # Bound calls from Python.
    ratio = {k: ns[f"quarnel/{k}"] / ns[f"floor/{k}"] for k in CALLS}
    plain = [k for k in CALLS if k not in ("add", "execute", "execute_cold")]
    low, high = min(ratio[k] for k in plain), max(ratio[k] for k in plain)
    head("bound calls (constructor, factories, properties, `view`, `reshape`, `repr`, `contiguous`) over the floor",
         f"{low:.2f}x to {high:.2f}x", "≤ 1.3x", high <= 1.3)
    for key, what, limit in (("add", "lazy `a + b` over the floor's operator", 2), ("execute", "`execute` of one "
                             "pending result over the floor's one-object call", 3), ("execute_cold", "`execute` of a "
                             "result made 16,384 adds earlier", 6)):
        head(what, f"{ratio[key]:.2f}x ({ns['quarnel/' + key]:,.0f} ns vs {ns['floor/' + key]:,.0f})", f"≤ {limit}x",
             ratio[key] <= limit)
        if key == "add":
            head("… beside the peers", ", ".join(f"{name} {fmt(ns.get(p + '/add'))} ns" for p, name in
                 (("mlx", "MLX's lazy add"), ("numpy", "NumPy's eager add"), ("torch_meta", "PyTorch's meta add"))))
    peers = ("numpy", "mlx", "torch", "torch_meta")
    out.append("## Bound calls from Python\n\npyperf: medians over worker processes, in ns per call net of the empty "
               "loop. The floor (`bench/floor`) has _quarnel's call shapes and empty "
               "bodies. NumPy computes its add; MLX's add records and the meta device's only infers metadata; MLX's "
               "`execute` is `mx.eval`, which computes, and MLX has no uninitialised constructor, so its first row is "
               f"`mx.zeros`. PyTorch runs on CPython {tmeta.get('python_version', '3.11')} with one thread.\n\n"
               + table(["call", "_quarnel", "floor", "ratio", "NumPy", "MLX", "PyTorch", "PyTorch meta"],
                       [[f"`{w}`", fmt(ns[f"quarnel/{k}"]), fmt(ns[f"floor/{k}"]), f"{ratio[k]:.2f}"]
                        + [fmt(ns.get(f"{p}/{k}")) for p in peers] for k, w in CALLS.items()]))

    # Recording from Python, beside MLX.
    rec = sorted({(k.split("/")[1][7:], int(k.split("/")[2])) for k in ns if "/record_" in k})
    top, rb = max(n for _, n in rec), mem["record"]
    head(f"recording a chain of {top:,} adds from Python, per add", f"{ns[f'quarnel/record_chain/{top}']:,.0f} ns and "
         f"{rb['quarnel']:,.0f} bytes; MLX {fmt(ns.get(f'mlx/record_chain/{top}'))} ns and {fmt(rb.get('mlx'))} bytes")
    out.append("## Recording graphs from Python, beside MLX\n\nN adds of [2, 3] fp32 tensors, a chain (`c = c + b`) or a "
               "balanced tree over one leaf; ns per add. Resident growth per add of a chain (`bench/memory.py`, a "
               f"fresh process): _quarnel {rb['quarnel']:,.1f} bytes, MLX {fmt(rb.get('mlx'), 1)}.\n\n"
               + table(["graph", "N", "_quarnel ns", "MLX ns"], [[s, f"{n:,}", fmt(ns[f"quarnel/record_{s}/{n}"]),
                                                                 fmt(ns.get(f"mlx/record_{s}/{n}"))] for s, n in rec]))

    # C++ graph.
    rows = sorted((k.split("/")[1], int(k.split("/")[2]), b) for k, b in graph.items())
    chain = [b for s, n, b in rows if s == "chain"]
    top = max(n for _, n, _ in rows)
    head(f"C++: recording one add, chain of N, 10^3 to {top:,}",
         f"{min(b['record_ns'] for b in chain):,.0f} to {max(b['record_ns'] for b in chain):,.0f} ns", "≤ 250 ns",
         max(b["record_ns"] for b in chain) <= 250)
    for key, what in (("execute_ns", "`execute`"), ("again_ns", "`execute` again (walk, all allocated)")):
        spread = [max(b[key] for s, _, b in rows if s == sh) / min(b[key] for s, _, b in rows if s == sh)
                  for sh in ("chain", "tree")]
        head(f"C++: {what} per node, 10^3 to {top:,}, chain / tree", f"within {spread[0]:.2f}x / {spread[1]:.2f}x",
             "within 1.5x", max(spread) <= 1.5)
    kept = max(b["bytes"] for _, n, b in rows if n == top)
    floor = max((k for k in core if k.startswith("first_touch/floor/")), key=lambda k: int(k.rsplit("/", 1)[1]))
    page_ns = core[floor]["real_time"] * 4096 / int(floor.rsplit("/", 1)[1])  # the C floor's first touch, per page
    head("memory kept per recorded add", f"{kept:,.0f} bytes (their first touch: {kept * page_ns / 4096:,.0f} ns at "
         "this run's cost of a fresh page)", "≤ 250", kept <= 250)
    if (long := graph.get("graph/chain/10000000")) is not None:
        s = long["real_time"] / 1e3
        head("a 10^7-node chain, record and execute", f"{s:.1f} s, {long['peak_bytes'] / 1e9:.2f} GB peak",
             "≤ 6 s, ≤ 3 GB", s <= 6 and long["peak_bytes"] <= 3e9)
    out.append("## The graph per node, C++\n\n`quarnel_bench_graph` (Google Benchmark, medians over repetitions in one "
               "process; 10^7 in a process of its own): N adds into the process-wide graph, `execute` of the last "
               "result, `execute` again (all allocated: a walk), and a schedule alone. \"user\" leaves out the "
               "kernel's page faults on the fresh memory that recording takes; bytes are resident growth.\n\n"
               + table(["graph", "N", "record ns", "record user ns", "bytes", "execute ns", "again ns", "walk ns",
                        "peak MiB"], [[s, f"{n:,}", fmt(b["record_ns"]), fmt(b["record_user_ns"]), fmt(b["bytes"], 1),
                                       fmt(b["execute_ns"]), fmt(b["again_ns"]), fmt(b["walk_ns"], 1),
                                       fmt(b["peak_bytes"] / MiB)] for s, n, b in rows]) + "\n![graph](bench-graph.png)\n")
    plot(rows, os.path.join(docs, "bench-graph.png"))

    # Large blocks beside NumPy.
    gbs = lambda name: core[name]["bytes_per_second"] / 1e9  # noqa: E731
    blocks = sorted({int(k.split("/")[2]) for k in ns if k.startswith("quarnel/ones/")})
    warm = {b: ns[f"numpy/ones/{b}"] / ns[f"quarnel/ones/{b}"] for b in blocks}
    loop = [warm[b] for b in blocks if b <= 64 * MiB]
    head("a loop of allocate, `ones`, drop at 4, 16, 64 MiB over NumPy's", f"{min(loop):.2f}x to {max(loop):.2f}x",
         "≥ 0.9x", min(loop) >= 0.9)
    touch = sorted(int(k.split("/")[2]) for k in core if k.startswith("first_touch/floor/"))
    np_gbs = lambda what, b: b / ns[f"numpy/{what}/{b}"]  # noqa: E731
    first = [min(gbs(f"first_touch/{ours}/{b}") / np_gbs(theirs, b) for b in touch)
             for ours, theirs in (("zeros", "zeros_touched"), ("tensor", "empty_touched"), ("execute", "empty_touched"))]
    head(f"first touch, {size(touch[0])} to {size(touch[-1])}: `zeros`, a new tensor, `execute`, each + one write per "
         "page, over NumPy", ", ".join(f"≥ {x:.2f}x" for x in first), "≥ 0.8x, 1x, 1x",
         first[0] >= 0.8 and min(first[1:]) >= 1)
    churn, live = mem["churn"], mem["live"]
    q, n = churn["quarnel"], churn["numpy"]
    head("2,000 tensors of 4 to 10 MiB, 40 live: peak, and left after dropping all", f"{q['peak'] / MiB:,.0f} MiB and "
         f"{q['after'] / MiB:,.1f} MiB (NumPy {n['peak'] / MiB:,.0f} and {n['after'] / MiB:,.1f})",
         "≤ 1.15x, ≤ NumPy + 16 MiB", q["peak"] <= 1.15 * n["peak"] and q["after"] <= n["after"] + 16 * MiB)
    worst = max(r["quarnel"] - r["numpy"] for r in live)
    head("a live, written large tensor, resident over NumPy's array", f"{worst / KiB:+,.0f} KiB at most", "≤ 4 KiB",
         worst <= 4 * KiB)
    out.append("## Large blocks beside NumPy\n\nGB/s, fp32 (int32 for `ones`); Python from pyperf, C++ from "
               "`quarnel_bench_core` (one write per 4 KiB page stands for a user's first use). Blocks of 4 and 16 MiB "
               "come back warm when freed, NumPy's from malloc's heap and ours from the blocks the library keeps; from "
               "64 MiB every call of either maps fresh pages.\n\n"
               + table(["size", "ones (Py)", "np.ones", "np.ones / ones"], [[size(b), fmt(b / ns[f"quarnel/ones/{b}"], 1),
                       fmt(b / ns[f"numpy/ones/{b}"], 1), f"{warm[b]:.2f}"] for b in blocks]) + "\n"
               + table(["size", "zeros + 1 w/p (C++)", "np.zeros + 1 w/p", "Tensor + 1 w/p (C++)", "execute + 1 w/p "
                        "(C++)", "np.empty + 1 w/p", "ones (C++)", "C floor + 1 w/p"],
                       [[size(b), fmt(gbs(f"first_touch/zeros/{b}"), 1), fmt(np_gbs("zeros_touched", b), 1),
                         fmt(gbs(f"first_touch/tensor/{b}"), 1), fmt(gbs(f"first_touch/execute/{b}"), 1),
                         fmt(np_gbs("empty_touched", b), 1), fmt(gbs(f"first_touch/ones/{b}"), 1),
                         fmt(gbs(f"first_touch/floor/{b}"), 1)] for b in touch]) + "\n"
               + table(["resident growth (`bench/memory.py`)", "_quarnel MiB", "NumPy MiB"],
                       [["churn: peak", fmt(q["peak"] / MiB, 1), fmt(n["peak"] / MiB, 1)],
                        ["churn: left after dropping all", fmt(q["after"] / MiB, 1), fmt(n["after"] / MiB, 1)]]
                       + [[f"one written tensor of {size(r['bytes'])} + {r['bytes'] % KiB} B", fmt(r["quarnel"] / MiB, 3),
                           fmt(r["numpy"] / MiB, 3)] for r in live]))

    # Fills and copies against C.
    fills = sorted({int(k.split("/")[2]) for k in core if k.startswith("fill/")})
    big = [b for b in fills if b >= MiB]
    z = min(gbs(f"fill/zeros/{b}") / gbs(f"fill/floor/{b}") for b in big)
    o = min(gbs(f"fill/ones/{b}") / max(gbs(f"fill/floor/{b}"), gbs(f"fill/floor_3f/{b}")) for b in big)
    head(f"`zeros` and `ones` over the C floor, {size(big[0])} to {size(big[-1])}", f"≥ {z:.2f}x and {o:.2f}x", "≥ 0.9x",
         min(z, o) >= 0.9)
    strided = sorted({k.rsplit("/", 2)[0] for k in core if k.startswith("strided/")})
    naive = {s: gbs(f"{s}/quarnel/{k}") / gbs(f"{s}/naive/{k}") for s in strided
             for k in [next(x.rsplit("/", 1)[1] for x in core if x.startswith(s + "/quarnel/"))]}
    listed = {s: r for s, r in naive.items() if "inner2" not in s}
    worst = min(listed, key=listed.get)
    head("non-contiguous copies over a naive index loop, same allocator", f"worst {listed[worst]:.2f}x "
         f"(`{worst[8:]}`)", "≥ 2x", listed[worst] >= 2)
    bytes_of = lambda s: next(x.rsplit("/", 1)[1] for x in core if x.startswith(s + "/quarnel/"))  # noqa: E731
    out.append("## Fills and copies against C\n\n`quarnel_bench_core` (Google Benchmark, medians over randomly "
               "interleaved repetitions), GB/s written. The floor is `posix_memalign` + `memset` (0, or 0x3f) or "
               "`memcpy` + `free`; the non-contiguous floors write into the library's own buffers, as the copy does. "
               "Windows read half of each row of a storage twice as wide; outer stride 0 repeats one row; inner "
               "stride 2 reads every other element; `_off3` starts 3 elements in.\n\n"
               + table(["size", "C floor", "C floor 0x3f", "zeros", "ones"], [[size(b)] + [fmt(gbs(f"fill/{v}/{b}"), 1)
                       for v in ("floor", "floor_3f", "zeros", "ones")] for b in fills]) + "\n"
               + table(["size", "copy", "C floor"], [[size(b), fmt(gbs(f"copy/quarnel/{b}"), 1),
                       fmt(gbs(f"copy/floor/{b}"), 1)] for b in sorted({int(k.split("/")[2]) for k in core
                                                                        if k.startswith("copy/")})]) + "\n"
               + table(["view", "copy", "naive", "memcpy", "x naive"], [[f"`{s[8:]}`"] + [fmt(gbs(
                   f"{s}/{v}/{bytes_of(s)}"), 1) for v in ("quarnel", "naive", "memcpy")] + [f"{naive[s]:.2f}"]
                   for s in strided]))

    commit = subprocess.run(["git", "-C", os.path.dirname(os.path.abspath(__file__)), "describe", "--always",
                             "--dirty"], capture_output=True, text=True).stdout.strip()
    why = "".join(f" {p}: {m}." for p, m in missing.items())
    text = (f"# quarnel benchmarks\n\nProduced by `bench/run` at commit {commit} on "
            f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC: {meta.get('cpu_model_name')}, "
            f"{meta.get('cpu_count')} CPUs; CPython {meta.get('python_version')}; {meta.get('peers')}; "
            f"{tmeta.get('peers', 'PyTorch not measured')}.{why} Other work may share the machine. What bounds the "
            "figures, from measurements beyond a run's, is in [performance.md](performance.md).\n\n"
            + table(["measure", "result", "target", ""], heads) + "\n" + "\n".join(out))
    with open(os.path.join(docs, "bench-report.md"), "w") as f:
        f.write(text)


def plot(rows, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, axes = plt.subplots(1, 2, figsize=(12, 4.8))
    for ax, shape in zip(axes, ("chain", "tree")):
        pts = [(n, b) for s, n, b in rows if s == shape]
        for key, name in (("record_ns", "record"), ("execute_ns", "execute"), ("again_ns", "execute again"),
                          ("walk_ns", "walk alone")):
            ax.plot([n for n, _ in pts], [b[key] for _, b in pts], marker="o", label=name)
        ax.set(xscale="log", yscale="log", xlabel="nodes (N)", title=f"{shape}: ns per node")
        ax.grid(True, which="both", alpha=0.3)
    axes[1].legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def compare(old, new):
    a, b = gbench(old), gbench(new)
    print(table(["benchmark", "old", "new", "new / old"], [[k, f"{a[k]['real_time']:.4g}", f"{b[k]['real_time']:.4g}",
                f"{b[k]['real_time'] / a[k]['real_time']:.3f}"] for k in a if k in b]))


if __name__ == "__main__":
    compare(*sys.argv[2:4]) if sys.argv[1] == "--compare" else report(*sys.argv[1:3])
