from . import vorka_core as vorka_core
from .vorka_core import PanicException as PanicException
from .vorka_core import Tensor as Tensor
from .vorka_core import nn as nn

__version__: str

__all__ = ["Tensor", "nn", "PanicException"]
