"""Input from anything MDAnalysis reads: a topology and a trajectory in any of its formats
(MDAnalysis is optional: Debian's python3-mdanalysis).

`open_series(trajectory, topology=TOPOLOGY, group_by=LEVEL)`; without a topology the one file is
both (a PDB, GRO, XYZ or GSD file, or a LAMMPS data file; such files are told by their extension). A
trajectory written one file per step is a list or pattern of its files, chained in the natural order
of their names. Further keywords (`topology_format`, `format` as `trajectory_format`, `atom_style`
for LAMMPS data files, `convert_units`, ...) go to `MDAnalysis.Universe`. A LAMMPS dump (text or
binary, one file or one per step) after its data file is read by the job's own dump reader (exact
positions, box and steps, the dump's every column), and the data file gives, by atom id, what the
dump lacks: masses, charges, types and the groups below (a `dump atom` has no molecule ids); so is
an XYZ file (LAMMPS's dump xyz) after its data file, by the extended XYZ reader (see `read_extxyz`). The
data file is read natively for the atom styles `lammps_data` knows (MDAnalysis is then not needed),
alone too: its frame exact, positions unwrapped with its image flags.

Where MDAnalysis knows a format's units, the frames are in its own (Å, Å/ps, u: `units`
"mdanalysis", which --temperature takes). Positions are MDAnalysis's, taken as wrapped when the
trajectory has a box, which is then periodic in every direction (origin 0, edges from its lengths
and angles). Timestep: the simulation step where the format stores one (LAMMPS dumps and DCD, GROMACS
XTC/TRR, GSD, H5MD, TNG), else the frame's position; the time where the format stores one.

Columns: `id` (the atom ids), `mass` (the topology's masses, or MDAnalysis's guesses from the atom
types where it has none), `velocity` and `force` when the trajectory has them, `charge` when the
topology has charges, `type` when every atom type is a whole number (LAMMPS), and the group labels
of each level the topology has, numbered from 1: `molecules` (GROMACS molecule numbers),
`fragments` (bonded fragments where the topology has bonds, numbered in the order of their
lowest atom; an atom without bonds is in no group, 0), `residues` (the residue ids when each
residue has its own, as a LAMMPS data file's molecule ids are: 0 or below is no group; else the
residue's index + 1) and `segments`. `group_by` picks the default: else molecules, fragments,
residues, segments, the first the topology has that does not put every atom in one group (an XYZ
file's; without one, each atom is upscaled on its own).
"""
import re
import warnings

import numpy as np

from .frames import Box, InputError, kept_bonds
from .reading import (FrameLoader, Loaders, bonded_components, cached_open, column, missing_library,
                      natural_key, particles_frame)

LEVELS = ("molecules", "fragments", "residues", "segments")
# A LAMMPS data file's molecule ids (residues) are its molecules, as chunk/atom molecule and a dump's
# mol take them (a rigid body and its bonded tether are one); its bonded fragments where the ids put
# every atom in one group.
DATA_LEVELS = ("molecules", "residues", "fragments", "segments")


# Files that are a topology and a trajectory at once, by MDAnalysis's own extensions for them.
SELF_CONTAINED = (".pdb", ".ent", ".gro", ".xyz", ".pqr", ".mol2", ".crd", ".txyz", ".arc")


def sniff(path, head):
    """A LAMMPS data file (write_data's, say), or a PDB, GRO, XYZ (LAMMPS's dump xyz, say) ... file,
    is a topology and its frames by itself; any other trajectory needs its topology, which only the
    caller can name."""
    name = str(path).lower()
    for packed in (".gz", ".bz2"):
        name = name[:-len(packed)] if name.endswith(packed) else name
    return name.endswith(SELF_CONTAINED) or _data_header(head)


def _data_header(head):
    return _DATA_COUNTS.search(head) is not None and _DATA_TYPES.search(head) is not None


def _lammps_data(path):
    from .inputs import head
    try:
        return _data_header(head(path))
    except OSError:
        return False


_DATA_COUNTS = re.compile(rb"^[ \t]*\d+[ \t]+atoms[ \t]*\r?$", re.M)
_DATA_TYPES = re.compile(rb"^[ \t]*\d+[ \t]+atom types[ \t]*\r?$", re.M)


def _import():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        try:
            # Imported here first: MDAnalysis puts a filter of its own ahead of this one that shows
            # the deprecation of the module its GROMACS reader imports.
            import xdrlib  # noqa: F401
        except ImportError:
            pass
        import MDAnalysis
    return MDAnalysis


