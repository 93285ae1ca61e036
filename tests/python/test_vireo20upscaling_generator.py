"""MPUpscalingGenerator from Python: the grouping of a time step, the reductions, id queries, contacts,
particles topology and geometry; the worked examples with exact values and texts, where results live,
and refusals of bad input that change nothing."""
import gc
import importlib
import re
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest
from numpy.testing import assert_array_equal

from upscaling_model import Model, generator_state as state, parent_ids

quill20 = pytest.importorskip("quill20")
import _vireo20upscaling  # noqa: E402  (after quill20, whose converters it uses)
from vtkmodules.util.numpy_support import vtk_to_numpy  # noqa: E402

PARENTS = [-1, 0, 0, -1, 3]
ENABLED = [4, 1, 0, 3]
MASSES = [3.0, 1.0, 5.0, 1.0, 1.0]
LARGEST = 2**31 - 1
Generator = _vireo20upscaling.MPUpscalingGenerator


def int32s(values):
    return quill20.array(values, dtype="int32")


def step(trailing=1, enabled=ENABLED, parents=PARENTS):
    generator = Generator(int32s(parents))
    generator.SetParticlesEnabledIndexes(0, int32s(enabled), trailing)
    return generator


def doubles(values):
    return quill20.grid_function(values, dtype="float64")


def ints(values):
    return quill20.grid_function(values, dtype="int32")


def masses(values=MASSES):
    return quill20.array(values, dtype="float64")


def listed(array):
    return array.to_numpy().tolist()


@pytest.mark.parametrize("enabled, trailing, indexes", [
    ([4, 1, 0, 3], 0, [0, 1, 1, 0]),
    ([4, 1, 0, 3], 2, [0, 1, 1, 0, 2, 3]),
    ([1, 2], 0, [0, 0]),  # the parent, particle 0, need not be enabled itself
    ([3, 3, 4, 0, 2], 1, [0, 0, 0, 1, 1, 2]),
    ([], 3, [0, 1, 2]),
    (None, 3, [0, 1, 2]),
])
def test_setup_groups_enabled_particles_by_parent(enabled, trailing, indexes):
    gen = Generator(int32s(PARENTS))
    gen.SetParticlesEnabledIndexes(7, None if enabled is None else int32s(enabled), trailing)
    result = gen.GetElementParticlesIndexes()
    assert (result.scalar_type, gen.GetNumberOfEnabledParticles(), gen.GetCurrentTimestepIndex()) == (
        "int32", max(indexes, default=-1) + 1, 7)
    del gen
    gc.collect()
    assert listed(result) == indexes, "the result outlives the generator"


def test_a_generator_without_parent_table_takes_only_empty_steps():
    gen = Generator(None)
    assert state(gen) == state(Generator(int32s(PARENTS))) == (-1, 0, [], []), "before any setup nothing is grouped"
    gen.SetParticlesEnabledIndexes(3, int32s([]), 2)
    assert state(gen) == (3, 2, [0, 1], [])
    with pytest.raises(RuntimeError, match=r"enabled_indexes\[0\] = 0 is outside the particle range, which is empty"):
        gen.SetParticlesEnabledIndexes(4, int32s([0]), 0)
    assert state(gen) == (3, 2, [0, 1], [])


RANGE = "the particle range 0..4 (5 particles)"


@pytest.mark.parametrize("parents, enabled, trailing, message", [
    (PARENTS, [4, 1, 0, 7], 0, f"enabled_indexes[3] = 7 is outside {RANGE}"),
    (PARENTS, [0, -2], 0, f"enabled_indexes[1] = -2 is outside {RANGE}"),
    ([-1, 0, 5, -1, 3], [0, 2], 0, f"parents[2] = 5, the parent of enabled_indexes[1], is outside {RANGE}"),
    (PARENTS, [0], -1, "trailing_count = -1 is negative; it must be 0 or more"),
    (PARENTS, [0, 1], LARGEST, f"trailing_count = {LARGEST} with 2 enabled entries makes {LARGEST + 2} entries, "
                               f"more than the largest count {LARGEST}"),
])
def test_bad_setup_is_refused_and_changes_nothing(parents, enabled, trailing, message):
    gen = step(1, [3, 0], parents)
    enabled_array = int32s(enabled)
    before = state(gen, enabled_array)
    with pytest.raises(RuntimeError) as refused:
        gen.SetParticlesEnabledIndexes(6, enabled_array, trailing)
    assert str(refused.value) == "SetParticlesEnabledIndexes: " + message
    assert state(gen, enabled_array) == before


