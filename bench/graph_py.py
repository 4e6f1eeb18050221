"""Recording graphs from Python, beside the peers that record too.

    python bench/graph_py.py [--quick] [--torch-python PY] [--json FILE]
    python bench/graph_py.py point PEER SHAPE N      (one point, in this process)
    python bench/graph_py.py depth PEER N            (materialise a chain of N)

A point builds N adds of [2, 3] fp32 tensors from Python, as a chain
(c = c + x) or as a balanced tree over one leaf, and reports the time and
the growth of the resident set per add, in a fresh process that first
touches and frees about as much memory as the point will use (as the C++
graph benchmark does). Peers: _quarnel, MLX (its add records a node and
computes nothing until mx.eval) and PyTorch on the meta device (tensors
without data; its add infers the result's metadata), which runs in the
interpreter that --torch-python names. "depth" materialises a chain of N
(execute, mx.eval; the meta device has nothing to materialise), and the
table reports the deepest chain that each peer's process survived.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time

from harness import settle

SETTLE_BYTES_PER_NODE = 600


def resident() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def operands(peer: str):
    """A leaf, an operand, and what materialises a result, for one peer."""
    if peer == "quarnel":
        import _quarnel as q
        return q.Tensor([2, 3]), q.Tensor.ones([2, 3]), q.execute
    if peer == "mlx":
        import mlx.core as mx
        a, b = mx.zeros((2, 3), mx.float32), mx.ones((2, 3), mx.float32)
        mx.eval(a, b)
        return a, b, mx.eval
    if peer == "torch_meta":
        import torch
        torch.set_num_threads(1)
        return torch.empty(2, 3, device="meta"), torch.empty(2, 3, device="meta"), None
    raise SystemExit(f"unknown peer {peer}")


def tree(leaf, adds: int):
    if adds == 0:
        return leaf
    left = (adds - 1) // 2
    return tree(leaf, left) + tree(leaf, adds - 1 - left)


def point(peer: str, shape: str, n: int) -> dict:
    leaf, x, _ = operands(peer)
    settle(n * SETTLE_BYTES_PER_NODE)
    resident()
    before = resident()
    t0 = time.perf_counter_ns()
    if shape == "chain":
        c = leaf
        for _ in range(n):
            c = c + x
    else:
        c = tree(leaf, n)
    t1 = time.perf_counter_ns()
    grown = resident() - before
    return {"peer": peer, "shape": shape, "n": n, "record_ns_per_add": (t1 - t0) / n, "bytes_per_add": grown / n}


def depth(peer: str, n: int) -> None:
    leaf, x, materialise = operands(peer)
    c = leaf
    for _ in range(n):
        c = c + x
    materialise(c)


def measure(quick: bool, torch_python: str | None) -> dict:
    sizes = [10**3, 10**4, 10**5] if quick else [10**3, 10**4, 10**5, 10**6]
    peers = {"quarnel": sys.executable, "mlx": sys.executable}
    missing = {}
    try:
        import mlx.core  # noqa: F401
    except ImportError as e:
        del peers["mlx"]
        missing["mlx"] = f"MLX could not be imported: {e}"
    if torch_python:
        peers["torch_meta"] = torch_python
    else:
        missing["torch_meta"] = "no CPython with PyTorch (see the PyTorch notes)"
    rows = []
    me = os.path.abspath(__file__)
    for n in sizes:
        for shape in ("chain", "tree"):
            for peer, python in peers.items():
                # A meta add costs tens of microseconds: 10^6 of them would take minutes.
                if peer == "torch_meta" and n > 10**5:
                    continue
                out = subprocess.run([python, me, "point", peer, shape, str(n)], capture_output=True, text=True)
                if out.returncode != 0:
                    raise SystemExit(f"graph_py point {peer} {shape} {n} failed: {out.stderr[-2000:]}")
                rows.append(json.loads(out.stdout))
                print(f"graph_py {peer} {shape} {n}", file=sys.stderr, flush=True)
    depths = {}
    for peer, python in peers.items():
        if peer == "torch_meta":
            continue
        survived = 0
        for n in [10**3, 10**4, 10**5, 10**6]:
            if subprocess.run([python, me, "depth", peer, str(n)], capture_output=True).returncode != 0:
                break
            survived = n
        depths[peer] = survived
    return {"rows": rows, "depth_survived": depths, "missing": missing}


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] in ("point", "depth"):
        if sys.argv[1] == "point":
            print(json.dumps(point(sys.argv[2], sys.argv[3], int(sys.argv[4]))))
        else:
            depth(sys.argv[2], int(sys.argv[3]))
        return
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--torch-python")
    ap.add_argument("--json")
    args = ap.parse_args()
    from harness import emit_json

    emit_json(measure(args.quick, args.torch_python), args.json)


if __name__ == "__main__":
    main()
