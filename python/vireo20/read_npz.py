"""Input from a folder of NumPy .npz files, one per step.

Each step file holds these arrays (E enabled entries, T trailing entries, N source particles):

  enabled          int (E)            source particle of each enabled entry, in order
  masses           float (N)          mass of every source particle
  coords           float (E+T, 3)     position of each enabled entry, then of each trailing entry
  parents          int (N)            parent of each source particle, -1 for its own parent; may
                                      instead be given once for every step in `parents.npz`
  trailing         int, scalar        T, the trailing pass-through entries (default 0)
  trailing_masses  float (T)          their masses (needed when T > 0)
  timestep         scalar             the simulation's time of the step (default: the file's position)
  value_NAME       (E+T,) or (E+T, k) a per-entry value array called NAME
  contacts         int (C, 2)         contact pairs: a source particle, then a source particle
                                      (kind 0) or another body such as a wall (any other kind)
  contact_kinds    int (C)            the kind of each contact (default 0)
  box              float (2, 3)       lower and upper corner of the domain (optional)

The steps are the folder's .npz files other than parents.npz, in natural name order (step_2
before step_10).

`save_step` writes a Step in this layout.
"""
import os
import re
import zipfile

import numpy as np

from .step import InputError, Step

PARENTS_FILE = "parents.npz"
VALUE_PREFIX = "value_"


def _natural(name):
    return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", name)]


class NpzFolder:
    def __init__(self, folder):
        self.folder = str(folder)
        names = sorted((n for n in os.listdir(self.folder) if n.endswith(".npz") and n != PARENTS_FILE),
                       key=_natural)
        if not names:
            raise InputError(self.folder, "-", "-", "no .npz step files in the folder")
        shared = os.path.join(self.folder, PARENTS_FILE)
        self.parents_file = shared if os.path.exists(shared) else None
        self.frames = [NpzFrame(os.path.join(self.folder, n), i, self.parents_file)
                       for i, n in enumerate(names)]

    def __iter__(self):
        return iter(self.frames)

    def __len__(self):
        return len(self.frames)


class _Reader:
    """Reads arrays of one .npz file, turning every way it can fail into an InputError."""

    def __init__(self, path, step):
        self.path, self.step = path, step
        try:
            self.archive = np.load(path, allow_pickle=False)
        except (OSError, ValueError, EOFError, zipfile.BadZipFile) as error:
            raise InputError(path, step, "-", f"not a readable .npz file ({error})") from None

    def get(self, name, default=KeyError):
        if name not in self.archive.files:
            if default is KeyError:
                raise InputError(self.path, self.step, name,
                                 f"missing (the file holds {', '.join(self.archive.files) or 'nothing'})")
            return default
        try:
            return self.archive[name]
        except (OSError, ValueError, EOFError, zipfile.BadZipFile) as error:
            raise InputError(self.path, self.step, name, f"unreadable, the file is damaged ({error})") from None


class NpzFrame:
    def __init__(self, path, index, parents_file=None):
        self.path, self.index, self.parents_file = path, index, parents_file

    def load(self):
        step_file = _Reader(self.path, f"#{self.index} of the folder")
        timestep = step_file.get("timestep", None)
        timestep = self.index if timestep is None else timestep.item()
        step_file.step = timestep
        parents = step_file.get("parents", None)
        if parents is None:
            if self.parents_file is None:
                raise InputError(self.path, timestep, "parents",
                                 f"missing, and no {PARENTS_FILE} in the folder gives it for every step")
            shared = _Reader(self.parents_file, timestep)
            parents = shared.get("parents")
        trailing = step_file.get("trailing", np.array(0))
        if trailing.ndim or trailing.dtype.kind not in "iu":
            raise InputError(self.path, timestep, "trailing", f"expected an integer scalar, got {trailing!r}")
        return Step(
            source=self.path, index=self.index, timestep=timestep, parents=parents,
            enabled=step_file.get("enabled"), masses=step_file.get("masses"),
            coords=step_file.get("coords"), trailing=int(trailing),
            trailing_masses=step_file.get("trailing_masses", None),
            values={name[len(VALUE_PREFIX):]: step_file.get(name)
                    for name in step_file.archive.files if name.startswith(VALUE_PREFIX)},
            contacts=step_file.get("contacts", None), contact_kinds=step_file.get("contact_kinds", None),
            box=step_file.get("box", None))


def save_step(path, step, with_parents=True):
    """Writes `step` in the folder layout above (without its parents when they go in parents.npz)."""
    arrays = {"enabled": step.enabled, "masses": step.masses, "coords": step.coords,
              "trailing": np.array(step.trailing), "timestep": np.array(step.timestep)}
    if with_parents:
        arrays["parents"] = step.parents
    if step.trailing:
        arrays["trailing_masses"] = step.trailing_masses
    for name, values in step.values.items():
        arrays[VALUE_PREFIX + name] = values
    for name in ("contacts", "contact_kinds", "box"):
        if getattr(step, name) is not None:
            arrays[name] = getattr(step, name)
    np.savez(path, **arrays)
