"""vireo20: upscaling of particle simulations, step by step, into ParaView-ready files.

`vireo20.api.open_input` and `vireo20.api.run` are the job; `python3 -m vireo20 upscale` is its
command line. The compiled generator is the top-level module `_vireo20upscaling`.
"""
