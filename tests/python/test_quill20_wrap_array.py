"""quill20 from Python: arrays (construction, element access, views that share memory, storage kinds, arrays
over NumPy buffers), grid functions, and the topology and geometry objects."""
import os

import numpy
import pytest

import quill20
import _vireo20upscaling  # after quill20, whose converters it uses

STORAGES = ["vector", "vtk"]
NUMERIC = [t for t in quill20.SCALAR_TYPES if t != "bool"]


@pytest.mark.parametrize("storage", STORAGES)
@pytest.mark.parametrize("scalar_type", quill20.SCALAR_TYPES)
def test_scalar_arrays_copy_data_and_view_the_same_memory(scalar_type, storage):
    data = numpy.arange(7) % 2 == 1 if scalar_type == "bool" else numpy.arange(7)
    a = quill20.array(data, dtype=scalar_type, storage=storage)
    assert (len(a), a.scalar_type, a.storage, a.components) == (7, scalar_type, storage, 1)
    view = a.to_numpy()
    assert view.dtype == numpy.dtype(scalar_type) and view.shape == (7,)
    assert view.tolist() == data.astype(scalar_type).tolist()
    assert [a[i] for i in range(len(a))] == view.tolist()
    view[3] = 0
    assert a[3] == 0
    a[2] = 1
    assert view[2] == 1
    assert numpy.shares_memory(numpy.asarray(a), view)


@pytest.mark.parametrize("storage", STORAGES)
@pytest.mark.parametrize("scalar_type, components", [(t, n) for t in ("float64", "int32", "uint8", "bool")
                                                     for n in range(2, 10) if t != "bool" or n in (2, 3, 4, 9)])
def test_vector_elements_have_one_row_per_element(scalar_type, components, storage):
    data = (numpy.arange(3 * components).reshape(3, components) % 5).astype(scalar_type)
    a = quill20.array(data, storage=storage)
    assert (len(a), a.components, a.scalar_type) == (3, components, scalar_type)
    numpy.testing.assert_array_equal(a.to_numpy(), data)
    assert a[1] == tuple(data[1].tolist())
    a[0] = data[2].tolist()
    numpy.testing.assert_array_equal(a.to_numpy()[0], data[2])


def test_dtype_by_numpy_type_or_name_and_default_inference():
    assert [quill20.array(data, dtype=dtype).scalar_type for data, dtype in
            (([1, 2], numpy.int16), ([1.5], None), ([True], None))] == ["int16", "float64", "bool"]
    assert quill20.array([], dtype="int32").to_numpy().shape == (0,)


@pytest.mark.parametrize("data, kwargs, error, text", [
    ([1, 2], {"storage": "disk"}, ValueError, "storage must be"),
    (numpy.zeros((2, 10)), {}, ValueError, "no array of 10-component"),
    (numpy.zeros((2, 5), dtype=bool), {"storage": "vtk"}, ValueError, "no array of 5-component bool"),
    (numpy.zeros((2, 2, 2)), {}, ValueError, "expected"),
    ([1j], {}, TypeError, "unsupported element type"),
    ([1], {"dtype": "nonsense"}, TypeError, "neither"),
])
def test_bad_construction_is_rejected_clearly(data, kwargs, error, text):
    with pytest.raises(error, match=text):
        quill20.array(data, **kwargs)


INT32_RANGE = "-2147483648..2147483647"
INT32_SIZES = "0..4611686018427387839"  # the largest count a storage of 4-byte elements takes


@pytest.mark.parametrize("index, expected", [
    (0, 10), (-1, 50), (-5, 10), (numpy.int64(4), 50), (numpy.int8(-2), 40), (True, 20),
    (5, "Index (5) out of range (-5 <= index < 5)."),
    (-6, "Index (-6) out of range (-5 <= index < 5)."),
    (numpy.uint64(2**64 - 1), "Index (18446744073709551615) out of range (-5 <= index < 5)."),
    (-2**100, f"Index ({-2**100}) out of range (-5 <= index < 5)."),
])
def test_indexing_follows_python_and_names_the_index_passed(index, expected):
    a = quill20.array([10, 20, 30, 40, 50], dtype="int32")
    if isinstance(expected, str):
        for access in (lambda: a[index], lambda: a.__setitem__(index, 1)):
            with pytest.raises(IndexError) as refused:
                access()
            assert str(refused.value) == expected
        assert list(a) == [10, 20, 30, 40, 50]
    else:
        assert a[index] == expected
        a[index] = -7
        assert a.to_numpy().tolist().count(-7) == 1


