"""Input from a folder of NumPy .npz files, one per step, in one of two layouts.

Generator layout (E enabled entries, T trailing entries, N source particles):

  enabled          int (E)            source particle of each enabled entry, in order
  masses           float (N)          mass of every source particle
  coords           float (E+T, 3)     position of each enabled entry, then of each trailing entry
  parents          int (N)            parent of each source particle, -1 for its own parent; may
                                      instead be given once for every step in `parents.npz`
  trailing         int, scalar        T, the trailing pass-through entries (default 0)
  trailing_masses  float (T)          their masses (needed when T > 0)
  value_NAME       (E+T,) or (E+T, k) a per-entry value array called NAME
  contacts         int (C, 2)         contact pairs: a source particle, then a source particle
                                      (kind 0) or another body such as a wall (any other kind)

Particle layout (E particles of the step, in any order):

  positions        float (E, 3)       positions (unwrapped, or wrapped with `wrapped` set)
  column_NAME      (E,) or (E, k)     a per-particle column: `column_id` (ids), the group labels
                                      (`column_mol` by default, see --group-by), `column_mass` (or
                                      `column_radius` and `column_density`), and every value
  wrapped          bool, scalar       positions are wrapped into the periodic box, without images
  contacts         int (C, 2)         contact pairs of particle ids (the `column_id` values)

Both layouts may add:

  bonds            int (B, 2)         bonded pairs (of particle ids, or of source particles in the
                                      generator layout): wrapped groups wider than half the box are
                                      made whole along them
  timestep         number, scalar     the simulation's time of the step (default: the file's position)
  contact_kinds    int (C)            the kind of each contact (default 0)
  contact_values_NAME (C,) or (C, k)  a value per contact, summed over the pairs a line merges
  box              float (2, 3)       lower and upper corner of the domain (optional)
  box_tilt         float (3)          the tilt factors xy, xz, yz of a triclinic box (default 0)
  box_edges        float (3, 3)       instead of box and box_tilt: the edge vectors a, b, c as rows,
                                      any orientation, with box_origin float (3)
  periodic         bool (3)           which directions of the box are periodic (default none)

The steps are the folder's .npz files other than parents.npz, in natural name order (step_2
before step_10). `vireo20.read_npz.save_frame` writes a Frame in these layouts.
"""
import os
import re
import zipfile

import numpy as np

from .frames import Box, Frame, InputError, Series

PARENTS_FILE = "parents.npz"
VALUE_PREFIX = "value_"
COLUMN_PREFIX = "column_"
CONTACT_VALUE_PREFIX = "contact_values_"


def _natural(name):
    return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", name)]


def sniff(path, head):
    return os.path.isdir(path) and any(n.endswith(".npz") for n in os.listdir(path))


def open_series(path, **options):
    unknown = set(options) - {"contacts"}
    if unknown or options.get("contacts"):
        raise InputError(path, "-", "-", "an npz folder takes no further options "
                                         f"({', '.join(sorted(unknown)) or '--contacts'}): contacts go in each step file")
    return NpzFolder(path)


class NpzFolder(Series):
    def __init__(self, folder):
        self.folder = self.source = str(folder)
        try:
            names = os.listdir(self.folder)
        except OSError as error:
            raise InputError(self.folder, "-", "-", f"cannot be listed ({error.strerror})") from None
        names = sorted((n for n in names if n.endswith(".npz") and n != PARENTS_FILE), key=_natural)
        if not names:
            raise InputError(self.folder, "-", "-", "no .npz step files in the folder")
        shared = os.path.join(self.folder, PARENTS_FILE)
        self.parents_file = shared if os.path.exists(shared) else None
        self.frames = [NpzFrame(os.path.join(self.folder, n), i, self.parents_file) for i, n in enumerate(names)]

    def loaders(self):
        return iter(self.frames)

    def __len__(self):
        return len(self.frames)


class _Reader:
    """Reads arrays of one .npz file, turning every way it can fail into an InputError."""

    def __init__(self, path, step):
        self.path, self.step = path, step
        try:
            self.archive = np.load(path, allow_pickle=False)
            if not hasattr(self.archive, "files"):
                raise ValueError("it holds a single array, not named arrays")
        except (OSError, ValueError, EOFError, zipfile.BadZipFile) as error:
            text = " ".join(str(error).split()) or type(error).__name__
            raise InputError(path, step, "-", f"not a readable .npz file ({text})") from None

    def fail(self, name, problem):
        raise InputError(self.path, self.step, name, problem)

    def get(self, name, default=KeyError):
        if name not in self.archive.files:
            if default is KeyError:
                self.fail(name, f"missing (the file holds {', '.join(self.archive.files) or 'nothing'})")
            return default
        try:
            return self.archive[name]
        except ValueError as error:
            if "pickle" in str(error):
                self.fail(name, "holds Python objects (a pickled array), which this job does not load")
            self.fail(name, f"unreadable, the file is damaged ({' '.join(str(error).split())})")
        except (OSError, EOFError, zipfile.BadZipFile, zipfile.LargeZipFile) as error:
            self.fail(name, f"unreadable, the file is damaged ({' '.join(str(error).split())})")

    def numbers(self, name, default=KeyError, kinds="biuf", shape=None):
        values = self.get(name, default)
        if values is None or values is default:
            return values
        if values.dtype.kind not in kinds or values.dtype.kind == "c":
            self.fail(name, f"values of type {values.dtype} are not "
                            f"{'integers' if kinds == 'iu' else 'numbers'}")
        if shape is not None and values.shape != shape:
            self.fail(name, f"shape {values.shape}, expected {shape}")
        return values

    def scalar(self, name, kinds, default):
        values = self.numbers(name, None, kinds)
        if values is None:
            return default
        if values.shape != ():
            self.fail(name, f"expected a single value, got shape {values.shape}")
        return values.item()

    def prefixed(self, prefix):
        return {name[len(prefix):]: self.numbers(name) for name in self.archive.files if name.startswith(prefix)}


