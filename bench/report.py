"""The report of one bench/run from its results folder, every figure from there; or two such folders compared.

    python bench/report.py RESULTS DOCS        writes DOCS/bench-report.md and DOCS/bench-graph.png
    python bench/report.py --compare OLD NEW   Google Benchmark's medians of both, new over old
"""

import datetime
import glob
import json
import os
import sys

import matplotlib.pyplot as plt
import pyperf
from tabulate import tabulate

KiB, MiB = 1 << 10, 1 << 20
CALLS = {"ctor": "Tensor([2, 3])", "zeros": "Tensor.zeros([2, 3])", "ones": "Tensor.ones([2, 3])",
         "add": "a + b (lazy)", "shape": "t.shape", "numel": "t.numel()", "repr": "repr(t)", "view": "t.view([-1])",
         "reshape": "t.reshape([3, 2])", "contiguous": "t.contiguous()", "execute": "execute(x), x = a + b just made",
         "execute_cold": "execute(x), x made 16,384 adds earlier"}


def gbench(results):
    """Google Benchmark's medians by name (without the /iterations:1/manual_time of the graph's)."""
    out = {}
    for path in glob.glob(os.path.join(results, "core.json")) + glob.glob(os.path.join(results, "graph*.json")):
        with open(path) as f:
            out.update((b["run_name"].split("/iterations")[0], b) for b in json.load(f)["benchmarks"]
                       if b.get("aggregate_name", "median") == "median")  # a run of one repetition has none
    return out


def pyperf_ns(path):
    """pyperf's medians in ns, and its metadata; a call's time (SIDE/CASE) is net of the empty loop's."""
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


def sizes(names, prefix):
    return sorted({int(k.rsplit("/", 1)[1]) for k in names if k.startswith(prefix)})


