"""Construction, NumPy round trips, reshape, transpose, zeros_like/ones_like, relu and the module's surface."""

import sys

import numpy as np
import pytest

import vorka
from vorka import Tensor
from conftest import DTYPES, NP_DTYPES, T, bits, relu

SHAPE_ERR = "Error while reshape: ShapeError/IncompatibleShape: incompatible shapes"
LAYOUT_ERR = "Error while reshape: ShapeError/IncompatibleLayout: incompatible memory layout"


def six(dtype="f32"):
    return T(np.arange(6).reshape(2, 3) - 2, dtype)


def z(*shape):
    return Tensor(np.zeros(shape, np.float32))


def test_properties_class_and_module():
    t = Tensor([[1, 2, 3], [4, 5, 6]])
    assert (t.shape, t.ndim, t.strides, t.dtype, t.device, t.requires_grad) == ([2, 3], 2, [3, 1], "f32", "cpu", False)
    assert Tensor.__module__ == "vorka" and Tensor.__qualname__ == "Tensor" and Tensor.__doc__ == ""
    assert Tensor.__text_signature__ == '(data, dtype=None, device="cpu", requires_grad=False)'
    with pytest.raises(TypeError):
        type("Sub", (Tensor,), {})
    assert bool(Tensor([0.0])) is True and Tensor.__hash__ is None and not hasattr(t, "__dict__")
    assert Tensor.__itemsize__ == 0 and sys.getsizeof(t) < 256   # a fixed-size object
    for attr, value in [("shape", [3]), ("foo", 1), ("dtype", "f16")]:
        with pytest.raises(AttributeError):
            setattr(t, attr, value)
    core = vorka.vorka_core
    assert core.__all__ == ["Tensor", "nn"] and core.__doc__ == ""
    assert core.nn.__name__ == "nn" and core.nn.__all__ == ["functional"] and core.nn.functional.__all__ == ["relu"]
    assert relu.__module__ == "functional" and relu.__text_signature__ == "(py_tensor)"
    # The PyTorch spellings reach the very same objects.
    import importlib
    import vorka.nn.functional as F
    from vorka.nn.functional import relu as imported_relu
    assert vorka.nn is core.nn and F is core.nn.functional and imported_relu is relu
    assert importlib.import_module("vorka.nn") is core.nn
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("vorka.vorka_core.nn")
    assert issubclass(vorka.PanicException, BaseException) and not issubclass(vorka.PanicException, Exception)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("layout", ["c", "f", "reversed", "sliced", "empty", "scalar", "rank5"])
def test_numpy_round_trip(dtype, layout, rng):
    base = rng.standard_normal((4, 6)).astype(np.float32)
    arr = {"c": base, "f": np.asfortranarray(base), "reversed": base[::-1, ::-2], "sliced": base[1:, 2:5],
           "empty": np.zeros((0, 3), np.float32), "scalar": np.float32(1.5) * np.ones(()),
           "rank5": rng.standard_normal((2, 1, 3, 2, 2))}[layout].astype(NP_DTYPES[dtype])
    t = Tensor(arr, dtype=dtype)
    a, b = t.to_numpy(), t.to_numpy()
    assert t.shape == list(arr.shape) and a.dtype == NP_DTYPES[dtype]
    np.testing.assert_array_equal(bits(a), bits(np.ascontiguousarray(arr)))
    # stored in standard layout whatever the input was
    assert t.strides == {"c": [6, 1], "f": [6, 1], "reversed": [3, 1], "sliced": [3, 1], "empty": [0, 0],
                         "scalar": [], "rank5": [12, 12, 4, 2, 1]}[layout]
    if a.size:
        a.reshape(-1)[0] = 1
        assert a is not b and a.flags.writeable and a.flags.owndata
        np.testing.assert_array_equal(bits(t.to_numpy()), bits(b))


# ---------------------------------------------------------------- reshape and transpose

