"""Grid functions, the point topology and geometry, their points source, and VTK hand-over."""
import numpy

from . import _quill20
from ._arrays import array, classes_named, _CLASSES as _ARRAY_CLASSES, _TYPESTR

LOCATIONS = {"vertices": 0, "cells": 1, "faces": 3, "shared_vertices": 4}


def asarray(data, dtype=None):
    """An array over `data`'s own memory when `data` is a writable C-contiguous NumPy array of shape
    (n,) or (n, k), k in 2, 3, 4, 9, of a supported dtype (and `dtype` is None or its dtype): no copy;
    the array keeps the NumPy array alive, writes are seen on both sides, and neither can be resized
    while the other lives. Anything else (another layout or dtype, a read-only array, a list) is
    copied, as quill20.array(data, dtype) does. A quill20 array is returned as it is."""
    if isinstance(data, _quill20.IArray) and dtype is None:
        return data
    if isinstance(data, numpy.ndarray) and (dtype is None or numpy.dtype(dtype) == data.dtype):
        viewed = _quill20._buffer_array(data)
        if viewed is not None:
            return viewed
    return array(data, dtype=dtype)


_GRID_FUNCTION_CLASSES = classes_named("GridFunction_")


def grid_function_class(scalar_type, components=1):
    """The class of grid functions whose values have `components` components of `scalar_type`."""
    try:
        return _GRID_FUNCTION_CLASSES[(scalar_type, components)]
    except KeyError:
        known = ", ".join(f"{s}x{c}" if c > 1 else s for s, c in sorted(_GRID_FUNCTION_CLASSES))
        raise ValueError(f"no grid function of {components}-component {scalar_type} values; there are: {known}") from None


def grid_function(data, dtype=None, location=1, name="", storage="vector"):
    """A new grid function holding a copy of `data`, one value per element.

    `data`, `dtype` and `storage` are as for quill20.array. `location` says which elements the
    values belong to: 0 vertices, 1 cells (the default), 3 faces, 4 shared vertices (or the names
    "vertices", "cells", "faces", "shared_vertices"). Grid functions exist for every scalar type and
    for 3-component uint16 and float64, 4-component uint16, 6- and 9-component float64 values.
    """
    location = LOCATIONS.get(location, location) if isinstance(location, str) else location
    values = array(data, dtype=dtype, storage=storage)
    cls = grid_function_class(values.scalar_type, values.components)
    result = cls(values, location)
    result.name = name
    return result


def _empty_view(scalar_type, components):
    return numpy.empty((0,) if components == 1 else (0, components), dtype=_TYPESTR[scalar_type])


def _grid_function_to_numpy(self):
    """A writable NumPy view of the values (shares memory, keeps it alive)."""
    return self.array.to_numpy()


def _grid_function_array_protocol(self, dtype=None, copy=None):
    return self.array.__array__(dtype, copy)


def _grid_function_repr(self):
    """quill20.grid_function(...) text, long value lists summarised as NumPy does."""
    values = numpy.array2string(self.to_numpy(), separator=", ", prefix="quill20.grid_function(")
    return (f"quill20.grid_function({values}, dtype={self.scalar_type!r}, location={self.location}, "
            f"name={self.name!r})")


for _cls in _GRID_FUNCTION_CLASSES.values():
    _cls.to_numpy = _grid_function_to_numpy
    _cls.__array__ = _grid_function_array_protocol
    _cls.__repr__ = _grid_function_repr


def _to_vtk(self):
    """The VTK data array that holds this array's values, as a VTK Python object (same memory).

    Only for arrays on VTK storage (storage="vtk", and every result of the upscaling generator);
    VTK's reference counting keeps the data array alive as long as the returned object. Read and
    write its values freely, but do not resize it through VTK (SetNumberOfTuples, Resize, Insert...):
    VTK would move the memory under this array and its NumPy views; resize the quill20 array instead.
    """
    address, class_name = _quill20._vtk_array_of(self)
    from vtkmodules import vtkCommonCore
    return getattr(vtkCommonCore, class_name)(f"_{address:016x}_p_{class_name}")


def _storage_view(view):
    def to_numpy(self):
        # An empty result holds no storage: its view is empty rather than an error.
        if self.storage == "none":
            return _empty_view(self.scalar_type, self.components)
        return view(self)
    to_numpy.__doc__ = view.__doc__
    return to_numpy


for _cls in _ARRAY_CLASSES.values():
    _cls.to_vtk = _to_vtk
    _cls.to_numpy = _storage_view(_cls.to_numpy)
del _cls


def _points(self):
    """Every vertex's point as an (n, 3) float64 NumPy array."""
    return self._points_array().to_numpy()


_quill20.Geometry.points = _points

_points_init = _quill20.ParticlePointsArray.__init__


def _points_source_init(self, coordinates=None, trailing_count=0):
    """Points over `coordinates` (a float64x3 array, shared; or anything NumPy makes an (n, 3)
    array of, copied), the last `trailing_count` passed through unchanged."""
    if coordinates is not None and not isinstance(coordinates, _quill20.IArray):
        coordinates = array(numpy.asarray(coordinates, dtype=numpy.float64).reshape(-1, 3), storage="vtk")
    _points_init(self, coordinates, trailing_count)


_quill20.ParticlePointsArray.__init__ = _points_source_init