@pytest.mark.parametrize("call, error, message", [
    (lambda a: a[1.0], TypeError, "array indices must be integers, not float"),
    (lambda a: a[None], TypeError, "array indices must be integers, not NoneType"),
    (lambda a: quill20.array([], dtype="int8")[0], IndexError, "Index (0) out of range: the array is empty."),
    (lambda a: a.__setitem__(0, 2**40), OverflowError, f"value = {2**40} is outside the range {INT32_RANGE}"),
    (lambda a: a.__setitem__(0, numpy.int64(-2**31 - 1)), OverflowError,
     f"value = {-2**31 - 1} is outside the range {INT32_RANGE}"),
    (lambda a: a.__setitem__(0, 10**5000), OverflowError,
     f"value = an integer of 16610 bits is outside the range {INT32_RANGE}"),
    (lambda a: a.__setitem__(0, 1.5), TypeError, "value must be an integer, not float"),
    (lambda a: quill20.array([[1, 2]]).__setitem__(0, 3), TypeError,
     "an element of Array_int32x2 is a sequence of 2 components, not int"),
    (lambda a: quill20.array(numpy.zeros((1, 3))).__setitem__(0, (1, 2)), ValueError,
     "an element has exactly 3 components, not 2"),
    (lambda a: a.resize(-1), OverflowError, f"size = -1 is outside the range {INT32_SIZES}"),
    (lambda a: a.resize(numpy.float32(2)), TypeError, "size must be an integer, not numpy.float32"),
    (lambda a: type(a)(2**63), OverflowError, f"size = {2**63} is outside the range {INT32_SIZES}"),
    (lambda a: type(a)(3, None), ValueError, 'storage must be "vector" or "vtk", not None'),
    (lambda a: type(a)(3, storage="disk"), ValueError, "storage must be \"vector\" or \"vtk\", not 'disk'"),
    (lambda a: _vireo20upscaling.MPUpscalingGenerator(a).SetParticlesEnabledIndexes(2**40, a, 0), OverflowError,
     f"timestep_index = {2**40} is outside the range {INT32_RANGE}"),
    (lambda a: _vireo20upscaling.MPUpscalingGenerator(a).SetParticlesEnabledIndexes(0, a, -2**31 - 1), OverflowError,
     f"trailing_count = {-2**31 - 1} is outside the range {INT32_RANGE}"),
])
def test_bad_arguments_name_themselves_their_value_and_the_range(call, error, message):
    a = quill20.array([0, 1, 2], dtype="int32")
    with pytest.raises(error) as refused:
        call(a)
    assert str(refused.value) == message
    assert list(a) == [0, 1, 2]


@pytest.mark.parametrize("integer", [numpy.int64, numpy.int32, numpy.uint8, numpy.uint64])
def test_numpy_integers_pass_wherever_python_integers_do(integer):
    a = quill20.array_class("float64")(integer(3), storage="vtk")
    a.resize(integer(4))
    a[integer(3)] = integer(7)
    a.scale(numpy.float32(0.5))
    assert a.to_numpy().tolist() == [0.0, 0.0, 0.0, 3.5]
    generator = _vireo20upscaling.MPUpscalingGenerator(quill20.array([-1, 0], dtype="int32"))
    generator.SetParticlesEnabledIndexes(integer(7), quill20.array([1], dtype="int32"), integer(2))
    assert generator.GetCurrentTimestepIndex() == 7


BEYOND = r", more than the \d+ bytes of memory of this machine"


@pytest.mark.parametrize("storage", STORAGES)
def test_allocation_failures_say_what_and_how_much(storage):
    cls = quill20.array_class("float64", 3)
    with pytest.raises(MemoryError, match=rf"^cannot allocate a new array on {storage} storage: {2**50} elements "
                                          rf"of float64x3 \({24 * 2**50} bytes\){BEYOND}$"):
        cls(2**50, storage)
    a = cls(2, storage)
    with pytest.raises(MemoryError, match=rf"^cannot allocate the resize of an array from 2 elements: {2**58} "
                                          rf"elements of float64x3 \({24 * 2**58} bytes\){BEYOND}$"):
        a.resize(2**58)
    assert len(a) == 2


