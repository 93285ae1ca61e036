"""The readers of VTK, GSD, H5MD and MDAnalysis inputs: one small periodic system written by each
format's own library and read back, and the errors of broken files."""
import importlib.util
import os
import pickle
import re
import shutil
import warnings

import numpy as np
import pytest

from vireo20 import inputs
from vireo20.columns import MassRule
from vireo20.frames import Box, InputError
from vireo20.reading import particles_frame

# Three molecules (one across the GSD box's face in x, one across x = 0, the H5MD box's) and two
# loose particles, one images away; every number a binary fraction, so float32 formats keep it.
IDS = np.arange(1, 11)
MOL = np.array([1, 1, 1, 2, 2, 3, 3, 3, 0, 0])
TYPE = np.array([1, 1, 2, 3, 3, 4, 1, 2, 4, 1])
MASS = np.array([1.0, 2.0, 0.5, 4.0])[TYPE - 1]
EDGES = np.array([[5.0, 0, 0], [1, 4, 0], [1, -0.5, 4]])
CENTRED = Box(-EDGES.sum(axis=0) / 2, EDGES, (True, True, True))
AT_ZERO = Box(np.zeros(3), EDGES, (True, True, True))
START = np.array([[2, 0, 0], [2.5, 0, 0], [3, 0.25, 0], [-0.25, 1, 1], [0.25, 1, 1],
                  [0, -1, -1.5], [0.5, -1, -1.5], [1, -1, -1.25], [7.5, -2, 5], [-3, 2.5, 1.5]])
STEPS = (0, 100, 250)


def frames(constant=False):
    """(step, rows present, unwrapped positions, velocities); particle 7 leaves in the middle frame."""
    for f, step in enumerate(STEPS):
        rows = np.arange(10) if constant or f != 1 else np.delete(np.arange(10), 6)
        moved = START[rows] + f * np.array([0.125, 0.25, -0.125])
        yield step, rows, moved, np.outer(rows - 4.5, [0.125, -0.25, 0.5]) * (f + 1)


def bonds(rows):
    chains = [(a, b) for a, b in zip(rows, rows[1:]) if MOL[a] and MOL[a] == MOL[b]]
    return np.searchsorted(rows, np.array(chains).reshape(-1, 2))


