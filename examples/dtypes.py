"""A short tour of vorka's four element types: f32, f16, bf16 and bool.

For each type it builds tensors, shows shape, strides, dtype and requires_grad,
round-trips the data through NumPy, and checks a few results that follow from the type's rounding
rules against NumPy / ml_dtypes. Prints one PASS or FAIL line per type and exits
non-zero if any check failed.
"""

from __future__ import annotations

import sys
from collections.abc import Callable

import ml_dtypes
import numpy as np
import numpy.typing as npt

from vorka import Tensor, nn

Check = tuple[str, bool]


def show(label: str, t: Tensor) -> None:
    print(f"  {label:<34} shape={t.shape} strides={t.strides} dtype={t.dtype} requires_grad={t.requires_grad}")


def same(a: npt.NDArray[np.generic], b: npt.ArrayLike) -> bool:
    """Bit-for-bit equality of values (so -0.0 differs from 0.0 and NaN equals NaN)."""
    b = np.asarray(b, dtype=a.dtype)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def round_trip(dtype: str) -> Check:
    data = [[1.5, -2.0, 3.25], [0.0, 4.0, -0.5]]
    t = Tensor(data, dtype=dtype)
    show(f"Tensor(data, dtype={dtype!r})", t)
    back = t.to_numpy()
    again = Tensor(back, dtype=t.dtype).to_numpy()
    print(f"  {'':<34} to_numpy() -> {back.dtype}: {back.tolist()}")
    return "NumPy round trip is exact", same(again, back)


def float32() -> list[Check]:
    checks = [round_trip("f32")]
    show("Tensor(2.5)", Tensor(2.5))
    show("Fortran-ordered NumPy input", Tensor(np.asfortranarray(np.ones((2, 3), np.float32))))
    show("leaf with requires_grad=True", Tensor([1.0, 2.0], requires_grad=True))
    t = Tensor([5.0, 3.0, 1.0])
    q = (t / 3.0).to_numpy()
    # Division by a number multiplies by the float32 reciprocal: 5 * (1/3) is one
    # ulp above the correctly rounded 5 / 3.
    recip = np.float32(1) / np.float32(3)
    tr = Tensor([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]]).transpose(0, 1)
    show("transpose(0, 1) of a 2x3 tensor", tr)
    nan = float("nan")
    with np.errstate(divide="ignore", invalid="ignore"):
        ieee = np.array([1.0, 0.0], np.float32) / np.float32(0.0)
    return checks + [
        ("t / 3.0 multiplies by float32(1/3)", same(q, np.array([5, 3, 1], np.float32) * recip)),
        ("5 / 3.0 is not the correctly rounded quotient", q[0] != np.float32(5) / np.float32(3)),
        ("t + 0.1 adds float32(0.1)", same((Tensor([0.0]) + 0.1).to_numpy(), [np.float32(0.1)])),
        ("transposing swaps strides", tr.shape == [3, 2] and tr.strides == [1, 3]),
        ("NaN compares unequal to itself", not (Tensor([nan]) == Tensor([nan])).to_numpy()[0]),
        ("-0.0 == 0.0", bool((Tensor([-0.0]) == 0.0).to_numpy()[0])),
        ("1 / 0 = inf, 0 / 0 = NaN", same((Tensor([1.0, 0.0]) / Tensor([0.0, 0.0])).to_numpy(), ieee)),
        ("relu maps -0.0 and NaN to +0.0", same(nn.functional.relu(Tensor([-0.0, nan, 2.0])).to_numpy(),
                                               [0.0, 0.0, 2.0])),
    ]


