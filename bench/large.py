"""Large tensors beside NumPy's arrays, with the allocator's default settings.

    python bench/large.py [--quick] [--json FILE]
    python bench/large.py churn|live SIDE [ARG]      (one measurement, in this process)

churn: 40 live tensors of 4 to 10 MiB, 2,000 made in all (ones, so every page
is written), then all dropped: the peak growth of the resident set, and what
is left of it after the drop. live: the resident growth of one fully written
tensor of a given size. Both run in fresh processes, one side after the
other. warm: a loop of allocate, fill with ones, drop at 4, 16 and 64 MiB,
both sides in the same interleaved rounds (harness.py).
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import subprocess
import sys

MiB = 1 << 20
LIVE_SIZES = [4 * MiB + 4, 5 * MiB, 64 * MiB + 4, 1024 * MiB]
WARM_SIZES = [4 * MiB, 16 * MiB, 64 * MiB]


def resident() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def ones(side: str):
    if side == "quarnel":
        import _quarnel as q
        return lambda nbytes: q.Tensor.ones([nbytes // 4], q.int32)
    import numpy as np
    return lambda nbytes: np.ones(nbytes // 4, np.int32)


def churn(side: str) -> dict:
    make = ones(side)
    make(1 << 12)
    rng = random.Random(7)
    resident()
    before = resident()
    live, peak = [], 0
    for _ in range(2000):
        if len(live) == 40:
            live.pop(rng.randrange(40))
        live.append(make(rng.randrange(4 * MiB, 10 * MiB, 4)))
        peak = max(peak, resident() - before)
    live.clear()
    return {"peak": peak, "after": resident() - before}


def live(side: str, nbytes: int) -> dict:
    make = ones(side)
    make(1 << 12)
    resident()
    before = resident()
    kept = make(nbytes)
    grown = resident() - before
    del kept
    return {"bytes": nbytes, "resident": grown}


def run(*args: str) -> dict:
    out = subprocess.run([sys.executable, os.path.abspath(__file__), *args], capture_output=True, text=True)
    if out.returncode != 0:
        raise SystemExit(f"large.py {' '.join(args)} failed: {out.stderr[-2000:]}")
    return json.loads(out.stdout)


def warm(quick: bool) -> list[dict]:
    import numpy as np
    import _quarnel as q
    from harness import Case, run_rounds

    rows = []
    for nbytes in WARM_SIZES:
        n = nbytes // 4
        cases = [Case("quarnel", "O([n], i32)", {"O": q.Tensor.ones, "n": n, "i32": q.int32}),
                 Case("numpy", "npo(n, i32)", {"npo": np.ones, "n": n, "i32": np.int32})]
        res = run_rounds(cases, 5 if quick else 15, 2_000_000)
        rows.append({"bytes": nbytes, **{k + "_ns": statistics.median(res[k]) for k in ("quarnel", "numpy")}})
    return rows


def main() -> None:
    if len(sys.argv) > 2 and sys.argv[1] in ("churn", "live"):
        side = sys.argv[2]
        print(json.dumps(churn(side) if sys.argv[1] == "churn" else live(side, int(sys.argv[3]))))
        return
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--json")
    args = ap.parse_args()
    from harness import emit_json

    passes = 1 if args.quick else 3
    sides = ("quarnel", "numpy")
    churns = {s: [run("churn", s) for _ in range(passes)] for s in sides}
    sizes = LIVE_SIZES[:3] if args.quick else LIVE_SIZES
    lives = [{"bytes": b, **{s: run("live", s, str(b))["resident"] for s in sides}} for b in sizes]
    emit_json({
        "churn": {s: {k: statistics.median(r[k] for r in rs) for k in ("peak", "after")} for s, rs in churns.items()},
        "live": lives,
        "warm": warm(args.quick),
    }, args.json)


if __name__ == "__main__":
    main()
