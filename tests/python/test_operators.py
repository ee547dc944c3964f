"""The operator slots of Tensor: which operand forms are accepted, in which order they reach the
core, when an operator declines, and the explicit comparison methods."""

import decimal
import fractions
import operator

import numpy as np
import pytest

from vorka import Tensor
from conftest import NP_DTYPES, NUMERIC, in_fresh_thread, probe_node_id


def T(x, dtype="f32", **kw):
    return Tensor(np.asarray(x).astype(NP_DTYPES[dtype]), dtype=dtype, **kw)


def values(t):
    return t.to_numpy().astype(np.float64).tolist()


class Indexable:
    def __index__(self):
        return 3


class FloatLike:
    def __float__(self):
        return 0.5


# ---------------------------------------------------------------- accepted forms

@pytest.mark.parametrize("expr,expected", [
    (lambda t: t + 1, [2.0, 3.0]),
    (lambda t: 1 + t, [2.0, 3.0]),
    (lambda t: True + t, [2.0, 3.0]),
    (lambda t: t + False, [1.0, 2.0]),
    (lambda t: t - 2.0, [-1.0, 0.0]),
    (lambda t: t * 3, [3.0, 6.0]),
    (lambda t: 3 * t, [3.0, 6.0]),
    (lambda t: t / 2, [0.5, 1.0]),
    (lambda t: 4 / t, [4.0, 2.0]),
    (lambda t: t + np.float64(0.5), [1.5, 2.5]),
    (lambda t: t * np.int64(2), [2.0, 4.0]),
    (lambda t: t + fractions.Fraction(1, 4), [1.25, 2.25]),
    (lambda t: t - decimal.Decimal("0.5"), [0.5, 1.5]),
    (lambda t: t * Indexable(), [3.0, 6.0]),
    (lambda t: Indexable() * t, [3.0, 6.0]),
    (lambda t: t / FloatLike(), [2.0, 4.0]),
    (lambda t: FloatLike() / t, [0.5, 0.25]),
])
def test_number_operands(expr, expected):
    t = Tensor([1.0, 2.0])
    r = expr(t)
    assert isinstance(r, Tensor) and r is not t
    assert values(r) == expected
    assert values(t) == [1.0, 2.0]


@pytest.mark.parametrize("op", [operator.add, operator.sub, operator.mul, operator.truediv])
def test_tensor_operands_keep_their_order(op):
    a, b = np.float32([1.0, 2.0]), np.float32([4.0, 5.0])
    np.testing.assert_array_equal(op(Tensor(a), Tensor(b)).to_numpy(), op(a, b))
    np.testing.assert_array_equal(op(Tensor(b), Tensor(a)).to_numpy(), op(b, a))


def test_matrix_multiply_slot():
    a, b = np.float32([[1, 2], [3, 4]]), np.float32([[5, 6], [7, 8]])
    np.testing.assert_array_equal((Tensor(a) @ Tensor(b)).to_numpy(), a @ b)
    np.testing.assert_array_equal((Tensor(b) @ Tensor(a)).to_numpy(), b @ a)


@pytest.mark.parametrize("dtype", NUMERIC)
def test_python_numbers_are_rounded_to_float32(dtype):
    t = T([1.0, -1.0], dtype)
    for r in (t * 1e40, 1e40 * t):
        assert values(r) == [np.inf, -np.inf]
    assert values(t / 1e-46) == [np.inf, -np.inf]  # 1e-46 is 0 in float32: reciprocal is infinite
    assert values(T([16777216.0]) == 16777217) == [1.0]
    assert values(T([0.0]) < 1e-50) == [0.0]


def test_error_of_forward_form_is_raised_not_declined():
    a, b = T([1.0], "f32"), T([1.0], "f16")
    with pytest.raises(ValueError):
        a + b
    with pytest.raises(RuntimeError):
        a == b
    with pytest.raises(RuntimeError):
        T([1.0, 2.0]) == T([1.0, 2.0, 3.0])


# ---------------------------------------------------------------- declined forms

