"""vireo20: upscaling of particle simulations, step by step, into NumPy arrays, pandas frames and
ParaView-ready files.

    vireo20.upscale(groups, masses, positions, values)   one step, NumPy in, an Upscaled out
    vireo20.open(path)                                    the frames of an input, as NumPy arrays
    vireo20.from_pandas(tables)                           the frames of pandas DataFrames
    vireo20.from_lammps(lmp)                              the frame of a LAMMPS simulation in this process
    vireo20.run(path, out)                                the whole job: a series of VTK files

`python3 -m vireo20 upscale` is the job's command line. The compiled generator underneath is the
top-level module `_vireo20upscaling` (import `quill20` first).
"""
from . import system as _system

if _system.started_as_job():
    # Before anything is loaded, the command line's process takes huge pages for malloc.
    _system.restart_with_huge_page_heap()

from .columns import MassRule  # noqa: E402
from .frames import Box, Frame, InputError, Series  # noqa: E402
from .inputs import open_series as open  # noqa: E402
from .read_csv import from_pandas  # noqa: E402
from .read_lammps_live import from_lammps  # noqa: E402
from .run import RunResult, run  # noqa: E402
from .upscale import Upscaled, upscale  # noqa: E402

__all__ = ["Box", "Frame", "InputError", "MassRule", "RunResult", "Series", "Upscaled", "from_lammps", "from_pandas",
           "open", "run", "upscale"]
