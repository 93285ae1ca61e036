"""Arrays built from anything NumPy converts, by conversions that never change a value, and their repr."""
import numbers

import numpy

from . import _quill20


class ScalarTypeTable(dict):
    """quill20.SCALAR_TYPES: the scalar types of the library's type list, in the order of its
    enumeration, each name mapped to NumPy's type string of one component.

    Arguments: none (a constant). Returns: names as keys ("float32", "float64", "int8", ..., "bool"),
    type strings as values ("<f4", "<f8", "|i1", ..., "|b1").

    Example:
        >>> quill20.SCALAR_TYPES["int32"]
        '<i4'
        >>> numpy.dtype(quill20.SCALAR_TYPES["float64"]).name
        'float64'
    """


SCALAR_TYPES = ScalarTypeTable(_quill20.SCALAR_TYPES)

STORAGES = ("vector", "vtk")

# Integer data that NumPy gives its default integer type (Python ints, int64 columns) and no dtype
# becomes int32, the engine's id type, when every value fits.
_DEFAULT_INTEGERS = (numpy.dtype(numpy.int32), numpy.dtype(numpy.int64), numpy.dtype(numpy.uint64))


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
    """The class of one-dimensional quill20 arrays of `components`-component elements of `scalar_type`.

    Arguments: `scalar_type`, a key of quill20.SCALAR_TYPES ("float64", "int32", ...); `components`,
    1 to 9 (1, 2, 3, 4 or 9 for bool). Returns the class (Array_float64, Array_int32x3, ...), whose
    constructor takes a size and a storage ("vector" or "vtk"). Raises ValueError for a combination
    that has no class.

    Example:
        >>> quill20.array_class("float64", 3)(2, storage="vtk").to_numpy().shape
        (2, 3)
    """
    try:
        return _CLASSES[(scalar_type, components)]
    except KeyError:
        raise ValueError(
            f"no array of {components}-component {scalar_type} elements; components are 1 to 9 "
            f"(1, 2, 3, 4 and 9 for bool) and scalar types {', '.join(SCALAR_TYPES)}") from None


def _dtype_of(dtype):
    try:
        result = numpy.dtype(dtype)
    except TypeError:
        raise TypeError(f"dtype {dtype!r} is neither a NumPy dtype nor a scalar-type name") from None
    if result.name not in SCALAR_TYPES:
        raise TypeError(f"unsupported element type {result}; use one of {', '.join(SCALAR_TYPES)}")
    return numpy.dtype(result.name)  # native byte order


def _position(shape, flat_index):
    return ", ".join(str(i) for i in numpy.unravel_index(flat_index, shape)) if len(shape) > 1 else str(flat_index)


def _refuse(argument, shape, flat_index, value, target, reason):
    raise ValueError(f"{argument}[{_position(shape, flat_index)}] = {value!r} cannot be stored as {target} without "
                     f"changing it: {reason}")


def _integer_range(dtype):
    info = numpy.iinfo(dtype)
    return f"outside the {dtype} range {info.min}..{info.max}"


def _reason(value, target):
    """Why one value of any numeric kind does not survive the conversion to `target`."""
    if target.kind == "b":
        return "a bool holds only 0 and 1 (False and True)"
    if isinstance(value, float) and target.kind in "iu":
        if value != value:
            return f"NaN has no {target} value"
        if value in (float("inf"), float("-inf")):
            return f"an infinity has no {target} value"
        if not value.is_integer():
            return "not a whole number"
        return _integer_range(target)
    if target.kind in "iu":
        return _integer_range(target)
    if isinstance(value, float):
        return f"beyond the {target} range (largest finite {numpy.finfo(target).max})"
    return f"not exact in {target}: it would become {target.type(value).item()!r}"


def _bad_positions(values, target):
    """A boolean mask of the values that `astype(target)` would change (NumPy's rounding of float64 to
    float32 excepted, but not its overflow to infinity), or None when none can change."""
    source = values.dtype
    if source == target or source.kind == "b":
        return None
    if target.kind == "b":
        return (values != 0) & (values != 1)
    wide_integer_to_float = source.kind in "iu" and target.kind == "f" and source.itemsize >= target.itemsize
    if numpy.can_cast(source, target, "safe") and not wide_integer_to_float:
        return None
    with numpy.errstate(all="ignore"):
        if source.kind in "iu" and target.kind in "iu":
            low, high = numpy.iinfo(target).min, numpy.iinfo(target).max
            bad = numpy.zeros(values.shape, dtype=bool)
            if numpy.iinfo(source).min < low:
                bad |= values < low
            if numpy.iinfo(source).max > high:
                bad |= values > high
            return bad
        if source.kind == "f" and target.kind in "iu":
            # Exact bounds: both are powers of two (or zero). NaN fails every comparison.
            low, end = float(numpy.iinfo(target).min), float(numpy.iinfo(target).max) + 1.0
            return ~((values >= low) & (values < end)) | (numpy.trunc(values) != values)
        converted = values.astype(target)
        if source.kind == "f":
            return numpy.isinf(converted) & numpy.isfinite(values)
        # Integers to floats: exact only if they come back, and a float rounded up past the integer
        # type's largest value cannot come back at all.
        bits = 8 * source.itemsize
        return (converted.astype(source) != values) | (converted >= 2.0 ** (bits - 1 if source.kind == "i" else bits))


def _checked(values, target, argument):
    """`values` as `target`, refused when a value would change."""
    bad = _bad_positions(values, target)
    if bad is not None and bad.any():
        flat = int(numpy.flatnonzero(bad)[0])
        value = values.reshape(-1)[flat].item()
        _refuse(argument, values.shape, flat, value, target, _reason(value, target))
    return values


