"""Arrays over NumPy buffers, grid functions, and the Python side of the point geometry and its points."""
import numpy

from . import _quill20
from ._arrays import array, classes_named, _numpy_data


class LocationTable(dict):
    """quill20.LOCATIONS: the location names that quill20.grid_function accepts, each mapped to the
    location's number (the `location` of a grid function).

    Arguments: none (a constant). Returns: "vertices" 0, "cells" 1, "faces" 3, "shared_vertices" 4.

    Example:
        >>> quill20.grid_function([1.0], location="vertices").location == quill20.LOCATIONS["vertices"]
        True
    """


LOCATIONS = LocationTable(vertices=0, cells=1, faces=3, shared_vertices=4)


def asarray(data, dtype=None):
    """A quill20 array over `data`'s own memory when it can be, else a copy.

    Arguments:
        data: a NumPy array (viewed), a quill20 array (returned as it is), or anything quill20.array
            takes (copied).
        dtype: None, or a NumPy dtype or scalar-type name; a dtype other than `data`'s copies, and
            the copy changes no value (the rules of quill20.array).

    Returns: an array object. A writable C-contiguous NumPy array of shape (n,) or (n, k), k in 2, 3, 4,
    9, of a supported dtype gives an array on storage "numpy" with no copy: it keeps the NumPy array
    alive, writes are seen on both sides, and neither can be resized while the other lives. Anything
    else (another layout or dtype, a read-only array, a list) is copied as quill20.array(data, dtype)
    copies it, integer lists included (int32 when every value fits).

    Example:
        >>> values = numpy.arange(3.0)
        >>> a = quill20.asarray(values)
        >>> values[0] = 7.0
        >>> a[0], a.storage
        (7.0, 'numpy')
    """
    if isinstance(data, _quill20.IArray) and dtype is None:
        return data
    if isinstance(data, numpy.ndarray) and (dtype is None or numpy.dtype(dtype) == data.dtype):
        viewed = _quill20._buffer_array(data)
        if viewed is not None:
            return viewed
    return array(data, dtype=dtype)


_GRID_FUNCTION_CLASSES = classes_named("GridFunction_")


def grid_function_class(scalar_type, components=1):
    """The class of grid functions whose values have `components` components of `scalar_type`.

    Arguments: `scalar_type`, a key of quill20.SCALAR_TYPES; `components`, an int. Returns the class
    (GridFunction_float64, GridFunction_float64x3, ...), whose constructor takes an array (whose storage
    it shares) and a location number. Raises ValueError naming the classes there are, for a combination
    that has none.

    Example:
        >>> values = quill20.array([1, 2], dtype="int32")
        >>> gf = quill20.grid_function_class("int32")(values, 0)
        >>> gf.location, gf.to_numpy().tolist()
        (0, [1, 2])
    """
    try:
        return _GRID_FUNCTION_CLASSES[(scalar_type, components)]
    except KeyError:
        known = ", ".join(f"{s}x{c}" if c > 1 else s for s, c in sorted(_GRID_FUNCTION_CLASSES))
        raise ValueError(f"no grid function of {components}-component {scalar_type} values; there are: {known}") from None


def grid_function(data, dtype=None, location=1, name="", storage="vector"):
    """A new grid function holding a copy of `data`, one value per element.

    Arguments:
        data, dtype, storage: as for quill20.array (no conversion changes a value; integers without a
            dtype become int32 when they fit).
        location: which elements the values belong to: 0 vertices, 1 cells (the default), 3 faces,
            4 shared vertices, or a key of quill20.LOCATIONS.
        name: the grid function's name.

    Returns: a grid function object (GridFunction_int32, GridFunction_float64x3, ...). Grid functions
    exist for every scalar type and for 3-component uint16 and float64, 4-component uint16, 6- and
    9-component float64 values.

    Example:
        >>> gf = quill20.grid_function([1.5, 2.5], name="mass")
        >>> gf.scalar_type, gf.location, gf[1]
        ('float64', 1, 2.5)
    """
    location = LOCATIONS.get(location, location) if isinstance(location, str) else location
    values = array(data, dtype=dtype, storage=storage)
    cls = grid_function_class(values.scalar_type, values.components)
    result = cls(values, location)
    result.name = name
    return result


def _grid_function_repr(self):
    """quill20.grid_function(...) text, long value lists summarised as NumPy does."""
    values = numpy.array2string(self.to_numpy(), separator=", ", prefix="quill20.grid_function(")
    return (f"quill20.grid_function({values}, dtype={self.scalar_type!r}, location={self.location}, "
            f"name={self.name!r})")


_quill20.IGridFunction.__repr__ = _grid_function_repr


def _points(self):
    """Returns every vertex's point as a new (n, 3) float64 NumPy array.

    Example: geometry.points()[0] is geometry.point(0) as an array.
    """
    return self._points_array().to_numpy()


_quill20.Geometry.points = _points

_points_init = _quill20.ParticlePointsArray.__init__


def _points_source_init(self, coordinates=None, trailing_count=0):
    """Points over `coordinates`: a float64x3 quill20 array (shared), or anything NumPy makes an (n, 3)
    float64 array of (copied into VTK storage; no value may change on the way); None for none. The
    last `trailing_count` points pass through the upscaling unchanged.

    Example: quill20.ParticlePointsArray(numpy.zeros((4, 3)), trailing_count=1).leading_count == 3
    """
    if coordinates is not None and not isinstance(coordinates, _quill20.IArray):
        values = _numpy_data(coordinates, numpy.float64, "coordinates")
        coordinates = array(values.reshape(-1, 3), storage="vtk")
    _points_init(self, coordinates, trailing_count)


_quill20.ParticlePointsArray.__init__ = _points_source_init
