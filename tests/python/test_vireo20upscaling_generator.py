"""MPUpscalingGenerator from Python: grouping of a time step, element indexes, refusal of bad input."""
import gc
import importlib
import sys

import pytest

quill20 = pytest.importorskip("quill20")
import _vireo20upscaling  # noqa: E402  (after quill20, whose converters it uses)

PARENTS = [-1, 0, 0, -1, 3]
LARGEST = 2**31 - 1


def ints(values):
    return quill20.array(values, dtype="int32")


def listed(array):
    return array.to_numpy().tolist()


def generator(parents=PARENTS):
    return _vireo20upscaling.MPUpscalingGenerator(None if parents is None else ints(parents))


def state(gen):
    return gen.GetCurrentTimestepIndex(), gen.GetNumberOfEnabledParticles(), listed(gen.GetElementParticlesIndexes())


@pytest.mark.parametrize("enabled, trailing, indexes", [
    ([4, 1, 0, 3], 0, [0, 1, 1, 0]),
    ([4, 1, 0, 3], 2, [0, 1, 1, 0, 2, 3]),
    ([1, 2], 0, [0, 0]),  # the parent, particle 0, need not be enabled itself
    ([3, 3, 4, 0, 2], 1, [0, 0, 0, 1, 1, 2]),
    ([], 3, [0, 1, 2]),
    (None, 3, [0, 1, 2]),
])
def test_setup_groups_enabled_particles_by_parent(enabled, trailing, indexes):
    gen = generator()
    gen.SetParticlesEnabledIndexes(7, None if enabled is None else ints(enabled), trailing)
    result = gen.GetElementParticlesIndexes()
    assert (result.scalar_type, gen.GetNumberOfEnabledParticles(), gen.GetCurrentTimestepIndex()) == (
        "int32", max(indexes, default=-1) + 1, 7)
    del gen
    gc.collect()
    assert listed(result) == indexes, "the result outlives the generator"


def test_a_generator_without_parent_table_takes_only_empty_steps():
    gen = generator(None)
    assert state(gen) == state(generator()) == (-1, 0, []), "before any setup nothing is grouped"
    gen.SetParticlesEnabledIndexes(3, ints([]), 2)
    assert state(gen) == (3, 2, [0, 1])
    with pytest.raises(RuntimeError, match=r"enabled_indexes\[0\] = 0 is outside the particle range, which is empty"):
        gen.SetParticlesEnabledIndexes(4, ints([0]), 0)
    assert state(gen) == (3, 2, [0, 1])


RANGE = "the particle range 0..4 (5 particles)"


@pytest.mark.parametrize("parents, enabled, trailing, message", [
    (PARENTS, [4, 1, 0, 7], 0, f"enabled_indexes[3] = 7 is outside {RANGE}"),
    (PARENTS, [0, -2], 0, f"enabled_indexes[1] = -2 is outside {RANGE}"),
    ([-1, 0, 5, -1, 3], [0, 2], 0, f"parents[2] = 5, the parent of enabled_indexes[1], is outside {RANGE}"),
    (PARENTS, [0], -1, "trailing_count = -1 is negative; it must be 0 or more"),
    (PARENTS, [0, 1], LARGEST, f"trailing_count = {LARGEST} with 2 enabled entries makes {LARGEST + 2} entries, "
                               f"more than the largest count {LARGEST}"),
])
def test_bad_input_is_refused_and_changes_nothing(parents, enabled, trailing, message):
    gen = generator(parents)
    gen.SetParticlesEnabledIndexes(5, ints([3, 0]), 1)
    before = state(gen)
    enabled_array = ints(enabled)
    with pytest.raises(RuntimeError) as refused:
        gen.SetParticlesEnabledIndexes(6, enabled_array, trailing)
    assert str(refused.value) == "SetParticlesEnabledIndexes: " + message
    assert state(gen) == before
    assert listed(enabled_array) == enabled


def test_native_code_takes_the_generator_by_shared_pointer(stubs_dir):
    sys.path.insert(0, stubs_dir)
    try:
        pointers = importlib.import_module("_vireo20_generator_pointers")
    finally:
        sys.path.pop(0)
    gen = generator()
    gen.SetParticlesEnabledIndexes(7, ints([1]), 0)
    assert pointers.boost_timestep(gen) == pointers.std_timestep(gen) == 7
