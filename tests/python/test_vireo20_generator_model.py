"""MPUpscalingGenerator against the NumPy model of upscaling_model, bit for bit, on random steps."""
import numpy as np
import pytest
from numpy.testing import assert_array_equal

import upscaling_model
from upscaling_model import Model

quill20 = pytest.importorskip("quill20")
_vireo20upscaling = pytest.importorskip("_vireo20upscaling")
Generator = _vireo20upscaling.MPUpscalingGenerator
needs_reductions = pytest.mark.skipif(not hasattr(Generator, "Sum"),
                                      reason="_vireo20upscaling has no reductions yet")

# (particles, enabled, trailing): empty, all trailing, everything enabled, a sparse shuffled subset.
CASES = [(0, 0, 0), (5, 0, 3), (50, 50, 0), (400, 150, 4), (3000, 2000, 2)]


def random_step(n, e, t, seed):
    rng = np.random.default_rng(seed)
    parents = np.where(rng.random(n) < 0.3, -1, rng.integers(0, max(n, 1), n))
    enabled = rng.permutation(n)[:e]
    return parents, enabled, t, rng


def make_generator(parents, enabled, t):
    generator = Generator(quill20.array(parents, dtype="int32"))
    generator.SetParticlesEnabledIndexes(3, quill20.array(enabled, dtype="int32"), t)
    return generator, Model(parents, enabled, t)


@pytest.mark.parametrize("case", CASES)
def test_grouping_matches_the_model(case):
    generator, model = make_generator(*random_step(*case, seed=sum(case))[:3])
    assert_array_equal(generator.GetElementParticlesIndexes().to_numpy(), model.element)
    assert generator.GetNumberOfEnabledParticles() == model.u + model.t


@needs_reductions
@pytest.mark.parametrize("case", CASES)
def test_reductions_match_the_model(case):
    parents, enabled, t, rng = random_step(*case, seed=sum(case))
    generator, model = make_generator(parents, enabled, t)
    n, rows = len(parents), len(enabled) + t
    masses = rng.uniform(0.1, 3.0, n)
    values = rng.normal(size=rows)
    labels = rng.integers(-5, 5, rows).astype(np.int32)
    coords = rng.normal(size=(rows, 3))
    gf = lambda data, dtype: quill20.grid_function(data, dtype=dtype)
    assert_array_equal(generator.GetParticleIds().to_numpy(), model.ids)
    assert_array_equal(generator.Sum(gf(values, "float64")).to_numpy(), model.sum(values))
    assert_array_equal(generator.TakeAny(gf(values, "float64")).to_numpy(), model.take_any(values))
    assert_array_equal(generator.TakeAny(gf(labels, "int32")).to_numpy(), model.take_any(labels))
    mass_array = quill20.array(masses, dtype="float64")
    assert_array_equal(generator.WeightedAverage(gf(values, "float64"), mass_array).to_numpy(),
                       model.weighted_average(values, masses))
    coords_array = quill20.array(coords, dtype="float64")
    centres = model.coords_average(coords, masses)
    assert_array_equal(generator.CoordsWeightedAverage(coords_array, mass_array).to_numpy(), centres)
    topology = generator.CreateParticlesTopology()
    expected = upscaling_model.Generator(parents)
    expected.SetParticlesEnabledIndexes(3, enabled, t)
    expected = expected.CreateParticlesTopology()
    assert topology.number_of_cells() == expected.number_of_cells()
    assert_array_equal(topology.connectivity.to_numpy(), expected.connectivity)
    assert_array_equal(topology.cells_index.to_numpy(), expected.cells_index)
    geometry = generator.CreateParticlesGeometry(
        topology, quill20.ParticlePointsArray(coords_array, t), mass_array)
    assert_array_equal(geometry.points(), centres)


@needs_reductions
def test_contact_ids_go_to_parents_in_place():
    parents, enabled, t, rng = random_step(400, 150, 2, seed=7)
    generator, model = make_generator(parents, enabled, t)
    ids = rng.integers(0, 400, 60).astype(np.int32)
    kinds = rng.integers(0, 3, 60).astype(np.int32)
    first = quill20.grid_function(ids, dtype="int32")
    generator.GetContactParentIDFrom(first)
    assert_array_equal(first.to_numpy(), model.contact_from(ids.copy()))
    second = quill20.grid_function(ids, dtype="int32")
    generator.GetContactParentIDTo(second, quill20.grid_function(kinds, dtype="int32"))
    assert_array_equal(second.to_numpy(), model.contact_to(ids.copy(), kinds))