def test_native_code_takes_the_generator_by_shared_pointer(stubs_dir):
    sys.path.insert(0, stubs_dir)
    try:
        pointers = importlib.import_module("_vireo20_generator_pointers")
    finally:
        sys.path.pop(0)
    gen = Generator(int32s(PARENTS))
    gen.SetParticlesEnabledIndexes(7, int32s([1]), 0)
    assert pointers.boost_timestep(gen) == pointers.std_timestep(gen) == 7


def test_worked_examples():
    generator = step()
    assert generator.Sum(doubles([1, 2, 3, 4, 9])).to_numpy().tolist() == [5, 5, 9]
    assert generator.TakeAny(doubles([1, 2, 3, 4, 9])).to_numpy().tolist() == [4, 3, 9]
    taken = generator.TakeAny(ints([10, 20, 30, 40, 90]))
    assert (type(taken).__name__, taken.to_numpy().tolist()) == ("GridFunction_int32", [40, 30, 90])
    assert generator.WeightedAverage(doubles([1, 2, 3, 4, 9]), masses()).to_numpy().tolist() == [2.5, 2.75, 9]
    weightless = generator.WeightedAverage(doubles([1, 2, 3, 4, 9]), masses([0.0] * 5)).to_numpy()
    assert np.isnan(weightless[:2]).all() and weightless[2] == 9
    assert step(0).GetParticleIds().to_numpy().tolist() == [3, 0]
    assert step(2).GetParticleIds().to_numpy().tolist() == [3, 0, 5, 6]
    assert step(0, enabled=[1, 2]).GetParticleIds().to_numpy().tolist() == [0]


def test_contacts_are_remapped_in_place_on_the_object_passed_in():
    generator = step()
    ids = ints([2, 4, 7, -1])
    assert generator.GetContactParentIDFrom(ids) is ids
    assert ids.to_numpy().tolist() == [0, 3, 7, -1]
    ids = ints([2, 4, 7, -1])
    assert generator.GetContactParentIDTo(ids, ints([0, 1, 0, 0])) is ids
    assert ids.to_numpy().tolist() == [0, 4, 7, -1]
    assert generator.GetContactParentIDFrom(None) is None
    assert generator.GetContactParentIDTo(ids, None) is None
    assert ids.to_numpy().tolist() == [0, 4, 7, -1]


def test_contacts_over_the_parent_table_itself_follow_the_plain_loop():
    # Each replacement can change a later lookup, so only the loop's own order gives the result.
    rng = np.random.default_rng(5)
    table = rng.integers(-1, 300_000, size=300_000).astype(np.int32)
    expected = table.tolist()
    for i, v in enumerate(expected):
        if v >= 0 and expected[v] >= 0:
            expected[i] = expected[v]
    parents = int32s(table)
    generator = Generator(parents)
    generator.GetContactParentIDFrom(quill20.grid_function_class("int32")(parents, 1))  # shares the storage
    assert parents.to_numpy().tolist() == expected


def test_particles_topology_and_geometry():
    generator = step(0)
    topology = generator.CreateParticlesTopology()
    assert (topology.number_of_cells(), topology.number_of_vertices()) == (2, 2)
    assert topology.cells_index.storage == "vtk"
    assert step(1).CreateParticlesTopology().connectivity.to_numpy().tolist() == [1, 0, 1, 1, 1, 2]
    assert Generator(None).CreateParticlesTopology().number_of_cells() == 0
    coordinates = quill20.array([[0, 0, 0], [2, 0, 0], [4, 0, 0], [8, 0, 0]], dtype="float64")
    points = quill20.ParticlePointsArray(coordinates, 0)
    geometry = generator.CreateParticlesGeometry(topology, points, masses([1.0] * 5))
    assert geometry.points().tolist() == [[4, 0, 0], [3, 0, 0]]
    assert (geometry.point(1), geometry.cell_center(0)) == ((3, 0, 0), (4, 0, 0))
    source = geometry.points_source
    assert source.previous_coordinates.to_numpy().tolist() == coordinates.to_numpy().tolist()
    assert (source.leading_count, source.trailing_count) == (2, 0)
    assert points.coordinates.to_numpy().tolist()[3] == [8, 0, 0], "the caller's points stay as they were"
    empty = generator.CreateParticlesGeometry(topology, quill20.ParticlePointsArray(), None)
    assert empty.points_source.coordinates is None


