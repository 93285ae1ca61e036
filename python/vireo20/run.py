"""The job: every frame of an input through `upscale`, written as one series that replaces the old one
only when it is whole.

Frames are read one ahead and written one behind the step being reduced (at most three in memory);
with Dask workers each worker reads and reduces its own frames and this process writes them in
order. Either way the files are the same, byte for byte.
"""
import collections
import concurrent.futures
import contextlib
import fnmatch
import functools
import hashlib
import itertools
import math
import numbers
import os
import shutil
import sys
import warnings
from types import SimpleNamespace

import numpy as np

from . import filesafe, inputs, output, picture, system
from .reading import rows_of
from .columns import RESERVED, MassRule, kept_apart, of_types, radii, type_column, type_list
from .frames import Box, HeldFrame, InputError, Series, kept_contacts
from .averaging import PROFILE, WINDOWS, MissingArray
from .write_table import TABLE, write_table
from .upscale import (JOB_REDUCTIONS, PER_VOLUME, PHYSICS, UNIT_STYLES, checked_reductions, load_modules,
                      reduction_outputs, several, upscale)

SERIES_MARKER = ".vireo20-series"


class RunResult:
    """What a run wrote: `folder`, `pvd`, `files` (the step files in order), `picture`, `lammps_dump`,
    `largest_drift`, `profile` (the time averages' file, or None), `table` (upscaled.csv, or None),
    `summary`, a pandas DataFrame of the per-step summary (summary.csv), `spanning_steps` and
    `to_pandas()`."""

    def __init__(self, folder, series, rows, picture, lammps_dump, largest_drift, profile=None, times=None,
                 table=None):
        self.folder = folder
        self.times = times
        self.table = table and os.path.join(folder, table)
        self.profile = profile and os.path.join(folder, profile)
        self.pvd = os.path.join(folder, f"{output.STEM}.pvd")
        self.files = [os.path.join(folder, name) for _, name in series]
        self.timesteps = [timestep for timestep, _ in series]
        self.picture = picture and os.path.join(folder, os.path.basename(picture))
        self.lammps_dump = lammps_dump
        self.largest_drift = largest_drift
        self._rows = rows

    @property
    def summary(self):
        import pandas
        frame = pandas.DataFrame(output.summary_rows(self._rows), columns=output.SUMMARY_COLUMNS)
        for name in output.SUMMARY_COLUMNS[4:]:
            frame[name] = pandas.to_numeric(frame[name])
        return frame

    @property
    def spanning_steps(self):
        """The timesteps at which a cluster spans the box (`cluster` runs; else None)."""
        at = output.SUMMARY_COLUMNS.index("spanning")
        rows = output.summary_rows(self._rows)
        if not rows or rows[0][at] == "":
            return None
        return [row[0] for row in rows if row[at] not in ("", 0)]

    def to_pandas(self):
        """Every step's upscaled particles as one pandas DataFrame, a row each: `timestep`, `time`
        where the input gives them, then the columns of `Upscaled.to_pandas()`, read back from the step
        files.

        >>> result.to_pandas().groupby("group_id")["velocity_z"].mean()
        """
        from .write_table import table
        return table(self.folder, list(zip(self.timesteps, map(os.path.basename, self.files))), self.times)

    def __repr__(self):
        return f"<RunResult: {len(self.files)} steps in {self.folder}>"


def parse_frames(text):
    """`START:STOP:STEP` (Python's slice rules, negative indexes too) as a slice."""
    if text is None or isinstance(text, slice):
        return text
    parts = str(text).split(":")
    if len(parts) > 3:
        raise ValueError(f"--frames takes START:STOP:STEP, not {text!r}")
    try:
        numbers_ = [int(p) if p.strip() else None for p in parts]
    except ValueError:
        raise ValueError(f"--frames takes whole numbers as START:STOP:STEP, not {text!r}") from None
    if len(numbers_) == 1:
        index = numbers_[0]
        if index is None:
            raise ValueError("--frames takes START:STOP:STEP or one index")
        return slice(index, index + 1 if index != -1 else None)
    if len(numbers_) == 3 and numbers_[2] == 0:
        raise ValueError("--frames: the step of START:STOP:STEP cannot be 0")
    if len(numbers_) == 3 and numbers_[2] is not None and numbers_[2] < 0:
        # A series goes forward in time (its msd, time averages and ParaView's time axis need it).
        raise ValueError(f"--frames {text}: the steps go forward in time; STEP cannot be negative")
    return slice(*numbers_)


def _count(name, value, low=0):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < low:
        raise ValueError(f"{name} must be a whole number >= {low}, not {value!r}")
    return int(value)


def _identity(path):
    """What a resumed run checks it still reads: the file's or folder's names, sizes, times and
    samples of their bytes (hidden files left out, as the readers leave them: a run's own lock and
    partial folder among them, where --out lies in the input's folder)."""
    if path is None:
        return None
    path = inputs.expand(path)
    if isinstance(path, list):
        return [_identity(name) for name in path]
    path = os.path.abspath(path)
    if os.path.isdir(path):
        return [path, sorted([name, *_file_identity(os.path.join(path, name), 2)] for name in os.listdir(path)
                             if not name.startswith("."))]
    return [path, *_file_identity(path, 16)]


