"""The upscale job and the generator end to end: files read back through VTK and opened by ParaView,
LAMMPS dumps against .npz, the generator against LAMMPS's own centres of mass, bad input, Dask."""
import gzip
import json
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import numpy as np
import pytest
from numpy.testing import assert_array_equal
from vtkmodules.util.numpy_support import vtk_to_numpy
from vtkmodules.vtkIOXML import vtkXMLPolyDataReader

import quill20
import _vireo20upscaling  # after quill20, whose converters it uses
from upscaling_model import SANITIZED, Model, lammps_frames, molecule_parents, parent_ids, run_lammps, tool_environment
from vireo20 import api, cli, read_npz
from vireo20.read_lammps import LammpsDump
from vireo20.synthetic import SyntheticSeries

# Debian's tornado warns when Dask starts its event loop.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")
LAMMPS_DATA = os.path.join(os.path.dirname(__file__), "..", "data", "lammps")
QUIET = {"echo": lambda line: None}
NEEDS_LMP = pytest.mark.skipif(shutil.which("lmp") is None, reason="no lmp (Debian package lammps)")


def read_vtp(path):
    reader = vtkXMLPolyDataReader()
    reader.SetFileName(str(path))
    reader.Update()
    data = reader.GetOutput()
    arrays = lambda fields: {fields.GetArrayName(i): vtk_to_numpy(fields.GetArray(i))
                             for i in range(fields.GetNumberOfArrays())}
    return {"points": vtk_to_numpy(data.GetPoints().GetData()),
            "verts": vtk_to_numpy(data.GetVerts().GetConnectivityArray()),
            "lines": vtk_to_numpy(data.GetLines().GetConnectivityArray()).reshape(-1, 2),
            **arrays(data.GetPointData()), **arrays(data.GetFieldData())}


def pvd_entries(path):
    return [(d.get("timestep"), d.get("file")) for d in ElementTree.parse(path).iter("DataSet")]


def test_step_files_hold_the_results(tmp_path):
    series = SyntheticSeries(clusters=40, steps=3, seed=5)
    output = api.run(series, tmp_path, lammps_dump=tmp_path / "up.dump", **QUIET)
    assert pvd_entries(output.pvd) == [("0", "upscaled_000000.vtp"), ("100", "upscaled_000001.vtp"),
                                       ("200", "upscaled_000002.vtp")]
    dump = open(tmp_path / "up.dump").read().split("ITEM: TIMESTEP\n")[1:]
    for frame, text in zip(series, dump):
        step = frame.load()
        model = Model(step.parents, step.enabled, step.trailing)
        got = read_vtp(tmp_path / f"upscaled_{step.index:06d}.vtp")
        centres = model.coords_average(step.coords, step.masses)
        assert_array_equal(got["points"], centres)
        assert_array_equal(got["verts"], np.arange(model.u + model.t))
        assert_array_equal(got["parent_id"], model.ids)
        assert_array_equal(got["element_particle_index"], model.element)
        assert_array_equal(got["mass"], model.sum(step.entry_masses))
        velocity = step.values["velocity"]
        assert_array_equal(got["velocity"], np.stack(
            [model.weighted_average(velocity[:, k], step.masses) for k in range(3)], axis=1))
        assert_array_equal(got["cluster_size"], model.take_any(step.values["cluster_size"]))
        # Contacts between particles of different parents, as lines between those parents' centres.
        pid = parent_ids(step.parents)[step.contacts]
        expected = pid[(step.contact_kinds == 0) & (pid[:, 0] != pid[:, 1])]
        assert len(expected) and (step.contact_kinds == 1).any()
        assert_array_equal(got["parent_id"][got["lines"]], expected)
        rows = np.array([line.split() for line in text.splitlines()[8:]], dtype=np.float64)
        assert_array_equal(rows[:, 0], model.ids + 1)
        assert_array_equal(rows[:, 3:6], centres)
    assert os.path.getsize(output.picture) > 10000


