"""backward() and grad(): gradients against torch.autograd and finite differences,
broadcast reduction, overwrite semantics, stale and foreign node ids, threads and
very long chains."""

import threading

import numpy as np
import pytest

import vorka
from vorka import Tensor
from conftest import NP_DTYPES, NUMERIC

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

try:
    import torch
except ImportError:
    torch = None
needs_torch = pytest.mark.skipif(torch is None, reason="torch is the reference")

relu = vorka.nn.functional.relu
NO_GRAD = r"backward\(\) called on tensor that does not require grad"
TORCH_DTYPES = {"f32": torch.float32, "f16": torch.float16, "bf16": torch.bfloat16} if torch else {}
# Tolerances for comparing with torch: float32 reorders sums; 16-bit types round
# intermediate results at different points.
TOL = {"f32": dict(rtol=1e-4, atol=1e-5), "f16": dict(rtol=2e-2, atol=2e-2), "bf16": dict(rtol=8e-2, atol=8e-2)}


def T(x, dtype="f32", requires_grad=False):
    return Tensor(np.asarray(x).astype(NP_DTYPES[dtype]), dtype=dtype, requires_grad=requires_grad)


class Pair:
    """The same value in vorka and in torch, built by the same operations."""

    def __init__(self, v, t):
        self.v, self.t = v, t

    @staticmethod
    def leaf(array, dtype="f32", requires_grad=True):
        t = torch.tensor(np.asarray(array, np.float32)).to(TORCH_DTYPES[dtype]).requires_grad_(requires_grad)
        return Pair(T(array, dtype, requires_grad), t)

    @property
    def shape(self):
        return tuple(self.v.shape)

    def _lift(self, o):
        return o if isinstance(o, Pair) else Pair(o, o)

    def _bin(self, o, f):
        o = self._lift(o)
        return Pair(f(self.v, o.v), f(self.t, o.t))

    def __add__(self, o):
        return self._bin(o, lambda a, b: a + b)

    def __sub__(self, o):
        return self._bin(o, lambda a, b: a - b)

    def __mul__(self, o):
        return self._bin(o, lambda a, b: a * b)

    def __truediv__(self, o):
        return self._bin(o, lambda a, b: a / b)

    def __matmul__(self, o):
        return self._bin(o, lambda a, b: a @ b)

    def __rtruediv__(self, s):
        return Pair(s / self.v, s / self.t)

    def relu(self):
        return Pair(relu(self.v), torch.relu(self.t))

    def reshape(self, shape):
        return Pair(self.v.reshape(list(shape)), self.t.reshape(list(shape)))

    def transpose(self, d0, d1):
        return Pair(self.v.transpose(d0, d1), self.t.transpose(d0, d1))


def check_grads(pairs, root, dtype="f32"):
    """Backward from root in both libraries, then every tensor's gradient agrees."""
    for p in pairs:
        if p.t.requires_grad and not p.t.is_leaf:
            p.t.retain_grad()
    root.v.backward()
    root.t.backward(torch.ones_like(root.t))
    for p in pairs:
        if not p.v.requires_grad:
            assert p.v.grad() is None
            continue
        g, ref = p.v.grad(), p.t.grad
        if ref is None:
            assert g is None or not np.any(g.astype(np.float32)), "a gradient torch does not have"
            continue
        assert g is not None
        assert g.shape == tuple(ref.shape)
        assert g.dtype == NP_DTYPES[dtype]
        np.testing.assert_allclose(g.astype(np.float32), ref.float().numpy(), **TOL[dtype])


# ---- fixed graphs, every op, against torch ------------------------------------