def _file_identity(path, pieces):
    """A file's size, time and a digest of `pieces` pieces of 4 KiB spread over it (its first and last
    among them): a simulation run again into files of the same names and sizes (a binary dump's are
    fixed by its atoms), or a file copied back with its time (cp -p), is told by its bytes."""
    stat = os.stat(path)
    if not os.path.isfile(path):
        return [stat.st_size, stat.st_mtime_ns]
    digest, piece = hashlib.blake2b(digest_size=16), 4096
    with open(path, "rb") as stream:
        if stat.st_size <= piece * pieces:
            digest.update(stream.read())
        else:
            for k in range(pieces):
                stream.seek((stat.st_size - piece) * k // (pieces - 1))
                digest.update(stream.read(piece))
    return [stat.st_size, stat.st_mtime_ns, digest.hexdigest()]


def _check_places(place, input_paths, dump, overwrite, pattern=None):
    """Refuses, before anything is opened for writing, every output that is or holds an input (or
    that the input's `pattern` of files would take in)."""
    pattern = inputs.pattern_of(pattern) if pattern is not None else None
    for given, option in ((place.final, "--out"), (dump, "--lammps-dump")):
        # Another run's partial folder, replaced series or lock: that run would remove what this one wrote.
        if given and any(".vireo20-" in part for part in os.path.abspath(given).split(os.sep)):
            raise filesafe.OutputError(f"{option} {given}: names holding '.vireo20-' are the job's own working "
                                       "files and folders; choose another")
    folder = os.path.dirname(os.path.abspath(dump)) if dump else None
    longest = os.pathconf(folder, "PC_NAME_MAX") if folder and os.path.isdir(folder) else 255
    if dump and len(os.fsencode(os.path.basename(dump) + ".vireo20-part")) > longest:
        raise filesafe.OutputError(f"--lammps-dump {dump}: the name is too long for the file written beside it "
                                   "first (NAME.vireo20-part); choose a shorter one")
    if dump and pattern and fnmatch.fnmatchcase(os.path.abspath(dump), os.path.abspath(pattern)):
        raise filesafe.OutputError(f"--lammps-dump {dump} is named as the input's files ({pattern}): a later run "
                                   "would read it as one of them; choose another name")
    for path in input_paths:
        if filesafe.inside(path, place.final) or filesafe.inside(path, place.partial):
            raise filesafe.OutputError(f"--out {place.final} holds the input {path}: a run replaces that "
                                       "folder as a whole; choose another --out")
        if dump and (filesafe.same_file(dump, path) or os.path.realpath(dump) == os.path.realpath(path)):
            raise filesafe.OutputError(f"--lammps-dump {dump} is the input {path}; choose another file")
        if dump and os.path.isdir(path) and filesafe.inside(dump, path):
            raise filesafe.OutputError(f"--lammps-dump {dump} lies in the input folder {path}; choose a file elsewhere")
    if os.path.lexists(place.final) and not os.path.isdir(place.final):
        raise filesafe.OutputError(f"--out {place.final} exists and is not a folder")
    if dump:
        if os.path.isdir(dump):
            raise filesafe.OutputError(f"--lammps-dump {dump} is a folder")
        if filesafe.inside(dump, place.final):
            relative = os.path.relpath(os.path.realpath(dump), os.path.realpath(place.final))
            if relative == "." or relative in output.series_names() or relative.startswith(f"{output.STEM}_") \
                    or os.path.basename(relative).startswith(".vireo20"):
                raise filesafe.OutputError(f"--lammps-dump {dump} would be one of the series' own files")
        if os.path.lexists(dump) and not overwrite:
            raise filesafe.OutputError(f"--lammps-dump {dump} exists; give --overwrite to replace it")
        if not filesafe.inside(dump, place.final):
            # Told now, not once every step is done: its folder is where the finished dump goes.
            try:
                os.makedirs(folder, exist_ok=True)
            except OSError as error:
                raise filesafe.OutputError(f"--lammps-dump {dump}: cannot make its folder ({error.strerror})") from None
            if not os.access(folder, os.W_OK | os.X_OK):
                raise filesafe.OutputError(f"--lammps-dump {dump}: cannot write in {folder} (read-only, or not "
                                           "yours to write)")
    if os.path.isdir(place.final):
        try:
            # What the series holds, as the run that wrote it listed it: a file added since, however
            # named, is the user's.
            with open(os.path.join(place.final, SERIES_MARKER)) as stream:
                listed = set(stream.read().split("\n"))
            ours = lambda name: name in listed
        except OSError:
            listed = output.series_names()
            ours = lambda name: name in listed or (name.startswith(f"{output.STEM}_") and name.endswith(".vtp"))
        if dump and filesafe.inside(dump, place.final):
            listed.add(os.path.relpath(os.path.realpath(dump), os.path.realpath(place.final)))
        # The job's own hidden files (a manifest or a dump a stopped run left) are no one's work.
        foreign = sorted(name for name in os.listdir(place.final) if not ours(name) and not name.startswith(".vireo20"))
        if foreign:
            raise filesafe.OutputError(
                f"--out {place.final} holds files that are not part of an upscaled series ({', '.join(foreign[:3])}"
                f"{', ...' if len(foreign) > 3 else ''}); a run replaces that folder as a whole, so choose an "
                "empty or new folder")


class _Options:
    """What every step needs, picklable for Dask workers."""

    def __init__(self, group_by, mass_rule, physics, reductions, shape=False, units=None, temperature=False,
                 bins=None, dimension=None, cluster=None, coordination=False, contact_force=None, types=None,
                 count_types=None):
        self.group_by, self.mass_rule, self.physics, self.reductions = group_by, mass_rule, physics, reductions
        self.shape, self.units, self.temperature, self.bins = shape, units, temperature, bins
        self.dimension, self.cluster, self.coordination = dimension, cluster, coordination
        self.contact_force, self.types, self.count_types = contact_force, types, count_types
        # With ids once: the first step's particle ids and each one's group then (_FirstGroups), the bins
        # those groups were, whose centres each step's groups carry. column_groups: the input's group
        # column gives the groups (else it is a value, where a reduction names it).
        self.first, self.first_bins, self.column_groups = None, None, True
        # Whether contacts were named: a step without any then has none there, not none asked for.
        self.contacts_given = False
        # The options that know a lone particle from step to step by its id (--msd ...).
        self.across_steps = ()


def _apart_contacts(frame, sample=4096):
    """Whether any of the first `sample` particle contacts of a frame with radii joins particles
    farther apart than their radii reach (beyond the rounding of a dump's %g). A sample: the lists that
    hold such pairs hold them throughout."""
    r, contacts = radii(frame.columns), frame.contacts
    if r is None or contacts is None or not len(contacts) or not len(frame.positions):
        return False
    kinds = frame.contact_kinds
    pairs = np.asarray(contacts if kinds is None else contacts[np.asarray(kinds) == 0])[:sample].astype(np.int64)
    ids = frame.columns.get("id")
    ids = np.arange(frame.first_id, frame.first_id + len(r)) if ids is None else np.asarray(ids, np.int64)
    ends = rows_of(SimpleNamespace(), ids, pairs)
    ends = ends[(ends >= 0).all(axis=1)]
    joined = frame.positions[ends[:, 1]] - frame.positions[ends[:, 0]]
    if frame.box is not None and frame.box.any_periodic:
        joined = frame.box.minimum_image(joined)
    reach = (r[ends[:, 0]] + r[ends[:, 1]]) * (1 + 1e-3)
    return bool((np.einsum("ij,ij->i", joined, joined) > reach * reach).any())


def run_step(loader, options, keep_source=False, layout=None):
    """Reads and upscales one frame: (result, the picture's sample of its entries or None). `layout`:
    the box the bins are laid out in, where not the frame's own (`_Layouts`)."""
    frame = loader.load()
    _check_timestep(frame)
    if options.types is not None:
        frame = frame.of_types(*options.types)
    arguments = frame.arguments(options.group_by, options.mass_rule, options.physics)
    default = frame.default_group
    if options.group_by is None and (options.cluster is not None or options.bins is not None or
                                     not options.column_groups) and \
            default in (options.reductions or {}) and default in frame.columns:
        # Clusters or bins group the step, not the input's group column: asked for, it is a value.
        arguments["values"][default] = frame.columns[default]
    named = arguments.get("units")
    if options.units is not None:
        if named not in (None, options.units):
            frame.fail("units", f"--units {options.units}, but the input gives its values in {named} units")
        arguments["units"] = options.units
    if options.temperature and arguments.get("units") is None:
        frame.fail("units", "--temperature needs the unit style: the input names none (LAMMPS's dump_modify "
                            f"units yes writes it); give --units ({', '.join(UNIT_STYLES)}; lj for HOOMD's "
                            "reduced units, mdanalysis for MDAnalysis's)")
    counted = [f"count_type_{kind}" for kind in options.count_types or ()]
    reductions, renamed = kept_apart(arguments, options.reductions, [*counted, *_several_outputs(options.reductions)])
    if counted:
        reductions = _type_counts(frame, arguments, options.count_types, reductions)
    if options.first is not None:
        # After every value of the whole frame is added: the particles left out leave theirs.
        options.first.keep(arguments)
    # Summed by the engine, then over each bin's volume.
    per_volume = {name: hows for name, hows in (reductions or {}).items() if PER_VOLUME in several(hows)}
    if per_volume:
        reductions = {name: _summed(hows) if name in per_volume else hows for name, hows in reductions.items()}
    # Given, else as the input says (a GSD or H5MD file), else 3.
    dimension = options.dimension or frame.dimension or 3
    spanning = []
    wrapped = _clustered(frame, arguments, options.cluster, spanning) if options.cluster is not None else None
    # The picture shows every particle: those the bins leave out too, as the input has them.
    source_arguments, groups = dict(arguments), None
    if options.bins is not None and (options.group_by is not None or options.cluster is not None):
        if frame.generator_form:
            frame.fail("parents", "bins of clusters take an input of particles; this one gives parents and entries "
                                  "that pass through (the built-in data set, the npz generator layout): bin its "
                                  "entries, or cluster them, one at a time")
        groups, arguments, reductions = _groups_as_particles(frame, arguments, reductions, dimension, options)
        if spanning:
            # Each bin's clusters that span the box, summed as the bins' values are.
            arguments["values"][SPANNING] = np.isin(groups.group_id[:groups.u], spanning).astype(np.float64)
            reductions = {**reductions, SPANNING: "sum"}
    layout = arguments.get("box") if layout is None else layout
    # (Of groups binned as particles, their centres: none held.)
    volume = _binned(frame, arguments, options.bins, dimension, layout, _held(frame, arguments, options.bins)
                     if groups is None else None) if options.bins is not None else None
    if volume is not None and (SOLID in arguments["values"] if groups is not None
                               else _with_solid_volume(arguments, dimension)):
        reductions = {**(reductions or {}), SOLID: "sum"}
    # Particles in one plane with no velocity across it are a 2d simulation's, whose temperatures
    # and bin volumes count two dimensions: the user is told where none was given.
    flat = options.dimension is None and frame.dimension is None and (options.temperature or options.bins is not None) \
        and _flat(source_arguments)
    # The picture's sample is taken beside the reduction, whose native parts let go of the interpreter:
    # at ten million particles it took 0.25 s after it, before the step could be written.
    sampling = _sampling().submit(_source_sample, frame.positions, source_arguments) if keep_source else None
    result = upscale(**arguments, reductions=reductions, index=frame.index, shape=options.shape,
                     temperature=options.temperature, dimension=dimension, coordination=options.coordination,
                     contact_force=options.contact_force)
    if groups is not None:
        _through_groups(result, groups, arguments)
        if options.cluster is not None:
            # The largest cluster, as a run of clusters without bins gives it, not the bins' most clusters.
            result.largest = int(np.bincount(np.asarray(groups.element)[:groups.e]).max()) if groups.e else 0
    result.flat, result.renamed = flat, renamed
    result.spanning = _spanning_text(spanning, wrapped) if spanning else None
    result.spans = len(spanning) if options.cluster is not None else None
    if options.cluster is not None:
        # Which clusters have centres of their positions as given, not of a whole image; of bins, how many.
        result.physics["spans_box"] = np.isin(result.group_id, spanning).astype(np.int32) if groups is None else \
            result.values.pop(SPANNING).astype(np.int32) if spanning else np.zeros(len(result.group_id), np.int32)
        result.reductions.pop(SPANNING, None)
    if wrapped:
        # Made whole already; the centres stay those of a wrapped input for the steps after.
        result.wrapped = bool(result.box is not None and result.box.any_periodic)
    if options.first_bins is not None:
        result.physics.update(options.first_bins.coordinates(np.maximum(result.group_id, 1), arguments.get("box")))
    if volume is not None:
        from .binning import densities, volumes
        result.reductions.pop(SOLID, None)
        binned = {**densities(result, volume, result.values.pop(SOLID, None)),
                  **options.bins.coordinates(np.maximum(result.group_id, 1), layout)}
        result.bin_layout, result.bin_volume = layout, volume
        each = volumes(result.group_id, volume)
        over_volume = []
        for name, hows in per_volume.items():
            # The engine's sum gives the value's sum where asked too, each array in its place.
            summed = next(out for out, how in reduction_outputs(name, _summed(hows)).items() if how == "sum")
            values, written = result.values[summed], reduction_outputs(name, hows)
            over_volume += [values / (each if values.ndim == 1 else np.reshape(each, (-1, 1)))]
            arrays = {out: over_volume[-1] if how == PER_VOLUME else values for out, how in written.items()
                      if how in ("sum", PER_VOLUME)}
            result.values = _in_place(result.values, summed, arrays)
            result.reductions = _in_place(result.reductions, summed, {out: written[out] for out in arrays})
        stresses = [result.physics[name] for name in ("contact_stress", "kinetic_stress") if name in result.physics]
        if stresses:
            binned["bin_stress"] = sum(stresses) / np.reshape(each, (-1, 1))
        for values in [*binned.values(), *over_volume]:
            values[result.u:] = np.nan  # the trailing entries lie in no bin
        result.physics.update(binned)
    result.time = frame.time
    # The group column a step lacked, or the contacts: each of its particles is then upscaled on its own.
    result.ungrouped, result.notes = None, frame.notes
    if result.unknown_contacts:
        # Counted for nothing, as a selection's left-out particles are; but a dump local of other
        # atoms than the dump's would otherwise pass unseen.
        result.notes += ("has contacts naming atom ids that no particle of it has: they count for nothing (a dump "
                         "of some of the atoms beside a dump local of all?)",)
    if _apart_contacts(frame):
        result.notes += ("has contacts between particles farther apart than their radii reach: neighbour pairs, not "
                         "contacts? (compute pair/local and property/local list every pair within the pair cutoff "
                         "unless told 'cutoff radius'); they are counted as contacts",)
    no_contacts = arguments.get("contacts") is None or not len(arguments["contacts"])
    if frame.ids_by_row:
        # The contacts and the first step's groups name atoms by id; --msd and the time averages a lone
        # particle: a dump without ids numbers them by row, the processors' order unless sorted.
        lone = options.across_steps if len(result.group_id) and (np.asarray(result.group_id) <= 0).any() else ()
        following = [*(["the contacts"] if not no_contacts else []), *(["--ids-once"] if options.first else []), *lone]
        if following:
            result.notes += (f"has no 'id' column: its particles are known by their row (for {', '.join(following)}), "
                             "which is the same particle's at every step only in a dump sorted by id (dump_modify "
                             "sort id); dump the ids (dump custom ... id ...)",)
    # A step the dump local skipped is told apart from one without contacts: its zeros are no data.
    lacking, where = ("no contact frame", "none of the contact file's frames is at its timestep: the contacts "
                      "dumped less often than the atoms?") if frame.no_contact_frame else \
        ("no contacts", "none in its contact file" if options.contacts_given else "--contacts gives them")
    if options.types is not None and not len(frame.positions):
        result.ungrouped = f"has no particle of the types {' '.join(map(str, options.types))} (--types)"
    elif options.cluster is not None and options.cluster.cutoff is None and no_contacts:
        result.ungrouped = f"has {lacking}: each particle is a cluster of its own ({where})"
    elif (options.coordination is True or options.contact_force is not None) and no_contacts:
        zero = {(True, False): "coordination numbers are", (False, True): "contact stress is",
                (True, True): "coordination numbers and contact stress are"}[
            options.coordination is True, options.contact_force is not None]
        result.ungrouped = f"has {lacking}: its {zero} 0 ({where})"
    elif arguments.get("groups") is None and arguments.get("parents") is None:
        result.ungrouped = f"has no '{options.group_by or frame.default_group}' column: each particle is " \
                           "upscaled on its own (--group-by names the column of groups)"
    elif options.group_by is None and options.bins is None and options.cluster is None and result.e > 1 and \
            result.u == result.e and result.t == 0 and \
            frame.columns.get(frame.default_group, np.zeros(0, bool)).dtype.kind in "iu" and \
            not (frame.columns[frame.default_group] > 0).any():
        # A GSD file of no bonds and no bodies, an atomic run's mol column: all 0, every particle alone.
        result.ungrouped = f"has no groups: its '{frame.default_group}' column is 0 for every particle, each of " \
                           "which is upscaled on its own (--group-by names the column of groups)"
    return result, sampling.result() if sampling is not None else None


@functools.lru_cache(maxsize=None)
def _sampling():
    return concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="vireo20-sample")


