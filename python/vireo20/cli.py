"""`python3 -m vireo20` (or `vireo20`): the command line; it parses options and calls `vireo20.run`."""
import argparse
import contextlib
import faulthandler
import os
import signal
import sys
import threading

from . import inputs
from .filesafe import OutputError
from .frames import InputError
from .lammps_data import STYLES
from .upscale import JOB_REDUCTIONS, PHYSICS, UNIT_STYLES


def _input_help():
    lines = ["INPUT is one of these (the format is told from the file; --format names it):", ""]
    lines += [f"  {name:<11} {text}" for name, (_, text) in inputs.FORMATS.items()]
    lines += ["", "or nothing for the built-in data set. With upscale's --workers or --scheduler, each worker",
              "reads its steps itself: a remote cluster must see INPUT at the same path. For MDAnalysis give",
              "TOPOLOGY TRAJECTORY (a LAMMPS data file, then its dump's files if written one per step).",
              "A topology's bonds make wrapped molecules wider than half the box whole along them.",
              "A LAMMPS dump, VTK, CSV or CFG files written one file per step (or a dump per processor) are",
              "given as the files (dump.*.lammpstrj), their folder or a quoted pattern; a folder's dump",
              "local (one dump of them) is taken as --contacts. Each format's columns and conventions:", ""]
    for name, (module, _) in inputs.FORMATS.items():
        try:
            doc = inputs.reader(name).__doc__ or ""
        except ImportError as error:
            doc = f"(unavailable here: {error})"
        lines += [f"--- {name} ({module}.py) ---", doc.strip(), ""]
    return "\n".join(lines)


def _whole(low):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, not {text!r}") from None
        if value < low:
            raise argparse.ArgumentTypeError(f"must be {low} or more, not {value}")
        return value
    return parse


class _Help(argparse.RawDescriptionHelpFormatter):
    pass


def _input_arguments(sub):
    """The options that say how to read INPUT, the same for every command."""
    sub.add_argument("--format", choices=tuple(inputs.FORMATS), help="the input's format, when the file cannot tell")
    # Several after one --contacts, as the shell expands post/pairs*.liggghts.
    sub.add_argument("--contacts", action="extend", nargs="+", metavar="FILE",
                     help="a LAMMPS dump local of contact pairs (or its files, their folder or a quoted pattern, "
                          "written one file per step), LIGGGHTS's dump local/gran/vtk files, or MercuryDPM's .fstat "
                          "file(s) where they are not beside its .data")
    sub.add_argument("--contact-ids", nargs=2, metavar=("COLUMN1", "COLUMN2"),
                     help="the dump local's two columns of atom ids (default its first two; LIGGGHTS's "
                          "pair/gran/local pos id writes the positions first)")
    sub.add_argument("--columns", nargs="+", metavar="NAME",
                     help="the columns of a binary dump in LAMMPS's older format (dump custom/mpiio's), which "
                          "names none, as its dump command lists them: id type xs ys zs for a dump atom")
    sub.add_argument("--atom-style", choices=tuple(STYLES),
                     help="the atom style of a LAMMPS data file whose Atoms line names none (write_data's say "
                          "'Atoms # full'), where its columns do not tell")
    sub.add_argument("--stem", metavar="NAME",
                     help="of VTK, CSV, CFG or MercuryDPM files: the series to read where a folder holds several "
                          "(its files' name up to the step number), or the group of a .pvd that lists several")
    sub.add_argument("--box", nargs=6, type=float, metavar=("XLO", "XHI", "YLO", "YHI", "ZLO", "ZHI"),
                     help="the simulation box of an input that holds none (VTK or CSV files, a trajectory "
                          "MDAnalysis reads without one), periodic along --periodic; of CFG and MercuryDPM "
                          "files, in place of their cell or bounds")
    sub.add_argument("--periodic", metavar="AXES",
                     help="the periodic directions of --box, e.g. xy (default xyz; 'none' for none), or of "
                          "the boxes LAMMPS's dump vtk writes beside its files (default none)")


