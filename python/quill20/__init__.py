"""quill20: typed arrays on shared storage, in memory or in VTK data arrays.

Import this package before any module that takes or returns quill20 objects: it registers the
Python classes and shared-pointer conversions of the library.
"""
from . import _quill20
from ._quill20 import IArray, MemoryExport
from ._arrays import SCALAR_TYPES, array, array_class

__all__ = ["IArray", "MemoryExport", "SCALAR_TYPES", "array", "array_class"]