def _lammps_dump(path):
    from . import inputs, read_lammps
    try:
        return read_lammps.sniff(path, inputs.head(path))
    except OSError:
        return False


def _xyz_with_data_file(path, topology, options):
    """Whether `path` is an (extended) XYZ file and `topology` a LAMMPS data file read natively."""
    from . import inputs, lammps_data, read_extxyz
    if not isinstance(path, str) or options.keys() - {"atom_style"}:
        return False
    try:
        if not read_extxyz.sniff(path, inputs.head(path)):
            return False
    except OSError:
        return False
    return isinstance(lammps_data.topology_atoms(topology, options), lammps_data.DataAtoms)


class _Universe:
    """A universe and the per-atom arrays that do not change between frames."""

    def __init__(self, trajectory, topology, options, universe=None):
        """`universe`: one the caller built, held as it is."""
        self.levels = DATA_LEVELS if dict(options or {}).get("topology_format") == "DATA" else LEVELS
        if universe is not None:
            self.universe = universe
            self._levels()
            return
        options = dict(options)
        MDAnalysis = _import()
        if "trajectory_format" in options:
            options["format"] = options.pop("trajectory_format")
        name = _name(trajectory)
        if "format" not in options and _lammps_dump(name):
            # MDAnalysis tells a LAMMPS dump by its extension (.lammpsdump) alone; a data file and a
            # dump named .dump, .lammpstrj or .atom is the pair LAMMPS users have.
            options["format"] = "LAMMPSDUMP"
        data = topology if topology is not None else name if options.get("topology_format") == "DATA" else None
        if data is not None and options.get("topology_format", "DATA") == "DATA" and _lammps_data(data):
            # And a data file by .data alone, where LAMMPS's own are data.NAME; its atom style as the
            # names of its columns.
            from .lammps_data import mdanalysis_style
            options["topology_format"] = "DATA"
            self.levels = DATA_LEVELS
            options["atom_style"] = mdanalysis_style(data, options.get("atom_style"))
        # Several files (a dump written one file per step) are one trajectory: MDAnalysis chains them.
        trajectory = list(trajectory) if isinstance(trajectory, tuple) else trajectory
        files = (trajectory,) if topology is None else (topology, trajectory)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                self.universe = MDAnalysis.Universe(*files, **options)
                self._levels()
        except Exception as error:   # noqa: BLE001 (some forty parsers, each with its own failures)
            raise InputError(name, "-", "-", f"MDAnalysis cannot read it"
                                                   f"{'' if topology is None else ' with ' + topology} "
                                                   f"({type(error).__name__}: {' '.join(str(error).split())})"
                              ) from None

    def _levels(self):
        self.atoms = self._atoms()
        # A level that holds every atom in one group is a format's placeholder (an XYZ file's one
        # residue): no default, which would make the system one particle.
        self.whole = {level for level in LEVELS if level in self.atoms and len(self.atoms[level]) > 1
                      and self.atoms[level].min() == self.atoms[level].max()}

    def _atoms(self):
        atoms = self.universe.atoms
        columns = {"id": atoms.ids}
        # MDAnalysis gives 0 where it could not guess a mass from a name: such masses are none, and the
        # run asks for them (--mass TYPE=VALUE) rather than refusing a zero.
        if hasattr(atoms, "masses") and (np.asarray(atoms.masses) > 0).all():
            columns["mass"] = atoms.masses
        if hasattr(atoms, "charges"):
            columns["charge"] = atoms.charges
        types = np.asarray(atoms.types) if hasattr(atoms, "types") else np.array([])
        # Told by the few distinct types: a test of each atom's took 0.5 s at a million atoms.
        if len(types) and all(str(t).isdigit() for t in set(types.tolist())):
            columns["type"] = types.astype(np.int64)
        elif len(types):
            types = types.astype(str)
            # Atom types by name (a PDB's elements, GROMACS's types): the labels --mass and --types take.
            columns["type"] = np.char.encode(types, "ascii", "replace") if types.dtype.kind == "U" else types
        if hasattr(atoms, "molnums"):
            columns["molecules"] = atoms.molnums + 1
        self.bonds = None   # pairs of atom ids
        if self._bonded():
            columns["fragments"] = bonded_components(len(atoms), atoms.bonds.to_indices())
            self.bonds = np.asarray(atoms.ids, dtype=np.int64)[atoms.bonds.to_indices()]
        if hasattr(atoms, "resids"):
            unique = len(np.unique(self.universe.residues.resids)) == len(self.universe.residues)
            columns["residues"] = atoms.resids if unique else atoms.resindices + 1
        columns["segments"] = atoms.segindices + 1
        return {name: values if values.dtype.kind == "S" else column(values) for name, values in columns.items()}

    def _bonded(self):
        """Whether the topology has bonds. Asked of the atoms, MDAnalysis first builds each atom's
        list of them, in Python (1.5 s at a million atoms without a bond): its topology's table says."""
        table = getattr(getattr(self.universe, "_topology", None), "bonds", None)
        if table is not None and isinstance(getattr(table, "values", None), list):
            return len(table.values) > 0   # every atom's: the atoms' lists are built once, by the caller
        return hasattr(self.universe.atoms, "bonds") and len(self.universe.atoms.bonds) > 0

    def rows_of(self, ids):
        from .reading import rows_of
        return rows_of(self, self.atoms["id"], ids)

    def close(self):
        self.universe.trajectory.close()


