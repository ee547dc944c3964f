"""reshape, transpose, zeros_like/ones_like, nn.functional.relu and clear_graph."""

import threading

import numpy as np
import pytest

import vorka
from vorka import Tensor
from conftest import DTYPES, NP_DTYPES, NUMERIC, in_fresh_thread, probe_node_id

relu = vorka.nn.functional.relu
UINT = {"f32": np.uint32, "f16": np.uint16, "bf16": np.uint16, "bool": np.uint8}
SHAPE_ERR = "Error while reshape: ShapeError/IncompatibleShape: incompatible shapes"
LAYOUT_ERR = "Error while reshape: ShapeError/IncompatibleLayout: incompatible memory layout"


def T(x, dtype="f32", **kw):
    return Tensor(np.asarray(x).astype(NP_DTYPES[dtype]), dtype=dtype, **kw)


def from_bits(bits, dtype):
    return Tensor(np.asarray(bits, UINT[dtype]).view(NP_DTYPES[dtype]), dtype=dtype)


def bits(t):
    return t.to_numpy().view(UINT[t.dtype])


def six(dtype="f32"):
    return T(np.arange(6).reshape(2, 3) - 2, dtype)


def note_of(e):
    return getattr(e.value, "__notes__", None)


class OnlyGetitem:
    """A sequence without __len__: the size hint fails and is ignored."""

    def __getitem__(self, i):
        if i < 2:
            return (2, 3)[i]
        raise IndexError(i)


class Exploding:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise ValueError("boom")


class Idx:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


# ---------------------------------------------------------------- reshape

@pytest.mark.parametrize("shape", [[2, 3], (2, 3), range(2, 4), np.array([2, 3]), [np.int64(2), Idx(3)],
                                   OnlyGetitem()])
@pytest.mark.parametrize("dtype", DTYPES)
def test_reshape_accepts_sequences(shape, dtype):
    src = T(np.arange(6) % 4, dtype).reshape([6])
    r = src.reshape(shape)
    assert (r.shape, r.strides, r.dtype) == ([2, 3], [3, 1], dtype)
    np.testing.assert_array_equal(bits(r), bits(src).reshape(2, 3))
    assert src.shape == [6]


@pytest.mark.parametrize("shape,exc,message", [
    ("23", TypeError, "Can't extract `str` to `Vec`"),
    (6, TypeError, "'int' object is not an instance of 'Sequence'"),
    ({2: 3}, TypeError, "'dict' object is not an instance of 'Sequence'"),
    (None, TypeError, "'None' is not an instance of 'Sequence'"),
    ([-1, 3], OverflowError, None),
    ([2, 2 ** 64], OverflowError, None),
    ([2.0, 3.0], TypeError, None),
    ([2, "3"], TypeError, None),
    (Exploding(), ValueError, "boom"),
])
def test_reshape_argument_errors(shape, exc, message):
    with pytest.raises(exc) as e:
        six().reshape(shape)
    assert type(e.value) is exc
    if message is not None:
        assert str(e.value) == message
    assert note_of(e) == ["while processing 'shape'"]


@pytest.mark.parametrize("call,message", [
    (lambda t: t.reshape(), "Tensor.reshape() missing 1 required positional argument: 'shape'"),
    (lambda t: t.reshape([6], [6]), "Tensor.reshape() takes 1 positional arguments but 2 were given"),
    (lambda t: t.reshape(dims=[6]), "Tensor.reshape() got an unexpected keyword argument 'dims'"),
    (lambda t: t.reshape([6], shape=[6]), "Tensor.reshape() got multiple values for argument 'shape'"),
])
def test_reshape_binding(call, message):
    with pytest.raises(TypeError) as e:
        call(six())
    assert str(e.value) == message
    assert six().reshape(shape=[6]).shape == [6]