def parser():
    top = argparse.ArgumentParser(prog="vireo20", description="Upscale particle simulations.")
    commands = top.add_subparsers(dest="command", required=True)
    up = commands.add_parser(
        "upscale", help="upscale every step of a simulation into ParaView-ready files",
        description="Group particles, reduce their values and write one VTK PolyData file per step, "
                    "a .pvd series, summary.csv and a picture. The series replaces --out as a whole "
                    "only when every step is written.",
        formatter_class=_Help)
    up.epilog = None
    up.add_argument("input", nargs="*", metavar="INPUT", help="the input (see below); none: the built-in data set")
    up.add_argument("--out", required=True, metavar="DIR", help="output folder (replaced as a whole when the run ends)")
    _input_arguments(up)
    up.add_argument("--group-by", metavar="COLUMN",
                    help="the integer column whose values name the groups (default: mol for LAMMPS; --group-by id "
                         "upscales every particle alone); a value of 0 or below: no group, the particle alone; "
                         "with bins, the groups are binned by their centres of mass")
    up.add_argument("--cluster", metavar="CUTOFF|contacts",
                    help="group the particles by each step's clusters: chains of particles closer than CUTOFF, "
                         "through the periodic faces (LAMMPS's compute cluster/atom, OVITO's cluster analysis), "
                         "or of particles in contact (contacts: agglomerates, as compute aggregate/atom); a "
                         "cluster's group_id is its lowest atom id; with bins, the clusters are binned by their "
                         "centres of mass")
    up.add_argument("--types", nargs="+", metavar="TYPE",
                    help="upscale only the particles of these types (numbers or type labels), as a dump of a "
                         "LAMMPS group of them holds them, their contacts with the others left out: a species' "
                         "own bins, profile or molecules")
    up.add_argument("--cluster-types", nargs="+", metavar="TYPE",
                    help="only particles of these types (numbers or type labels) join clusters, as LAMMPS's "
                         "cluster/atom over a group; the others are upscaled alone")
    up.add_argument("--ids-once", action="store_true",
                    help="each particle keeps the group it had at the run's first step (its bin, cluster or "
                         "group column's label), as LAMMPS's compute chunk/atom ... ids once: a layer's or a "
                         "cluster's atoms followed as they spread (--msd: msd/chunk of them); particles not "
                         "there at the first step, or in no bin, are left out")
    up.add_argument("--count-types", nargs="+", metavar="TYPE",
                    help="add count_type_TYPE of each type (numbers or type labels): the members of that type, "
                         "summed (--mean count_type_TYPE: their fraction by number, --average: by mass; with "
                         "bins, --per-volume: that type's number density)")
    up.add_argument("--coordination", nargs="?", const=True, metavar="CUTOFF",
                    help="each upscaled particle's coordination (its members' mean number of particle "
                         "contacts: LAMMPS's contact/atom averaged over the group) and its inner_contacts, "
                         "outer_contacts, wall_contacts and contact fabric tensor (compute fabric), from the contacts; "
                         "with CUTOFF, of the neighbours closer than it through the periodic faces (compute "
                         "coord/atom cutoff)")
    up.add_argument("--contact-stress", nargs="+", metavar="FORCE",
                    help="each upscaled particle's contact_stress, from the contacts' force on their first "
                         "particle, a contact value of 3 components or its 3 columns (compute pair/local fx fy fz; "
                         "LIGGGHTS's pair/gran/local force, c_pgl[16] c_pgl[17] c_pgl[18] of its default "
                         "columns): -sum r f^T, half a contact at each end, as LAMMPS's stress/atom of those "
                         "pairs summed over the group; with bins also bin_stress, that (with --temperature, plus "
                         "kinetic_stress) over the bin's volume (the pressure is -trace/3)")
    # Several after one --mass, as users write them (--mass 1=1 2=2.5), or --mass again.
    up.add_argument("--mass", action="extend", nargs="+", metavar="TYPE=VALUE",
                    help="the mass of atom type TYPE, a number or a type label (in place of a mass column); "
                         "several may follow")
    up.add_argument("--density", action="extend", nargs="+", metavar="[TYPE=]VALUE",
                    help="masses of spheres from the radius (or diameter) column: one density for every type, "
                         "or one per type (in place of mass and density columns)")
    up.add_argument("--physics", choices=PHYSICS, default="all",
                    help="per-group physics arrays (default all where the columns exist)")
    up.add_argument("--shape", action="store_true",
                    help="also each upscaled particle's gyration_shape: the gyration tensor's eigenvalues, "
                         "asphericity, acylindricity and shape anisotropy (LAMMPS's gyration/shape/chunk), its "
                         "shape_parameter and principal_axes (MDAnalysis's), its long_axis, its end_to_end (the vector "
                         "from its member of lowest id to that of highest: a chain's), its bounding_radius "
                         "(the sphere about its centre that holds its members, their radii too), its "
                         "bounding_box_lo and bounding_box_hi (the corners of the box along x, y and z that holds "
                         "them, MDAnalysis's bbox) and, where the "
                         "particles have radii, its equivalent_radius (the sphere of their volume)")
    reducing = up.add_argument_group("reductions", "How each value array is reduced over a group's members. "
                                                   "Each option may repeat; a NAME\ngiven several reductions is "
                                                   "written as NAME_HOW for each (velocity_mean, velocity_std).\n"
                                                   "The reductions named replace NAME's default: --min velocity "
                                                   "--max velocity writes no\ncentre-of-mass velocity unless "
                                                   "--average velocity is named too.")
    for how, default in (("sum", " (default for force, tq and q)"),
                         ("average", " (mass-weighted; default for floating-point values)"),
                         ("mean", " (unweighted, as LAMMPS's fix ave/chunk; --mean positions: each upscaled "
                                  "particle's centre_of_geometry)"),
                         ("any", " (default for integer values)"), ("min", " (per component)"),
                         ("max", " (per component)"),
                         ("std", " (the sample standard deviation per component, as pandas's groupby std: "
                                 "a bin's velocity fluctuation)"),
                         ("var", " (the sample variance per component, as pandas's groupby var)"),
                         ("median", " (per component, as pandas's groupby median)"),
                         ("nunique", " (the number of distinct values per component, as pandas's groupby "
                                     "nunique, NaN not counted: with --cluster, a micelle's molecules, "
                                     "--nunique mol)"),
                         ("per_volume", " (the sum over the bin's volume, with bins: OVITO's sum/volume, a "
                                        "pressure profile from compute stress/atom)")):
        reducing.add_argument(f"--{how.replace('_', '-')}", action="append", metavar="NAME",
                              help=f"reduce value array NAME with {how.replace('_', ' ')}{default}")
    up.add_argument("--msd", action="store_true",
                    help="each upscaled particle's displacement and squared displacement from the first step "
                         "(LAMMPS's msd/chunk; wrapped positions are unwrapped through time)")
    up.add_argument("--bin", action="append", metavar="AXIS:WIDTH[:ORIGIN]",
                    help="group the particles by place, in bins of WIDTH along AXIS from ORIGIN (lower, "
                         "center, upper or a coordinate; default lower), as LAMMPS's compute chunk/atom "
                         "bin/1d; repeat for 2d or 3d bins")
    up.add_argument("--bin-sphere", nargs=6, metavar=("X", "Y", "Z", "RMIN", "RMAX", "N"),
                    help="group the particles by place, in N spherical shells from RMIN to RMAX about "
                         "(X, Y, Z), as LAMMPS's compute chunk/atom bin/sphere")
    up.add_argument("--bin-cylinder", nargs=6, metavar=("AXIS:WIDTH[:ORIGIN]", "C1", "C2", "RMIN", "RMAX", "N"),
                    help="group the particles by place, in N rings from RMIN to RMAX about the line along AXIS "
                         "through C1 C2, cut every WIDTH along it, as LAMMPS's compute chunk/atom bin/cylinder")
    up.add_argument("--bin-bound", action="append", nargs=3, metavar=("AXIS", "LO", "HI"),
                    help="the bins along AXIS cover LO to HI (lower, upper or a coordinate), as LAMMPS's "
                         "bound keyword; repeat for another axis")
    up.add_argument("--bin-discard", choices=("mixed", "yes", "no"), default="mixed",
                    help="particles beyond the bins: to the nearest bin but beyond a bound given (mixed, the "
                         "default), all left out (yes) or none (no), as LAMMPS's discard keyword")
    up.add_argument("--bin-units", choices=("box", "reduced"), default="box",
                    help="the units of the bins' widths, origins, centres and radii: the box's (default), or "
                         "reduced, as fractions of its edges (which bins of a tilted box need), as LAMMPS's "
                         "units keyword")
    up.add_argument("--time-average", nargs="+", metavar="WORD",
                    help="N [ave one|running|window M] [norm all|sample|none]: also write profile.txt, each group's "
                         "(or bin's) count, densities and values averaged over each N steps in turn, as LAMMPS's "
                         "fix ave/chunk with Nrepeat N and these keywords writes its file")
    up.add_argument("--vacf", action="store_true",
                    help="each upscaled particle's mean velocity times that at the first step, per component "
                         "and summed (LAMMPS's vacf/chunk)")
    up.add_argument("--temperature", action="store_true",
                    help="each upscaled particle's temperature and internal_temperature (about its mean "
                         "velocity), as LAMMPS's temp/chunk gives them without and with com yes, its "
                         "com_kinetic_energy (temp/chunk kecom), its granular_temperature (DEM's: sum m|v - "
                         "V|^2 / (dimension M), in velocity units squared), its kinetic_energy (ke/atom summed), "
                         "its kinetic_stress (-sum m (v - V)(v - V)^T: stress/atom's kinetic part about the mean "
                         "velocity, with bins part of bin_stress) "
                         "and, where the particles have omega and radius, its rotational_energy "
                         "(erotate/sphere/atom summed)")
    up.add_argument("--dimension", type=int, choices=(2, 3),
                    help="2 for a 2d simulation (LAMMPS's dimension 2): its temperatures count two degrees of "
                         "freedom a particle and its bins are areas (default 3, or what a GSD or H5MD file says)")
    up.add_argument("--units", choices=UNIT_STYLES,
                    help="the LAMMPS unit style of the input, where it does not say (a dump says with "
                         "dump_modify units yes): energies and temperatures are then in its units")
    up.add_argument("--frames", metavar="START:STOP:STEP", help="a slice of the input's frames (Python's rules)")
    up.add_argument("--lammps-dump", metavar="FILE", help="also write the upscaled particles as a LAMMPS dump")
    up.add_argument("--wrapped", action="store_true", help="write the dump's centres wrapped, as x y z ix iy iz")
    up.add_argument("--overwrite", action="store_true", help="let --lammps-dump replace an existing file")
    up.add_argument("--resume", action="store_true", help="continue an interrupted run into the same --out")
    up.add_argument("--workers", type=_whole(0), default=0, metavar="N",
                    help="run the steps on a local Dask cluster of N worker processes")
    up.add_argument("--scheduler", metavar="ADDRESS", help="run the steps on an existing Dask cluster")
    up.add_argument("--picture-step", type=_whole(-2 ** 62), default=0, metavar="K",
                    help="the step (position in the series; negative from the end) drawn in the PNG (default 0)")
    up.add_argument("--table", action="store_true",
                    help="also write upscaled.csv: every step's upscaled particles, a row each (timestep, x y z, "
                         "mass, group_id, every array, vectors as NAME_x NAME_y NAME_z), for pandas: read_csv(..., "
                         "float_precision='round_trip') reads every number back exactly")
    up.add_argument("--no-picture", action="store_true", help="draw no picture")
    synthetic = up.add_argument_group("built-in data set (without INPUT)")
    synthetic.add_argument("--clusters", type=_whole(1), metavar="N", help="clusters of 1 to 8 particles (default 2000)")
    synthetic.add_argument("--steps", type=_whole(1), metavar="N", help="steps (default 40)")
    synthetic.add_argument("--seed", type=_whole(0), metavar="N", help="random seed (default 20)")
    up.set_defaults(run=_upscale, parser=up)
    look = commands.add_parser(
        "inspect", help="say what an input holds: its frames, and a frame's box, columns, groups and contacts",
        description="Read an input as upscale reads it and say what it holds, by the names upscale's options "
                    "take (--group-by COLUMN, --mean NAME, --contact-stress FORCE): its frames, and one "
                    "frame's particles, box, columns (type, components, range), groups and contacts.",
        formatter_class=_Help)
    look.add_argument("input", nargs="*", metavar="INPUT", help="the input, as upscale takes it")
    _input_arguments(look)
    look.add_argument("--frame", type=_whole(-2 ** 62), metavar="K",
                      help="the frame to describe (position in the series, negative from the end; default: the "
                           "first that has particles)")
    look.add_argument("--group-by", metavar="COLUMN",
                      help="the groups to count: by this integer column (default: the input's, mol for LAMMPS)")
    look.add_argument("--list", action="store_true",
                      help="also a line a frame: its timestep, time, particles and contacts (a text dump's as its "
                           "frames' headers say, its data lines passed over; other inputs' frames are read)")
    look.set_defaults(run=_inspect, parser=look)
    return top