@pytest.mark.parametrize("make_view", [lambda a: a.to_numpy(), numpy.asarray, lambda a: a.to_numpy()[1:]])
@pytest.mark.parametrize("storage", STORAGES)
def test_views_are_owned_natively_and_outlive_the_array(storage, make_view, collect):
    a = quill20.array(numpy.arange(999.0), storage=storage)
    released = make_view(a)
    del released
    collect()
    a.resize(1000)  # a released view no longer holds the size
    a[999] = 999.0
    view = make_view(a)
    owner = view.base if isinstance(view.base, quill20.MemoryExport) else view.base.base
    assert isinstance(owner, quill20.MemoryExport)
    for tamper in (lambda: setattr(owner, "_export", None), lambda: delattr(owner, "size"),
                   lambda: setattr(owner, "__array_interface__", {}), lambda: owner.__dict__):
        with pytest.raises(AttributeError, match="MemoryExport"):
            tamper()
    with pytest.raises(TypeError, match="cannot create"):
        quill20.MemoryExport()
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Subclass", (quill20.MemoryExport,), {})
    with pytest.raises(TypeError, match="immutable type"):
        quill20.MemoryExport.size = None
    with pytest.raises(RuntimeError, match=r"memory is exported to 1 live view\(s\)"):
        a.resize(1)
    assert len(a) == 1000 and a[998] == 998.0
    del a, owner
    collect()
    junk = [quill20.array(numpy.full(1000, -1.0), storage=storage) for _ in range(20)]
    assert view[-1] == 999.0 and view.sum() == sum(range(1000))
    view[:] = 5.0
    del junk


def test_repr_is_summarised_like_numpy():
    assert repr(quill20.array([1, 2], dtype="int8")) == "quill20.array([1, 2], dtype='int8', storage='vector')"
    assert repr(quill20.array([[1.5, 2]], storage="vtk")) == (
        "quill20.array([[1.5, 2. ]], dtype='float64', storage='vtk')")
    text = repr(quill20.array(numpy.arange(10**7, dtype="int32")))
    assert text == "quill20.array([      0,       1,       2, ..., 9999997, 9999998, 9999999], dtype='int32', " \
                   "storage='vector')"


def test_every_public_name_is_documented_with_an_example():
    public = [name for name in dir(quill20) if not name.startswith("_")]
    classes = [getattr(quill20._quill20, n) for n in dir(quill20._quill20) if n.startswith(("Array_", "GridFunction_"))]
    undocumented, without_example = [], []
    for label, item in [(name, getattr(quill20, name)) for name in public] + [(c.__name__, c) for c in classes]:
        if "Example" not in (item.__doc__ or "") and label in public:
            without_example.append(label)
        members = [(label, item)] + [(f"{label}.{attribute}", getattr(item, attribute)) for attribute in vars(item)
                                     if attribute in ("__init__", "__getitem__", "__setitem__", "__len__", "__str__",
                                                      "__array__") or not attribute.startswith("_")] \
            if isinstance(item, type) else [(label, item)]
        undocumented += [name for name, member in members if not (member.__doc__ or "").strip()]
    assert not undocumented and not without_example, (undocumented, without_example)
    assert quill20._quill20.__doc__ and "C++ signature" not in quill20.IArray.scale.__doc__


def test_scalar_types_come_from_the_library_and_match_numpy():
    assert list(quill20.SCALAR_TYPES) == ["float32", "float64", "int8", "int16", "int32", "int64", "uint8", "uint16",
                                          "uint32", "uint64", "bool"]
    for name, typestr in quill20.SCALAR_TYPES.items():
        assert numpy.dtype(typestr) == numpy.dtype(name)
        for storage in STORAGES:
            a = quill20.array_class(name, 3)(2, storage)
            assert (a.to_numpy().dtype.str, a.to_numpy().shape) == (typestr, (2, 3))
            assert quill20.grid_function([0, 1], dtype=name, storage=storage).to_numpy().dtype.str == typestr


def test_array_operations_from_the_common_interface():
    a = quill20.array([1, -3], dtype="int32")
    a.scale(2.5)
    assert list(a) == [2, -7]
    a.negate()
    assert list(a) == [-2, 7]
    with pytest.raises(RuntimeError, match="negate an unsigned array"):
        quill20.array([1], dtype="uint8").negate()
    assert a.equals(quill20.array([-2, 7], dtype="int32"))
    assert not a.equals(quill20.array(numpy.array([-2, 7], dtype="int32").view("uint32")))
    assert a.implementation_use_count() == 1


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="under a preloaded ASan runtime tracemalloc misses frees (resident memory stays flat)")
def test_repeated_calls_leave_no_python_objects_behind(collect):
    # LeakSanitizer cannot tell a Python object leaked by the wrapper from the interpreter's own.
    import tracemalloc
    a = quill20.array([1, 2, 3], dtype="int32", storage="vtk")

    def calls():
        for call in (lambda: a.to_numpy(), lambda: numpy.asarray(a), lambda: a[-1], lambda: repr(a),
                     lambda: a[10**30], lambda: a.__setitem__(0, 2**40), lambda: a.resize("3"),
                     lambda: type(a)(2**50), lambda: type(a)(2, None), lambda: a.scale(numpy.float32(1))):
            try:
                call()
            except (IndexError, OverflowError, TypeError, ValueError, MemoryError):
                pass

    calls()
    collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(2000):
            calls()
        collect()
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert growth < 20000, f"{growth} bytes kept after 2000 rounds"


