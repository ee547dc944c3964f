"""Functions on tensors that are not methods of Tensor."""

from vorka.vorka_core import Tensor

__all__ = ["relu"]

def relu(py_tensor: Tensor) -> Tensor:
    """Return max(x, 0) element-wise (+0.0 for -0.0 and NaN), recorded; TypeError for bool tensors or non-tensors."""
