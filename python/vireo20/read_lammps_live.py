"""The atoms of a LAMMPS simulation running in this Python process, as one frame: `vireo20.from_lammps(lmp)`
after `lmp.command("run N")`, `lmp` the `lammps` module's instance (or PyLammps's `.lmp`). A generator
that runs the simulation on and yields these frames is a series `vireo20.run` upscales as it runs.

Every atom, gathered over the MPI processes (LAMMPS's `gather_atoms_concat`: under MPI, every process
calls it), positions unwrapped with the image flags; the box and its periodicity, the timestep, the
time and the unit style; columns `id`, `type` and `mass` (the atom's own where the atom style has
one, else its type's), and where the atom style has them `mol`, `q`, `radius`, `velocity`, `force`
and `omega`, named as a dump's columns are. Nothing is changed in the simulation: no command runs.
"""
import numpy as np

from .frames import Box, InputError
from .reading import particles_frame

# Per-atom properties that the atom style may lack: (LAMMPS's name, its flag, the column, its kind, width).
OPTIONAL = (("molecule", "molecule_flag", "mol", 0, 1), ("q", "q_flag", "q", 1, 1),
            ("radius", "radius_flag", "radius", 1, 1), ("omega", "omega_flag", "omega", 1, 3))


def from_lammps(lmp, index=0):
    """The frame of the simulation as it stands (see the module's text); `index` is its place in a
    series of such frames."""
    source = "LAMMPS"
    if not hasattr(lmp, "gather_atoms_concat") and hasattr(lmp, "lmp"):
        lmp = lmp.lmp   # PyLammps, IPyLammps
    timestep = int(lmp.extract_global("ntimestep"))
    count = int(lmp.get_natoms())
    if count > np.iinfo(np.int32).max or lmp.extract_setting("tagint") != 4:
        # LAMMPS gathers integers as 32-bit ints: larger atom ids would come back cut.
        raise InputError(source, timestep, "id", "atom ids of 64 bits (a LAMMPS built with -DLAMMPS_BIGBIG) "
                                                 "cannot be gathered through LAMMPS's library interface")

    def gathered(name, kind, width):
        values = np.ctypeslib.as_array(lmp.gather_atoms_concat(name, kind, width))
        values = values.astype(np.float64 if kind else np.int64)
        return values.reshape(count, width) if width > 1 else values

    ids = gathered("id", 0, 1)
    types = gathered("type", 0, 1)
    lo, hi, xy, yz, xz, periodic, _ = lmp.extract_box()
    box = Box.from_lammps(lo, hi, (xy, xz, yz), [bool(p) for p in periodic])
    positions = box.unwrap(gathered("x", 1, 3), gathered("image", 0, 3))
    if lmp.extract_setting("rmass_flag"):
        masses = gathered("rmass", 1, 1)
    else:
        per_type = np.ctypeslib.as_array(lmp.extract_atom("mass"), shape=(lmp.extract_setting("ntypes") + 1,))
        masses = np.asarray(per_type, dtype=np.float64)[types]
    columns = {"id": ids, "type": types, "mass": masses}
    for name, flag, column, kind, width in OPTIONAL:
        if lmp.extract_setting(flag):
            columns[column] = gathered(name, kind, width)
    columns["velocity"], columns["force"] = gathered("v", 1, 3), gathered("f", 1, 3)
    frame = particles_frame(source, index, timestep, positions, columns, box)
    time = lmp.extract_global("atime")   # LAMMPS 2020 and later
    frame.time = float(time) if time is not None else None
    frame.units = lmp.extract_global("units")
    return frame
