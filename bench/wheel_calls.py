"""The per-call rows of latency.py for one installed _quarnel, under pyperf,
or counted out for callgrind.

    python wheel_calls.py --row KEY [pyperf options]   one row, pyperf's processes and statistics
    python wheel_calls.py --count KEY N CALLS          the setup of N calls, then CALLS of them, untimed

bench/compare-wheels runs it in each wheel's environment: the rows alternate
between the wheels, and callgrind takes the difference of CALLS = N and
CALLS = 0, whose startup, imports and setup are the same.
"""

from __future__ import annotations

import sys

from harness import compile_loop
from latency import ROWS

import _quarnel as q

A, B = q.Tensor([2, 3]), q.Tensor.ones([2, 3])
NAMES = {"Tensor": q.Tensor, "zeros": q.Tensor.zeros, "ones": q.Tensor.ones, "a": A, "b": B,
         "execute": q.execute}
# execute consumes a pending result per call: results are made in batches
# outside the timed loop, just before their use, or 16,384 adds earlier.
BATCH = {"execute": 256, "execute_cold": 16384}


def case(key: str):
    """(run, make): run(arg) -> ns, over a count, or over the list make(k) made."""
    row = next(r for r in ROWS if r.key == key)
    names = {k: v for k, v in NAMES.items() if k in row.quarnel}
    if key in BATCH:
        return compile_loop(row.quarnel, names, over_list=True), lambda k: [A + B for _ in range(k)]
    return compile_loop(row.quarnel, names), None


def time_func(loops: int, key: str) -> float:
    run, make = case(key)
    if make is None:
        return run(loops) / 1e9
    total = 0
    while loops > 0:
        k = min(loops, BATCH[key])
        total += run(make(k))
        loops -= k
    return total / 1e9


def main() -> None:
    if sys.argv[1:2] == ["--count"]:
        key, n, calls = sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
        run, make = case(key)
        run(make(n)[:calls] if make else calls)
        return
    import pyperf

    runner = pyperf.Runner(add_cmdline_args=lambda cmd, args: cmd.extend(("--row", args.row)))
    runner.argparser.add_argument("--row", required=True, choices=[r.key for r in ROWS])
    args = runner.parse_args()
    runner.bench_time_func(args.row, time_func, args.row)


if __name__ == "__main__":
    main()
