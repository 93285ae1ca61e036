"""Which reader takes an input: chosen from the path (a folder's files, the extension, the first
bytes), or named with `format=`. Each reader is a module `read_NAME` offering
`open_series(path, **options) -> Series` and `sniff(path, head) -> bool`; none is imported before
it is needed, so a reader whose library is missing costs nothing until it is asked for.
"""
import collections.abc
import glob
import importlib
import inspect
import os

from .frames import HeldFrame, InputError, Series
from .reading import natural_key

# name -> (module, what it reads); detection tries them in this order.
FORMATS = {
    "npz": ("read_npz", "a folder of .npz files, one per step"),
    "lammps": ("read_lammps", "a LAMMPS dump (dump custom/atom), text (plain, .gz or .zst) or binary (.bin)"),
    # Before VTK: a MercuryDPM run's folder holds its VTK files too, which lack its masses and contacts.
    "mercurydpm": ("read_mercury", "MercuryDPM's .data files, with the .fstat contacts and .restart species beside "
                                   "them"),
    "vtk": ("read_vtk", "VTK particle files: a .pvd series, a folder of .vtu/.vtp files, or one file"),
    "yaml": ("read_yaml", "a LAMMPS dump yaml (LAMMPS 2022 and later)"),
    "gsd": ("read_gsd", "a HOOMD-blue GSD trajectory"),
    "h5md": ("read_h5md", "an H5MD file (HDF5)"),
    "extxyz": ("read_extxyz", "an extended XYZ file (as OVITO, ASE and GPUMD write it)"),
    "cfg": ("read_cfg", "AtomEye CFG files (LAMMPS's dump cfg, OVITO's export), one per step"),
    "csv": ("read_csv", "CSV tables of particles (pandas's to_csv, DEM programs' exports): a file per step, or a "
                        "step column"),
    "mdanalysis": ("read_mda", "a topology and a trajectory that MDAnalysis reads, or a LAMMPS data, PDB, GRO or XYZ "
                             "file alone"),
    "ase": ("read_ase", "anything ASE reads: VASP's XDATCAR, OUTCAR or vasprun.xml, ASE's .traj, CASTEP, XSF, CIF ..."),
}
HEAD_BYTES = 512


def reader(name):
    """The module of a format, by name."""
    if name not in FORMATS:
        raise ValueError(f"unknown input format {name!r} (known: {', '.join(FORMATS)})")
    return importlib.import_module(f".{FORMATS[name][0]}", __package__)


def head(path):
    """The first bytes of a file that the readers' `sniff` looks at (none for a folder)."""
    if os.path.isdir(path):
        return b""
    with open(path, "rb") as stream:
        return stream.read(HEAD_BYTES)


def pattern_of(path):
    """The pattern of files `path` is, where `expand` takes it as one; else None."""
    if isinstance(path, (list, tuple)):
        return None
    path = os.fspath(path)
    if os.path.exists(path):
        return None
    # The name LAMMPS was given for a dump a processor each (`dump.%.lammpstrj`): % is each one's number.
    folder, name = os.path.split(path)
    path = os.path.join(folder, name.replace("%", "[0-9]*"))
    return path if any(c in path for c in "*?[") else None


def expand(path):
    """The input a path names: a pattern with * ? or [ (quoted, as OVITO and ParaView take
    `dump.*.lammpstrj`), or % (as LAMMPS is given a dump a processor each), that names no file itself
    gives the files it matches, in the natural order of their names (dump.200 before dump.1000); a list
    of paths stays a list; any other path is itself."""
    if isinstance(path, (list, tuple)):
        return [os.fspath(p) for p in path]
    path = os.fspath(path)
    pattern = pattern_of(path)
    if pattern is None:
        return path
    matches = sorted(glob.glob(pattern), key=natural_key)
    if not matches:
        raise InputError(path, "-", "-", "no file matches this pattern")
    return matches


# The formats read from several files as one series.
SEVERAL_FILES = {"lammps": "a LAMMPS dump", "vtk": "a VTK particle file", "csv": "a CSV file", "cfg": "a CFG file",
                 "yaml": "a LAMMPS YAML dump", "mercurydpm": "a MercuryDPM .data file"}


