"""quill20 arrays from Python: construction, element access, views that share memory, storage kinds."""
import numpy
import pytest

import quill20

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
@pytest.mark.parametrize("components", range(2, 10))
@pytest.mark.parametrize("scalar_type", ["float64", "int32", "uint8", "bool"])
def test_vector_elements_have_one_row_per_element(scalar_type, components, storage):
    if scalar_type == "bool" and components not in (2, 3, 4, 9):
        with pytest.raises(ValueError, match="no array of"):
            quill20.array(numpy.zeros((2, components), dtype=bool), storage=storage)
        return
    data = (numpy.arange(3 * components).reshape(3, components) % 5).astype(scalar_type)
    a = quill20.array(data, storage=storage)
    assert (len(a), a.components, a.scalar_type) == (3, components, scalar_type)
    numpy.testing.assert_array_equal(a.to_numpy(), data)
    assert a[1] == tuple(data[1].tolist())
    a[0] = data[2].tolist()
    numpy.testing.assert_array_equal(a.to_numpy()[0], data[2])


def test_dtype_by_numpy_type_or_name_and_default_inference():
    assert quill20.array([1, 2], dtype=numpy.int16).scalar_type == "int16"
    assert quill20.array([1, 2], dtype="uint64").scalar_type == "uint64"
    assert quill20.array([1.5]).scalar_type == "float64"
    assert quill20.array([True]).scalar_type == "bool"
    assert len(quill20.array([], dtype="int32")) == 0
    assert quill20.array([], dtype="int32").to_numpy().shape == (0,)


@pytest.mark.parametrize("data, kwargs, error, text", [
    ([1, 2], {"storage": "disk"}, ValueError, "storage must be"),
    (numpy.zeros((2, 10)), {}, ValueError, "no array of 10-component"),
    (numpy.zeros((2, 2, 2)), {}, ValueError, "expected"),
    ([1j], {}, TypeError, "unsupported element type"),
    ([1], {"dtype": "nonsense"}, TypeError, "neither"),
])
def test_bad_construction_is_rejected_clearly(data, kwargs, error, text):
    with pytest.raises(error, match=text):
        quill20.array(data, **kwargs)


def test_indexing_is_checked_and_negative_indexes_count_from_the_end():
    a = quill20.array([10, 20, 30, 40, 50], dtype="int32")
    assert (a[-1], a[-5]) == (50, 10)
    with pytest.raises(IndexError, match=r"^Index \(5\) out of range \(0 <= index < 5\)\.$"):
        a[5]
    with pytest.raises(IndexError):
        a[-6]
    with pytest.raises(IndexError):
        a[7] = 1
    assert list(a) == [10, 20, 30, 40, 50]
    with pytest.raises(OverflowError):
        a[0] = 2 ** 40
    with pytest.raises(ValueError, match="exactly 3 components"):
        quill20.array(numpy.zeros((1, 3)))[0] = (1, 2)
    assert list(a) == [10, 20, 30, 40, 50]


@pytest.mark.parametrize("storage", STORAGES)
def test_resize_keeps_values_and_is_refused_while_a_view_is_alive(storage, collect):
    a = quill20.array([1.0, 2.0], storage=storage)
    view = a.to_numpy()
    with pytest.raises(RuntimeError, match=r"memory is exported to 1 live view\(s\)"):
        a.resize(10)
    assert len(a) == 2 and view.tolist() == [1.0, 2.0]
    del view
    collect()
    a.resize(4)
    assert a.to_numpy().tolist()[:2] == [1.0, 2.0] and len(a) == 4


@pytest.mark.parametrize("storage", STORAGES)
def test_views_keep_the_storage_alive_after_the_array_is_gone(storage, collect):
    view = quill20.array(numpy.arange(1000.0), storage=storage).to_numpy()
    collect()
    junk = [quill20.array(numpy.full(1000, -1.0), storage=storage) for _ in range(20)]
    assert view[999] == 999.0 and view.sum() == 999 * 1000 / 2
    del junk


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