GRAPHS = {
    "square": (lambda x, c: x * x, [(3,)]),
    "add_self": (lambda x, c: x + x, [(3,)]),
    "sub_self": (lambda x, c: x - x, [(3,)]),
    "mul_broadcast_constant": (lambda x, c: x * c, [(3,), (2, 3)]),
    "div_both": (lambda x, c: x / (c * c + 1.0), [(2, 1), (1, 3)]),
    "scalars": (lambda x, c: ((x + 1.5) - 0.25) * 3.0 / 4.0, [(2, 3)]),
    "rdiv": (lambda x, c: 2.0 / (x * x + 1.0), [(4,)]),
    "relu_chain": (lambda x, c: (x * 2.0).relu() * c, [(2, 3), (3,)]),
    "reshape_transpose": (lambda x, c: x.reshape([3, 2]).transpose(0, 1) * c, [(6,), (2, 3)]),
    "matmul_2d": (lambda x, c: x @ c, [(2, 3), (3, 4)]),
    "matmul_batch_lhs": (lambda x, c: x @ c, [(5, 2, 3), (3, 4)]),
    "matmul_batch_rhs": (lambda x, c: x @ c, [(2, 3), (5, 3, 4)]),
    "matmul_both_broadcast": (lambda x, c: x @ c, [(5, 1, 2, 3), (4, 3, 2)]),
    "matmul_transposed": (lambda x, c: x.transpose(0, 1) @ c, [(3, 2), (3, 4)]),
    "matmul_stretched_batch": (lambda x, c: x @ c, [(3, 1, 3), (1, 3, 1)]),
    "matmul_empty_batch": (lambda x, c: x @ c, [(2, 0, 3), (3, 2)]),
    "two_paths": (lambda x, c: (x * c).relu() + (x / 2.0 - c), [(2, 3), (2, 3)]),
}


@needs_torch
@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("name", sorted(GRAPHS))
@pytest.mark.parametrize("constant", [False, True], ids=["both_grad", "rhs_constant"])
def test_fixed_graphs_match_torch(name, dtype, constant, rng):
    f, shapes = GRAPHS[name]
    Tensor.clear_graph()
    leaves = [Pair.leaf(rng.standard_normal(s).astype(np.float32), dtype, i == 0 or not constant)
              for i, s in enumerate(shapes)]
    x = leaves[0]
    c = leaves[1] if len(leaves) > 1 else None
    root = f(x, c)
    check_grads(leaves + [root], root, dtype)


BINARY = {"add": lambda a, b: a + b, "sub": lambda a, b: a - b, "mul": lambda a, b: a * b,
          "div": lambda a, b: a / b, "matmul": lambda a, b: a @ b}


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("op", sorted(BINARY))
@pytest.mark.parametrize("constant", [0, 1], ids=["lhs_constant", "rhs_constant"])
def test_constant_operand_changes_nothing_observable(op, constant, dtype, rng):
    """The gradient of a constant operand is skipped: every other gradient, bit for bit,
    and every node id stay as when both operands require gradients."""
    shapes = [(2, 2, 3), (3, 5)] if op == "matmul" else [(2, 1, 3), (4, 3)]
    arrays = [rng.standard_normal(s).astype(np.float32) + 2.0 for s in shapes]
    node = getattr(vorka.vorka_core, "_node_index", lambda t: None)

    def run(const):
        Tensor.clear_graph()
        ts = [T(a, dtype, requires_grad=i != const) for i, a in enumerate(arrays)]
        out = BINARY[op](ts[0], ts[1])
        root = relu(out) * 3.0
        root.backward()
        return [node(t) for t in (out, root)], [t.grad() for t in ts + [out]], node(ts[1 - (const or 0)])

    ids_both, grads_both, _ = run(None)
    ids, grads, other_id = run(constant)
    assert ids == ids_both
    assert other_id in (None, 0)  # the constant's leaf is still pushed, after the other operand's
    assert grads[constant] is None
    for g, want in ((grads[1 - constant], grads_both[1 - constant]), (grads[2], grads_both[2])):
        assert g.dtype == want.dtype and g.shape == want.shape
        np.testing.assert_array_equal(g.view(np.uint8), want.view(np.uint8))


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("tiny", [False, True], ids=["in_range", "tiny_value"])
def test_matmul_gradients_round_the_exact_sum_once(dtype, tiny, rng):
    """Large enough for the packed 16-bit kernels; integer terms make every float32 sum
    exact, so each gradient is the exact value rounded once. A value whose products
    could be subnormal must take the widening path with the same result."""
    x0, w0, c0 = (rng.integers(-4, 5, s).astype(np.float32) for s in ((64, 72), (72, 80), (64, 80)))
    if tiny:
        w0[3, 5] = 2.0**-100
    Tensor.clear_graph()
    x, w = T(x0, dtype, True), T(w0, dtype, True)
    ((x @ w) * T(c0, dtype)).backward()
    f64 = lambda a: np.asarray(T(a, dtype).to_numpy(), np.float64)  # noqa: E731
    for got, want in ((x.grad(), f64(c0) @ f64(w0).T), (w.grad(), f64(x0).T @ f64(c0))):
        np.testing.assert_array_equal(got, want.astype(np.float32).astype(NP_DTYPES[dtype]))