def test_command_line_chooses_the_reductions(tmp_path, capsys):
    args = ["upscale", "--clusters", "30", "--steps", "1", "--out", str(tmp_path)]
    done = subprocess.run([sys.executable, "-m", "vireo20", *args, "--sum", "cluster_size", "--any", "velocity"],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert done.stdout.count("E=") == 1 and "upscaled.pvd" in done.stdout
    step = next(iter(SyntheticSeries(clusters=30, steps=1))).load()
    model = Model(step.parents, step.enabled, step.trailing)
    got = read_vtp(tmp_path / "upscaled_000000.vtp")
    assert_array_equal(got["cluster_size"], model.sum(step.values["cluster_size"]))
    assert_array_equal(got["velocity"], np.stack(
        [model.take_any(step.values["velocity"][:, k]) for k in range(3)], axis=1))
    assert cli.main(args + ["--average", "charge"]) == 1
    assert "array 'charge': no such value array to reduce" in capsys.readouterr().err


@NEEDS_LMP
def test_lammps_reads_the_upscaled_dump_back(tmp_path):
    output = api.run(SyntheticSeries(clusters=30, steps=2, seed=2), tmp_path, lammps_dump=tmp_path / "up.dump", **QUIET)
    (tmp_path / "in.read").write_text(
        "units lj\natom_style atomic\nregion box block 0 1 0 1 0 1\ncreate_box 1 box\nmass 1 1.0\n"
        "read_dump up.dump 100 x y z box yes add yes\nprint \"ATOMS $(atoms)\"\n")
    printed = run_lammps(tmp_path, "in.read")
    assert f"ATOMS {len(read_vtp(tmp_path / output.series[1][1])['points'])}" in printed, printed


def _npz_from_unwrapped(dump, folder):
    os.makedirs(folder)
    for index, (timestep, atoms) in enumerate(lammps_frames(dump).items()):
        ids = atoms[:, 0].astype(np.int64)
        masses = np.zeros(int(ids.max()))
        masses[ids - 1] = atoms[:, 2]
        np.savez(os.path.join(folder, f"step_{index}.npz"), parents=molecule_parents(ids, atoms[:, 1].astype(np.int64)),
                 masses=masses, enabled=ids - 1, timestep=timestep, coords=atoms[:, 3:6])


@pytest.fixture(scope="module")
def lammps_dumps(tmp_path_factory):
    """The dumps of tests/data/lammps/in.clumps: made afresh by LAMMPS when `lmp` is here, else the committed ones."""
    if shutil.which("lmp") is None:
        return LAMMPS_DATA
    folder = tmp_path_factory.mktemp("lammps")
    for name in ("in.clumps", "pair.mol", "quad.mol"):
        shutil.copy(os.path.join(LAMMPS_DATA, name), folder)
    run_lammps(folder, "in.clumps")
    return str(folder)


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gz"])
def test_lammps_dump_gives_the_centres_of_the_npz_route(tmp_path, lammps_dumps, compressed):
    wrapped = os.path.join(lammps_dumps, "clumps.dump")
    if compressed:
        with open(wrapped, "rb") as source, gzip.open(tmp_path / "clumps.dump.gz", "wb") as target:
            shutil.copyfileobj(source, target)
        wrapped = str(tmp_path / "clumps.dump.gz")
    _npz_from_unwrapped(os.path.join(lammps_dumps, "clumps_unwrapped.dump"), tmp_path / "npz")
    dump = api.run(api.open_input(wrapped, os.path.join(lammps_dumps, "contacts.dump")), tmp_path / "from_dump", **QUIET)
    npz = api.run(api.open_input(str(tmp_path / "npz")), tmp_path / "from_npz", **QUIET)
    assert pvd_entries(dump.pvd) == pvd_entries(npz.pvd)
    assert len(dump.series) == 9
    lines = 0
    for _, name in dump.series:
        a, b = read_vtp(tmp_path / "from_dump" / name), read_vtp(tmp_path / "from_npz" / name)
        assert_array_equal(a["parent_id"], b["parent_id"])
        assert_array_equal(a["points"], b["points"])
        assert set(a) >= {"mol", "vx", "type"}
        lines += len(a["lines"])
    assert lines > 0


def _npz_input(folder):
    """Three steps of the built-in data set as .npz files: (the input, the third step's file)."""
    os.makedirs(folder)
    for frame in SyntheticSeries(clusters=12, steps=3, seed=3, duration=0.1):
        read_npz.save_step(os.path.join(folder, f"step_{frame.index}.npz"), frame.load())
    return str(folder), os.path.join(folder, "step_2.npz")


def _frame_starts(text):
    return [match.start() for match in re.finditer("ITEM: TIMESTEP", text)]


def _dump_input(folder):
    """The first three frames of the committed dump: (the input, the same file)."""
    os.makedirs(folder)
    text, path = open(os.path.join(LAMMPS_DATA, "clumps.dump")).read(), os.path.join(folder, "clumps.dump")
    open(path, "w").write(text[:_frame_starts(text)[3]])
    return path, path


def _npz_change(change):
    def spoil(path):
        arrays = dict(np.load(path))
        change(arrays)
        np.savez(path, **arrays)
    return spoil


def _third_frame(edit):
    def spoil(path):
        text = open(path).read()
        start = _frame_starts(text)[2]
        assert "\n12 6 " in text[start:]
        open(path, "w").write(text[:start] + edit(text[start:]))
    return spoil


def _drop_mass(frame):
    def drop(line):
        words = line.split()
        if line.startswith("ITEM: ATOMS"):
            words.remove("mass")
        elif not line.startswith("ITEM") and len(words) > 3:
            del words[2]
        return " ".join(words)
    return "".join(drop(line) + "\n" for line in frame.splitlines())


def _cut_gzip(path):
    packed = gzip.compress(open(path, "rb").read())
    open(path + ".gz", "wb").write(packed[:int(len(packed) * 0.9)])
    return path + ".gz"


def _cut(keep):
    return lambda path: os.truncate(path, keep(os.path.getsize(path)))


SHORT_COORDS = _npz_change(lambda a: a.update(coords=a["coords"][1:]))
MALFORMED = {  # input, spoiler (answers the spoiled file when it made a new one), message, options
    "npz missing array": (_npz_input, _npz_change(lambda a: a.pop("masses")), "step 200: array 'masses': missing"),
    "npz wrong length": (_npz_input, SHORT_COORDS, "step 200: array 'coords': shape"),
    "npz wrong length, two Dask workers": (_npz_input, SHORT_COORDS, "step 200: array 'coords': shape", "--workers=2"),
    "npz id out of range": (_npz_input, _npz_change(lambda a: a["enabled"].__setitem__(1, len(a["parents"]))),
                            "step 200: array 'enabled': id"),
    "npz truncated": (_npz_input, _cut(lambda size: size // 2),
                      "step #2 of the folder: array '-': not a readable .npz file"),
    "dump missing column": (_dump_input, _third_frame(_drop_mass), "step 50: array 'mass': missing column"),
    "dump id out of range": (_dump_input, _third_frame(lambda f: f.replace("\n12 6 ", "\n0 6 ", 1)),
                             "step 50: array 'id': atom id 0"),
    "dump truncated": (_dump_input, _cut(lambda size: size - 200), "step 50: array 'ATOMS': truncated"),
    "gz truncated": (_dump_input, _cut_gzip, "step 50: array 'ATOMS': the compressed file is damaged or cut short"),
}


@pytest.mark.parametrize("case", MALFORMED)
def test_bad_step_stops_after_the_steps_before_it(tmp_path, capsys, case):
    make_input, spoil, message, *options = MALFORMED[case]
    if options:
        pytest.importorskip("distributed")
    source, bad = make_input(tmp_path / "in")
    spoiled = spoil(bad)
    if spoiled:
        source = bad = spoiled
    assert cli.main(["upscale", source, "--out", str(tmp_path / "out"), *options]) == 1
    out, err = capsys.readouterr()
    # Dask may log its own shutdown chatter ("heartbeat from unregistered worker") when it is slow.
    ours = [line for line in err.splitlines() if not re.match(r"\S+ \S+ - distributed\.", line)]
    assert len(ours) == 1 and ours[0].startswith(f"vireo20: error: {bad}: {message}"), err
    assert [name for _, name in pvd_entries(tmp_path / "out" / "upscaled.pvd")] == [
        "upscaled_000000.vtp", "upscaled_000001.vtp"]
    assert out.count("E=") == 2


def test_wrapped_positions_without_image_flags_warn_once(tmp_path):
    frame = ("ITEM: TIMESTEP\n{}\nITEM: NUMBER OF ATOMS\n2\nITEM: BOX BOUNDS pp pp pp\n0 4\n0 4\n0 4\n"
             "ITEM: ATOMS id mol mass x y z\n1 1 1.0 0.1 1 1\n2 1 1.0 3.9 1 1\n")
    path = tmp_path / "wrapped.dump"
    path.write_text(frame.format(0) + frame.format(10))
    warnings = []
    steps = [f.load() for f in LammpsDump(str(path), warn=warnings.append)]
    assert len(steps) == 2 and len(warnings) == 1 and "WARNING" in warnings[0]
    assert_array_equal(steps[1].parents, [-1, 0])


def test_triclinic_image_flags_unwrap_with_the_tilted_box(tmp_path):
    path = tmp_path / "tilted.dump"
    # Bounds of a box [0,4]x[0,5]x[0,6] tilted by xy=1, xz=-0.5, yz=0.25, as LAMMPS writes them.
    path.write_text("ITEM: TIMESTEP\n7\nITEM: NUMBER OF ATOMS\n1\nITEM: BOX BOUNDS xy xz yz pp pp pp\n"
                    "-0.5 5 1\n0 5.25 -0.5\n0 6 0.25\nITEM: ATOMS id mol mass x y z ix iy iz\n"
                    "1 0 2.0 1.0 2.0 3.0 1 -1 2\n")
    step = next(iter(api.open_input(str(path)))).load()
    assert_array_equal(step.coords, [[1.0 + 4 - 1 - 1.0, 2.0 - 5 + 0.5, 3.0 + 12]])
    assert_array_equal(step.box, [[0, 0, 0], [4, 5, 6]])


@pytest.mark.skipif(SANITIZED, reason="Dask's worker processes would inherit the sanitizer runtime")
def test_two_dask_workers_write_what_a_serial_run_writes(tmp_path):
    pytest.importorskip("distributed")
    series = SyntheticSeries(clusters=30, steps=4, seed=9)
    for name, workers in (("serial", 0), ("dask", 2)):
        api.run(series, tmp_path / name, workers=workers, picture_step=-1, lammps_dump=tmp_path / name / "up.dump",
                **QUIET)
    names = sorted(os.listdir(tmp_path / "serial"))
    assert names == sorted(os.listdir(tmp_path / "dask")) and len(names) == 6
    for name in names:
        assert (tmp_path / "serial" / name).read_bytes() == (tmp_path / "dask" / name).read_bytes(), name


# A real simulation as a check: clumps of 1 to 6 particles moved by LAMMPS, whose own com/chunk and
# reduce/chunk give each clump's centre of mass and mass; the generator's agree on every frame.
CLUMPS_SCRIPT = """
units lj
atom_style bond
boundary m m m
read_data clumps.data
pair_style zero 1.0
pair_coeff * *
velocity all create 1.0 12345 loop geom
fix 1 all nve
variable m atom mass
compute clump all chunk/atom molecule
compute com all com/chunk clump
compute mass all reduce/chunk clump sum v_m
fix centres all ave/time 10 1 10 c_com[*] file com.txt mode vector format " %.17g"
fix masses all ave/time 10 1 10 c_mass file mass.txt mode vector format " %.17g"
dump frames all custom 10 dump.txt id mol mass xu yu zu
dump_modify frames format float %.17g
run 40
"""


def write_clumps(path, clumps=2000, seed=5):
    rng = np.random.default_rng(seed)
    sizes = rng.integers(1, 7, clumps)
    n = int(sizes.sum())
    molecule = np.repeat(np.arange(1, clumps + 1), sizes)
    types = rng.integers(1, 4, n)
    side = int(np.ceil(n ** (1 / 3)))
    index = np.arange(n)
    position = np.stack([index % side, index // side % side, index // side // side], 1) * 1.5 + 10.0
    rows = "\n".join(f"{i + 1} {molecule[i]} {types[i]} {x} {y} {z}" for i, (x, y, z) in enumerate(position))
    path.write_text(f"clumps\n\n{n} atoms\n3 atom types\n\n0 60 xlo xhi\n0 60 ylo yhi\n0 60 zlo zhi\n\n"
                    f"Masses\n\n1 1.0\n2 2.5\n3 0.7\n\nAtoms # bond\n\n{rows}\n")


@NEEDS_LMP
def test_generator_centres_and_masses_agree_with_lammps(tmp_path):
    write_clumps(tmp_path / "clumps.data")
    (tmp_path / "in.clumps").write_text(CLUMPS_SCRIPT)
    run_lammps(tmp_path, "in.clumps")
    dumps, centres, masses = (lammps_frames(tmp_path / name, columns) for name, columns in
                              (("dump.txt", 0), ("com.txt", 3), ("mass.txt", 1)))
    assert len(dumps) == 5
    for step, atoms in dumps.items():
        ids, molecule = atoms[:, 0].astype(np.int64), atoms[:, 1].astype(np.int64)
        parents = molecule_parents(ids, molecule)
        mass_of = np.zeros(len(parents))
        mass_of[ids - 1] = atoms[:, 2]
        generator = _vireo20upscaling.MPUpscalingGenerator(quill20.array(parents, dtype="int32"))
        generator.SetParticlesEnabledIndexes(step, quill20.array(ids - 1, dtype="int32"), 0)
        centre = generator.CoordsWeightedAverage(quill20.array(atoms[:, 3:6]), quill20.array(mass_of)).to_numpy()
        total = generator.Sum(quill20.grid_function(atoms[:, 2])).to_numpy()
        mol_of_atom = dict(zip(ids, molecule))
        clump = np.array([mol_of_atom[p + 1] for p in generator.GetParticleIds().to_numpy()])
        np.testing.assert_allclose(centre, centres[step][clump - 1], rtol=1e-15, atol=0, err_msg=f"step {step}")
        np.testing.assert_allclose(total, masses[step][clump - 1, 0], rtol=1e-15, atol=0, err_msg=f"step {step}")


# ParaView's Python part conflicts with python3-vtk9, so `make paraview-python` unpacks it beside the build.
PARAVIEW_PYTHON = os.environ.get("VIREO20_PARAVIEW_PYTHON") or os.path.join(
    os.environ.get("VIREO20_BUILD_DIR", "build"), "paraview-python", "usr", "lib", "python3", "dist-packages")

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


@pytest.mark.skipif(shutil.which("pvbatch") is None, reason="no pvbatch (Debian package paraview)")
@pytest.mark.skipif(not os.path.isdir(os.path.join(PARAVIEW_PYTHON, "paraview")),
                    reason=f"ParaView's Python part is not unpacked in {PARAVIEW_PYTHON}")
def test_paraview_reads_every_step(tmp_path):
    series = SyntheticSeries(clusters=25, steps=3, seed=4)
    output = api.run(series, tmp_path, echo=lambda line: None)
    script = tmp_path / "read_series.py"
    script.write_text(READ_SERIES)
    done = subprocess.run(["pvbatch", str(script), output.pvd], capture_output=True, text=True,
                          env=tool_environment(PYTHONPATH=PARAVIEW_PYTHON))
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout.split("SERIES", 1)[1])
    expected = []
    for step in (frame.load() for frame in series):
        points = len(Model(step.parents, step.enabled, step.trailing).ids)
        pid = parent_ids(step.parents)[step.contacts]
        lines = int(((step.contact_kinds == 0) & (pid[:, 0] != pid[:, 1])).sum())
        expected.append([step.timestep, points, points, lines, ["cluster_size", "mass", "parent_id", "velocity"]])
    assert seen == expected
