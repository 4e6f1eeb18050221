"""Describes the machine and the software the benchmarks ran with, as JSON."""

from __future__ import annotations

import datetime
import json
import os
import platform
import subprocess
import sys

TORCH_NOTE = (
    "measured by bench/torch_side.py in processes of its own, in .venv-torch on CPython 3.11, with one thread "
    "(torch.set_num_threads(1), OMP_NUM_THREADS=MKL_NUM_THREADS=1), with the statements, sizes, rounds and timing "
    "of the other columns; each of its figures is net of the empty loop timed in its own process. The CPU build of "
    "PyTorch on this machine's disk is for CPython 3.11 only: PyPI offers CPython 3.13 on x86_64 only CUDA builds "
    "of several GB."
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
    import pybind11

    here = os.path.dirname(os.path.abspath(__file__))
    git = lambda *a: subprocess.run(["git", "-C", here, *a], capture_output=True, text=True).stdout.strip()  # noqa: E731
    commit = git("rev-parse", "--short", "HEAD") + (" with uncommitted changes" if git("status", "--porcelain") else "")

    env = {
        "commit": commit,
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
        "torch_note": TORCH_NOTE,
    }
    print(json.dumps(env, indent=1))


if __name__ == "__main__":
    main()
