"""Input from anything ASE reads (the Atomic Simulation Environment, optional: Debian's python3-ase):
VASP's XDATCAR, OUTCAR, vasprun.xml and POSCAR, ASE's own `.traj`, CASTEP's `.castep` and `.md`,
Quantum ESPRESSO's output, XSF, CIF, ... Told by name (`XDATCAR`, `*.traj`, `*.vasp`, ...) or named with
`--format ase` (`ase_format` names ASE's own format where the file cannot tell it).

Every configuration of the file is a frame, its step the `step` or `timestep` ASE found for it, else
its position. Positions are ASE's (Å); the cell, where it has a volume, is the box (from the origin,
periodic along ASE's `pbc`), and positions are taken as wrapped into it. Columns: `id` (the atoms'
order from 1), `element` (the chemical symbols, which `--mass O=15.999` names), `mass` (ASE's, the
standard atomic weights unless the file gives others), `velocity` where the file gives momenta,
`force` where it gives forces (a DFT code's output), and ASE's other per-atom arrays by name (`tags`
as `tag`, which groups may follow: `--group-by tag`; `mol-id` as `mol`).
"""
import os
import re
import warnings

import numpy as np

from .frames import Box, InputError
from .reading import FrameLoader, Loaders, cached_open, column, missing_library, named_frame

# File names ASE reads and no other reader here does.
_NAMES = re.compile(r"XDATCAR|OUTCAR|POSCAR|CONTCAR|vasprun|\.(?i:traj|vasp|xsf|axsf|castep|cell|geom|pwo|cif)$")
_RENAMED = {"tags": "tag", "mol-id": "mol", "initial_charges": "charge", "momenta": None, "numbers": None,
            "positions": None, "masses": None}


def sniff(path, head):
    return os.path.isfile(path) and _NAMES.search(os.path.basename(path)) is not None


def open_series(path, ase_format=None, group_by=None):
    """The configurations of a file ASE reads; see the module's text."""
    configurations = cached_open(os.fspath(path), _Configurations, ase_format)
    loaders = [FrameLoader(read_frame, os.fspath(path), k, {"ase_format": ase_format, "group_by": group_by})
               for k in range(len(configurations.atoms))]
    if not loaders:
        raise InputError(path, "-", "-", "ASE finds no configuration in the file")
    return Loaders(path, loaders)


class _Configurations:
    """Every configuration of a file, read once a process: ASE reads most text formats from their start
    for any one configuration."""

    def __init__(self, path, ase_format):
        try:
            import ase.io
        except ImportError as error:
            raise missing_library(path, "ASE", "python3-ase", error) from None
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                self.atoms = ase.io.read(path, index=":", format=ase_format)
        except Exception as error:   # ASE's readers raise what their parsing meets
            raise InputError(path, "-", "-", f"ASE cannot read it ({type(error).__name__}: {error})") from None
        if not isinstance(self.atoms, list):
            self.atoms = [self.atoms]

    def close(self):
        pass


def _step(info, index):
    for key in ("step", "timestep", "Timestep"):
        value = info.get(key)
        if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
            return int(value)
    return index


def read_frame(path, index, ase_format=None, group_by=None):
    return _frame(cached_open(path, _Configurations, ase_format).atoms[index], path, index, group_by)


def from_atoms(configurations):
    """ASE Atoms in memory (one, or a list such as `ase.io.read(path, ":")` gives) as a series."""
    configurations = [configurations] if not isinstance(configurations, (list, tuple)) else configurations
    return Loaders("ASE", [_HeldAtoms(k, atoms) for k, atoms in enumerate(configurations)])


class _HeldAtoms:
    """One configuration in memory, as its frame's loader: each pickles alone for Dask's workers."""

    path = None

    def __init__(self, index, atoms):
        self.index, self.atoms = index, atoms

    def load(self):
        return _frame(self.atoms, "ASE", self.index, None)


def is_atoms(given):
    """Whether `given` is an ASE Atoms or a list of them."""
    items = given if isinstance(given, (list, tuple)) else [given]
    return bool(items) and all(type(item).__module__.split(".")[0] == "ase" and hasattr(item, "get_positions")
                               for item in items)


def _frame(atoms, path, index, group_by):
    step = _step(atoms.info, index)
    columns = {"element": np.array(atoms.get_chemical_symbols(), dtype="S"), "mass": atoms.get_masses()}
    if "momenta" in atoms.arrays:
        columns["velocity"] = atoms.get_velocities()
    try:
        forces = atoms.get_forces() if atoms.calc is not None else None
    except Exception:   # a calculator that holds no forces: none
        forces = None
    if forces is not None:
        columns["force"] = np.asarray(forces, dtype=np.float64)
    for name, values in atoms.arrays.items():
        name = _RENAMED.get(name, name)
        if name is not None and name not in columns and column(values) is not None:
            columns[name] = column(values)
    box = None
    if atoms.cell.volume > 0:
        try:
            box = Box(np.zeros(3), np.array(atoms.cell[:]), tuple(bool(p) for p in atoms.pbc))
        except ValueError as error:
            raise InputError(path, step, "cell", str(error)) from None
    frame = named_frame(path, index, step, np.asarray(atoms.positions, dtype=np.float64), columns, box, group_by)
    time = atoms.info.get("time")
    frame.time = float(time) if isinstance(time, (int, float)) and not isinstance(time, bool) else None
    return frame
