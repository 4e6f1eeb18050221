"""What large tensors and recorded graphs keep, from the resident set, each in a fresh process; JSON on stdout.

    python bench/memory.py [--quick]
    python bench/memory.py churn|live|record SIDE [ARG]     (one measurement, in this process)

churn: 40 live tensors of 4 to 10 MiB, 2,000 made in all (ones: every page written), then all dropped: the peak
growth, and what is left after the drop. live: one written tensor. record: per add, in a chain of N adds.
"""

import json
import os
import random
import subprocess
import sys
from importlib import util

import python

MiB = 1 << 20


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def ones(side):
    exec(python.SETUP[side], names := {})
    return lambda nbytes: names["ones"]([nbytes // 4] if side == "quarnel" else nbytes // 4, names["i32"])


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
    exec(python.SETUP[side], names := {})
    c, b = names["a"], names["b"]
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
    peers = ["quarnel"] + (["mlx"] if util.find_spec("mlx") else [])
    print(json.dumps({
        "churn": {side: fresh("churn", side) for side in sides},
        "live": [{"bytes": b, **{side: fresh("live", side, b) for side in sides}} for b in sizes],
        "record": {side: fresh("record", side, 10**5 if quick else 10**6) for side in peers},
    }, indent=1))


if __name__ == "__main__":
    main()