def test_results_live_in_vtk_storage_and_views_share_it():
    generator = step()
    results = [generator.Sum(doubles([1, 2, 3, 4, 9])), generator.TakeAny(ints([1, 2, 3, 4, 9])),
               generator.GetParticleIds(),
               generator.CoordsWeightedAverage(quill20.array(np.ones((5, 3))), masses())]
    for result in results:
        values = getattr(result, "array", result)
        assert values.storage == "vtk"
        assert np.shares_memory(result.to_numpy(), vtk_to_numpy(values.to_vtk()))


def test_nothing_to_upscale_gives_empty_results():
    generator = Generator(int32s(PARENTS))
    assert len(generator.Sum(None)) == 0
    assert len(generator.WeightedAverage(None, None)) == 0
    assert generator.CoordsWeightedAverage(None, masses()).to_numpy().shape == (0, 3)
    assert generator.GetParticleIds().to_numpy().tolist() == []
    with pytest.raises(RuntimeError, match="^Invalid values data$"):
        generator.TakeAny(None)


@pytest.mark.parametrize("call, message", [
    (lambda g, v, m, c: g.Sum(None), "^Invalid values data$"),
    (lambda g, v, m, c: g.WeightedAverage(v, None), "^Invalid values and mass data$"),
    (lambda g, v, m, c: g.WeightedAverage(v, masses(MASSES[:4])), "^Invalid size mass array size: 4 expecting: 5$"),
    (lambda g, v, m, c: g.CoordsWeightedAverage(c, masses(MASSES[:4])), r"^Invalid size\.$"),
    (lambda g, v, m, c: g.CreateParticlesGeometry(g.CreateParticlesTopology(), quill20.ParticlePointsArray(c, 1),
                                                  masses(MASSES[:4])), r"^Invalid size\.$"),
    (lambda g, v, m, c: g.TakeAny(quill20.grid_function([1, 2, 3, 4, 5], dtype="float32")),
     "^Grid function scalar type not supported: float32$"),
    (lambda g, v, m, c: g.Sum(doubles([1, 2, 3, 4])), r"^Sum: values has 4 entries; it needs at least 5 \(4 enabled"),
    (lambda g, v, m, c: g.TakeAny(ints([1])), "^TakeAny: values has 1 entries"),
    (lambda g, v, m, c: g.CoordsWeightedAverage(quill20.array(np.ones((2, 3))), m), "^CoordsWeightedAverage: coordinates has 2"),
    (lambda g, v, m, c: g.CoordsWeightedAverage(c, None), "^CoordsWeightedAverage: masses is None"),
    (lambda g, v, m, c: g.GetContactParentIDFrom(doubles([1, 2])), "^GetContactParentIDFrom: ids must be an int32 grid function"),
    (lambda g, v, m, c: g.GetContactParentIDTo(ints([1, 2]), doubles([0, 0])), "^GetContactParentIDTo: kinds must be an int32"),
    (lambda g, v, m, c: g.GetContactParentIDTo(ints([1, 2]), ints([0])), "^GetContactParentIDTo: kinds has 1 entries, fewer than the 2 ids$"),
    (lambda g, v, m, c: g.CreateParticlesGeometry(None, quill20.ParticlePointsArray(c), m), "^CreateParticlesGeometry: topology is None"),
    (lambda g, v, m, c: g.CreateParticlesGeometry(g.CreateParticlesTopology(), None, m), "^CreateParticlesGeometry: points is None"),
])
def test_bad_reduction_input_is_refused_and_changes_nothing(call, message):
    generator = step()
    values, mass_array = doubles([1, 2, 3, 4, 9]), masses()
    coordinates = quill20.array(np.arange(15.0).reshape(5, 3))
    before = state(generator, values, mass_array, coordinates)
    with pytest.raises(RuntimeError, match=message):
        call(generator, values, mass_array, coordinates)
    assert state(generator, values, mass_array, coordinates) == before


def test_wrong_python_types_are_refused_by_the_binding():
    generator = step()
    for call in (lambda: generator.Sum(ints([1, 2, 3, 4, 5])), lambda: generator.WeightedAverage(doubles([1]), doubles([1])),
                 lambda: generator.Sum(np.ones(5)), lambda: generator.CreateParticlesTopology(1)):
        with pytest.raises(TypeError):
            call()