def topology_universe(topology, options):
    """The atoms of a topology alone (no trajectory), as a dump's data file gives them."""
    return _Universe(topology, None, dict(options))


def _universe(topology, trajectory, options):
    try:
        return cached_open(trajectory, _Universe, topology, tuple(sorted(options.items())))
    except ImportError as error:
        raise missing_library(trajectory, "MDAnalysis", "python3-mdanalysis", error) from None


# Options this reader does not name go to MDAnalysis.Universe.
PASSES_OTHER_OPTIONS = True
# A trajectory written one file per step may be given as its files.
READS_SEVERAL_FILES = True

def _name(trajectory):
    """The file that names a trajectory of one file or several in errors."""
    return trajectory if isinstance(trajectory, str) else trajectory[0]


def open_series(path, topology=None, group_by=None, box=None, **universe_options):
    """The frames of a trajectory (`path`: a file, or a list or pattern of files written one per
    step, taken in the natural order of their names) over its topology; see the module's text.
    `box` (a Box) stands in for the trajectory's; a trajectory without one (a PDB of several models)
    takes its LAMMPS data file's."""
    from .inputs import expand
    path = expand(path)
    if not isinstance(path, str):
        path = tuple(sorted(path, key=natural_key)) if len(path) != 1 else path[0]
    if topology is None and isinstance(path, str) and not universe_options.keys() - {"atom_style"}:
        # A LAMMPS data file alone, read here where its atom style is known.
        from . import lammps_data
        try:
            atoms = cached_open(path, lammps_data.DataAtoms, universe_options.get("atom_style"), True)
        except lammps_data.NotDataFile:
            atoms = None
        except lammps_data.Unread:
            atoms = None
            universe_options = {"topology_format": "DATA", "format": "DATA", **universe_options}
        if atoms is not None:
            if group_by is not None and group_by not in atoms.atoms:
                raise InputError(path, "-", group_by, "the data file gives no such groups")
            return Loaders(path, [FrameLoader(lammps_data.read_frame, path, 0,
                                              {"atom_style": universe_options.get("atom_style"), "group_by": group_by})])
    # A LAMMPS dump is read by the job's own reader, its frames completed from the data file's atoms.
    native = topology is not None and not {"format", "trajectory_format"} & set(universe_options) and all(
        _lammps_dump(name) for name in ((path,) if isinstance(path, str) else path))
    xyz = not native and topology is not None and _xyz_with_data_file(path, topology, universe_options)
    if box is not None and (native or xyz):
        raise InputError(_name(path), "-", "box", "a LAMMPS dump gives its own box, and a dump xyz its data file's: "
                                                  "--box is for inputs that give none")
    if native:
        from . import lammps_data
        held = lammps_data.topology_atoms(topology, universe_options)
    elif xyz:
        # Read natively too, at the simulation's steps (MDAnalysis numbers an XYZ file's frames 0, 1, 2).
        from .read_extxyz import open_series as open_xyz
        return open_xyz(path, group_by, topology, universe_options.get("atom_style"))
    else:
        held = _universe(topology, path, universe_options)
    if group_by is not None and group_by not in held.atoms and not (native and group_by not in LEVELS):
        available = [level for level in LEVELS if level in held.atoms]
        raise InputError(topology or path, "-", group_by, f"the topology gives no such groups (it gives "
                                                         f"{', '.join(available)}; --group-by takes "
                                                         f"{', '.join(LEVELS)})")
    options = {"topology": topology, "group_by": group_by, "universe_options": universe_options, "box": box}
    if native:
        from .read_lammps import open_series as open_dump
        series = open_dump(path)
        series.topology = lammps_data.Completion(topology, universe_options, group_by)
        return series
    count = len(held.universe.trajectory)
    return Loaders(_name(path), (FrameLoader(read_frame, path, i, options) for i in range(count)))


