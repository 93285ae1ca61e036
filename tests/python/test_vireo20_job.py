"""The upscale job and the generator end to end: files read back through VTK and opened by ParaView,
LAMMPS dumps against .npz, the generator against LAMMPS's own centres of mass, bad input, Dask."""
import gzip
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import weakref
import xml.etree.ElementTree as ElementTree

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal
from vtkmodules.util.numpy_support import vtk_to_numpy
from vtkmodules.vtkIOXML import vtkXMLPolyDataReader

import quill20
import _vireo20upscaling  # after quill20, whose converters it uses
import vireo20
from upscaling_model import SANITIZED, GeneratorStep, Model, lammps_frames, molecule_parents, parent_ids, run_lammps, tool_environment
from vireo20 import _groups, cli
from vireo20.binning import Bins
from vireo20.frames import Series
from vireo20.synthetic import SyntheticSeries

# Debian's tornado warns when Dask starts its event loop.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")
LAMMPS_DATA = os.path.join(os.path.dirname(__file__), "..", "data", "lammps")
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
            **arrays(data.GetPointData()), **arrays(data.GetFieldData()),
            **{f"cell:{k}": v for k, v in arrays(data.GetCellData()).items()}}


def pvd_entries(path):
    return [(d.get("timestep"), d.get("file")) for d in ElementTree.parse(path).iter("DataSet")]


def contact_lines(step, model):
    """One line per pair of different upscaled particles in contact, in the order the pairs first come."""
    group = np.full(step.n, -1)
    group[step.enabled] = model.group
    pairs = parent_ids(step.parents)[step.contacts]
    pairs = pairs[(step.contact_kinds == 0) & (pairs[:, 0] != pairs[:, 1])]
    entry = {p: k for k, p in enumerate(model.ids)}
    lines = {}
    for a, b in pairs:
        a, b = sorted((entry[a], entry[b]))
        lines[(a, b)] = lines.get((a, b), 0) + 1
    return np.array(list(lines), dtype=np.int64).reshape(-1, 2), np.array(list(lines.values()))


def test_step_files_hold_the_results(tmp_path):
    series = SyntheticSeries(clusters=40, steps=3, seed=5)
    # With the shapes, whose NaN anisotropy of a lone member the dump writes as nan.
    result = vireo20.run(series, tmp_path / "out", lammps_dump=tmp_path / "out" / "up.dump", shape=True)
    assert pvd_entries(result.pvd) == [("0", "upscaled_000000.vtp"), ("100", "upscaled_000001.vtp"),
                                       ("200", "upscaled_000002.vtp")]
    assert list(result.summary.timestep) == [0, 100, 200]
    dump = open(tmp_path / "out" / "up.dump").read().split("ITEM: TIMESTEP\n")[1:]
    drawn = 0
    for frame, text in zip(series, dump):
        step = GeneratorStep(frame)
        model = Model(step.parents, step.enabled, step.trailing)
        got = read_vtp(tmp_path / "out" / f"upscaled_{frame.index:06d}.vtp")
        centres = model.coords_average(frame.positions, frame.masses)
        assert_array_equal(got["points"], centres)
        assert_array_equal(got["verts"], np.arange(model.u + model.t))
        assert_array_equal(got["parent_id"], model.ids)
        assert_array_equal(got["element_particle_index"], model.element)
        assert_array_equal(got["mass"], model.sum(step.entry_masses))
        velocity = frame.columns["velocity"]
        assert_array_equal(got["velocity"], np.stack(
            [model.weighted_average(velocity[:, k], frame.masses) for k in range(3)], axis=1))
        assert_array_equal(got["cluster_size"], model.take_any(frame.columns["cluster_size"]))
        lines, counts = contact_lines(step, model)
        drawn += len(lines)
        assert_array_equal(got["lines"], lines)
        assert_array_equal(got["cell:contacts"], np.r_[np.zeros(model.u + model.t), counts])
        rows = np.array([line.split() for line in text.splitlines()[8:]], dtype=np.float64)
        assert text.splitlines()[7].startswith("ITEM: ATOMS id mol type mass xu yu zu")
        assert_array_equal(rows[:, 0], model.ids + 1)
        assert_array_equal(rows[:, 4:7], centres)
        anisotropy = rows[:, text.splitlines()[7].split()[2:].index("gyration_shape[6]")]
        assert_array_equal(np.isnan(anisotropy), got["count"] == 1)
    reader = vtkXMLPolyDataReader()
    reader.SetFileName(str(result.files[0]))
    reader.Update()
    named = reader.GetOutput().GetPointData().GetArray("gyration_shape")
    assert [named.GetComponentName(k) for k in range(6)] == ["lambda1", "lambda2", "lambda3", "asphericity",
                                                             "acylindricity", "anisotropy"]
    assert drawn and os.path.getsize(result.picture) > 2000
    # Two lines of caption above the drawing: dark text on white.
    from vtkmodules.vtkIOImage import vtkPNGReader
    png = vtkPNGReader()
    png.SetFileName(str(result.picture))
    png.Update()
    width, height, _ = png.GetOutput().GetDimensions()
    band = vtk_to_numpy(png.GetOutput().GetPointData().GetScalars()).reshape(height, width, -1)[720:]
    assert (width, height) == (840, 764) and band.min() < 100 and np.median(band) == 255


def test_the_data_sets_rows_are_gathered_as_numpy_takes_them():
    rng = np.random.default_rng(1)
    source, index = rng.normal(size=(500, 3)), rng.integers(0, 500, 200_000)
    out = np.empty((len(index), 3))
    _groups.take_rows(source.reshape(-1), 3, index, out.reshape(-1))
    assert_array_equal(out, source[index])
    index[150_000] = 500
    with pytest.raises(IndexError, match="index 500 at position 150000 is outside 0..499"):
        _groups.take_rows(source.reshape(-1), 3, index, out.reshape(-1))


def test_command_line_chooses_the_reductions(tmp_path):
    args = [sys.executable, "-m", "vireo20", "upscale", "--clusters", "30", "--steps", "1", "--out", str(tmp_path / "out")]
    # The build tree's own command, from another folder and without PYTHONPATH.
    command = os.path.join(os.path.abspath(os.environ.get("VIREO20_BUILD_DIR", "build")), "vireo20")
    environment = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    done = subprocess.run([command, *args[3:], "--sum", "cluster_size", "--any", "velocity", "--max", "velocity"],
                          capture_output=True, text=True, cwd=tmp_path, env=environment)
    assert done.returncode == 0, done.stderr
    assert done.stdout.count("E=") == 1 and "upscaled.pvd" in done.stdout and "summary.csv" in done.stdout
    frame = next(iter(SyntheticSeries(clusters=30, steps=1)))
    step = GeneratorStep(frame)
    model = Model(step.parents, step.enabled, step.trailing)
    got = read_vtp(tmp_path / "out" / "upscaled_000000.vtp")
    assert_array_equal(got["cluster_size"], model.sum(frame.columns["cluster_size"]))
    assert_array_equal(got["velocity_any"], np.stack(
        [model.take_any(frame.columns["velocity"][:, k]) for k in range(3)], axis=1))
    assert "velocity_max" in got and "velocity" not in got
    done = subprocess.run([*args, "--average", "charge"], capture_output=True, text=True)
    assert done.returncode == 1 and "array 'charge': no such value array to reduce" in done.stderr


@pytest.mark.parametrize("words", [["IN", "--mass", "1=1", "2=2.5"], ["--mass", "1=1", "2=2.5", "IN"],
                                   ["IN", "--mass", "1=1", "--mass", "2=2.5"], ["--density", "2500", "IN"]])
