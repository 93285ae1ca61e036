"""What the readers of other programs' formats (VTK, GSD, H5MD, MDAnalysis) share: one loader per
frame in a series of known length, columns in the job's dtypes, open files kept per process.
"""
import atexit
import io
import os
import re

import numpy as np

from .frames import Frame, InputError, Series


def natural_key(name):
    """Sorts step_2 before step_10."""
    return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", name)]


def missing_library(path, reader, package, error):
    return InputError(path, "-", "-", f"the {reader} reader needs {error.name or error}, which is not "
                                      f"installed: apt-get install {package}")


def column(values):
    """A per-particle array as the job takes it: integers as int64, floating-point as float64, one row
    per particle ((E,) or (E, k)); None for what is neither (strings, records)."""
    values = np.asarray(values)
    if values.dtype.kind in "biu":
        values = values.astype(np.int64, copy=False)
    elif values.dtype.kind == "f":
        values = values.astype(np.float64, copy=False)
    else:
        return None
    if values.ndim > 2:
        values = values.reshape(len(values), -1)
    return values


def file_number(path):
    """The number that ends a file's name before its extension (`dump_2000.vtu`: 2000), or None."""
    numbers = re.findall(r"\d+", os.path.splitext(os.path.basename(path))[0])
    return int(numbers[-1]) if numbers else None


def numbered_files(paths):
    """(file, timestep) in natural name order, the timestep the number ending each name (where every
    name has its own, else the file's position)."""
    paths = sorted(paths, key=natural_key)
    numbers = [file_number(p) for p in paths]
    if None in numbers or len(set(numbers)) != len(numbers):
        numbers = list(range(len(paths)))
    return list(zip(paths, numbers))


def series_in_folder(path, names, stem, what, other=""):
    """The paths of the one series among a folder's file `names` (named alike but for their numbers),
    or of those `stem` names; `what` the files, for the error of none; `other` another way to name
    one, for the error of several."""
    stems = sorted({re.sub(r"\d+", "#", n) for n in names})
    if stem is not None:
        names = [n for n in names if re.sub(r"\d+", "#", n) == stem or n.startswith(stem)]
    elif len(stems) > 1:
        raise InputError(path, "-", "-", f"the folder holds several series ({', '.join(stems)}): "
                                         f"name one with --stem (the option stem){other}")
    if not names:
        raise InputError(path, "-", "-", f"the folder holds no {what}{' named ' + stem if stem else ''}")
    return [os.path.join(path, n) for n in names]


def files_ending(folder, extensions):
    """The names of a folder's files that end with one of `extensions`, hidden ones left out."""
    return [name for name in os.listdir(folder) if name.endswith(extensions) and not name.startswith(".")]


def step_files(path, extensions, what, stem=None):
    """(file, timestep) of a series of a file per step given as its files, their folder (its files
    ending with one of `extensions`, `stem` naming one series of several) or one file, as
    numbered_files gives them; `what` the files, for the error of none."""
    if isinstance(path, (list, tuple)):
        return numbered_files(map(os.fspath, path))
    if os.path.isdir(path):
        return numbered_files(series_in_folder(path, files_ending(path, extensions), stem,
                                               f"{what} ({', '.join(extensions)})"))
    return [(os.fspath(path), file_number(path))]


def particles_frame(source, index, timestep, positions, columns, box=None, wrapped=False,
                    default_group="mol"):
    """A frame in the particles form, its columns checked against the particle count, the ids unique."""
    positions = np.asarray(positions, dtype=np.float64)
    if positions.ndim != 2 or positions.shape[1] != 3:
        raise InputError(source, timestep, "positions", f"expected (particles, 3), got shape {positions.shape}")
    count = len(positions)
    frame_columns = {}
    for name, values in columns.items():
        if values is None:
            continue
        if values.ndim == 0 or len(values) != count:
            raise InputError(source, timestep, name, f"has {0 if values.ndim == 0 else len(values)} rows "
                                                     f"where the step has {count} particles")
        frame_columns[name] = values
    ids = frame_columns.setdefault("id", np.arange(1, count + 1, dtype=np.int64))
    if ids.ndim != 1:
        raise InputError(source, timestep, "id", f"expected one id per particle, got shape {ids.shape}")
    # Most inputs give their ids in order (or have none): a glance instead of a sort of each frame's.
    if len(ids) > 1 and not (ids[1:] > ids[:-1]).all():
        ordered = np.sort(ids)
        repeated = ordered[1:][ordered[1:] == ordered[:-1]]
        if len(repeated):
            raise InputError(source, timestep, "id", f"id {repeated[0]} is given to more than one particle")
    # Formats number from 1 (LAMMPS, the index + 1 of formats without ids) or from 0 (Yade, some
    # H5MD writers): parent ids count from whichever the step's ids show.
    first_id = min(1, int(ids.min())) if len(ids) else 1
    return Frame(source=source, index=index, timestep=timestep, positions=positions, columns=frame_columns,
                 box=box, wrapped=bool(wrapped and box is not None and box.any_periodic),
                 default_group=default_group, first_id=first_id)