def report(results, docs):
    ns, meta = pyperf_ns(os.path.join(results, "python.json"))
    tns, tmeta = pyperf_ns(os.path.join(results, "torch.json"))
    ns.update(tns)
    core = gbench(results)
    with open(os.path.join(results, "memory.json")) as f:
        mem = json.load(f)
    missing = "".join(f" {p}: {open(f).read().strip()}." for p in ("mlx", "torch")
                      if os.path.exists(f := os.path.join(results, f"missing-{p}.txt")))
    heads, out = [], []

    def head(measure, result, target="", ok=None):
        heads.append([measure, result, target, "" if ok is None else "met" if ok else "**missed**"])

    ratio = {k: ns[f"quarnel/{k}"] / ns[f"floor/{k}"] for k in CALLS}
    plain = [ratio[k] for k in CALLS if k not in ("add", "execute", "execute_cold")]
    head("bound calls (constructor, factories, properties, `view`, `reshape`, `repr`, `contiguous`) over the floor",
         f"{min(plain):.2f}x to {max(plain):.2f}x", "≤ 1.3x", max(plain) <= 1.3)
    for key, what, limit in (("add", "lazy `a + b` over the floor's operator", 2),
                             ("execute", "`execute` of one pending result over the floor's one-object call", 3),
                             ("execute_cold", "`execute` of a result made 16,384 adds earlier", 6)):
        head(what, f"{ratio[key]:.2f}x ({ns['quarnel/' + key]:,.0f} ns vs {ns['floor/' + key]:,.0f})", f"≤ {limit}x",
             ratio[key] <= limit)
        if key == "add":
            head("… beside the peers", ", ".join(f"{name} {fmt(ns.get(p + '/add'))} ns" for p, name in
                 (("mlx", "MLX's lazy add"), ("numpy", "NumPy's eager add"), ("torch_meta", "PyTorch's meta add"))))
    out.append("## Bound calls from Python\n\npyperf, ns per call net of the empty loop. The floor (`bench/floor`) "
               "has _quarnel's call shapes and empty bodies. NumPy computes its add, MLX's records, the meta device's "
               "only infers metadata; MLX's `execute` is `mx.eval`, which computes, and its first row `mx.zeros`. "
               f"PyTorch runs on CPython {tmeta.get('python_version', '3.11')} with one thread.\n\n"
               + table(["call", "_quarnel", "floor", "ratio", "NumPy", "MLX", "PyTorch", "PyTorch meta"],
                       [[f"`{w}`", fmt(ns[f"quarnel/{k}"]), fmt(ns[f"floor/{k}"]), f"{ratio[k]:.2f}"]
                        + [fmt(ns.get(f"{p}/{k}")) for p in ("numpy", "mlx", "torch", "torch_meta")]
                        for k, w in CALLS.items()]))

    rec = sorted({(k.split("/")[1][7:], int(k.split("/")[2])) for k in ns if "/record_" in k})
    top, rb = rec[-1][1], mem["record"]
    head(f"recording a chain of {top:,} adds from Python, per add", f"{ns[f'quarnel/record_chain/{top}']:,.0f} ns and "
         f"{rb['quarnel']:,.0f} bytes; MLX {fmt(ns.get(f'mlx/record_chain/{top}'))} ns and {fmt(rb.get('mlx'))} bytes")
    out.append("## Recording graphs from Python, beside MLX\n\npyperf, ns per add of [2, 3] fp32 tensors, in a chain "
               "(`c = c + b`) or a balanced tree over one leaf. Resident growth per add, chain (`bench/memory.py`): "
               f"_quarnel {rb['quarnel']:,.1f} bytes, MLX {fmt(rb.get('mlx'), 1)}.\n\n"
               + table(["graph", "N", "_quarnel ns", "MLX ns"], [[s, f"{n:,}", fmt(ns[f"quarnel/record_{s}/{n}"]),
                                                                 fmt(ns.get(f"mlx/record_{s}/{n}"))] for s, n in rec]))

    rows = sorted((k.split("/")[1], int(k.split("/")[2]), b) for k, b in core.items() if k.startswith("graph/"))
    top, chain = rows[-1][1], [b["record_ns"] for s, _, b in rows if s == "chain"]
    head(f"C++: recording one add, chain of N, 10^3 to {top:,}", f"{min(chain):,.0f} to {max(chain):,.0f} ns",
         "≤ 250 ns", max(chain) <= 250)
    for key, what in (("execute_ns", "`execute`"), ("again_ns", "`execute` again (walk, all allocated)")):
        spread = [max(b[key] for s, _, b in rows if s == sh) / min(b[key] for s, _, b in rows if s == sh)
                  for sh in ("chain", "tree")]
        head(f"C++: {what} per node, 10^3 to {top:,}, chain / tree", f"within {spread[0]:.2f}x / {spread[1]:.2f}x",
             "within 1.5x", max(spread) <= 1.5)
    kept = max(b["bytes"] for _, n, b in rows if n == top)
    touch = sizes(core, "first_touch/floor/")
    page_ns = core[f"first_touch/floor/{touch[-1]}"]["real_time"] * 4096 / touch[-1]  # C's first touch of a page
    head("memory kept per recorded add", f"{kept:,.0f} bytes ({kept * page_ns / 4096:,.0f} ns of first touch at this "
         "run's cost of a fresh page)", "≤ 250", kept <= 250)
    if (long := core.get("graph/chain/10000000")) is not None:
        head("a 10^7-node chain, record and execute", f"{long['real_time'] / 1e3:.1f} s, {long['peak_bytes'] / 1e9:.2f}"
             " GB peak", "≤ 6 s, ≤ 3 GB", long["real_time"] <= 6e3 and long["peak_bytes"] <= 3e9)
    out.append("## The graph per node, C++\n\n`quarnel_bench_graph` (Google Benchmark, medians over repetitions; 10^7 "
               "in a process of its own): N adds into the process-wide graph, `execute` of the last, `execute` again "
               "(a walk), a schedule alone. \"user\" leaves out the kernel's page faults on fresh memory, and comes in "
               "scheduler ticks (– for none); bytes are resident growth.\n\n"
               + table(["graph", "N", "record ns", "record user ns", "bytes", "execute ns", "again ns", "walk ns"],
                       [[s, f"{n:,}", fmt(b["record_ns"]), fmt(b["record_user_ns"] or None), fmt(b["bytes"], 1),
                         fmt(b["execute_ns"]), fmt(b["again_ns"]), fmt(b["walk_ns"], 1)] for s, n, b in rows])
               + "\n![](bench-graph.png)\n")
    plot(rows, os.path.join(docs, "bench-graph.png"))

    gbs = lambda name: core[name]["bytes_per_second"] / 1e9  # noqa: E731
    npgbs = lambda what, b: b / ns[f"numpy/{what}/{b}"]  # noqa: E731
    blocks = sizes(ns, "quarnel/ones/")
    warm = {b: ns[f"numpy/ones/{b}"] / ns[f"quarnel/ones/{b}"] for b in blocks}
    loop = [warm[b] for b in blocks if b <= 64 * MiB]
    head("a loop of allocate, `ones`, drop at 4, 16, 64 MiB over NumPy's", f"{min(loop):.2f}x to {max(loop):.2f}x",
         "≥ 0.9x", min(loop) >= 0.9)
    first = [min(gbs(f"first_touch/{ours}/{b}") / npgbs(f"{theirs}_touched", b) for b in touch)
             for ours, theirs in (("zeros", "zeros"), ("tensor", "empty"), ("execute", "empty"))]
    head(f"first touch, {size(touch[0])} to {size(touch[-1])}: `zeros`, a new tensor, `execute`, each + one write "
         "per page, over NumPy", ", ".join(f"≥ {x:.2f}x" for x in first), "≥ 0.8x, 1x, 1x",
         first[0] >= 0.8 and min(first[1:]) >= 1)
    q, n = mem["churn"]["quarnel"], mem["churn"]["numpy"]
    head("2,000 tensors of 4 to 10 MiB, 40 live: peak, and left after dropping all", f"{q['peak'] / MiB:,.0f} MiB and "
         f"{q['after'] / MiB:,.1f} MiB (NumPy {n['peak'] / MiB:,.0f} and {n['after'] / MiB:,.1f})",
         "≤ 1.15x, ≤ NumPy + 16 MiB", q["peak"] <= 1.15 * n["peak"] and q["after"] <= n["after"] + 16 * MiB)
    worst = max(r["quarnel"] - r["numpy"] for r in mem["live"])
    head("a live, written large tensor, resident over NumPy's array", f"{worst / KiB:+,.0f} KiB at most", "≤ 4 KiB",
         worst <= 4 * KiB)
    out.append("## Large blocks beside NumPy\n\nGB/s; Python from pyperf, C++ from `quarnel_bench_core`; one write per "
               "4 KiB page (w/p) stands for a first use. Blocks of 4 and 16 MiB come back warm once freed, NumPy's "
               "from malloc's heap, ours from the library's kept ones; from 64 MiB, fresh pages every time.\n\n"
               + table(["size", "ones", "np.ones", "np.ones / ones"], [[size(b), fmt(b / ns[f"quarnel/ones/{b}"], 1),
                       fmt(b / ns[f"numpy/ones/{b}"], 1), f"{warm[b]:.2f}"] for b in blocks]) + "\n"
               + table(["size", "zeros + w/p (C++)", "np.zeros + w/p", "Tensor + w/p (C++)", "execute + w/p (C++)",
                        "np.empty + w/p", "ones (C++)", "C floor + w/p"],
                       [[size(b)] + [fmt(x, 1) for x in (gbs(f"first_touch/zeros/{b}"), npgbs("zeros_touched", b),
                        gbs(f"first_touch/tensor/{b}"), gbs(f"first_touch/execute/{b}"), npgbs("empty_touched", b),
                        gbs(f"first_touch/ones/{b}"), gbs(f"first_touch/floor/{b}"))] for b in touch]) + "\n"
               + table(["resident growth (`bench/memory.py`)", "_quarnel MiB", "NumPy MiB"],
                       [["churn: peak", fmt(q["peak"] / MiB, 1), fmt(n["peak"] / MiB, 1)],
                        ["churn: left after dropping all", fmt(q["after"] / MiB, 1), fmt(n["after"] / MiB, 1)]]
                       + [[f"one written tensor of {size(r['bytes'])} + {r['bytes'] % KiB} B",
                           fmt(r["quarnel"] / MiB, 3), fmt(r["numpy"] / MiB, 3)] for r in mem["live"]]))

    fills = sizes(core, "fill/floor/")
    z = min(gbs(f"fill/zeros/{b}") / gbs(f"fill/floor/{b}") for b in fills if b >= MiB)
    o = min(gbs(f"fill/ones/{b}") / max(gbs(f"fill/floor/{b}"), gbs(f"fill/floor_3f/{b}")) for b in fills if b >= MiB)
    head(f"`zeros` and `ones` over the C floor, 1 MiB to {size(fills[-1])}", f"≥ {z:.2f}x and {o:.2f}x", "≥ 0.9x",
         min(z, o) >= 0.9)
    views, sb = sorted({k.rsplit("/", 2)[0] for k in core if k.startswith("strided/")}), sizes(core, "strided/")[0]
    naive = {v: gbs(f"{v}/quarnel/{sb}") / gbs(f"{v}/naive/{sb}") for v in views}
    worst = min((v for v in views if "inner2" not in v), key=naive.get)
    head("non-contiguous copies over a naive index loop, same allocator", f"worst {naive[worst]:.2f}x (`{worst[8:]}`)",
         "≥ 2x", naive[worst] >= 2)
    out.append("## Fills and copies against C\n\n`quarnel_bench_core`, GB/s written. The C floor: `posix_memalign`, "
               f"`memset` (0, 0x3f) or `memcpy`, `free`. Views of {size(sb)} (see the benchmark) beside a naive loop "
               "and `memcpy`, writing into the library's buffers as the copy does.\n\n"
               + table(["size", "C floor", "C floor 0x3f", "zeros", "ones"], [[size(b)] + [fmt(gbs(f"fill/{v}/{b}"), 1)
                       for v in ("floor", "floor_3f", "zeros", "ones")] for b in fills]) + "\n"
               + table(["size", "copy", "C floor"], [[size(b), fmt(gbs(f"copy/quarnel/{b}"), 1),
                       fmt(gbs(f"copy/floor/{b}"), 1)] for b in sizes(core, "copy/quarnel/")]) + "\n"
               + table(["view", "copy", "naive", "memcpy", "copy / naive"], [[f"`{v[8:]}`"] + [fmt(gbs(
                   f"{v}/{s}/{sb}"), 1) for s in ("quarnel", "naive", "memcpy")] + [f"{naive[v]:.2f}"] for v in views]))

    with open(os.path.join(results, "commit.txt")) as f:
        commit = f.read().strip()
    text = (f"# quarnel benchmarks\n\nProduced by `bench/run` at commit {commit} on "
            f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC: {meta.get('cpu_model_name')}, "
            f"{meta.get('cpu_count')} CPUs; CPython {meta.get('python_version')}; {meta.get('peers')}; "
            f"{tmeta.get('peers', 'no PyTorch')}.{missing} Other work may share the machine. What bounds the "
            "figures, from measurements beyond a run's, is in [performance.md](performance.md).\n\n"
            + table(["measure", "result", "target", ""], heads) + "\n" + "\n".join(out))
    with open(os.path.join(docs, "bench-report.md"), "w") as f:
        f.write(text)


def plot(rows, path):
    fig, axes = plt.subplots(1, 2, figsize=(12, 4.8), layout="tight")
    for ax, shape in zip(axes, ("chain", "tree")):
        pts = [(n, b) for s, n, b in rows if s == shape]
        for key in ("record_ns", "execute_ns", "again_ns", "walk_ns"):
            ax.plot([n for n, _ in pts], [b[key] for _, b in pts], marker="o", label=key[:-3])
        ax.set(xscale="log", yscale="log", xlabel="nodes (N)", title=f"{shape}: ns per node")
        ax.grid(True, which="both", alpha=0.3)
    axes[1].legend(fontsize=8)
    fig.savefig(path, dpi=110)


def compare(old, new):
    a, b = gbench(old), gbench(new)
    print(table(["benchmark", "old", "new", "new / old"], [[k, f"{a[k]['real_time']:.4g}", f"{b[k]['real_time']:.4g}",
                f"{b[k]['real_time'] / a[k]['real_time']:.3f}"] for k in a if k in b]))


if __name__ == "__main__":
    compare(*sys.argv[2:4]) if sys.argv[1] == "--compare" else report(*sys.argv[1:3])
