"""Every operation, method and error path in a loop: the live storage count (in
builds with test hooks), Python's allocated blocks and the process RSS stay
flat, and the operands' reference counts are unchanged.

VORKA_LEAK_ITERATIONS sets the loop length (default 3000)."""

import gc
import os
import sys

import numpy as np
import pytest

import vorka
from vorka import Tensor

relu = vorka.nn.functional.relu
ITERATIONS = int(os.environ.get("VORKA_LEAK_ITERATIONS", "3000"))
live_storages = getattr(vorka.vorka_core, "_live_storages", None)
PAGE = os.sysconf("SC_PAGE_SIZE")
# AddressSanitizer's quarantine holds freed memory back, so RSS says nothing there.
UNDER_ASAN = any("libasan" in line for line in open("/proc/self/maps"))

N = 1024  # elements per operand: one leaked storage per call shows in RSS
rng = np.random.default_rng(7)
A = Tensor(rng.standard_normal((32, 32)).astype(np.float32))
B = Tensor(rng.standard_normal((32, 32)).astype(np.float32))
ROW = Tensor(rng.standard_normal(32).astype(np.float32))
H = Tensor(rng.standard_normal((32, 32)).astype(np.float16), dtype="f16")
BF = Tensor(rng.standard_normal((32, 32)).astype(np.float32), dtype="bf16")
M = Tensor(rng.standard_normal((32, 32)) > 0, dtype="bool")
ARR = rng.standard_normal((32, 32)).astype(np.float32)
ARR_T = ARR.T
LIST = ARR.tolist()
SHAPE = [16, 64]
BAD_SHAPE = [16, 65]
SCALAR = 1.5
OPERANDS = [A, B, ROW, H, BF, M, ARR, ARR_T, LIST, SHAPE, BAD_SHAPE]


def leaf():
    # A fresh leaf per call: the loop clears the tape, which makes older ids stale.
    return Tensor(ARR, requires_grad=True)


def stale_backward():
    x = Tensor([1.0], requires_grad=True)
    Tensor.clear_graph()
    x.backward()


def foreign_shape():
    class Raising:
        def __index__(self):
            raise KeyError("index")

    A.reshape([Raising()])