def test_masses_by_type_follow_one_flag_or_several(tmp_path, words):
    dump = tmp_path / "in.dump"
    dump.write_text("")
    words = [str(dump) if word == "IN" else word for word in words]
    args = cli.inputs_after_options(cli.parser().parse_args(["upscale", *words, "--out", "up"]))
    assert (args.mass or args.density) in (["1=1", "2=2.5"], ["2500"]) and args.input == [str(dump)]
    # A mistyped mass stays a mass, for the mass rule to name.
    args = cli.inputs_after_options(cli.parser().parse_args(["upscale", str(dump), "--mass", "1:2.5", "--out", "up"]))
    assert args.mass == ["1:2.5"] and args.input == [str(dump)]


def test_dump_locals_among_the_inputs_are_the_contacts(tmp_path):
    atoms, first, second = tmp_path / "dump.0", tmp_path / "pairs.0", tmp_path / "pairs.10"
    atoms.write_text("ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n0\nITEM: BOX BOUNDS pp pp pp\n0 1\n0 1\n0 1\n"
                     "ITEM: ATOMS id x y z\n")
    for path in (first, second):
        path.write_text(atoms.read_text().replace("ATOMS", "ENTRIES").replace("id x y z", "a b"))
    for words, contacts in [([atoms, first], str(first)), ([first, atoms, second], [str(first), str(second)]),
                            ([atoms, "--contacts", first, second], [str(first), str(second)]),
                            ([atoms, tmp_path / "pairs.*"], str(tmp_path / "pairs.*"))]:   # a quoted pattern
        args = cli.inputs_after_options(cli.parser().parse_args(["upscale", *map(str, words), "--out", "up"]))
        assert args.input == [str(atoms)] and args.contacts == contacts
    # A dump local alone stays the input, for the reader to say what it is.
    args = cli.inputs_after_options(cli.parser().parse_args(["upscale", str(first), str(second), "--out", "up"]))
    assert args.input == [str(first), str(second)] and args.contacts is None


@NEEDS_LMP
def test_lammps_reads_the_upscaled_dump_back(tmp_path):
    result = vireo20.run(SyntheticSeries(clusters=30, steps=2, seed=2), tmp_path / "out",
                         lammps_dump=tmp_path / "up.dump")
    (tmp_path / "in.read").write_text(
        "units lj\natom_style atomic\natom_modify map yes\nregion box block 0 1 0 1 0 1\ncreate_box 1 box\n"
        "mass 1 1.0\nread_dump up.dump 100 x y z box yes add keep\n"
        "print \"ATOMS $(atoms) X $(x[{id}]:%.17g)\"\n".format(id=read_vtp(result.files[1])["parent_id"][0] + 1))
    printed = run_lammps(tmp_path, "in.read")
    points = read_vtp(result.files[1])["points"]
    atoms, x = re.search(r"ATOMS (\d+) X (\S+)", printed).groups()
    assert (int(atoms), float(x)) == (len(points), points[0, 0]), printed
    # And the job itself, as a second stage: the upscaled particles binned, the columns named as the
    # job's own arrays kept apart (with their reductions) and said so once.
    told = []
    again = vireo20.run(tmp_path / "up.dump", tmp_path / "again", bins=["z:2"], reductions={"count": "sum"},
                        picture_step=None, warn=told.append)
    assert len(told) == 1 and "column 'count' is written as 'count_input', column 'radius_of_gyration'" in told[0]
    for first, second in zip(result.files, again.files):
        first, second = read_vtp(first), read_vtp(second)
        assert second["count_input"].sum() == first["count"].sum()
        assert second["count"].sum() == len(first["count"])
        assert "radius_of_gyration_input" in second and "gyration_tensor" in second


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


def _npz_from_unwrapped(dump, folder):
    """The frames of an unwrapped dump as an npz folder of the particle layout."""
    os.makedirs(folder)
    for index, (timestep, atoms) in enumerate(lammps_frames(dump).items()):
        np.savez(os.path.join(folder, f"step_{index}.npz"), timestep=timestep, positions=atoms[:, 3:6],
                 column_id=atoms[:, 0].astype(np.int64), column_mol=atoms[:, 1].astype(np.int64),
                 column_mass=atoms[:, 2], column_type=atoms[:, 7].astype(np.int64))


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gz"])
def test_wrapped_unwrapped_and_npz_inputs_give_one_series(tmp_path, lammps_dumps, compressed):
    wrapped = os.path.join(lammps_dumps, "clumps.dump")
    if compressed:
        with open(wrapped, "rb") as source, gzip.open(tmp_path / "clumps.dump.gz", "wb") as target:
            shutil.copyfileobj(source, target)
        wrapped = str(tmp_path / "clumps.dump.gz")
    _npz_from_unwrapped(os.path.join(lammps_dumps, "clumps_unwrapped.dump"), tmp_path / "npz")
    runs = {name: vireo20.run(source, tmp_path / f"out_{name}", **options) for name, source, options in (
        ("wrapped", wrapped, {"contacts": os.path.join(lammps_dumps, "contacts.dump")}),
        ("unwrapped", os.path.join(lammps_dumps, "clumps_unwrapped.dump"), {}),
        ("npz", str(tmp_path / "npz"), {}))}
    assert runs["wrapped"].timesteps == runs["npz"].timesteps == runs["unwrapped"].timesteps
    assert len(runs["wrapped"].files) == 9
    lines = 0
    for files in zip(*(r.files for r in runs.values())):
        a, b, c = (read_vtp(f) for f in files)
        # The group points come first; the wrapped run's contact lines may add images after them.
        own = len(c["points"])
        assert (a["image_of"][own:] >= 0).all() and (a["image_of"][:own] == -1).all()
        for name in ("parent_id", "group_id", "points", "mass", "type"):
            assert_array_equal(a[name][:own], c[name], err_msg=name)
            assert_array_equal(b[name], c[name], err_msg=name)
        lines += len(a["lines"])
    assert lines > 0
    # Read back as input, a series of upscaled particles has no image points among them.
    images = 0
    for frame, path in zip(vireo20.open(runs["wrapped"].pvd), runs["wrapped"].files):
        a = read_vtp(path)
        own = a["image_of"] == -1
        images += (~own).sum()
        assert "image_of" not in frame.columns
        assert_array_equal(frame.positions, a["points"][own])
        assert_array_equal(frame.columns["mass"], a["mass"][own])
    assert images > 0


def _split_by_step(dump, folder, stem):
    """The frames of a dump, one file per step as `dump ... stem.*` writes them; the file names."""
    text = open(dump).read()
    starts = [k for k in range(len(text)) if text.startswith("ITEM: TIMESTEP\n", k)] + [len(text)]
    names = []
    for start, end in zip(starts, starts[1:]):
        step = text[start:end].split("\n")[1]
        names.append(str(folder / f"{stem}.{step}"))
        with open(names[-1], "w") as out:
            out.write(text[start:end])
    return names


def test_a_run_written_one_file_per_step_gives_the_bytes_of_its_single_dump(tmp_path, lammps_dumps):
    post = tmp_path / "post"
    post.mkdir()
    files = _split_by_step(os.path.join(lammps_dumps, "clumps.dump"), post, "dump")
    _split_by_step(os.path.join(lammps_dumps, "contacts.dump"), post, "pairs")
    whole = vireo20.run(os.path.join(lammps_dumps, "clumps.dump"), tmp_path / "whole",
                        contacts=os.path.join(lammps_dumps, "contacts.dump"))
    # As the shell expands --contacts post/pairs.* post/dump.*: dump.100 before dump.25, and the atom
    # dumps after the contact files that --contacts takes.
    assert cli.main(["upscale", "--contacts", *sorted(str(p) for p in post.glob("pairs.*")), *sorted(files),
                     "--out", str(tmp_path / "split")]) == 0
    assert len(files) == len(whole.files) == 9
    for name in [os.path.basename(f) for f in whole.files] + ["upscaled.pvd"]:
        assert (tmp_path / "split" / name).read_bytes() == (tmp_path / "whole" / name).read_bytes(), name