# Other programs' names of the job's columns (VTK's point arrays, CSV headers).
COMMON_NAMES = {
    "id": ("id", "ID", "Id", "ids"),
    # Yade's VTKRecorder writes linVelVec, angVelVec, forceVec and torqueVec.
    "velocity": ("v", "vel", "velocity", "Velocity", "linVelVec", "linVelocityVec"),
    "force": ("f", "force", "Force", "forceVec"),
    "omega": ("omega", "AngularVelocity", "angVelVec", "angVelocityVec", "angular_velocity", "Angular_Velocity"),
    "tq": ("tq", "Torque", "torque", "torqueVec"),
    "radius": ("radius", "Radius", "radii"),
    "diameter": ("diameter", "Diameter"),
    "mass": ("mass", "Mass"),
    "density": ("density", "Density"),
    "type": ("type", "Type", "speciesType"),
}
GROUP_COLUMNS = ("mol", "id_multisphere", "body", "clump", "clumpId", "cluster")
TRIPLETS = {"v": "velocity", "f": "force", "omega": "omega", "tq": "tq", "angmom": "angmom", "mu": "mu"}


_RANGE = re.compile(r"(.+)\[(\d+)-(\d+)\]$")


def triplet_of(name):
    """The vector `join_triplets` reads the scalar column `name` into (`vx` -> `velocity`, `c_X[2]` ->
    `c_X`), or None."""
    stem, axis = name[:-1], name[-1:]
    if axis in ("x", "y", "z") and stem in TRIPLETS:
        return TRIPLETS[stem]
    found = re.match(r"(.+)\[[123]\]$", name)
    return found.group(1) if found else None


def join_triplets(columns):
    """LAMMPS's scalar triplets as one vector each: `vx vy vz` as `velocity`, `c_X[1] c_X[2] c_X[3]`
    as `c_X`, ...; LAMMPS's dump vtk's vectors of a compute's columns, `c_X[1-3]` (and `c_X[4-6]`
    after it) as `c_X`, and its image flags, the integer vector `i`, as `ix iy iz`."""
    scalar = lambda name: name in columns and columns[name].ndim == 1
    triplets = [(name, [stem + axis for axis in "xyz"]) for stem, name in TRIPLETS.items()]
    triplets += [(key[:-3], [key[:-3] + f"[{k}]" for k in "123"]) for key in columns
                 if key.endswith("[1]") and not scalar(key[:-3] + "[4]")]
    for name, parts in triplets:
        if name not in columns and all(scalar(part) for part in parts) and columns[parts[0]].dtype.kind == "f":
            columns[name] = np.stack([columns.pop(part) for part in parts], axis=1)
    for key in [key for key in columns if key.endswith("[1-3]")]:
        stem, parts, first = key[:-5], [], 1
        while True:
            part = next((name for name in columns if (found := _RANGE.match(name)) and found.group(1) == stem
                         and int(found.group(2)) == first and np.ndim(columns[name]) == 2
                         and columns[name].shape[1] == int(found.group(3)) - first + 1), None)
            if part is None:
                break
            parts.append(part)
            first += columns[part].shape[1]
        if parts and stem not in columns and first <= 10:
            columns[stem] = np.concatenate([columns.pop(part) for part in parts], axis=1)
    flags = columns.get("i")
    if flags is not None and np.ndim(flags) == 2 and flags.shape[1] == 3 and flags.dtype.kind == "i" and \
            not any(axis in columns for axis in ("ix", "iy", "iz")):
        columns.update(zip(("ix", "iy", "iz"), np.asarray(columns.pop("i")).T))


