"""Large tensors in a fresh process each: what they keep resident while they
live, and that their memory goes back to the system when they die."""
import subprocess
import sys
import textwrap

import pytest

MiB = 1 << 20

pytestmark = pytest.mark.resident_set

RESIDENT = """
import os
import _quarnel as q

def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
"""


def run(code):
    result = subprocess.run([sys.executable, "-c", RESIDENT + textwrap.dedent(code)], capture_output=True,
                            text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return [float(x) for x in result.stdout.split()]


@pytest.mark.parametrize("nbytes", [4 * MiB + 4, 5 * MiB, 64 * MiB + 4])
def test_a_written_large_tensor_keeps_no_more_than_its_pages(nbytes):
    growth, = run(f"""
q.Tensor.ones([1024], q.int32)  # first-time costs of the call
resident()                      # and of the measurement
before = resident()
t = q.Tensor.ones([{nbytes // 4}], q.int32)
print(resident() - before)
""")
    pages = -(-nbytes // 4096) * 4096
    # What malloc's own mapping of the same request keeps, with a page to spare
    # for the interpreter's own small allocations.
    assert pages - 4096 <= growth <= pages + 2 * 4096, growth


@pytest.mark.slow
def test_churn_of_large_tensors_gives_the_memory_back():
    # 40 live tensors of 4 to 10 MiB, 2,000 made in all, each written once,
    # then all of them dropped.
    peak, live_peak, after, before = run("""
import random
rng = random.Random(7)
resident()
before = resident()
live, peak, live_peak = [], 0, 0
for i in range(2000):
    nbytes = rng.randrange(4 << 20, 10 << 20, 4)
    if len(live) == 40:
        live.pop(rng.randrange(40))
    live.append(q.Tensor.ones([nbytes // 4], q.int32))
    peak = max(peak, resident() - before)
    live_peak = max(live_peak, sum(t.nbytes() for t in live))
live.clear()
print(peak, live_peak, resident() - before, before)
""")
    # At most 16 MiB of released blocks are kept for reuse; a little more for
    # the pages of the interpreter's own objects.
    assert peak <= live_peak + 24 * MiB, (peak / MiB, live_peak / MiB)
    assert after <= 24 * MiB, after / MiB