class _KeptFrames(Series):
    """Loaders that keep the frame they read, as a streamed dump's do; counts the frames alive at
    each load, so the job must let go of each loader once its step is reduced."""

    def __init__(self, series, loads_on_every_core):
        self.series, self.alive, self.most = series, [], 0
        self.loads_on_every_core = loads_on_every_core

    def loaders(self):
        for loader in self.series.loaders():
            yield _KeepingLoader(loader, self)


class _KeepingLoader:
    def __init__(self, loader, owner):
        self.index, self.loader, self.owner = loader.index, loader, owner

    def load(self):
        self.frame = self.loader.load()
        owner = self.owner
        owner.alive = [held for held in owner.alive if held() is not None] + [weakref.ref(self.frame.positions)]
        owner.most = max(owner.most, len(owner.alive))
        return self.frame


def test_the_table_is_every_steps_upscaled_particles_as_their_files_hold_them(tmp_path):
    import pandas
    from vireo20 import write_table
    frames = list(SyntheticSeries(clusters=20, steps=3, seed=5))
    frames[1].columns["c_extra"] = np.linspace(-1, 1, len(frames[1].positions))   # one step's column alone
    frames[2].timestep = (1 << 60) + 1   # no double holds it
    result = vireo20.run(frames, tmp_path / "out", picture_step=None, table=True)
    table = result.to_pandas()
    # Read back to the same doubles (pandas's default parser may miss by an ulp); the column a step
    # lacks is empty there.
    pandas.testing.assert_frame_equal(pandas.read_csv(result.table, float_precision="round_trip"), table,
                                  check_exact=True, check_dtype=False)
    for timestep, path in zip(result.timesteps, result.files):
        # The header's names come from the file's head alone.
        assert write_table.step_names(path, timestep) == list(write_table.step_columns(path, timestep))
        got, rows = read_vtp(path), table[table.timestep == timestep]
        own = got["image_of"] < 0 if "image_of" in got else slice(None)
        assert_array_equal(rows[["x", "y", "z"]].to_numpy(), got["points"][own])
        assert_array_equal(rows[["velocity_x", "velocity_y", "velocity_z"]].to_numpy(), got["velocity"][own])
        assert rows.c_extra.isna().all() == (timestep != result.timesteps[1])


def test_some_types_are_upscaled_as_the_frame_of_those_particles_and_their_contacts(tmp_path):
    """--types keeps a type's particles, their contacts with each other and with walls (kind 1), as
    a LAMMPS group's dump and dump local would hold them: the bytes of that frame's run."""
    from vireo20.reading import particles_frame
    rng = np.random.default_rng(8)
    n = 400
    columns = {"id": rng.permutation(n) + 1, "type": rng.integers(1, 3, n), "mol": rng.integers(1, 60, n),
               "mass": rng.uniform(1, 2, n), "velocity": rng.normal(size=(n, 3))}
    columns["element"] = np.array([b"Si", b"O"])[columns["type"] - 1]   # labels name them too (CFG, XYZ)
    pairs = rng.integers(1, n + 1, (900, 2))
    kinds = (rng.random(900) < 0.2).astype(np.int64)   # walls: the second id names no particle
    whole = particles_frame("all", 0, 0, rng.uniform(0, 10, (n, 3)), columns)
    whole.contacts, whole.contact_kinds, whole.contact_values = pairs, kinds, {"f": rng.normal(size=(900, 3))}
    one = columns["type"] == 1
    part = particles_frame("all", 0, 0, whole.positions[one], {k: v[one] for k, v in columns.items()})
    ids = columns["id"][one]
    held = np.isin(pairs[:, 0], ids) & (np.isin(pairs[:, 1], ids) | (kinds != 0))
    part.contacts, part.contact_kinds, part.contact_values = pairs[held], kinds[held], \
        {"f": whole.contact_values["f"][held]}
    assert 0 < held.sum() < len(held) and (kinds[held] == 1).any()
    alone = vireo20.run([part], tmp_path / "alone", coordination=True, picture_step=None)
    for types in ([1], ["Si"]):
        chosen = vireo20.run([whole], tmp_path / str(types), types=types, coordination=True, picture_step=None)
        assert open(chosen.files[0], "rb").read() == open(alone.files[0], "rb").read()


def test_type_counts_are_each_groups_members_of_a_type_summed_or_their_fraction_by_mass(tmp_path):
    from vireo20.reading import particles_frame
    rng = np.random.default_rng(9)
    columns = {"type": rng.integers(1, 4, 300), "mol": rng.integers(1, 30, 300), "mass": rng.uniform(1, 2, 300)}
    columns["element"] = np.array([b"Si", b"O", b"C"])[columns["type"] - 1]
    frame = particles_frame("all", 0, 0, rng.uniform(0, 10, (300, 3)), columns)
    got = read_vtp(vireo20.run([frame], tmp_path / "numbers", count_types=[1, 3], picture_step=None,
                               reductions={"count_type_3": "average"}).files[0])
    for k, group in enumerate(got["group_id"]):
        kinds, mass = columns["type"][columns["mol"] == group], columns["mass"][columns["mol"] == group]
        assert got["count_type_1"][k] == (kinds == 1).sum()
        assert_allclose(got["count_type_3"][k], mass[kinds == 3].sum() / mass.sum(), rtol=1e-14)
    # A first step of no particles stores no type column.
    empty = particles_frame("all", 0, -1, np.zeros((0, 3)), {"mass": np.zeros(0), "mol": np.zeros(0, int)})
    labelled = read_vtp(vireo20.run([empty, frame], tmp_path / "labels", count_types=["Si"],
                                    picture_step=None).files[1])
    assert_array_equal(labelled["count_type_Si"], got["count_type_1"])
    # Counted again over the series written: its own counts are kept apart, as NAME_input.
    told = []
    again = read_vtp(vireo20.run(str(tmp_path / "numbers" / "upscaled.pvd"), tmp_path / "again", count_types=[1],
                                 picture_step=None, warn=told.append).files[0])
    assert_allclose(again["count_type_1_input"], got["count_type_1"], rtol=1e-15)
    assert any("'count_type_1' is written as 'count_type_1_input'" in text for text in told)


