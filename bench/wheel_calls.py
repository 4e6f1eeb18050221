"""The per-call rows of python.py for one installed _quarnel, under pyperf, or counted out for callgrind.

    python wheel_calls.py --row ROW [pyperf options]   one row: pyperf's processes and statistics
    python wheel_calls.py --count ROW N CALLS          the setup of N calls, then CALLS of them, untimed

ROW is one of python.py's cases, or add, execute, execute_cold. bench/compare-wheels runs it in each
wheel's environment: the rows alternate between the wheels, and callgrind takes the difference of
CALLS = N and CALLS = 0, whose startup, imports and setup are the same.
"""

import sys

import pyperf

from python import CALLS, CASES, SETUP, lazy_time

BATCH = {"add": 0, "execute": 256, "execute_cold": 16384}
ROWS = CASES + list(BATCH)


def count(row, n, calls):
    exec(SETUP["quarnel"], names := {})
    if row in CASES:
        exec(f"for _ in range({calls}): {CALLS['quarnel'][CASES.index(row)]}", names)
    elif row == "add":
        exec(f"for _ in range({calls}): a + b", names)
    else:
        a, b, execute = names["a"], names["b"], names["execute"]
        for x in [a + b for _ in range(n)][:calls]:
            execute(x)


def main():
    if sys.argv[1:2] == ["--count"]:
        count(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
        return
    runner = pyperf.Runner(add_cmdline_args=lambda cmd, args: cmd.extend(("--row", args.row)))
    runner.argparser.add_argument("--row", required=True, choices=ROWS)
    row = runner.parse_args().row
    if row in CASES:
        runner.timeit(row, CALLS["quarnel"][CASES.index(row)], setup=SETUP["quarnel"])
    else:
        runner.bench_time_func(row, lazy_time, "quarnel", BATCH[row])


if __name__ == "__main__":
    main()