def inputs_after_options(args):
    """--mass and --density take every word after them: an input written after the masses (a file
    that exists) goes back to the inputs; any other word stays, for the option to name it as a
    mistake. So does --contacts: a file after it that is not a dump local (ITEM: ENTRIES) goes back to
    the inputs; and a dump local among the inputs, beside an atom dump, is taken as contacts (the
    shell's `dump.*.lammpstrj pairs.*.lammpstrj` too)."""
    for option in ("mass", "density"):
        given = getattr(args, option, None)
        if given:
            moved = [word for word in given if "=" not in word and os.path.exists(word)]
            args.input = [*args.input, *moved]
            setattr(args, option, [word for word in given if word not in moved])
    from .read_lammps import dump_section
    contacts = args.contacts or []
    if contacts:
        moved = [word for word in contacts[1:] if os.path.isfile(word) and dump_section(word) != "ENTRIES"
                 and ".fstat" not in os.path.basename(word)]
        args.input = [*args.input, *moved]
        contacts = [word for word in contacts if word not in moved]
    if len(args.input) > 1:
        pairs = [word for word in args.input if _dump_local(word)]
        if len(pairs) < len(args.input):
            args.input = [word for word in args.input if word not in pairs]
            contacts = [*contacts, *pairs]
    args.contacts = (contacts[0] if len(contacts) == 1 else contacts) or None
    return args


