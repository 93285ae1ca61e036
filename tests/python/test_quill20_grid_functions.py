"""quill20 grid functions, topology and geometry objects from Python."""
import numpy as np
import pytest

quill20 = pytest.importorskip("quill20")
import _vireo20upscaling  # noqa: E402  (after quill20)


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
    assert gf[2] == 0 and np.shares_memory(view, gf.array.to_numpy())


def test_vector_grid_functions_and_storage():
    gf = quill20.grid_function(np.arange(6.0).reshape(2, 3), storage="vtk")
    assert (type(gf).__name__, gf.components, gf[1], gf.array.storage) == ("GridFunction_float64x3", 3, (3, 4, 5), "vtk")
    gf[0] = (7, 8, 9)
    assert gf.to_numpy().tolist() == [[7, 8, 9], [3, 4, 5]]
    assert "  Result Shape: [3, 1]" in str(gf)
    with pytest.raises(ValueError, match="location 2 is not a location"):
        quill20.grid_function([1.0], location=2)
    with pytest.raises(ValueError, match="no grid function of 5-component float64"):
        quill20.grid_function(np.ones((2, 5)))
    assert quill20.grid_function([1.0], location="vertices").location == 0


def test_topology_and_geometry_describe_themselves_and_check_their_indexes():
    # Their contents are checked with the generator's results, in test_vireo20upscaling_reductions.py.
    generator = _vireo20upscaling.MPUpscalingGenerator(quill20.array([-1, 0, -1], dtype="int32"))
    generator.SetParticlesEnabledIndexes(0, quill20.array([0, 1, 2], dtype="int32"), 0)
    topology = generator.CreateParticlesTopology()
    assert topology.cell_type(1) == 0
    assert str(topology).startswith("SciObject\n  Name: (anonymous)\n  C++ Type: quill20::core::UnstructuredTopology<0>")
    with pytest.raises(IndexError, match="cell 2 is not in 0..1"):
        topology.cell_type(2)
    geometry = generator.CreateParticlesGeometry(topology, quill20.ParticlePointsArray(quill20.array(np.ones((3, 3)))),
                                                 quill20.array([1.0, 1.0, 2.0]))
    assert geometry.topology.number_of_cells() == 2
    with pytest.raises(IndexError, match="vertex 5 is not in 0..1"):
        geometry.point(5)


@pytest.mark.parametrize("values", [np.arange(5, dtype=np.int32), np.arange(12.0).reshape(4, 3),
                                    np.array([True, False]), np.arange(6, dtype=np.uint16)])
def test_asarray_shares_the_numpy_buffer(values):
    array = quill20.asarray(values)
    assert array.storage == "numpy" and np.shares_memory(array.to_numpy(), values)
    values.flat[0] = 1
    assert array.to_numpy().flat[0] == 1
    with pytest.raises(RuntimeError, match="cannot be resized"):
        array.resize(len(values) + 1)
    with pytest.raises(ValueError):
        values.resize(20)  # NumPy refuses too while the array lives
    del values
    assert array.to_numpy().flat[0] == 1, "the array keeps the NumPy buffer alive"


@pytest.mark.parametrize("values", [np.arange(10.0)[::2], np.arange(5.0).astype(">f8"), np.ones((2, 5)), [1.0, 2.0],
                                    np.arange(3.0)])
def test_asarray_copies_what_it_cannot_view(values):
    if isinstance(values, np.ndarray) and values.flags.c_contiguous and values.dtype.isnative and values.ndim == 1:
        values.setflags(write=False)
    array = quill20.asarray(values)
    assert array.to_numpy().tolist() == np.asarray(values).tolist()
    assert not np.shares_memory(array.to_numpy(), np.asarray(values))