def test_particles_alone_are_known_by_their_ids_whatever_row_a_resorted_dump_gives_them(tmp_path):
    """Without a group column each particle is its own group by its id, as --group-by id makes it: its
    msd, vacf and time averages follow it when LAMMPS re-sorts the atoms; particles in no group of a
    grouped run are in no chunk of the profile, as chunk/atom molecule leaves them out."""
    rng = np.random.default_rng(8)
    n, head = 7, "ITEM: TIMESTEP\n{}\nITEM: NUMBER OF ATOMS\n7\nITEM: BOX BOUNDS pp pp pp\n0 9\n0 9\n0 9\n" \
                 "ITEM: ATOMS id mol type mass xu yu zu vx vy vz\n"
    mol, true = np.array([0, 0, 3, 3, 0, 5, 5]), rng.uniform(0, 9, (3, n, 6))
    text = ""
    for step, order in enumerate([np.arange(n), rng.permutation(n), rng.permutation(n)]):
        rows = np.column_stack([order + 1, mol[order], np.ones(n), np.ones(n), true[step][order]])
        text += head.format(step * 10) + "".join(" ".join(f"{v:.17g}" for v in row) + "\n" for row in rows)
    (tmp_path / "grouped.dump").write_text(text)
    (tmp_path / "atoms.dump").write_text(re.sub(r"(?m)^(\d+) \d+ ", r"\1 ", text.replace(" mol ", " ")))
    options = dict(msd=True, vacf=True, time_average=3, picture_step=None)
    alone = vireo20.run(str(tmp_path / "atoms.dump"), tmp_path / "alone", **options)
    by_id = vireo20.run(str(tmp_path / "grouped.dump"), tmp_path / "by_id", group_by="id", **options)
    for path, same in zip(alone.files, by_id.files):
        got, expected = read_vtp(path), read_vtp(same)
        order = np.argsort(got["group_id"])
        assert_array_equal(got["group_id"][order], np.arange(1, n + 1))
        assert_array_equal(got["parent_id"][order], np.arange(n))
        for name in ("points", "msd", "vacf", "parent_id"):
            assert_array_equal(got[name], expected[name])
    last = read_vtp(alone.files[-1])
    order = np.argsort(last["group_id"])
    assert_allclose(last["msd"][order, 3], ((true[2, :, :3] - true[0, :, :3]) ** 2).sum(axis=1), rtol=1e-12)
    profile = _profile_columns(tmp_path / "alone" / "profile.txt")
    assert_array_equal(profile["OrigID"], np.arange(1, n + 1))
    assert_allclose(profile["vx"], true[:, :, 3].mean(axis=0), rtol=1e-12)
    vireo20.run(str(tmp_path / "grouped.dump"), tmp_path / "grouped", time_average=3, picture_step=None)
    profile = _profile_columns(tmp_path / "grouped" / "profile.txt")
    assert_array_equal(profile["OrigID"], [3, 5])
    assert_array_equal(profile["Ncount"], [2, 2])
    # Bins of ids once that leave out atoms below a bound: each kept atom counted once by type.
    bounded = Bins.parse(["z:3"], bounds={"z": (3.0, "upper")})
    once = vireo20.run(str(tmp_path / "grouped.dump"), tmp_path / "once", bins=bounded, ids_once=True,
                       count_types=[1], picture_step=None)
    for path in once.files:
        assert_array_equal(read_vtp(path)["count_type_1"], read_vtp(path)["count"])
    assert read_vtp(once.files[0])["count"].sum() == (true[0, :, 2] >= 3).sum()
    # A pour's first step, empty: nothing to measure from, said before anything is written.
    (tmp_path / "pour.dump").write_text(head.replace("7", "0", 1).format(0) + text.replace("\n0\n", "\n5\n", 1))
    for refused in (dict(msd=True), dict(ids_once=True, bins=["z:3"])):
        with pytest.raises(vireo20.InputError, match="first step holds no particles"):
            vireo20.run(str(tmp_path / "pour.dump"), tmp_path / "pour", **refused)
        assert not (tmp_path / "pour").exists()


def _profile_columns(path):
    lines = open(path).read().splitlines()
    names = lines[2].split()[1:]
    rows = np.array([line.split() for line in lines[3:] if len(line.split()) == len(names)], dtype=np.float64)
    return dict(zip(names, rows.T))


@pytest.mark.parametrize("options", [{"group_by": "mol"}, {"bins": ["z:2.5"]}, {"group_by": "mol", "bins": ["z:2.5"]}],
                         ids=["groups", "bins", "bins of groups"])
def test_a_value_reduced_several_ways_writes_each_as_a_run_of_that_reduction_alone(tmp_path, options):
    """NAME_HOW, in the step files and the profile, holds what a run of that one reduction writes as NAME;
    an input column of such a name is kept apart."""
    from vireo20.reading import particles_frame
    rng = np.random.default_rng(3)
    box = vireo20.Box(np.zeros(3), np.eye(3) * 10, (True, True, True))
    frames = [particles_frame("all", t, t, rng.uniform(0, 10, (300, 3)), {
        "mol": rng.integers(1, 40, 300), "mass": rng.uniform(1, 2, 300), "velocity": rng.normal(size=(300, 3)),
        "c": rng.normal(size=300), "velocity_std": rng.normal(size=300)}, box=box) for t in range(2)]
    hows = {"velocity": ["mean", "std", "max"], "c": ["sum", "median", *(["per_volume"] if "bins" in options else [])]}
    told = []
    several = vireo20.run(frames, tmp_path / "several", reductions=hows, time_average=2, picture_step=None,
                          warn=told.append, **options)
    assert any("'velocity_std' is written as 'velocity_std_input'" in text for text in told)
    with pytest.raises(ValueError, match="--vacf needs the velocity averaged by mass"):
        vireo20.run(frames, tmp_path / "vacf", reductions={"velocity": ["mean", "std"]}, vacf=True, **options)
    profile = _profile_columns(tmp_path / "several" / "profile.txt")
    for name, each in hows.items():
        for how in each:
            one = vireo20.run(frames, tmp_path / how, reductions={name: how}, time_average=2, picture_step=None,
                              **options)
            for got, expected in zip(map(read_vtp, several.files), map(read_vtp, one.files)):
                assert name not in got
                assert_array_equal(got[f"{name}_{how}"], expected[name])
                assert_array_equal(got["velocity_std_input"], expected["velocity_std"])
            alone = _profile_columns(tmp_path / how / "profile.txt")
            for column in (column for column in alone if column.split("[")[0] == name):
                assert_array_equal(profile[column.replace(name, f"{name}_{how}", 1)], alone[column])


def test_inspect_says_what_a_run_would_read_by_the_names_its_options_take(tmp_path, capsys):
    head = "ITEM: TIMESTEP\n{}\nITEM: NUMBER OF ATOMS\n{}\nITEM: BOX BOUNDS pp pp ff\n0 10\n0 10\n0 10\n" \
           "ITEM: ATOMS id mol type x y z vx vy vz q c_cl\n"
    # A compute's cluster ids, dumped as reals, name groups; whole charges do not.
    (tmp_path / "pour.dump").write_text(head.format(0, 0) + head.format(100, 3) + "1 7 1 1 1 1 0 0 -1 1.0 4.0\n"
                                        "2 7 2 2 2 2 0 0 -2 -1.0 4.0\n3 0 1 3 3 3 0.5 0 -3 0.0 9.0\n")
    assert cli.main(["inspect", str(tmp_path / "pour.dump")]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].endswith("pour.dump (lammps): 2 frames") and lines[2] == "timestep 100: 3 particles"
    assert "box: x 0 .. 10, y 0 .. 10, z 0 .. 10; periodic: xy, positions wrapped into it" in lines
    assert "  mol       int64, 0 .. 7" in lines and "  velocity  float64 (3 components), -3 .. 0.5" in lines
    assert "groups: by 'mol': 1 group, 1 particles in none; --group-by takes an integer column (id, type, c_cl)" in lines
    assert cli.main(["inspect", str(tmp_path / "pour.dump"), "--group-by", "type"]) == 0
    assert "groups: by 'type': 2 groups, 0 particles in none; --group-by takes an integer column (id, mol, c_cl)" in \
        capsys.readouterr().out.splitlines()
    assert "masses: none: give --mass TYPE=VALUE for each type" in lines
    assert cli.main(["inspect", str(tmp_path / "pour.dump"), "--frame", "0", "--list"]) == 0
    told = capsys.readouterr().out.splitlines()
    assert "timestep 0: 0 particles" in told and told[-2:] == [f"{0:>6}  {0:>12}  {'':>12}  {0:>10}  {0:>9}",
                                                              f"{1:>6}  {100:>12}  {'':>12}  {3:>10}  {0:>9}"]
    # A compressed dump is not inflated whole to count its frames, but for a frame asked by number.
    (tmp_path / "pour.dump.gz").write_bytes(gzip.compress((tmp_path / "pour.dump").read_bytes()))
    assert cli.main(["inspect", str(tmp_path / "pour.dump.gz")]) == 0
    assert "frames not counted (a compressed file" in capsys.readouterr().out.splitlines()[0]
    # A quoted pattern of one file per step, as upscale takes it.
    (tmp_path / "pour.2.dump").write_text(head.format(200, 0))
    assert cli.main(["inspect", str(tmp_path / "pour*.dump")]) == 0
    assert capsys.readouterr().out.splitlines()[0].endswith("pour*.dump (lammps): 3 frames")
    # The built-in data set gives parents, entries and trailing ones.
    assert cli.main(["inspect"]) == 0
    told = capsys.readouterr().out
    assert "the built-in data set: 40 frames" in told and re.search(r"\d+ parents \(given by the input\)", told)