class NpzFrame:
    def __init__(self, path, index, parents_file=None):
        self.path, self.index, self.parents_file = path, index, parents_file

    def load(self):
        step = _Reader(self.path, f"#{self.index} of the folder")
        timestep = step.scalar("timestep", "biuf", self.index)
        step.step = timestep
        frame = Frame(source=self.path, index=self.index, timestep=timestep, positions=None,
                      box=self._box(step), contacts=step.numbers("contacts", None, "iu"),
                      contact_kinds=step.numbers("contact_kinds", None, "iu"),
                      contact_values=step.prefixed(CONTACT_VALUE_PREFIX),
                      bonds=step.numbers("bonds", None, "iu"))
        if "positions" in step.archive.files:
            frame.positions = step.numbers("positions")
            frame.columns = step.prefixed(COLUMN_PREFIX)
            frame.wrapped = bool(step.scalar("wrapped", "biu", False))
            return frame
        parents = step.numbers("parents", None, "iu")
        if parents is None:
            if self.parents_file is None:
                step.fail("parents", f"missing, and no {PARENTS_FILE} in the folder gives it for every step")
            parents = _Reader(self.parents_file, timestep).numbers("parents", kinds="iu")
        trailing = step.scalar("trailing", "iu", 0)
        if trailing < 0:
            step.fail("trailing", f"must be a count >= 0, not {trailing}")
        frame.parents, frame.masses = parents, step.numbers("masses")
        frame.enabled = step.numbers("enabled", kinds="iu")
        frame.positions = step.numbers("coords")
        trailing_masses = step.numbers("trailing_masses", None)
        if trailing_masses is None and trailing:
            step.fail("trailing_masses", f"missing ({trailing} trailing entries need a mass each)")
        frame.trailing_masses = np.zeros(0) if trailing_masses is None else trailing_masses
        if len(frame.trailing_masses) != trailing:
            step.fail("trailing_masses", f"{len(frame.trailing_masses)} masses for {trailing} trailing entries")
        frame.columns = step.prefixed(VALUE_PREFIX)
        return frame

    @staticmethod
    def _box(step):
        corners = step.numbers("box", None, "iuf", (2, 3))
        edges = step.numbers("box_edges", None, "iuf", (3, 3))
        if corners is not None and edges is not None:
            step.fail("box_edges", "given with a box: give one of them")
        if edges is not None and "box_tilt" in step.archive.files:
            step.fail("box_tilt", "given with box_edges, whose vectors hold the tilt")
        if corners is None and edges is None:
            for name in ("box_tilt", "box_origin", "periodic"):
                if name in step.archive.files:
                    step.fail(name, "given without a box")
            return None
        periodic = step.numbers("periodic", None, "biu", (3,))
        periodic = np.zeros(3, bool) if periodic is None else periodic.astype(bool)
        try:
            if edges is not None:
                origin = step.numbers("box_origin", None, "iuf", (3,))
                return Box(np.zeros(3) if origin is None else origin, edges, periodic)
            tilt = step.numbers("box_tilt", None, "iuf", (3,))
            return Box.from_lammps(corners[0], corners[1], (0, 0, 0) if tilt is None else tilt, periodic)
        except ValueError as error:
            step.fail("box_edges" if edges is not None else "box", str(error))


def save_frame(path, frame, with_parents=True):
    """Writes a Frame in the layouts above (without its parents when they go in parents.npz)."""
    arrays = {"timestep": np.array(frame.timestep)}
    if frame.generator_form:
        arrays.update(enabled=frame.enabled, masses=frame.masses, coords=frame.positions,
                      trailing=np.array(len(frame.trailing_masses if frame.trailing_masses is not None else ())))
        if with_parents:
            arrays["parents"] = frame.parents
        if frame.trailing_masses is not None and len(frame.trailing_masses):
            arrays["trailing_masses"] = frame.trailing_masses
        prefix = VALUE_PREFIX
    else:
        arrays.update(positions=frame.positions, wrapped=np.array(bool(frame.wrapped)))
        prefix = COLUMN_PREFIX
    for name, values in frame.columns.items():
        arrays[prefix + name] = values
    for name, values in (frame.contact_values or {}).items():
        arrays[CONTACT_VALUE_PREFIX + name] = values
    for name in ("contacts", "contact_kinds", "bonds"):
        if getattr(frame, name) is not None:
            arrays[name] = getattr(frame, name)
    if frame.box is not None and frame.box.restricted:
        arrays.update(box=np.stack([frame.box.lo, frame.box.hi]), box_tilt=np.array(frame.box.tilt),
                      periodic=frame.box.periodic)
    elif frame.box is not None:
        arrays.update(box_origin=frame.box.origin, box_edges=frame.box.edges, periodic=frame.box.periodic)
    np.savez(path, **arrays)
