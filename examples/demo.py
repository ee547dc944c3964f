"""A tour of vorka: tensors of every element type, their properties, and NumPy round trips."""

import numpy as np

import vorka
from vorka import Tensor


def show(name, t):
    print(f"{name:<28} shape={t.shape} strides={t.strides} dtype={t.dtype} "
          f"requires_grad={t.requires_grad}")


def main():
    data = [[1.5, -2.0, 3.25], [0.0, 4.0, -0.5]]
    for dtype in ("f32", "f16", "bf16", "bool"):
        t = Tensor(data, dtype=dtype)
        show(f"Tensor(data, dtype={dtype!r})", t)
        back = t.to_numpy()
        print(f"{'':<28} to_numpy -> {back.dtype}: {back.tolist()}")
        again = Tensor(back, dtype=t.dtype)
        assert np.array_equal(again.to_numpy(), back), "round trip changed the data"
    show("Tensor(2.5)", Tensor(2.5))
    show("Fortran-ordered input", Tensor(np.asfortranarray(np.ones((2, 3), np.float32))))
    leaf = Tensor([1.0, 2.0], requires_grad=True)
    show("leaf with requires_grad", leaf)
    print("vorka", vorka.__name__, "- all round trips exact")


if __name__ == "__main__":
    main()
