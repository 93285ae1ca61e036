"""quill20: typed arrays on shared storage, in memory or in VTK data arrays, grid functions on them,
and the point topology and geometry that the upscaling generator builds.

Import this package before any module that takes or returns quill20 objects: it registers the
Python classes and shared-pointer conversions of the library.
"""
from . import _quill20
from ._quill20 import IArray, MemoryExport
from ._arrays import SCALAR_TYPES, array, array_class
from ._grids import LOCATIONS, asarray, grid_function, grid_function_class
from ._quill20 import Geometry, IGridFunction, ParticlePointsArray, UnstructuredTopology

__all__ = ["IArray", "MemoryExport", "SCALAR_TYPES", "array", "array_class", "LOCATIONS", "asarray", "grid_function",
           "grid_function_class", "Geometry", "IGridFunction", "ParticlePointsArray", "UnstructuredTopology"]