def _dump_local(word):
    """Whether an input names a dump local: a file, or a quoted pattern whose first file is one."""
    from .read_lammps import dump_section
    if not os.path.isfile(word):
        try:
            found = inputs.expand(word)
        except InputError:
            return False
        word = found[0] if isinstance(found, list) else None
    return word is not None and os.path.isfile(word) and dump_section(word) == "ENTRIES"


def _upscale(args):
    up = args.parser
    inputs_after_options(args)
    reductions = {}
    for how in JOB_REDUCTIONS:
        for name in getattr(args, how) or ():
            reductions.setdefault(name, []).append(how)
    reductions = {name: hows[0] if len(hows) == 1 else hows for name, hows in reductions.items()}
    synthetic = {name: getattr(args, name) for name in ("clusters", "steps", "seed") if getattr(args, name) is not None}
    source, options = _source(args)
    if source is not None and synthetic:
        up.error(f"--{next(iter(synthetic))} applies to the built-in data set only; use --frames to choose "
                 "an input's steps")
    if (args.wrapped or args.overwrite) and not args.lammps_dump:
        up.error("--wrapped and --overwrite go with --lammps-dump")
    if args.scheduler and args.workers:
        up.error("give --workers or --scheduler, not both")
    try:
        from .run import parse_frames
        frames = parse_frames(args.frames)
        result = _run(args, source, options, reductions, frames, synthetic)
    except ValueError as error:
        if isinstance(error, InputError) or getattr(error, "during_run", False):
            raise
        up.error(str(error))
    count = len(result.files)
    print(f"wrote {count} step{'' if count == 1 else 's'} to {result.folder}")
    print(f"  ParaView: paraview {result.pvd}  (File > Open, then Apply; the time bar steps through the series)")
    if result.picture:
        print(f"  picture: {result.picture}")
    if result.lammps_dump:
        print(f"  LAMMPS dump: {result.lammps_dump} (OVITO, VMD or read_dump)")
    print(f"  per-step summary: {os.path.join(result.folder, 'summary.csv')}")
    if result.table:
        print(f"  every step's upscaled particles: {result.table} (pandas.read_csv)")
    print(f"  largest centre-of-mass drift: {result.largest_drift:.3g}")
    spanning = result.spanning_steps
    if spanning:
        print(f"  a cluster spans the box at {len(spanning)} of {count} steps, from timestep {spanning[0]} "
              "(summary.csv's spanning, spans_box)")
    return 0