@pytest.mark.parametrize("expr,symbol", [
    (lambda t: 2.0 - t, "unsupported operand type(s) for -: 'float' and 'vorka.Tensor'"),
    (lambda t: t + "a", "unsupported operand type(s) for +: 'vorka.Tensor' and 'str'"),
    (lambda t: "a" * t, None),
    (lambda t: t * None, "unsupported operand type(s) for *: 'vorka.Tensor' and 'NoneType'"),
    (lambda t: t / [1.0], "unsupported operand type(s) for /: 'vorka.Tensor' and 'list'"),
    (lambda t: t @ 2.0, "unsupported operand type(s) for @: 'vorka.Tensor' and 'float'"),
    (lambda t: 2.0 @ t, "unsupported operand type(s) for @: 'float' and 'vorka.Tensor'"),
    (lambda t: t & True, "unsupported operand type(s) for &: 'vorka.Tensor' and 'bool'"),
    (lambda t: True & t, "unsupported operand type(s) for &: 'bool' and 'vorka.Tensor'"),
    (lambda t: t | 1, "unsupported operand type(s) for |: 'vorka.Tensor' and 'int'"),
    (lambda t: False ^ t, "unsupported operand type(s) for ^: 'bool' and 'vorka.Tensor'"),
    (lambda t: -t, "bad operand type for unary -: 'vorka.Tensor'"),
    (lambda t: +t, "bad operand type for unary +: 'vorka.Tensor'"),
    (lambda t: abs(t), "bad operand type for abs(): 'vorka.Tensor'"),
    (lambda t: t ** 2, None), (lambda t: 2 ** t, None), (lambda t: t // 2, None),
    (lambda t: t % 2, None), (lambda t: t << 1, None), (lambda t: len(t), None),
    (lambda t: t[0], None), (lambda t: iter(t), None),
    (lambda t: t < "a", "'<' not supported between instances of 'vorka.Tensor' and 'str'"),
    (lambda t: None >= t, "'>=' not supported between instances of 'NoneType' and 'vorka.Tensor'"),
])
def test_declined_forms_raise_type_error(expr, symbol):
    t = Tensor([1.0, 2.0])
    with pytest.raises(TypeError) as e:
        expr(t)
    if symbol is not None:
        assert str(e.value) == symbol


def test_declined_comparisons_fall_back_to_identity():
    t = Tensor([1.0, 2.0])
    assert (t == None) is False and (None == t) is False  # noqa: E711
    assert (t != None) is True and (None != t) is True  # noqa: E711
    assert (t == "a") is False and (t != "a") is True
    assert (t == [1.0, 2.0]) is False
    assert (t == {}) is False


def test_inplace_forms_rebind_to_new_objects():
    t = Tensor([1.0, 2.0])
    u = t
    t += 1
    assert t is not u and values(u) == [1.0, 2.0] and values(t) == [2.0, 3.0]
    t -= 1.0
    t *= Tensor([2.0, 2.0])
    t /= 4
    assert values(t) == [0.5, 1.0] and values(u) == [1.0, 2.0]
    b = T([True, False], "bool")
    c = b
    b &= T([True, True], "bool")
    b |= T([False, True], "bool")
    b ^= T([True, True], "bool")
    assert values(b) == [0.0, 0.0] and values(c) == [1.0, 0.0]


def test_tensors_are_unhashable():
    t = Tensor([1.0])
    with pytest.raises(TypeError):
        hash(t)
    with pytest.raises(TypeError):
        {t}
    assert Tensor.__hash__ is None


# ---------------------------------------------------------------- comparisons

@pytest.mark.parametrize("left,right", [
    (lambda t: 2.0 == t, lambda t: t == 2.0),
    (lambda t: 2.0 != t, lambda t: t != 2.0),
    (lambda t: 2.0 < t, lambda t: t > 2.0),
    (lambda t: 2.0 <= t, lambda t: t >= 2.0),
    (lambda t: 2.0 > t, lambda t: t < 2.0),
    (lambda t: 2.0 >= t, lambda t: t <= 2.0),
    (lambda t: t.__req__(2.0), lambda t: t == 2.0),
    (lambda t: t.__rgt__(2.0), lambda t: t < 2.0),
    (lambda t: t.__rlt__(2.0), lambda t: t > 2.0),
    (lambda t: t.__req__(other=2), lambda t: t == 2.0),
])
def test_reflected_comparisons_swap_operands(left, right):
    t = Tensor([1.0, 2.0, 3.0, np.nan])
    a, b = left(t), right(t)
    assert isinstance(a, Tensor) and a.dtype == "bool"
    np.testing.assert_array_equal(a.to_numpy(), b.to_numpy())


def test_comparison_truth_tables():
    t = Tensor([1.0, 2.0, 3.0, np.nan])
    table = {
        "==": [False, True, False, False], "!=": [True, False, True, True],
        "<": [True, False, False, False], "<=": [True, True, False, False],
        ">": [False, False, True, False], ">=": [False, True, True, False],
    }
    ops = {"==": operator.eq, "!=": operator.ne, "<": operator.lt, "<=": operator.le,
           ">": operator.gt, ">=": operator.ge}
    for sym, expected in table.items():
        np.testing.assert_array_equal(ops[sym](t, 2.0).to_numpy(), expected, err_msg=sym)
        np.testing.assert_array_equal(ops[sym](t, Tensor([2.0])).to_numpy(), expected, err_msg=sym)


def test_not_equal_is_element_wise():
    t = Tensor([1.0, 3.0])
    r = t != 2.0   # no element equals 2.0: still a tensor, not the Python value
    assert isinstance(r, Tensor) and r.dtype == "bool" and r.requires_grad is False
    np.testing.assert_array_equal(r.to_numpy(), [True, True])
    np.testing.assert_array_equal((t != Tensor([1.0, 1.0])).to_numpy(), [False, True])
    with pytest.raises(RuntimeError, match=r"^Tensor device or dtype mismatch for element-wise != operation\.$"):
        t != T([1.0, 3.0], "f16")


def test_explicit_methods_round_the_number():
    t = T([2048.0], "f16")
    assert values(t.__req__(2049.0)) == [1.0]
    assert values(T([1.0]).__rlt__(1e40)) == [0.0]   # 1e40 is float32 infinity: 1 > inf is false
    assert values(T([1.0]).__rgt__(1e40)) == [1.0]


@pytest.mark.parametrize("name", ["__req__", "__rgt__", "__rlt__"])
@pytest.mark.parametrize("args,kwargs,exc,message,note", [
    (("a",), {}, TypeError, None, True),
    ((None,), {}, TypeError, None, True),
    (([1.0],), {}, TypeError, None, True),
    ((Tensor([1.0]),), {}, TypeError, None, True),
    ((10 ** 400,), {}, OverflowError, None, True),
    ((), {}, TypeError, "Tensor.{}() missing 1 required positional argument: 'other'", False),
    ((1.0, 2.0), {}, TypeError, "Tensor.{}() takes 1 positional arguments but 2 were given", False),
    ((), {"value": 1.0}, TypeError, "Tensor.{}() got an unexpected keyword argument 'value'", False),
    ((1.0,), {"other": 1.0}, TypeError, "Tensor.{}() got multiple values for argument 'other'", False),
])
def test_explicit_method_errors(name, args, kwargs, exc, message, note):
    t = Tensor([1.0])
    with pytest.raises(exc) as e:
        getattr(t, name)(*args, **kwargs)
    assert type(e.value) is exc
    if message is not None:
        assert str(e.value) == message.format(name)
    if note:
        assert getattr(e.value, "__notes__", None) == ["while processing 'other'"]


def test_explicit_methods_on_bool_report_the_core_error():
    t = T([True], "bool")
    for name, sym in [("__req__", "=="), ("__rgt__", "<"), ("__rlt__", ">")]:
        with pytest.raises(RuntimeError) as e:
            getattr(t, name)(1.0)
        assert str(e.value) == f"Tensor device or dtype mismatch for scalar {sym} operation."


# ---------------------------------------------------------------- logical operators

B = [[True, False], [False, False], [True, True], [False, True]]


@pytest.mark.parametrize("op,expected", [
    (operator.and_, [False, False, True, False]),
    (operator.or_, [True, False, True, True]),
    (operator.xor, [True, False, False, True]),
])
def test_logical_values(op, expected):
    a = T([p[0] for p in B], "bool")
    b = T([p[1] for p in B], "bool")
    r = op(a, b)
    assert r.dtype == "bool"
    np.testing.assert_array_equal(r.to_numpy(), expected)


def test_logical_not():
    np.testing.assert_array_equal((~T([True, False], "bool")).to_numpy(), [False, True])
    np.testing.assert_array_equal((~T(True, "bool")).to_numpy(), np.array(False))


@pytest.mark.parametrize("op", [operator.and_, operator.or_, operator.xor])
def test_logical_broadcasting_and_layout(op):
    a = np.array([[True], [False]])
    b = np.array([[True, False, True]])
    r = op(T(a, "bool"), T(b, "bool"))
    assert r.shape == [2, 3]
    np.testing.assert_array_equal(r.to_numpy(), op(a, b))
    e = op(T(np.zeros(0, bool), "bool"), T([True], "bool"))
    assert e.shape == [0] and e.strides == [0]
    m = np.array([[True, False, True], [False, False, True]])
    tt = T(m, "bool").transpose(0, 1)
    assert op(tt, tt).strides == [1, 3]
    assert op(tt, T(m.T, "bool")).strides == [2, 1]
    np.testing.assert_array_equal(op(tt, T(m.T, "bool")).to_numpy(), op(m.T, m.T))
    with pytest.raises(RuntimeError) as err:
        op(T([True, False], "bool"), T([True, False, True], "bool"))
    assert str(err.value) == "Shape mismatch: cannot broadcast [2] and [3]"


def test_logical_not_keeps_strides():
    m = np.array([[True, False, True], [False, False, True]])
    r = ~T(m, "bool").transpose(0, 1)
    assert r.strides == [1, 3]
    np.testing.assert_array_equal(r.to_numpy(), ~m.T)


@pytest.mark.parametrize("op", [operator.and_, operator.or_, operator.xor])
@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("bool_left", [True, False])
def test_logical_type_errors_come_before_shapes(op, dtype, bool_left):
    b, n = T([True, False], "bool"), T([1.0, 2.0, 3.0], dtype)
    for pair in [(b, n) if bool_left else (n, b), (n, n)]:
        with pytest.raises(RuntimeError) as e:
            op(*pair)
        assert str(e.value) == "Logical operations are only supported for Bool data types."


@pytest.mark.parametrize("dtype", NUMERIC)
def test_logical_not_of_numbers(dtype):
    with pytest.raises(RuntimeError) as e:
        ~T([1.0], dtype)
    assert str(e.value) == "Logical NOT is only supported for Bool data type."


# ---------------------------------------------------------------- recording through the slots

@pytest.mark.parametrize("expr,records", [
    (lambda t, c: t + c, True), (lambda t, c: 1.0 + t, True), (lambda t, c: t - 1.0, True),
    (lambda t, c: t * c, True), (lambda t, c: 2 * t, True), (lambda t, c: t / 2.0, True),
    (lambda t, c: 2.0 / t, True), (lambda t, c: t / c, True),
    (lambda t, c: t == c, False), (lambda t, c: t != 1.0, False), (lambda t, c: 1.0 < t, False),
    (lambda t, c: t.__req__(1.0), False), (lambda t, c: t >= c, False),
])
def test_requires_grad_of_results(expr, records):
    t = Tensor([1.0, 2.0], requires_grad=True)
    c = Tensor([3.0, 4.0])
    assert expr(t, c).requires_grad is records
    assert expr(Tensor([1.0, 2.0]), c).requires_grad is False


def test_logical_results_never_record():
    def body():
        a = Tensor([True, False], dtype="bool", requires_grad=True)   # id 0
        r = [a & a, a | a, a ^ a, ~a]
        assert all(x.requires_grad is False for x in r)
        return probe_node_id(Tensor([1.0], requires_grad=True))

    assert in_fresh_thread(body) == 1
