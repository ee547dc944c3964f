"""Loops leave reference counts, blocks and memory flat; threads keep their own tapes and get the results of
one thread; first-use races are safe. VORKA_LEAK_ITERATIONS and VORKA_THREADS scale the loops."""

import gc
import itertools
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

from vorka import Tensor
from conftest import T, on_threads, relu

# AddressSanitizer's quarantine holds freed memory back, so RSS says nothing there (and loops are slow).
UNDER_ASAN = any("libasan" in line for line in open("/proc/self/maps"))
ITERATIONS = int(os.environ.get("VORKA_LEAK_ITERATIONS", "300" if UNDER_ASAN else "2000"))
N_THREADS = int(os.environ.get("VORKA_THREADS", "8"))

rng = np.random.default_rng(7)
A, B = (Tensor(rng.standard_normal((32, 32)).astype(np.float32)) for _ in range(2))  # 4 KiB each:
H = Tensor(rng.standard_normal((32, 32)), dtype="f16")                              # one leaked per call
BF = Tensor(rng.standard_normal((32, 32)), dtype="bf16")                            # shows in RSS
M = Tensor(rng.standard_normal((32, 32)) > 0, dtype="bool")
ARR = rng.standard_normal((32, 32)).astype(np.float32)
LIST, SHAPE = ARR.tolist(), [16, 64]
OPERANDS = [A, B, H, BF, M, ARR, LIST, SHAPE]


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def stale_backward():
    x = Tensor([1.0], requires_grad=True)
    Tensor.clear_graph()
    x.backward()


CASES = {  # name: (call, the exception it must raise or None)
    "construct": (lambda: (Tensor(LIST), Tensor(ARR.T, dtype="f16"), Tensor(ARR, dtype="bf16"),
                           Tensor(ARR > 0, dtype="bool")), None),
    "operations": (lambda: (A + B, A - 1.5, 1.5 / (H * H), BF / BF, A @ B, H @ H, BF @ BF.transpose(0, 1), A < B,
                            1.5 >= A, A.__rlt__(1.5), M & M, ~M, relu(BF), A.reshape(SHAPE), H.zeros_like(),
                            A.transpose(0, 1).to_numpy(), A.strides), None),
    "backward": (lambda: (lambda g, h: ((relu(g * A + g) @ B / 2.0 - g.transpose(0, 1)).backward(), g.grad(),
                                         (h @ H).backward(), h.grad()))(
        Tensor(ARR, requires_grad=True), Tensor(H.to_numpy(), dtype="f16", requires_grad=True)), None),
    "dtype_mismatch": (lambda: A + H, ValueError), "bool_arith": (lambda: M + M, TypeError),
    "logical_float": (lambda: A & B, RuntimeError), "relu_not_tensor": (lambda: relu(LIST), TypeError),
    "reshape_layout": (lambda: A.transpose(0, 1).reshape(SHAPE), ValueError),
    "reshape_item": (lambda: A.reshape([1, np.float64(2)]), TypeError), "declines": (lambda: 1.5 - A, TypeError),
    "no_grad": (lambda: A.backward(), ValueError), "stale": (stale_backward, RuntimeError),
    "record_then_fail": (lambda: (Tensor(ARR, requires_grad=True).reshape([1024]).reshape([32, 32]) * A) @ H,
                         ValueError),
    "construct_bad": (lambda: Tensor([[1.0], [1.0, 2.0]], requires_grad=True), ValueError),
    "binding": (lambda: Tensor(ARR, bogus=1), TypeError),
}


def run(call, error, n):
    for i in range(n):
        try:
            call()
        except error or ():
            pass
        if i % 64 == 63:
            Tensor.clear_graph()
    Tensor.clear_graph()


@pytest.mark.parametrize("name", sorted(CASES))
def test_loop_leaves_nothing_behind(name):
    call, error = CASES[name]
    if error is not None:  # the loop must really take the error path
        with pytest.raises(error):
            call()
    run(call, error, 200)  # warm caches, free lists and allocator pools
    # A leak grows in every round; a one-off growth (an interpreter cache or
    # container resizing) does not recur, so a second round decides.
    for _ in range(2):
        gc.collect()
        refs = [sys.getrefcount(o) for o in OPERANDS]
        objects, blocks, mem = len(gc.get_objects()), sys.getallocatedblocks(), rss()
        run(call, error, ITERATIONS)
        gc.collect()
        if sys.getallocatedblocks() - blocks < ITERATIONS // 10:
            break
    assert [sys.getrefcount(o) for o in OPERANDS] == refs, "operand reference counts changed"
    # A leak of one object per call would add ITERATIONS of them.
    assert len(gc.get_objects()) - objects < ITERATIONS // 10
    assert sys.getallocatedblocks() - blocks < ITERATIONS // 10, "Python blocks gained"
    if not UNDER_ASAN:  # one leaked 4 KiB buffer per call would add 8 MiB
        assert rss() - mem < 4 * 1024 * 1024, f"RSS grew by {(rss() - mem) >> 10} KiB"


