"""corvantile: a light n-dimensional array with a NumPy-style namespace."""

from . import _core
from ._core import *  # noqa: F401,F403

__all__ = list(getattr(_core, "__all__", []))