def several_files_format(paths):
    """The format of which every one of `paths` is a file, among those read from several files; None
    if there is none."""
    try:
        heads = [head(path) if os.path.isfile(path) else None for path in paths]
    except OSError:
        return None
    for name in SEVERAL_FILES:
        module = reader(name)
        if None not in heads and all(module.sniff(path, first) for path, first in zip(paths, heads)):
            return name
    return None


# Trajectories that hold no atoms' names, masses or molecules: MDAnalysis reads them over a topology.
COORDINATES_ONLY = ("xtc", "trr", "dcd", "nc", "ncdf", "trj", "mdcrd", "crd", "tng")


def detect(path):
    """The format name of an input path, from its files, extension and first bytes; of several files,
    the format all are in (LAMMPS dumps or VTK files)."""
    if isinstance(path, list):
        for name in path:
            if not os.path.isfile(name):
                raise InputError(name, "-", "-", "no such file" if not os.path.exists(name) else "is not a file")
        found = several_files_format(path)
        if found is None:
            # Named by the first file that differs from the first one's format.
            first = several_files_format(path[:1])
            odd = next((p for p in path if several_files_format([p]) != first), path[0]) if first else path[0]
            kinds = list(SEVERAL_FILES.values())
            what = f"is not {SEVERAL_FILES[first]} as {path[0]} is" if first and odd != path[0] else \
                f"is none of {', '.join(kinds[:-1])} and {kinds[-1]}"
            raise InputError(odd, "-", "-", f"{what}: several files are one series when all are in one of these "
                                            "formats")
        return found
    if not os.path.exists(path):
        raise InputError(path, "-", "-", "no such file or folder")
    try:
        first = head(path)
    except OSError as error:
        raise InputError(path, "-", "-", f"cannot be read ({error.strerror or error})") from None
    for name in FORMATS:
        try:
            module = reader(name)
        except ImportError:
            continue
        if module.sniff(path, first):
            return name
    if os.path.splitext(path)[1].lower().lstrip(".") in COORDINATES_ONLY:
        raise InputError(path, "-", "-", "a trajectory of coordinates alone: give its topology first "
                                         "(vireo20 upscale TOPOLOGY TRAJECTORY; topology= from Python), "
                                         "which MDAnalysis reads it with")
    from .read_lammps import damaged_at_start
    if damaged_at_start(first, path):
        # Compressed, but no reader could see what into: its start does not inflate.
        raise InputError(path, "-", "-", "the compressed file is damaged (its first part does not inflate): none "
                                         "of its frames can be trusted")
    what = "folder holds no step files this job reads" if os.path.isdir(path) else \
        "file is not in a format this job recognises"
    raise InputError(path, "-", "-", f"the {what} ({'; '.join(d for _, d in FORMATS.values())}); "
                                     "name the format with --format (format= from Python)")


def reader_with_topology(trajectory):
    """The format that reads a trajectory after its topology: a LAMMPS dump's own reader (which takes
    its contacts too), a CFG dump's or an H5MD file's, else MDAnalysis's (which hands a data file's XYZ
    file to the job's reader)."""
    try:
        found = detect(expand(trajectory))
        return found if found in ("lammps", "cfg", "h5md") else "mdanalysis"
    except InputError:
        return "mdanalysis"


def held_series(given):
    """The frames of objects in memory that the job reads as they are (an MDAnalysis Universe or
    AtomGroup: a selection's atoms alone; ASE Atoms, or a list of them; Frames, a list or a generator
    of them: `vireo20.from_lammps`'s of a simulation in this process), or None for anything else."""
    if type(given).__module__.split(".")[0] == "MDAnalysis" and hasattr(given, "universe"):
        from .read_mda import from_universe
        return from_universe(given)
    from . import read_ase
    if read_ase.is_atoms(given):
        return read_ase.from_atoms(given)
    from .frames import Frame
    given = [given] if isinstance(given, Frame) else given
    if isinstance(given, (list, tuple)) and given and all(isinstance(frame, Frame) for frame in given):
        from .reading import Loaders
        return Loaders(given[0].source, [HeldFrame(k, frame) for k, frame in enumerate(given)])
    if isinstance(given, collections.abc.Iterator):
        return FrameStream(given)
    return None