def test_frames_from_a_generator_write_what_their_list_writes(tmp_path):
    frames = list(SyntheticSeries(clusters=20, steps=4, seed=5))
    kept = vireo20.run(frames, tmp_path / "kept", picture_step=None)
    streamed = vireo20.run((frame for frame in frames), tmp_path / "streamed", picture_step=None)
    assert [open(path, "rb").read() for path in kept.files] == [open(path, "rb").read() for path in streamed.files]
    with pytest.raises(TypeError, match="gave a int at its place 1, not a Frame"):
        vireo20.run(iter([frames[0], 1]), tmp_path / "not-a-frame", picture_step=None)
    with pytest.raises(TypeError, match="no length before it ends"):
        vireo20.run(iter(frames), tmp_path / "from-the-end", picture_step=-1)


@pytest.mark.parametrize("picture_step", [0, None])
@pytest.mark.parametrize("loads_on_every_core, small", [(False, False), (True, False), (True, True)])
def test_a_run_holds_two_frames_at_most(tmp_path, monkeypatch, picture_step, loads_on_every_core, small):
    series = _KeptFrames(SyntheticSeries(clusters=20, steps=7, seed=3), loads_on_every_core)
    # Frames of 20 clusters are small; counted as large, the reader over every core waits.
    monkeypatch.setattr(sys.modules["vireo20.run"], "SMALL_FRAME", 1 << 17 if small else 0)
    vireo20.run(series, tmp_path / "out", picture_step=picture_step)
    # The frame being reduced and the one being read (one alone, where the reading ran late on a busy
    # machine), or the one being read alone once a reader over every core waits for the reduction;
    # the step being written holds none.
    assert series.most == 1 if loads_on_every_core and not small else 1 <= series.most <= 2


@pytest.mark.skipif(SANITIZED, reason="Dask's worker processes would inherit the sanitizer runtime")
def test_two_dask_workers_write_what_a_serial_run_writes(tmp_path):
    pytest.importorskip("distributed")
    series = SyntheticSeries(clusters=30, steps=4, seed=9)
    for name, workers in (("serial", 0), ("dask", 2)):
        vireo20.run(series, tmp_path / name, workers=workers, picture_step=-1, lammps_dump=tmp_path / name / "up.dump",
                    table=True)
    names = sorted(os.listdir(tmp_path / "serial"))
    assert names == sorted(os.listdir(tmp_path / "dask")) and len(names) == 10
    for name in set(names) - {"summary.csv"}:
        assert (tmp_path / "serial" / name).read_bytes() == (tmp_path / "dask" / name).read_bytes(), name
    # From the command, and from scripts that a worker would run again as it starts: one without an
    # `if __name__ == "__main__":` guard (the job again in each worker, for ever) and one on standard
    # input (no file: each worker died as it started, to be started again).
    command = os.path.join(os.path.abspath(os.environ.get("VIREO20_BUILD_DIR", "build")), "vireo20")
    script = "import vireo20\nvireo20.run(None, {!r}, clusters=30, steps=4, seed=9, workers=2)".format
    (tmp_path / "unguarded.py").write_text(script(str(tmp_path / "unguarded")))
    for name, arguments, given in (
            ("command", [command, "upscale", "--clusters", "30", "--steps", "4", "--seed", "9", "--workers", "2",
                         "--out", str(tmp_path / "command")], None),
            ("unguarded", [sys.executable, str(tmp_path / "unguarded.py")], None),
            ("stdin", [sys.executable, "-"], script(str(tmp_path / "stdin")))):
        done = subprocess.run(arguments, input=given, capture_output=True, text=True, timeout=300,
                              env=tool_environment(PYTHONPATH=os.path.dirname(vireo20.__path__[0])))
        assert done.returncode == 0, done.stderr[-3000:]
        for step in (step for step in names if step.endswith(".vtp")):
            assert (tmp_path / "serial" / step).read_bytes() == (tmp_path / name / step).read_bytes(), step


@pytest.mark.skipif(SANITIZED, reason="Dask's worker processes would inherit the sanitizer runtime")
def test_a_dask_worker_killed_as_it_starts_a_step_changes_no_byte(tmp_path):
    distributed = pytest.importorskip("distributed")
    once, always = str(tmp_path / "killed"), str(tmp_path / "always")

    class Kill(distributed.WorkerPlugin):
        """The first worker to start a step dies there (a node lost), or every one (the step's memory)."""
        def transition(self, key, start, finish, **kwargs):
            if finish == "executing" and "_remote_step" in str(key):
                try:
                    os.close(os.open(once, os.O_CREAT | os.O_EXCL))
                except FileExistsError:
                    if not os.path.exists(always):
                        return
                os.kill(os.getpid(), signal.SIGKILL)

    series = SyntheticSeries(clusters=30, steps=5, seed=4)
    vireo20.run(series, tmp_path / "serial", picture_step=-1)
    names = sorted(os.listdir(tmp_path / "serial"))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            client.register_worker_plugin(Kill())
        run = lambda: vireo20.run(series, tmp_path / "dask", scheduler=cluster.scheduler_address, picture_step=-1)
        for kills_every_worker in (False, True):
            if kills_every_worker:
                open(always, "w").close()
                with pytest.raises(RuntimeError, match="step 0: every Dask worker that ran it died"):
                    run()
            else:
                run()
            assert os.path.exists(once) and names == sorted(os.listdir(tmp_path / "dask"))
            for name in set(names) - {"summary.csv"}:
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
    result = vireo20.run(SyntheticSeries(clusters=25, steps=3, seed=4), tmp_path / "out")
    script = tmp_path / "read_series.py"
    script.write_text(READ_SERIES)
    done = subprocess.run(["pvbatch", str(script), result.pvd], capture_output=True, text=True,
                          env=tool_environment(PYTHONPATH=PARAVIEW_PYTHON))
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout.split("SERIES", 1)[1])
    expected = []
    for timestep, path in zip(result.timesteps, result.files):
        got = read_vtp(path)
        points = len(got["points"])
        names = sorted(k for k in got if k not in ("points", "verts", "lines", "element_particle_index")
                       and not k.startswith("cell:"))
        expected.append([timestep, points, len(got["verts"]), len(got["lines"]), names])
    assert seen == expected


@pytest.mark.parametrize("argv, job", [
    (["python3", "-m", "vireo20", "upscale"], True), (["python3", "-X", "importtime", "-u", "-mvireo20"], True),
    (["python3", "-m", "pytest", "-m", "vireo20"], False), (["python3", "-c", "import vireo20", "-m", "vireo20"], False),
    (["python3", "run.py", "-m", "vireo20"], False), (["python3", "-m", "vireo20.cli"], False)])
def test_the_command_line_is_told_from_other_programs(monkeypatch, argv, job):
    from vireo20 import system
    monkeypatch.setattr(sys, "orig_argv", argv)
    assert system.started_as_job() is job