def _source(args):
    """(the input as the readers take it, the reader's options) from INPUT and the options that say how
    to read it."""
    up = args.parser
    options = {}
    several = inputs.several_files_format(args.input) if len(args.input) > 1 else None
    if len(args.input) > 2 and several is None and args.format in (None, "mdanalysis") and \
            inputs.several_files_format(args.input[1:]) in ("lammps", "cfg"):
        # A data file, then its dump written one file per step.
        options["topology"], source = args.input[0], list(args.input[1:])
        args.format = args.format or inputs.several_files_format(args.input[1:])
    elif (several is not None and args.format in (None, several)) or len(args.input) > 2:
        # A dump written one file per step, as the shell expands dump.*.lammpstrj; the reader names a
        # file that does not belong.
        source = list(args.input)
    elif len(args.input) == 2:
        options["topology"], source = args.input
        args.format = args.format or inputs.reader_with_topology(source)
    else:
        source = args.input[0] if args.input else None
    if source is None and (args.contacts or args.format):
        up.error("--contacts and --format need an INPUT")
    if args.contact_ids:
        if not args.contacts:
            up.error("--contact-ids goes with --contacts")
        if args.contact_ids[0] == args.contact_ids[1]:
            up.error("--contact-ids names two different columns")
        options["contact_ids"] = args.contact_ids
    if args.atom_style is not None:
        if "topology" not in options and not (isinstance(source, str) and
                                              (args.format or inputs.detect(source)) == "mdanalysis"):
            up.error("--atom-style goes with a LAMMPS data file")
        options["atom_style"] = args.atom_style
    if args.stem is not None:
        options["stem"] = args.stem
    if args.columns is not None:
        options["columns"] = args.columns
    periodic = "" if args.periodic == "none" else args.periodic
    if periodic is not None and set(periodic) - set("xyz"):
        up.error(f"--periodic takes the letters x, y and z (or none), not {args.periodic!r}")
    if args.box is None and periodic is not None:
        options["periodic"] = periodic
    if args.box is not None:
        periodic = "xyz" if periodic is None else periodic
        from .frames import Box
        try:
            options["box"] = Box.orthogonal(args.box[0::2], args.box[1::2], [a in periodic for a in "xyz"])
        except ValueError as error:
            up.error(f"--box: {error}")
    return source, options