def _source_sample(positions, arguments):
    masses = np.asarray(arguments["masses"], dtype=np.float64)
    enabled = arguments.get("enabled")
    entry = masses if enabled is None else masses[np.asarray(enabled)]
    trailing = arguments.get("trailing_masses")
    if trailing is not None:
        entry = np.concatenate([entry, trailing])
    return picture.source_sample(positions, entry, output.PICTURE_POINTS)


def _several_outputs(reductions):
    """The arrays NAME_HOW of the values given several reductions."""
    return [out for name, hows in (reductions or {}).items() for out in reduction_outputs(name, hows) if out != name]


def _taken_as(hows, taken):
    """A value's reductions as the engine takes them (`taken` maps those it takes as another): one, or
    the distinct several."""
    engine = several(taken.get(how, how) for how in several(hows))
    return engine[0] if len(engine) == 1 else engine


def _summed(hows):
    return _taken_as(hows, {PER_VOLUME: "sum"})


def _in_place(arrays, name, new):
    """`arrays` with `new` where `name` was: the files keep their arrays' order."""
    return {key: value for old, held in arrays.items() for key, value in (new.items() if old == name else [(old, held)])}


def _type_counts(frame, arguments, types, reductions):
    """Adds `count_type_T`, 1 for each particle of type T, else 0, summed unless asked otherwise (a
    mean is the fraction of the members of that type by number, an average by mass): the
    reductions. An input column of that name is kept apart before (`kept_apart`)."""
    if frame.generator_form:
        frame.fail("type", "--count-types counts particles by a type column; this input gives parents")
    try:
        # A step of no particles (a pour's first) may store no type column.
        column = type_column(frame.columns, types) if len(frame.positions) else np.zeros(0)
        counted = {f"count_type_{kind}": of_types(column, (kind,), "--count-types").astype(np.float64)
                   for kind in types}
    except ValueError as error:
        frame.fail("type", str(error))
    arguments["values"] = {**arguments["values"], **counted}
    return {**dict.fromkeys(counted, "sum"), **(reductions or {})}


def _flat(arguments):
    z = np.asarray(arguments["positions"])[:, 2]
    velocity = arguments.get("values", {}).get("velocity")
    across = np.asarray(velocity)[:, 2] if velocity is not None and np.ndim(velocity) == 2 and \
        np.shape(velocity)[1] == 3 else np.zeros(0)
    return len(z) > 1 and z.min() == z.max() and not across.any()


# The value that sums each bin's particle volumes: a name no input's column can have.
SOLID = "\0solid volume"
SPANNING = "\0spanning clusters"


def _with_solid_volume(arguments, dimension):
    """Adds each particle's volume (4/3 pi r^3; a disc's area pi r^2 in 2d) as a value to sum by bin,
    where the particles have a radius or diameter; answers whether it did."""
    from .columns import radii
    values = arguments.get("values") or {}
    r = radii(values)
    if r is None:
        return False
    arguments["values"] = {**values, SOLID: (4.0 / 3.0 * math.pi) * r * r * r if dimension == 3 else math.pi * r * r}
    return True


def _held(frame, arguments, bins):
    """Where the simulation held the frame's particles, which `bins` of shells or rings measure from:
    the positions of a frame without image flags, or those less the flags; else None."""
    if frame.generator_form or not bins.measures_distance:
        return None
    if arguments.get("wrapped"):
        return arguments["positions"]
    if frame.held_images is not None and arguments.get("box") is not None:
        return arguments["positions"] - arguments["box"].along_edges(frame.held_images)
    return None


def _binned(frame, arguments, bins, dimension, layout, held=None):
    """Groups the step's particles by bin (laid out in the box `layout`): its group labels become the
    bins', its positions those wrapped into the box. Returns the volume of a bin."""
    # Of parents' inputs, the enabled entries are the particles binned; the trailing ones pass through.
    e = len(arguments["enabled"]) if frame.generator_form else len(arguments["positions"])
    try:
        labels, positions, volume = bins.labels(arguments["positions"][:e], arguments.get("box"), dimension, layout,
                                                held)
    except ValueError as error:
        frame.fail("BOX BOUNDS", str(error))
    if frame.generator_form:
        enabled = np.asarray(arguments["enabled"])
        whole = np.concatenate([positions, arguments["positions"][e:]])
        if not labels.all():
            # Entries left out are no longer enabled: a contact with one ends no line.
            kept = np.flatnonzero(labels)
            rows = np.concatenate([kept, np.arange(e, len(whole))])
            enabled, labels, whole = enabled[kept], labels[kept], whole[rows]
            arguments["values"] = {name: np.asarray(values)[rows] for name, values in arguments["values"].items()}
        _entries_grouped(arguments, enabled, labels, whole)
        arguments["wrapped"] = False
        return volume
    arguments.update(groups=labels, positions=positions, wrapped=False)
    if not labels.all():
        _leave_out(arguments, np.flatnonzero(labels))
    return volume


