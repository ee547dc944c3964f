"""vorka: a small CPU tensor library with reverse-mode automatic differentiation."""

from . import vorka_core as vorka_core
from .vorka_core import PanicException as PanicException
from .vorka_core import Tensor as Tensor
from . import nn as nn

__version__: str
"""The installed package's version, read from its metadata on first use."""

__all__ = ["Tensor", "nn", "PanicException"]