# ---- random graphs (hypothesis) ------------------------------------------------

BASE_SHAPES = [(2, 3), (3,), (2, 1), (1, 3), (), (4, 2, 3), (4, 1, 1), (2, 2, 3)]


def _broadcastable(a, b):
    try:
        np.broadcast_shapes(a, b)
        return True
    except ValueError:
        return False


def _standard(v):
    expected, acc = [], 1
    for e in reversed(v.shape):
        expected.append(acc)
        acc *= e
    return all(e == 1 or s == x for e, s, x in zip(v.shape, v.strides, reversed(expected)))


@st.composite
def programs(draw):
    """A list of (op, args) steps over a growing pool of values."""
    n_leaves = draw(st.integers(1, 3))
    leaves = [(draw(st.sampled_from(BASE_SHAPES)), draw(st.booleans()) or i == 0) for i in range(n_leaves)]
    steps = draw(st.lists(st.tuples(st.sampled_from(
        ["add", "sub", "mul", "div", "sadd", "ssub", "smul", "sdiv", "rdiv", "relu", "reshape", "transpose",
         "matmul"]), st.integers(0, 1 << 16), st.integers(0, 1 << 16), st.floats(0.25, 4.0)),
        min_size=1, max_size=8))
    seed = draw(st.integers(0, 2**32 - 1))
    return leaves, steps, seed