@pytest.mark.parametrize("scalar_type", quill20.SCALAR_TYPES)
def test_grid_function_of_every_scalar_type(scalar_type):
    gf = quill20.grid_function([1, 0, 1], dtype=scalar_type, location=0, name="flags")
    assert (type(gf).__name__, gf.scalar_type, gf.location, gf.name, len(gf)) == (
        f"GridFunction_{scalar_type}", scalar_type, 0, "flags", 3)
    assert (gf[0], gf[-1], gf[1]) == (1, 1, 0)
    gf[1] = 1
    gf.name = "ones"
    assert gf.to_numpy().tolist() == [1, 1, 1]
    lines = str(gf).splitlines()
    assert lines[0] == "GridFunction" and lines[1] == '  Name: "ones"'
    assert lines[-4:] == ["  Location: 0", f"  Result Scalar Type: {scalar_type}", "  Result Shape: [1, 1]",
                          "  Number of Elements: 3"]
    with pytest.raises(IndexError, match=r"^Index \(3\) out of range \(0 <= index < 3\)\.$"):
        gf[3]
    with pytest.raises(IndexError, match=r"^Index \(-4\) out of range \(-3 <= index < 3\)\.$"):
        gf[-4]
    view = gf.to_numpy()
    view[2] = 0
    assert gf[2] == 0 and numpy.shares_memory(view, gf.array.to_numpy())


def test_vector_grid_functions_and_storage():
    gf = quill20.grid_function(numpy.arange(6.0).reshape(2, 3), storage="vtk")
    assert (type(gf).__name__, gf.components, gf[1], gf.array.storage) == ("GridFunction_float64x3", 3, (3, 4, 5), "vtk")
    gf[0] = (7, 8, 9)
    assert gf.to_numpy().tolist() == [[7, 8, 9], [3, 4, 5]]
    assert "  Result Shape: [3, 1]" in str(gf)
    with pytest.raises(ValueError, match="location 2 is not a location"):
        quill20.grid_function([1.0], location=2)
    with pytest.raises(ValueError, match="no grid function of 5-component float64"):
        quill20.grid_function(numpy.ones((2, 5)))
    assert quill20.grid_function([1.0], location="vertices").location == 0


def test_topology_and_geometry_describe_themselves_and_check_their_indexes():
    # Their contents are checked with the generator's results, in test_vireo20upscaling_generator.py.
    generator = _vireo20upscaling.MPUpscalingGenerator(quill20.array([-1, 0, -1], dtype="int32"))
    generator.SetParticlesEnabledIndexes(0, quill20.array([0, 1, 2], dtype="int32"), 0)
    topology = generator.CreateParticlesTopology()
    assert topology.cell_type(1) == 0
    assert str(topology).startswith("SciObject\n  Name: (anonymous)\n  C++ Type: quill20::core::UnstructuredTopology<0>")
    with pytest.raises(IndexError, match="cell 2 is not in 0..1"):
        topology.cell_type(2)
    points = quill20.ParticlePointsArray(quill20.array(numpy.ones((3, 3))))
    geometry = generator.CreateParticlesGeometry(topology, points, quill20.array([1.0, 1.0, 2.0]))
    assert geometry.topology.number_of_cells() == 2
    with pytest.raises(IndexError, match="vertex 5 is not in 0..1"):
        geometry.point(5)


@pytest.mark.parametrize("values", [numpy.arange(5, dtype=numpy.int32), numpy.arange(12.0).reshape(4, 3),
                                    numpy.array([True, False]), numpy.arange(6, dtype=numpy.uint16)])
def test_asarray_shares_the_numpy_buffer(values):
    array = quill20.asarray(values)
    assert array.storage == "numpy" and numpy.shares_memory(array.to_numpy(), values)
    values.flat[0] = 1
    assert array.to_numpy().flat[0] == 1
    with pytest.raises(RuntimeError, match="cannot be resized"):
        array.resize(len(values) + 1)
    with pytest.raises(ValueError):
        values.resize(20)  # NumPy refuses too while the array lives
    del values
    assert array.to_numpy().flat[0] == 1, "the array keeps the NumPy buffer alive"


@pytest.mark.parametrize("values", [numpy.arange(10.0)[::2], numpy.arange(5.0).astype(">f8"), numpy.ones((2, 5)),
                                    [1.0, 2.0], numpy.arange(3.0)])