@pytest.mark.skipif(SANITIZED or not vireo20.system.glibc_takes_huge_page_heap(), reason="glibc's own malloc, 2.35 on")
@pytest.mark.parametrize("before, after", [(None, "glibc.malloc.hugetlb=1"),
                                           ("glibc.malloc.check=0", "glibc.malloc.check=0:glibc.malloc.hugetlb=1")])
def test_the_job_restarts_once_with_huge_pages_for_malloc(before, after):
    code = ("import os, vireo20.system as s; print(os.getpid(), flush=True); s.restart_with_huge_page_heap(); "
            "print(os.environ['GLIBC_TUNABLES'])")
    environment = {k: v for k, v in os.environ.items() if k != "GLIBC_TUNABLES"}
    if before:
        environment["GLIBC_TUNABLES"] = before
    lines = subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True, text=True,
                           check=True).stdout.split()
    # The same process twice (exec keeps the pid), then the setting, added to what was there.
    assert len(lines) == 3 and lines[0] == lines[1] and lines[2] == after


@pytest.mark.parametrize("name", ["upscaled_000000.vtp", 'a"b.vtp', "a'b\"c&<d>.vtp", "tab\tnew\nline\r.vtp"])
def test_the_series_quotes_file_names_as_xml_does(name):
    import xml.sax.saxutils
    from vireo20 import write_vtk
    text = write_vtk.pvd_text([(7, name)])
    assert f"timestep=\"7\" group=\"\" part=\"0\" file={xml.sax.saxutils.quoteattr(name)}/>" in text
    assert ElementTree.fromstring(text)[0][0].get("file") == name


@pytest.mark.parametrize("densities, columns, expected", [
    (["2500"], {"radius": [0.5, 1.0], "type": [1, 2]}, [2500, 2500]),
    (["1=2500", "2=7800"], {"diameter": [1.0, 2.0], "type": [1, 2], "mass": [9, 9]}, [2500, 7800]),
    (["1=2500"], {"radius": [0.5, 1.0], "type": [1, 2]}, "atom type 2 on row 2 has no density"),
    (["2500"], {"mass": [1.0, 1.0], "type": [1, 2]}, "--density needs a radius or diameter column"),
    (["2500", "1=3"], {}, "--density takes one VALUE for every type"), (["-1"], {}, "a positive VALUE")])
def test_densities_give_sphere_masses_from_the_radius_as_dem_dumps_carry_it(densities, columns, expected):
    """LIGGGHTS's dumps carry radius and type, seldom mass or density."""
    from vireo20.frames import InputError

    class Step:
        def fail(self, array, problem):
            raise InputError("-", 0, array, problem)

    columns = {name: np.array(values) for name, values in columns.items()}
    if isinstance(expected, str):
        with pytest.raises((InputError, ValueError), match=expected):
            vireo20.MassRule.parse(None, densities).masses(Step(), columns)
        return
    masses, used = vireo20.MassRule.parse(None, densities).masses(Step(), columns)
    radius = columns["radius"] if "radius" in columns else columns["diameter"] / 2
    assert_array_equal(masses, 4.0 / 3.0 * np.pi * radius ** 3 * np.array(expected, dtype=float))
    assert used == (("mass",) if "mass" in columns else ())
    with pytest.raises(ValueError, match=r"masses by type \(--mass\) or densities \(--density\), not both"):
        vireo20.MassRule.parse(["1=2"], densities)


@pytest.mark.parametrize("types, message", [
    ([2, 1, 3, 1], None), ([2, 1, 4, 1], "atom type 4 on row 3 has no mass"), ([], None),
    # Types spread too wide for a table by type go through a search, with the same answers.
    ([1, 1_000_000, 3], None), ([1, 999_999, 3], "atom type 999999 on row 2 has no mass")])
def test_masses_by_type_are_each_atoms_types_mass(types, message):
    from vireo20.frames import InputError

    class Step:
        def fail(self, array, problem):
            raise InputError("-", 0, array, problem)

    given = {1: 1.0, 2: 2.5, 3: 0.7, 1_000_000: 9.0}
    rule, columns = vireo20.MassRule(given), {"type": np.array(types, dtype=np.int64), "mass": np.ones(len(types))}
    if message:
        with pytest.raises(InputError, match=message):
            rule.masses(Step(), columns)
    else:
        masses, used = rule.masses(Step(), columns)
        assert_array_equal(masses, [given[t] for t in types])
        assert used == ("mass",)  # a mass column gives way


def test_a_dump_without_its_group_column_is_upscaled_particle_by_particle_and_says_so(tmp_path):
    frame = ("ITEM: TIMESTEP\n{}\nITEM: NUMBER OF ATOMS\n2\nITEM: BOX BOUNDS pp pp pp\n0 4\n0 4\n0 4\n"
             "ITEM: ATOMS id type radius x y z\n1 1 0.5 1 1 1\n2 1 0.5 2 2 2\n")
    (tmp_path / "spheres.dump").write_text(frame.format(0) + frame.format(10))
    told = []
    result = vireo20.run(tmp_path / "spheres.dump", tmp_path / "up", densities=["2500"], warn=told.append,
                         picture_step=None)
    assert result.summary["upscaled"].tolist() == [2, 2]
    assert told == [f"{tmp_path / 'spheres.dump'}: timestep 0 has no 'mol' column: each particle is upscaled on "
                    "its own (--group-by names the column of groups)"]
    # A group column of zeros (an atomic run's mol, a GSD file's molecules without bonds) is told too.
    (tmp_path / "zeros.dump").write_text((frame.format(0) + frame.format(10)).replace("id type", "id mol type")
                                         .replace("\n1 1 0.5", "\n1 0 1 0.5").replace("\n2 1 0.5", "\n2 0 1 0.5"))
    told.clear()
    vireo20.run(tmp_path / "zeros.dump", tmp_path / "zeros", densities=["2500"], warn=told.append, picture_step=None)
    assert told == [f"{tmp_path / 'zeros.dump'}: timestep 0 has no groups: its 'mol' column is 0 for every particle, "
                    "each of which is upscaled on its own (--group-by names the column of groups)"]
    # The types as the groups, and as the masses' keys too (chunk/atom type); each upscaled particle of
    # its group's type, in its dump too.
    (tmp_path / "spheres.dump").write_text(frame.format(0).replace("2 1 0.5", "2 3 0.5") + frame.format(10))
    result = vireo20.run(tmp_path / "spheres.dump", tmp_path / "types", group_by="type", masses=["1=2.5", "3=1"],
                         picture_step=None, lammps_dump=tmp_path / "types.dump")
    assert result.summary["upscaled"].tolist() == [2, 1] and result.summary["mass_after"].tolist() == [3.5, 5.0]
    rows = (tmp_path / "types.dump").read_text().split("ITEM: ATOMS ")[1].splitlines()[1:3]
    assert [row.split()[:8] for row in rows] == [["1", "1", "1", "2.5", "1", "1", "1", "0.5"],
                                                ["2", "3", "3", "1", "2", "2", "2", "0.5"]]


@pytest.mark.parametrize("columns, options, told", [
    ("mol mass x y z", {"msd": True}, "--msd"),
    ("mol mass x y z", {"msd": True, "time_average": 2}, "--msd, --time-average"),
    ("mol mass x y z", {}, None),                      # nothing follows a particle from step to step
    ("id mol mass x y z", {"msd": True}, None)])