def _step(trajectory, ts):
    header = getattr(getattr(trajectory, "_file", None), "header", None)
    if isinstance(header, dict) and "istart" in header and "nsavc" in header:
        # MDAnalysis's DCD step is a file position; the header gives the simulation's.
        return int(header["istart"] + ts.frame * header["nsavc"])
    step = ts.data.get("step")
    return ts.frame if step is None else int(step)


def read_frame(path, index, topology=None, group_by=None, universe_options=None, box=None):
    held = _universe(topology, path, universe_options or {})
    trajectory = held.universe.trajectory
    if not isinstance(path, str):
        # The frame's own file of a chain, for its errors.
        chained = hasattr(trajectory, "_get_local_frame")
        path = path[trajectory._get_local_frame(index)[0]] if chained else path[0]
    converted = (universe_options or {}).get("convert_units", True)
    frame = _frame(held, path, index, None, group_by, converted)
    if box is None and frame.box is None and topology is not None:
        from . import lammps_data
        data = lammps_data.topology_atoms(topology, universe_options or {})
        box = data.box if isinstance(data, lammps_data.DataAtoms) else None
    if box is not None:
        frame.box, frame.wrapped = box, box.any_periodic
    return frame


class Selection:
    """An MDAnalysis Universe or AtomGroup the caller holds (`vireo20.open(universe.select_atoms(...))`):
    the frames of its atoms alone, an updating group's as it is at each frame. Pickles, universe and
    all, as MDAnalysis's own objects do, for Dask's workers."""

    def __init__(self, atoms):
        self.atoms = atoms
        self.held = _Universe(None, None, {}, universe=atoms.universe)
        trajectory = atoms.universe.trajectory
        self.source = str(getattr(trajectory, "filename", None) or getattr(atoms.universe, "filename", None)
                          or "the MDAnalysis universe")

    def read(self, index):
        return _frame(self.held, self.source, index, self.atoms, None,
                      getattr(self.held.universe.trajectory, "convert_units", True))


def from_universe(atoms):
    """The frames of an MDAnalysis Universe or AtomGroup in memory, as a Series (see `Selection`)."""
    selection = Selection(atoms)
    count = len(atoms.universe.trajectory)
    return Loaders(selection.source, (FrameLoader(Selection.read, selection, i, {}) for i in range(count)))


def _frame(held, path, index, selected, group_by, converted):
    """Frame `index` of a held universe, of the atoms `selected` (an AtomGroup, evaluated at the frame)
    or all of them."""
    trajectory = held.universe.trajectory
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            ts = trajectory[index]
            rows = None if selected is None else selected.atoms.ix
            # A fancy index copies; the whole universe's arrays are copied for the frame to own.
            taken = (lambda values: values.copy()) if rows is None else (lambda values: values[rows])
            positions = np.asarray(taken(ts.positions), dtype=np.float64)
            columns = {name: taken(values) for name, values in held.atoms.items()}
            if ts.has_velocities:
                columns["velocity"] = column(taken(ts.velocities))
            if ts.has_forces:
                columns["force"] = column(taken(ts.forces))
            dimensions = ts.dimensions
    except Exception as error:   # noqa: BLE001
        raise InputError(path, f"#{index} of the file", "-", f"the frame cannot be read "
                                                             f"({type(error).__name__}: {error})") from None
    step = _step(trajectory, ts)
    box = None
    if dimensions is not None and np.all(np.asarray(dimensions[:3]) > 0):
        from MDAnalysis.lib.mdamath import triclinic_vectors
        try:
            box = Box(np.zeros(3), triclinic_vectors(dimensions).astype(np.float64), (True, True, True))
        except ValueError as error:
            raise InputError(path, step, "box", str(error)) from None
    default = group_by or next((level for level in held.levels if level in held.atoms and level not in held.whole),
                               "molecules")
    frame = particles_frame(path, index, step, positions, columns, box, wrapped=True, default_group=default)
    # The time the format stores (XTC, TRR, TNG ...; MDAnalysis's ps): a trajectory MDAnalysis wrote
    # stores step 0 in every frame, and its frames are told apart by it.
    time = ts.data.get("time")
    if time is not None and np.isfinite(time):
        frame.time = float(time)
    frame.bonds = held.bonds if selected is None else kept_bonds(held.bonds, frame.columns["id"])
    # MDAnalysis converts what a format's units it knows to its own; the rest (a LAMMPS dump's) stays.
    if converted and trajectory.units.get("velocity"):
        frame.units = "mdanalysis"
    return frame