# How a value is reduced over a group's members, where the bins then reduce the groups' values as
# asked: sums of sums, averages by mass of averages by mass, extremes of extremes, any member's; a
# spread or a median over the groups' means.
_WITHIN_GROUPS = {"std": "mean", "var": "mean", "median": "mean"}


def _groups_as_particles(frame, arguments, reductions, dimension, options):
    """Upscales the step's groups, whose centres the bins then gather as particles: (the groups'
    result, the arguments of the step of groups, its reductions). Each group keeps its parent's id.
    A reduction named after an array of the groups' own physics (`radius_of_gyration`) reduces the
    groups' values of it, as `group_radius_of_gyration`."""
    reductions = dict(reductions or {})
    for name, hows in reductions.items():
        if "nunique" in several(hows):
            frame.fail(name, "its distinct values are the members', which bins of groups do not see: count them "
                             "over the groups (without --bin) or over the bins' particles (without --group-by)")
    own = [name for name in reductions if name in RESERVED and name not in arguments["values"]]
    for name in own:
        if PER_VOLUME in several((options.reductions or {}).get(name, ())):
            frame.fail(name, f"the groups' {name} is reduced over a bin, not over its volume")
    within = {name: _taken_as(hows, _WITHIN_GROUPS) for name, hows in reductions.items() if name not in own}
    if _with_solid_volume(arguments, dimension):
        within[SOLID] = "sum"
    groups = upscale(**{**arguments, "contacts": None, "contact_kinds": None, "contact_values": None,
                        "physics": "all" if own else "none"}, reductions=within, index=frame.index,
                     dimension=dimension, shape=bool(own) and options.shape,
                     temperature=bool(own) and options.temperature)
    missing = [name for name in own if name not in groups.physics]
    if missing:
        named = ", ".join(name for name in [*groups.values, *groups.physics] if not name.startswith("\0"))
        frame.fail(missing[0], f"no value or group array to reduce (the groups have: {named}"
                               f"{'' if options.shape else '; --shape adds the shape arrays'})")
    u, first_id = groups.u, arguments.get("first_id", 0)
    values = {name: values[:u] for name, values in groups.values.items()}
    values.update((f"group_{name}", groups.physics[name][:u]) for name in own)
    bin_reductions = {(f"group_{name}" if name in own else name): hows for name, hows in reductions.items()}
    for name, hows in reductions.items():
        if name not in own and len(several(hows)) > 1:
            # Each of its arrays the bins' reduction of the groups' value it is reduced from.
            inner = reduction_outputs(name, within[name])
            source = {how: values[next(out for out, of in inner.items() if of == _WITHIN_GROUPS.get(how, how))]
                      for how in several(hows)}
            for out in inner:
                del values[out]
            del bin_reductions[name]
            for out, how in reduction_outputs(name, hows).items():
                values[out], bin_reductions[out] = source[how], how
    groups.ids = groups.parent_id[:u] + first_id
    step = dict(masses=groups.masses[:u], positions=groups.centres[:u], box=arguments.get("box"), wrapped=False,
                values=values, ids=groups.ids, first_id=first_id, physics=arguments["physics"],
                **{key: arguments[key] for key in ("units", "timestep", "source") if key in arguments})
    return groups, step, bin_reductions


def _through_groups(result, groups, arguments):
    """The result of the bins of the groups as that of the step's particles: the bin of each particle
    (of the groups the bins keep), their counts and the time of both."""
    # The groups the bins kept, as their parents' ids tell (one parent a group).
    order = np.argsort(groups.ids)
    entry = np.full(groups.u, -1, np.int64)
    entry[order[np.searchsorted(groups.ids, arguments["ids"], sorter=order)]] = np.arange(len(arguments["ids"]))
    of_particle = entry[np.asarray(groups.element)[:groups.e]]
    if len(arguments["ids"]) < groups.u:
        of_particle = of_particle[of_particle >= 0]
    result.element = np.asarray(result.element)[of_particle]
    result.n, result.e = groups.n, len(of_particle)
    result.drift = max(groups.drift, result.drift)
    result.seconds += groups.seconds


def _clustered(frame, arguments, clusters, spanning):
    """Groups the step's particles by its clusters, each made whole about its lowest-id member (the
    upscaled particle's parent) along the chains that join it, however far it reaches; the labels of
    those that span the box, left as given, go to `spanning`."""
    try:
        if frame.generator_form:
            # The enabled entries are the particles, their source indexes the ids (and the contacts'),
            # a cluster's label its lowest index + 1; the trailing entries pass through as they are.
            e = len(arguments["enabled"])
            entries = {"positions": arguments["positions"][:e], "box": arguments.get("box"), "first_id": 0,
                       "ids": arguments["enabled"], "contacts": arguments.get("contacts"),
                       "contact_kinds": arguments.get("contact_kinds")}
            labels, whole = clusters.find(entries, None, spanning)
            _entries_grouped(arguments, arguments["enabled"], labels,
                             np.concatenate([whole, arguments["positions"][e:]]))
        else:
            types = type_column(frame.columns, clusters.types) if clusters.types is not None else None
            arguments["groups"], arguments["positions"] = clusters.find(arguments, types, spanning)
    except ValueError as error:
        frame.fail("contacts" if clusters.cutoff is None else "positions", str(error))
    wrapped, arguments["wrapped"] = arguments.get("wrapped", False), False
    return wrapped


# A pour's first dumped step: the measures from the run's first step would have nothing to start from.
FIRST_STEP_EMPTY = "the run's first step holds no particles (start at the first that has some: --frames K:), and"


def _groups_of_first_step(series, options, done):
    """The loaders of the steps from `done`, `options` made to keep the groups of the series' first
    step (which is read once, and goes on as it is read where it is run)."""
    every = iter(series.loaders())
    first = next(every, None)
    if first is None:
        return iter(())
    frame = first.load()
    options.first = _first_groups(frame, options)
    options.first_bins, options.column_groups = options.bins, options.bins is None and options.cluster is None
    options.bins = options.cluster = None
    return (loader for loader in itertools.chain([HeldFrame(first.index, frame)], every) if loader.index >= done)


def _first_groups(frame, options):
    """The particle ids of the run's first step and the group each is in there (its bin, its cluster
    or its group column's label; one in no bin is left out), for ids once."""
    if frame.generator_form:
        frame.fail("parents", "--ids-once follows particles by their ids; this input gives parents and entries")
    if options.types is not None:
        frame = frame.of_types(*options.types)
    arguments = frame.arguments(options.group_by, options.mass_rule, options.physics)
    box = arguments.get("box")
    if (options.bins is not None or options.cluster is not None) and arguments.get("wrapped") and \
            box is not None and box.any_periodic:
        frame.fail("positions", "--ids-once follows the first step's bins or clusters as their particles spread, "
                                "which needs them unwrapped in a periodic box: dump xu yu zu, or image flags")
    from .reading import particle_ids
    count = len(arguments["positions"])
    if not count:
        frame.fail("positions", f"{FIRST_STEP_EMPTY} --ids-once keeps the groups particles have there")
    ids = particle_ids(arguments, count)[1]
    if options.cluster is not None:
        _clustered(frame, arguments, options.cluster, [])
        labels = arguments["groups"]
    elif options.bins is not None:
        try:
            labels = options.bins.labels(arguments["positions"], box, options.dimension or frame.dimension or 3,
                                         held=_held(frame, arguments, options.bins))[0]
        except ValueError as error:
            frame.fail("BOX BOUNDS", str(error))
        # A particle in no bin then is in none later.
        ids, labels = ids[labels > 0], labels[labels > 0]
    else:
        labels = arguments["groups"] if arguments.get("groups") is not None else np.zeros(count, np.int64)
    return _FirstGroups(np.asarray(ids, np.int64), np.asarray(labels, np.int64))


class _FirstGroups:
    """The particle ids of the run's first step and each one's group there."""

    def __init__(self, ids, labels):
        self.ids, self.labels = ids, labels

    def keep(self, arguments):
        """Each particle's group that of the run's first step; the particles that were not there, or
        were in no bin, are left out of the step, as LAMMPS's chunks of ids once hold them."""
        from .reading import particle_ids, rows_of
        count = len(arguments["positions"])
        ids = particle_ids(arguments, count)[1]
        # By a table of the ids where they lie close (a search among ten million took 13 s shuffled).
        rows = rows_of(self, self.ids, ids)
        known = rows >= 0
        arguments["groups"] = np.where(known, self.labels[np.maximum(rows, 0)] if len(self.ids) else 0, 0)
        if not known.all():
            _leave_out(arguments, np.flatnonzero(known))