def _run_program(leaves, steps, seed):
    rng = np.random.default_rng(seed)
    pool = [Pair.leaf(rng.standard_normal(s).astype(np.float32), "f32", g) for s, g in leaves]
    for op, i, j, s in steps:
        a = pool[i % len(pool)]
        if op in ("add", "sub", "mul", "div"):
            partners = [p for p in pool if _broadcastable(a.shape, p.shape)]
            b = partners[j % len(partners)]
            out = {"add": lambda: a + b, "sub": lambda: a - b, "mul": lambda: a * b,
                   "div": lambda: a / (b * b + 1.0)}[op]()
        elif op == "sadd":
            out = a + s
        elif op == "ssub":
            out = a - s
        elif op == "smul":
            out = a * s
        elif op == "sdiv":
            out = a / s
        elif op == "rdiv":
            out = s / (a * a + 0.5)
        elif op == "relu":
            out = a.relu()
        elif op == "reshape":
            if not _standard(a.v):
                continue
            out = a.reshape(list(reversed(a.shape)) if j % 2 else [int(np.prod(a.shape))])
        elif op == "transpose":
            if len(a.shape) < 2:
                continue
            d0, d1 = j % len(a.shape), (j // 7) % len(a.shape)
            out = a.transpose(d0, d1)
        else:  # matmul with a new operand on either side; batch axes drawn to broadcast
            if len(a.shape) < 2:
                continue
            nb = len(a.shape) - 2
            batch = [list(a.shape[:-2]), [], [1] * nb, [3] + [1] * nb][j % 4]
            other = 1 + (j >> 4) % 3
            if j & 8:
                w = Pair.leaf(rng.standard_normal(batch + [a.shape[-1], other]).astype(np.float32), "f32", bool(j & 4))
                out = a @ w
            else:
                w = Pair.leaf(rng.standard_normal(batch + [other, a.shape[-2]]).astype(np.float32), "f32", bool(j & 4))
                out = w @ a
            pool.append(w)
        pool.append(out)
    return pool


@needs_torch
@settings(max_examples=150, deadline=None)
@given(programs())
def test_random_graphs_match_torch(program):
    leaves, steps, seed = program
    Tensor.clear_graph()
    pool = _run_program(leaves, steps, seed)
    root = pool[-1]
    if not root.v.requires_grad:
        with pytest.raises(ValueError, match=NO_GRAD):
            root.v.backward()
        return
    check_grads(pool, root)


# ---- finite differences ------------------------------------------------------------

FD_FUNCS = {
    "div": (lambda x: x / (x * x + 2.0), (2, 3)),
    "rdiv_scalar": (lambda x: 3.0 / (x * x + 1.0) * x, (4,)),
    "matmul_self": (lambda x: x @ x.transpose(0, 1), (3, 2)),
    "batch_matmul": (lambda x: x.reshape([2, 2, 2]) @ x.reshape([2, 2, 2]).transpose(1, 2) / 2.0, (8,)),
    "relu_mix": (lambda x: relu(x - 0.1) * x + x.reshape([3, 2]).transpose(0, 1), (2, 3)),
}


@pytest.mark.parametrize("name", sorted(FD_FUNCS))
def test_gradients_match_central_differences(name, rng):
    f, shape = FD_FUNCS[name]
    x0 = rng.uniform(0.3, 1.5, shape).astype(np.float32) * rng.choice([-1, 1], shape)
    Tensor.clear_graph()
    x = T(x0, requires_grad=True)
    f(x).backward()
    analytic = x.grad()

    def total(arr):
        return float(np.sum(f(T(arr)).to_numpy().astype(np.float64)))

    eps = 1e-2
    numeric = np.zeros(x0.size)
    for i in range(x0.size):
        step = np.zeros(x0.size, np.float32)
        step[i] = eps
        numeric[i] = (total(x0 + step.reshape(shape)) - total(x0 - step.reshape(shape))) / (2 * eps)
    np.testing.assert_allclose(analytic.ravel(), numeric, rtol=2e-2, atol=2e-2)


# ---- shapes, rounding and pass semantics ---------------------------------------------

def test_broadcast_operand_gradient_has_its_own_shape():
    x = T([1.0, 2.0, 3.0], requires_grad=True)
    c = np.arange(6, dtype=np.float32).reshape(2, 3)
    (x * T(c)).backward()
    np.testing.assert_array_equal(x.grad(), c.sum(axis=0))
    # Two constants whose shapes do not broadcast with each other.
    d = np.arange(12, dtype=np.float32).reshape(4, 3)
    y = (x * T(c)).reshape([1, 2, 3]) + (x * T(d)).reshape([4, 1, 3])
    y.backward()
    np.testing.assert_array_equal(x.grad(), 4 * c.sum(axis=0) + 2 * d.sum(axis=0))


def test_reshape_backward_accepts_transposed_gradient():
    x = T(np.arange(6), requires_grad=True)
    x.reshape([3, 2]).transpose(0, 1).backward()
    np.testing.assert_array_equal(x.grad(), np.ones(6, np.float32))


def test_half_division_gradient_rounds_once():
    a, b = T([1.0], "f16", True), T([300.0], "f16", True)
    (a / b).backward()
    assert b.grad()[0] == np.float16(-1.0 / 90000.0)
    assert b.grad()[0] < -1e-5
    assert a.grad()[0] == np.float16(1.0 / 300.0)


@pytest.mark.parametrize("dtype", NUMERIC)
def test_scalar_division_gradient_matches_forward_rounding(dtype):
    x = T([5.0, 0.1, 3.0], dtype, True)
    (x / 3.0).backward()
    np.testing.assert_array_equal(x.grad(), (T([1.0, 1.0, 1.0], dtype) / 3.0).to_numpy())


# Gradients whose straightforward float32 evaluation overflows or underflows,
# against float64: t / s with 1 / s overflowing, a / b and s / x with b * b or
# x * x out of range.
@pytest.mark.parametrize("dtype", ["f32", "bf16"])
@pytest.mark.parametrize("f,x0,expected", [
    (lambda x, d: (x / 1e-40) * 1e-30, 1.0, lambda x: np.float32(1e-30) / np.float32(1e-40)),
    (lambda x, d: T([1e30], d) / x, 1e20, lambda x: -np.float32(1e30) / x ** 2),
    (lambda x, d: T([1e-30], d) / x, 1e-25, lambda x: -np.float32(1e-30) / x ** 2),
    (lambda x, d: (T([1e30], d) / x) * 1e10, 1e5, lambda x: -1e10 * np.float64(np.float32(1e30)) / x ** 2),
    (lambda x, d: 1e30 / x, 1e20, lambda x: -np.float64(np.float32(1e30)) / x ** 2),
    (lambda x, d: 1e-30 / x, 1e-25, lambda x: -np.float64(np.float32(1e-30)) / x ** 2),
], ids=["t/s", "a/b large", "a/b small", "a/b large g*a", "s/x large", "s/x small"])
def test_gradients_out_of_float32_range_steps(f, x0, expected, dtype):
    x = T([x0], dtype, True)
    f(x, dtype).backward()
    x64 = x.to_numpy().astype(np.float64)
    np.testing.assert_allclose(x.grad().astype(np.float64), expected(x64), rtol=1e-6 if dtype == "f32" else 1e-2)


# Sums of broadcast gradients: pairwise, so long sums keep float32 accuracy.
@pytest.mark.parametrize("dtype,value", [("f32", 1.0), ("f16", 2.0 ** -10), ("bf16", 1.0)])
def test_long_broadcast_sum_is_exact(dtype, value):
    w = T(1.0, dtype, True)  # 0-d
    (T(np.full(2 ** 25, value, np.float32), dtype) * w).backward()
    assert w.grad() == value * 2 ** 25  # one float32 at a time stalls at half of it


N_LONG = 2 ** 18


@pytest.mark.parametrize("x_shape,b_shape,layout", [
    ((N_LONG, 64), (64,), "rows"),              # bias: column sums
    ((64, N_LONG), (64, 1), "rows"),            # row sums
    ((N_LONG, 64), (64,), "transposed"),        # column sums of a column-major gradient
    ((N_LONG // 16, 4, 16), (4, 1), "rows"),    # two summed axes around a kept one
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
    expected = r.astype(np.float64).sum(axis=axes).reshape(b_shape)
    np.testing.assert_allclose(b.grad(), expected, rtol=1e-6)


@pytest.mark.parametrize("dtype", NUMERIC)
def test_many_contributions_add_up_in_float32(dtype):
    # adding in the 16-bit type would stop at 2048 (float16) or 256 (bfloat16)
    x = T([1.0], dtype, True)
    y = x * 1.0
    for _ in range(2999):
        y = y + x
    y.backward()
    assert x.grad()[0] == np.float32(3000.0).astype(NP_DTYPES[dtype])


@pytest.mark.parametrize("dtype", NUMERIC)
def test_sixteen_bit_broadcast_sum_rounds_once(dtype):
    # Column sums of 2048 + 1 + 1 (256 + 1 + 1 for bfloat16): one rounding keeps the ones.
    big = 2048.0 if dtype == "f16" else 256.0
    x = T([1.0], dtype, True)
    (x * T([[big], [1.0], [1.0]], dtype)).backward()
    assert x.grad()[0] == big + 2


def test_seed_is_ones_and_second_pass_overwrites():
    x = T([1.0, 2.0, 3.0], requires_grad=True)
    x.backward()
    np.testing.assert_array_equal(x.grad(), np.ones(3, np.float32))
    y = x * x
    for _ in range(2):
        y.backward()
        np.testing.assert_array_equal(x.grad(), [2.0, 4.0, 6.0])
        np.testing.assert_array_equal(y.grad(), np.ones(3, np.float32))


def test_slots_a_pass_does_not_reach_keep_their_gradients():
    x, w = T([1.0, 2.0], requires_grad=True), T([3.0, 4.0], requires_grad=True)
    y1, y2 = x * 5.0, w * 7.0
    y1.backward()
    y2.backward()
    np.testing.assert_array_equal(x.grad(), [5.0, 5.0])
    np.testing.assert_array_equal(w.grad(), [7.0, 7.0])


def test_grad_returns_independent_copies():
    x = T([1.0, 2.0], requires_grad=True)
    (x * 2.0).backward()
    g = x.grad()
    g[:] = 99.0
    np.testing.assert_array_equal(x.grad(), [2.0, 2.0])
    assert x.grad() is not x.grad()


@pytest.mark.parametrize("make", [
    lambda: T([1.0, 2.0]),
    lambda: T([1.0], requires_grad=True).zeros_like(),
    lambda: T([1.0], requires_grad=True) > T([0.0], requires_grad=True),
    lambda: T([1.0]) * 2.0,
], ids=["constant", "zeros_like", "comparison", "constant_op"])
def test_backward_without_requires_grad_raises(make):
    t = make()
    with pytest.raises(ValueError, match=NO_GRAD):
        t.backward()
    assert t.grad() is None


def test_grad_is_none_before_any_pass_and_after_clear():
    x = T([1.0], requires_grad=True)
    assert x.grad() is None
    (x * 3.0).backward()
    assert x.grad() is not None
    Tensor.clear_graph()
    assert x.grad() is None


# ---- stale and foreign ids ---------------------------------------------------------

CLEARED = "cleared"
FOREIGN = "another thread"

USES = {
    "backward": lambda t: t.backward(),
    "scalar_mul": lambda t: t * 2.0,
    "binary_with_constant": lambda t: T([1.0]) + t,
    "reshape": lambda t: t.reshape([1]),
    "transpose": lambda t: t.transpose(0, 1),
    "relu": lambda t: relu(t),
    "matmul": lambda t: t @ T([[1.0]]),
}


def _stale_tensor():
    x = T([[2.0]], requires_grad=True)
    (x * x).backward()
    Tensor.clear_graph()
    return x


@pytest.mark.parametrize("use", sorted(USES))
def test_ids_from_before_clear_are_refused(use):
    x = _stale_tensor()
    assert x.grad() is None
    fresh = T([[1.0]], requires_grad=True)  # takes the old index 0 again
    (fresh * 3.0).backward()
    with pytest.raises(RuntimeError, match=CLEARED):
        USES[use](x)
    assert x.grad() is None
    np.testing.assert_array_equal(fresh.grad(), [[3.0]])


def _on_thread(fn):
    box = {}

    def body():
        try:
            box["value"] = fn()
        except BaseException as e:  # noqa: BLE001 - handed back
            box["error"] = e

    th = threading.Thread(target=body)
    th.start()
    th.join()
    if "error" in box:
        raise box["error"]
    return box.get("value")


@pytest.mark.parametrize("use", sorted(USES))
def test_ids_from_another_thread_are_refused(use):
    x = T([[2.0]], requires_grad=True)
    (x * 4.0).backward()

    def elsewhere():
        assert x.grad() is None
        with pytest.raises(RuntimeError, match=FOREIGN):
            USES[use](x)
        # The other thread's own tape still works.
        z = T([[1.0]], requires_grad=True)
        (z * 5.0).backward()
        return z.grad()

    np.testing.assert_array_equal(_on_thread(elsewhere), [[5.0]])
    np.testing.assert_array_equal(x.grad(), [[4.0]])


def test_threads_compute_their_own_gradients():
    n_threads, rounds = 4, 30
    barrier = threading.Barrier(n_threads)
    errors = []

    def worker(k):
        try:
            barrier.wait()
            rng = np.random.default_rng(k)
            for _ in range(rounds):
                a0 = rng.standard_normal((3, 4)).astype(np.float32)
                w0 = rng.standard_normal((4, 2)).astype(np.float32)
                a, w = T(a0, requires_grad=True), T(w0, requires_grad=True)
                relu(a @ w * float(k + 1)).backward()
                mask = (a0 @ w0) * (k + 1) > 0
                g = mask * float(k + 1)
                np.testing.assert_allclose(a.grad(), g @ w0.T, rtol=1e-5, atol=1e-5)
                np.testing.assert_allclose(w.grad(), a0.T @ g, rtol=1e-5, atol=1e-5)
                Tensor.clear_graph()
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors


# ---- a million recorded operations -----------------------------------------------------

def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def test_million_operation_chain_then_clear():
    def chain():
        Tensor.clear_graph()
        x = T([1.0, 2.0], requires_grad=True)
        y = x
        for i in range(1_000_000):
            y = y + 1.0 if i % 2 else y * 1.0
        y.backward()
        np.testing.assert_array_equal(x.grad(), [1.0, 1.0])
        del y
        Tensor.clear_graph()
        assert x.grad() is None
        return _rss_bytes()

    first = _on_thread(chain)
    second = _on_thread(chain)
    # Cleared memory is reused: a second chain does not grow the process much.
    assert second < first + 64 * 1024 * 1024
