"""backward() and grad(): gradients against PyTorch (one differential test), fixed values (no PyTorch
needed; every rule bit for bit in test_gradient_bits.py), broadcast sums, pass semantics, stale ids."""

import numpy as np
import pytest

from vorka import Tensor
from conftest import NO_GRAD, OPERATIONS, T, apply, in_fresh_thread, ops_of, probe_node_id, relu as _relu


def relu(t):
    """relu of a vorka or a torch tensor: the graphs below run in both libraries."""
    return _relu(t) if isinstance(t, Tensor) else t.relu()


# Every arithmetic operation and the matrix product, the right operand kept away from zero.
OPS = {n: lambda a, b, n=n: apply(n, a, b * b + 1.0) for n in ops_of("arithmetic", "matmul")}
SHAPES = {  # operand shapes per family: equal, broadcast both ways, 0-d, batches and stretched batch axes
    "arithmetic": [((3,), (3,)), ((2, 3), (3,)), ((2, 1), (1, 3)), ((4, 1, 3), (2, 1)), ((), (2, 3))],
    "matmul": [((2, 3), (5, 3, 4)), ((3, 1, 3), (1, 3, 1)), ((2, 0, 3), (3, 2))],
}
# Whole graphs: reshape and transpose in between, two paths into one leaf, one leaf used four times.
GRAPHS = {
    "reshape_transpose": (lambda x, c: x.reshape([3, 2]).transpose(0, 1) * c, [(6,), (2, 3)]),
    "matmul_transposed": (lambda x, c: x.transpose(0, 1) @ c, [(3, 2), (3, 4)]),
    "two_paths": (lambda x, c: relu(x * c) + (x / 2.0 - c), [(2, 3), (2, 3)]),
    "self": (lambda x, c: x * x - x + x / (x * x + 1.0), [(3,), (3,)]),
}
CASES = [(op, f, shapes) for op, f in OPS.items() for shapes in SHAPES[OPERATIONS[op].family]] + [
    (name, f, shapes) for name, (f, shapes) in GRAPHS.items()]


# float32 only: the order of float32 sums is free, so a tolerance. 16-bit gradients are pinned bit for
# bit (test_gradient_bits.py).
@pytest.mark.parametrize("constant", [False, True], ids=["both_grad", "rhs_constant"])
@pytest.mark.parametrize("name,f,shapes", CASES, ids=[f"{c[0]}-{c[2]}" for c in CASES])
def test_gradients_match_torch(torch, name, f, shapes, constant, rng):
    Tensor.clear_graph()
    arrays = [rng.standard_normal(s).astype(np.float32) for s in shapes]
    xs = [T(a, "f32", g) for a, g in zip(arrays, [True, not constant])]
    ts = [torch.tensor(a).requires_grad_(x.requires_grad) for a, x in zip(arrays, xs)]
    out, out_t = f(*xs), f(*ts)
    assert out.shape == list(out_t.shape) and out.requires_grad
    out.backward()
    out_t.backward(torch.ones_like(out_t))
    for x, t in zip(xs, ts):
        if not t.requires_grad:
            assert x.grad() is None
            continue
        g = x.grad()
        if t.grad is None:  # a leaf the root does not depend on
            assert g is None or not np.any(g.astype(np.float32))
            continue
        assert g.shape == tuple(t.shape) and g.dtype == np.float32
        np.testing.assert_allclose(g, t.grad.numpy(), rtol=1e-4, atol=1e-5)


# ---------------------------------------------------------------- without PyTorch