@pytest.mark.parametrize("make,shape,strides", [
    (six, [3, 2], [2, 1]), (six, [6], [1]), (six, [1, 6], [6, 1]), (six, [6, 1, 1], [1, 1, 1]),
    (six, [1, 2, 1, 3], [6, 3, 3, 1]), (lambda: Tensor(5.0), [1, 1], [1, 1]), (lambda: Tensor([5.0]), [], []),
    (lambda: Tensor(5.0), [], []), (lambda: z(0, 3), [3, 0], [0, 0]), (lambda: z(0, 3), [0], [0]),
    (lambda: z(0, 2**40), [2**40, 0, 7], [0, 0, 0]), (lambda: six().transpose(0, 0), [6], [1]),
    (lambda: Tensor([[1.0, 2.0, 3.0]]).transpose(0, 1), [3], [1]),  # extent-1 axis: still standard
])
def test_reshape_results(make, shape, strides):
    t = make()
    r = t.reshape(shape)
    assert r.shape == shape and r.strides == strides
    np.testing.assert_array_equal(r.to_numpy(), t.to_numpy().reshape(shape))


@pytest.mark.parametrize("make,shape,message", [
    (six, [4], SHAPE_ERR), (six, [], SHAPE_ERR), (six, [6, 0], SHAPE_ERR), (six, [2**32, 2**32], SHAPE_ERR),
    (six, [2**63, 2], SHAPE_ERR), (lambda: z(0, 3), [5], SHAPE_ERR), (lambda: Tensor(5.0), [2], SHAPE_ERR),
    (lambda: six().transpose(0, 1), [6], LAYOUT_ERR), (lambda: six().transpose(0, 1), [2, 3], LAYOUT_ERR),
    (lambda: six().transpose(0, 1), [5], SHAPE_ERR),          # the size test comes first
    (lambda: six().transpose(0, 1) * 2.0, [6], LAYOUT_ERR),   # number results keep the layout
])
def test_reshape_failures(make, shape, message):
    with pytest.raises(ValueError) as e:
        make().reshape(shape)
    assert str(e.value) == message


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("shape,dims,new_shape,strides", [
    ((2, 3), (0, 1), [3, 2], [1, 3]), ((2, 3), (1, 0), [3, 2], [1, 3]), ((2, 3), (1, 1), [2, 3], [3, 1]),
    ((2, 3, 4), (0, 1), [3, 2, 4], [4, 12, 1]), ((2, 3, 4), (0, 2), [4, 3, 2], [1, 4, 12]),
    ((2, 3, 4), (2, 1), [2, 4, 3], [12, 1, 4]), ((0, 3), (0, 1), [3, 0], [0, 0]), ((5,), (0, 0), [5], [1]),
    ((2, 1, 3, 1, 2), (0, 4), [2, 1, 3, 1, 2], [1, 6, 2, 2, 6]),
])
def test_transpose_swaps_extents_and_strides(dtype, shape, dims, new_shape, strides):
    a = (np.arange(int(np.prod(shape))) % 5).reshape(shape).astype(NP_DTYPES[dtype])
    t = Tensor(a, dtype=dtype)
    r = t.transpose(*dims)
    assert (r.shape, r.strides, r.dtype, r.requires_grad) == (new_shape, strides, dtype, False)
    want = np.swapaxes(a, *dims)
    np.testing.assert_array_equal(bits(r), bits(want))   # in its own layout where that is row- or column-major
    assert r.to_numpy().strides == (want if want.flags.forc else np.ascontiguousarray(want)).strides
    back = r.transpose(*dims)
    assert back.shape == list(shape) and back.strides == t.strides and t.shape == list(shape)


@pytest.mark.parametrize("make,dims,rank,index", [
    (six, (0, 2), 2, 2), (six, (2, 0), 2, 2), (six, (5, 7), 2, 5), (six, (0, 5), 2, 5), (six, (3, 0), 2, 3),
    (lambda: Tensor(1.0), (0, 0), 0, 0), (lambda: Tensor([1.0]), (0, 1), 1, 1),
    (lambda: z(1, 1, 1), (2**63, 1), 3, 2**63), (lambda: z(2, 3), (0, 2**40), 2, 2**40),
])
def test_transpose_axis_out_of_range(make, dims, rank, index):
    with pytest.raises(IndexError) as e:
        make().transpose(*dims)
    assert str(e.value) == f"index out of bounds: the len is {rank} but the index is {index}"


# ---------------------------------------------------------------- zeros_like / ones_like / relu

