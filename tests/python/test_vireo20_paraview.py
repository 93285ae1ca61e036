"""ParaView itself opens the .pvd series: every step at its timestep, with its points, cells and arrays.

Runs pvbatch (Debian's paraview) with ParaView's Python part unpacked beside the build, since
installing python3-paraview would remove python3-vtk9:
    apt-get download python3-paraview && dpkg -x python3-paraview_*.deb build/paraview-python
"""
import json
import os
import shutil
import subprocess

import pytest

import upscaling_model
from vireo20 import api
from vireo20.synthetic import SyntheticSeries

PARAVIEW_PYTHON = os.environ.get("VIREO20_PARAVIEW_PYTHON") or os.path.join(
    os.environ.get("VIREO20_BUILD_DIR", "build"), "paraview-python", "usr", "lib", "python3", "dist-packages")

pytestmark = [
    pytest.mark.skipif(shutil.which("pvbatch") is None, reason="no pvbatch (Debian package paraview)"),
    pytest.mark.skipif(not os.path.isdir(os.path.join(PARAVIEW_PYTHON, "paraview")),
                       reason=f"ParaView's Python part is not unpacked in {PARAVIEW_PYTHON}"),
]

READ_SERIES = """
import json, sys
from paraview import servermanager
from paraview.simple import OpenDataFile
series = OpenDataFile(sys.argv[1])
seen = []
for time in series.TimestepValues:
    series.UpdatePipeline(time)
    data = servermanager.Fetch(series)
    arrays = data.GetPointData()
    seen.append([time, data.GetNumberOfPoints(), data.GetNumberOfVerts(), data.GetNumberOfLines(),
                 sorted(arrays.GetArrayName(i) for i in range(arrays.GetNumberOfArrays()))])
print("SERIES" + json.dumps(seen))
"""


def test_paraview_reads_every_step(tmp_path):
    series = SyntheticSeries(clusters=25, steps=3, seed=4)
    output = api.run(series, tmp_path, echo=lambda line: None)
    script = tmp_path / "read_series.py"
    script.write_text(READ_SERIES)
    done = subprocess.run(["pvbatch", str(script), output.pvd], capture_output=True, text=True,
                          env=upscaling_model.tool_environment(PYTHONPATH=PARAVIEW_PYTHON))
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout.split("SERIES", 1)[1])
    expected = []
    for step in (frame.load() for frame in series):
        points = len(upscaling_model.Model(step.parents, step.enabled, step.trailing).ids)
        pid = upscaling_model.parent_ids(step.parents)[step.contacts]
        lines = int(((step.contact_kinds == 0) & (pid[:, 0] != pid[:, 1])).sum())
        expected.append([step.timestep, points, points, lines, ["cluster_size", "mass", "parent_id", "velocity"]])
    assert seen == expected
