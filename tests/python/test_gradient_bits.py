"""Gradients bit for bit: each rule's value computed in float32 from the values the forward pass used,
summed in float32 over broadcast axes, rounded once to a 16-bit type; against a NumPy reference of that
rule. float32 runs the same table with values whose products are exact, so that no order of summation
or fused multiply-add can change a bit."""

import numpy as np
import pytest

from vorka import Tensor
from conftest import F32, NP_DTYPES, OPERATIONS, T, apply, assert_bits, ops_of, relu


@np.errstate(over="ignore")   # values beyond the type's range become infinities
def r16(x, dtype):   # float32 values rounded once to the element type
    return np.asarray(x, F32).astype(NP_DTYPES[dtype])


def wide(x):
    return np.asarray(x).astype(F32)


# Operand shapes and the axis their gradients sum over ("twice": one tensor on both sides). Every sum
# adds two terms and every matrix product has two-term sums: float32 sums independent of their order.
SHAPES = {"same": ((8, 2), (8, 2), None), "lhs_broadcast": ((8, 1), (8, 2), 1), "rhs_broadcast": ((2, 8), (8,), 0),
          "twice": ((2, 2), (2, 2), None)}
MATMUL_SHAPES = {
    "same": ((2, 3), (3, 2)), "batched": ((8, 2, 3), (8, 3, 2)), "lhs_broadcast": ((2, 3), (2, 3, 1)),
    "rhs_broadcast": ((2, 1, 3), (3, 2)), "both_broadcast": ((2, 1, 2, 3), (1, 2, 3, 1)), "twice": ((2, 2), (2, 2)),
}


@np.errstate(invalid="ignore")   # opposite infinities sum to NaN
def sum_to(x, shape):
    """x summed in float32 over the axes that broadcasting added or stretched."""
    lead = x.ndim - len(shape)
    axes = tuple(range(lead)) + tuple(lead + i for i, n in enumerate(shape) if n == 1 and x.shape[lead + i] != 1)
    return np.add.reduce(x, axis=axes, dtype=F32, keepdims=True).reshape(shape) if axes else x


def draw(shape, dtype, rng, pair_axis=None, negate=False):
    """16-bit values with full significands (so products are inexact in the type) over a range whose
    products leave the 16-bit (float16) or float32 (bfloat16) range. Along a summed axis of two, half
    the pairs nearly cancel: a product overflows while the sum does not. float32 takes the bfloat16 values."""
    if dtype == "f32":
        return draw(shape, "bf16", rng, pair_axis, negate).astype(F32)
    lo, hi = (-2, 9) if dtype == "f16" else (-70, 70)
    x = (rng.uniform(1, 2, shape) * np.exp2(rng.integers(lo, hi, shape)) * rng.choice([-1, 1], shape))
    if dtype == "bf16":   # mostly ordinary magnitudes, some far out
        x = np.where(rng.random(shape) < 0.7, x * np.exp2(-np.round(np.log2(np.abs(x)))) * 4, x)
    if pair_axis is not None:
        first, second = np.take(x, 0, pair_axis), np.take(x, 1, pair_axis)
        near = first * (1 + rng.choice([-1, 1], first.shape) * np.exp2(-rng.integers(5, 9, first.shape)))
        second = np.where(rng.random(first.shape) < 0.5, -near if negate else near, second)
        x = np.stack([first, second], axis=pair_axis)
    return r16(x, dtype)


def check(dtype, inputs, build, expected):
    Tensor.clear_graph()
    xs = [T(v, dtype, True) for v in inputs]
    build(*xs).backward()
    for x, want in zip(xs, expected):
        assert_bits(x.grad(), r16(want, dtype))


# Every arithmetic operation and the matrix product, with the gradient rule of OPERATIONS.
BINARY_CASES = [(op, case, shapes) for op in ops_of("arithmetic", "matmul") for case, shapes in
                ({k: v + (None,) for k, v in MATMUL_SHAPES.items()} if OPERATIONS[op].family == "matmul"
                 else SHAPES).items()]


@pytest.mark.parametrize("dtype", ["f16", "bf16", "f32"])
@pytest.mark.parametrize("op,case,shapes", BINARY_CASES, ids=[f"{c[0]}-{c[1]}" for c in BINARY_CASES])
def test_binary_gradients_are_rounded_once(op, case, shapes, dtype, rng):
    forward, rule = (lambda x, y: apply(op, x, y)), OPERATIONS[op].grad
    a_shape, b_shape, summed = shapes
    out_shape = forward(np.ones(a_shape), np.ones(b_shape)).shape
    # the full-shape operand and the incoming gradient pair up along the summed axis
    a = draw(a_shape, dtype, rng, summed if a_shape == out_shape else None)
    b = a if case == "twice" else draw(b_shape, dtype, rng, summed if b_shape == out_shape else None)
    c = draw(out_shape, dtype, rng, summed, negate=True)
    gl, gr = rule(wide(c), wide(a), wide(b))
    if case == "twice":   # both contributions rounded, added in float32, rounded again
        check(dtype, [a], lambda x: forward(x, x) * T(c, dtype), [wide(r16(gl, dtype)) + wide(r16(gr, dtype))])
    else:
        check(dtype, [a, b], lambda x, y: forward(x, y) * T(c, dtype), [sum_to(gl, a.shape), sum_to(gr, b.shape)])


# Number operands (0.1 and 300.7 are inexact in both types) of every arithmetic operation, with the
# gradient rule of OPERATIONS (from g, x, the number in float32 and as the forward rounds it); relu and
# the shape operations.
NUMBER_CASES = [(n, side) for n in ops_of("arithmetic") for side in OPERATIONS[n].numbers]
SHAPE_OPS = {
    "relu": (lambda t: relu(t), lambda g, x: np.where(x > 0, g, F32(0))),
    "reshape": (lambda t: t.reshape([2, 4]).reshape([4, 2]), lambda g, x: g),
    "transpose": (lambda t: t.transpose(0, 1).transpose(1, 0), lambda g, x: g),
}
UNARY = {f"{n} {side}": (lambda t, s, n=n, side=side: apply(n, t, s) if side == "t op s" else apply(n, s, t),
                         lambda g, x, s, d, n=n, side=side: OPERATIONS[n].numbers[side].grad(
                             g, x, F32(s), wide(r16(s, d))))
         for n, side in NUMBER_CASES} | {k: (lambda t, s, f=f: f(t), lambda g, x, s, d, r=r: r(g, x))
                                          for k, (f, r) in SHAPE_OPS.items()}


@pytest.mark.parametrize("twice", [False, True], ids=["once", "twice"])
@pytest.mark.parametrize("s", [0.1, 300.7])
@pytest.mark.parametrize("dtype", ["f16", "bf16", "f32"])
@pytest.mark.parametrize("name", UNARY)
def test_number_and_shape_gradients_are_rounded_once(name, dtype, s, twice, rng):
    forward, rule = UNARY[name]
    x, c = draw((4, 2), dtype, rng), draw((4, 2), dtype, rng)
    want = rule(wide(c), wide(x), s, dtype)
    if twice:   # (f(x) + x) * c: the two contributions rounded, added in float32, rounded again
        want = wide(r16(want, dtype)) + wide(c)
    check(dtype, [x], lambda t: (forward(t, s) + t if twice else forward(t, s)) * T(c, dtype), [want])