def _from_integers(objects, target, argument):
    """Python integers (or any mix of integer objects) beyond what NumPy infers, as `target` or, without
    one, as the first of int32, int64 and uint64 that holds every value."""
    flat = [int(v) for v in objects.reshape(-1)]
    offenders = []
    for choice in [target] if target is not None else _DEFAULT_INTEGERS:
        if choice.kind in "iu":
            info = numpy.iinfo(choice)
            offender = next((i for i, v in enumerate(flat) if not info.min <= v <= info.max), None)
        elif choice.kind == "b":
            offender = next((i for i, v in enumerate(flat) if v not in (0, 1)), None)
        else:
            offender = next((i for i, v in enumerate(flat) if not _exact_float(v, choice)), None)
        if offender is None:
            return numpy.array(flat, dtype=choice).reshape(objects.shape)
        offenders.append(offender)
    if target is None:
        offender = offenders[1]  # named by int64's range, the widest signed one
        raise ValueError(f"{argument}[{_position(objects.shape, offender)}] = {flat[offender]!r}: no integer type "
                         f"holds every value of {argument} (int64 holds -2**63..2**63-1, uint64 0..2**64-1)")
    _refuse(argument, objects.shape, offender, flat[offender], target,
            _integer_range(target) if target.kind in "iu" else _reason(flat[offender], target))


def _exact_float(value, dtype):
    try:
        return int(dtype.type(value)) == value
    except (OverflowError, ValueError):
        return False


def _numpy_data(data, dtype, argument):
    """`data` as a NumPy array of a supported type, by the rules of quill20.array."""
    target = None if dtype is None else _dtype_of(dtype)
    values = numpy.asarray(data)
    # NumPy falls back to float64 or objects for Python integers beyond int64: keep them integers.
    if not isinstance(data, numpy.ndarray) and values.size and (
            values.dtype == object or (values.dtype.kind == "f" and numpy.abs(values).max() >= 2.0 ** 63)):
        objects = numpy.asarray(data, dtype=object)
        if all(isinstance(v, numbers.Integral) for v in objects.reshape(-1)):
            return _from_integers(objects, target, argument)
    if values.dtype.kind not in "biuf":
        raise TypeError(f"unsupported element type {values.dtype}; use one of {', '.join(SCALAR_TYPES)}")
    if target is None:
        if values.dtype == numpy.int64:
            fits = values.size == 0 or (values.min() >= -2 ** 31 and values.max() < 2 ** 31)
            target = numpy.dtype(numpy.int32) if fits else values.dtype
        elif values.dtype.name in SCALAR_TYPES:
            return values
        else:
            raise TypeError(f"unsupported element type {values.dtype}; use one of {', '.join(SCALAR_TYPES)}")
    return _checked(values, target, argument).astype(target, copy=False)


def array(data, dtype=None, storage="vector"):
    """A new quill20 array holding a copy of `data`.

    Arguments:
        data: anything NumPy converts (a list, a NumPy array, a pandas column, a quill20 array); shape
            (n,) gives scalar elements, (n, k) with k in 2..9 elements of k components.
        dtype: a NumPy dtype or a key of quill20.SCALAR_TYPES ("int32", "float64", ...). Without it,
            NumPy's choice for `data`, except that integers of NumPy's default type (Python ints, int64
            arrays) become int32 when every value fits int32 and int64 otherwise; other NumPy dtypes
            are kept.
        storage: "vector" (in memory) or "vtk" (a VTK data array, see to_vtk()).

    Returns: an array object (Array_int32, Array_float64x3, ...).

    No value changes on the way: a value out of the target type's range, a fractional, NaN or
    infinite value for an integer type, anything but 0 and 1 for bool, or an integer that the target
    floating type cannot hold exactly raises ValueError naming the first such index and value.
    float64 to float32 rounds to nearest as NumPy does, but a finite value beyond float32's range
    (one that would become an infinity) is refused; NaN and infinities stay what they are.

    Example:
        >>> quill20.array([4, 1, 0, 3]).scalar_type          # the generator's enabled-list type
        'int32'
        >>> quill20.array([[0.0, 1.0, 2.0]], storage="vtk").to_numpy().shape
        (1, 3)
        >>> quill20.array([1.5], dtype="int32")
        Traceback (most recent call last):
        ValueError: data[0] = 1.5 cannot be stored as int32 without changing it: not a whole number
    """
    if storage not in STORAGES:
        raise ValueError(f'storage must be "vector" or "vtk", not {storage!r}')
    values = _numpy_data(data, dtype, "data")
    if values.ndim == 1:
        components = 1
    elif values.ndim == 2 and values.shape[1] >= 2:
        components = values.shape[1]
    else:
        raise ValueError(f"data of shape {values.shape}: expected (n,) or (n, k) with k in 2..9")
    result = array_class(values.dtype.name, components)(values.shape[0], storage)
    if values.size:
        result.to_numpy()[...] = values
    return result


def _repr(self):
    """quill20.array(...) text; a long array is summarised as NumPy summarises (first and last few)."""
    if self.storage == "none":
        return f"<{type(self).__name__} without storage>"
    values = numpy.array2string(self.to_numpy(), separator=", ", prefix="quill20.array(")
    return f"quill20.array({values}, dtype={self.scalar_type!r}, storage={self.storage!r})"


_quill20.IArray.__repr__ = _repr