@pytest.mark.parametrize("make,shape,strides", [
    (six, [3, 2], [2, 1]), (six, [6], [1]), (six, [1, 6], [6, 1]), (six, [6, 1, 1], [1, 1, 1]),
    (six, [1, 2, 1, 3], [6, 3, 3, 1]),
    (lambda: Tensor(5.0), [1], [1]), (lambda: Tensor(5.0), [1, 1], [1, 1]),
    (lambda: Tensor([5.0]), [], []), (lambda: Tensor(5.0), [], []),
    (lambda: Tensor(np.zeros((0, 3))), [3, 0], [0, 0]), (lambda: Tensor(np.zeros((0, 3))), [0], [0]),
    (lambda: six().transpose(0, 0), [6], [1]),
    (lambda: Tensor([[1.0, 2.0, 3.0]]).transpose(0, 1), [3], [1]),  # extent-1 axis: still standard
    (lambda: six() + 1.0, [3, 2], [2, 1]),
    (lambda: six().transpose(0, 1) + six().reshape([3, 2]), [6], [1]),   # zip result is row-major
])
def test_reshape_results(make, shape, strides):
    t = make()
    r = t.reshape(shape)
    assert r.shape == shape and r.strides == strides
    np.testing.assert_array_equal(r.to_numpy(), t.to_numpy().reshape(shape))


@pytest.mark.parametrize("make,shape,message", [
    (six, [4], SHAPE_ERR), (six, [2, 2], SHAPE_ERR), (six, [], SHAPE_ERR), (six, [6, 0], SHAPE_ERR),
    (six, [2 ** 32, 2 ** 32], SHAPE_ERR), (six, [2 ** 63, 2], SHAPE_ERR),
    (lambda: Tensor(np.zeros((0, 3))), [5], SHAPE_ERR),
    (lambda: Tensor(5.0), [2], SHAPE_ERR),
    (lambda: six().transpose(0, 1), [6], LAYOUT_ERR),
    (lambda: six().transpose(0, 1), [2, 3], LAYOUT_ERR),
    (lambda: six().transpose(0, 1), [5], SHAPE_ERR),          # the size test comes first
    (lambda: six().transpose(0, 1) * 2.0, [6], LAYOUT_ERR),   # scalar results keep the layout
    (lambda: relu(six().transpose(0, 1)), [6], LAYOUT_ERR),
    (lambda: six().transpose(0, 1) + six().transpose(0, 1), [6], LAYOUT_ERR),
    (lambda: ~T(np.ones((2, 3)), "bool").transpose(0, 1), [6], LAYOUT_ERR),
])
def test_reshape_failures(make, shape, message):
    t = make()
    with pytest.raises(ValueError) as e:
        t.reshape(shape)
    assert str(e.value) == message


@pytest.mark.parametrize("grad", [False, True])
def test_reshape_and_transpose_follow_requires_grad(grad):
    t = Tensor([[1.0, 2.0]], requires_grad=grad)
    assert t.reshape([2]).requires_grad is grad
    assert t.transpose(0, 1).requires_grad is grad


# ---------------------------------------------------------------- transpose

@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shape,dims,new_shape,strides", [
    ((2, 3), (0, 1), [3, 2], [1, 3]),
    ((2, 3), (1, 0), [3, 2], [1, 3]),
    ((2, 3), (1, 1), [2, 3], [3, 1]),
    ((2, 3, 4), (0, 1), [3, 2, 4], [4, 12, 1]),
    ((2, 3, 4), (0, 2), [4, 3, 2], [1, 4, 12]),
    ((2, 3, 4), (2, 1), [2, 4, 3], [12, 1, 4]),
    ((0, 3), (0, 1), [3, 0], [0, 0]),
    ((5,), (0, 0), [5], [1]),
    ((2, 1, 3, 1, 2), (0, 4), [2, 1, 3, 1, 2], [1, 6, 2, 2, 6]),
])
def test_transpose_swaps_extents_and_strides(dtype, shape, dims, new_shape, strides):
    a = (np.arange(int(np.prod(shape))) % 5).reshape(shape).astype(NP_DTYPES[dtype])
    t = Tensor(a, dtype=dtype)
    r = t.transpose(*dims)
    assert (r.shape, r.strides, r.dtype) == (new_shape, strides, dtype)
    out = r.to_numpy()
    np.testing.assert_array_equal(out.view(UINT[dtype]), np.swapaxes(a, *dims).view(UINT[dtype]))
    back = r.transpose(*dims)
    assert back.shape == list(shape) and back.strides == t.strides
    assert t.shape == list(shape)