def _inspect(args):
    look = args.parser
    inputs_after_options(args)
    source, options = _source(args)
    from .describe import describe
    if args.contacts:
        options["contacts"] = args.contacts
    try:
        series = inputs.open_series(source, args.format, **options)
        named = "the built-in data set" if source is None else \
            f"{source if isinstance(source, str) else ' '.join(source)} ({_format_name(args, source, options)})"
        lines = describe(series, named, args.frame, args.group_by, listing=args.list)
        if args.list:
            from .describe import frame_table
            lines += ["", *frame_table(series)]
    except ValueError as error:
        if isinstance(error, InputError):
            raise
        look.error(str(error))
    try:
        print("\n".join(lines), flush=True)
    except BrokenPipeError:
        # A reader that stopped early (inspect ... | head) wanted no more: no error, and none at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0


def _format_name(args, source, options):
    """The input's format as inspect names it: a LAMMPS data file alone, which MDAnalysis would read
    only where this job's reader does not, by its own name."""
    found = args.format or inputs.detect(inputs.expand(source))
    if found == "mdanalysis" and isinstance(source, str) and not options.get("topology"):
        from . import lammps_data
        from .reading import cached_open
        try:
            cached_open(source, lammps_data.DataAtoms, options.get("atom_style"), True)
            return "lammps data file"
        except (lammps_data.Unread, InputError):
            pass
    return found


def _bins(args):
    """The bins the options ask for, at most one shape of them, or None."""
    from .binning import Bins, CylinderBins, SphereBins
    from .frames import AXES
    given = [(name, value) for name, value in (("--bin", args.bin), ("--bin-sphere", args.bin_sphere),
                                              ("--bin-cylinder", args.bin_cylinder)) if value]
    if len(given) > 1:
        raise ValueError(f"give one of {', '.join(name for name, _ in given)}")
    if not given:
        if args.bin_units != "box" or args.bin_bound or args.bin_discard != "mixed":
            raise ValueError("--bin-units, --bin-bound and --bin-discard go with --bin, --bin-sphere or "
                             "--bin-cylinder")
        return None
    bounds = {}
    for axis, low, high in args.bin_bound or ():
        if axis not in AXES or axis in bounds:
            raise ValueError(f"--bin-bound takes each axis (x, y or z) once, not {axis!r}")
        bounds[axis] = (low, high)
    name, value = given[0]
    shapes = {"--bin": Bins.parse, "--bin-sphere": SphereBins.parse, "--bin-cylinder": CylinderBins.parse}
    return shapes[name](value, args.bin_units, bounds, args.bin_discard)