@pytest.mark.parametrize("dtype,one", [("f32", 0x3F800000), ("f16", 0x3C00), ("bf16", 0x3F80), ("bool", 1)])
@pytest.mark.parametrize("make,strides", [
    (lambda d: T(np.arange(6).reshape(2, 3) - 2, d), [3, 1]),
    (lambda d: T(np.arange(6).reshape(2, 3) - 2, d).transpose(0, 1), [2, 1]),
    (lambda d: T(np.arange(-12, 12).reshape(2, 3, 4), d).transpose(0, 1), [8, 4, 1]),
    (lambda d: T(np.zeros((0, 3)), d), [0, 0]), (lambda d: T(-3.0, d), []),
    (lambda d: T(np.full((2, 1, 3, 1, 2), np.nan), d).transpose(0, 2), [4, 4, 2, 2, 1]),
])
def test_fills_in_standard_layout_relu_in_the_operands(dtype, one, make, strides):
    t = make(dtype)
    for r, pattern in [(t.zeros_like(), 0), (t.ones_like(), one)]:
        assert (r.shape, r.strides, r.dtype, r.requires_grad) == (t.shape, strides, dtype, False)
        assert (bits(r) == pattern).all()
    if dtype != "bool":
        r = relu(py_tensor=t)
        assert (r.shape, r.strides, r.dtype, r.requires_grad) == (t.shape, t.strides, dtype, False)
        x = t.to_numpy().astype(np.float32)
        np.testing.assert_array_equal(r.to_numpy().astype(np.float32), np.where(x > 0, x, 0))
    assert Tensor(np.zeros((2**40, 0), np.float32)).ones_like().shape == [2**40, 0]


# ---------------------------------------------------------------- relu

# every 16-bit pattern; for float32: -2, -0, 0, 3.5, +-inf, max, smallest subnormals, NaNs of each sign and kind
@pytest.mark.parametrize("dtype,h", [
    ("f16", np.arange(65536, dtype=np.uint16)), ("bf16", np.arange(65536, dtype=np.uint16)),
    ("f32", np.array([0xC0000000, 0x80000000, 0, 0x40600000, 0x7F800000, 0xFF800000, 0x7F7FFFFF, 1, 0x80000001,
                      0x7FC00000, 0xFFC00001, 0x7F800001, 0xFF800001, 0x7FBFFFFF], np.uint32))])
def test_relu_bits(dtype, h):
    sign = h.dtype.type(1 << (8 * h.itemsize - 1))
    inf = bits(np.array(np.inf).astype(NP_DTYPES[dtype]))[()]
    got = bits(relu(Tensor(h.view(NP_DTYPES[dtype]), dtype=dtype)))
    expected = np.where(((h & sign) != 0) | ((h & ~sign) > inf), 0, h)   # negatives and NaNs give +0
    bad = np.argwhere(got != expected)
    assert bad.size == 0, f"first mismatch at input {h[bad[0][0]]:#x}: got {got[bad[0][0]]:#x}"


# ---------------------------------------------------------------- shapes at the edges

def _grad(f, shape):
    x = Tensor(np.ones(shape, np.float32), requires_grad=True)
    f(x).backward()
    return x.grad()


@pytest.mark.parametrize("call,expected", [
    (lambda: Tensor(5.0) + Tensor([]), [0]),
    (lambda: Tensor(np.zeros(0, bool), dtype="bool") & Tensor(True, dtype="bool"), [0]),
    (lambda: (z(0, 2**40) * 2.0 + 1.0).transpose(0, 1), [2**40, 0]),
    (lambda: z(*(1,) * 33) + z(*(1,) * 33), [1] * 33),
    (lambda: (z(*(2,) + (1,) * 38 + (2,)).transpose(0, 39) + 1.0).to_numpy(), [2] + [1] * 38 + [2]),
    (lambda: z(*(1,) * 38 + (2, 3)) @ z(3, 4), [1] * 38 + [2, 4]),
    (lambda: z(1).reshape([1] * 65).to_numpy(), ValueError),   # more axes than NumPy takes
    (lambda: _grad(lambda x: relu(x * x), (1,) * 39 + (3,)), [1] * 39 + [3]),
    (lambda: _grad(lambda x: x * z(2, 2, 2), (1,) * 37 + (2, 1, 2)), [1] * 37 + [2, 1, 2]),
])
def test_edge_shapes(call, expected):
    if expected is ValueError:
        with pytest.raises(ValueError):
            call()
    else:
        assert list(call().shape) == expected