def _spanning_text(labels, wrapped):
    """What a step whose clusters of these labels span the box is told (`wrapped`: its positions are)."""
    named = ", ".join(map(str, labels[:5])) + (f" and {len(labels) - 5} more" if len(labels) > 5 else "")
    if len(labels) == 1:
        found = f"the cluster of group_id {named} meets its own image across the periodic faces: it spans the " \
                "box, and no image of it is whole; its centre and the values about it are"
    else:
        found = f"the clusters of group_id {named} meet their own images across the periodic faces: they span " \
                "the box, and no image of them is whole; their centres and the values about them are"
    taken = " taken from the positions as the input gives them, wrapped into the box (image flags or unwrapped " \
        "positions give LAMMPS's chunk computes' centre)" if wrapped else \
        " taken from the positions as the input gives them, unwrapped, as LAMMPS's chunk computes take them"
    return found + taken + "; later steps' are not named (summary.csv's spanning counts them)"


def _entries_grouped(arguments, enabled, labels, positions):
    """An input that gives parents grouped instead by a label of each enabled entry (0: alone), with
    those entries and their positions (then the trailing entries')."""
    groups = np.zeros(len(arguments["masses"]), np.int64)
    groups[np.asarray(enabled)] = labels
    arguments.update(groups=groups, enabled=enabled, positions=positions)
    del arguments["parents"]


def _leave_out(arguments, rows):
    """The step with only the particles of `rows`: those the bins keep. Their ids stay theirs, and
    contacts stay where both particles (or the particle and its wall) are kept."""
    ids = arguments.get("ids")
    if ids is None:
        # Ids were the row numbers: kept so.
        ids, arguments["first_id"] = np.arange(len(arguments["masses"]), dtype=np.int64), 0
    for name in ("groups", "masses", "positions", "ids"):
        arguments[name] = (ids if name == "ids" else np.asarray(arguments[name]))[rows]
    arguments["values"] = {name: np.asarray(values)[rows] for name, values in arguments["values"].items()}
    contacts = arguments.get("contacts")
    if contacts is not None and len(contacts):
        arguments["contacts"], kinds, arguments["contact_values"] = kept_contacts(
            contacts, arguments.get("contact_kinds"), arguments.get("contact_values"), arguments["ids"])
        if kinds is not None:
            arguments["contact_kinds"] = kinds


class _Layouts:
    """The box each step's bins are laid out in, where one step's layout is kept for the next
    (`Binning.kept_layout`): that of the first step of every `every` (0: of the run). A step that lays
    out records its box in the manifest, whence a resumed run takes it."""

    def __init__(self, every, written):
        self.every = every
        self.known = {step["index"]: step["layout"] and Box.of_record(step["layout"]) for step in written
                      if "layout" in step}

    @classmethod
    def of_run(cls, averages, bins, written):
        every = bins.kept_layout(averages) if bins is not None else None
        return None if every is None else cls(every, written)

    def first(self, index):
        return index - index % self.every if self.every else 0

    def of(self, index):
        """The layout of step `index` (a Box, or the future of one on a Dask cluster); None where the step
        lays out its own."""
        first = self.first(index)
        # A manifest of a version that recorded no layout: the step's own.
        return None if first == index else self.known.get(first)

    def laid(self, index, layout):
        if self.first(index) == index:
            self.known = {index: layout}


def _layout_of(answer):
    """The layout of a step run on a worker, for the steps that keep it."""
    return None if isinstance(answer[0], InputError) else answer[0].bin_layout


def _remote_step(loader, options, keep_source, layout=None):
    """run_step on a worker: the user's input error comes back as a value, not a failed task that the
    worker would log at length; the result holds plain NumPy arrays."""
    system.keep_freed_blocks()
    try:
        result, source = run_step(loader, options, keep_source, layout)
    except InputError as error:
        return error, None
    for name in ("centres", "masses", "parent_id", "group_id", "element", "points", "image_of"):
        setattr(result, name, np.array(getattr(result, name)))
    result.values = {k: np.array(v) for k, v in result.values.items()}
    return result, source


def _check_timestep(frame):
    value = frame.timestep
    if isinstance(value, np.ndarray) and value.size == 1:
        value = value.item()
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (numbers.Real, np.number)) or \
            not math.isfinite(float(value)):
        frame.fail("timestep", f"{value!r} is not a finite number")
    frame.timestep = value.item() if isinstance(value, np.generic) else value


# A frame of fewer particles than this is read, reduced and written at once whatever its reader:
# its memory is small, and its reader's parse takes one core. Frames of 1,000 atoms take 3.6-3.9 ms
# each so, 4.4 ms one stage after the other; of 400,000, overlapping gains nothing.
SMALL_FRAME = 1 << 17


def _serial(loaders, options, picture_index, read_ahead, before_reduction, layouts=None):
    """(result, source) of each frame in order, each written (by the caller) while the next is read.

    Where `read_ahead(frame)`, the next frame is read while this one is reduced too: a reader that
    runs on one core (the built-in data set's maker, 1.5-2.4 s a step at ten million particles) then
    fills the cores the reduction leaves idle. Otherwise a frame is reduced once the one before is
    written (`before_reduction` waits for it), so that one frame and one step's arrays are alive,
    not two of each: at ten million atoms 1.4 GB less, whose fresh pages cost more than that
    overlap gains to a reader over every core (six frames: 21.3-21.5 s against 21.1-23.0 s)."""
    with concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="vireo20-read") as reader:
        loaders = iter(loaders)

        def load_next():
            following = next(loaders, None)
            # A loader keeps the frame it read: only its index is kept here.
            return reader.submit(lambda: (following.index, following.load())) if following is not None else None

        ahead = load_next()
        if ahead is not None:
            # The modules of the first step and its file load while its frame is read.
            load_modules()
            from . import write_vtk  # noqa: F401
        while ahead is not None:
            index, frame = ahead.result()
            overlapped = read_ahead(frame)
            if overlapped:
                ahead = load_next()
            else:
                ahead = None
                before_reduction()
            step = run_step(HeldFrame(index, frame), options, index == picture_index,
                            layouts.of(index) if layouts is not None else None)
            if layouts is not None:
                layouts.laid(index, step[0].bin_layout)
            del frame
            if not overlapped:
                # Taking the next loader lets the series drop this frame.
                ahead = load_next()
            yield step
            del step


@contextlib.contextmanager
def _main_for_workers():
    """Dask starts a machine's workers as new Pythons that first run the caller's main script again
    (from its file, or as the module `python3 -m` ran): a script without an `if __name__ ==
    "__main__":` guard would start the job again in each worker, and one read from standard input
    has no file, so every worker died as it started, to be started again for ever. The workers need
    nothing of that script (the steps are this module's; anything of the script's own that a step
    carries, Dask pickles whole), so they start without it."""
    main = sys.modules.get("__main__")
    hidden = {name: getattr(main, name) for name in ("__file__", "__spec__") if getattr(main, name, None) is not None}
    for name in hidden:
        setattr(main, name, None) if name == "__spec__" else delattr(main, name)
    try:
        yield
    finally:
        for name, value in hidden.items():
            setattr(main, name, value)