def test_transpose_to_numpy_orders():
    r = Tensor(np.arange(6, dtype=np.float32).reshape(2, 3)).transpose(0, 1)
    assert r.to_numpy().flags.f_contiguous and r.to_numpy().strides == (4, 12)
    r3 = Tensor(np.arange(24, dtype=np.float32).reshape(2, 3, 4)).transpose(0, 1)
    assert r3.to_numpy().flags.c_contiguous


@pytest.mark.parametrize("args,kwargs", [
    ((0, 1), {}), ((), {"dim0": 0, "dim1": 1}), ((), {"dim1": 0, "dim0": 1}), ((0,), {"dim1": 1}),
    ((np.int64(0), Idx(1)), {}), ((True, False), {}),
])
def test_transpose_argument_forms(args, kwargs):
    r = six().transpose(*args, **kwargs)
    assert r.shape == [3, 2] and r.strides == [1, 3]


@pytest.mark.parametrize("dims,exc,note", [
    ((-1, 0), OverflowError, "dim0"),
    ((0, -1), OverflowError, "dim1"),
    ((0, "1"), TypeError, "dim1"),
    ((-1, "x"), OverflowError, "dim0"),   # dim0 is converted first
    ((1.0, 0), TypeError, "dim0"),
    ((0, None), TypeError, "dim1"),
    ((2 ** 64, 0), OverflowError, "dim0"),
])
def test_transpose_conversion_errors(dims, exc, note):
    with pytest.raises(exc) as e:
        six().transpose(*dims)
    assert type(e.value) is exc and note_of(e) == [f"while processing '{note}'"]


@pytest.mark.parametrize("make,dims,rank,index", [
    (six, (0, 2), 2, 2), (six, (2, 0), 2, 2), (six, (5, 7), 2, 5), (six, (0, 5), 2, 5),
    (six, (3, 0), 2, 3), (lambda: Tensor(1.0), (0, 0), 0, 0), (lambda: Tensor([1.0]), (0, 1), 1, 1),
    (lambda: Tensor(np.zeros((1, 1, 1))), (2 ** 63, 1), 3, 2 ** 63),
])
def test_transpose_axis_out_of_range(make, dims, rank, index):
    with pytest.raises(IndexError) as e:
        make().transpose(*dims)
    assert str(e.value) == f"index out of bounds: the len is {rank} but the index is {index}"


@pytest.mark.parametrize("call,message", [
    (lambda t: t.transpose(0), "Tensor.transpose() missing 1 required positional argument: 'dim1'"),
    (lambda t: t.transpose(0, 1, 2), "Tensor.transpose() takes 2 positional arguments but 3 were given"),
    (lambda t: t.transpose(0, 1, axis=2), "Tensor.transpose() got an unexpected keyword argument 'axis'"),
    (lambda t: t.transpose(0, dim0=1), "Tensor.transpose() got multiple values for argument 'dim0'"),
])
def test_transpose_binding(call, message):
    with pytest.raises(TypeError) as e:
        call(six())
    assert str(e.value) == message


# ---------------------------------------------------------------- zeros_like / ones_like

