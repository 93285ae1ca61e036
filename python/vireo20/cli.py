"""`python3 -m vireo20` (or `vireo20`): subcommands over the functions of vireo20.api."""
import argparse
import os
import sys

from . import api, read_lammps, read_npz
from .step import InputError

def _paragraphs(doc, first, last):
    return "\n\n".join(doc.split("\n\n")[first:last])


INPUT_HELP = f"""\
INPUT is a folder of .npz files (one per step), a LAMMPS text dump (plain or .gz), or nothing for
the built-in data set. With --workers or --scheduler, each worker reads its steps itself: a remote
cluster must see INPUT at the same path.

npz folder: {_paragraphs(read_npz.__doc__, 1, 4)}

LAMMPS dump: {_paragraphs(read_lammps.__doc__, 1, 3)}
"""


def _upscale(args, engine):
    reductions = {}
    for how in ("sum", "average", "any"):
        for name in getattr(args, how) or ():
            if name in reductions:
                raise SystemExit(f"vireo20: error: {name} is given more than one reduction")
            reductions[name] = how
    frames = api.open_input(args.input, args.contacts, clusters=args.clusters, steps=args.steps,
                            seed=args.seed)
    output = api.run(frames, args.out, reductions, args.lammps_dump, args.workers, args.scheduler,
                     args.picture_step, engine)
    print(f"wrote {len(output.series)} steps to {os.path.abspath(args.out)}")
    print(f"  ParaView: paraview {os.path.abspath(output.pvd)}  (File > Open, then Apply; "
          "the time bar steps through the series)")
    if output.picture:
        print(f"  picture: {os.path.abspath(output.picture)}")
    if args.lammps_dump:
        print(f"  LAMMPS dump: {os.path.abspath(args.lammps_dump)} (OVITO, VMD or read_dump)")
    print(f"  largest centre-of-mass drift: {output.largest_drift:.3g}")
    return 0


def parser():
    top = argparse.ArgumentParser(prog="vireo20", description="Upscale particle simulations.")
    commands = top.add_subparsers(dest="command", required=True)
    up = commands.add_parser(
        "upscale", help="upscale every step of a simulation into ParaView-ready files",
        description="Group particles by parent, reduce their values and write one VTK PolyData "
                    "file per step with a .pvd series.",
        epilog=INPUT_HELP, formatter_class=argparse.RawDescriptionHelpFormatter)
    up.add_argument("input", nargs="?", help="npz folder or LAMMPS dump; none: the built-in data set")
    up.add_argument("--out", required=True, metavar="DIR", help="output folder (made if missing)")
    up.add_argument("--contacts", metavar="FILE", help="LAMMPS dump local of contact pairs")
    for how, default in (("sum", ""), ("average", " (default for floating-point values)"),
                         ("any", " (default for integer values)")):
        up.add_argument(f"--{how}", action="append", metavar="NAME",
                        help=f"reduce value array NAME with {how}{default}; may repeat")
    up.add_argument("--lammps-dump", metavar="FILE", help="also write the upscaled particles as a LAMMPS dump")
    up.add_argument("--workers", type=int, default=0, metavar="N",
                    help="run the steps on a local Dask cluster of N worker processes")
    up.add_argument("--scheduler", metavar="ADDRESS", help="run the steps on an existing Dask cluster")
    up.add_argument("--picture-step", type=int, default=0, metavar="K",
                    help="the step (position in the series) drawn in the PNG picture (default 0)")
    synthetic = up.add_argument_group("built-in data set")
    synthetic.add_argument("--clusters", type=int, default=2000, metavar="N",
                           help="clusters of 1 to 8 particles (default 2000)")
    synthetic.add_argument("--steps", type=int, default=40, metavar="N", help="steps (default 40)")
    synthetic.add_argument("--seed", type=int, default=20, help="random seed (default 20)")
    up.set_defaults(run=_upscale)
    return top


def main(argv=None, engine=None):
    """Runs the command line; `engine` stands in for the compiled modules (see vireo20.engine)."""
    args = parser().parse_args(argv)
    try:
        return args.run(args, engine)
    except InputError as error:
        print(f"vireo20: error: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"vireo20: error: {error}", file=sys.stderr)
        return 1