def test_a_dump_without_ids_is_told_where_its_particles_are_followed_by_row(tmp_path, columns, options, told):
    rows = "".join(f"{k + 1} 0 1 {k} 1 1\n"[0 if columns.startswith("id") else 2:] for k in range(3))
    (tmp_path / "a.dump").write_text("".join(f"ITEM: TIMESTEP\n{t}\nITEM: NUMBER OF ATOMS\n3\nITEM: BOX BOUNDS pp pp pp\n"
                                             f"0 4\n0 4\n0 4\nITEM: ATOMS {columns}\n{rows}" for t in (0, 10)))
    warnings = []
    vireo20.run(tmp_path / "a.dump", tmp_path / "up", warn=warnings.append, picture_step=None, **options)
    found = [text for text in warnings if "no 'id' column" in text]
    assert found == ([] if told is None else [f"{tmp_path / 'a.dump'}: timestep 0 has no 'id' column: its particles are "
                                              f"known by their row (for {told}), which is the same particle's at every step "
                                              "only in a dump sorted by id (dump_modify sort id); dump the ids (dump custom "
                                              "... id ...)"])


def test_a_dump_whose_columns_change_is_told_at_the_step_they_change(tmp_path):
    frame = ("ITEM: TIMESTEP\n{}\nITEM: NUMBER OF ATOMS\n2\nITEM: BOX BOUNDS pp pp pp\n0 4\n0 4\n0 4\n"
             "ITEM: ATOMS id mol mass x y z vx vy{}\n1 1 1 1 1 1 1 1{}\n2 1 1 2 2 2 1 1{}\n")
    (tmp_path / "a.dump").write_text("".join(frame.format(t, *([" vz", " 1", " 1"] if t < 20 else ["", "", ""]))
                                             for t in (0, 10, 20, 30)))
    told = []
    vireo20.run(tmp_path / "a.dump", tmp_path / "up", warn=told.append, picture_step=None)
    assert told == [f"{tmp_path / 'a.dump'}: timestep 20: the input's columns changed: no velocity, which the steps "
                    "before have; vx, vy, which the steps before lack"]
    # A timestep repeated at every frame (a writer that stores none): told once, then counted.
    (tmp_path / "same.dump").write_text("".join(frame.format(0, " vz", " 1", " 1") for _ in range(3)))
    told.clear()
    vireo20.run(tmp_path / "same.dump", tmp_path / "same", warn=told.append, picture_step=None)
    assert told == [f"{tmp_path / 'same.dump'}: timestep 0 appears twice in a row",
                    f"{tmp_path / 'same.dump'}: 1 more step repeats the timestep before it"]
    # Contacts written less often than the atoms: every step without them told, not the first alone,
    # and told apart from a step whose contact frame is empty.
    (tmp_path / "pairs.dump").write_text("".join(
        f"ITEM: TIMESTEP\n{t}\nITEM: NUMBER OF ENTRIES\n{n}\nITEM: BOX BOUNDS pp pp pp\n0 4\n0 4\n0 4\n"
        "ITEM: ENTRIES c1 c2\n" + "1 2\n" * n for t, n in ((0, 1), (10, 0))))
    told.clear()
    vireo20.run(tmp_path / "a.dump", tmp_path / "pairs", contacts=tmp_path / "pairs.dump", coordination=True,
                warn=told.append, picture_step=None)
    assert [text for text in told if "contact" in text] == [
        f"{tmp_path / 'a.dump'}: timestep 10 has no contacts: its coordination numbers are 0 (none in its contact file)",
        f"{tmp_path / 'a.dump'}: timestep 20 has no contact frame: its coordination numbers are 0 (none of the "
        "contact file's frames is at its timestep: the contacts dumped less often than the atoms?)",
        f"{tmp_path / 'a.dump'}: 1 more step has no contact frame (timestep 30)"]
    # Contacts of ids no particle has (atoms the dump left out): told once, at the first step they are.
    (tmp_path / "pairs.dump").write_text((tmp_path / "pairs.dump").read_text().replace("c2\n1 2", "c2\n1 5"))
    told.clear()
    vireo20.run(tmp_path / "a.dump", tmp_path / "zero", contacts=tmp_path / "pairs.dump", warn=told.append,
                picture_step=None)
    assert [text for text in told if "no particle" in text] == [
        f"{tmp_path / 'a.dump'}: timestep 0 has contacts naming atom ids that no particle of it has: they count for "
        "nothing (a dump of some of the atoms beside a dump local of all?)"]
    # Pairs farther apart than their radii reach (a neighbour list's), through the faces too: told.
    (tmp_path / "p.dump").write_text((tmp_path / "pairs.dump").read_text().replace("c2\n1 5", "c2\n1 2"))
    for x, apart in ((1.19, False), (1.5, True), (3.5, False)):
        (tmp_path / "s.dump").write_text("ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n2\nITEM: BOX BOUNDS pp pp pp\n0 4\n0 4\n"
                                         f"0 4\nITEM: ATOMS id mass radius x y z\n1 1 0.5 0.2 1 1\n2 1 0.5 {x} 1 1\n")
        told.clear()
        vireo20.run(tmp_path / "s.dump", tmp_path / "s", contacts=tmp_path / "p.dump", warn=told.append,
                    picture_step=None, frames=":1", overwrite=True)
        assert any("farther apart than their radii reach" in text for text in told) == apart, told


@pytest.mark.parametrize("size", [0, 1, 3 << 20])
def test_the_dumps_gzip_members_inflate_to_their_text_and_are_the_same_bytes_each_time(size):
    import gzip
    from vireo20._lammpsdump import gzip_member
    text = np.random.default_rng(size).integers(48, 58, size, dtype=np.uint8).tobytes()
    assert gzip.decompress(gzip_member(text)) == text and gzip_member(text) == gzip_member(bytearray(text))


