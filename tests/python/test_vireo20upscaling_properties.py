"""Random sequences of generator calls against the NumPy model: results equal bit for bit, and a call
that raises leaves the generator and the caller's objects exactly as they were. A long run of
changing time steps holds its memory steady and lets go of every VTK array it made."""
import resource

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from upscaling_model import Model

quill20 = pytest.importorskip("quill20")
import _vireo20upscaling  # noqa: E402  (after quill20)


def snapshot(generator, *objects):
    return (generator.GetCurrentTimestepIndex(), generator.GetNumberOfEnabledParticles(),
            generator.GetElementParticlesIndexes().to_numpy().tobytes(),
            [o.to_numpy().tobytes() for o in objects])


@st.composite
def steps(draw):
    n = draw(st.integers(0, 40))
    parents = draw(st.lists(st.integers(-1, max(n - 1, -1)), min_size=n, max_size=n))
    # Enabled entries may repeat and, now and then, leave the particle range.
    enabled = draw(st.lists(st.integers(0, n + 1 if draw(st.booleans()) else max(n - 1, 0)), max_size=2 * n))
    trailing = draw(st.integers(0, 3))
    return parents, enabled, trailing


CALLS = ["sum", "take_float", "take_int", "average", "coords", "ids", "from", "to", "topology", "short_values",
         "bad_masses"]


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.tuples(steps(), st.lists(st.sampled_from(CALLS), max_size=6)), min_size=1, max_size=4),
       st.integers(0, 2**32 - 1))
def test_random_call_sequences_match_the_model(sequence, seed):
    rng = np.random.default_rng(seed)
    generator = model = None
    for (parents, enabled, trailing), calls in sequence:
        n = len(parents)
        if generator is None or rng.random() < 0.5:  # a new parent table now and then
            generator = _vireo20upscaling.MPUpscalingGenerator(quill20.array(parents, dtype="int32"))
            table, model = parents, None
        valid = all(0 <= p < len(table) for p in enabled)
        before = snapshot(generator)
        if valid:
            generator.SetParticlesEnabledIndexes(len(sequence), quill20.array(enabled, dtype="int32"), trailing)
            model = Model(np.array(table), np.array(enabled, dtype=np.int64), trailing)
        else:
            with pytest.raises(RuntimeError, match="is outside"):
                generator.SetParticlesEnabledIndexes(1, quill20.array(enabled, dtype="int32"), trailing)
            assert snapshot(generator) == before
        if model is None:
            continue
        rows, n = model.e + model.t, len(table)
        values = quill20.grid_function(rng.normal(size=rows))
        labels = quill20.grid_function(rng.integers(-9, 9, rows), dtype="int32")
        masses = quill20.array(rng.uniform(0.5, 2.0, n))
        coordinates = quill20.array(rng.normal(size=(rows, 3)))
        ids = rng.integers(-2, n + 2, 5).astype(np.int32)
        kinds = rng.integers(0, 2, 5).astype(np.int32)
        for call in calls:
            if call == "sum":
                assert np.array_equal(generator.Sum(values).to_numpy(), model.sum(values.to_numpy()))
            elif call == "take_float":
                assert np.array_equal(generator.TakeAny(values).to_numpy(), model.take_any(values.to_numpy()))
            elif call == "take_int":
                assert np.array_equal(generator.TakeAny(labels).to_numpy(), model.take_any(labels.to_numpy()))
            elif call == "average":
                assert np.array_equal(generator.WeightedAverage(values, masses).to_numpy(),
                                      model.weighted_average(values.to_numpy(), masses.to_numpy()), equal_nan=True)
            elif call == "coords":
                assert np.array_equal(generator.CoordsWeightedAverage(coordinates, masses).to_numpy().reshape(-1, 3),
                                      model.coords_average(coordinates.to_numpy(), masses.to_numpy()).reshape(-1, 3),
                                      equal_nan=True)
            elif call == "ids":
                assert np.array_equal(generator.GetParticleIds().to_numpy(), model.ids)
            elif call == "from":
                gf = quill20.grid_function(ids, dtype="int32")
                assert generator.GetContactParentIDFrom(gf) is gf
                assert np.array_equal(gf.to_numpy(), model.contact_from(ids.copy()))
            elif call == "to":
                gf = quill20.grid_function(ids, dtype="int32")
                generator.GetContactParentIDTo(gf, quill20.grid_function(kinds, dtype="int32"))
                assert np.array_equal(gf.to_numpy(), model.contact_to(ids.copy(), kinds))
            elif call == "topology":
                assert generator.CreateParticlesTopology().number_of_cells() == model.u + model.t
            else:
                short = quill20.grid_function(np.ones(max(rows - 1, 0)))
                wrong = quill20.array(np.ones(n + 1))
                before = snapshot(generator, values, masses, short, wrong)
                if rows > 0 and model.u + model.t > 0:
                    with pytest.raises(RuntimeError):
                        if call == "short_values":
                            generator.Sum(short)
                        else:
                            generator.WeightedAverage(values, wrong)
                assert snapshot(generator, values, masses, short, wrong) == before


def resident_kb():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS"))


def test_long_run_keeps_its_memory_and_frees_every_vtk_array():
    rng = np.random.default_rng(3)
    n = 20_000
    parents = np.where(rng.random(n) < 0.3, -1, rng.integers(0, n, n)).astype(np.int32)
    generator = _vireo20upscaling.MPUpscalingGenerator(quill20.array(parents, dtype="int32"))
    masses = quill20.array(rng.uniform(0.5, 2.0, n))
    live_before = quill20._quill20.live_vtk_storages()
    after_warm_up = None
    for step in range(2000):
        enabled = rng.permutation(n)[: rng.integers(1000, n)].astype(np.int32)
        trailing = int(rng.integers(0, 5))
        generator.SetParticlesEnabledIndexes(step, quill20.array(enabled, dtype="int32"), trailing)
        rows = len(enabled) + trailing
        values = quill20.grid_function(rng.normal(size=rows))
        coordinates = quill20.array(rng.normal(size=(rows, 3)))
        generator.Sum(values), generator.TakeAny(values), generator.WeightedAverage(values, masses)
        generator.GetParticleIds(), generator.GetElementParticlesIndexes()
        generator.GetContactParentIDTo(quill20.grid_function(enabled[:50]), quill20.grid_function(enabled[:50] % 2))
        topology = generator.CreateParticlesTopology()
        geometry = generator.CreateParticlesGeometry(topology, quill20.ParticlePointsArray(coordinates, trailing), masses)
        geometry.points()
        del topology, geometry
        if step == 99:
            after_warm_up = resident_kb()
    assert resident_kb() < after_warm_up * 1.05 + 2048
    assert quill20._quill20.live_vtk_storages() == live_before
