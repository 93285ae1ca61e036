"""Array construction from anything NumPy converts, NumPy conversion and summarised repr of arrays."""
import numpy

from . import _quill20

# Scalar-type names as the library prints them, with the NumPy type string of one component.
_TYPESTR = {
    "float32": "<f4", "float64": "<f8",
    "int8": "|i1", "int16": "<i2", "int32": "<i4", "int64": "<i8",
    "uint8": "|u1", "uint16": "<u2", "uint32": "<u4", "uint64": "<u8",
    "bool": "|b1",
}
SCALAR_TYPES = tuple(_TYPESTR)

STORAGES = ("vector", "vtk")


def classes_named(prefix):
    """The wrapper's classes PREFIX_<scalar type>[x<components>], by (scalar type, components)."""
    found = {}
    for name in dir(_quill20):
        cls = getattr(_quill20, name)
        if name.startswith(prefix) and isinstance(cls, type):
            scalar, _, components = name[len(prefix):].partition("x")
            found[(scalar, int(components or 1))] = cls
    return found


_CLASSES = classes_named("Array_")


def array_class(scalar_type, components=1):
    """The class of one-dimensional arrays of `components`-component elements of `scalar_type`."""
    try:
        return _CLASSES[(scalar_type, components)]
    except KeyError:
        raise ValueError(
            f"no array of {components}-component {scalar_type} elements; components are 1 to 9 "
            f"(1, 2, 3, 4 and 9 for bool) and scalar types {', '.join(SCALAR_TYPES)}") from None


def _dtype_of(dtype):
    if dtype is None:
        return None
    try:
        return numpy.dtype(dtype)
    except TypeError:
        raise TypeError(f"dtype {dtype!r} is neither a NumPy dtype nor a scalar-type name") from None


def array(data, dtype=None, storage="vector"):
    """A new array holding a copy of `data`.

    Shape (n,) gives scalar elements, (n, k) with k in 2..9 elements of k components. `dtype` is a
    NumPy dtype or a scalar-type name ("int32", "float64", ...); by default NumPy's choice for
    `data`. `storage` is "vector" (in memory) or "vtk" (a VTK data array).
    """
    if storage not in STORAGES:
        raise ValueError(f'storage must be "vector" or "vtk", not {storage!r}')
    values = numpy.asarray(data, dtype=_dtype_of(dtype))
    scalar_type = values.dtype.name
    if scalar_type not in _TYPESTR:
        raise TypeError(f"unsupported element type {values.dtype}; use one of {', '.join(SCALAR_TYPES)}")
    if values.ndim == 1:
        components = 1
    elif values.ndim == 2 and values.shape[1] >= 2:
        components = values.shape[1]
    else:
        raise ValueError(f"data of shape {values.shape}: expected (n,) or (n, k) with k in 2..9")
    result = array_class(scalar_type, components)(values.shape[0], storage)
    if values.size:
        result.to_numpy()[...] = values
    return result


def _array_protocol(self, dtype=None, copy=None):
    """NumPy's conversion hook: the view of to_numpy(), converted or copied only when asked."""
    view = self.to_numpy()
    if dtype is not None and numpy.dtype(dtype) != view.dtype:
        return view.astype(dtype)
    return view.copy() if copy else view


def _repr(self):
    """quill20.array(...) text; a long array is summarised as NumPy summarises (first and last few)."""
    if self.storage == "none":
        return f"<{type(self).__name__} without storage>"
    values = numpy.array2string(self.to_numpy(), separator=", ", prefix="quill20.array(")
    return f"quill20.array({values}, dtype={self.scalar_type!r}, storage={self.storage!r})"


for _cls in _CLASSES.values():
    _cls.__array__ = _array_protocol
    _cls.__repr__ = _repr
del _cls
