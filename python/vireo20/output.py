"""Where each step's result goes: its .vtp file, the .pvd series, the optional LAMMPS dump, the picture."""
import os

import numpy as np

from . import write_vtk

# Names of the arrays every step file carries besides the reduced value arrays.
PARENT_IDS, MASS, ELEMENT_MAP = "parent_id", "mass", "element_particle_index"


class Output:
    """Called with each StepResult, in step order; writes it and remembers the series."""

    def __init__(self, out_dir, lammps_dump=None, stem="upscaled", echo=print):
        self.out_dir, self.stem, self.echo = str(out_dir), stem, echo
        os.makedirs(self.out_dir, exist_ok=True)
        self.pvd = os.path.join(self.out_dir, f"{stem}.pvd")
        self.picture = None
        self.series = []
        self.largest_drift = 0.0
        self._dump = None
        if lammps_dump:
            from .write_lammps import LammpsDumpWriter
            self._dump = LammpsDumpWriter(lammps_dump)

    def step_file(self, index):
        return os.path.join(self.out_dir, f"{self.stem}_{index:06d}.vtp")

    def __call__(self, result):
        path = self.step_file(result.index)
        write_vtk.write_polydata(
            path, result.points, result.vertices, result.lines,
            {PARENT_IDS: result.ids, MASS: result.mass, **result.values},
            {ELEMENT_MAP: result.element})
        self.series.append((result.timestep, os.path.basename(path)))
        write_vtk.write_pvd(self.pvd, self.series)
        if self._dump is not None:
            self._dump.write_frame(result.timestep, self._dump_columns(result), result.box,
                                   result.boundary)
        if result.source_points is not None:
            from .picture import draw_step
            self.picture = os.path.join(self.out_dir, f"{self.stem}.png")
            draw_step(self.picture, result.source_points, result.source_masses, result.points,
                      f"step {result.index} (timestep {result.timestep}): "
                      f"{result.e + result.t} entries, {result.u + result.t} upscaled")
        self.largest_drift = max(self.largest_drift, result.drift)
        self.echo(result.summary())

    @staticmethod
    def _dump_columns(result):
        columns = {"id": _numpy(result.ids).astype(np.int64) + 1}
        if "mol" in result.values:
            columns["mol"] = _numpy(result.values["mol"])
        # read_dump cannot add atoms without a type; 1 when the input had none.
        types = result.values.get("type")
        columns["type"] = np.ones(len(columns["id"]), np.int64) if types is None else _numpy(types)
        columns["mass"] = _numpy(result.mass)
        for k, axis in enumerate("xyz"):
            columns[axis] = result.points[:, k]
        for name, values in result.values.items():
            values = _numpy(values)
            if name in ("mol", "type"):
                continue
            if values.ndim == 1:
                columns[name] = values
            else:
                for k in range(values.shape[1]):
                    columns[f"{name}_{k + 1}"] = values[:, k]
        return columns

    def close(self):
        if self._dump is not None:
            self._dump.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def _numpy(values):
    return values.to_numpy() if hasattr(values, "to_numpy") else np.asarray(values)
