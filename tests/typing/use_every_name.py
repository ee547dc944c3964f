"""Touches every public name of vorka so that `mypy --strict` checks the stubs.

assert_type pins what the stubs promise; the `type: ignore[...]` lines are uses the
stubs must reject (under --strict an ignore that is not needed is itself an error).
Running the file also checks that the runtime agrees with the stubs.
"""

from __future__ import annotations

import ast
from collections.abc import Callable
from pathlib import Path
from typing import Any, Literal, assert_type

import ml_dtypes
import numpy as np
import numpy.typing as npt

import vorka
import vorka.nn.functional as F
from vorka import PanicException, Tensor, nn, vorka_core
from vorka.nn.functional import relu


def raises(kind: type[BaseException], fn: Callable[[], object]) -> None:
    try:
        fn()
    except kind:
        return
    raise AssertionError(f"expected {kind.__name__}")


def construct() -> list[Tensor]:
    raises(TypeError, lambda: Tensor([1.0], requires_grad=1))  # type: ignore[arg-type]
    raises(TypeError, lambda: Tensor([1.0], device=None))  # type: ignore[arg-type]
    return [Tensor([[1.0, 2.0], [3.0, 4.0]]), Tensor(2.5), Tensor(np.ones((2, 2), np.float16), dtype="f16"),
            Tensor([1.0], dtype=np.float16), Tensor([1.0], dtype=np.dtype("float16")),
            Tensor([1.0], dtype=ml_dtypes.bfloat16), Tensor([1.0], dtype="bfloat16"),
            Tensor([True, False], dtype=bool), Tensor(data=[1.0], requires_grad=True),
            Tensor([1.0], dtype=None, device="CPU", requires_grad=np.bool_(True))]


def properties(t: Tensor) -> None:
    assert_type((t.shape, t.ndim, t.strides, t.requires_grad), tuple[list[int], int, list[int], bool])
    assert_type((t.dtype, t.device), tuple[Literal["f32", "f16", "bf16", "bool"], Literal["cpu"]])
    assert_type(t.to_numpy(), npt.NDArray[Any])

    def set_shape() -> None:
        t.shape = [3]  # type: ignore[misc]

    raises(AttributeError, set_shape)


def operators(a: Tensor, flags: Tensor) -> None:
    for r in [a + a, a + 1, 1 + a, a - a, a - 2.0, a * a, a * np.float32(2), 3 * a, a / a, a / 2, 2 / a, a @ a,
              a < a, a <= 1, a > a, a >= 0.5, a.__req__(1.0), a.__rlt__(1.0), a.__rgt__(1.0),
              flags & flags, flags | flags, flags ^ flags, ~flags, a == a, a == 2.0, a != a, a != 2]:
        assert_type(r, Tensor)
        assert isinstance(r, Tensor)
    assert_type(a == None, bool)  # noqa: E711
    assert_type(a != "x", bool)
    assert (a != "x") is True and (a == None) is False and Tensor.__array_ufunc__ is None  # noqa: E711
    raises(TypeError, lambda: 2.0 - a)  # type: ignore[operator]
    raises(TypeError, lambda: a @ 2.0)  # type: ignore[operator]
    raises(TypeError, lambda: flags & True)  # type: ignore[operator]
    raises(TypeError, lambda: -a)  # type: ignore[operator]


def methods(t: Tensor) -> None:
    for r in [t.reshape([4]), t.reshape((1, 4)), t.reshape(range(4, 5)), t.reshape(shape=[2, 2]), t.transpose(0, 1),
              t.transpose(dim0=np.int64(1), dim1=0), t.zeros_like(), t.ones_like()]:
        assert_type(r, Tensor)
    raises(TypeError, lambda: t.reshape(4))  # type: ignore[arg-type]
    raises(TypeError, lambda: t.reshape([2.0, 2.0]))  # type: ignore[list-item]


def autograd_and_modules() -> None:
    x = Tensor([[1.0, -2.0]], requires_grad=True)
    assert_type((relu(x * 2.0) @ Tensor([[0.5], [0.25]])).backward(), None)
    assert_type(x.grad(), npt.NDArray[Any] | None)
    assert_type(relu(py_tensor=x), Tensor)
    assert_type((Tensor.clear_graph(), x.clear_graph()), tuple[None, None])
    raises(TypeError, lambda: relu([1.0]))  # type: ignore[arg-type]
    assert_type((vorka.__all__, vorka_core.__all__, vorka.__version__), tuple[list[str], list[str], str])
    assert vorka.Tensor is vorka_core.Tensor and vorka.nn is vorka_core.nn
    assert vorka.PanicException is vorka_core.PanicException and issubclass(PanicException, BaseException)
    assert F is vorka_core.nn.functional and F.relu is relu is nn.functional.relu
    assert_type(vorka_core.nn.functional.relu(Tensor([-1.0])), Tensor)


def stub_docstrings() -> None:
    """Every public module, class, function and method in the stubs has a one-line docstring."""
    missing = []
    for stub in sorted(Path(vorka.__file__).parent.glob("**/*.pyi")):
        tree = ast.parse(stub.read_text())
        nodes: list[ast.AST] = [tree]
        for node in ast.walk(tree):
            if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and not node.name.startswith("_") or (
                    isinstance(node, ast.FunctionDef) and node.name.startswith("__") and node.name.endswith("__")):
                nodes.append(node)
        for node in nodes:
            assert isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef))
            doc = ast.get_docstring(node)
            if not doc or "\n" in doc:
                missing.append(f"{stub.name}:{getattr(node, 'name', '<module>')}")
    assert not missing, f"without a one-line docstring: {missing}"


def main() -> None:
    for t in construct():
        properties(t)
    m = Tensor([[1.0, 2.0], [3.0, 4.0]])
    operators(m, Tensor([True, False], dtype="bool"))
    methods(m)
    autograd_and_modules()
    stub_docstrings()
    print("PASS: every public name used; the runtime agrees with the stubs")


if __name__ == "__main__":
    main()