def test_asarray_copies_what_it_cannot_view(values):
    if isinstance(values, numpy.ndarray) and values.flags.c_contiguous and values.dtype.isnative and values.ndim == 1:
        values.setflags(write=False)
    array = quill20.asarray(values)
    assert array.to_numpy().tolist() == numpy.asarray(values).tolist()
    assert not numpy.shares_memory(array.to_numpy(), numpy.asarray(values))


NAN, INF = float("nan"), float("inf")
LOSSY = "cannot be stored as {} without changing it: "


@pytest.mark.parametrize("data, dtype, message", [
    ([1, 2**40, -1], "int32", "data[1] = 1099511627776 " + LOSSY.format("int32") +
     "outside the int32 range -2147483648..2147483647"),
    ([-1], "uint64", "data[0] = -1 " + LOSSY.format("uint64") + "outside the uint64 range 0..18446744073709551615"),
    (numpy.array([1, 2**63], dtype="uint64"), "int64", f"data[1] = {2**63} " + LOSSY.format("int64") + "outside"),
    (numpy.array([7, -129]), "int8", "data[1] = -129 " + LOSSY.format("int8") + "outside the int8 range -128..127"),
    ([1.0, 2.5], "int32", "data[1] = 2.5 " + LOSSY.format("int32") + "not a whole number"),
    ([0.0, NAN], "int64", "data[1] = nan " + LOSSY.format("int64") + "NaN has no int64 value"),
    ([-INF], "uint8", "data[0] = -inf " + LOSSY.format("uint8") + "an infinity has no uint8 value"),
    ([2.0**63], "int64", f"data[0] = {2.0**63} " + LOSSY.format("int64") + "outside the int64 range"),
    ([[1.0, 2.0], [3.0, 4.5]], "int32", "data[1, 1] = 4.5 " + LOSSY.format("int32") + "not a whole number"),
    ([1, 2], "bool", "data[1] = 2 " + LOSSY.format("bool") + "a bool holds only 0 and 1"),
    ([0.0, NAN], "bool", "data[1] = nan " + LOSSY.format("bool") + "a bool holds only 0 and 1"),
    ([1.0, -1e39], "float32", "data[1] = -1e+39 " + LOSSY.format("float32") + "beyond the float32 range"),
    (numpy.array([16777217]), "float32", "data[0] = 16777217 " + LOSSY.format("float32") + "not exact in float32: "
     "it would become 16777216.0"),
    ([2**53 + 1], "float64", f"data[0] = {2**53 + 1} " + LOSSY.format("float64") + "not exact in float64"),
    (numpy.array([2**63 - 1]), "float64", f"data[0] = {2**63 - 1} " + LOSSY.format("float64") + "not exact"),
    ([2**70], "uint64", f"data[0] = {2**70} " + LOSSY.format("uint64") + "outside the uint64 range"),
    ([-1, 2**63], None, f"data[1] = {2**63}: no integer type holds every value of data"),
])
@pytest.mark.parametrize("make", [quill20.array, quill20.grid_function, quill20.asarray])
def test_conversions_that_change_a_value_are_refused(make, data, dtype, message):
    with pytest.raises(ValueError) as refused:
        make(data, dtype=dtype)
    assert str(refused.value).startswith(message)


@pytest.mark.parametrize("data, dtype, scalar_type, values", [
    ([4, 1, 0, 3], None, "int32", [4, 1, 0, 3]),
    (numpy.array([2**31 - 1, -2**31]), None, "int32", [2**31 - 1, -2**31]),
    ([2**31], None, "int64", [2**31]),
    ([2**63], None, "uint64", [2**63]),
    (numpy.array([3], dtype="uint8"), None, "uint8", [3]),
    ([2**53, -2**63], "float64", "float64", [2.0**53, -2.0**63]),
    ([0.1, 1e-50, NAN, -INF, 3.4028235e38], "float32", "float32",
     numpy.array([0.1, 1e-50, NAN, -INF, 3.4028235e38]).astype("float32").tolist()),
    ([-0.0, 7.0], "int16", "int16", [0, 7]),
    ([1, 0, True], "bool", "bool", [True, False, True]),
    (numpy.array([250], dtype="uint8"), "int16", "int16", [250]),
])
def test_conversions_that_keep_every_value_pass(data, dtype, scalar_type, values):
    a = quill20.array(data, dtype=dtype)
    assert a.scalar_type == scalar_type
    numpy.testing.assert_array_equal(a.to_numpy(), numpy.array(values, dtype=scalar_type))
