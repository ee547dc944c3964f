"""Types of the compiled core of vorka. User documentation lives in README.md."""

from collections.abc import Sequence
from typing import Any, ClassVar, Literal, SupportsFloat, SupportsIndex, TypeAlias, final, overload

import numpy as np
import numpy.typing as npt

__all__ = ["Tensor", "nn"]

# The short names reported by Tensor.dtype; the constructor also takes the long
# names "float32", "float16", "bfloat16".
_DTypeName: TypeAlias = Literal["f32", "f16", "bf16", "bool"]

# What the constructor's dtype accepts: a name, or any object whose __name__ is
# such a name (numpy.float16, ml_dtypes.bfloat16, builtins.bool), or anything
# numpy.dtype() turns into one.  Other names raise ValueError at run time.
_DTypeArg: TypeAlias = str | type[Any] | np.dtype[Any] | None

# A Python number operand: anything float() accepts. It is rounded to float32,
# then to the tensor's element type.
_Scalar: TypeAlias = SupportsFloat | SupportsIndex

class PanicException(BaseException):
    """Broken internal invariant; derives from BaseException, not Exception."""

@final
class Tensor:
    """Immutable n-dimensional array of f32, f16, bf16 or bool on the CPU, with autograd."""

    # Equality is element-wise, so tensors are unhashable.
    __hash__: ClassVar[None]  # type: ignore[assignment]
    # NumPy arrays and tensors never mix in operators: both sides decline.
    __array_ufunc__: ClassVar[None]

    def __new__(
        cls,
        data: npt.ArrayLike,
        dtype: _DTypeArg = None,
        device: str = "cpu",
        requires_grad: bool | np.bool_ = False,
    ) -> Tensor:
        """Return a tensor copied from data; ValueError for an unknown dtype or device, TypeError for bad arguments."""
    @property
    def shape(self) -> list[int]:
        """Return the extent of each axis, outermost first ([] for 0-D); a new list each time."""
    @property
    def ndim(self) -> int:
        """Return the number of axes."""
    @property
    def strides(self) -> list[int]:
        """Return the stride of each axis in elements (not bytes), as stored."""
    @property
    def dtype(self) -> _DTypeName:
        """Return the element type's short name: "f32", "f16", "bf16" or "bool"."""
    @property
    def device(self) -> Literal["cpu"]:
        """Return "cpu", the only device."""
    @property
    def requires_grad(self) -> bool:
        """Return whether operations on this tensor are recorded for autograd."""
    def to_numpy(self) -> npt.NDArray[Any]:
        """Return a new NumPy array holding a copy of the elements; raises nothing."""
    def grad(self) -> npt.NDArray[Any] | None:
        """Return the gradient stored by the last backward pass that reached this tensor (NumPy), or None."""
    def zeros_like(self) -> Tensor:
        """Return a new tensor of zeros with this shape and dtype that never requires grad."""
    def ones_like(self) -> Tensor:
        """Return a new tensor of ones with this shape and dtype that never requires grad."""
    def reshape(self, shape: Sequence[SupportsIndex]) -> Tensor:
        """Return the same elements in a new shape (no -1); TypeError/OverflowError for bad items, ValueError if it does not fit."""
    def transpose(self, dim0: SupportsIndex, dim1: SupportsIndex) -> Tensor:
        """Return a view with two axes swapped; OverflowError for negative axes, IndexError for axes >= ndim."""
    def backward(self) -> None:
        """Compute gradients of the sum of this tensor's elements; ValueError if it does not require grad."""
    @staticmethod
    def clear_graph() -> None:
        """Empty the calling thread's graph and its stored gradients; returns None, raises nothing."""

    # Arithmetic: tensor with tensor (same element type, broadcast shapes) or
    # with a number. A number on the left works for +, * and / only.
    def __add__(self, other: Tensor | _Scalar, /) -> Tensor:
        """Return self + other (broadcast); ValueError for mismatched dtypes, TypeError for bool, RuntimeError for shapes."""
    def __radd__(self, other: _Scalar, /) -> Tensor:
        """Return other + self; ValueError for bool tensors."""
    def __sub__(self, other: Tensor | _Scalar, /) -> Tensor:
        """Return self - other (broadcast); ValueError for mismatched dtypes, TypeError for bool, RuntimeError for shapes."""
    def __mul__(self, other: Tensor | _Scalar, /) -> Tensor:
        """Return self * other (broadcast); ValueError for mismatched dtypes, TypeError for bool, RuntimeError for shapes."""
    def __rmul__(self, other: _Scalar, /) -> Tensor:
        """Return other * self; ValueError for bool tensors."""
    def __truediv__(self, other: Tensor | _Scalar, /) -> Tensor:
        """Return self / other (broadcast); ValueError for mismatched dtypes, TypeError for bool, RuntimeError for shapes."""
    def __rtruediv__(self, other: _Scalar, /) -> Tensor:
        """Return other / self; ValueError for bool tensors."""
    def __matmul__(self, other: Tensor, /) -> Tensor:
        """Return the (batched) matrix product; ValueError for mismatched dtypes, TypeError for bool, RuntimeError for shapes."""

    # Logical operators: bool tensors only.
    def __and__(self, other: Tensor, /) -> Tensor:
        """Return self AND other element-wise; RuntimeError for non-bool tensors or shapes that do not broadcast."""
    def __or__(self, other: Tensor, /) -> Tensor:
        """Return self OR other element-wise; RuntimeError for non-bool tensors or shapes that do not broadcast."""
    def __xor__(self, other: Tensor, /) -> Tensor:
        """Return self XOR other element-wise; RuntimeError for non-bool tensors or shapes that do not broadcast."""
    def __invert__(self) -> Tensor:
        """Return NOT self element-wise; RuntimeError for non-bool tensors."""

    # Comparisons give bool tensors. == and != against anything that is neither
    # a tensor nor a number fall back to identity and give a Python bool.
    def __lt__(self, other: Tensor | _Scalar, /) -> Tensor:
        """Return the bool tensor self < other; RuntimeError for mismatched dtypes, shapes or bool against a number."""
    def __le__(self, other: Tensor | _Scalar, /) -> Tensor:
        """Return the bool tensor self <= other; RuntimeError for mismatched dtypes, shapes or bool against a number."""
    def __gt__(self, other: Tensor | _Scalar, /) -> Tensor:
        """Return the bool tensor self > other; RuntimeError for mismatched dtypes, shapes or bool against a number."""
    def __ge__(self, other: Tensor | _Scalar, /) -> Tensor:
        """Return the bool tensor self >= other; RuntimeError for mismatched dtypes, shapes or bool against a number."""
    @overload
    def __eq__(self, other: Tensor | _Scalar, /) -> Tensor:  # type: ignore[overload-overlap]
        """Return the bool tensor self == other; RuntimeError for mismatched dtypes or shapes."""
    @overload
    def __eq__(self, other: object, /) -> bool:
        """Return whether other is self (identity) for anything that is neither a tensor nor a number."""
    @overload
    def __ne__(self, other: Tensor | _Scalar, /) -> Tensor:  # type: ignore[overload-overlap]
        """Return the bool tensor self != other; RuntimeError for mismatched dtypes or shapes."""
    @overload
    def __ne__(self, other: object, /) -> bool:
        """Return whether other is not self (identity) for anything that is neither a tensor nor a number."""

    # Explicit reflected comparisons, never called by Python itself.
    def __req__(self, other: _Scalar) -> Tensor:
        """Return the bool tensor other == self; TypeError for a non-number, RuntimeError for bool tensors."""
    def __rlt__(self, other: _Scalar) -> Tensor:
        """Return the bool tensor other < self; TypeError for a non-number, RuntimeError for bool tensors."""
    def __rgt__(self, other: _Scalar) -> Tensor:
        """Return the bool tensor other > self; TypeError for a non-number, RuntimeError for bool tensors."""

# The same module object as vorka.nn (importable as such): reach relu as
# nn.functional.relu or from vorka.nn.functional.
from vorka import nn as nn
