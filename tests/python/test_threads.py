"""Many threads at once: each constructs, computes, runs backward and clears
its own tape while all share read-only tensors. Every result must equal the
one computed alone on the main thread, bit for bit.

VORKA_THREADS and VORKA_THREAD_ROUNDS set the size (default 8 threads x 40 rounds)."""

import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import vorka
from vorka import Tensor

relu = vorka.nn.functional.relu
N_THREADS = int(os.environ.get("VORKA_THREADS", "8"))
ROUNDS = int(os.environ.get("VORKA_THREAD_ROUNDS", "40"))
live_storages = getattr(vorka.vorka_core, "_live_storages", None)

rng = np.random.default_rng(11)
SHARED_A = Tensor(rng.standard_normal((4, 3)).astype(np.float32))
SHARED_B = Tensor(rng.standard_normal((3, 5)).astype(np.float32))
SHARED_H = Tensor(rng.standard_normal((2, 4, 3)), dtype="f16")
SHARED_BF = Tensor(rng.standard_normal((4, 3)), dtype="bf16")
SHARED_M = Tensor(rng.standard_normal((4, 3)) > 0, dtype="bool")


def one_round(seed):
    """Records a graph on the calling thread's tape, runs backward, reads gradients."""
    r = np.random.default_rng(seed)
    x = Tensor(r.standard_normal((4, 3)).astype(np.float32), requires_grad=True)
    h = Tensor(r.standard_normal((4, 3)), dtype="f16", requires_grad=True)
    b = Tensor(r.standard_normal((4, 3)), dtype="bf16", requires_grad=True)
    out = relu((x * SHARED_A + 0.5) @ SHARED_B) / 2.0
    out.backward()
    hx = (h @ SHARED_H.transpose(1, 2)).reshape([2, 16]) - 1.0
    hx.backward()
    bx = relu(b / (SHARED_BF * SHARED_BF + 1.0)).transpose(0, 1)
    bx.backward()
    forward = [out.to_numpy(), hx.to_numpy(), bx.to_numpy(), (SHARED_M ^ (x > 0)).to_numpy(),
               (SHARED_H == SHARED_H).to_numpy(), (2.0 / SHARED_BF).to_numpy()]
    return forward + [x.grad(), h.grad(), b.grad()]


def expected(k, r):
    return 1000 * k + r


@pytest.fixture(scope="module")
def reference():
    Tensor.clear_graph()
    ref = {}
    for k in range(N_THREADS):
        for r in range(ROUNDS):
            ref[k, r] = one_round(expected(k, r))
            Tensor.clear_graph()
    return ref


def same(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


def test_threads_compute_record_and_clear_concurrently(reference):
    main_leaf = Tensor([1.0, 2.0], requires_grad=True)  # its id belongs to the main thread's tape
    barrier = threading.Barrier(N_THREADS)
    failures = []
    done = [0] * N_THREADS

    def worker(k):
        try:
            barrier.wait()
            for r in range(ROUNDS):
                got = one_round(expected(k, r))
                if not all(same(g, w) for g, w in zip(got, reference[k, r])):
                    failures.append(f"thread {k} round {r}: results differ from the single-threaded run")
                # A tensor recorded on another thread is refused, not misread.
                try:
                    main_leaf * 2.0
                    failures.append(f"thread {k}: foreign node id accepted")
                except RuntimeError:
                    pass
                stale = Tensor([1.0], requires_grad=True)
                if r % 2:
                    Tensor.clear_graph()
                    try:
                        stale.backward()
                        failures.append(f"thread {k}: stale id accepted after clear_graph()")
                    except RuntimeError:
                        pass
                done[k] += 1
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append(f"thread {k}: {e!r}")

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads often, mid-call sequences interleave
    try:
        threads = [threading.Thread(target=worker, args=(k,)) for k in range(N_THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert not failures, failures[:5]
    assert done == [ROUNDS] * N_THREADS
    # The main thread's tape was untouched by all of that.
    (main_leaf * 3.0).backward()
    np.testing.assert_array_equal(main_leaf.grad(), [3.0, 3.0])


def test_thread_exit_releases_its_tape():
    if not live_storages:
        pytest.skip("built without test hooks")
    Tensor.clear_graph()
    base = live_storages()

    def record():
        x = Tensor(np.ones((8, 8), np.float32), requires_grad=True)
        for _ in range(50):
            x = relu(x * 1.5) - 0.25
        x.backward()

    threads = [threading.Thread(target=record) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # join() returns once the interpreter is done with a thread; the C++
    # thread-local tape is destroyed a moment later, as the OS thread exits.
    deadline = time.monotonic() + 10.0
    while live_storages() != base and time.monotonic() < deadline:
        time.sleep(0.01)
    assert live_storages() == base


INIT_RACE = r"""
import sys, threading
sys.setswitchinterval(1e-6)
n = 16
barrier = threading.Barrier(n)
seen = [None] * n

def work(i):
    barrier.wait()
    import vorka
    from vorka import Tensor
    t = Tensor([1.5, -2.0, 3.0], dtype="bf16" if i % 2 else "f16")
    a = (t * 2.0).to_numpy()
    seen[i] = (type(t), vorka.PanicException, str(a.dtype), a.tolist(),
               Tensor([0.5], dtype="bf16").to_numpy().dtype)

threads = [threading.Thread(target=work, args=(i,)) for i in range(n)]
for t in threads: t.start()
for t in threads: t.join()
assert all(s is not None for s in seen), seen
cls, panic = seen[0][0], seen[0][1]
assert all(s[0] is cls and s[1] is panic for s in seen)
assert {s[2] for s in seen} == {"bfloat16", "float16"}
assert all(s[3] == [3.0, -4.0, 6.0] for s in seen)
assert len({id(s[4]) for s in seen}) == 1, "one bfloat16 dtype object for the whole process"
print("ok")
"""


@pytest.mark.parametrize("attempt", range(4))
def test_first_use_from_many_threads_at_once(attempt):
    """Class, PanicException, NumPy API table and the bfloat16 dtype are set up once, race-free."""
    out = subprocess.run([sys.executable, "-c", INIT_RACE], capture_output=True, text=True, timeout=300,
                         env=os.environ.copy())
    assert out.returncode == 0 and out.stdout.strip() == "ok", out.stderr[-3000:]