def test_shared_enabled_list_changed_after_setup_is_read_or_refused():
    parents, enabled = int32s(PARENTS), int32s(ENABLED)
    generator = Generator(parents)
    generator.SetParticlesEnabledIndexes(0, enabled, 0)
    enabled[0] = 2  # still a source particle: the query reads the changed entry
    assert generator.WeightedAverage(doubles([1, 2, 3, 4]), masses()).to_numpy().tolist() == [(5 + 4) / 6, 2.75]
    enabled[0] = 99
    with pytest.raises(RuntimeError, match=r"enabled_indexes\[0\] = 99 was changed after SetParticlesEnabledIndexes"):
        generator.GetParticleIds()
    enabled.resize(2)
    with pytest.raises(RuntimeError, match="now has 2 entries, fewer than the 4 it was grouped with"):
        generator.CoordsWeightedAverage(quill20.array(np.ones((4, 3))), masses())
    assert generator.Sum(doubles([1, 2, 3, 4])).to_numpy().tolist() == [5, 5], "sums need only the grouping"


def test_enabled_list_shared_with_numpy_and_rewritten_by_a_thread_gives_results_or_refusals():
    """The module holds the interpreter lock through every call, so another thread's writes land
    between calls: each call must see one list, and either refuse its first bad entry or return the
    result over that list."""
    rng = np.random.default_rng(3)
    n, trailing = 50_000, 3
    parents = np.where(rng.random(n) < 0.3, -1, rng.integers(0, n, n)).astype(np.int32)
    listed = rng.permutation(n)[:40_000].astype(np.int32)
    original = listed.copy()
    generator = Generator(quill20.asarray(parents))
    generator.SetParticlesEnabledIndexes(0, quill20.asarray(listed), trailing)
    model = Model(parents, original, trailing)
    rows = rng.normal(size=len(listed) + trailing)
    weights = rng.uniform(0.5, 2.0, n)
    coordinates = rng.normal(size=(len(listed) + trailing, 3))
    first_members = np.unique(model.group, return_index=True)[1]
    refusal = re.compile(r"^(\w+): enabled_indexes\[(\d+)\] = (-?\d+) was changed after SetParticlesEnabledIndexes "
                         rf"and no longer names one of the {n} source particles$")
    calls = {
        "WeightedAverage": lambda: generator.WeightedAverage(doubles(rows), masses(weights)).to_numpy(),
        "CoordsWeightedAverage": lambda: generator.CoordsWeightedAverage(quill20.array(coordinates), masses(weights)).to_numpy(),
        "GetParticleIds": lambda: generator.GetParticleIds().to_numpy(),
        "Sum": lambda: generator.Sum(doubles(rows)).to_numpy(),
        "TakeAny": lambda: generator.TakeAny(doubles(rows)).to_numpy(),
    }

    def expected(name, seen):
        """The result over the list as the call saw it, with the grouping of the setup."""
        model.enabled = seen.astype(np.int64)
        if name == "WeightedAverage":
            return model.weighted_average(rows, weights)
        if name == "CoordsWeightedAverage":
            return model.coords_average(coordinates, weights)
        if name == "GetParticleIds":
            return np.concatenate([parent_ids(parents)[seen[first_members]], n + np.arange(trailing)])
        return model.sum(rows) if name == "Sum" else model.take_any(rows)

    # Odd while the other thread writes; any change between two readings means a write came between.
    version = [0]

    def check(name, seen=None):
        """Calls name; when seen (the list during the call) is known, checks the outcome against it."""
        started, before = version[0], listed.copy()
        try:
            result, refused = calls[name](), None
        except RuntimeError as error:
            result, refused = None, refusal.match(str(error))
            assert refused and refused[1] == name, str(error)
        if seen is None and (started % 2 or version[0] != started):
            return refused is not None  # changed by the other thread around the call: only the form is known
        seen = before if seen is None else seen
        bad = np.flatnonzero((seen < 0) | (seen >= n))
        if refused is not None:
            assert name not in ("Sum", "TakeAny"), "they read only the grouping"
            assert len(bad) and (int(refused[2]), int(refused[3])) == (bad[0], seen[bad[0]])
        else:
            assert name in ("Sum", "TakeAny") or len(bad) == 0 or (name == "GetParticleIds" and
                                                                     not np.isin(bad, first_members).any())
            assert_array_equal(result, expected(name, seen))
        return refused is not None

    # Rewritten through NumPy between the setup and the calls, then put back.
    changed = int(first_members[5])
    listed[changed] = n
    assert all(check(name, listed) for name in ("WeightedAverage", "CoordsWeightedAverage", "GetParticleIds"))
    listed[changed] = original[changed]
    assert not any(check(name, listed) for name in calls)

    stop = threading.Event()

    def rewrite():
        writer = np.random.default_rng(4)
        while not stop.is_set():
            where, restore = writer.integers(0, len(listed), 20), writer.random() < 0.5
            version[0] += 1
            listed[where] = writer.choice([-1, n, n + 7, 2**31 - 1, -2**31, 5], 20)
            if restore:
                listed[:] = original
            version[0] += 1

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    writer = threading.Thread(target=rewrite)
    writer.start()
    try:
        refusals = sum(check(name) for _ in range(60) for name in calls)
    finally:
        stop.set()
        writer.join()
        sys.setswitchinterval(interval)
    assert refusals > 0, "the rewriting thread never got in between calls"


