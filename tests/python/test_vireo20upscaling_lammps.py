"""A real simulation as a check: clumps of 1 to 6 particles moved by LAMMPS, whose own com/chunk and
reduce/chunk give each clump's centre of mass and mass; the generator's agree on every frame."""
import shutil

import numpy as np
import pytest

from upscaling_model import lammps_frames, molecule_parents, run_lammps

quill20 = pytest.importorskip("quill20")
import _vireo20upscaling  # noqa: E402  (after quill20)

pytestmark = pytest.mark.skipif(shutil.which("lmp") is None, reason="LAMMPS (lmp, Debian package lammps) is not installed")

SCRIPT = """
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


def test_centres_and_masses_agree_with_lammps(tmp_path):
    write_clumps(tmp_path / "clumps.data")
    (tmp_path / "in.clumps").write_text(SCRIPT)
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
