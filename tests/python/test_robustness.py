import gc
import os
import sys
import threading

import _quarnel as q

Tensor = q.Tensor


def test_threads_adding_and_executing_at_once():
    workers, rounds = 8, 1500
    start = threading.Barrier(workers)
    done, pending, errors = [], [], []

    def work(seed):
        try:
            start.wait()
            a = Tensor.ones([seed + 1, 3], q.INT32)
            acc = a
            for i in range(rounds):
                acc = acc + a
                if i % 3 == 0:
                    q.execute(acc)
                    done.append(acc)
                else:
                    pending.append(acc.view([-1]))
            q.execute(acc)
            done.append(acc)
        except BaseException as exc:  # re-raised in the main thread
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(workers)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads often so calls really interleave
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == []
    assert len(done) == workers * (rounds // 3 + 1)
    assert all(t.allocated() for t in done)
    # Every pending view belongs to a result whose later sibling was executed,
    # so the chain walk allocated it too.
    assert all(v.allocated() for v in pending)
    # A fresh pending result made after all that is still pending.
    assert (Tensor([1]) + Tensor([1])).allocated() is False


def test_long_chain_of_adds_executes_in_one_call():
    a = Tensor([2])
    c = a
    kept = []
    for i in range(200_000):
        c = c + a
        if i % 10_000 == 0:
            kept.append(c)
    assert c.allocated() is False and not any(t.allocated() for t in kept)
    q.execute(c)
    assert c.allocated() and all(t.allocated() for t in kept)


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _churn(count):
    for _ in range(count):
        t = Tensor([256], q.INT64)  # 2 KiB each: a leak of the storage shows at once
        t.view([16, -1]).reshape([-1]).contiguous()
        Tensor.zeros([4, 4]).contiguous()
        Tensor.ones([2, 8], q.FLOAT64).view([16])


def test_tensors_never_added_are_released():
    _churn(10_000)  # warm-up: let the allocator and interpreter reach steady state
    gc.collect()
    before = _rss_bytes()
    _churn(100_000)
    gc.collect()
    growth = _rss_bytes() - before
    # Leaking even the 2 KiB buffers would add about 200 MB.
    assert growth < 20 * 2**20, f"RSS grew by {growth / 2**20:.1f} MiB"