def named_frame(path, index, timestep, positions, columns, box=None, group_by=None):
    """A frame of another program's per-particle arrays: triplets joined, common names taken as the
    job's; positions the columns `xu yu zu` where it has them (LAMMPS's dump vtk or cfg of them:
    unwrapped), else unwrapped with `ix iy iz` in `box` where it has them, else taken as wrapped in
    it; the groups the first of GROUP_COLUMNS present (`group_by` names another)."""
    join_triplets(columns)
    for common, names in COMMON_NAMES.items():
        if common not in columns:
            found = next((n for n in names if n in columns), None)
            if found is not None:
                columns[common] = columns.pop(found)
    # Types written as reals (MercuryDPM's speciesType is Float32) are whole numbers: integers, which
    # --mass and --density name and which are taken over, not averaged.
    kinds = columns.get("type")
    if kinds is not None and kinds.dtype.kind == "f" and kinds.ndim == 1 and np.isfinite(kinds).all() \
            and (kinds == np.round(kinds)).all():
        columns["type"] = kinds.astype(np.int64)
    images = [columns.get(axis) for axis in ("ix", "iy", "iz")]
    wrapped = box is not None
    unwrapped = [columns.get(axis) for axis in ("xu", "yu", "zu")]
    if all(part is not None and part.ndim == 1 and part.dtype.kind == "f" for part in unwrapped):
        positions, wrapped = np.stack([columns.pop(axis) for axis in ("xu", "yu", "zu")], axis=1), False
    elif wrapped and all(flags is not None and flags.dtype.kind == "i" and flags.ndim == 1 for flags in images):
        images = np.stack([columns.pop(axis) for axis in ("ix", "iy", "iz")], axis=1)
        images[:, ~box.periodic] = 0
        positions, wrapped = box.unwrap(positions, images), False
    default = group_by or next((n for n in GROUP_COLUMNS if n in columns), "mol")
    return particles_frame(path, index, timestep, positions, columns, box, wrapped=wrapped,
                           default_group=default)

def find_sorted(rows, ids):
    """(where each of `ids` lies among the sorted `rows`, whether it is there)."""
    if len(ids) > 1 << 16 and len(rows) > 1 << 16:
        # Searched in their own order, the ids meet the rows in the cache: ten million shuffled ids
        # among ten million took 13 s as given, 3 s sorted first.
        order = np.argsort(ids, kind="stable")
        at = np.empty(len(ids), np.int64)
        at[order] = np.searchsorted(rows, np.asarray(ids)[order])
    else:
        at = np.searchsorted(rows, ids)
    at = np.minimum(at, max(len(rows) - 1, 0))
    return at, (rows[at] == ids) if len(rows) else np.zeros(len(ids), bool)


def rows_of(holder, own, ids):
    """The row of each of `ids` among `own` (-1 where none has it): through a table by id, kept on
    `holder`, where the ids are not spread far wider than their number, else a search among them
    sorted."""
    if not hasattr(holder, "_table"):
        top = int(own.max(initial=0))
        holder._table = holder._order = None
        if own.min(initial=0) >= 0 and top <= 64 * len(own) + 1024:
            holder._table = np.full(top + 1, -1, dtype=np.int64)
            holder._table[own] = np.arange(len(own))
        else:
            holder._order = np.argsort(own, kind="stable")
    if holder._table is not None:
        inside = (ids >= 0) & (ids < len(holder._table))
        return np.where(inside, holder._table[np.where(inside, ids, 0)], -1)
    at, found = find_sorted(own[holder._order], ids)
    return np.where(found, holder._order[at], -1)


def element_masses(names):
    """The mass of each element name (bytes) in MDAnalysis's table, NaN where it has none or is not
    installed."""
    try:
        from .read_mda import _import
        _import()
        from MDAnalysis.topology.tables import masses
    except ImportError:
        return np.full(len(names), np.nan)
    return np.array([masses.get(name.decode(errors="replace").upper(), np.nan) for name in names], dtype=np.float64)


def particle_ids(arguments, count):
    """(the id of the first particle, every particle's id) of `vireo20.upscale`'s arguments: the row
    numbers from `first_id` where no ids are given."""
    first, ids = int(arguments.get("first_id", 1)), arguments.get("ids")
    return first, (np.arange(first, first + count, dtype=np.int64) if ids is None else
                   np.ascontiguousarray(ids, dtype=np.int64))