def _dask(loaders, options, picture_index, workers, scheduler, layouts=None):
    try:
        from distributed import Client, KilledWorker, LocalCluster
    except ImportError:
        raise RuntimeError("--workers and --scheduler need Dask distributed "
                           "(Debian package python3-distributed)") from None
    # Held while the generator runs: the cluster starts a worker again where one dies.
    with _main_for_workers():
        cluster = None
        if scheduler:
            try:
                client = Client(scheduler)
            except (OSError, TimeoutError) as error:
                raise RuntimeError(f"--scheduler {scheduler}: no Dask scheduler answers there ({error})") from None
        else:
            # Each worker gets its share of the cores for the engine's own threads.
            cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else (os.cpu_count() or 1)
            threads = os.environ.get("VIREO20_THREADS") or str(max(1, cores // workers))
            cluster = LocalCluster(n_workers=0, threads_per_worker=1, processes=True,
                                   dashboard_address=None, env={"VIREO20_THREADS": threads})
            client = Client(cluster)
            # Started after the cluster, not by it: a worker killed while it starts left the cluster's
            # own start waiting for ever. The steps go once one worker is there; none in two minutes
            # is an error.
            cluster.scale(workers)
            try:
                client.wait_for_workers(1, timeout=120)
            except TimeoutError:
                client.close()
                _close(cluster)
                raise RuntimeError("no Dask worker started within 120 s") from None
        pending = collections.deque()
        window = max(workers or len(client.scheduler_info().get("workers", ())), 1) + 1
        # Sent once to every worker, not with each step: with ids once they hold every first-step id.
        options = client.scatter(options, broadcast=True) if options.first is not None else options

        def delivered():
            loader, future = pending.popleft()
            try:
                return _delivered(future.result())
            except KilledWorker:
                # Dask runs a step again where its worker dies (a lost node); a step that kills every
                # worker it runs on (its memory) is this run's end, and not a fault of ours.
                raise RuntimeError(f"step {loader.index}: every Dask worker that ran it died (out of memory? the "
                                   "workers' logs say why)") from None

        try:
            for loader in loaders:
                # A step whose bins keep another's layout waits for that step's box.
                layout = layouts.of(loader.index) if layouts is not None else None
                future = client.submit(_remote_step, loader, options, loader.index == picture_index, layout,
                                       pure=False)
                if layouts is not None and layouts.first(loader.index) == loader.index:
                    layouts.laid(loader.index, client.submit(_layout_of, future, pure=False))
                pending.append((loader, future))
                while len(pending) > window:
                    yield delivered()
            while pending:
                yield delivered()
        finally:
            for _, future in pending:
                future.cancel()
            client.close()
            if cluster is not None:
                _close(cluster)


def _close(cluster):
    """Closes a local cluster. One whose worker was killed while it started may wait for it for ever
    (distributed's own wait has no end): after a minute its processes are stopped."""
    import multiprocessing
    try:
        cluster.close(timeout=60)
    except TimeoutError:
        for child in multiprocessing.active_children():
            child.kill()


def _delivered(answer):
    if isinstance(answer[0], InputError):
        raise answer[0]
    return answer


def run(input=None, out=None, *, format=None, contacts=None, group_by=None, masses=None, densities=None,
        physics="all", shape=False, reductions=None, frames=None, lammps_dump=None, wrapped_dump=False,
        overwrite=False, resume=False, workers=0, scheduler=None, picture_step=0, progress=None, echo=None,
        warn=None, msd=False, vacf=False, units=None, temperature=False, bins=None, dimension=None,
        time_average=None, cluster=None, cluster_types=None, coordination=False, contact_stress=None, table=False,
        types=None, count_types=None, ids_once=False, clusters=2000, steps=40, seed=20, **reader_options):
    """Upscales every frame of an input into a ParaView series in the folder `out`.

    `input` is a path (an npz folder, a LAMMPS dump, a VTK series, GSD, H5MD, ...; `format` names it
    when the file cannot tell; a LAMMPS dump written one file per step as a list of its files, their
    folder or a pattern), a `vireo20.Series`, an MDAnalysis Universe or AtomGroup (`vireo20.open`), a
    list of Frames or a generator of them (`vireo20.from_lammps`'s of a simulation it runs on), or None
    for the built-in data set (`clusters`,
    `steps`, `seed`). `group_by` names the column of group labels; `masses` is a list of
    "TYPE=VALUE" or a `MassRule`; `densities` a list of "TYPE=VALUE" or one "VALUE" for every type
    (masses of spheres from a radius column); `physics` "none", "basic" or "all", and `shape` adds
    each group's `gyration_shape`; `reductions` maps value names to "sum", "average", "mean", "any",
    "min", "max", "std", "var", "median", "nunique" or, with bins, "per_volume" (the bin's sum over its
    volume), or to a list of several, each written as NAME_HOW (`velocity_mean`); `frames` a
    slice or "START:STOP:STEP"; `lammps_dump` also writes the upscaled particles as a LAMMPS dump
    (`wrapped_dump`: x y z ix iy iz) and refuses an existing file unless `overwrite`; `resume`
    continues an interrupted run into the same `out`; `workers` or `scheduler` run the steps on Dask; `picture_step` the series position drawn
    (negative from the end, None for no picture); `msd` adds each upscaled particle's `displacement`
    and `msd` from the first step, and `vacf` its `vacf` (`vireo20.displacement`); `units` names the
    LAMMPS unit style where the input does not (energies then in its units) and `temperature` adds
    each group's temp/chunk temperatures (`vireo20.upscale`); `bins` ("AXIS:WIDTH[:ORIGIN]" texts, or a
    `Bins`, `SphereBins` or `CylinderBins`) groups the particles by place instead (`vireo20.binning`),
    or with `group_by` (or `cluster`) the groups by the places of their centres of mass;
    `cluster` (a cutoff distance, or "contacts") groups them by the step's clusters instead, each
    labelled by its lowest atom id, of the particles of `cluster_types` only where given
    (`vireo20.clustering`); `ids_once` keeps each particle in the group it had at the first step
    (its bin, cluster or group label then; LAMMPS's chunk/atom `ids once`), leaving out those not
    there or in no bin, and with bins gives each group its bin's centre; `types` (numbers or type
    labels) keeps only the particles of those types, as a dump of a LAMMPS group of them holds them; `count_types` adds `count_type_T` of each, the
    members of type T (a `reductions` "mean" of it: their fraction by number, "average": by mass, with
    bins "per_volume": that type's number density); `coordination` True adds each upscaled particle's
    contact counts, fabric tensor and its members' mean coordination number, a distance those of the
    neighbours within it (`vireo20.upscale`); `contact_stress` names the contact value of the force on
    each contact's first particle (or its three components) and adds each upscaled particle's
    `contact_stress`, with bins `bin_stress` too, that over the bin's volume (`vireo20.upscale`'s
    contact_force); `dimension` 2 counts the temperatures' degrees of freedom and the bins' volumes as
    LAMMPS does in a 2d simulation (default 3, with a warning where the particles lie in one z plane);
    `time_average` N (or "N ave running norm sample" ..., as fix ave/chunk's words) writes
    `profile.txt`, the groups' time averages over each N steps in turn (`vireo20.averaging`); `table`
    True also writes `upscaled.csv`, every step's upscaled particles a row each (`RunResult.to_pandas()`'s
    table; `vireo20.write_table`); `progress` True, False, None (a bar on a terminal) or a tqdm-like
    class; `echo(line)` receives each step's summary line; `warn(text)` the warnings.

    The series replaces `out` as a whole only when every step is written and the input was read to
    its end; on failure `out` is unchanged and, where a step was finished, the exception's `partial`
    attribute names the folder that `resume=True` continues from. Returns a `RunResult`.

    >>> result = vireo20.run("dump.lammpstrj.gz", "up", reductions={"charge": "sum"})
    >>> result.summary.plot("timestep", "drift")
    """
    if out is None:
        raise ValueError("run needs an output folder (out=)")
    workers = _count("--workers", workers)
    if physics not in PHYSICS:
        raise ValueError(f"--physics must be one of {', '.join(PHYSICS)}, not {physics!r}")
    if units is not None and units not in UNIT_STYLES:
        raise ValueError(f"--units must be a LAMMPS unit style ({', '.join(UNIT_STYLES)}), not {units!r}")
    if temperature and physics != "all":
        raise ValueError('--temperature needs --physics all')
    if shape and physics == "none":
        raise ValueError('--shape needs --physics basic or all')
    if dimension not in (None, 2, 3):
        raise ValueError(f"--dimension takes 2 or 3, not {dimension!r}")
    if bins is not None:
        from .binning import Bins, Binning
        bins = bins if isinstance(bins, Binning) else Bins.parse(bins)
        of_groups = "--group-by" if group_by is not None else "--cluster" if cluster is not None else None
        if of_groups and coordination not in (None, False):
            raise ValueError(f"--coordination goes with bins of particles, not of groups ({of_groups})")
        if of_groups and contact_stress is not None:
            raise ValueError(f"--contact-stress goes with bins of particles, not of groups ({of_groups})")
    if coordination is not True and coordination not in (None, False):
        given = coordination
        try:
            coordination = float(coordination)
        except (TypeError, ValueError):
            coordination = math.nan
        if not (math.isfinite(coordination) and coordination > 0):
            raise ValueError(f"--coordination takes a cutoff distance above 0, or nothing for the contacts, not "
                             f"{given!r} (an input named after it is taken for its cutoff: name it first)")
    if contact_stress is not None:
        contact_stress = [contact_stress] if isinstance(contact_stress, str) else list(contact_stress)
        if len(contact_stress) not in (1, 3) or not all(isinstance(name, str) for name in contact_stress):
            raise ValueError("--contact-stress names the contacts' force: one value of 3 components, or its 3 values")
        contact_stress = contact_stress[0] if len(contact_stress) == 1 else tuple(contact_stress)
    if cluster_types is not None and cluster is None:
        raise ValueError("--cluster-types goes with --cluster")
    if ids_once and bins is not None and (group_by is not None or cluster is not None):
        raise ValueError("--ids-once keeps the groups of the first step: bins of particles, clusters or a group "
                         "column, not bins of groups")
    if types is not None:
        types = type_list([types] if isinstance(types, (str, numbers.Integral)) else types, "--types")
    if count_types is not None:
        count_types = type_list([count_types] if isinstance(count_types, (str, numbers.Integral)) else count_types,
                                "--count-types")
    if cluster is not None:
        from .clustering import Clusters
        cluster = cluster if isinstance(cluster, Clusters) else Clusters(cluster, cluster_types)
        if group_by is not None:
            raise ValueError("give one of --group-by and --cluster")
    averages = None
    if time_average is not None:
        from .averaging import TimeAverage
        # Bins kept from the first step hold no place later: their profile is by chunk, as of groups.
        averages = TimeAverage.parse([time_average] if isinstance(time_average, numbers.Integral) else time_average,
                                     None if ids_once else bins)
    reductions = dict(reductions or {})
    for name, hows in reductions.items():
        if PER_VOLUME in checked_reductions(name, hows, JOB_REDUCTIONS) and (bins is None or ids_once):
            raise ValueError(f"{name!r} per volume needs bins (--bin, --bin-sphere or --bin-cylinder): the volume "
                             "is a bin's" + (", which --ids-once's bins leave as their particles spread"
                                             if ids_once else ""))
    # One name, or the distinct several: a run that named them so resumes one that named them otherwise.
    reductions = {name: _taken_as(hows, {}) for name, hows in reductions.items()}
    if vacf and "average" not in several(reductions.get("velocity", "average")):
        raise ValueError("--vacf needs the velocity averaged by mass, its default reduction (or among its several)")
    if isinstance(masses, MassRule) and densities:
        raise ValueError("give densities in the MassRule")
    mass_rule = masses if isinstance(masses, MassRule) else MassRule.parse(masses, densities)
    frames = parse_frames(frames)
    if picture_step is not None:
        picture_step = _count("--picture-step", picture_step, low=-2 ** 62)
    if warn is None:
        warn = lambda text: warnings.warn(text, RuntimeWarning, stacklevel=3)
    echo = echo or (lambda line: None)

    held = inputs.held_series(input)
    input = held if held is not None else input
    if isinstance(input, Series):
        series, input_paths = input, []
    else:
        if input is None:
            _count("--clusters", clusters, 1)
            _count("--steps", steps, 1)
            _count("--seed", seed, 0)
        input_paths = []
        for given in (input, contacts, reader_options.get("topology")):
            if given is not None:
                given = inputs.expand(given)
                input_paths += given if isinstance(given, list) else [given]
        for path in input_paths:
            if not os.path.exists(path):
                raise InputError(path, "-", "-", "no such file or folder")
        options = dict(reader_options)
        if contacts is not None:
            options["contacts"] = contacts
        if input is None:
            options.update(clusters=clusters, steps=steps, seed=seed)
        series = inputs.open_series(input, format, **options)
        # The files a series names (a .pvd's) are inputs too, wherever they lie.
        input_paths += series.files() if hasattr(series, "files") else []
    if frames is not None:
        series = series[frames]
    for note in getattr(series, "notes", tuple)():
        warn(note)
    picture_index = None
    if picture_step is not None:
        picture_index = picture_step
        # The first step needs no count, which for a dump is a pass over the whole file before the
        # first frame is read (a gzip one inflated from end to end).
        if picture_step != 0:
            count = len(series)
            if count and not -count <= picture_step < count:   # (no steps at all are told as such)
                raise ValueError(f"--picture-step {picture_step} is outside the series of {count} steps "
                                 f"(0..{count - 1}, or -{count}..-1 from the end)")
            picture_index = picture_step % count if count else None

    place = filesafe.Place(out)
    dump = os.path.abspath(os.fspath(lammps_dump)) if lammps_dump else None
    _check_places(place, input_paths, dump, overwrite, input if isinstance(input, (str, os.PathLike)) else None)
    if dump and filesafe.inside(dump, place.final):
        dump_inside = os.path.relpath(os.path.realpath(dump), os.path.realpath(place.final))
    else:
        dump_inside = None
    dump_partial = dump_inside or (dump and (".vireo20-dump.gz" if dump.endswith(".gz") else ".vireo20-dump"))
    fingerprint = {"input": _identity(input) if not isinstance(input, Series) else repr(type(input)),
                   "contacts": _identity(contacts), "format": format, "group_by": group_by,
                   "masses": sorted(mass_rule.per_type.items(), key=lambda kv: (isinstance(kv[0], str), kv[0])),
                   "physics": physics,
                   **({"densities": repr(mass_rule.density)} if mass_rule.density is not None else {}),
                   "reductions": sorted(reductions.items()), "frames": repr(frames), "dump": dump_partial,
                   "wrapped_dump": bool(wrapped_dump), "picture": picture_index,
                   "synthetic": [clusters, steps, seed] if input is None else None,
                   "reader": repr(sorted((k, str(v)) for k, v in reader_options.items())),
                   **({"msd": True} if msd else {}), **({"vacf": True} if vacf else {}),
                   **({"shape": True} if shape else {}),
                   **({"units": units} if units else {}), **({"temperature": True} if temperature else {}),
                   **({"bins": repr(bins)} if bins is not None else {}),
                   **({"cluster": repr(cluster)} if cluster is not None else {}),
                   **({"coordination": coordination} if coordination else {}),
                   **({"contact_stress": repr(contact_stress)} if contact_stress is not None else {}),
                   **({"dimension": dimension} if dimension == 2 else {}),
                   **({"types": repr(types)} if types is not None else {}),
                   **({"count_types": repr(count_types)} if count_types is not None else {}),
                   **({"ids_once": True} if ids_once else {}),
                   **({"time_average": repr(averages)} if averages is not None else {}),
                   # A data file (or another topology) is an input as the trajectory is.
                   **({"topology": _identity(reader_options["topology"])} if reader_options.get("topology") else {})}

    place.lock()
    writer = staged = displacements = None
    try:
        folder = place.start(resume)
        writer = SeriesWriterWithProgress(folder, fingerprint, dump_partial, wrapped_dump, echo, resume,
                                          progress, series)
        options = _Options(group_by, mass_rule, physics, reductions, shape, units, temperature, bins, dimension,
                           cluster, coordination, contact_stress, types, count_types)
        options.contacts_given = contacts is not None
        options.across_steps = tuple(name for name, on in (("--msd", msd), ("--vacf", vacf), (
            "--time-average", averages is not None and bins is None)) if on)
        system.keep_freed_blocks()
        done = writer.done
        displacements = None
        if msd or vacf:
            from .displacement import Displacements
            # Resumed, from the first step as it was written.
            displacements = Displacements.from_step_file(os.path.join(folder, writer.steps[0]["file"]),
                                                         int(writer.steps[0]["summary"][3]), msd, vacf) \
                if done else Displacements(msd=msd, vacf=vacf)
        written_before = ()
        if averages is not None:
            writer.cut_back((PROFILE, WINDOWS))
            # The open window's steps a resumed run had written are added again before its next step.
            written_before = writer.steps[done - averages.resume(folder, done):done]
        layouts = _Layouts.of_run(averages, None if ids_once else bins, writer.steps)
        if not (workers or scheduler):
            series.read_in_order()
        loaders = _groups_of_first_step(series, options, done) if ids_once else \
            (loader for loader in series.loaders() if loader.index >= done)
        # Step k is written while step k + 1 is read (and, but for a reader over every core, reduced),
        # and checked on the disk after: the disk's flush overlaps the work. Each stage keeps step
        # order. A reader over every core reduces alone: step k's check then waits for step k + 1's
        # reduction, whose idle moments it fills, rather than slowing the read.
        alone = not (workers or scheduler) and series.loads_on_every_core

        def overlapped(count):
            return not alone or count < SMALL_FRAME
        written, unchecked, checks = None, None, collections.deque()
        told_flat = told_renamed = told_spanning = False
        repeated = []   # the sources of steps whose timestep repeats the one before them
        ungrouped = {}  # what steps lack (no contacts, no group column ...): the timesteps that do
        named = None  # the value arrays of the last step with particles

        def start_check():
            nonlocal unchecked
            if unchecked is not None:
                checks.append(checking.submit(lambda step=unchecked: writer.record(step.result())))
                unchecked = None

        def before_reduction():
            if written is not None:
                written.result()
            start_check()

        if workers or scheduler:
            results = _dask(loaders, options, picture_index, workers, scheduler, layouts)
        else:
            results = _serial(loaders, options, picture_index, lambda frame: overlapped(len(frame.positions)),
                              before_reduction, layouts)
        previous = writer.series[-1][0] if writer.series else None
        with concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="vireo20-write") as writing, \
                concurrent.futures.ThreadPoolExecutor(max_workers=1, thread_name_prefix="vireo20-check") as checking:
            for result, source in results:
                timestep = result.timestep
                if displacements is not None:
                    try:
                        displacements.add(result)
                    except InputError:
                        raise
                    except ValueError as error:
                        refusal = InputError(result.source, timestep, "positions", str(error))
                        refusal.resumable = False   # nor would it be after this
                        raise refusal from None
                if layouts is not None and layouts.first(result.index) == result.index:
                    result.layout_record = result.bin_layout and result.bin_layout.record()
                if averages is not None:
                    result.appended = _averaged(averages, result, folder, written_before)
                    written_before = ()
                if previous is not None and timestep < previous:
                    raise InputError(result.source, timestep, "timestep",
                                     f"the series goes back in time (after timestep {previous}): a dump "
                                     "appended to by a second run, or written across reset_timestep? "
                                     "--frames START:STOP takes one run's frames")
                if previous is not None and timestep == previous:
                    # Told once, then counted: a writer that stores no steps (MDAnalysis's XTC) repeats
                    # one at every frame.
                    if not repeated:
                        warn(f"{result.source}: timestep {timestep} appears twice in a row")
                    repeated.append(result.source)
                present = _value_names(result) if result.e + result.t else named
                if named is not None and present != named:
                    # A dump whose columns change mid-run (a run restarted with another dump command).
                    lost, gained = sorted(named - present), sorted(present - named)
                    warn(f"{result.source}: timestep {timestep}: the input's columns changed: " + "; ".join(
                        ([f"no {', '.join(lost)}, which the steps before have"] if lost else []) +
                        ([f"{', '.join(gained)}, which the steps before lack"] if gained else [])))
                named = present
                for note in getattr(result, "notes", ()):
                    if note not in ungrouped:
                        warn(f"{result.source}: timestep {timestep} {note}")
                        ungrouped[note] = [timestep]
                if getattr(result, "ungrouped", None):
                    if result.ungrouped not in ungrouped:
                        warn(f"{result.source}: timestep {timestep} {result.ungrouped}")
                    ungrouped.setdefault(result.ungrouped, []).append(timestep)
                    series_source = result.source
                if getattr(result, "renamed", None) and not told_renamed:
                    told_renamed = True
                    warn(f"{result.source}: " + ", ".join(f"column '{old}' is written as '{new}'"
                                                          for old, new in result.renamed) +
                         (": the job writes an array of its own by that name" if len(result.renamed) == 1 else
                          ": the job writes arrays of its own by those names"))
                if getattr(result, "spanning", None) and not told_spanning:
                    told_spanning = True
                    warn(f"{result.source}: timestep {timestep}: {result.spanning}")
                if getattr(result, "flat", False) and not told_flat:
                    told_flat = True
                    warn(f"{result.source}: timestep {timestep}: the particles lie in one z plane and do not "
                         "move across it: if the simulation is 2d, give --dimension 2 (temperatures and bin "
                         "densities count the dimensions)")
                previous = timestep
                if written is not None:
                    written.result()
                start_check()
                while checks and (checks[0].done() or len(checks) > 1):
                    checks.popleft().result()
                written = unchecked = writing.submit(writer.write, result, source)
                if overlapped(result.e + result.t):
                    start_check()
                # The writer holds the step now: held here too, its arrays would live through the
                # next step's reduction, whose own arrays would then need fresh pages.
                del result, source
            start_check()
            while checks:
                checks.popleft().result()
        series.finish()
        if not writer.series:
            bounds = () if frames is None else (frames.start, frames.stop, *([frames.step] if frames.step else []))
            chosen = f" that --frames {':'.join('' if n is None else str(n) for n in bounds)} selects" if bounds else ""
            raise InputError(getattr(series, "source", input) or "-", "-", "-", f"the input holds no steps{chosen}")
        if len(repeated) > 1:
            more = len(repeated) - 1
            warn(f"{repeated[-1]}: {more} more step{'s' if more > 1 else ''} repeat{'' if more > 1 else 's'} the "
                 f"timestep before {'them' if more > 1 else 'it'}")
        for lack, timesteps in ungrouped.items():
            # Told at its first step alone, a step without contacts among many (a dump local written
            # less often than the atoms) would pass unseen, its zeros read as data.
            more = len(timesteps) - 1
            if more and lack.startswith("has no contact"):
                shown = ", ".join(map(str, timesteps[1:6])) + (", ..." if more > 5 else "")
                what = lack.split(":")[0].removeprefix("has ")
                warn(f"{series_source}: {more} more step{'s' if more > 1 else ''} {'have' if more > 1 else 'has'} "
                     f"{what} (timestep{'s' if more > 1 else ''} {shown})")
        if averages is not None:
            if averages.open_steps:
                warn(f"{PROFILE} leaves out the last {averages.open_steps} of the {writer.done} steps: they make no "
                     f"whole window of {averages.every}")
            if not averages.closed:
                # No window closed: the profile is its header.
                filesafe.write_bytes(os.path.join(folder, PROFILE), averages.header().encode())
            if os.path.exists(os.path.join(folder, WINDOWS)):
                os.remove(os.path.join(folder, WINDOWS))
        if table:
            write_table(folder, writer.series, writer.times)
        else:
            for name in (TABLE, f"{TABLE}.part"):
                if os.path.exists(os.path.join(folder, name)):
                    os.remove(os.path.join(folder, name))   # a killed run's, which this one resumed
        writer.finish()
        # The series's own files, which a later run may replace: not the manifest, which goes once the
        # series is in place, nor a dump that goes elsewhere.
        unlisted = {SERIES_MARKER, output.MANIFEST, *([dump_partial] if dump and not dump_inside else [])}
        names = sorted(name for name in os.listdir(folder) if name not in unlisted)
        filesafe.write_bytes(os.path.join(folder, SERIES_MARKER), "\n".join(names).encode())
        if dump and not dump_inside:
            staged = _stage_dump(os.path.join(folder, dump_partial), dump)
        place.sync()
        place.commit()
        if place.left_behind:
            warn(f"the series this run replaced in {place.final} could not be removed (a folder of it is not yours to "
                 f"write?): it is left in {place.left_behind}, which the next run into {place.final} removes or refuses")
        # The dump replaces the user's only beside the series that goes with it.
        if staged is not None:
            os.replace(staged, dump)
            staged = None
        for name in unlisted - {SERIES_MARKER}:
            with contextlib.suppress(FileNotFoundError):
                os.remove(os.path.join(place.final, name))
    except BaseException as error:
        if isinstance(error, ValueError) and not isinstance(error, InputError):
            error.during_run = True   # the options were checked before: a fault of the job's own
        if writer is not None:
            writer.close()
            if not writer.series:
                # Offered for a resume, it would make the user think something was kept.
                place.discard()
        if staged is not None:
            with contextlib.suppress(OSError):
                os.remove(staged)
        if place.committed:
            error.committed = place.final
        elif os.path.isdir(place.partial) and getattr(error, "resumable", True):
            if displacements is not None and displacements.seen is not None:
                # A --msd run over wrapped positions keeps no face crossings to resume with.
                from .displacement import NO_RESUME
                error.partial_unresumable = NO_RESUME.split(";")[0]
            else:
                error.partial = place.partial
        raise
    finally:
        if writer is not None:
            writer.close_progress()
        place.unlock()
        system.give_back_freed_blocks()
    return RunResult(place.final, writer.series, writer.rows, writer.picture, dump, writer.largest_drift,
                     PROFILE if averages is not None else None, writer.times, TABLE if table else None)


def _value_names(result):
    return {name for name in result.values if not name.startswith("\0")}


def _group_arrays(arrays, u, element):
    """A step's per-group arrays, its upscaled particles' rows only, with each group's count."""
    arrays = {name: np.asarray(values)[:u] for name, values in arrays.items()}
    if "count" not in arrays:  # physics "none"
        arrays["count"] = np.bincount(element, minlength=u)[:u]
    return arrays


def _averaged(averages, result, folder, written_before):
    """Adds a step to the time averages, after the steps of its window a resumed run had written (their
    manifest entries); what the profile's files grow by where the step closes a window."""
    from .write_vtk import read_step_file
    timestep = result.timestep
    try:
        for entry in written_before:
            timestep = entry["timestep"]
            _, arrays, element = read_step_file(os.path.join(folder, entry["file"]))
            averages.add(_group_arrays(arrays, int(entry["summary"][2]), element), result.reductions, timestep)
        timestep = result.timestep
        grown = averages.add(_group_arrays(result.arrays, result.u, result.element), result.reductions,
                             timestep, getattr(result, "bin_layout", result.box), getattr(result, "bin_volume", None),
                             result.units)
    except MissingArray as error:
        raise InputError(result.source, timestep, *error.args) from None
    return grown or {}


def _stage_dump(partial, final):
    """The finished dump beside its place, under a name of its own (linked, or copied across file
    systems), the partial folder's copy kept for a resume until the series is in place."""
    temporary = f"{final}.vireo20-part"
    with contextlib.suppress(FileNotFoundError):
        os.remove(temporary)
    try:
        os.link(partial, temporary)
    except OSError:
        try:
            shutil.copyfile(partial, temporary)
            filesafe.checked_file(temporary)
        except OSError as error:
            # Nothing of it left on the other disk (full, say), and the file it could not write named.
            with contextlib.suppress(OSError):
                os.remove(temporary)
            raise OSError(error.errno, error.strerror, temporary) from None
    return temporary


class SeriesWriterWithProgress(output.SeriesWriter):
    """The series writer with a progress bar, when one is asked for."""

    def __init__(self, folder, fingerprint, dump, wrapped_dump, echo, resume, progress, series):
        self.bar = None
        if progress is None:
            progress = sys.stderr.isatty()
        if progress:
            make = progress if callable(progress) else __import__("tqdm").tqdm
            total = len(series) if getattr(series, "cheap_length", True) else None
            self.bar = make(total=total, unit="step")
            if hasattr(self.bar, "write"):
                echo = self.bar.write
        super().__init__(folder, fingerprint, dump, wrapped_dump, echo, resume)
        if self.bar is not None and self.done:
            self.bar.update(self.done)

    def record(self, written):
        super().record(written)
        if self.bar is not None:
            self.bar.update(1)

    def close_progress(self):
        if self.bar is not None:
            self.bar.close()
            self.bar = None
