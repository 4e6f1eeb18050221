"""Bandwidth of zeros and ones from 64 KiB to 1 GiB, from Python.

    python bench/bandwidth.py first-touch|warm [--quick] [--json FILE]

Each call allocates, fills and (when its result is dropped) frees a block.
The malloc regime is set for the whole process before anything runs:

- first-touch: every block of 32 KiB or more is mapped fresh and unmapped
  on free, so each call pays the kernel's page faults on the whole block
  (the heap's top is trimmed to under 16 KiB, so that no block of 64 KiB
  can be carved from it instead);
- warm: nothing is mapped or trimmed, so freed blocks come back with their
  pages already present, and the figures are those of the fill itself.

_quarnel keeps up to 16 MiB of released blocks of 4 MiB and more for the
next request of the same length, whatever malloc does. So in the
first-touch regime every column asks, from 4 MiB up, for eight lengths in
turn, a page apart (the figures count their mean), and each call of ours
maps fresh memory as well.

Columns: the C floor (aligned allocation + memset + free, through the floor
module; with the byte 0, with 0x3f, and with 0 behind zeros' argument
shape), the same with huge pages (aligned to 2 MiB, whole pages, advised),
_quarnel's zeros and ones, NumPy's zeros (calloc: lazy where the block is
fresh), zeros with one write per 4 KiB page, ones, and empty with one write
per page. All fp32.
PyTorch's zeros and ones are measured by torch_side.py, which takes its
sizes, rounds and regimes from here.
"""

from __future__ import annotations

import argparse
import ctypes
import itertools
import re
import statistics
import sys

M_TRIM_THRESHOLD, M_TOP_PAD, M_MMAP_THRESHOLD, M_MMAP_MAX = -1, -2, -3, -4


def set_regime(regime: str) -> None:
    libc = ctypes.CDLL(None)
    if regime == "first-touch":
        ok = (libc.mallopt(M_MMAP_THRESHOLD, 32 * 1024) and libc.mallopt(M_TRIM_THRESHOLD, 16 * 1024)
              and libc.mallopt(M_TOP_PAD, 0))
    else:
        ok = libc.mallopt(M_MMAP_MAX, 0) and libc.mallopt(M_TRIM_THRESHOLD, 2**31 - 1) and libc.mallopt(M_TOP_PAD, 0)
    if not ok:
        sys.exit(f"bandwidth: mallopt refused the {regime} settings")


KiB, MiB, GiB = 1 << 10, 1 << 20, 1 << 30


def sizes(quick: bool) -> list[int]:
    small = [64 * KiB, 256 * KiB, 1 * MiB, 4 * MiB, 16 * MiB, 64 * MiB]
    return small if quick else small + [256 * MiB, 1 * GiB]


def rounds(nb: int, quick: bool) -> int:
    if quick:
        return 5
    return 9 if nb >= GiB else 11


TARGET_NS = 2_000_000


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("regime", choices=["first-touch", "warm"])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--json")
    args = ap.parse_args()
    set_regime(args.regime)

    import _quarnel as q
    import _bench_floor as fl
    from harness import Case, emit_json, run_rounds

    try:
        import numpy as np
    except ImportError:
        np = None

    names = {"floor": fl.alloc_memset_free, "floors": fl.alloc_memset_free_shaped,
             "floorh": fl.alloc_memset_free_huge, "Z": q.Tensor.zeros, "O": q.Tensor.ones}
    cols = [("floor", "floor(nb)"), ("floor_nonzero", "floor(nb, 0x3f)"), ("floor_shaped", "floors([n])"),
            ("floor_huge", "floorh(nb)"), ("floor_huge_nonzero", "floorh(nb, 0x3f)"),
            ("quarnel_zeros", "Z([n])"), ("quarnel_ones", "O([n])")]
    if np is not None:
        f32 = np.float32

        def np_zeros_touched(n: int) -> None:
            z = np.zeros(n, f32)
            z[::1024] = 0  # one write per 4 KiB page

        def np_empty_touched(n: int) -> None:
            e = np.empty(n, f32)
            e[::1024] = 0

        names.update(npz=np.zeros, npo=np.ones, f32=f32, npzt=np_zeros_touched, npet=np_empty_touched)
        cols += [("numpy_zeros", "npz(n, f32)"), ("numpy_zeros_touched", "npzt(n)"), ("numpy_ones", "npo(n, f32)"),
                 ("numpy_empty_touched", "npet(n)")]

    results = []
    for nb in sizes(args.quick):
        n = nb // 4
        scope = dict(names, nb=nb, n=n)
        stmts, mean = dict(cols), nb
        if args.regime == "first-touch" and nb >= 4 * MiB:
            lengths = [n + k * 1024 for k in range(8)]
            scope.update(ns=itertools.cycle(lengths), nbs=itertools.cycle([4 * x for x in lengths]))
            stmts = {key: re.sub(r"\bnb\b", "next(nbs)", re.sub(r"\bn\b", "next(ns)", st)) for key, st in cols}
            mean = 4 * sum(lengths) // len(lengths)
        cases = [Case(key, stmt, {k: v for k, v in scope.items() if k in re.findall(r"\w+", stmt)})
                 for key, stmt in stmts.items()]
        r = rounds(nb, args.quick)
        res = run_rounds(cases, r, TARGET_NS)
        row = {"bytes": nb, "mean_bytes": mean, "rounds": r}
        for key, _ in cols:
            row[key + "_ns"] = statistics.median(res[key])
        results.append(row)
        print(f"bandwidth {args.regime} {nb >> 10} KiB", file=sys.stderr, flush=True)

    out = {"regime": args.regime, "columns": [c for c, _ in cols], "rows": results}
    emit_json(out, args.json)


if __name__ == "__main__":
    main()