def test_the_profiles_and_tables_numbers_are_written_as_python_writes_them():
    """The native rows against repr() and pandas's to_csv (the profile's, the table's and the dump's):
    any bit pattern, every scale, the forms' edges."""
    import pandas
    from vireo20._lammpsdump import csv_rows, dump_rows, table_rows
    from vireo20.averaging import _number
    rng = np.random.default_rng(4)
    values = np.concatenate([rng.integers(0, 2 ** 64, 40000, dtype=np.uint64).view(np.float64),
                             rng.random(40000) * 10.0 ** rng.integers(-25, 25, 40000), np.round(rng.random(40) * 1e6),
                             [0.0, -0.0, 1e16, 1e15 + 0.5, 1e-4, 9.99e-5, 1e-5, 5e-324, 2.0 ** 63, np.inf, -np.inf,
                              np.nan]])
    values = values[:len(values) // 2 * 2].reshape(-1, 2)
    ints = rng.integers(-2 ** 63, 2 ** 63, (len(values), 1), dtype=np.int64)
    rows = table_rows(ints, values).decode().split("\n")
    assert rows.pop() == ""
    assert rows == [f"  {k + 1} {i} {_number(a)} {_number(b)}" for k, (i, (a, b)) in
                    enumerate(zip(ints[:, 0].tolist(), values.tolist()))]
    whole = (ints[:, 0] >> 11).astype(np.float64)   # within 2^53
    table = pandas.DataFrame({"i": whole.astype(np.int64), "a": values[:, 0], "b": values[:, 1]})
    assert csv_rows(np.column_stack([whole, values]), np.array([1, 0, 0], np.uint8)) == \
        table.to_csv(None, header=False, index=False, lineterminator="\n").encode()
    assert dump_rows(np.column_stack([whole, values]), np.array([1, 0, 0], np.uint8)).decode() == "".join(
        f"{i} {_number(a)} {_number(b)}\n" for i, (a, b) in zip(table.i.tolist(), values.tolist()))


def test_time_averages_weigh_each_reduction_as_its_rule_and_resume_from_their_file(tmp_path):
    from vireo20.averaging import PROFILE, WINDOWS, MissingArray, TimeAverage
    rng = np.random.default_rng(5)
    reductions = {"a": "average", "m": "mean", "s": "sum", "lo": "min", "hi": "max", "type": "any"}
    steps = []
    for ids in ([3, 1], [1, 7, 3], [7], [1, 3], [3], [7, 1]):
        n = len(ids)
        steps.append({"group_id": np.array(ids), "count": rng.integers(1, 5, n), "mass": rng.random(n) + 0.5,
                      "a": rng.random((n, 3)), "m": rng.random(n), "s": rng.random(n), "lo": rng.random(n),
                      "hi": rng.random(n), "type": np.ones(n, np.int32)})
    rows = lambda text: np.loadtxt([line for line in text.splitlines() if line.startswith("  ")])
    averages = TimeAverage(3)
    grown = [averages.add(step, reductions, 10 * k) for k, step in enumerate(steps)]
    assert [g is None for g in grown] == [True, True, False, True, True, False] and list(grown[2]) == [PROFILE]
    lines = grown[2][PROFILE].splitlines()
    assert lines[2].split()[1:] == ["Chunk", "OrigID", "Ncount", "a[1]", "a[2]", "a[3]", "m", "s", "lo", "hi"]
    table = rows(grown[2][PROFILE])
    assert lines[3].split()[:2] == ["20", "3"] and float(lines[3].split()[2]) == pytest.approx(table[:, 2].sum())
    assert_array_equal(table[:, :2], [[1, 1], [2, 3], [3, 7]])
    for row, group in zip(table, (1, 3, 7)):
        at = [(s, list(s["group_id"]).index(group)) for s in steps[:3] if group in s["group_id"]]
        take = lambda name: np.array([s[name][k] for s, k in at], np.float64)
        count, mass = take("count"), take("mass")
        np.testing.assert_allclose(row[2:], [count.sum() / 3, *(take("a") * mass[:, None]).sum(0) / mass.sum(),
                                             (take("m") * count).sum() / count.sum(), take("s").sum() / 3,
                                             take("lo").min(), take("hi").max()], rtol=1e-15)
    # ave window 2: each block the mean of its window's own averages and the window's before.
    windowed = TimeAverage.parse("2 ave window 2")
    grown_windowed = [windowed.add(step, reductions, 10 * k) for k, step in enumerate(steps)]
    own = [rows(grown_windowed[k][WINDOWS]) for k in (1, 3)]
    assert own[0][:, 1].tolist() == own[1][:, 1].tolist() == [1, 3, 7]
    np.testing.assert_allclose(rows(grown_windowed[3][PROFILE])[:, 2:], (own[0][:, 2:] + own[1][:, 2:]) / 2,
                               rtol=1e-15)
    # A run resumed after four steps: the closed windows come back from the files as the steps left them
    # (the side file's own averages for a windowed profile), the open window's steps are added again, and
    # the files grow as they would have.
    for average, words, again, outputs in ((averages, "3", 1, grown), (windowed, "2 ave window 2", 0, grown_windowed)):
        for name in (PROFILE, WINDOWS):
            (tmp_path / name).write_text("".join(g.get(name, "") for g in outputs[:4] if g))
        resumed = TimeAverage.parse(words)
        assert resumed.resume(tmp_path, 4) == again
        assert [resumed.add(steps[k], reductions, 10 * k) for k in range(4 - again, 6)] == outputs[4 - again:]
    # A first step of no particles whose input lacks the values' columns (a GSD frame of none): the
    # columns are those of the first step with particles, unless a block was written before it.
    empty = {"group_id": np.zeros(0, int), "count": np.zeros(0, int), "mass": np.zeros(0)}
    late = TimeAverage(3)
    assert [late.add(step, reductions if "a" in step else {}, 10 * k)
            for k, step in enumerate([empty, *steps[1:3]])][2][PROFILE].splitlines()[2] == lines[2]
    single = TimeAverage(1)
    assert single.add(empty, {}, 0)[PROFILE].endswith("\n0 0 0\n")   # a block of no chunk, as LAMMPS's
    with pytest.raises(MissingArray, match="fixed by steps without particles"):
        single.add(steps[0], reductions, 10)


@pytest.mark.parametrize("bound", [None, (2.0, 6.0)])
def test_the_built_in_data_sets_entries_are_binned_and_its_trailing_entries_lie_in_no_bin(bound, tmp_path):
    """Parents given, not particles: the enabled entries fill the bins (those beyond a bound left out,
    their contacts ending no line), the trailing entries pass through with NaN for every bin's array.
    The picture shows every entry (over 3000, a slab of them)."""
    series = vireo20.open(None, clusters=800, steps=2, seed=4)
    bins = Bins.parse(["z:0.5"], bounds={"z": bound} if bound else None, discard="yes" if bound else "mixed")
    result = vireo20.run(series, tmp_path / "out", bins=bins)
    for frame, path in zip(series, result.files):
        e, t = len(frame.enabled), len(frame.trailing_masses)
        z, masses = frame.positions[:e, 2], frame.masses[np.asarray(frame.enabled)]
        lo, hi = bound or (frame.box.lo[2], frame.box.hi[2])
        layer = np.floor((z - lo) / 0.5).astype(np.int64)
        kept = (layer >= 0) & (z < hi) if bound else np.ones(e, bool)
        layers = np.clip(layer[kept], 0, None) if bound else np.clip(layer, 0, int(np.ceil((hi - lo) / 0.5)) - 1)
        step = read_vtp(path)
        u = len(step["group_id"]) - t
        order, filled = np.argsort(step["group_id"][:u]), np.unique(layers)
        assert_array_equal(step["group_id"][order], filled + 1)
        assert_array_equal(step["count"][order], np.bincount(layers)[filled])
        np.testing.assert_allclose(step["mass"][order], np.bincount(layers, masses[kept])[filled])
        np.testing.assert_allclose(step["bin_z"][order], lo + (filled + 0.5) * 0.5)
        assert np.isnan(step["number_density"][u:]).all() and np.isnan(step["bin_z"][u:]).all()
        assert_array_equal(step["count"][u:], 1)
        bin_of = np.full(len(frame.masses), -1)
        bin_of[np.asarray(frame.enabled)[kept]] = layers
        ends = bin_of[frame.contacts[frame.contact_kinds == 0]]
        assert step["cell:contacts"].sum() == np.count_nonzero((ends >= 0).all(axis=1) & (ends[:, 0] != ends[:, 1]))


@pytest.mark.parametrize("grouping", [{"cluster": 1.5}, {"bins": "z:5"}])
def test_the_input_group_column_named_is_a_value_where_clusters_or_bins_group(tmp_path, grouping):
    (tmp_path / "two.dump").write_text("ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n4\nITEM: BOX BOUNDS ff ff ff\n"
                                       "0 10\n0 10\n0 10\nITEM: ATOMS id mol type x y z\n1 3 1 1 1 1\n2 4 1 2 1 1\n"
                                       "3 7 1 8 8 8\n4 9 1 8 8 9\n")
    if "bins" in grouping:
        from vireo20.binning import Bins
        grouping = {"bins": Bins.parse([grouping["bins"]])}
    result = vireo20.run(str(tmp_path / "two.dump"), tmp_path / "up", masses=["1=1"], picture_step=None,
                         reductions={"mol": ["min", "max", "nunique"]}, **grouping)
    got = read_vtp(result.files[0])
    assert got["mol_min"].tolist() == [3, 7] and got["mol_max"].tolist() == [4, 9]
    assert got["mol_nunique"].tolist() == [2, 2]
    if "bins" in grouping:
        with pytest.raises(vireo20.InputError, match="distinct values are the members', which bins of groups"):
            vireo20.run(str(tmp_path / "two.dump"), tmp_path / "groups", masses=["1=1"], group_by="mol",
                        reductions={"type": "nunique"}, **grouping)
