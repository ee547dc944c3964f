"""Neural-network helpers: the `functional` submodule."""

from . import functional as functional

__all__ = ["functional"]
