"""Construction, properties and NumPy round trips of Tensor."""

import threading

import numpy as np
import pytest

import vorka
from vorka import Tensor
from conftest import DTYPES, NP_DTYPES


def test_properties_of_a_fresh_tensor():
    t = Tensor([[1, 2, 3], [4, 5, 6]])
    assert (t.shape, t.ndim, t.strides, t.dtype, t.device, t.requires_grad) == (
        [2, 3], 2, [3, 1], "f32", "cpu", False)
    s = Tensor(2.5)
    assert (s.shape, s.ndim, s.strides) == ([], 0, [])


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("layout", ["c", "f", "reversed", "sliced", "empty", "scalar", "rank5"])
def test_numpy_round_trip(dtype, layout, rng):
    base = rng.standard_normal((4, 6)).astype(np.float32)
    arr = {
        "c": base,
        "f": np.asfortranarray(base),
        "reversed": base[::-1, ::-2],
        "sliced": base[1:, 2:5],
        "empty": np.zeros((0, 3), np.float32),
        "scalar": np.float32(1.5) * np.ones(()),
        "rank5": rng.standard_normal((2, 1, 3, 2, 2)),
    }[layout].astype(NP_DTYPES[dtype])
    t = Tensor(arr, dtype=dtype)
    assert t.shape == list(arr.shape)
    out = t.to_numpy()
    assert out.dtype == NP_DTYPES[dtype]
    np.testing.assert_array_equal(out.reshape(-1).view(np.uint8), np.ascontiguousarray(arr).reshape(-1).view(np.uint8))
    # stored in standard layout whatever the input was
    if arr.size:
        assert t.strides == [s // arr.itemsize for s in np.empty(arr.shape, arr.dtype).strides]
    else:
        assert t.strides == [0] * arr.ndim


def test_to_numpy_is_an_independent_copy():
    t = Tensor([1.0, 2.0])
    a, b = t.to_numpy(), t.to_numpy()
    a[0] = 99
    assert a is not b and b[0] == 1.0 and t.to_numpy()[0] == 1.0
    assert a.flags.writeable and a.flags.owndata


@pytest.mark.parametrize("dtype,expected", [
    (None, "f32"), ("f16", "f16"), (np.float16, "f16"), (np.dtype("float16"), "f16"),
    ("float32", "f32"), ("bf16", "bf16"), ("bfloat16", "bf16"), ("bool", "bool"), (bool, "bool"),
])
def test_dtype_resolution(dtype, expected):
    assert Tensor(np.zeros(3, np.float16), dtype=dtype).dtype == expected


@pytest.mark.parametrize("dtype,name", [("F32", "F32"), ("float64", "float64"), (float, "float"),
                                        (np.int8, "int8"), ("f32 ", "f32 ")])
def test_unsupported_dtype_names(dtype, name):
    with pytest.raises(ValueError, match=f"^Unsupported or invalid data type: '{name}'$"):
        Tensor([1.0], dtype=dtype)


def test_order_of_constructor_checks():
    # device value is checked before the dtype name
    with pytest.raises(ValueError, match="^The device string is invalid or not supported.$"):
        Tensor([1.0], dtype="int8", device="gpu")
    # device type and requires_grad type are both checked before the device value
    with pytest.raises(TypeError) as e:
        Tensor([1.0], device="gpu", requires_grad=1)
    assert e.value.__notes__ == ["while processing 'requires_grad'"]


@pytest.mark.parametrize("kwargs,message,note", [
    (dict(device=0), "'int' object is not an instance of 'str'", "device"),
    (dict(device=None), "'None' is not an instance of 'str'", "device"),
    (dict(requires_grad=1), "'int' object is not an instance of 'bool'", "requires_grad"),
    (dict(requires_grad=None), "'None' is not an instance of 'bool'", "requires_grad"),
])
def test_conversion_errors_carry_a_note(kwargs, message, note):
    with pytest.raises(TypeError) as e:
        Tensor([1.0], **kwargs)
    assert str(e.value) == message
    assert e.value.__notes__ == [f"while processing '{note}'"]


@pytest.mark.parametrize("device", ["cpu", "CPU", "Cpu"])
def test_device_is_lower_cased(device):
    assert Tensor([1.0], device=device).device == "cpu"


@pytest.mark.parametrize("device", ["cpu:0", "gpu", ""])
def test_bad_devices(device):
    with pytest.raises(ValueError):
        Tensor([1.0], device=device)


@pytest.mark.parametrize("args,kwargs,message", [
    ((), {}, "Tensor.__new__() missing 1 required positional argument: 'data'"),
    ((1, None, "cpu", False, 5), {}, "Tensor.__new__() takes from 1 to 4 positional arguments but 5 were given"),
    (([1.0],), {"shape": 1}, "Tensor.__new__() got an unexpected keyword argument 'shape'"),
    (([1.0],), {"data": 1}, "Tensor.__new__() got multiple values for argument 'data'"),
])
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as e:
        Tensor(*args, **kwargs)
    assert str(e.value) == message


def test_requires_grad_accepts_numpy_bool():
    assert Tensor([1.0], requires_grad=np.bool_(True)).requires_grad is True
    assert Tensor([1.0], requires_grad=np.bool_(False)).requires_grad is False


def test_numpy_errors_pass_through():
    t = Tensor([1.0])
    with pytest.raises((TypeError, ValueError)):
        Tensor(t)
    with pytest.raises(ValueError):
        Tensor([[1.0], [1.0, 2.0]])
    np.testing.assert_array_equal(Tensor(t.to_numpy()).to_numpy(), [1.0])


def test_class_properties():
    assert Tensor.__module__ == "vorka" and Tensor.__qualname__ == "Tensor"
    assert Tensor.__doc__ == ""
    assert Tensor.__text_signature__ == '(data, dtype=None, device="cpu", requires_grad=False)'
    with pytest.raises(TypeError):
        class Sub(Tensor):  # noqa: F841
            pass
    t = Tensor([0.0])
    assert bool(t) is True
    for attr, value in [("shape", [3]), ("foo", 1), ("dtype", "f16")]:
        with pytest.raises(AttributeError):
            setattr(t, attr, value)
    assert not hasattr(t, "__dict__")


def test_module_surface():
    core = vorka.vorka_core
    assert core.__all__ == ["Tensor", "nn"]
    assert core.__doc__ == ""
    assert core.nn.__name__ == "nn" and core.nn.__all__ == ["functional"]
    assert core.nn.functional.__all__ == ["relu"]
    assert core.nn.functional.relu.__module__ == "functional"
    assert core.nn.functional.relu.__text_signature__ == "(py_tensor)"
    assert issubclass(vorka.PanicException, BaseException)
    assert not issubclass(vorka.PanicException, Exception)
    assert np.dtype("bfloat16").name == "bfloat16"


def test_leaf_ids_and_failed_construction_on_a_fresh_thread():
    out = {}

    def body():
        a = Tensor([1.0], requires_grad=True)
        with pytest.raises(ValueError):
            Tensor([1.0], dtype="int8", requires_grad=True)
        b = Tensor([2.0], requires_grad=True)
        # a relu of b records its node as id 2: nothing was pushed by the failure
        r = vorka.nn.functional.relu(b)
        out["ok"] = (a.requires_grad, b.requires_grad, r.requires_grad)

    th = threading.Thread(target=body)
    th.start()
    th.join()
    assert out["ok"] == (True, True, True)


def test_transposed_round_trip_keeps_fortran_flag():
    f = np.asfortranarray(np.arange(6, dtype=np.float32).reshape(2, 3))
    t = Tensor(f)
    assert t.strides == [3, 1]
    np.testing.assert_array_equal(t.to_numpy(), f)
