"""vireo20: upscaling of particle simulations, step by step, into NumPy arrays, pandas frames and
ParaView-ready files.

    vireo20.upscale(groups, masses, positions, values)   one step, NumPy in, an Upscaled out
    vireo20.open(path)                                    the frames of an input, as NumPy arrays
    vireo20.run(path, out)                                the whole job: a series of VTK files

`python3 -m vireo20 upscale` is the job's command line. The compiled generator underneath is the
top-level module `_vireo20upscaling` (import `quill20` first).
"""
from .columns import MassRule
from .frames import Box, Frame, InputError, Series
from .inputs import open_series as open
from .run import RunResult, run
from .upscale import Upscaled, upscale

__all__ = ["Box", "Frame", "InputError", "MassRule", "RunResult", "Series", "Upscaled", "open", "run", "upscale"]