def float16() -> list[Check]:
    h = "f16"
    one = Tensor([1.0], dtype=h)
    big = Tensor([65504.0], dtype=h)
    ref = (np.arange(1, 100, dtype=np.float16).astype(np.float32) * (np.float32(1) / np.float32(3)))
    return [
        round_trip(h),
        ("1 + 2**-11 rounds to 1 (tie to even)", same((one + 2.0**-11).to_numpy(), [1.0])),
        ("1 + 3 * 2**-11 rounds to 1 + 2**-9", same((one + 3 * 2.0**-11).to_numpy(), [1 + 2.0**-9])),
        ("65504 + 65504 overflows to inf", same((big + big).to_numpy(), [np.inf])),
        ("2048 == 2049 (the number is rounded first)", bool((Tensor([2048.0], dtype=h) == 2049).to_numpy()[0])),
        ("x / 3.0 rounds once from float32", same((Tensor(np.arange(1, 100), dtype=h) / 3.0).to_numpy(),
                                                 ref.astype(np.float16))),
        ("matmul sums in float32, rounds once",
         same((Tensor([[2048.0, 1.0, 1.0]], dtype=h) @ Tensor([[1.0], [1.0], [1.0]], dtype=h)).to_numpy(),
              [[2050.0]])),
        ("mixing f16 with f32 is refused", raises(ValueError, lambda: one + Tensor([1.0]))),
    ]


def bfloat16() -> list[Check]:
    b = "bf16"
    one = Tensor([1.0], dtype=b)
    x = np.linspace(-3, 3, 13, dtype=np.float32)
    prod = (Tensor(x, dtype=b) * Tensor(x[::-1], dtype=b)).to_numpy()
    want = (x.astype(ml_dtypes.bfloat16).astype(np.float32) * x[::-1].astype(ml_dtypes.bfloat16).astype(np.float32))
    return [
        round_trip(b),
        ("to_numpy() gives ml_dtypes.bfloat16", one.to_numpy().dtype == np.dtype(ml_dtypes.bfloat16)),
        ("dtype=ml_dtypes.bfloat16 is accepted", Tensor([1.0], dtype=ml_dtypes.bfloat16).dtype == "bf16"),
        ("1 + 2**-8 rounds to 1 (tie to even)", same((one + 2.0**-8).to_numpy(), [1.0])),
        ("1 + 3 * 2**-8 rounds to 1 + 2**-6", same((one + 3 * 2.0**-8).to_numpy(), [1 + 2.0**-6])),
        ("256 == 257 (the number is rounded first)", bool((Tensor([256.0], dtype=b) == 257).to_numpy()[0])),
        ("products: float32 then one rounding", same(prod, want.astype(ml_dtypes.bfloat16))),
    ]


def boolean() -> list[Check]:
    a = Tensor([True, True, False, False], dtype="bool")
    c = Tensor([True, False, True, False], dtype="bool")
    x = Tensor([1.0, 2.0, 3.0])
    return [
        round_trip("bool"),
        ("&, |, ^, ~", same((a & c).to_numpy(), [1, 0, 0, 0]) and same((a | c).to_numpy(), [1, 1, 1, 0])
         and same((a ^ c).to_numpy(), [0, 1, 1, 0]) and same((~a).to_numpy(), [0, 0, 1, 1])),
        ("comparisons give bool tensors", (x > 1.5).dtype == "bool" and same((x > 1.5).to_numpy(), [0, 1, 1])),
        ("!= is element-wise", same((x != 2.0).to_numpy(), [1, 0, 1])),
        ("false < true", same((c < a).to_numpy(), [0, 1, 0, 0])),
        ("arithmetic on bool is refused", raises(TypeError, lambda: a + c)),
        ("logical ops need bool", raises(RuntimeError, lambda: x & x)),
    ]


def raises(kind: type[BaseException], fn: Callable[[], object]) -> bool:
    try:
        fn()
    except kind:
        return True
    return False


def main() -> int:
    failed = 0
    for name, section in [("f32", float32), ("f16", float16), ("bf16", bfloat16), ("bool", boolean)]:
        print(f"{name}:")
        checks = section()
        for label, ok in checks:
            print(f"    {'ok  ' if ok else 'FAIL'} {label}")
        bad = sum(not ok for _, ok in checks)
        failed += bad
        print(f"{'PASS' if not bad else 'FAIL'}: {name}, {len(checks) - bad}/{len(checks)} checks")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
