"""vorka: a small CPU tensor library with reverse-mode automatic differentiation."""

import ml_dtypes as _ml_dtypes
import numpy as _np

# NumPy must resolve the dtype by name ("bfloat16"), not only by type object.
try:
    _np.dtype("bfloat16")
except TypeError:  # pragma: no cover - depends on the ml_dtypes release
    _np.sctypeDict["bfloat16"] = _ml_dtypes.bfloat16

import sys as _sys

from . import vorka_core
from .vorka_core import Tensor, nn

# The compiled module builds nn and nn.functional as plain attributes. Entering
# the very same objects under dotted names lets `import vorka.nn.functional as F`
# and `from vorka.nn.functional import relu` work as they do in PyTorch.
_sys.modules[__name__ + ".nn"] = nn
_sys.modules[__name__ + ".nn.functional"] = nn.functional

PanicException = vorka_core.PanicException

__all__ = ["Tensor", "nn", "PanicException"]


def __getattr__(name: str) -> str:
    # The version lives only in the project metadata. importlib.metadata costs
    # tens of milliseconds to import, so it is read on first use, not at import.
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            found = version("vorka")
        except PackageNotFoundError:  # imported from a source tree never installed
            found = "0+unknown"
        globals()["__version__"] = found
        return found
    raise AttributeError(f"module 'vorka' has no attribute {name!r}")