@pytest.mark.parametrize("dtype,zero,one", [
    ("f32", 0x00000000, 0x3F800000), ("f16", 0x0000, 0x3C00), ("bf16", 0x0000, 0x3F80), ("bool", 0, 1),
])
@pytest.mark.parametrize("make", [
    lambda d: T(-np.arange(6).reshape(2, 3) - 1, d),
    lambda d: T(-np.arange(6).reshape(2, 3) - 1, d).transpose(0, 1),
    lambda d: T(np.zeros((0, 3)), d),
    lambda d: T(-3.0, d),
    lambda d: T(np.full((2, 1, 3, 1, 2), np.nan), d).transpose(0, 2),
])
def test_fill_patterns_and_layout(dtype, zero, one, make):
    t = make(dtype)
    for method, pattern in [("zeros_like", zero), ("ones_like", one)]:
        r = getattr(t, method)()
        assert (r.shape, r.dtype, r.requires_grad) == (t.shape, dtype, False)
        expected_strides = list(np.empty(t.shape, np.int8).strides) if 0 not in t.shape else [0] * t.ndim
        assert r.strides == expected_strides
        assert (bits(r) == pattern).all()


def test_like_results_take_no_part_in_the_graph():
    def body():
        t = Tensor([1.0, 2.0], requires_grad=True)   # 0
        z, o = t.zeros_like(), t.ones_like()
        assert z.requires_grad is False and o.requires_grad is False
        for r in (z, o):
            with pytest.raises(ValueError) as e:
                r.backward()
            assert str(e.value) == "backward() called on tensor that does not require grad"
        with pytest.raises(TypeError):
            t.zeros_like(1)
        return probe_node_id(Tensor([0.0], requires_grad=True))

    assert in_fresh_thread(body) == 1


# ---------------------------------------------------------------- relu

def _relu16_reference(h, nan_threshold):
    return np.where((h & 0x8000 != 0) | ((h & 0x7FFF) >= nan_threshold), 0, h).astype(np.uint16)


@pytest.mark.parametrize("dtype,threshold", [("f16", 0x7C01), ("bf16", 0x7F81)])
def test_relu_16_bit_exhaustive(dtype, threshold):
    h = np.arange(65536, dtype=np.uint32).astype(np.uint16).reshape(256, 256)
    got = bits(relu(from_bits(h, dtype)))
    expected = _relu16_reference(h, threshold)
    bad = np.argwhere(got != expected)
    assert bad.size == 0, f"first mismatch at input {h[tuple(bad[0])]:#06x}: got {got[tuple(bad[0])]:#06x}"


@pytest.mark.parametrize("x,y", [
    (0xC0000000, 0x00000000),   # -2.0
    (0x80000000, 0x00000000),   # -0.0
    (0x00000000, 0x00000000),
    (0x40600000, 0x40600000),   # 3.5
    (0x7F800000, 0x7F800000),   # +inf
    (0xFF800000, 0x00000000),   # -inf
    (0x7F7FFFFF, 0x7F7FFFFF),
    (0x00000001, 0x00000001),   # smallest subnormal stays
    (0x80000001, 0x00000000),
    (0x7FC00000, 0x00000000),   # quiet NaN gives +0
    (0xFFC00001, 0x00000000),
    (0x7F800001, 0x00000000),   # signalling NaNs too, of either sign
    (0xFF800001, 0x00000000),
    (0x7FBFFFFF, 0x00000000),
])
def test_relu_f32_cases(x, y):
    got = bits(relu(from_bits([x, x], "f32")))
    assert [hex(v) for v in got] == [hex(y)] * 2


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("make", [
    lambda d: T(np.arange(-3, 3).reshape(2, 3), d).transpose(0, 1),
    lambda d: T(np.arange(-12, 12).reshape(2, 3, 4), d).transpose(0, 1),
    lambda d: T(-1.5, d), lambda d: T(np.zeros((0, 3)), d),
])
def test_relu_keeps_layout(dtype, make):
    t = make(dtype)
    r = relu(t)
    assert (r.shape, r.strides, r.dtype) == (t.shape, t.strides, dtype)
    x = t.to_numpy().astype(np.float32)
    np.testing.assert_array_equal(r.to_numpy().astype(np.float32), np.where(x > 0, x, 0))


def test_relu_of_bool():
    with pytest.raises(TypeError) as e:
        relu(T([True, False], "bool"))
    assert str(e.value) == "Tensor Dtype not supported for this operation: relu"