def _run(args, source, options, reductions, frames, synthetic):
    from .run import run
    return run(source, args.out, format=args.format, contacts=args.contacts, group_by=args.group_by,
               masses=args.mass, densities=args.density, physics=args.physics, shape=args.shape,
               reductions=reductions, frames=frames,
               lammps_dump=args.lammps_dump, wrapped_dump=args.wrapped, overwrite=args.overwrite,
               resume=args.resume, workers=args.workers, scheduler=args.scheduler,
               picture_step=None if args.no_picture else args.picture_step, msd=args.msd,
               vacf=args.vacf, units=args.units, temperature=args.temperature, bins=_bins(args),
               dimension=args.dimension, time_average=args.time_average, cluster=args.cluster,
               cluster_types=args.cluster_types, types=args.types, count_types=args.count_types,
               ids_once=args.ids_once, coordination=args.coordination,
               contact_stress=args.contact_stress, table=args.table,
               echo=print, warn=lambda text: print(f"vireo20: warning: {text}", file=sys.stderr, flush=True),
               **synthetic, **options)


class Terminated(KeyboardInterrupt):
    """SIGTERM (a batch system's, or kill's), met as Ctrl-C is: the run's partial folder is named."""


def _terminate(signum, frame):
    raise Terminated()


def _slices_joined(argv):
    """argparse takes "--frames -4::2" for two options (only plain negative numbers pass as values):
    joined as "--frames=-4::2", a slice from the end reads as written."""
    joined = []
    for given in argv:
        if joined and joined[-1] == "--frames" and given[:1] == "-" and given[1:2] in tuple("0123456789:"):
            joined[-1] = f"--frames={given}"
        else:
            joined.append(given)
    return joined


def main(argv=None):
    """Runs the command line; returns the exit status."""
    top = parser()
    if argv is None:
        argv = sys.argv[1:]
    for command in ("upscale", "inspect"):
        if command in argv and ("-h" in argv or "--help" in argv):
            top._subparsers._group_actions[0].choices[command].epilog = _input_help()
    argv = _slices_joined(argv)
    args = top.parse_args(argv)
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGTERM, _terminate)
        # kill -USR1 PID prints where each thread of a run that seems stuck is, for its report (where
        # the process has a standard error file: not one a caller captures in memory).
        with contextlib.suppress(AttributeError, ValueError, OSError):
            faulthandler.register(signal.SIGUSR1, file=sys.__stderr__, all_threads=True)
    try:
        return args.run(args)
    except (InputError, OutputError, OSError, RuntimeError) as error:
        _failed(error)
        return 1
    except Terminated as error:
        _failed(error, "terminated (SIGTERM)")
        return 128 + signal.SIGTERM
    except KeyboardInterrupt as error:
        _failed(error, "interrupted")
        return 130
    except MemoryError as error:  # the machine's limit, not a fault of ours
        detail = f" ({error})" if str(error) else ""
        _failed(error, f"out of memory{detail}: this run needs more memory than the process may use "
                       "(the machine's memory, ulimit -v or a Dask worker's limit)")
        return 1
    except Exception as error:  # a bug of ours: one line, and the trace only when asked for
        if os.environ.get("VIREO20_TRACEBACK"):
            raise
        _failed(error, f"internal error ({type(error).__name__}: {error}); please report it, with the "
                       "trace VIREO20_TRACEBACK=1 prints")
        return 3


def _failed(error, text=None):
    if text is None:
        text = str(error)
        if isinstance(error, OSError):
            text = f"{error.filename}: {error.strerror or error}" if error.filename else (error.strerror or text)
    partial, committed = getattr(error, "partial", None), getattr(error, "committed", None)
    if committed:
        where = f" (after the finished series was put in place: {committed})"
    elif partial and isinstance(error, InputError):
        # Mending the input or the options makes another run, which starts over.
        where = f" (the steps written are kept in {partial}: --resume continues from them while the input and " \
                "the options stay as they are)"
    elif partial:
        where = f" (the steps written are kept in {partial}: once the cause is mended, run again with --resume " \
                "to continue from them)"
    elif getattr(error, "partial_unresumable", None):
        where = f" ({error.partial_unresumable}: run it again)"
    else:
        where = ""
    print(f"vireo20: error: {' '.join(text.split())}{where}", file=sys.stderr, flush=True)