def test_the_module_and_its_class_have_no_docstrings():
    names = [name for name in vars(Generator) if not name.startswith("__")] + ["__init__"]
    assert len(names) == 14
    assert _vireo20upscaling.__doc__ is None and Generator.__doc__ is None
    assert all(getattr(Generator, name).__doc__ is None for name in names)


CRASH_PRONE = {
    "array without storage, resized": """
        gf = _vireo20upscaling.MPUpscalingGenerator(None).Sum(None)
        values = gf.array
        values.resize(5)
        for call in (lambda: values[0], lambda: values.__setitem__(0, 1.0), lambda: generator.Sum(gf)):
            try: call()
            except (IndexError, RuntimeError, TypeError): pass
    """,
    "points resized under a geometry": """
        coordinates = quill20.array(np.ones((5, 3)))
        geometry = generator.CreateParticlesGeometry(generator.CreateParticlesTopology(),
                                                     quill20.ParticlePointsArray(coordinates, 1), quill20.array([1.0] * 5))
        geometry.points_source.coordinates.resize(1)
        for call in (geometry.points, lambda: geometry.point(2), lambda: geometry.cell_center(2)):
            try: call()
            except (IndexError, RuntimeError): pass
    """,
    "parent table resized after setup": """
        parents.resize(1)
        for call in (generator.GetParticleIds, lambda: generator.WeightedAverage(quill20.grid_function([1.0] * 5), quill20.array([1.0]))):
            try: call()
            except RuntimeError: pass
        generator.GetContactParentIDFrom(quill20.grid_function([0, 3, 4], dtype="int32"))
    """,
}


@pytest.mark.parametrize("name", CRASH_PRONE)
def test_crash_prone_inputs_do_not_crash(name):
    script = textwrap.dedent("""
        import numpy as np, quill20, _vireo20upscaling
        parents = quill20.array([-1, 0, 0, -1, 3], dtype="int32")
        generator = _vireo20upscaling.MPUpscalingGenerator(parents)
        generator.SetParticlesEnabledIndexes(0, quill20.array([4, 1, 0, 3], dtype="int32"), 1)
    """) + textwrap.dedent(CRASH_PRONE[name]) + "\nprint('survived')\n"
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and "survived" in done.stdout, done.stderr


def test_large_step_split_over_threads_matches_the_model():
    rng = np.random.default_rng(11)
    n = 600_000
    parents = np.where(rng.random(n) < 0.25, -1, rng.integers(0, n, n)).astype(np.int32)
    enabled = rng.permutation(n)[:500_000].astype(np.int32)
    generator, model = step(7, enabled, parents), Model(parents, enabled, 7)
    assert model.u > 2 * 65536, "enough upscaled particles for more than one thread"
    rows = rng.normal(size=len(enabled) + 7)
    weights = rng.uniform(0.5, 2.0, n)
    coordinates = rng.normal(size=(len(enabled) + 7, 3))
    assert_array_equal(generator.Sum(doubles(rows)).to_numpy(), model.sum(rows))
    assert_array_equal(generator.TakeAny(doubles(rows)).to_numpy(), model.take_any(rows))
    assert_array_equal(generator.WeightedAverage(doubles(rows), masses(weights)).to_numpy(),
                       model.weighted_average(rows, weights))
    assert_array_equal(generator.CoordsWeightedAverage(quill20.array(coordinates), masses(weights)).to_numpy(),
                       model.coords_average(coordinates, weights))