@pytest.mark.parametrize("call,message,note", [
    (lambda t: relu([1.0]), "'list' object is not an instance of 'Tensor'", True),
    (lambda t: relu(np.float32([1.0])), "'ndarray' object is not an instance of 'Tensor'", True),
    (lambda t: relu(None), "'None' is not an instance of 'Tensor'", True),
    (lambda t: relu(), "relu() missing 1 required positional argument: 'py_tensor'", False),
    (lambda t: relu(t, t), "relu() takes 1 positional arguments but 2 were given", False),
    (lambda t: relu(x=t), "relu() got an unexpected keyword argument 'x'", False),
    (lambda t: relu(t, py_tensor=t), "relu() got multiple values for argument 'py_tensor'", False),
])
def test_relu_binding_errors(call, message, note):
    with pytest.raises(TypeError) as e:
        call(Tensor([1.0]))
    assert str(e.value) == message
    if note:
        assert note_of(e) == ["while processing 'py_tensor'"]


def test_relu_keyword_and_requires_grad():
    t = Tensor([-1.0, 2.0])
    r = relu(py_tensor=t)
    assert r.requires_grad is False and r.to_numpy().tolist() == [0.0, 2.0]
    assert relu(Tensor([-1.0], requires_grad=True)).requires_grad is True


# ---------------------------------------------------------------- tape behaviour

@pytest.mark.parametrize("build,expected", [
    (lambda a: relu(a), 1),
    (lambda a: a.reshape([1]), 1),
    (lambda a: a.transpose(0, 0), 1),
    (lambda a: relu(Tensor([1.0])), None),     # constant input: nothing recorded
    (lambda a: a.zeros_like(), None),
])
def test_node_ids_on_a_fresh_thread(build, expected):
    def body():
        a = Tensor([1.0], requires_grad=True)   # leaf 0
        return probe_node_id(build(a))

    assert in_fresh_thread(body) == expected


def test_failed_relu_keeps_its_node():
    def body():
        Tensor([True], dtype="bool", requires_grad=True)   # 0
        with pytest.raises(TypeError):
            relu(Tensor([True], dtype="bool", requires_grad=True))   # leaf 1, node 2, then the error
        return probe_node_id(Tensor([0.0], requires_grad=True))

    assert in_fresh_thread(body) == 3


def test_clear_graph_is_static_and_drops_gradients():
    def body():
        x = Tensor([[1.0, -2.0]], requires_grad=True)
        assert x.grad() is None
        y = relu(x * 2.0)
        y.backward()
        assert isinstance(x.grad(), np.ndarray) and x.grad().shape == (1, 2)
        np.testing.assert_array_equal(y.grad(), np.ones((1, 2), np.float32))
        assert Tensor.clear_graph() is None
        assert x.grad() is None and y.grad() is None
        assert x.clear_graph() is None
        for bad in (lambda: Tensor.clear_graph(x), lambda: x.clear_graph(1)):
            with pytest.raises(TypeError):
                bad()
        return True

    assert in_fresh_thread(body)


def test_ids_restart_after_clear_and_old_ids_are_refused():
    def body():
        a = Tensor([1.0], requires_grad=True)          # 0
        Tensor([1.0], requires_grad=True)              # 1
        Tensor.clear_graph()
        b = Tensor([1.0, 2.0, 3.0], requires_grad=True)   # 0 again, on a new generation
        b.backward()
        with pytest.raises(RuntimeError, match="clear_graph"):
            a * 2.0
        return a.grad(), b.grad()

    stale, fresh = in_fresh_thread(body)
    assert stale is None
    np.testing.assert_array_equal(fresh, np.ones(3, np.float32))


def test_clear_graph_is_per_thread():
    x = Tensor([3.0], requires_grad=True)
    (x * 2.0).backward()
    t = threading.Thread(target=Tensor.clear_graph)
    t.start()
    t.join()
    np.testing.assert_array_equal(x.grad(), [2.0])
    Tensor.clear_graph()
    assert x.grad() is None