def test_fixed_gradients():
    x, c, d = T([1.0, 2.0, 3.0], requires_grad=True), np.arange(6.0).reshape(2, 3), np.arange(12.0).reshape(4, 3)
    # two constants whose shapes do not broadcast with each other
    ((x * T(c)).reshape([1, 2, 3]) + (x * T(d)).reshape([4, 1, 3])).backward()
    np.testing.assert_array_equal(x.grad(), 4 * c.sum(axis=0) + 2 * d.sum(axis=0))
    y = T(np.arange(6), requires_grad=True)
    (T(np.ones((2, 1, 1))) - y.reshape([3, 2]).transpose(0, 1)).backward()   # reshape gets a transposed gradient
    np.testing.assert_array_equal(y.grad(), -2 * np.ones(6, np.float32))
    b0 = np.float32([[5, 6, 7], [8, 9, 10]])
    a, b = T([[1, 2], [3, 4]], requires_grad=True), T(b0)
    c = a @ b
    del b  # the node holds b's storage
    c.backward()
    np.testing.assert_array_equal(a.grad(), np.ones((2, 3), np.float32) @ b0.T)
    a0, b0, w0 = ((np.arange(np.prod(s)) % 5 - 2.0).reshape(s) for s in [(2, 3, 4), (3, 5), (2, 5, 4)])
    a, b = T(a0, requires_grad=True), T(b0, requires_grad=True)
    ((a.transpose(1, 2) @ b).transpose(1, 2) * T(w0)).backward()   # a [2, 4, 3] view, a transposed gradient
    g = np.swapaxes(w0, 1, 2)
    np.testing.assert_array_equal(b.grad(), (a0 @ g).sum(0))
    np.testing.assert_array_equal(a.grad(), np.swapaxes(g @ b0.T, 1, 2))
    x = T([1.0, 2.0], requires_grad=True)   # a gradient the add passes on unchanged keeps its sign of zero
    ((x + T([0.0, 0.0])) * T([-0.0, 1.0])).backward()
    assert np.signbit(x.grad()).tolist() == [True, False]


# Gradients whose straightforward float32 evaluation overflows or underflows (16-bit types widen to the same
# rule), against float64: t / s with 1 / s overflowing, a / b and s / x with b * b or x * x out of range.
@pytest.mark.parametrize("f,x0,expected", [
    (lambda x: (x / 1e-40) * 1e-30, 1.0, lambda x: np.float32(1e-30) / np.float32(1e-40)),
    (lambda x: T([1e30]) / x, 1e20, lambda x: -np.float32(1e30) / x**2),
    (lambda x: T([1e-30]) / x, 1e-25, lambda x: -np.float32(1e-30) / x**2),
    (lambda x: (T([1e30]) / x) * 1e10, 1e5, lambda x: -1e10 * np.float64(np.float32(1e30)) / x**2),
    (lambda x: 1e30 / x, 1e20, lambda x: -np.float64(np.float32(1e30)) / x**2),
    (lambda x: 1e-30 / x, 1e-25, lambda x: -np.float64(np.float32(1e-30)) / x**2),
])
def test_gradients_out_of_float32_range_steps(f, x0, expected):
    x = T([x0], requires_grad=True)
    f(x).backward()
    np.testing.assert_allclose(x.grad(), expected(x.to_numpy().astype(np.float64)), rtol=1e-6)


@pytest.mark.parametrize("x_shape,b_shape,layout", [
    ((2**25,), (), "rows"),                     # pairwise: one term at a time would stall at 2**24
    ((2**18, 64), (64,), "rows"),               # bias: column sums
    ((64, 2**18), (64, 1), "rows"),             # row sums
    ((2**18, 64), (64,), "transposed"),         # column sums of a column-major gradient
    ((2**14, 4, 16), (4, 1), "rows"),           # two summed axes around a kept one
    ((3, 2**16, 5), (3, 1, 1), "rows"),         # the first axis kept, the others summed
])
def test_broadcast_sums_match_float64(x_shape, b_shape, layout, rng):
    r = rng.random(x_shape).astype(np.float32)
    b = T(np.zeros(b_shape), "f32", True)
    if layout == "transposed":
        rt = T(np.ascontiguousarray(r.T)).transpose(0, 1)
        ((T(np.zeros(x_shape[::-1])).transpose(0, 1) + b) * rt).transpose(0, 1).backward()
    else:
        ((T(np.zeros(x_shape)) + b) * T(r)).backward()
    lead = len(x_shape) - len(b_shape)
    axes = tuple(range(lead)) + tuple(lead + i for i, n in enumerate(b_shape) if n == 1)
    np.testing.assert_allclose(b.grad(), r.astype(np.float64).sum(axis=axes).reshape(b_shape), rtol=1e-6)


# ---------------------------------------------------------------- pass semantics

def test_pass_semantics():
    x = T([1.0, 2.0, 3.0], requires_grad=True)
    x.backward()   # the seed is ones
    np.testing.assert_array_equal(x.grad(), np.ones(3, np.float32))
    y = x * x
    for _ in range(2):  # a second pass overwrites
        y.backward()
        np.testing.assert_array_equal(x.grad(), [2.0, 4.0, 6.0])
        np.testing.assert_array_equal(y.grad(), np.ones(3, np.float32))
    x.grad()[:] = 99.0
    assert x.grad() is not x.grad() and x.grad().tolist() == [2.0, 4.0, 6.0]
    w = T([3.0, 4.0], requires_grad=True)
    (w * 7.0).backward()   # slots this pass does not reach keep their gradients
    np.testing.assert_array_equal(x.grad(), [2.0, 4.0, 6.0])
    assert Tensor.clear_graph() is None and x.clear_graph() is None
    assert x.grad() is None and y.grad() is None and w.grad() is None