def kept_bytes(size):
    """A writable uint8 buffer of `size` bytes on the blocks the last frame let go of: a file's text
    read into fresh pages costs more than the read itself."""
    from ._lammpsdump import column_array
    return column_array(((size + 7) // 8,), "i").view(np.uint8)[:size]


def plain_number(value):
    """A step number as a Python int when it is whole, else a float."""
    value = np.asarray(value).item()
    return int(value) if float(value).is_integer() else value


def bonded_components(count, pairs):
    """Labels of the connected components of `pairs` over `count` particles: 1, 2, ... in the order
    of each component's lowest particle, 0 for a particle in no pair."""
    pairs = np.asarray(pairs, dtype=np.int64).reshape(-1, 2)
    roots = np.arange(count)
    first, second = pairs[:, 0], pairs[:, 1]
    while True:
        # Each pair joining two trees hangs the higher root under the lower one (any of them, when
        # several pairs meet a root), so every tree with a pair leaving it merges each round: the
        # rounds halve the trees. Roots only ever point lower, so the last root of a component is
        # its lowest particle.
        a, b = roots[first], roots[second]
        apart = a != b
        if not apart.any():
            break
        a, b = a[apart], b[apart]
        roots[np.maximum(a, b)] = np.minimum(a, b)
        while True:
            jumped = roots[roots]
            if np.array_equal(jumped, roots):
                break
            roots = jumped
    bonded = np.zeros(count, dtype=bool)
    bonded[first] = bonded[second] = True
    labels = np.zeros(count, dtype=np.int64)
    labels[bonded] = np.unique(roots[bonded], return_inverse=True)[1] + 1
    return labels


class Loaders(Series):
    """A series whose frames are known up front: one picklable loader per frame."""

    def __init__(self, source, loaders):
        self.source, self._loaders = source, list(loaders)

    def loaders(self):
        return iter(self._loaders)

    def files(self):
        """Every file the frames are read from (a .pvd's data files, say, beside the .pvd itself)."""
        return [path for loader in self._loaders
                for path in (loader.path if isinstance(loader.path, tuple) else (loader.path,))
                if isinstance(path, (str, os.PathLike))]

    def __len__(self):
        return len(self._loaders)


class FrameLoader:
    """Loads frame `index` of `path` with `read(path, index, **options)`: what a Dask worker needs to
    read its own frame, and nothing of the frame's data."""

    def __init__(self, read, path, index, options):
        self.read, self.path, self.index, self.options = read, path, index, options

    def load(self):
        return self.read(self.path, self.index, **self.options)


_open_files = {}
OPEN_FILES_KEPT = 4


@atexit.register
def _close_open_files():
    # Before the interpreter takes apart the modules that a library's close still needs (gsd logs).
    while _open_files:
        _close(_open_files.popitem()[1])


def _close(handle):
    close = getattr(handle, "close", None)
    if close:
        close()


def cached_open(path, opener, *arguments):
    """The file (or tuple of files) opened by `opener(path, *arguments)`, kept open in this process so
    that reading frame after frame does not reread the file's index each time; reopened when a file
    changed on disk."""
    stamps = []
    for name in (path if isinstance(path, tuple) else (path,)):
        try:
            status = os.stat(name)
        except OSError as error:
            raise InputError(name, "-", "-", f"cannot be read ({error.strerror or error})") from None
        stamps.append((os.path.abspath(name), status.st_mtime_ns, status.st_size))
    key = (tuple(stamps), opener, arguments)
    handle = _open_files.get(key)
    if handle is None:
        handle = opener(path, *arguments)
        while len(_open_files) >= OPEN_FILES_KEPT:
            _close(_open_files.pop(next(iter(_open_files))))
        _open_files[key] = handle
    return handle


# gzip and zstd: the compressions NativeText inflates.
COMPRESSED = (b"\x1f\x8b", b"\x28\xb5\x2f\xfd")


def is_compressed(path):
    """Whether the file is gzip or zstd, by its first bytes (OSError as it comes)."""
    with open(path, "rb") as stream:
        return stream.read(4).startswith(COMPRESSED)


def inflated(path):
    """The whole text of a gzip or zstd file."""
    try:
        with NativeText(path) as stream:
            return stream.readall()
    except OSError as error:
        raise InputError(path, "-", "-", f"the compressed file is damaged or cut short ({error})") from None


def text_head(path, size):
    """The first `size` bytes of a file's text, inflated where it is gzip or zstd (OSError as it comes)."""
    with open(path, "rb") as stream:
        head = stream.read(size)
    if head.startswith(COMPRESSED):
        with NativeText(path) as stream:
            head = stream.read(size)
    return head


class NativeText(io.RawIOBase):
    """A file's text, inflated (gzip, zstd) by the dump reader's sources in a thread of their own;
    seeks forward only. Damage or a cut stream raises OSError."""

    def __init__(self, path):
        from ._lammpsdump import Error, TextStream
        self._errors, self._at = Error, 0
        try:
            self._text = TextStream(path)
        except Error as error:
            raise OSError(error.args[1]) from None

    def readable(self):
        return True

    def readinto(self, buffer):
        try:
            read = self._text.readinto(buffer)
        except self._errors as error:
            raise OSError(error.args[1]) from None
        self._at += read
        return read

    def readall(self):
        # In large pieces: io's own readall asks for 8 KiB at a time.
        pieces = []
        while True:
            piece = bytearray(1 << 24)
            read = self.readinto(piece)
            if not read:
                return b"".join(pieces)
            pieces.append(memoryview(piece)[:read])

    def tell(self):
        return self._at

    def seek(self, offset, whence=io.SEEK_SET):
        if whence != io.SEEK_SET or offset < self._at:
            raise io.UnsupportedOperation("an inflated text seeks forward only")
        scratch = bytearray(min(offset - self._at, 1 << 20))
        while self._at < offset:
            if not self.readinto(memoryview(scratch)[:offset - self._at]):
                break
        return self._at

    def close(self):
        if not self.closed:
            self._text.close()
        super().close()
