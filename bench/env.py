"""Describes the machine and the software the benchmarks ran with, as JSON."""

from __future__ import annotations

import datetime
import json
import os
import platform
import sys

TORCH_NOTE = (
    "not installed. No CPU build of PyTorch for CPython 3.13 on x86_64 can be had cheaply here: this machine "
    "reaches only PyPI and Debian; PyPI's x86_64 wheels are CUDA builds (pip resolves `torch` for this .venv to "
    "torch 2.14.1 plus about twenty nvidia-* and cuda-* wheels, several GB, far past the 1 GB allowed for it), "
    "the CPU build on this machine's disk is for CPython 3.11, and Debian's python3-torch is built for its own "
    "Python 3.11. bench/run measures PyTorch whenever a CPU-capable build is importable in .venv."
)


def main() -> None:
    quick = "--quick" in sys.argv
    large = "--large" in sys.argv
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_kb = int(f.readline().split()[1])
    try:
        import numpy
        np_version = numpy.__version__
    except ImportError:
        np_version = None
    try:
        import torch
        torch_version = torch.__version__
    except ImportError:
        torch_version = None
    import pybind11

    env = {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "quick": quick,
        "large": large,
        "cpu": cpu,
        "cores": os.cpu_count(),
        "memory": f"{mem_kb / 2**20:.0f} GiB",
        "kernel": platform.release(),
        "glibc": " ".join(platform.libc_ver()),
        "python": platform.python_version(),
        "pybind11": pybind11.__version__,
        "numpy": np_version,
        "torch": torch_version,
        "torch_note": TORCH_NOTE,
    }
    print(json.dumps(env, indent=1))


if __name__ == "__main__":
    main()
