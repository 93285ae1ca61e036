"""The VTK data arrays handed out by to_vtk(): resizing, reallocating or emptying one through VTK never
leaves quill20 or the generator reading freed memory; every later use says what happened instead."""
import subprocess
import sys

import pytest

# Run apart: before the fix the generator read freed memory here (exit 139).
SCRIPT = """
import sys
import numpy
import quill20
import _vireo20upscaling

operation, target = sys.argv[1], sys.argv[2]
parents = quill20.array([-1, 0, 0, -1], dtype="int32", storage="vtk")
generator = _vireo20upscaling.MPUpscalingGenerator(parents)
generator.SetParticlesEnabledIndexes(0, quill20.array([0, 1, 2, 3]), 0)
values = quill20.grid_function([1.0, 2.0, 3.0, 4.0], storage="vtk")
masses = quill20.array([1.0, 1.0, 2.0, 2.0])
changed = parents if target == "parents" else values.array
view = changed.to_numpy()
before = view.copy()
spare = numpy.zeros(8, dtype=view.dtype)
exec("changed.to_vtk()." + operation)
readers = {"parents": [lambda: generator.GetParticleIds(), lambda: generator.SetParticlesEnabledIndexes(1, quill20.array([1]), 0),
                        lambda: generator.GetContactParentIDFrom(quill20.grid_function([0, 1]))],
           "values": [lambda: generator.Sum(values), lambda: generator.WeightedAverage(values, masses),
                      lambda: generator.TakeAny(values)]}[target]
for number, call in enumerate(readers + [lambda: changed.to_numpy(), lambda: numpy.asarray(changed),
                                         lambda: changed.resize(9), lambda: changed.make_unique(), lambda: changed[0]]):
    try:
        call()
    except RuntimeError as error:
        assert "changed through VTK, not through quill20" in str(error), str(error)
    else:
        sys.exit(f"call {number} was not refused")
assert generator.GetCurrentTimestepIndex() == 0, "a refused setup changes nothing"
assert (view == before).all(), "the memory that views and arrays saw is still theirs"
del generator, values, changed, parents, view
assert quill20._quill20.live_vtk_storages() == 0
kept = quill20.array([1.0, 2.0], storage="vtk").to_vtk()
assert quill20._quill20.live_vtk_storages() == 0 and kept.GetValue(1) == 2.0, "VTK keeps what it holds"
print("refused")
"""


@pytest.mark.parametrize("target", ["parents", "values"])
@pytest.mark.parametrize("operation", ["Initialize()", "SetNumberOfTuples(1000000)", "Resize(1000000)",
                                       "SetNumberOfTuples(2)", "SetNumberOfComponents(2)",
                                       "SetVoidArray(spare, 8, 1)"])
def test_a_vtk_array_changed_through_vtk_is_refused_not_read(operation, target):
    result = subprocess.run([sys.executable, "-X", "faulthandler", "-c", SCRIPT, operation, target],
                            capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout.strip()) == (0, "refused"), result.stderr[-3000:]