class FrameStream(Series):
    """Frames as an iterator yields them: a generator that runs a simulation on and yields
    `vireo20.from_lammps(lmp)` is upscaled as it runs, in memory a frame or two at a time. The job
    takes each frame in its own thread (the caller's), so the simulation is driven from the thread
    that made it. Read once, whole: it has no length nor slices."""

    cheap_length = False

    def __init__(self, frames, source="the frames given"):
        self.frames, self.source, self.taken = frames, source, False

    def loaders(self):
        from .frames import Frame
        if self.taken:
            raise ValueError("a stream of frames is read once")
        self.taken = True
        for k, frame in enumerate(self.frames):
            if not isinstance(frame, Frame):
                raise TypeError(f"a stream of frames gave a {type(frame).__name__} at its place {k}, not a Frame")
            yield HeldFrame(k, frame)
            del frame

    def __len__(self):
        raise TypeError("a stream of frames has no length before it ends (a picture from the end, or --frames, "
                        "needs one: give a list)")

    def __getitem__(self, key):
        raise TypeError("a stream of frames has no length before it ends: take its frames in the generator")


def open_series(path=None, format=None, **options):
    """The frames of an input as a `Series`: iterate it for `Frame`s (NumPy arrays with their
    timestep and box); `len(series)`, `series[k]` and `series[a:b:c]` where the format allows.

    `path` is an npz folder, a LAMMPS dump (plain, .gz, .zst, binary or yaml, `contacts=` a dump
    local), a VTK series, a GSD or H5MD file, an extended XYZ file, CFG files, CSV tables, a trajectory
    MDAnalysis reads (`topology=`), an MDAnalysis Universe or AtomGroup in memory (a selection's atoms
    alone, an updating one's at each frame), a file ASE reads or its Atoms (a list of them); None
    gives the built-in data set (`clusters`, `steps`, `seed`). `format` names the format when the file
    cannot tell (see FORMATS). LAMMPS dumps, VTK, CSV or CFG files written one file per step are one
    series: a list of them, their folder, or a pattern (`"post/dump*.liggghts"`).

    >>> for frame in vireo20.open("dump.lammpstrj.gz")[::10]:
    ...     result = vireo20.upscale(**frame.arguments())
    """
    held = held_series(path)
    if held is not None:
        if options.keys() - {"format"} or format not in (None, "mdanalysis"):
            raise ValueError("frames in memory (an MDAnalysis Universe or AtomGroup, ASE Atoms, Frames) are read "
                             "as they are: they take no reader's options")
        return held
    if path is None:
        from .synthetic import SyntheticSeries
        return SyntheticSeries(**{k: v for k, v in options.items() if k in ("clusters", "steps", "seed")})
    path = expand(path)
    for given in path if isinstance(path, list) else [path]:
        if os.path.exists(given) and not (os.path.isfile(given) or os.path.isdir(given)):
            # A pipe's bytes go once: a reader that finds the frames first, then reads them, waited for ever.
            raise InputError(given, "-", "-", "is a pipe or a device, not a file: the frames of an input are found "
                                              "first and read after, which bytes read once cannot give; write it "
                                              "to a file")
    name = format or (reader_with_topology(path) if options.get("topology") is not None else detect(path))
    try:
        module = reader(name)
    except ImportError as error:
        raise InputError(path, "-", "-", f"the {name} reader needs a library that is missing "
                                         f"({error.name or error})") from None
    if isinstance(path, list) and not getattr(module, "READS_SEVERAL_FILES", False):
        raise InputError(path[0], "-", "-", f"the {name} reader reads one input, not several files")
    accepted = inspect.signature(module.open_series).parameters
    # A reader takes the options it names; one that hands the rest to its library says so.
    open_ended = getattr(module, "PASSES_OTHER_OPTIONS", False)
    for option in options:
        if option not in accepted and (option == "contacts" or not open_ended):
            takes = [p for p, v in accepted.items() if v.kind == v.KEYWORD_ONLY or v.default is not v.empty]
            raise InputError(path, "-", option, f"the {name} reader takes no {option} "
                                                f"(it takes: {', '.join(takes) or 'nothing'})")
    return module.open_series(path, **options)
