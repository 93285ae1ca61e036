"""Random sequences of generator calls against the NumPy model: results equal bit for bit, and a call
that raises leaves the generator and the caller's objects exactly as they were. A long run of
changing time steps holds its memory steady and lets go of every VTK array it made."""
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from upscaling_model import Model, generator_state as snapshot

quill20 = pytest.importorskip("quill20")
import _vireo20upscaling  # noqa: E402  (after quill20)


@st.composite
def steps(draw):
    n = draw(st.integers(0, 40))
    parents = draw(st.lists(st.integers(-1, max(n - 1, -1)), min_size=n, max_size=n))
    # Enabled entries may repeat and, now and then, leave the particle range.
    enabled = draw(st.lists(st.integers(0, n + 1 if draw(st.booleans()) else max(n - 1, 0)), max_size=2 * n))
    if draw(st.integers(0, 3)) == 0:
        # Particles 0, 1, ... in their own places: the reductions read their masses directly.
        enabled = list(range(draw(st.integers(0, n))))
    trailing = draw(st.integers(0, 3))
    return parents, enabled, trailing


CALLS = ["grouping", "sum", "take_float", "take_int", "average", "coords", "ids", "from", "to", "topology",
         "short_values", "bad_masses"]


def expected_topology(cells):
    """As the module stores point cells: (point count, point id) pairs, each cell's start in cells_index."""
    return np.stack([np.ones(cells), np.arange(cells)], 1).ravel(), 2 * np.arange(cells)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.tuples(steps(), st.lists(st.sampled_from(CALLS), max_size=6)), min_size=1, max_size=4),
       st.integers(0, 2**32 - 1))
def test_random_call_sequences_match_the_model(sequence, seed):
    rng = np.random.default_rng(seed)
    generator = model = None
    for (parents, enabled, trailing), calls in sequence:
        if generator is None or rng.random() < 0.5:  # a new parent table now and then
            generator = _vireo20upscaling.MPUpscalingGenerator(quill20.array(parents, dtype="int32"))
            table, model = parents, None
        before = snapshot(generator)
        if all(0 <= p < len(table) for p in enabled):
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
        v, m, c = values.to_numpy(), masses.to_numpy(), coordinates.to_numpy()
        ids = rng.integers(-2, n + 2, 5).astype(np.int32)
        kinds = rng.integers(0, 2, 5).astype(np.int32)
        contacts = quill20.grid_function(ids, dtype="int32")
        # Each call: what the generator answers, and what the model says it must be.
        results = {
            "grouping": lambda: ([generator.GetNumberOfEnabledParticles()] + list(generator.GetElementParticlesIndexes()),
                                 [model.u + model.t] + list(model.element)),
            "sum": lambda: (generator.Sum(values), model.sum(v)),
            "take_float": lambda: (generator.TakeAny(values), model.take_any(v)),
            "take_int": lambda: (generator.TakeAny(labels), model.take_any(labels.to_numpy())),
            "average": lambda: (generator.WeightedAverage(values, masses), model.weighted_average(v, m)),
            "coords": lambda: (generator.CoordsWeightedAverage(coordinates, masses), model.coords_average(c, m)),
            "ids": lambda: (generator.GetParticleIds(), model.ids),
            "from": lambda: (generator.GetContactParentIDFrom(contacts), model.contact_from(ids.copy())),
            "to": lambda: (generator.GetContactParentIDTo(contacts, quill20.grid_function(kinds, dtype="int32")),
                           model.contact_to(ids.copy(), kinds)),
        }
        for call in calls:
            if call in results:
                got, expected = results[call]()
                if call in ("from", "to"):
                    assert got is contacts, "contacts are remapped on the object passed in"
                    contacts = quill20.grid_function(ids, dtype="int32")
                got = np.asarray(got.to_numpy() if hasattr(got, "to_numpy") else got)
                assert np.array_equal(got.reshape(np.shape(expected)), expected, equal_nan=True), call
            elif call == "topology":
                topology = generator.CreateParticlesTopology()
                connectivity, cells_index = expected_topology(model.u + model.t)
                assert topology.number_of_cells() == model.u + model.t
                assert np.array_equal(topology.connectivity.to_numpy(), connectivity)
                assert np.array_equal(topology.cells_index.to_numpy(), cells_index)
                geometry = generator.CreateParticlesGeometry(topology, quill20.ParticlePointsArray(coordinates, model.t),
                                                             masses)
                assert np.array_equal(geometry.points().reshape(-1, 3), model.coords_average(c, m), equal_nan=True)
            else:
                short = quill20.grid_function(np.ones(max(rows - 1, 0)))
                wrong = quill20.array(np.ones(n + 1))
                before = snapshot(generator, values, masses, short, wrong)
                if rows > 0 and model.u + model.t > 0:
                    with pytest.raises(RuntimeError):
                        generator.Sum(short) if call == "short_values" else generator.WeightedAverage(values, wrong)
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