@pytest.mark.skipif(UNDER_ASAN, reason="RSS says nothing under AddressSanitizer")
def test_a_threads_tape_goes_with_the_thread():
    def record(k):  # about 9 MB of recorded operands, never cleared
        x = Tensor(np.ones((256, 256), np.float32), requires_grad=True)
        for _ in range(12):
            x = relu(x * 1.5) - 0.25
        x.backward()

    on_threads(4, record)
    start = rss()
    for _ in range(15):
        on_threads(4, record)
    assert rss() - start < 40 * 1024 * 1024, "exited threads' tapes kept"


def test_million_operation_chain_then_clear():
    def chain():
        x = y = T([1.0, 2.0], requires_grad=True)
        for i in range(1_000_000):
            y = y + 1.0 if i % 2 else y * 1.0
        y.backward()
        np.testing.assert_array_equal(x.grad(), [1.0, 1.0])
        del y
        Tensor.clear_graph()
        assert x.grad() is None
        return rss()

    sizes = on_threads(1, lambda k: [chain() for _ in range(3)])[0]
    assert sizes[2] < sizes[1] + 64 * 1024 * 1024, "cleared memory is not reused"


def one_round(seed, shared):
    """Records graphs on the calling thread's tape, runs backward, reads gradients."""
    r = np.random.default_rng(seed)
    sa, sb, sh, sbf, sm = shared
    x, h, b = (Tensor(r.standard_normal((4, 3)), dtype=d, requires_grad=True) for d in ("f32", "f16", "bf16"))
    outs = [relu((x * sa + 0.5) @ sb) / 2.0, (h @ sh.transpose(1, 2)).reshape([2, 16]) - 1.0,
            relu(b / (sbf * sbf + 1.0)).transpose(0, 1)]
    for out in outs:
        out.backward()
    return [o.to_numpy() for o in outs + [sm ^ (x > 0), 2.0 / sbf]] + [x.grad(), h.grad(), b.grad()]


def test_threads_compute_record_and_clear_concurrently():
    r = np.random.default_rng(11)
    shared = (T(r.standard_normal((4, 3))), T(r.standard_normal((3, 5))),
              Tensor(r.standard_normal((2, 4, 3)), dtype="f16"), Tensor(r.standard_normal((4, 3)), dtype="bf16"),
              Tensor(r.standard_normal((4, 3)) > 0, dtype="bool"))
    reference = {}
    for k, i in itertools.product(range(N_THREADS), range(30)):
        Tensor.clear_graph()
        reference[k, i] = [a.tobytes() for a in one_round(1000 * k + i, shared)]
    Tensor.clear_graph()
    main_leaf = Tensor([1.0, 2.0], requires_grad=True)   # its id belongs to the main thread's tape
    barrier = threading.Barrier(N_THREADS)

    def worker(k):
        barrier.wait()
        for i in range(30):
            assert [a.tobytes() for a in one_round(1000 * k + i, shared)] == reference[k, i], (k, i)
            with pytest.raises(RuntimeError):
                main_leaf * 2.0   # a tensor recorded on another thread is refused, not misread
            stale = Tensor([1.0], requires_grad=True)
            if i % 2:
                Tensor.clear_graph()
                with pytest.raises(RuntimeError):
                    stale.backward()

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads often, mid-call sequences interleave
    try:
        on_threads(N_THREADS, worker)
    finally:
        sys.setswitchinterval(old)
    (main_leaf * 3.0).backward()   # the main thread's tape was untouched by all of that
    np.testing.assert_array_equal(main_leaf.grad(), [3.0, 3.0])


INIT_RACE = r"""
import sys, threading
sys.setswitchinterval(1e-6)
barrier, seen = threading.Barrier(16), [None] * 16

def work(i):
    barrier.wait()
    import vorka
    t = vorka.Tensor([1.5, -2.0, 3.0], dtype="bf16" if i % 2 else "f16")
    a, b = (t * 2.0).to_numpy(), vorka.Tensor([0.5], dtype="bf16").to_numpy()
    seen[i] = (type(t), vorka.PanicException, str(a.dtype), a.tolist(), b.dtype)

threads = [threading.Thread(target=work, args=(i,)) for i in range(16)]
for t in threads: t.start()
for t in threads: t.join()
assert all(s is not None for s in seen), seen
assert all(s[0] is seen[0][0] and s[1] is seen[0][1] for s in seen)
assert {s[2] for s in seen} == {"bfloat16", "float16"} and all(s[3] == [3.0, -4.0, 6.0] for s in seen)
assert len({id(s[4]) for s in seen}) == 1, "one bfloat16 dtype object for the whole process"
print("ok")
"""


@pytest.mark.parametrize("attempt", range(3))
def test_first_use_from_many_threads_at_once(attempt):
    """Class, PanicException, NumPy API table and the bfloat16 dtype are set up once, race-free."""
    out = subprocess.run([sys.executable, "-c", INIT_RACE], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0 and out.stdout.strip() == "ok", out.stderr[-3000:]
