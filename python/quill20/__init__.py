"""quill20: typed arrays on shared storage, in memory or in VTK data arrays, grid functions on them,
and the point topology and geometry that the upscaling generator builds.

Import this package before any module that takes or returns quill20 objects: it registers the
Python classes and shared-pointer conversions of the library. Errors of the library arrive as
RuntimeError with the library's text.

Example:
    >>> import quill20
    >>> enabled = quill20.array([4, 1, 0, 3])            # int32, the generator's id type
    >>> masses = quill20.asarray(numpy.ones(5))            # no copy: shares the NumPy buffer
    >>> values = quill20.grid_function([0.5, 1.5], name="energy")
    >>> numpy.asarray(values)
    array([0.5, 1.5])
"""
from . import _quill20
from ._quill20 import IArray, MemoryExport
from ._arrays import SCALAR_TYPES, array, array_class
from ._grids import LOCATIONS, asarray, grid_function, grid_function_class
from ._quill20 import Geometry, IGridFunction, ParticlePointsArray, UnstructuredTopology

__all__ = ["IArray", "MemoryExport", "SCALAR_TYPES", "array", "array_class", "LOCATIONS", "asarray", "grid_function",
           "grid_function_class", "Geometry", "IGridFunction", "ParticlePointsArray", "UnstructuredTopology"]
