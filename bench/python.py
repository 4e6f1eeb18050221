"""The Python timings, on pyperf: _quarnel's bound calls beside the pybind11 floor (bench/floor: the same call
shapes, empty bodies) and the peers, large blocks beside NumPy, and graphs recorded beside MLX.

    python bench/python.py [--quick] [pyperf options] -o FILE          CPython 3.13: _quarnel, the floor, NumPy, MLX
    python bench/python.py --torch [--quick] [pyperf options] -o FILE  CPython 3.11: PyTorch, on the CPU and meta

Benchmarks are named SIDE/CASE. A statement runs in pyperf's timeit loop with its side's names as locals, so
every side pays the same interpreter costs ("loop", the empty loop, the report subtracts); the lazy add and
execute, which keep memory, in a loop of the same kind that settles first. A worker imports only its own side.
"""

import itertools
import os
import sys
import time
from importlib import metadata, util

import pyperf

# Before torch is imported: its OpenMP and MKL runtimes read these when they load.
os.environ.update(OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench", "cmake", "floor"))

SETUP = {
    "quarnel": "import _quarnel as q; Tensor, zeros, ones, execute, i32 = q.Tensor, q.Tensor.zeros, q.Tensor.ones, "
               "q.execute, q.int32; a, b = q.Tensor([2, 3]), q.Tensor.ones([2, 3])",
    "floor": "import _bench_floor as f; Tensor, zeros, ones, execute = f.Obj, f.Obj.zeros, f.Obj.ones, f.execute; "
             "a = b = f.Obj([2, 3])",
    "numpy": "import numpy as np; empty, zeros, ones, contiguous, f32, i32 = np.empty, np.zeros, np.ones, "
             "np.ascontiguousarray, np.float32, np.int32; a, b = zeros((2, 3), f32), ones((2, 3), f32)",
    "mlx": "import mlx.core as mx; zeros, ones, contiguous, execute, f32 = mx.zeros, mx.ones, mx.contiguous, mx.eval, "
           "mx.float32; a, b = zeros((2, 3), f32), ones((2, 3), f32); execute(a, b)",
    "torch": "import torch; torch.set_num_threads(1); empty, zeros, ones = torch.empty, torch.zeros, torch.ones; "
             "a, b = zeros(2, 3), ones(2, 3)",
    "torch_meta": "import torch; torch.set_num_threads(1); empty, zeros, ones, meta = torch.empty, torch.zeros, "
                  "torch.ones, torch.device('meta'); a, b = empty(2, 3, device=meta), empty(2, 3, device=meta)",
}
CALLS = {
    "quarnel": ["Tensor([2, 3])", "zeros([2, 3])", "ones([2, 3])", "a.shape", "a.numel()", "repr(a)",
                "a.view([-1])", "a.reshape([3, 2])", "a.contiguous()"],
    "numpy": ["empty((2, 3), f32)", "zeros((2, 3), f32)", "ones((2, 3), f32)", "a.shape", "a.size", "repr(a)",
              "a.reshape(-1)", "a.reshape(3, 2)", "contiguous(a)"],
    # MLX has no constructor that leaves memory uninitialised: its first row is zeros.
    "mlx": ["zeros((2, 3), f32)", "zeros((2, 3), f32)", "ones((2, 3), f32)", "a.shape", "a.size", "repr(a)",
            "a.reshape(-1)", "a.reshape(3, 2)", "contiguous(a)"],
    "torch": ["empty(2, 3)", "zeros(2, 3)", "ones(2, 3)", "a.shape", "a.numel()", "repr(a)", "a.view(-1)",
              "a.reshape(3, 2)", "a.contiguous()"],
}
CALLS["floor"] = CALLS["quarnel"]
CALLS["torch_meta"] = [s.replace("(2, 3)", "(2, 3, device=meta)") for s in CALLS["torch"]]
CASES = ["ctor", "zeros", "ones", "shape", "numel", "repr", "view", "reshape", "contiguous"]
MiB = 1 << 20


def settle(nbytes):
    """Touches and frees nbytes: a virtual machine's host may back memory only on its first touch, at several
    times a page fault's cost, and memory just freed comes back backed, so a growing case measures the library."""
    _ = b"\1" * nbytes


def lazy_time(loops, side, batch):
    """a + b (batch 0), or execute(x) for x made `batch` adds before, or fewer: only the calls are timed."""
    exec(SETUP[side], names := {})
    a, b, execute = names["a"], names["b"], names.get("execute")
    settle(loops * 512)
    if not batch:
        t0 = time.perf_counter()
        for _ in itertools.repeat(None, loops):
            a + b
        return time.perf_counter() - t0
    total = 0.0
    for start in range(0, loops, batch):
        xs = [a + b for _ in range(min(batch, loops - start))]
        t0 = time.perf_counter()
        for x in xs:
            execute(x)
        total += time.perf_counter() - t0
    return total


def record_time(loops, side, n, shape):
    """Recording n adds of [2, 3] fp32 tensors: a chain c = c + b, or a balanced tree of adds over one leaf."""
    exec(SETUP[side], names := {})
    a, b = names["a"], names["b"]
    settle(loops * n * 512)

    def tree(adds):
        return a if adds == 0 else tree((adds - 1) // 2) + tree(adds - 1 - (adds - 1) // 2)

    t0 = time.perf_counter()
    for _ in range(loops):
        if shape == "tree":
            tree(n)
        else:
            c = a
            for _ in range(n):
                c = c + b
    return time.perf_counter() - t0


def main():
    runner = pyperf.Runner(add_cmdline_args=lambda cmd, args: cmd.extend(
        [flag for flag in ("--quick", "--torch") if getattr(args, flag[2:])]))
    runner.argparser.add_argument("--quick", action="store_true", help="fewer sizes")
    runner.argparser.add_argument("--torch", action="store_true", help="PyTorch's side, on CPython 3.11")
    args = runner.parse_args()
    have = [name for name in (("torch",) if args.torch else ("numpy", "mlx")) if util.find_spec(name)]
    runner.metadata["peers"] = ", ".join(f"{name} {metadata.version(name)}" for name in have)
    mlx = ["mlx"] if "mlx" in have else []
    runner.timeit("loop", "pass")
    # Each case on every side in turn, so that a change in the machine's load falls between the sides least.
    sides = ["torch", "torch_meta"] if args.torch else ["quarnel", "floor", "numpy"] + mlx
    for i, case in enumerate(CASES):
        for side in sides:
            runner.timeit(f"{side}/{case}", CALLS[side][i], setup=SETUP[side])
    for side in sides:
        runner.bench_time_func(f"{side}/add", lazy_time, side, 0)
    if args.torch:
        return
    # Results made just before, and made 16,384 adds earlier (their memory has left the caches).
    for side in ["quarnel", "floor"] + mlx:
        runner.bench_time_func(f"{side}/execute", lazy_time, side, 256)
        runner.bench_time_func(f"{side}/execute_cold", lazy_time, side, 16384)
    # Blocks of 4 and 16 MiB come back warm when freed, to both sides; from 64 MiB every call maps fresh pages.
    for nbytes in [4 * MiB, 16 * MiB, 64 * MiB, 256 * MiB] + ([] if args.quick else [1024 * MiB]):
        n = nbytes // 4
        runner.timeit(f"quarnel/ones/{nbytes}", f"ones([{n}], i32)", setup=SETUP["quarnel"])
        runner.timeit(f"numpy/ones/{nbytes}", f"ones({n}, i32)", setup=SETUP["numpy"])
        for what in ("zeros", "empty") if nbytes >= 64 * MiB else ():  # one write per 4 KiB page: a first use
            runner.timeit(f"numpy/{what}_touched/{nbytes}", f"x = {what}({n}, f32); x[::1024] = 0", SETUP["numpy"])
    for n in [10**3, 10**4, 10**5] + ([] if args.quick else [10**6]):
        for shape in ("chain", "tree"):
            for side in ["quarnel"] + mlx:
                runner.bench_time_func(f"{side}/record_{shape}/{n}", record_time, side, n, shape, inner_loops=n)


if __name__ == "__main__":
    main()
