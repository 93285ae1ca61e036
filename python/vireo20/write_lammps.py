"""LAMMPS text dump output of the upscaled particles, one frame per step as `dump custom` writes it:
`id mol type mass xu yu zu` (or `x y z ix iy iz` wrapped into a periodic box) and every value, so
that `read_dump` and OVITO restore the same centres.

A `.gz` name gives one gzip member per frame (a valid gzip file for every tool): a resumed run cuts
the file after its last complete frame and carries on, with the bytes of an uninterrupted run.
"""
import io
import os

import numpy as np

from . import filesafe
from ._lammpsdump import dump_rows, gzip_member
from .upscale import LAMMPS_UNIT_STYLES
from .write_table import native_rows

# Vector values under the names LAMMPS gives their components.
PREFIXES = {"velocity": "v", "force": "f", "omega": "omega", "tq": "tq", "angmom": "angmom", "mu": "mu"}


def box_header(box, points):
    """The BOX BOUNDS item: a triclinic box's bounding box as LAMMPS writes it; without a box the
    points' extent, not periodic."""
    if box is None:
        lo = points.min(axis=0) if len(points) else np.zeros(3)
        hi = points.max(axis=0) if len(points) else np.zeros(3)
        rows = [f"{lo[k]!r} {hi[k]!r}" for k in range(3)]
        return "ITEM: BOX BOUNDS ff ff ff\n" + "\n".join(rows) + "\n"
    flags = " ".join("pp" if p else "ff" for p in box.periodic)
    if not box.restricted:
        return f"ITEM: BOX BOUNDS abc origin {flags}\n" + "".join(
            f"{a!r} {b!r} {c!r} {o!r}\n" for (a, b, c), o in zip(box.edges.tolist(), box.origin.tolist()))
    lo, hi = box.lo, box.hi
    if not box.triclinic:
        return f"ITEM: BOX BOUNDS {flags}\n" + "".join(f"{lo[k]!r} {hi[k]!r}\n" for k in range(3))
    xy, xz, yz = box.tilt
    xlo = lo[0] + min(0.0, xy, xz, xy + xz)
    xhi = hi[0] + max(0.0, xy, xz, xy + xz)
    ylo, yhi = lo[1] + min(0.0, yz), hi[1] + max(0.0, yz)
    return (f"ITEM: BOX BOUNDS xy xz yz {flags}\n{xlo!r} {xhi!r} {xy!r}\n{ylo!r} {yhi!r} {xz!r}\n"
            f"{lo[2]!r} {hi[2]!r} {yz!r}\n")


def frame_columns(result, wrapped=False):
    """name -> (n,) column, in the order they are written."""
    own = len(result.centres)
    columns = {"id": np.asarray(result.parent_id, dtype=np.int64) + 1,
               "mol": np.asarray(result.group_id, dtype=np.int64)}
    types = result.values.get("type")
    # read_dump cannot add atoms without a type: 1 when the input had none.
    columns["type"] = np.ones(own, np.int64) if types is None else np.asarray(types)
    columns["mass"] = np.asarray(result.masses)
    box = result.box
    if wrapped and box is not None and box.any_periodic:
        inside, images = box.wrap(result.centres)
        for k, axis in enumerate("xyz"):
            columns[axis] = inside[:, k]
        for k, axis in enumerate("xyz"):
            columns[f"i{axis}"] = images[:, k]
    else:
        for k, axis in enumerate("xyz"):
            columns[f"{axis}u"] = result.centres[:, k]
    for name, values in {**result.values, **result.physics}.items():
        if name == "type":
            continue
        values = np.asarray(values)
        if values.ndim == 1:
            columns[name] = values
        elif name in PREFIXES and values.shape[1] == 3:
            for k, axis in enumerate("xyz"):
                columns[f"{PREFIXES[name]}{axis}"] = values[:, k]
        else:
            for k in range(values.shape[1]):
                columns[f"{name}[{k + 1}]"] = values[:, k]
    return columns


def frame_text(result, wrapped=False, first=False):
    """One frame of the dump; the first names the unit style where it is known, as dump_modify units
    yes does."""
    columns = frame_columns(result, wrapped)
    text = io.StringIO()
    units = getattr(result, "units", None)
    if first and units in LAMMPS_UNIT_STYLES:
        text.write(f"ITEM: UNITS\n{units}\n")
    time = getattr(result, "time", None)
    if time is not None:
        # As dump_modify time yes writes it; LAMMPS's read_dump and OVITO read it.
        text.write(f"ITEM: TIME\n{float(time)!r}\n")
    text.write(f"ITEM: TIMESTEP\n{result.timestep}\nITEM: NUMBER OF ATOMS\n{len(result.centres)}\n")
    text.write(box_header(result.box, result.centres))
    text.write(f"ITEM: ATOMS {' '.join(columns)}\n")
    rows = native_rows(columns, list(columns), dump_rows) if len(result.centres) else b""
    if rows is None:
        import pandas
        # NaN as printf writes it (pandas would leave the field empty, and the row short).
        pandas.DataFrame(columns).to_csv(text, sep=" ", header=False, index=False, float_format="%.17g",
                                         na_rep="nan", lineterminator="\n")
    return text.getvalue().encode() + (rows or b"")


class LammpsDumpWriter:
    """Appends frames to a dump; `keep` bytes of an earlier, interrupted run are kept."""

    def __init__(self, path, keep=0):
        self.path = str(path)
        self.compressed = self.path.endswith(".gz")
        mode = "r+b" if keep and os.path.exists(self.path) else "wb"
        self._out = open(self.path, mode)
        self._out.truncate(keep if mode == "r+b" else 0)
        self._out.seek(0, os.SEEK_END)

    def write_frame(self, result, wrapped=False):
        """Writes one frame and flushes it to the disk; returns the file's size after it."""
        data = frame_text(result, wrapped, first=self._out.tell() == 0)
        if self.compressed:
            data = gzip_member(data)
        # A full disk or a size limit names the dump, not the folder its step is written in.
        with filesafe.writing(self.path):
            self._out.write(data)
            self._out.flush()
            os.fsync(self._out.fileno())
        return self._out.tell()

    def close(self):
        self._out.close()
