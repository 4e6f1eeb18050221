"""What large tensors and recorded graphs keep, from the resident set, each in a fresh process; JSON on stdout.

    python bench/memory.py [--quick]
    python bench/memory.py churn|live|record SIDE [ARG]     (one measurement, in this process)

churn: 40 live tensors of 4 to 10 MiB, 2,000 made in all (ones, so every page is written), then all dropped: the
peak growth of the resident set, and what is left of it after the drop. live: the growth for one written tensor.
record: the growth per add for a chain of N adds of [2, 3] fp32 tensors. pyperf times; it measures no resident
growth of one's own choosing, so this stays a script.
"""

import json
import os
import random
import subprocess
import sys

MiB = 1 << 20


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def ones(side):
    if side == "quarnel":
        import _quarnel as q
        return lambda nbytes: q.Tensor.ones([nbytes // 4], q.int32)
    import numpy as np
    return lambda nbytes: np.ones(nbytes // 4, np.int32)


def churn(side):
    make, rng = ones(side), random.Random(7)
    make(4096)
    before = resident()
    live, peak = [], 0
    for _ in range(2000):
        if len(live) == 40:
            live.pop(rng.randrange(40))
        live.append(make(rng.randrange(4 * MiB, 10 * MiB, 4)))
        peak = max(peak, resident() - before)
    live.clear()
    return {"peak": peak, "after": resident() - before}


def live(side, nbytes):
    make = ones(side)
    make(4096)
    before = resident()
    kept = make(nbytes)  # noqa: F841 (held while the resident set is read)
    return resident() - before


def record(side, n):
    if side == "quarnel":
        import _quarnel as q
        c, b = q.Tensor([2, 3]), q.Tensor.ones([2, 3])
    else:
        import mlx.core as mx
        c, b = mx.zeros((2, 3), mx.float32), mx.ones((2, 3), mx.float32)
        mx.eval(c, b)
    before = resident()
    for _ in range(n):
        c = c + b
    return (resident() - before) / n


def fresh(*args):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), *map(str, args)], capture_output=True, text=True)
    if out.returncode != 0:
        raise SystemExit(f"memory.py {' '.join(map(str, args))} failed: {out.stderr[-2000:]}")
    return json.loads(out.stdout)


def main():
    if len(sys.argv) > 2:
        what, side, *arg = sys.argv[1:]
        print(json.dumps({"churn": churn, "live": live, "record": record}[what](side, *map(int, arg))))
        return
    quick = "--quick" in sys.argv
    sides = ("quarnel", "numpy")
    sizes = [4 * MiB + 4, 5 * MiB, 64 * MiB + 4] + ([] if quick else [1024 * MiB])
    peers = ("quarnel", "mlx") if subprocess.run([sys.executable, "-c", "import mlx.core"]).returncode == 0 else ("quarnel",)
    print(json.dumps({
        "churn": {side: fresh("churn", side) for side in sides},
        "live": [{"bytes": b, **{side: fresh("live", side, b) for side in sides}} for b in sizes],
        "record": {side: fresh("record", side, 10**5 if quick else 10**6) for side in peers},
    }, indent=1))


if __name__ == "__main__":
    main()
