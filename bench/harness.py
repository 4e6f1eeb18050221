"""Timing harness shared by the Python benchmarks.

Every case is a compiled loop whose names are bound as local defaults, so a
quarnel call, its floor and its NumPy or PyTorch counterpart pay the same
interpreter costs. Cases run in rounds, each round visiting every case once
in an order shuffled anew (with a fixed seed), so that a disturbance of the
machine, and whatever the case before leaves in the caches, lands on all of
them alike; a case's figure is its median over the rounds, net of the cost of
the empty loop measured in the same rounds.
"""

from __future__ import annotations

import gc
import itertools
import json
import mmap
import random
import statistics
import time
from dataclasses import dataclass, field
from typing import Any, Callable

_timer = time.perf_counter_ns


def compile_loop(stmt: str, names: dict[str, Any], over_list: bool = False) -> Callable[[Any], int]:
    """Returns run(arg) -> elapsed ns. With over_list, arg is a list and the
    statement runs once per item (bound to `x`); otherwise arg is a count."""
    params = "".join(f", {k}={k}" for k in names)
    if over_list:
        head = "    _t0 = _timer()\n    for x in _arg:\n"
    else:
        head = "    _it = _repeat(None, _arg)\n    _t0 = _timer()\n    for _ in _it:\n"
    src = f"def _run(_arg, _timer=_timer, _repeat=_repeat{params}):\n{head}        {stmt}\n    return _timer() - _t0\n"
    scope = dict(names)
    scope["_timer"] = _timer
    scope["_repeat"] = itertools.repeat
    exec(compile(src, f"<case {stmt!r}>", "exec"), scope)
    return scope["_run"]


@dataclass
class Case:
    key: str
    stmt: str
    names: dict[str, Any] = field(default_factory=dict)
    # For statements that consume something per call (execute of a pending
    # result): make(k) builds k items outside the timed region, and a sample
    # times them in batches of `batch`, each batch made just before its use.
    make: Callable[[int], list] | None = None
    batch: int = 256
    samples: list[float] = field(default_factory=list)
    n: int = 0
    total_calls: int = 0  # calibration included

    def __post_init__(self) -> None:
        self.run = compile_loop(self.stmt, self.names, over_list=self.make is not None)

    def calls(self) -> int:
        if self.make is not None:
            return max(1, self.n // self.batch) * self.batch
        return self.n

    def sample(self) -> int:
        self.total_calls += self.calls()
        if self.make is not None:
            total = 0
            for _ in range(max(1, self.n // self.batch)):
                total += self.run(self.make(self.batch))
            return total
        return self.run(self.n)


def calibrate(case: Case, target_ns: int) -> None:
    # The first call of a case may be a cold one (first touch of a block,
    # first use of a code path); it must not decide the count.
    case.n = 1
    case.sample()
    n = 1
    while True:
        case.n = n
        dt = case.sample()
        if dt >= target_ns or n >= 1 << 24:
            return
        n = max(n * 2, int(n * target_ns / max(dt, 1)) + 1)


def run_rounds(cases: list[Case], rounds: int, target_ns: int,
               progress: Callable[[int], None] | None = None,
               before_round: Callable[[], None] | None = None) -> dict[str, list[float]]:
    """Per-round ns per call of each case, net of the empty loop's median
    cost. Index r of every list comes from the same round; before_round, if
    given, runs before each round, untimed."""
    empty_repeat = Case("_empty_repeat", "pass")
    empty_list = Case("_empty_list", "pass", make=lambda n: [None] * n)
    everything = [empty_repeat, empty_list] + cases
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for c in everything:
            calibrate(c, target_ns)
        order = list(everything)
        shuffle = random.Random(20261208).shuffle
        for r in range(rounds):
            if before_round:
                before_round()
            shuffle(order)
            for c in order:
                c.samples.append(c.sample() / c.calls())
            if progress:
                progress(r)
    finally:
        if gc_was_enabled:
            gc.enable()
    base_repeat = statistics.median(empty_repeat.samples)
    base_list = statistics.median(empty_list.samples)
    out = {}
    for c in cases:
        base = base_list if c.make is not None else base_repeat
        out[c.key] = [x - base for x in c.samples]
    out["_loop_repeat"] = empty_repeat.samples
    out["_loop_list"] = empty_list.samples
    return out


def median_ratio(num: list[float], den: list[float]) -> float:
    """Median over rounds of num[r] / den[r]: both were measured back to back
    in each round, so a slow spell of the machine cancels out."""
    return statistics.median(n / d for n, d in zip(num, den))


def emit_json(out: dict, path: str | None) -> None:
    """Writes a result to `path`, or prints it when no path is given."""
    text = json.dumps(out, indent=1)
    if path:
        with open(path, "w") as f:
            f.write(text)
    else:
        print(text)


def settle(nbytes: int) -> None:
    """Touches and frees nbytes. A virtual machine's host may back guest
    memory only when it is first touched, at several times the guest's own
    page fault; memory a process has just freed comes back already backed.
    A benchmark whose memory grows settles first, so that it measures the
    library rather than the host's history."""
    block = mmap.mmap(-1, nbytes)
    for i in range(0, nbytes, 4096):
        block[i] = 1
    block.close()
