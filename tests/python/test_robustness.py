import sys
import threading
import time

import pytest

import _quarnel as q

Tensor = q.Tensor


def _run_threads(work, count, before_start=lambda: None):
    """Runs work(n) on count threads, switching between them often so that
    their calls really interleave."""
    threads = [threading.Thread(target=work, args=(n,)) for n in range(count)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        before_start()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)


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

    _run_threads(work, workers)
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


@pytest.mark.slow
def test_eight_threads_mixing_calls_on_shared_tensors():
    """Eight threads for about two seconds: views, reshapes, copies, properties,
    text forms, failing calls, adds of the shared tensors and executes of their
    own results, all on the same few tensors. Nothing raises but what each
    failing call must, and every result is consistent afterwards."""
    shared = [Tensor.ones([4, 6], q.INT64), Tensor.zeros([24], q.INT64), Tensor([2, 3, 4], q.INT64)]
    before = [(t.shape, t.strides, t.nbytes(), t.allocated()) for t in shared]
    start = threading.Barrier(8)
    deadline = [0.0]
    results, errors = [], []

    def work(seed):
        try:
            start.wait()
            executed, pending, views, rounds = [], [], [], 0
            while time.monotonic() < deadline[0]:
                t = shared[(seed + rounds) % len(shared)]
                v = t.view([-1, 4]) if rounds % 2 else t.reshape([2, -1])
                views.append(v)
                assert (v.numel(), v.nbytes(), v.allocated(), v.is_contiguous()) == (24, 192, True, True)
                assert t.contiguous().shape == t.shape and repr(v).startswith("quarnel.Tensor(shape=[")
                assert t.dtype == q.INT64 and t.device == q.CPU and t.offset == 0
                for call, exc in ((lambda: t.view([5, -1]), ValueError), (lambda: t + Tensor([3]), ValueError),
                                  (lambda: Tensor([2], q.Dtype(8)), ValueError), (lambda: t.reshape(["x"]), TypeError),
                                  (lambda: Tensor([2], device=q.CUDA), RuntimeError), (lambda: q.execute(v.shape), TypeError)):
                    try:
                        call()
                    except exc:
                        pass
                    else:
                        raise AssertionError("a failing call did not raise")
                s = t + t.view(t.shape)
                if rounds % 3 == 0:
                    q.execute(s)
                    executed.append(s)
                else:
                    pending.append(s)
                rounds += 1
            results.append((rounds, executed, pending, views))
        except BaseException as exc:  # re-raised in the main thread
            errors.append(exc)

    _run_threads(work, 8, before_start=lambda: deadline.__setitem__(0, time.monotonic() + 2.0))
    assert errors == []
    assert len(results) == 8 and all(rounds > 0 for rounds, *_ in results)
    for rounds, executed, pending, views in results:
        assert len(executed) == (rounds + 2) // 3 and len(executed) + len(pending) == rounds
        assert all(s.allocated() for s in executed)
        assert not any(s.allocated() for s in pending)  # no one executed these
        assert all(v.numel() == 24 and v.allocated() for v in views)
    assert [(t.shape, t.strides, t.nbytes(), t.allocated()) for t in shared] == before