def then_leaf(failing):
    with pytest.raises(Exception):
        failing()
    return Tensor([0.0], requires_grad=True)


RECORDS = [  # what an operation on leaf 0 records: the index of the node returned, None for none
    (lambda a: a + T([3.0]), 2), (lambda a: T([3.0]) * a, 2), (lambda a: a / T([3.0]), 2),  # the constant's leaf
    (lambda a: 2.0 / a, 1), (lambda a: a - 3.0, 1), (lambda a: 1.0 + a, 1), (lambda a: relu(a), 1),
    (lambda a: a.reshape([2]), 1), (lambda a: a.transpose(0, 0), 1), (lambda a: a.reshape([1, 2]) @ T([[2.0]] * 2), 3),
    (lambda a: a == T([3.0]), None), (lambda a: a > 2.0, None), (lambda a: 2.0 != a, None), (lambda a: T(1), None),
    (lambda a: a.__req__(1.0), None), (lambda a: a >= a, None), (lambda a: relu(T([1.0])), None),
    (lambda a: a.zeros_like(), None), (lambda a: a.ones_like(), None), (lambda a: T([1.0]) * 2.0, None),
    # failures record what came before the error, and nothing after
    (lambda a: then_leaf(lambda: a + T([1.0, 2.0, 3.0])), 3), (lambda a: then_leaf(lambda: a < T([1.0, 2.0, 3.0])), 1),
    (lambda a: then_leaf(lambda: relu(Tensor([True], dtype="bool", requires_grad=True))), 3),
    (lambda a: then_leaf(lambda: a.reshape([1, 2]) @ T(np.ones((4, 2)))), 4),
    (lambda a: then_leaf(lambda: Tensor([1.0], dtype="int8", requires_grad=True)), 1),
    # logical results never require gradients, whatever their operands say
    *[(lambda a, f=f: f(Tensor([True], dtype="bool", requires_grad=True)), None)
      for f in (lambda m: m & m, lambda m: m | m, lambda m: m ^ m, lambda m: ~m)],
]


@pytest.mark.parametrize("build,expected", RECORDS)
def test_recorded_node_ids(build, expected):
    def body():
        r = build(Tensor([1.0, 2.0], requires_grad=True))
        assert r.requires_grad is (expected is not None)
        if expected is None:   # and backward() refuses it
            with pytest.raises(ValueError, match=f"^{NO_GRAD}$"):
                r.backward()
            assert r.grad() is None
        return probe_node_id(r)

    assert in_fresh_thread(body) == expected


USES = {
    "backward": lambda t: t.backward(), "scalar_mul": lambda t: t * 2.0, "binary": lambda t: T([1.0]) + t,
    "reshape": lambda t: t.reshape([1]), "transpose": lambda t: t.transpose(0, 1), "relu": lambda t: relu(t),
    "matmul": lambda t: t @ T([[1.0]]),
}


@pytest.mark.parametrize("use", sorted(USES))
def test_ids_from_before_clear_or_another_thread_are_refused(use):
    x = T([[2.0]], requires_grad=True)
    (x * x).backward()
    Tensor.clear_graph()
    fresh = T([[1.0]], requires_grad=True)  # takes the old index 0 again
    (fresh * 3.0).backward()
    with pytest.raises(RuntimeError, match="cleared"):
        USES[use](x)
    assert x.grad() is None
    np.testing.assert_array_equal(fresh.grad(), [[3.0]])

    def elsewhere():
        assert fresh.grad() is None
        with pytest.raises(RuntimeError, match="another thread"):
            USES[use](fresh)
        Tensor.clear_graph()   # clears this thread's tape only
        z = T([[1.0]], requires_grad=True)   # the other thread's own tape still works
        (z * 5.0).backward()
        return z.grad()

    np.testing.assert_array_equal(in_fresh_thread(elsewhere), [[5.0]])
    np.testing.assert_array_equal(fresh.grad(), [[3.0]])