CASES = {
    # construction
    "construct_list": (lambda: Tensor(LIST), None),
    "construct_array": (lambda: Tensor(ARR), None),
    "construct_strided": (lambda: Tensor(ARR_T, dtype="f16"), None),
    "construct_bf16": (lambda: Tensor(ARR, dtype="bf16"), None),
    "construct_bool": (lambda: Tensor(ARR > 0, dtype="bool"), None),
    "construct_grad": (lambda: Tensor(ARR, requires_grad=True), None),
    "construct_scalar": (lambda: Tensor(SCALAR), None),
    # arithmetic and comparisons, every dtype
    "add": (lambda: A + B, None), "sub": (lambda: A - ROW, None), "mul_f16": (lambda: H * H, None),
    "div_bf16": (lambda: BF / BF, None), "matmul": (lambda: A @ B, None), "matmul_f16": (lambda: H @ H, None),
    "matmul_bf16": (lambda: BF @ BF.transpose(0, 1), None),
    "scalar_ops": (lambda: ((A + SCALAR) - SCALAR) * SCALAR / SCALAR, None),
    "reflected": (lambda: SCALAR / (SCALAR * (SCALAR + A)), None),
    "compare": (lambda: (A < B, A <= ROW, A == B, A != B, A > SCALAR, SCALAR >= A), None),
    "explicit_compare": (lambda: (A.__req__(SCALAR), A.__rlt__(SCALAR), A.__rgt__(SCALAR)), None),
    "logical": (lambda: (M & M, M | M, M ^ M, ~M), None),
    "relu": (lambda: relu(A), None), "relu_bf16": (lambda: relu(BF), None),
    # methods and properties
    "reshape": (lambda: A.reshape(SHAPE), None), "transpose": (lambda: A.transpose(0, 1), None),
    "like": (lambda: (A.zeros_like(), H.ones_like()), None), "to_numpy": (lambda: (A.to_numpy(), M.to_numpy()), None),
    "to_numpy_strided": (lambda: A.transpose(0, 1).to_numpy(), None),
    "properties": (lambda: (A.shape, A.strides, A.ndim, A.dtype, A.device, A.requires_grad), None),
    # autograd: record, backward, read, clear
    "backward_chain": (lambda: (lambda g: (relu(g * A + g) @ B / 2.0 - g.transpose(0, 1)).backward())(leaf()), None),
    "backward_grad": (lambda: (lambda g: ((g * g).backward(), g.grad()))(leaf()), None),
    "backward_f16": (lambda: (Tensor(H.to_numpy(), dtype="f16", requires_grad=True) @ H).backward(), None),
    "clear_graph": (lambda: (leaf() * 2.0, Tensor.clear_graph()), None),
    # error paths
    "dtype_mismatch": (lambda: A + H, ValueError), "shape_mismatch": (lambda: A + Tensor(np.ones(3)), RuntimeError),
    "bool_arith": (lambda: M + M, TypeError), "bool_scalar": (lambda: M * SCALAR, ValueError),
    "bool_compare": (lambda: M < SCALAR, RuntimeError), "logical_float": (lambda: A & B, RuntimeError),
    "not_float": (lambda: ~A, RuntimeError), "matmul_shape": (lambda: A @ ROW, RuntimeError),
    "matmul_grad_error": (lambda: leaf() @ Tensor(np.ones((3, 3), np.float32)), RuntimeError),
    "relu_bool": (lambda: relu(M), TypeError), "relu_not_tensor": (lambda: relu(LIST), TypeError),
    "reshape_bad": (lambda: A.reshape(BAD_SHAPE), ValueError), "reshape_layout": (lambda: A.transpose(0, 1).reshape(SHAPE), ValueError),
    "reshape_str": (lambda: A.reshape("16"), TypeError), "reshape_negative": (lambda: A.reshape([-1]), OverflowError),
    "reshape_raising_item": (foreign_shape, KeyError),
    "transpose_range": (lambda: A.transpose(0, 5), IndexError), "transpose_type": (lambda: A.transpose(0, "1"), TypeError),
    "operator_declines": (lambda: A + "x", TypeError), "reflected_declines": (lambda: SCALAR - A, TypeError),
    "explicit_bad": (lambda: A.__req__(LIST), TypeError),
    "backward_no_grad": (lambda: A.backward(), ValueError), "backward_stale": (stale_backward, RuntimeError),
    "record_then_fail": (lambda: (leaf().reshape([1024]).reshape([32, 32]) * A) @ H, ValueError),
    "grad_after_clear": (lambda: (lambda g: ((g * 1.0).backward(), Tensor.clear_graph(), g.grad()))(leaf()), None),
    "construct_bad_dtype": (lambda: Tensor(ARR, dtype="f64", requires_grad=True), ValueError),
    "construct_bad_data": (lambda: Tensor([[1.0], [1.0, 2.0]], requires_grad=True), ValueError),
    "construct_wrong_device": (lambda: Tensor(ARR, device="gpu"), ValueError),
    "construct_binding": (lambda: Tensor(ARR, bogus=1), TypeError),
    "method_args": (lambda: A.grad(1), TypeError),
}


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def run(call, error, n):
    for _ in range(n):
        try:
            call()
        except error or ():
            pass
        if _ % 64 == 63:
            Tensor.clear_graph()
    Tensor.clear_graph()


@pytest.mark.parametrize("name", sorted(CASES))
def test_loop_leaves_nothing_behind(name):
    call, error = CASES[name]
    if error is not None:  # the loop must really take the error path
        with pytest.raises(error):
            call()
    else:
        call()
    run(call, error, 200)  # warm caches, free lists and allocator pools
    gc.collect()
    refs = [sys.getrefcount(o) for o in OPERANDS]
    storages0 = live_storages() if live_storages else None
    blocks0, rss0 = sys.getallocatedblocks(), rss()
    run(call, error, ITERATIONS)
    gc.collect()
    blocks1, rss1 = sys.getallocatedblocks(), rss()
    assert [sys.getrefcount(o) for o in OPERANDS] == refs, "operand reference counts changed"
    if live_storages:
        assert live_storages() == storages0, "storages left alive"
    # A leak of one object per call would add ITERATIONS blocks.
    assert blocks1 - blocks0 < ITERATIONS // 10, f"{blocks1 - blocks0} Python blocks gained"
    if not UNDER_ASAN:
        # One leaked 4 KiB buffer per call would add 12 MiB at the default length.
        assert rss1 - rss0 < 4 * 1024 * 1024, f"RSS grew by {(rss1 - rss0) >> 10} KiB"


def test_storage_counter_tracks_lifetimes():
    if not live_storages:
        pytest.skip("built without test hooks")
    Tensor.clear_graph()
    base = live_storages()
    t = Tensor([1.0, 2.0])
    u = t + 1.0
    assert live_storages() == base + 2
    x = Tensor([1.0], requires_grad=True)
    y = x * x  # the node keeps x's storage twice over, but it is one storage
    del x, y
    assert live_storages() == base + 3, "the tape keeps recorded operands alive"
    Tensor.clear_graph()
    del t, u
    assert live_storages() == base
