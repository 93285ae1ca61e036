"""The job as plain functions: open an input, run the upscaling over it into a folder."""
import os
import sys

from .pipeline import REDUCTIONS, upscale
from .step import InputError


def open_input(path=None, contacts=None, **synthetic):
    """Frames of a .npz folder, a LAMMPS dump (plain or .gz), or, without a path, the built-in data set."""
    if path is None:
        from .synthetic import SyntheticSeries
        return SyntheticSeries(**synthetic)
    if os.path.isdir(path):
        from .read_npz import NpzFolder
        return NpzFolder(path)
    if not os.path.isfile(path):
        raise InputError(path, "-", "-", "no such file or folder")
    from .read_lammps import LammpsDump
    return LammpsDump(path, contacts)


def run(frames, out_dir, reductions=None, lammps_dump=None, workers=0, scheduler=None,
        picture_step=0, engine=None, echo=print, progress=None):
    """Upscales every frame into `out_dir`; returns the Output (its series, picture and largest drift).

    `reductions` maps a value array's name to "sum", "average" or "any". `progress` shows a tqdm
    bar: by default only when standard output is a terminal.
    """
    reductions = dict(reductions or {})
    for name, how in reductions.items():
        if how not in REDUCTIONS:
            raise ValueError(f"reduction of {name!r} must be one of {', '.join(REDUCTIONS)}, not {how!r}")
    from .output import Output
    if progress is None:
        progress = sys.stdout.isatty()
    bar = None
    if progress:
        from tqdm import tqdm
        bar = tqdm(total=len(frames) if hasattr(frames, "__len__") else None, unit="step")
        echo = bar.write
    with Output(out_dir, lammps_dump, echo=echo) as output:
        def sink(result):
            unknown = sorted(set(reductions) - set(result.reductions))
            if unknown:
                raise InputError(result.source, result.timestep, unknown[0],
                                 "no such value array to reduce (the step has: "
                                 f"{', '.join(result.reductions) or 'none'})")
            output(result)
            if bar is not None:
                bar.update()
        try:
            upscale(frames, sink, engine, reductions, workers, scheduler, picture_step)
        finally:
            if bar is not None:
                bar.close()
    return output
