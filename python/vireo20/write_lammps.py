"""LAMMPS text dump output (plain, or gzip for a .gz name): one frame per step, as `dump custom` writes."""
import gzip
import io

import numpy as np
import pandas


class LammpsDumpWriter:
    def __init__(self, path):
        self.path = str(path)
        self._out = gzip.open(self.path, "wt") if self.path.endswith(".gz") else open(self.path, "w")

    def write_frame(self, timestep, columns, box=None, boundary=None):
        """`columns`: name -> (n,) array, in order; `box` (2, 3) or, when unknown, the points' extent."""
        frame = pandas.DataFrame({name: np.asarray(values) for name, values in columns.items()})
        if box is None:
            xyz = frame[["x", "y", "z"]].to_numpy()
            box = np.stack([xyz.min(axis=0), xyz.max(axis=0)]) if len(xyz) else np.zeros((2, 3))
            boundary = boundary or "ff ff ff"
        box = np.asarray(box, dtype=np.float64)
        text = io.StringIO()
        text.write(f"ITEM: TIMESTEP\n{timestep}\nITEM: NUMBER OF ATOMS\n{len(frame)}\n")
        text.write(f"ITEM: BOX BOUNDS {boundary or 'pp pp pp'}\n")
        for k in range(3):
            text.write(f"{box[0, k]!r} {box[1, k]!r}\n")
        text.write(f"ITEM: ATOMS {' '.join(frame.columns)}\n")
        frame.to_csv(text, sep=" ", header=False, index=False, float_format="%.17g", lineterminator="\n")
        self._out.write(text.getvalue())
        self._out.flush()

    def close(self):
        self._out.close()