def write_vtk(folder, legacy=False):
    """A .pvd over .vtu files, or (legacy) a folder of binary legacy .vtk files as LIGGGHTS writes, or
    ("parts") a .pvd of each step in two parts, as ParaView saves a data set of two processes, listed
    last part first beside a group of walls."""
    from vtkmodules.util.numpy_support import numpy_to_vtk
    from vtkmodules.vtkCommonCore import vtkPoints
    from vtkmodules.vtkCommonDataModel import vtkPolyData, vtkUnstructuredGrid
    from vtkmodules.vtkIOLegacy import vtkPolyDataWriter
    from vtkmodules.vtkIOXML import vtkXMLUnstructuredGridWriter
    entries, parts = [], legacy == "parts"
    legacy = legacy and not parts
    halves = lambda n: ((1, slice(n // 2, None)), (0, slice(0, n // 2))) if parts else ((0, slice(None)),)
    steps = [(step, part, rows[half], moved[half], speeds[half]) for step, rows, moved, speeds in frames()
             for part, half in halves(len(rows))]
    for step, part, rows, positions, velocity in steps:
        data, points = vtkPolyData() if legacy else vtkUnstructuredGrid(), vtkPoints()
        # The legacy files as from a LAMMPS dump's x y z ix iy iz vx vy vz, arrays one by one.
        wrapped, images = CENTRED.wrap(positions)
        points.SetData(numpy_to_vtk(wrapped if legacy else positions, deep=True))
        data.SetPoints(points)
        vectors = [(f"v{axis}", velocity[:, k]) for k, axis in enumerate("xyz")] if legacy else [("v", velocity)]
        vectors += [(f"i{axis}", images[:, k]) for k, axis in enumerate("xyz")] if legacy else []
        for name, values in [("id", IDS[rows]), ("mol", MOL[rows]), ("mass", MASS[rows]),
                             ("type", TYPE[rows])] + vectors:
            array = numpy_to_vtk(np.ascontiguousarray(values), deep=True)
            array.SetName(name)
            data.GetPointData().AddArray(array)
        writer = vtkPolyDataWriter() if legacy else vtkXMLUnstructuredGridWriter()
        if legacy:
            writer.SetFileTypeToBinary()
        name = f"particles_{step}{f'_{part}' if parts else ''}.{'vtk' if legacy else 'vtu'}"
        writer.SetFileName(os.path.join(folder, name))
        writer.SetInputData(data)
        assert writer.Write() == 1
        group = ' group="particles"' if parts else ""
        entries.append(f'<DataSet timestep="{step}"{group} part="{part}" file="{name}"/>')
        entries += [f'<DataSet timestep="{step}" group="walls" part="0" file="walls_{step}.vtu"/>'] if parts else []
    path = folder if legacy else os.path.join(folder, "particles.pvd")
    if not legacy:
        with open(path, "w") as stream:
            stream.write('<VTKFile type="Collection"><Collection>' + "".join(entries) + "</Collection></VTKFile>")
    columns = lambda rows, velocity: {"id": IDS[rows], "mol": MOL[rows], "mass": MASS[rows],
                                      "type": TYPE[rows], "velocity": velocity}
    return path, {"box": CENTRED, **({"stem": "particles"} if parts else {})}, columns, CENTRED, "mol"


def write_gsd(folder):
    import gsd.hoomd
    path = os.path.join(folder, "run.gsd")
    with gsd.hoomd.open(path, "wb") as trajectory:
        for step, rows, positions, velocity in frames():
            snapshot = gsd.hoomd.Snapshot()
            snapshot.configuration.step = step
            snapshot.configuration.box = [5, 4, 4, 0.25, 0.25, -0.125]
            wrapped, images = CENTRED.wrap(positions)
            snapshot.particles.N = len(rows)
            snapshot.particles.types = ["A", "B", "C", "D", "E"]
            snapshot.particles.typeid, snapshot.particles.mass = TYPE[rows], MASS[rows]
            snapshot.particles.position, snapshot.particles.image = wrapped, images
            snapshot.particles.velocity, snapshot.particles.body = velocity, MOL[rows] - 1
            snapshot.bonds.N = len(bonds(rows))
            snapshot.bonds.group = bonds(rows)
            trajectory.append(snapshot)
    columns = lambda rows, velocity: {"id": np.arange(1, len(rows) + 1), "mass": MASS[rows], "type": TYPE[rows],
                                      "typelabel": np.array([b"A", b"B", b"C", b"D", b"E"])[TYPE[rows]],
                                      "body": MOL[rows], "molecule": MOL[rows], "velocity": velocity}
    return path, {}, columns, CENTRED, "body"


def write_h5md(folder):
    import h5py
    path = os.path.join(folder, "run.h5")
    steps, rows_of, positions, velocities = zip(*frames())
    # Particle 7's row stays in the middle frame, its id the fill value: how H5MD drops a particle.
    padded = lambda per_frame, fill: np.array([v if len(rows) == 10 else np.insert(v, 6, fill, axis=0)
                                               for v, rows in zip(per_frame, rows_of)])
    with h5py.File(path, "w") as file:
        file.create_group("h5md").attrs["version"] = [1, 1]
        group = file.create_group("particles/all")
        position = group.create_group("position")
        position["step"], position["time"] = np.array(steps), np.array(steps) * 0.5
        wrapped, images = zip(*(AT_ZERO.wrap(p) for p in positions))
        position["value"] = padded(wrapped, 0.0)
        for name, data in (("image", padded(images, 0)), ("velocity", padded(velocities, 0.0))):
            group[f"{name}/value"], group[f"{name}/step"] = data, position["step"]
        ids = group.create_dataset("id/value", data=padded([IDS[r] for r in rows_of], -1), fillvalue=-1)
        group["id/step"] = position["step"]
        assert ids.fillvalue == -1
        group["mass"], group["species"], group["molecule"] = MASS, TYPE, MOL
        box = group.create_group("box")
        box.attrs["dimension"], box.attrs["boundary"] = 3, [b"periodic"] * 3
        box["edges/value"], box["edges/step"] = np.array([EDGES] * 3), position["step"]
    columns = lambda rows, velocity: {"id": IDS[rows], "mass": MASS[rows], "species": TYPE[rows],
                                      "molecule": MOL[rows], "velocity": velocity}
    return path, {}, columns, AT_ZERO, "molecule"


def write_mda(folder):
    topology, path = os.path.join(folder, "data.system"), os.path.join(folder, "run.trr")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        mda = pytest.importorskip("MDAnalysis")
        universe = mda.Universe.empty(10, trajectory=True, velocities=True, forces=True)
        universe.add_TopologyAttr("types", TYPE.astype(str))
        universe.add_TopologyAttr("masses", MASS)
        for name in ("bonds", "angles", "dihedrals", "impropers"):
            universe.add_TopologyAttr(name, [])
        universe.add_bonds(bonds(np.arange(10)), types=["1"] * len(bonds(np.arange(10))))
        universe.dimensions = [5, 4, 4, 90, 90, 90]
        universe.atoms.write(topology + ".data", format="DATA")
        os.replace(topology + ".data", topology)   # named as LAMMPS's own are, which MDAnalysis cannot tell
        with mda.Writer(path, 10) as writer:
            for step, rows, positions, velocity in frames(constant=True):
                universe.trajectory.ts.data["step"] = step
                universe.dimensions = mda.lib.mdamath.triclinic_box(*EDGES)
                universe.atoms.positions, universe.atoms.velocities = positions, velocity
                universe.atoms.forces = -2 * velocity
                writer.write(universe)
    # The data file keeps no molecule ids (residues: all 0) but the bonds (fragments: the molecules).
    columns = lambda rows, velocity: {"id": IDS, "mass": MASS, "type": TYPE, "fragments": MOL,
                                      "residues": np.zeros(10, int), "segments": np.ones(10, int),
                                      "velocity": velocity, "force": -2 * velocity}
    return path, {"topology": topology}, columns, AT_ZERO, "fragments"


def write_extxyz(folder):
    """An extended XYZ file as OVITO writes it: its box from an origin, its time and step in the comment."""
    path = os.path.join(folder, "run.xyz")
    lattice, origin = " ".join(map(repr, EDGES.reshape(-1).tolist())), " ".join(map(repr, CENTRED.origin.tolist()))
    with open(path, "w") as out:
        for step, rows, positions, velocity in frames():
            out.write(f'{len(rows)}\nLattice="{lattice}" Origin="{origin}" Timestep={step} Time={step * 0.5} '
                      'Properties=id:I:1:mol:I:1:type:I:1:masses:R:1:pos:R:3:velo:R:3 pbc="T T T"\n')
            for row, p, v in zip(rows, positions, velocity):
                out.write(" ".join(map(repr, [int(IDS[row]), int(MOL[row]), int(TYPE[row]), MASS[row], *p, *v])) + "\n")
    columns = lambda rows, velocity: {"id": IDS[rows], "mol": MOL[rows], "type": TYPE[rows], "mass": MASS[rows],
                                      "velocity": velocity}
    return path, {}, columns, CENTRED, "mol"


def test_a_gsd_frame_of_no_particles_has_the_columns_the_others_store(tmp_path):
    """HOOMD stores no chunk in a frame of none (a pour's first): it takes the file's columns, empty,
    as a LAMMPS dump's does, so that the time averages planned at it hold them."""
    gsd = pytest.importorskip("gsd.hoomd")
    with gsd.open(str(tmp_path / "pour.gsd"), "wb") as trajectory:
        for count in (0, 2):
            snapshot = gsd.Snapshot()
            snapshot.configuration.box = [5, 5, 5, 0, 0, 0]
            snapshot.particles.N, snapshot.particles.types = count, ["A", "B"]
            if count:
                snapshot.particles.position, snapshot.particles.velocity = np.eye(3)[:2], np.ones((2, 3))
            trajectory.append(snapshot)
    empty, full = inputs.open_series(str(tmp_path / "pour.gsd"))
    assert empty.columns["velocity"].shape == (0, 3) and full.columns["typelabel"].tolist() == [b"A", b"A"]


@pytest.mark.parametrize("application", ["HOOMD-blue v4.9.0", "gsd.hoomd 3.2.0"])
def test_a_hoomd_gsd_whose_image_flags_are_in_frame_0_alone_is_read_as_wrapped(tmp_path, application):
    """HOOMD's default GSD output stores the image flags and velocities in frame 0 only; the later
    frames would read those, stale once a chain crossed a face. The positions are taken as wrapped
    instead, the chain (wider than half the box) made whole along its bonds, the dimer about its
    parent; the velocities are no column. A script's file through gsd.hoomd that stores no image
    flags at all is wrapped too (its later frames do hold frame 0's velocities)."""
    hoomd = application.startswith("HOOMD")
    import vireo20
    fl = pytest.importorskip("gsd.fl")
    side = 4.0
    chain = np.column_stack([np.arange(6) * 0.6 - 1.9, np.zeros(6), np.zeros(6)])
    unwrapped = np.vstack([chain, [[1.0, 1.0, 1.0], [1.0, 1.5, 1.0]]])
    box = vireo20.Box.orthogonal([-side / 2] * 3, [side / 2] * 3, (True, True, True))
    path = str(tmp_path / "hoomd.gsd")
    with fl.open(path, "wb", application=application, schema="hoomd", schema_version=[1, 4]) as file:
        for frame in range(3):
            moved = unwrapped + [0.7 * frame, 0.0, 0.0]
            wrapped, images = box.wrap(moved)
            file.write_chunk("configuration/step", np.array([100 * frame], np.uint64))
            file.write_chunk("configuration/box", np.array([side, side, side, 0, 0, 0], np.float32))
            file.write_chunk("particles/N", np.array([8], np.uint32))
            file.write_chunk("particles/position", wrapped.astype(np.float32))
            if frame == 0 and hoomd:
                file.write_chunk("particles/image", images.astype(np.int32))
            if frame == 0:
                file.write_chunk("particles/velocity", np.ones((8, 3), np.float32))
                file.write_chunk("bonds/N", np.array([6], np.uint32))
                file.write_chunk("bonds/group", np.array([[k, k + 1] for k in range(5)] + [[6, 7]], np.uint32))
            file.end_frame()
    assert all(frame.wrapped and ("velocity" in frame.columns) == (not hoomd) for frame in vireo20.open(path))
    from test_vireo20_job import read_vtp
    result = vireo20.run(path, tmp_path / "up", picture_step=None, shape=True)
    for frame, file in enumerate(result.files):
        got = read_vtp(file)
        np.testing.assert_allclose(got["end_to_end"][:, :2], [[3.0, 0.0], [0.0, 0.5]], atol=1e-6)
        images = box.fractions(got["points"][:2] - [[0.7 * frame - 0.4, 0, 0], [1.0 + 0.7 * frame, 1.25, 1]])
        np.testing.assert_allclose(images, np.round(images), atol=1e-6)


WRITERS = {"vtk": write_vtk, "gsd": write_gsd, "h5md": write_h5md, "mdanalysis": write_mda, "extxyz": write_extxyz}


@pytest.mark.parametrize("name, legacy", [(name, False) for name in WRITERS]
                         + [("vtk", True), ("vtk", "pattern"), ("vtk", "parts")])
def test_a_written_system_reads_back(name, legacy, tmp_path):
    written = write_vtk(str(tmp_path), legacy=legacy if legacy == "parts" else True) if legacy \
        else WRITERS[name](str(tmp_path))
    path, options, expected_columns, box, group = written
    if legacy == "pattern":
        # The files in any order: the series takes them in the natural order of their names.
        path = sorted((str(p) for p in tmp_path.glob("particles_*.vtk")), reverse=True)
    exact = name != "mdanalysis"   # MDAnalysis converts the TRR's nm and its box's angles in float32
    same = lambda got, want: np.testing.assert_array_equal(got, want) if want.dtype.kind == "S" else \
        np.testing.assert_allclose(got, want, rtol=0 if exact else 1e-6, atol=0 if exact else 1e-5)
    series = inputs.open_series(path, format=None if legacy == "pattern" else name, **options)
    for file in path if legacy == "pattern" else [path]:
        with open(file if os.path.isfile(file) else os.devnull, "rb") as stream:
            assert inputs.reader(name).sniff(file, stream.read(inputs.HEAD_BYTES)) == (name != "mdanalysis")
    assert len(series) == 3
    loaders = list(series.loaders())
    for loader, (step, rows, positions, velocity) in zip(loaders, frames(constant=name == "mdanalysis")):
        for frame in (loader.load(), pickle.loads(pickle.dumps(loader)).load()):
            wrapped = name in ("mdanalysis", "extxyz") or (name == "vtk" and legacy in (False, "parts"))
            assert (frame.timestep, frame.default_group, frame.wrapped) == (step, group, wrapped)
            # The TRR MDAnalysis wrote stores a time of 0 in every frame.
            assert frame.time == (step * 0.5 if name in ("h5md", "extxyz") else 0.0 if name == "mdanalysis" else None)
            assert frame.units == ("mdanalysis" if name == "mdanalysis" else None)
            same(frame.positions, positions)
            same(frame.box.origin, box.origin), same(frame.box.edges, box.edges)
            assert frame.box.periodic.all()
            want = expected_columns(rows, velocity)
            assert sorted(frame.columns) == sorted(want)
            for key, values in want.items():
                kind = {"f": np.float64, "S": values.dtype}.get(values.dtype.kind, np.int64)
                assert frame.columns[key].dtype == kind, key
                same(frame.columns[key], values)
    if name == "h5md":
        # Cut short, it is named as a damaged HDF5 file, not as a format unknown.
        with open(path, "rb") as whole, open(tmp_path / "cut.h5", "wb") as cut:
            cut.write(whole.read()[:2000])
        with pytest.raises(InputError, match="cut.h5: not a readable HDF5 file"):
            inputs.open_series(str(tmp_path / "cut.h5"))


def test_an_mdanalysis_universe_or_selection_reads_as_its_files(tmp_path):
    """A notebook's Universe, or an AtomGroup of it, is read in memory as the files it came from."""
    import vireo20
    path, options, _, _, _ = write_mda(str(tmp_path))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        universe = pytest.importorskip("MDAnalysis").Universe(options["topology"], path, topology_format="DATA")
    from_files = list(inputs.open_series(path, format="mdanalysis", **options))
    near_origin = universe.select_atoms("prop x < 0.1", updating=True)   # 3, then 2 atoms
    for given, rows_of in ((universe, lambda f: slice(None)), (universe.atoms[3:8], lambda f: slice(3, 8)),
                           (near_origin, lambda f: f.positions[:, 0] < 0.1)):
        series = vireo20.open(given)
        frames = [loader.load() for loader in pickle.loads(pickle.dumps(list(series.loaders())))]
        assert len(series) == len(frames) == len(from_files)
        for got, want in zip(frames, from_files):
            rows = rows_of(want)
            assert (got.timestep, got.default_group, got.units) == (want.timestep, want.default_group, want.units)
            assert got.box == want.box and np.array_equal(got.positions, want.positions[rows])
            assert sorted(got.columns) == sorted(want.columns)
            for key, values in want.columns.items():
                assert np.array_equal(got.columns[key], values[rows]), key
    # The job takes one as it takes a path; options belong to the Universe.
    result = vireo20.run(universe.atoms[:6], tmp_path / "out", picture_step=None)
    assert len(result.files) == len(from_files)
    with pytest.raises(ValueError, match="read as they are"):
        vireo20.open(universe, topology=options["topology"])


@pytest.mark.parametrize("name", list(WRITERS) + ["vtk parts"])
def test_each_format_upscales_as_its_frames_given_as_an_npz_folder(name, tmp_path):
    import vireo20
    from test_vireo20_job import read_vtp
    written = write_vtk(str(tmp_path), "parts") if name == "vtk parts" else WRITERS[name](str(tmp_path))
    path, options, _, box, _ = written
    name = name.split()[0]
    exact = name != "mdanalysis"
    os.makedirs(tmp_path / "npz")
    for k, (step, rows, positions, velocity) in enumerate(frames(constant=name == "mdanalysis")):
        ids = np.arange(1, len(rows) + 1) if name == "gsd" else IDS[rows]
        np.savez(tmp_path / "npz" / f"step_{k}.npz", timestep=step, positions=positions, column_id=ids,
                 column_mol=MOL[rows], column_mass=MASS[rows], column_velocity=velocity,
                 box=np.stack([box.lo, box.hi]), box_tilt=np.array(box.tilt), periodic=box.periodic)
    # Each format's default groups are the molecules. MDAnalysis's frames name their units.
    hot = {"temperature": True} if name == "mdanalysis" else {}
    got = vireo20.run(path, tmp_path / "out", format=name, picture_step=None, **options, **hot)
    want = vireo20.run(str(tmp_path / "npz"), tmp_path / "out_npz", picture_step=None,
                       **({"units": "mdanalysis"} if hot else {}), **hot)
    assert got.timesteps == want.timesteps == list(STEPS)
    for a, b in zip(map(read_vtp, got.files), map(read_vtp, want.files)):
        own = int((b["image_of"] == -1).sum())
        for array in ("points", "mass", "velocity") + (("temperature", "internal_kinetic_energy") if hot else ()):
            np.testing.assert_allclose(a[array][:own], b[array][:own], rtol=0 if exact else 1e-6,
                                       atol=0 if exact else 1e-5, err_msg=array)
        for array in ("parent_id", "group_id", "element_particle_index"):
            assert a[array][:own].tolist() == b[array][:own].tolist(), array


def test_ase_reads_its_trajectory_and_vasps_xdatcar(tmp_path):
    """ASE's .traj keeps steps, times, masses, tags and momenta: read exactly; VASP's XDATCAR (direct
    coordinates, 8 digits) at its configurations' positions in the cell, with standard masses."""
    ase_io = pytest.importorskip("ase.io")
    from ase import Atoms
    from ase.data import atomic_masses
    from ase.io.trajectory import Trajectory
    written = list(frames(constant=True))
    configurations = []
    for step, rows, positions, velocity in written:
        atoms = Atoms(numbers=TYPE[rows], positions=positions, cell=EDGES, pbc=True, tags=MOL[rows],
                      masses=MASS[rows], info={"step": step, "time": step * 0.5})
        atoms.set_velocities(velocity)
        configurations.append(atoms)
    with Trajectory(str(tmp_path / "run.traj"), "w") as out:
        for atoms in configurations:
            out.write(atoms)
    ase_io.write(str(tmp_path / "XDATCAR"), configurations, format="vasp-xdatcar")
    for k, (exact, vasp) in enumerate(zip(inputs.open_series(str(tmp_path / "run.traj")),
                                          inputs.open_series(str(tmp_path / "XDATCAR")))):
        step, rows, positions, velocity = written[k]
        assert (exact.timestep, exact.time, vasp.timestep, exact.wrapped) == (step, step * 0.5, k, True)
        assert exact.box == AT_ZERO and vasp.box == AT_ZERO
        np.testing.assert_array_equal(exact.positions, positions)
        np.testing.assert_allclose(AT_ZERO.minimum_image(vasp.positions - positions), 0, atol=1e-6)
        np.testing.assert_allclose(exact.columns.pop("velocity"), velocity, rtol=1e-14)
        assert {name: values.tolist() for name, values in exact.columns.items()} == {
            "id": (rows + 1).tolist(), "tag": MOL[rows].tolist(), "mass": MASS[rows].tolist(),
            "element": [[b"H", b"He", b"Li", b"Be"][t - 1] for t in TYPE[rows]]}
        assert vasp.columns["element"].tolist() == exact.columns["element"].tolist()
        assert vasp.columns["mass"].tolist() == atomic_masses[TYPE[rows]].tolist()
    # The Atoms in memory (a list, or one) read as their trajectory.
    import vireo20
    for held, read in zip([*vireo20.open(configurations), *vireo20.open(configurations[0])],
                          [*inputs.open_series(str(tmp_path / "run.traj")), inputs.open_series(str(tmp_path / "run.traj"))[0]]):
        assert (held.timestep, held.time, held.box) == (read.timestep, read.time, read.box)
        assert np.array_equal(held.positions, read.positions) and held.columns.keys() == read.columns.keys()
        assert all(np.array_equal(held.columns[name], read.columns[name]) for name in read.columns)


def test_bonded_components_number_groups_by_their_lowest_particle():
    from vireo20.reading import bonded_components
    chain = np.array([[8, 7], [7, 6], [6, 5], [1, 3], [0, 9]])
    assert bonded_components(10, chain).tolist() == [1, 2, 0, 2, 0, 3, 3, 3, 3, 1]
    long_chain = np.stack([np.arange(999, 0, -1), np.arange(998, -1, -1)], axis=1)
    assert (bonded_components(1000, long_chain) == 1).all()


def _truncate(path):
    with open(path, "r+b") as stream:
        stream.truncate(os.path.getsize(path) // 2)


def _flip(path):
    with open(path, "r+b") as stream:
        stream.seek(0)
        byte = stream.read(1)
        stream.seek(0)
        stream.write(bytes([byte[0] ^ 0xFF]))


def _h5md_velocity_short(path):
    import h5py
    with h5py.File(path, "r+") as file:
        del file["particles/all/velocity/value"]
        file["particles/all/velocity/value"] = np.zeros((3, 4, 3))


@pytest.mark.parametrize("name, damage, array", [
    ("vtk", lambda folder: _truncate(os.path.join(folder, "particles_100.vtu")), "-"),
    ("vtk", lambda folder: os.remove(os.path.join(folder, "particles_250.vtu")), "-"),
    ("gsd", lambda folder: _truncate(os.path.join(folder, "run.gsd")), "-"),
    ("gsd", lambda folder: _flip(os.path.join(folder, "run.gsd")), "-"),
    ("h5md", lambda folder: _truncate(os.path.join(folder, "run.h5")), "-"),
    ("h5md", lambda folder: _h5md_velocity_short(os.path.join(folder, "run.h5")), "/particles/all/velocity"),
    ("mdanalysis", lambda folder: _truncate(os.path.join(folder, "run.trr")), "-"),
    ("extxyz", lambda folder: _truncate(os.path.join(folder, "run.xyz")), "-"),
    ("extxyz", lambda folder: _flip(os.path.join(folder, "run.xyz")), "-"),
])
def test_a_broken_file_is_one_input_error(name, damage, array, tmp_path):
    path, options = WRITERS[name](str(tmp_path))[:2]
    damage(str(tmp_path))
    with pytest.raises(InputError) as caught:
        for _ in inputs.open_series(path, format=name, **options):
            pass
    assert caught.value.array == array and str(tmp_path) in caught.value.file


@pytest.mark.parametrize("change, array, words", [
    (('part="1" file="particles_100_1', 'part="0" file="particles_100_1'), "DataSet", "a second file"),
    (("particles_100_1.vtu", "legacy/particles_100.vtk"), "ix", "not the other of two parts"),
    (None, "DataSet", "several groups ('particles', 'walls')"),
])
def test_the_parts_of_a_step_that_do_not_make_one_are_refused(change, array, words, tmp_path):
    path, options = write_vtk(str(tmp_path), legacy="parts")[:2]
    os.makedirs(tmp_path / "legacy")
    write_vtk(str(tmp_path / "legacy"), legacy=True)
    if change is None:
        del options["stem"]
    else:
        with open(path) as stream:
            text = stream.read().replace(*change)
        with open(path, "w") as stream:
            stream.write(text)
    with pytest.raises(InputError, match=re.escape(words)) as caught:
        for _ in inputs.open_series(path, format="vtk", **options):
            pass
    assert caught.value.array == array


def test_a_lammps_data_file_and_a_text_dump_named_as_lammps_users_do(tmp_path):
    """A data file and its dump, named .dump (MDAnalysis tells a dump by .lammpsdump alone) or written
    one file per step: the dump read exactly, the data file's masses and bonds found by atom id
    whatever the dump's order. A data file alone is a frame."""
    _, options, _, _, _ = write_mda(str(tmp_path))
    path = tmp_path / "run.dump"
    xy, xz, yz = EDGES[1, 0], EDGES[2, 0], EDGES[2, 1]
    bounds = f"{min(0, xy, xz, xy + xz)} {5 + max(0, xy, xz, xy + xz)} {xy}\n{min(0, yz)} {4 + max(0, yz)} {xz}\n0 4 {yz}\n"
    order = np.random.default_rng(3).permutation(10)
    texts = [f"ITEM: TIMESTEP\n{step}\nITEM: NUMBER OF ATOMS\n10\nITEM: BOX BOUNDS xy xz yz pp pp pp\n{bounds}"
             "ITEM: ATOMS id type xu yu zu\n" + "".join(f"{IDS[k]} {TYPE[k]} {x!r} {y!r} {z!r}\n" for k, (x, y, z) in
                                                        zip(order, positions[order]))
             for step, _, positions, _ in frames(constant=True)]
    path.write_text("".join(texts))
    # The same dump written one file per step, given in the shell's order (run.10 before run.9).
    steps = [(tmp_path / f"run.{k + 8}.dump", text) for k, text in enumerate(texts)]
    for each, text in steps:
        each.write_text(text)
    # As the dump's own reader's `topology`, or as MDAnalysis's topology and trajectory.
    for given, format in ((str(path), None), (sorted(str(each) for each, _ in steps), "mdanalysis")):
        series = inputs.open_series(given, format=format, **options)
        got = [loader.load() for loader in series.loaders()]
        assert [frame.timestep for frame in got] == [step for step, *_ in frames(constant=True)]
        for frame, (_, _, positions, _) in zip(got, frames(constant=True)):
            np.testing.assert_array_equal(frame.positions, positions[order])
            np.testing.assert_array_equal(frame.box.edges, EDGES)
            assert frame.default_group == "fragments"
            for name, want in (("fragments", MOL), ("mass", MASS), ("id", IDS)):
                np.testing.assert_array_equal(frame.columns[name], want[order])
    path.write_text(path.read_text().replace(f"\n{IDS[order[-1]]} {TYPE[order[-1]]} ", f"\n11 {TYPE[order[-1]]} "))
    # MDAnalysis's data file names no atom style: its columns and bonds are molecular's alone, read
    # here, so that an atom it does not hold is one poured after it.
    poured = next(iter(inputs.open_series(str(path), format="mdanalysis", **options).loaders())).load()
    np.testing.assert_array_equal(poured.columns["mass"][-1], MASS[order[-1]])
    # On the command line: the data file, then the files as the shell lists them.
    from vireo20 import cli
    assert cli.main(["upscale", options["topology"], *sorted(str(each) for each, _ in steps), "--out",
                     str(tmp_path / "up"), "--no-picture"]) == 0
    assert len(list((tmp_path / "up").glob("*.vtp"))) == len(steps)
    # LAMMPS's dump h5md after its data file: read by the job's reader, completed by id.
    h5md, *_ = write_h5md(str(tmp_path))
    assert inputs.reader_with_topology(h5md) == "h5md"
    for frame, (_, rows, _, _) in zip(inputs.open_series(h5md, topology=options["topology"]), frames()):
        np.testing.assert_array_equal(frame.columns["fragments"], MOL[rows])
        assert len(frame.bonds)
    # The data file alone is a topology and one frame, told by its header.
    assert inputs.detect(options["topology"]) == "mdanalysis" and inputs.detect(str(path)) == "lammps"
    alone, = inputs.open_series(options["topology"])
    np.testing.assert_array_equal(alone.columns["fragments"], MOL)


def test_two_dimensional_h5md_and_gsd_files_are_2d_runs_and_h5md_vectors_get_a_z_of_0(tmp_path):
    import gsd.hoomd
    import h5py
    import vireo20
    snapshot = gsd.hoomd.Snapshot()
    snapshot.configuration.box, snapshot.configuration.dimensions = [4, 3, 0, 0, 0, 0], 2
    snapshot.particles.N, snapshot.particles.types = 2, ["A"]
    snapshot.particles.position, snapshot.particles.velocity = [[1, 1, 0], [-1, 0, 0]], [[1, 0, 0], [0, 2, 0]]
    with gsd.hoomd.open(str(tmp_path / "flat.gsd"), "wb") as trajectory:
        trajectory.append(snapshot)
    # Its temperatures count two degrees of freedom, as --dimension 2 makes them.
    runs = [vireo20.run(str(tmp_path / "flat.gsd"), tmp_path / name, temperature=True, units="lj",
                        picture_step=None, **given) for name, given in (("as", {}), ("given", {"dimension": 2}))]
    assert runs[0].to_pandas().temperature.tolist() == runs[1].to_pandas().temperature.tolist() == [0.5, 2.0]
    with h5py.File(tmp_path / "flat.h5", "w") as file:
        file.create_group("h5md").attrs["version"] = [1, 1]
        group = file.create_group("particles/all")
        box = group.create_group("box")
        box.attrs["dimension"], box.attrs["boundary"] = 2, [b"periodic"] * 2
        box["edges"] = [4.0, 3.0]
        for name, data in (("position", [[[1.0, 2.0], [3.0, 1.0]]]), ("velocity", [[[0.5, -1.0], [1.0, 2.0]]]),
                           ("force", [[[1.0, 1.0], [2.0, 0.0]]])):
            group[f"{name}/value"], group[f"{name}/step"] = data, [0]
    frame, = inputs.open_series(str(tmp_path / "flat.h5"))
    assert frame.dimension == 2
    np.testing.assert_array_equal(frame.positions, [[1, 2, 0], [3, 1, 0]])
    np.testing.assert_array_equal(frame.columns["velocity"], [[0.5, -1, 0], [1, 2, 0]])
    np.testing.assert_array_equal(frame.columns["force"], [[1, 1, 0], [2, 0, 0]])


def test_atoms_poured_after_the_data_file_take_no_molecule_and_their_types_mass(tmp_path):
    """Atoms the data file does not hold (fix pour, fix deposit): no molecule or bond group, the mass of
    their type, an unknown charge; another column the data file alone gives them refuses them by name."""
    header = "LAMMPS data file\n\n3 atoms\n3 atom types\n\n0 4 xlo xhi\n0 4 ylo yhi\n0 4 zlo zhi\n\n" \
             "Masses\n\n1 1.0\n2 2.5\n3 0.7\n\n"
    (tmp_path / "m.data").write_text(header + "Atoms # molecular\n\n1 7 1 0 0 0\n2 7 2 1 0 0\n3 8 1 2 0 0\n")
    (tmp_path / "q.data").write_text(header + "Atoms # full\n\n1 7 1 0.5 0 0 0\n2 7 2 0.5 1 0 0\n3 8 1 0 2 0 0\n")
    (tmp_path / "d.dump").write_text("ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n5\nITEM: BOX BOUNDS pp pp pp\n0 4\n0 4\n"
                                     "0 4\nITEM: ATOMS id type x y z\n5 3 1 1 1\n1 1 0 0 0\n4 1 3 3 3\n2 2 1 0 0\n"
                                     "3 1 2 0 0\n")
    frame, = inputs.open_series(str(tmp_path / "d.dump"), topology=str(tmp_path / "m.data"))
    assert frame.columns["residues"].tolist() == [0, 7, 0, 7, 8]
    # The molecule ids are the groups, before the bonded fragments (a rigid body and its tether are one).
    (tmp_path / "b.data").write_text(header.replace("3 atom types", "3 atom types\n1 bonds\n1 bond types") +
                                     "Atoms # molecular\n\n1 7 1 0 0 0\n2 7 2 1 0 0\n3 8 1 2 0 0\n\nBonds\n\n1 1 1 2\n")
    frame, = inputs.open_series(str(tmp_path / "d.dump"), topology=str(tmp_path / "b.data"))
    assert frame.default_group == "residues" and frame.columns["fragments"].tolist() == [0, 1, 0, 1, 0]
    assert frame.columns["mass"].tolist() == [0.7, 1.0, 1.0, 2.5, 1.0]
    frame, = inputs.open_series(str(tmp_path / "d.dump"), topology=str(tmp_path / "q.data"))
    np.testing.assert_array_equal(frame.columns["charge"], [np.nan, 0.5, np.nan, 0.5, 0])
    (tmp_path / "s.data").write_text(header + "Atoms # sphere\n\n1 1 1 1 0 0 0\n2 2 1 1 1 0 0\n3 1 1 1 2 0 0\n")
    with pytest.raises(InputError, match="atom 5 is not in the data file .*s.data, which gives the dump's atoms their "
                                         "radius: dump radius with"):
        list(inputs.open_series(str(tmp_path / "d.dump"), topology=str(tmp_path / "s.data")))
    # A dump of q is the charge: nothing is asked of the data file, nor added beside it.
    text = (tmp_path / "d.dump").read_text().replace("id type x y z", "id type x y z q")
    (tmp_path / "q.dump").write_text(re.sub(r"(?m)^(\d+ \d+ \S+ \S+ \S+)$", r"\1 -1", text))
    frame, = inputs.open_series(str(tmp_path / "q.dump"), topology=str(tmp_path / "q.data"))
    assert frame.columns["q"].tolist() == [-1] * 5 and "charge" not in frame.columns
    # Written before any atom was made (create_box, mass, write_data, then create_atoms): masses by type.
    (tmp_path / "e.data").write_text(header.replace("3 atoms", "0 atoms"))
    frame, = inputs.open_series(str(tmp_path / "d.dump"), topology=str(tmp_path / "e.data"))
    assert frame.columns["mass"].tolist() == [0.7, 1.0, 1.0, 2.5, 1.0] and frame.default_group not in frame.columns
    # Types that are not the data file's (fix bond/react, or a data file of another system): masses by
    # the dump's, as LAMMPS takes them, and told. The data file's charges add up over each molecule.
    (tmp_path / "t.dump").write_text((tmp_path / "d.dump").read_text().replace("\n2 2 1 0 0\n", "\n2 1 1 0 0\n"))
    frame, = inputs.open_series(str(tmp_path / "t.dump"), topology=str(tmp_path / "q.data"))
    assert frame.columns["mass"].tolist() == [0.7, 1.0, 1.0, 1.0, 1.0] and frame.notes == (
        f"has atoms whose types are not those the data file {tmp_path / 'q.data'} gives them (atom 2: type 1, there "
        "2): a data file of another system? (masses follow the dump's types, groups the data file's by atom id)",)
    from vireo20 import upscale
    result = upscale(**frame.arguments())
    assert result["charge"][result.group_id == 7].tolist() == [1.0]


def test_a_data_files_molecules_and_charges_sections_are_its_fix_property_atoms(tmp_path, capsys):
    """write_data's sections of `fix property/atom mol q` (an atom style without them), by atom id."""
    from vireo20.lammps_data import DataAtoms
    text = "LAMMPS data file\n\n3 atoms\n1 atom types\n\n0 4 xlo xhi\n0 4 ylo yhi\n0 4 zlo zhi\n\nMasses\n\n1 1.0\n\n" \
           "Atoms # atomic\n\n3 1 0 0 0\n1 1 1 0 0\n2 1 2 0 0\n\nMolecules\n\n1 7\n2 0\n3 8\n\nCharges\n\n2 -1\n3 0.5\n1 0.5\n"
    (tmp_path / "p.data").write_text(text)
    held = DataAtoms(str(tmp_path / "p.data"))
    assert held.atoms["residues"].tolist() == [8, 7, 0] and held.atoms["charge"].tolist() == [0.5, 0.5, -1.0]
    from vireo20 import cli
    assert cli.main(["inspect", str(tmp_path / "p.data")]) == 0
    said = capsys.readouterr().out
    assert said.startswith(f"{tmp_path / 'p.data'} (lammps data file): 1 frame") and "by 'residues': 2 groups" in said


def test_a_legacy_vtk_file_written_by_hand_gives_every_scalars_and_vectors_block(tmp_path):
    """As LIGGGHTS and scripts write them, one block per array: VTK alone keeps the first of each."""
    ids, kinds = [7, 3, 5], [2, 1, 2]
    (tmp_path / "dump_100.vtk").write_text(
        "# vtk DataFile Version 2.0\nparticles\nASCII\nDATASET POLYDATA\nPOINTS 3 float\n0 0 0\n1 0 0\n0 1 0\n"
        "POINT_DATA 3\nVECTORS v float\n1 0 0\n0 1 0\n0 0 1\nVECTORS f float\n2 0 0\n0 2 0\n0 0 2\n"
        "SCALARS radius float 1\nLOOKUP_TABLE default\n0.5\n0.25\n0.5\n"
        + "".join(f"SCALARS {name} int 1\nLOOKUP_TABLE default\n" + "\n".join(map(str, values)) + "\n"
                  for name, values in (("id", ids), ("type", kinds))))
    frame, = inputs.open_series(str(tmp_path / "dump_100.vtk"))
    assert sorted(frame.columns) == ["force", "id", "radius", "type", "velocity"] and frame.timestep == 100
    assert frame.columns["id"].tolist() == ids and frame.columns["type"].tolist() == kinds
    np.testing.assert_array_equal(frame.columns["force"], 2 * np.eye(3))
    # MercuryDPM's species as reals: whole numbers, the types.
    text = (tmp_path / "dump_100.vtk").read_text().replace("SCALARS type int", "SCALARS speciesType float")
    (tmp_path / "dump_100.vtk").write_text(text)
    frame, = inputs.open_series(str(tmp_path / "dump_100.vtk"))
    assert frame.columns["type"].dtype == np.int64 and frame.columns["type"].tolist() == kinds
    # Yade's VTKRecorder's names.
    for theirs, ours in (("VECTORS v ", "VECTORS linVelVec "), ("VECTORS f ", "VECTORS forceVec "),
                         ("SCALARS radius ", "SCALARS radii ")):
        text = text.replace(theirs, ours)
    (tmp_path / "dump_100.vtk").write_text(text)
    frame, = inputs.open_series(str(tmp_path / "dump_100.vtk"))
    assert sorted(frame.columns) == ["force", "id", "radius", "type", "velocity"]
    # LAMMPS's dump vtk's vectors of a compute's columns and its image flags.
    text += "".join(f"VECTORS {name} {kind}\n" + "1 2 3\n4 5 6\n7 8 9\n"
                    for name, kind in (("c_s[4-6]", "float"), ("c_s[1-3]", "float"), ("i", "int")))
    (tmp_path / "dump_100.vtk").write_text(text)
    frame, = inputs.open_series(str(tmp_path / "dump_100.vtk"))
    np.testing.assert_array_equal(frame.columns["c_s"], np.tile(np.arange(1, 10).reshape(3, 3), 2))
    assert frame.columns["iz"].tolist() == [3, 6, 9] and "i" not in frame.columns


@pytest.mark.parametrize("kind", ["polydata", "polydata 4.2", "grid", "binary"])
def test_a_legacy_vtk_file_reads_natively_as_vtk_reads_it(kind, tmp_path):
    """Files VTK's writers make, ASCII (new and old cell layouts, a grid) or binary (left to VTK):
    the same points and arrays, bit for bit and in order, as VTK's own reader gives."""
    from vtkmodules.util.numpy_support import numpy_to_vtk
    from vtkmodules.vtkCommonCore import vtkPoints
    from vtkmodules.vtkCommonDataModel import vtkCellArray, vtkPolyData, vtkUnstructuredGrid
    from vtkmodules.vtkIOLegacy import vtkPolyDataWriter, vtkUnstructuredGridWriter
    from vireo20 import read_vtk, vtk_legacy
    rng = np.random.default_rng(8)
    data = vtkUnstructuredGrid() if kind == "grid" else vtkPolyData()
    points = vtkPoints()
    points.SetData(numpy_to_vtk(rng.normal(size=(50, 3)).astype(np.float32) * 1e3, deep=True))
    data.SetPoints(points)
    cells = vtkCellArray()
    for k in range(50):
        cells.InsertNextCell(1, [k])
    data.SetCells(1, cells) if kind == "grid" else data.SetVerts(cells)
    arrays = {"radius": rng.random(50).astype(np.float32), "id": rng.permutation(50).astype(np.int32) + 1,
              "v x": rng.normal(size=(50, 3)), "pair": rng.integers(-9, 9, (50, 2)).astype(np.int64)}
    for name, values in arrays.items():
        array = numpy_to_vtk(values, deep=True)
        array.SetName(name)
        data.GetPointData().AddArray(array)
    data.GetPointData().SetActiveScalars("radius")
    for where, name, values in ((data.GetCellData(), "cell", np.arange(50.0)), (data.GetFieldData(), "TIME", [0.5])):
        array = numpy_to_vtk(np.array(values), deep=True)
        array.SetName(name)
        where.AddArray(array)
    writer = vtkUnstructuredGridWriter() if kind == "grid" else vtkPolyDataWriter()
    writer.SetFileName(str(tmp_path / "p.vtk"))
    writer.SetInputData(data)
    writer.SetFileTypeToBinary() if kind == "binary" else writer.SetFileTypeToASCII()
    if kind == "polydata 4.2":
        writer.SetFileVersion(42)
    writer.Write()
    native, by_vtk = vtk_legacy.read(str(tmp_path / "p.vtk")), read_vtk._vtk_point_data(str(tmp_path / "p.vtk"), 0)
    assert (native is None) == (kind == "binary")
    if native is not None:
        np.testing.assert_array_equal(native[0], by_vtk[0])
        assert list(native[1]) == list(by_vtk[1]) == list(arrays)
        for name, values in by_vtk[1].items():
            assert native[1][name].dtype == values.dtype
            np.testing.assert_array_equal(native[1][name], values)


@pytest.mark.parametrize("names", ["CHH", "122", "CHX"])
def test_a_lammps_dump_xyz_gives_its_steps_types_and_masses_and_is_not_one_group(names, tmp_path):
    """LAMMPS's dump xyz (no box): its steps, the first of no atoms (before a pour); type numbers as
    types, elements with MDAnalysis's masses where it is there; each atom upscaled on its own."""
    frames = [np.array([[0.0, 0, 0], [1, 0, 0], [0, 1, 0]]) + step + 0.1 for step in range(2)]
    (tmp_path / "d.xyz").write_text("0\nAtoms. Timestep: -10\n" + "".join(f"3\nAtoms. Timestep: {10 * k}\n" + "".join(
        f"{name} {x!r} {y!r} {z!r}\n" for name, (x, y, z) in zip(names, rows)) for k, rows in enumerate(frames)))
    empty, *loaded = list(inputs.open_series(str(tmp_path / "d.xyz")))
    assert empty.positions.shape == (0, 3) and empty.timestep == -10
    assert [frame.timestep for frame in loaded] == [0, 10] and loaded[0].default_group not in loaded[0].columns
    np.testing.assert_array_equal(loaded[1].positions, frames[1])
    if names.isdigit():
        assert loaded[0].columns["type"].tolist() == [1, 2, 2] and "mass" not in loaded[0].columns
    elif importlib.util.find_spec("MDAnalysis"):
        # An element the table lacks: given, the others keep the table's masses.
        masses = MassRule.parse(["X=3.5"] if "X" in names else None).masses(loaded[0], loaded[0].columns)[0]
        np.testing.assert_allclose(masses, [12.011, 1.008, 3.5 if "X" in names else 1.008], rtol=1e-3)
        assert ("masses: the element table's, but none for X: give --mass X=VALUE" in loaded[0].describe()) == \
            ("X" in names)
        # A dump's element column alone (no mass column) is told as the table's masses.
        bare = particles_frame("d", 0, 0, frames[0], {"element": np.array([b"C", b"H", b"H"])})
        assert "masses: the element table's standard atomic masses" in bare.describe()


def _xyz_table(rows, seed=5):
    """Atom lines of every kind of column as writers spell them: reals in repr, e, g and integer forms,
    signed integers, logicals, two-word labels; CRLF and trailing blanks on some lines."""
    rng = np.random.default_rng(seed)
    reals = rng.normal(size=(rows, 3)) * 10.0 ** rng.integers(-300, 300, size=(rows, 3))
    forms = [repr, lambda v: f"{v:.6e}", lambda v: f"{v:+g}", lambda v: f"{v:.17G}", lambda v: str(int(v * 1e-300))]
    lines = []
    for k in range(rows):
        words = [forms[(k + j) % len(forms)](reals[k, j]) for j in range(3)]
        words += [f"{(-1) ** k * k:+d}", "TF"[k % 2], f"A{k % 7}", "Bx"[k % 2]]
        lines.append(" ".join(words) + ("  \r\n" if k % 3 == 0 else "\n"))
    return lines


@pytest.mark.parametrize("module", ["gzip", "bz2", "lzma"])
def test_a_compressed_extended_xyz_file_reads_as_the_plain_one_and_a_cut_one_is_refused(module, tmp_path):
    import importlib
    path = write_extxyz(str(tmp_path))[0]
    packed = importlib.import_module(module).compress(open(path, "rb").read())
    (tmp_path / "run.xyz.packed").write_bytes(packed)
    plain, loaders = list(inputs.open_series(path)), list(inputs.open_series(str(tmp_path / "run.xyz.packed")).loaders())
    # Backwards: each an earlier frame than the last, inflated again from the start.
    for want, loader in zip(reversed(plain), reversed(loaders)):
        got = loader.load()
        assert (got.timestep, got.time) == (want.timestep, want.time)
        np.testing.assert_array_equal(got.positions, want.positions)
        for name, values in want.columns.items():
            np.testing.assert_array_equal(got.columns[name], values)
    (tmp_path / "cut.xyz.packed").write_bytes(packed[:len(packed) * 2 // 3])
    with pytest.raises(InputError, match="cut short"):
        list(inputs.open_series(str(tmp_path / "cut.xyz.packed"), format="extxyz"))


def test_an_extended_xyz_frame_of_many_lines_reads_every_value_as_python_does(tmp_path):
    rows = 30000   # a few megabytes: parsed in pieces over the cores
    lines = _xyz_table(rows)
    path = tmp_path / "t.xyz"
    path.write_text(f"{rows}\nProperties=pos:R:3:id:I:1:flag:L:1:species:S:2\n" + "".join(lines), newline="")
    frame = next(iter(inputs.open_series(str(path))))
    words = [line.split() for line in lines]
    assert frame.positions.tolist() == [[float(w) for w in line[:3]] for line in words]
    assert frame.columns["id"].tolist() == [int(line[3]) for line in words]
    assert frame.columns["flag"].tolist() == [int(line[4] == "T") for line in words]
    assert frame.columns["element"].tolist() == [[line[5].encode(), line[6].encode()] for line in words]
    last = "-29999 F A4 x"
    for bad, array, words in [("-29999.5 F A4 x", "id", "value '-29999.5' on atom line 30000 is not an integer"),
                              ("-29999 maybe A4 x", "flag", "logical values are T or F"),
                              ("-29999 F " + "A" * 33 + " x", "element", "labels longer than 32 bytes"),
                              ("-29999 F A4", "-", "(line 30000 has 6)")]:
        (tmp_path / "bad.xyz").write_bytes(path.read_bytes().replace(last.encode(), bad.encode()))
        with pytest.raises(InputError, match=re.escape(words)) as caught:
            list(inputs.open_series(str(tmp_path / "bad.xyz")))
        assert caught.value.array == array


def test_an_extended_xyz_files_species_name_masses_and_a_bad_value_stops_at_its_frame(tmp_path):
    import vireo20
    text = '2\nLattice="4 0 0 0 4 0 0 0 4" Properties=species:S:1:pos:R:3:molecule:I:1\nC 0.5 1 1 7\nH 3.9 1 1 7\n'
    (tmp_path / "a.xyz").write_text(text + text.replace("3.9", "abc"))
    series = inputs.open_series(str(tmp_path / "a.xyz"))
    frame = next(iter(series))
    result = vireo20.upscale(**frame.arguments(masses=vireo20.MassRule.parse(["C=12", "H=1"])))
    # The molecule made whole across the periodic face: H at -0.1.
    assert result.masses.tolist() == [13.0] and result.centres[0, 0] == pytest.approx((6 - 0.1) / 13)
    with pytest.raises(InputError, match=r"step 1: array 'pos': value 'abc' on atom line 2 is not a number"):
        list(series)
    for bad in ("H 3.9 1 1 7 8", "H 3.9 1 1", ""):
        (tmp_path / "b.xyz").write_text(text + text.replace("H 3.9 1 1 7", bad))
        with pytest.raises(InputError, match=r"step 1: the atom lines do not hold the 5 values a line that"):
            list(inputs.open_series(str(tmp_path / "b.xyz")))
    # ASE's momenta are velocities times masses.
    (tmp_path / "ase.xyz").write_text('2\nProperties=species:S:1:pos:R:3:masses:R:1:momenta:R:3\n'
                                      'C 0 0 0 12 24 -12 6\nH 1 0 0 2 1 0 -3\n')
    ase_frame, = inputs.open_series(str(tmp_path / "ase.xyz"))
    assert ase_frame.columns["velocity"].tolist() == [[2, -1, 0.5], [0.5, 0, -1.5]] and "momenta" not in ase_frame.columns
    # Without --mass, each element's standard mass (MDAnalysis's table, as ASE gives them).
    pytest.importorskip("MDAnalysis")
    assert vireo20.upscale(**frame.arguments()).masses.tolist() == [12.011 + 1.008]
    (tmp_path / "q.xyz").write_text(text.replace("H 3.9", "Qq 3.9"))
    with pytest.raises(InputError, match=r"atom element 'Qq' on row 2 has no mass \(nor has MDAnalysis's table"):
        vireo20.upscale(**next(iter(inputs.open_series(str(tmp_path / "q.xyz")))).arguments())


def _dump_local(path, steps, seed=3):
    """A dump local of pairs of particles present at each step, with a force."""
    rng, text = np.random.default_rng(seed), ""
    for step, rows, _, _ in frames():
        if step in steps:
            pairs = rng.choice(IDS[rows], size=(4, 2))
            lines = "".join(f"{a} {b} {f!r}\n" for (a, b), f in zip(pairs, rng.normal(size=4)))
            text += f"ITEM: TIMESTEP\n{step}\nITEM: NUMBER OF ENTRIES\n4\nITEM: BOX BOUNDS pp pp pp\n0 1\n0 1\n0 1\n" \
                    f"ITEM: ENTRIES c_p[1] c_p[2] c_f\n{lines}"
    path.write_text(text)
    return text


def _forcechains(folder, text, legacy):
    """The dump local's pairs as LIGGGHTS's dump local/gran/vtk writes them: a file a step, a line per
    pair between the positions, cell arrays pos1 pos2 id1 id2 (doubles) and force."""
    from vtkmodules.util.numpy_support import numpy_to_vtk
    from vtkmodules.vtkCommonCore import vtkPoints
    from vtkmodules.vtkCommonDataModel import vtkCellArray, vtkPolyData
    from vtkmodules.vtkIOLegacy import vtkPolyDataWriter
    from vtkmodules.vtkIOXML import vtkXMLPolyDataWriter
    for block in text.split("ITEM: TIMESTEP\n")[1:]:
        step, rows = int(block.split("\n")[0]), np.loadtxt(block.split("c_f\n")[1].splitlines(), ndmin=2)
        data, points, lines = vtkPolyData(), vtkPoints(), vtkCellArray()
        ends = np.repeat(rows[:, :2], 3, axis=1).reshape(-1, 3) * 0.1
        points.SetData(numpy_to_vtk(np.ascontiguousarray(ends), deep=True))
        for k in range(len(rows)):
            lines.InsertNextCell(2, [2 * k, 2 * k + 1])
        data.SetPoints(points), data.SetLines(lines)
        for name, values in (("pos1", ends[0::2]), ("pos2", ends[1::2]), ("id1", rows[:, 0]), ("id2", rows[:, 1]),
                             ("force", np.column_stack([rows[:, 2]] * 3))):
            array = numpy_to_vtk(np.ascontiguousarray(values), deep=True)
            array.SetName(name)
            data.GetCellData().AddArray(array)
        writer = vtkPolyDataWriter() if legacy else vtkXMLPolyDataWriter()
        writer.SetFileName(os.path.join(folder, f"forcechain{step}.{'vtk' if legacy else 'vtp'}"))
        writer.SetInputData(data)
        assert writer.Write() == 1


@pytest.mark.parametrize("kind", ["dump local", "vtp", "legacy vtk"])
def test_vtk_particles_take_the_contacts_of_their_steps(kind, tmp_path):
    """LIGGGHTS-style VTK files with a dump local beside them, or its dump local/gran/vtk files: each
    frame takes the pairs of its step (none where the contacts have no such step); contacts at none
    of the frames' steps are refused, and a file of contacts given as particles says what it is."""
    folder, chains = tmp_path / "post", tmp_path / "chains"
    folder.mkdir(), chains.mkdir()
    path, options, _, _, _ = write_vtk(str(folder), legacy=True)
    text = _dump_local(tmp_path / "pairs.dump", STEPS[::2])
    contacts = str(tmp_path / "pairs.dump") if kind == "dump local" else str(chains)
    if kind != "dump local":
        _forcechains(str(chains), text, legacy=kind == "legacy vtk")
    series = inputs.open_series(path, contacts=contacts, **options)
    assert len(series) == 3 and (contacts in series.files() or len(series.files()) == 3 + 2)
    assert series.notes() == []   # what a run tells at its end, of contacts of every kind
    if kind != "dump local":
        # Beside the particles in their folder, the force chains are their contacts.
        for name in os.listdir(chains):
            shutil.copy(chains / name, folder / name)
        series = inputs.open_series(path, **options)
        assert len(series) == 3 and sorted(os.listdir(folder)) == sorted(map(os.path.basename, series.files()))
    blocks = text.split("ITEM: TIMESTEP\n")[1:]
    for loader, step in zip(list(series.loaders()), STEPS):
        frame = pickle.loads(pickle.dumps(loader)).load()
        block = next((b for b in blocks if b.startswith(f"{step}\n")), None)
        want = np.loadtxt(block.split("c_f\n")[1].splitlines(), ndmin=2) if block else np.zeros((0, 3))
        assert frame.timestep == step
        np.testing.assert_array_equal(frame.contacts, want[:, :2].astype(np.int64))
        if kind == "dump local":
            np.testing.assert_array_equal(frame.contact_values.get("c_f", np.zeros(0)), want[:, 2])
        elif block:
            assert sorted(frame.contact_values) == ["force"]
            # VTK's legacy ASCII writer keeps 11 digits of a double.
            np.testing.assert_allclose(frame.contact_values["force"], np.column_stack([want[:, 2]] * 3),
                                       rtol=1e-10 if kind == "legacy vtk" else 0)
    series.finish()
    if kind != "dump local":
        with pytest.raises(InputError, match="holds contacts, not particles"):
            list(inputs.open_series(str(chains), format="vtk"))
        return
    (tmp_path / "elsewhere.dump").write_text(text.replace("TIMESTEP\n0\n", "TIMESTEP\n1\n")
                                             .replace("TIMESTEP\n250\n", "TIMESTEP\n251\n"))
    with pytest.raises(InputError, match="no contact frame is at the step of a frame"):
        list(inputs.open_series(path, contacts=str(tmp_path / "elsewhere.dump"), **options))


def _particles_table(seed=4):
    """Three steps of particles as a pandas user holds them: ids, groups, reals of every magnitude."""
    import pandas as pd
    rng, tables = np.random.default_rng(seed), []
    for step in STEPS:
        n = 40 + step // 50
        tables.append(pd.DataFrame({
            "timestep": step, "time": step * 0.5, "ID": rng.permutation(n) + 1, "clump": rng.integers(0, 9, n),
            "Position X [m]": rng.normal(size=n), "Position Y [m]": rng.normal(size=n) * 1e-7,
            "Position Z [m]": rng.normal(size=n) * 1e5, "Velocity X": rng.normal(size=n),
            "Velocity Y": rng.normal(size=n), "Velocity Z": rng.normal(size=n),
            "Particle Mass [kg]": rng.uniform(1, 2, n) * 10.0 ** rng.integers(-30, 30, n),
            "shape": rng.choice(["ball", "rod"], n)}))
    return tables


@pytest.mark.parametrize("layout", ["one file", "a file per step", "gzip, semicolons", "pandas"])
def test_csv_tables_read_back_exactly_in_each_layout(layout, tmp_path):
    import gzip
    import pandas as pd
    import vireo20
    tables = _particles_table()
    if layout == "pandas":
        path = None
    elif layout == "a file per step":
        for table in tables:
            table.drop(columns=["timestep"]).to_csv(tmp_path / f"particles_{table.timestep[0]}.csv")
        path = str(tmp_path)
    else:
        text = pd.concat(tables).to_csv(index=False, sep="," if layout == "one file" else ";")
        path = str(tmp_path / ("all.csv" if layout == "one file" else "all.csv.gz"))
        open(path, "wb").write(text.encode() if layout == "one file" else gzip.compress(text.encode()))
    pairs = _dump_local(tmp_path / "pairs.dump", STEPS[1:2] if path else ())
    series = inputs.open_series(path, contacts=str(tmp_path / "pairs.dump")) if path else \
        vireo20.from_pandas(pd.concat(tables).set_index(["timestep", "ID"]))
    assert len(series) == 3
    for frame, table in zip(series, tables):
        assert (frame.timestep, frame.time, frame.default_group) == (table.timestep[0], table.time[0], "clump")
        assert len(() if frame.contacts is None else frame.contacts) == (4 if f"TIMESTEP\n{frame.timestep}\n" in pairs
                                                                         else 0)
        np.testing.assert_array_equal(frame.positions, table[[f"Position {a} [m]" for a in "XYZ"]].to_numpy())
        np.testing.assert_array_equal(frame.columns["velocity"], table[[f"Velocity {a}" for a in "XYZ"]].to_numpy())
        for mine, theirs in (("id", "ID"), ("clump", "clump"), ("mass", "Particle Mass [kg]")):
            assert frame.columns[mine].dtype == table[theirs].dtype, mine
            np.testing.assert_array_equal(frame.columns[mine], table[theirs].to_numpy())
        assert frame.columns["shape"].tolist() == table["shape"].str.encode("ascii").tolist()
        # And back: a frame's table reads as the frame.
        back, = vireo20.from_pandas(frame.to_pandas())
        np.testing.assert_array_equal(back.positions, frame.positions)
        assert sorted(back.columns) == sorted(frame.columns)
        for name, values in frame.columns.items():
            np.testing.assert_array_equal(back.columns[name], values)
    if layout == "pandas":
        # A box by its corners, as upscale takes it; a group column asked for by name must be there.
        cornered, = vireo20.from_pandas(tables[0], box=[[0, 0, 0], [5, 5, 5]])
        assert cornered.box == vireo20.Box.orthogonal([0, 0, 0], [5, 5, 5], periodic=(True, True, True))
        with pytest.raises(InputError, match="array 'nope': no such column to group by"):
            list(vireo20.from_pandas(tables[0], group_by="nope"))


def test_a_csv_files_faults_name_the_step_column_and_line(tmp_path):
    rows = "timestep,x,y,z,n\n0,1,2,3,4\n0,1,2,3,5\n10,1,2,3,6.5"   # no newline at the end
    (tmp_path / "a.csv").write_text(rows)
    # A column whose first row is whole holds reals later: it is read as reals, in every step.
    assert [f.columns["n"].tolist() for f in inputs.open_series(str(tmp_path / "a.csv"))] == [[4.0, 5.0], [6.5]]
    # Read, but told: its last value may be cut ("6." of "6.5"); blank lines after a last newline are not.
    assert "a.csv: its last row ends without a newline" in inputs.open_series(str(tmp_path / "a.csv")).notes()[0]
    # Excel's: a byte order mark, CRLF, decimal commas between semicolons, a closing separator, blank
    # lines at the end.
    (tmp_path / "e.csv").write_bytes(b"\xef\xbb\xbfID;X;Y;Z;Mass;\r\n1;0,5;1,25;-2,0;1e-3;\r\n2;1,5;2;3;2,5E-3;\r\n\r\n")
    frame, = inputs.open_series(str(tmp_path / "e.csv"))
    assert not inputs.open_series(str(tmp_path / "e.csv")).notes()
    assert frame.positions.tolist() == [[0.5, 1.25, -2], [1.5, 2, 3]] and frame.columns["mass"].tolist() == [1e-3, 2.5e-3]
    assert frame.columns["id"].tolist() == [1, 2]
    # ParaView's export: quoted names, NAME:0 NAME:1 NAME:2 components; a text too long for a label is left out.
    (tmp_path / "p.csv").write_text('"id","Velocity:0","Velocity:1","Velocity:2","Points:0","Points:1","Points:2","f"\n'
                                    f'7,0.5,1.5,2.5,1,2,3,{"x" * 40}\n')
    frame, = inputs.open_series(str(tmp_path / "p.csv"))
    assert frame.positions.tolist() == [[1, 2, 3]] and frame.columns["velocity"].tolist() == [[0.5, 1.5, 2.5]]
    assert sorted(frame.columns) == ["id", "velocity"]
    # Whole numbers in real columns (a first step at rest) are reals, as in the steps after it.
    (tmp_path / "w.csv").write_text("id,x,y,z,vx,vy,vz,mass,ix\n1,0,0,0,0,0,0,1,2\n")
    frame, = inputs.open_series(str(tmp_path / "w.csv"))
    assert {name: (values.dtype.kind, values.shape) for name, values in frame.columns.items()} == {
        "id": ("i", (1,)), "velocity": ("f", (1, 3)), "mass": ("f", (1,)), "ix": ("i", (1,))}
    # A column real in one step's file (not in its first row) is real in every step's.
    for step, value in ((0, "300"), (1, "300\n0,0,0,300.5")):
        (tmp_path / "steps").mkdir(exist_ok=True)
        (tmp_path / "steps" / f"s_{step}.csv").write_text(f"x,y,z,t\n0,0,0,{value}\n")
    assert [f.columns["t"].dtype.kind for f in inputs.open_series(str(tmp_path / "steps"))] == ["f", "f"]
    # A header alone is a step without particles; a name given twice is told apart as pandas does.
    (tmp_path / "h.csv").write_text("x,y,z,x\n")
    frame, = inputs.open_series(str(tmp_path / "h.csv"))
    assert frame.positions.shape == (0, 3) and sorted(frame.columns) == ["id", "x_1"]
    # So is an export's first step's, its step column then no value, its step its name's number.
    (tmp_path / "pour").mkdir()
    (tmp_path / "pour" / "p_0.csv").write_text("timestep,x,y,z,mol\n")
    (tmp_path / "pour" / "p_1.csv").write_text("timestep,x,y,z,mol\n500,0,0,0,3\n")
    empty, full = inputs.open_series(str(tmp_path / "pour"))
    assert (empty.timestep, full.timestep, sorted(empty.columns)) == (0, 500, ["id", "mol"])
    assert full.columns["mol"].dtype.kind == "i"   # the header alone types no column as reals
    # pandas's to_csv writes NaN as an empty value, the first and last of a line too: read as nan.
    import pandas as pd
    table = pd.DataFrame({"q": [np.nan, 1.5, 2.0], "timestep": [0, 0, 5], "x": [0.0, 1, 2], "y": 0.0, "z": 0.0,
                          "r": [1.0, 2.0, np.nan]})
    table.to_csv(tmp_path / "nan.csv", index=False)
    first, last = inputs.open_series(str(tmp_path / "nan.csv"))
    np.testing.assert_array_equal(np.concatenate([first.columns["q"], last.columns["q"]]), table["q"])
    np.testing.assert_array_equal(np.concatenate([first.columns["r"], last.columns["r"]]), table["r"])
    (tmp_path / "closed.csv").write_text("id;x;y;z;q;\n1;0;0;0;;\n2;1;0;0;2.5;\n")   # a separator closing each line
    closed, = inputs.open_series(str(tmp_path / "closed.csv"))
    np.testing.assert_array_equal(closed.columns["q"], [np.nan, 2.5])
    # NumPy's savetxt writes the header as a comment; blanks separate the values of a text table.
    for separator, name in ((",", "c.csv"), (" ", "c.txt")):
        np.savetxt(tmp_path / name, [[1, 2, 3, 4.5]], delimiter=separator, header=separator.join("xyzn"), fmt="%g")
        frame, = inputs.open_series(str(tmp_path / name), format="csv")
        assert frame.positions.tolist() == [[1, 2, 3]] and frame.columns["n"].tolist() == [4.5]
    for text, match in [(rows + "\n0,1,2,3,7\n", "step 0: array 'timestep': the rows of this step do not follow"),
                        (rows.replace("0,1,2,3,5", "0,1,2,3"), "data line 2 has 4 values where the header names 5"),
                        (rows.replace("2,3,5", "2,x3,5"), "step 0: array 'z': value 'x3' on data line 2")]:
        (tmp_path / "b.csv").write_text(text)
        with pytest.raises(InputError, match=match):
            list(inputs.open_series(str(tmp_path / "b.csv")))


CFG = """Number of particles = 3
# a comment
A = 2.0 Angstrom (basic length-scale)
H0(1,1) = 5 A
H0(2,2) = 4 A
H0(3,3) = 3 A
.NO_VELOCITY.
entry_count = 6
auxiliary[0] = id
auxiliary[1] = c_pe [eV]
auxiliary[2] = mol
12.011
C
0.125 0.25 0.5 7 -1.5 1
0.875 0.25 0.5 8 -2.5 1
1.008
H
0.5 0.5 0.5 9 0.25 2
"""


def test_cfg_files_of_each_kind_and_their_faults(tmp_path):
    (tmp_path / "a.cfg").write_text(CFG)
    frame, = inputs.open_series(str(tmp_path / "a.cfg"))
    assert frame.positions.tolist() == [[1.25, 2, 3], [8.75, 2, 3], [5, 4, 3]] and frame.wrapped
    assert frame.box == Box(np.zeros(3), np.diag([10.0, 8, 6]), (True, True, True))
    # LAMMPS's wrapped coordinates stray past a face until its next neighbour list rebuild: still wrapped.
    (tmp_path / "stray.cfg").write_text(CFG.replace("0.875 0.25", "-0.02 0.25"))
    assert inputs.open_series(str(tmp_path / "stray.cfg"))[0].wrapped
    assert {name: values.tolist() for name, values in frame.columns.items()} == {
        "id": [7, 8, 9], "c_pe": [-1.5, -2.5, 0.25], "mol": [1, 1, 2], "mass": [12.011, 12.011, 1.008],
        "element": [b"C", b"C", b"H"]}
    # Standard CFG: mass, element, coordinates and velocities on each line.
    (tmp_path / "s.cfg").write_text("Number of particles = 2\nA = 1 Angstrom\n"
                                    "H0(1,1) = 10\nH0(2,2) = 10\nH0(3,3) = 10\n"
                                    "1.0 1 0.5 0.5 0.5 0.1 0.2 0.3\n2.0 2 0.25 0.5 1.5 0 0 0\n")
    frame, = inputs.open_series(str(tmp_path / "s.cfg"))
    assert frame.positions.tolist() == [[5, 5, 5], [2.5, 5, 15]] and not frame.wrapped
    assert frame.columns["type"].tolist() == [1, 2] and frame.columns["cfg_velocity"].tolist()[0] == [0.1, 0.2, 0.3]
    for old, new, match in [("= 3\n", "= 4\n", "3 atom lines where 'Number of particles' says 4"),
                            ("8 -2.5 1", "8 -2.5", "line 15 has 5 values where an atom's line has 6"),
                            ("12.011\nC\n", "", "the first atom's line comes before any mass line"),
                            ("12.011", "twelve", "array 'mass': 'twelve' is not a number"),
                            ("7 -1.5", "7 x1.5", "array 'c_pe': value 'x1.5' on atom line 1"),
                            ("H0(3,3) = 3", "H0(3,3) = 0", "array 'H0': the box's edge vectors"),
                            ("A = 2.0", "Transform(1,1) = 2", "array 'Transform': a cell given by H0 and Transform"),
                            ("C\n0.125", "C\n1\n0.125", "line 14 has 1 values where an atom's line has 6, after its "),
                            ("0.25 2\n", "0.25 2\n" + CFG, "line 19 has 5 values where an atom's line has 6 (a second")]:
        (tmp_path / "b.cfg").write_text(CFG.replace(old, new, 1))
        with pytest.raises(InputError, match=re.escape(match)):
            list(inputs.open_series(str(tmp_path / "b.cfg")))


YAML = """---
creator: LAMMPS
timestep: 20
units: real
time: 0.5
natoms: 3
boundary: [ p, p, p, p, f, f, ]
box:
  - [ 0, 10 ]
  - [ -1, 1.5 ]
  - [ 0, 4 ]
keywords: [ id, mol, type, x, y, z, vx, vy, vz,  ]
data:
  - [ 1, 1, 1, 0.5, 0, 1, 0.25, 0, -1, ]
  - [ 2, 1, 2, 9.5, 0, 1, 0, 0, 0, ]
  - [ 3, 2, 1, 5, 1, 2, 1e-3, 2, 3, ]
...
"""


def test_a_lammps_dump_yaml_and_its_faults(tmp_path):
    (tmp_path / "a.yaml").write_text(YAML + YAML.replace("timestep: 20", "timestep: 40"))
    frames = list(inputs.open_series(str(tmp_path / "a.yaml")))
    assert [(f.timestep, f.time, f.units, f.wrapped) for f in frames] == [(20, 0.5, "real", True), (40, 0.5, "real", True)]
    assert frames[0].box == Box.orthogonal([0, -1, 0], [10, 1.5, 4], (True, True, False))
    assert frames[0].positions.tolist() == [[0.5, 0, 1], [9.5, 0, 1], [5, 1, 2]]
    assert frames[0].columns["velocity"][2].tolist() == [1e-3, 2, 3] and frames[0].columns["mol"].tolist() == [1, 1, 2]
    for old, new, match in [("natoms: 3", "natoms: 4", "step 20: 3 data rows where 'natoms' says 4"),
                            ("1e-3, 2,", "1e-3, x2,", "step 20: array 'vy': value 'x2' on data row 3"),
                            ("0, 0, 0, ]", "0, 0, ]", "data row 2 has 8 values where 'keywords' names 9"),
                            ("keywords: [ id, mol, type, x, y, z, vx, vy, vz,  ]", "", "the frame names no columns"),
                            ("data:", "rows:", "has no 'data:' rows"), ("timestep: 20", "timestep: a", "a whole"),
                            ("  - [ 0, 4 ]\n", "", "has 2 lines where a box has 3 of two bounds")]:
        (tmp_path / "b.yaml").write_text(YAML.replace(old, new))
        with pytest.raises(InputError, match=re.escape(match)):
            list(inputs.open_series(str(tmp_path / "b.yaml")))


@pytest.mark.parametrize("kind", ["csv", "cfg", "yaml", "data", "fstat"])
def test_a_damaged_file_is_one_input_error(kind, tmp_path):
    """Bytes flipped, cut, dropped or put in at random, plain and gzip: every fault a reader's error
    (MercuryDPM's .data, and its .fstat beside an intact .data)."""
    import gzip
    import pandas as pd
    from vireo20 import reading
    text = pd.concat(_particles_table()[:2]).to_csv(index=False).encode()[:2500] if kind == "csv" else \
        {"cfg": CFG, "yaml": YAML + YAML, "data": MERCURY, "fstat": FSTAT}[kind].encode()
    rng = np.random.default_rng(8)
    for trial in range(120):
        data = bytearray(text)
        for _ in range(rng.integers(1, 5)):
            at = int(rng.integers(0, max(len(data), 1)))
            change = rng.integers(0, 4)
            if change == 0 and data:
                data[at] = int(rng.integers(0, 256))
            elif change == 1:
                del data[at:at + int(rng.integers(1, 40))]
            elif change == 2:
                data[at:at] = bytes(rng.choice(list(b',;\t\n\r "#.e-+019xa='), size=int(rng.integers(1, 6))))
            else:
                data = data[:at]
        path = tmp_path / f"f{trial % 2}.{kind}{'.gz' if trial % 4 == 0 and kind != 'fstat' else ''}"
        path.write_bytes(gzip.compress(bytes(data)) if trial % 4 == 0 and kind != "fstat" else bytes(data))
        if kind == "fstat":
            path = tmp_path / f"f{trial % 2}.data"
            path.write_text(MERCURY)
        reading._close_open_files()
        try:
            for frame in inputs.open_series(str(path), format="mercurydpm" if kind in ("data", "fstat") else kind):
                frame.arguments(masses=None if "mass" in frame.columns else MassRule(density=1.0))
        except InputError:
            pass


# MercuryDPM: two steps of two particles (the second step's pair across the periodic x face), the
# fstat's pair written from both sides, a wall contact, and the restart's species and boundary.
MERCURY = """2 0.5 0 0 0 10 4 4 
1.5 2 3 0.25 -0.5 1 0.5 0.1 0.2 0.3 1 2 3 0
9.75 2 3 0 0 0 0.25 0 0 0 0 0 0 1
2 1 0 0 0 10 4 4 
0.25 2 3 0.25 -0.5 1 0.5 0.1 0.2 0.3 1 2 3 0
9.75 2.5 3 0 0 0 0.25 0 0 0 0 0 0 1
"""
FSTAT = """# 0.5 1
# 0 0 0 10 4 4
# 0.25 0.5 0
0.5 0 1 0 0 0 0.125 0 2 0.5 1 0 0 0 1 0
0.5 1 0 0 0 0 0.125 0 2 0.5 -1 0 0 0 -1 0
0.5 1 -3 0 0 0 0.25 0.5 4 0 0 0 1 0 0 0
# 1 1
# 0 0 0 10 4 4
# 0.25 0.5 0
1 1 0 0 0 0 0.25 0 3 0 1 0 0 0 0 0
"""
RESTART = """restart_version 1.0 name run
xMin 0 xMax 10 yMin 0 yMax 4 zMin 0 zMax 4
systemDimensions 3 particleDimensions 3 gravity 0 0 -9.8
Species 2
LinearViscoelasticSpecies id 0 density 2000 stiffness 1000
LinearViscoelasticSpecies id 1 density 1000 stiffness 1000
LinearViscoelasticMixedSpecies idA 0 idB 1 stiffness 1000
Walls 0
Boundaries 1
PeriodicBoundary id 0 normal 1 0 0 scaleFactor 1 distanceLeft 0 distanceRight 10 shift 10 0 0
Particles 2
SphericalParticle id 0 indSpecies 0 position 1.5 2 3
"""


def _mercury(folder, data=MERCURY, fstat=FSTAT, restart=RESTART, name="run.data"):
    for text, file in ((data, name), (fstat, "run.fstat"), (restart, "run.restart")):
        if text is not None:
            (folder / file).write_text(text)
    return str(folder / name)


def test_a_mercurydpm_run_reads_with_its_contacts_species_and_periodic_box(tmp_path):
    import vireo20
    from test_vireo20_job import read_vtp
    series = inputs.open_series(_mercury(tmp_path))
    first, second = (pickle.loads(pickle.dumps(loader)).load() for loader in series.loaders())
    assert [(f.timestep, f.time, f.wrapped) for f in (first, second)] == [(0, 0.5, True), (1, 1.0, True)]
    assert first.box == Box.orthogonal([0, 0, 0], [10, 4, 4], (True, False, False))
    assert first.positions.tolist() == [[1.5, 2, 3], [9.75, 2, 3]]
    assert first.columns["orientation"][0].tolist() == [0.1, 0.2, 0.3]
    assert first.columns["omega"][0].tolist() == [1, 2, 3]
    assert first.columns["type"].tolist() == [0, 1] and first.columns["velocity"][0].tolist() == [0.25, -0.5, 1]
    assert first.columns["mass"].tolist() == [2000 * (4 / 3 * np.pi * 0.5 * 0.5 * 0.5),
                                              1000 * (4 / 3 * np.pi * 0.25 * 0.25 * 0.25)]
    # The pair once, from its lower row; the wall contact as kind 1.
    assert first.contacts.tolist() == [[1, 2], [2, 2]] and first.contact_kinds.tolist() == [0, 1]
    assert first.contact_values["normal_force"].tolist() == [2, 4]
    assert first.contact_values["tangential_overlap"].tolist() == [0, 0.5]
    assert second.contacts.tolist() == [[2, 1]] and second.contact_values["overlap"].tolist() == [0.25]
    # Its folder, VTK files and all, found as MercuryDPM's; the agglomerate of the second step whole
    # across the periodic face.
    (tmp_path / "runParticle_0.vtu").write_text("<VTKFile/>\n")
    result = vireo20.run(str(tmp_path), tmp_path / "out", cluster="contacts", coordination=True, picture_step=None)
    step = read_vtp(result.files[1])
    masses = second.columns["mass"]
    centre = (masses[0] * 0.25 + masses[1] * -0.25) / masses.sum()
    assert step["group_id"].tolist() == [1] and step["coordination"].tolist() == [1.0]
    assert np.isclose(step["points"][0, 0] % 10, centre % 10, rtol=0, atol=1e-12)
    # Another run in the folder is named apart; an MPI run's processes' files are parts of its steps.
    (tmp_path / "other.data").write_text(MERCURY)
    with pytest.raises(InputError, match=re.escape("several MercuryDPM runs (other, run): name one with --stem")):
        inputs.open_series(str(tmp_path))
    assert len(inputs.open_series(str(tmp_path), stem="run")) == 2
    for number in (0, 1):
        (tmp_path / f"run.data{number}").write_text(MERCURY)
    with pytest.raises(InputError, match="MPI processes"):
        inputs.open_series([str(tmp_path / "run.data0"), str(tmp_path / "run.data1")])


def _mercury_run(folder, dimension, per_step, seed=2):
    """Three steps of 40 particles as MercuryDPM writes them (positions to 15 digits, the rest to 10),
    each pair of the fstat from both sides but where its first particle is fixed; (path, pairs)."""
    rng = np.random.default_rng(seed)
    g = lambda values, digits=10: " ".join(f"{v:.{digits}g}" for v in values)
    pairs = []
    for k in range(3):
        positions, rest = rng.random((40, 3)) * [10, 4, 4], rng.normal(size=(40, 7))
        radius, species = 0.1 + 0.1 * rng.random(40), rng.integers(0, 2, 40)
        bounds = [0, 0, 0, 10, 4, 4] if dimension == 3 else [0, 0, 10, 4]
        lines = [f"40 {k * 0.25:.10g} {g(bounds)} "]
        for i in range(40):
            if dimension == 3:
                words = [g(positions[i], 15), g(rest[i, :3]), g([radius[i]]), g(rest[i, 3:]), "0 0"]
            else:
                words = [g(positions[i, :2], 15), g(rest[i, :2]), g([radius[i]]), g(rest[i, 2:4])]
            lines.append(" ".join(words + [str(species[i])]))
        step_pairs = {tuple(p) for p in rng.integers(0, 40, (30, 2)) if p[0] != p[1]}
        step_pairs = {p for p in step_pairs if p[::-1] not in step_pairs or p[0] < p[1]}
        fstat = [f"# {k * 0.25:.10g} 1", "# 0 0 0 10 4 4", "# 0.1 0.2 0"]
        for i, j in sorted(step_pairs, key=lambda p: rng.random()):
            force = rng.random()
            fstat.append(f"{k * 0.25:.10g} {i} {j} 0 0 0 0.01 0 {force:.10g} 0 1 0 0 0 0 0")
            if (i + j) % 3:
                fstat.append(f"{k * 0.25:.10g} {j} {i} 0 0 0 0.01 0 {force:.10g} 0 -1 0 0 0 0 0")
        pairs.append(step_pairs)
        name = f"run.data.{k:04d}" if per_step else "run.data"
        with open(folder / name, "a") as stream:
            stream.write("\n".join(lines) + "\n")
        with open(folder / (f"run.fstat.{k:04d}" if per_step else "run.fstat"), "a") as stream:
            stream.write("\n".join(fstat) + "\n")
    (folder / "run.restart").write_text(RESTART.replace("normal 1 0 0 scaleFactor 1 distanceLeft 0 distanceRight 10",
                                                        "normal 0 -1 0 scaleFactor 1 distanceLeft -4 distanceRight 0")
                                        .replace("particleDimensions 3", f"particleDimensions {dimension}"))
    return str(folder if per_step else folder / "run.data"), pairs


@pytest.mark.filterwarnings("ignore:.*no .mol. column")
@pytest.mark.parametrize("dimension", [3, 2])
def test_mercurydpm_files_a_step_or_one_file_give_the_same_series(dimension, tmp_path):
    import vireo20
    os.makedirs(tmp_path / "steps"), os.makedirs(tmp_path / "one")
    paths = [_mercury_run(tmp_path / "steps", dimension, True)[0]]
    path, pairs = _mercury_run(tmp_path / "one", dimension, False)
    for frame, step_pairs in zip(inputs.open_series(path), pairs):
        assert {tuple(sorted(p)) for p in frame.contacts - 1} == {tuple(sorted(p)) for p in step_pairs}
        assert frame.box == Box.orthogonal([0, 0, 0], [10, 4, 1 if dimension == 2 else 4],
                                           (False, True, False))
        radius = frame.columns["radius"]
        assert np.array_equal(frame.columns["mass"], np.where(frame.columns["type"] == 0, 2000, 1000) * (
            (4 / 3 * np.pi) * radius * radius * radius if dimension == 3 else np.pi * radius * radius))
        if dimension == 2:
            assert not frame.positions[:, 2].any() and not frame.columns["omega"][:, :2].any()
    results = [vireo20.run(p, tmp_path / f"out{k}", coordination=True, picture_step=None)
               for k, p in enumerate(paths + [path])]
    assert results[0].timesteps == results[1].timesteps == [0, 1, 2]
    for a, b in zip(results[0].files, results[1].files):
        assert open(a, "rb").read() == open(b, "rb").read()


@pytest.mark.parametrize("file, old, new, match", [
    ("data", "2 1 0 0 0 10 4 4 ", "3 1 0 0 0 10 4 4 ", "the file ends 1 particle lines before the step's end"),
    ("data", "9.75 2 3 0 0 0 0.25", "9.75 2 3 0 0 0.25",
     "3d particle line 2 of the step: 13 values where a 3d particle line has 14"),
    ("data", "0.25 -0.5 1 0.5", "0.25 -0.5 x1 0.5", "value 'x1'"),
    ("data", "2 1 0 0 0 10", "2 b 0 0 0 10", "is not a step's first line"),
    ("data", "2 1 0 0 0 10 4 4 ", "1 1 0 0 0 10 4 4 ", "the step before may hold more lines than its N"),
    ("restart", "normal 1 0 0", "normal 0.6 0.8 0", "is along no axis"),
    ("fstat", None, FSTAT.replace("# 0.5 1", "# 7 1").replace("# 1 1", "# 8 1"),
     "no fstat step is at the time of a data step"),
    ("fstat", "0.5 1 -3 0 0 0", "0.5 1 -3 0 0", "contact line 3 of the step: 15 values where a contact line has 16"),
])
def test_a_mercurydpm_runs_faults(file, old, new, match, tmp_path):
    texts = {"data": MERCURY, "fstat": FSTAT, "restart": RESTART}
    texts[file] = new if old is None else texts[file].replace(old, new, 1)
    with pytest.raises(InputError, match=re.escape(match)):
        list(inputs.open_series(_mercury(tmp_path, texts["data"], texts["fstat"], texts["restart"])))


@pytest.mark.parametrize("kind", ["vtk", "vtp", "tilted vtu"])
def test_dump_vtk_boxes_beside_the_files_are_the_steps_boxes(kind, tmp_path):
    """LAMMPS's dump vtk writes each step's box beside it (a rectilinear grid, or a tilted box's
    hexahedron): the step's box, periodic along the axes given; a pattern that also matches the
    boxes' files reads the particles only."""
    from vtkmodules.util.numpy_support import numpy_to_vtk
    from vtkmodules.vtkCommonCore import vtkPoints
    from vtkmodules.vtkCommonDataModel import vtkCellArray, vtkPolyData, vtkRectilinearGrid, vtkUnstructuredGrid
    from vtkmodules.vtkIOLegacy import vtkPolyDataWriter, vtkRectilinearGridWriter
    from vtkmodules.vtkIOXML import vtkXMLPolyDataWriter, vtkXMLRectilinearGridWriter, vtkXMLUnstructuredGridWriter
    extension = "vtk" if kind == "vtk" else "vtp"
    lo, hi, tilt = np.array([-1.0, 0, 2]), np.array([3.0, 5, 4]), (1.5, 0, 0) if kind == "tilted vtu" else (0, 0, 0)
    box = Box.from_lammps(lo, hi, tilt, periodic=(True, False, True))
    flags = np.array([[1, 0, -1], [0, 0, 0]], np.int32)
    for step in (100, 200):
        data, points, cells = vtkPolyData(), vtkPoints(), vtkCellArray()
        points.SetData(numpy_to_vtk(np.array([[2.5, 1, 3.9], [-0.5, 4, 2.1]]), deep=True))
        for k in range(2):
            cells.InsertNextCell(1, [k])
        data.SetPoints(points), data.SetVerts(cells)
        # The second step's also in xu yu zu (dump vtk ... xu yu zu), which are its positions.
        unwrapped = (("xu", np.array([9.0, 8])), ("yu", np.array([7.0, 6])), ("zu", np.array([5.0, 4])))
        for name, values in (("id", np.array([1, 2], np.int32)), ("mol", np.array([7, 7], np.int32)), ("i", flags),
                             *(unwrapped if step == 200 else ())):
            array = numpy_to_vtk(values, deep=True)
            array.SetName(name)
            data.GetPointData().AddArray(array)
        writer = vtkPolyDataWriter() if kind == "vtk" else vtkXMLPolyDataWriter()
        writer.SetFileName(str(tmp_path / f"dump{step}.{extension}")), writer.SetInputData(data)
        assert writer.Write() == 1
        if kind == "tilted vtu":
            corners = box.origin + np.array([[i, j, k] for k in (0, 1) for j in (0, 1) for i in (0, 1)]) @ box.edges
            grid, hexahedron = vtkUnstructuredGrid(), vtkPoints()
            hexahedron.SetData(numpy_to_vtk(corners[[0, 1, 3, 2, 4, 5, 7, 6]], deep=True))
            grid.SetPoints(hexahedron), grid.InsertNextCell(12, 8, list(range(8)))
            domain, name = vtkXMLUnstructuredGridWriter(), f"dump{step}_boundingBox.vtu"
        else:
            grid = vtkRectilinearGrid()
            grid.SetDimensions(2, 2, 2)
            grid.SetXCoordinates(numpy_to_vtk(np.array([lo[0], hi[0]]), deep=True))
            grid.SetYCoordinates(numpy_to_vtk(np.array([lo[1], hi[1]]), deep=True))
            grid.SetZCoordinates(numpy_to_vtk(np.array([lo[2], hi[2]]), deep=True))
            domain = vtkRectilinearGridWriter() if kind == "vtk" else vtkXMLRectilinearGridWriter()
            name = f"dump{step}_boundingBox.{'vtk' if kind == 'vtk' else 'vtr'}"
        domain.SetFileName(str(tmp_path / name)), domain.SetInputData(grid)
        assert domain.Write() == 1
    series = inputs.open_series(str(tmp_path / f"dump*.{extension}"), periodic="xz")
    frames = list(series)
    assert [frame.timestep for frame in frames] == [100, 200] and frames[0].box == box
    # Unwrapped with the image flags, along the periodic axes alone.
    want = np.array([[2.5, 1, 3.9], [-0.5, 4, 2.1]]) + np.array([1, 0, -1]) @ box.edges * [[1], [0]]
    np.testing.assert_allclose(frames[0].positions, want, rtol=1e-12)
    np.testing.assert_array_equal(frames[1].positions, [[9, 7, 5], [8, 6, 4]])
    assert not inputs.open_series(str(tmp_path), format="vtk")[0].box.any_periodic


@pytest.mark.filterwarnings("ignore::UserWarning")   # MDAnalysis's PDB writer names every field it fills
def test_mdanalysis_types_by_name_take_masses_and_types_by_label(tmp_path):
    """A PDB's atoms have element names, whose masses MDAnalysis may not know (0): --mass and --types
    take the names."""
    import vireo20
    from test_vireo20_job import read_vtp
    universe = pytest.importorskip("MDAnalysis").Universe.empty(4, n_residues=2, atom_resindex=[0, 0, 1, 1],
                                                                trajectory=True)
    for name, values in (("names", ["Q1", "Z1", "Q2", "Z2"]), ("types", ["Q", "Z", "Q", "Z"]), ("resids", [1, 2]),
                         ("masses", [0.0] * 4)):
        universe.add_TopologyAttr(name, values)
    universe.atoms.positions = [[1, 1, 1], [2, 1, 1], [5, 5, 5], [5, 6, 5]]
    universe.atoms.write(str(tmp_path / "two.pdb"))
    run = lambda out, **options: read_vtp(vireo20.run(str(tmp_path / "two.pdb"), tmp_path / out, format="mdanalysis",
                                                      picture_step=None, group_by="residues", **options).files[0])
    assert run("up", masses=["Q=1", "Z=3"])["points"].tolist() == [[1.75, 1, 1], [5, 5.75, 5]]
    assert run("kept", masses=["Z=3"], types=["Z"])["points"].tolist() == [[2, 1, 1], [5, 6, 5]]


def test_a_data_files_type_labels_name_and_number_the_types_of_its_dump(tmp_path):
    """LAMMPS's Atom Type Labels (2022 on), which may stand for the types in its sections: a dump of type
    numbers takes --types and --mass by label; one of labels (`dump_modify types labels`) takes their
    numbers, so groups by type and the Masses follow; a label the data file lacks is named."""
    import vireo20
    from test_vireo20_job import read_vtp
    (tmp_path / "labelled.data").write_text(
        "title\n\n3 atoms\n2 atom types\n\n0 9 xlo xhi\n0 9 ylo yhi\n0 9 zlo zhi\n\nAtom Type Labels\n\n"
        "1 C  # carbon\n2 H\n\nMasses\n\n1 12\n2 1\n\nAtoms # molecular\n\n1 1 1 1 1 1\n2 1 H 2 1 1\n3 1 2 1 2 1\n")
    dump = "ITEM: TIMESTEP\n0\nITEM: NUMBER OF ATOMS\n3\nITEM: BOX BOUNDS pp pp pp\n0 9\n0 9\n0 9\n" \
           "ITEM: ATOMS id type x y z\n3 2 1 2 1\n1 1 1 1 1\n2 2 2 1 1\n"
    run = lambda text, **options: (tmp_path / "atoms.dump").write_text(text) and read_vtp(vireo20.run(
        str(tmp_path / "atoms.dump"), tmp_path / "up", picture_step=None, **options).files[0])
    topology = str(tmp_path / "labelled.data")
    assert run(dump, topology=topology, masses=["H=1", "C=3"], types=["H"], group_by="residues")["points"].tolist() \
        == [[1.5, 1.5, 1]]
    labelled = dump.replace("3 2 1", "3 H 1").replace("1 1 1 1 1", "1 C 1 1 1").replace("2 2 2", "2 H 2")
    vtp = run(labelled, topology=topology, group_by="type")
    by_type = {int(t): (p.tolist(), m) for t, p, m in zip(vtp["group_id"], vtp["points"], vtp["mass"])}
    assert by_type == {1: ([1, 1, 1], 12), 2: ([1.5, 1.5, 1], 2)}
    with pytest.raises(vireo20.InputError, match="type label 'O' is not among the Atom Type Labels"):
        run(labelled.replace("2 H 2", "2 O 2"), topology=topology, group_by="type")
    with pytest.raises(vireo20.InputError, match=r"holds labels \(C, H\), and groups are numbered: give the LAMMPS"):
        run(labelled, group_by="type", masses=["C=12", "H=1"])
