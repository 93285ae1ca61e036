"""Input from MercuryDPM's output: the `.data` file of particles (one file of every step, or one file
a step: `NAME.data.0`, `NAME.data.0001`, ...), with the contacts of its `.fstat` file and the species
and periodic boundaries of its `.restart` file, found beside it (`NAME.fstat`, `NAME.restart`).

Each step of a `.data` file is a line `N time xmin ymin zmin xmax ymax zmax` (2d: `N time xmin ymin
xmax ymax`) and N particle lines `x y z vx vy vz radius` + three orientation angles + `omega_x
omega_y omega_z info` (2d: `x y vx vy radius angle -omega_z info`). Frames: each step, its time the
header's (ParaView's time); its timestep the number ending its file's name where each file holds one
step, else its position in the series.

Columns: `id` (the particle's row + 1: the file holds no ids, and a run that deletes particles
may reorder the rest), `velocity`, `radius`, `omega`, `orientation` (the three angles MercuryDPM
writes; 2d: 0 0 angle), and the last entry, MercuryDPM's info (the species index unless the driver
writes its own), as `type` where every value is a whole number (so `--density TYPE=VALUE` names a
species), else as `info`. Masses: each species' density from the restart file times the particle's
volume as MercuryDPM computes it (4/3 pi r^3, or pi r^2 where its particles are 2d); without a
restart file, give `--density`. Fixed particles (a rough base of particles) are not told apart: the
file does not say which they are, so they take their species' mass as the others do.

Box: the header's bounds, periodic along each axis a `PeriodicBoundary` of the restart file is
normal to, between its two planes; positions are taken as wrapped in it, as MercuryDPM keeps them.
Other periodic boundaries (Lees-Edwards, angled, circular) are not read: the box is not periodic
across them. Option `box` gives another box.

Contacts: each `.fstat` line `time i j x y z overlap tangential_overlap fn ft n t` is a contact of
particles i and j (rows from 0) or, where j < 0, of particle i and wall -j-1; a pair MercuryDPM
writes from both sides is one contact. Each frame takes the fstat step of its time; values
`overlap`, `tangential_overlap`, `normal_force` and `tangential_force`. Option `contacts` names the
fstat file (or files) where it is not beside the data.
"""
import math
import os
import re
import zlib

import numpy as np

from .frames import Box, InputError
from .read_extxyz import _open, _Text, frame_text
from .reading import FrameLoader, Loaders, cached_open, natural_key, particles_frame

# NAME.data, NAME.data.12 (a file a step), maybe compressed; MPI runs add the processor: NAME.data3.
_DATA = re.compile(r"^(.*)\.data(\d*)(\.\d+)?(\.gz|\.zst)?$")
HEADER_WORDS = {6: 2, 8: 3}          # a header's words: the dimension
LINE_WORDS = {2: 8, 3: 14}           # a particle line's words, by dimension
FSTAT_WORDS = 16
FSTAT_HEADER_LINES = 3
READS_SEVERAL_FILES = True


def _numbers(line):
    try:
        return [float(word) for word in line.split()]
    except ValueError:
        return None


def _header(line):
    """(count, dimension) of a step's first line, or None where it is none."""
    values = _numbers(line)
    if values is None or len(values) not in HEADER_WORDS or not values[0].is_integer() or values[0] < 0:
        return None
    return int(values[0]), HEADER_WORDS[len(values)]


def sniff(path, head):
    if os.path.isdir(path):
        names = sorted((n for n in os.listdir(path) if _DATA.match(n) and not n.startswith(".")), key=natural_key)
        if not names:
            return False
        from .inputs import head as first_bytes
        return sniff(os.path.join(path, names[0]), first_bytes(os.path.join(path, names[0])))
    if head.startswith((b"\x1f\x8b", b"\x28\xb5\x2f\xfd")):
        if not _DATA.match(os.path.basename(os.fspath(path))):
            return False
        try:
            with _open(path) as stream:
                head = stream.read(4096)
        except (OSError, EOFError, zlib.error):
            return False
    lines = head.split(b"\n", 2)
    found = _header(lines[0].decode(errors="replace"))
    if found is None:
        return False
    count, dimension = found
    if _DATA.match(os.path.basename(os.fspath(path))) or count == 0 or len(lines) < 3:
        return _DATA.match(os.path.basename(os.fspath(path))) is not None
    # Another name: the first particle line must be one too.
    values = _numbers(lines[1].decode(errors="replace"))
    return values is not None and len(values) == LINE_WORDS[dimension]


def _stem(path):
    """NAME of NAME.data (or NAME.data.12): where its fstat and restart files are."""
    match = _DATA.match(os.fspath(path))
    return (match.group(1), match.group(2)) if match else (os.path.splitext(os.fspath(path))[0], "")


def _data_files(path, stem):
    """(file, the number ending its name or None), in natural order of the names."""
    if isinstance(path, (list, tuple)):
        paths = [os.fspath(p) for p in path]
    elif os.path.isdir(path):
        # One run a NAME: a folder's runs (drum1.data, drum2.data) are not one series.
        names = [name for name in os.listdir(path) if _DATA.match(name) and not name.startswith(".")]
        runs = sorted({_DATA.match(name).group(1) for name in names})
        if stem is not None:
            names = [name for name in names if _DATA.match(name).group(1) == stem]
        elif len(runs) > 1:
            raise InputError(path, "-", "-", f"the folder holds several MercuryDPM runs ({', '.join(runs)}): name "
                                             "one with --stem (the option stem)")
        if not names:
            raise InputError(path, "-", "-",
                             f"the folder holds no MercuryDPM .data files{' of ' + stem if stem else ''}")
        paths = [os.path.join(path, name) for name in names]
    else:
        paths = [os.fspath(path)]
    paths = sorted(paths, key=natural_key)
    matches = [_DATA.match(os.path.basename(p)) for p in paths]
    processors = {m.group(2) for m in matches if m}
    if len(processors) > 1:
        raise InputError(paths[0], "-", "-", f"files of {len(processors)} MPI processes (NAME.data0, NAME.data1, "
                                             "...) are one run's parts, which this reader does not join: read "
                                             "each alone, or write the run from one process")
    numbers = [int(m.group(3)[1:]) if m and m.group(3) else None for m in matches]
    if None in numbers or len(set(numbers)) != len(numbers):
        numbers = [None] * len(paths)
    return list(zip(paths, numbers))


def open_series(path, box=None, contacts=None, restart=None, stem=None):
    """The steps of MercuryDPM `.data` files (see the module's text); `contacts` the `.fstat` file(s)
    and `restart` the `.restart` file where they are not beside the data (NAME.fstat, NAME.restart);
    `box` a `Box` in place of the header's bounds and the restart's periodic boundaries; `stem` picks
    one run of a folder's by its NAME."""
    files = _data_files(path, stem)
    first = files[0][0]
    setup = _Setup.read(restart if restart is not None else _beside(first, "restart"))
    indexed = [(file, number, *frame_index(file)) for file, number in files]
    one_each = None not in (number for _, number in files) and \
        all(len(frames) == 1 and problem is None for _, _, frames, problem in indexed)
    fstat = _Contacts(contacts if contacts is not None else _beside(first, "fstat"))
    loaders = []
    for file, number, frames, problem in indexed:
        for where in frames:
            # Each loader carries where its step lies, as its contacts do: a Dask worker reads its
            # own steps without indexing the whole file again.
            step = number if one_each else len(loaders)
            loaders.append(FrameLoader(read_frame, file, len(loaders), {
                "where": where, "timestep": step, "setup": setup, "box": box, "contacts": fstat.at(where[4])}))
        if problem is not None:
            loaders.append(FrameLoader(_raise, file, len(loaders), {"problem": problem}))
            break
    fstat.check(loaders)
    return Loaders(first if len(files) > 1 else path, loaders)


def _raise(path, index, problem):
    raise problem


def _beside(data, kind):
    """NAME.KIND beside NAME.data, else the first NAME.KIND.N (a file a step), else None; an MPI run's
    processor keeps its number (NAME.data3 beside NAME.fstat3)."""
    stem, processor = _stem(data)
    exact = f"{stem}.{kind}{processor}"
    if os.path.isfile(exact):
        return exact
    folder, name = os.path.split(exact)
    pattern = re.compile(re.escape(name) + r"\.\d+$")
    try:
        numbered = sorted((n for n in os.listdir(folder or ".") if pattern.match(n)), key=natural_key)
    except OSError:
        return None
    if not numbered:
        return None
    found = [os.path.join(folder, n) for n in numbered]
    return found if kind == "fstat" else found[0]


def frame_index(path):
    """(where each step's particle lines start and end, their count, dimension, time, bounds) of a
    .data file, and the InputError of a step that breaks off (None): the steps before it are read.
    Kept while the file is unchanged."""
    return cached_open(path, _scan)


def _scan(path):
    frames, problem = [], None
    try:
        with _open(path) as stream:
            text = _Text(stream)
            while True:
                where = f"#{len(frames)} of the file"
                line = text.readline()
                if not line.strip():
                    if not line or text.rest_is_blank():
                        break
                    raise InputError(path, where, "-", "a blank line where a step's first line should be")
                line = line.decode(errors="replace")
                found = _header(line)
                # A 2d particle line has a 3d header's word count: a step of more lines than its
                # count is found by the dimension changing.
                if found is None or (frames and found[1] != frames[0][3]):
                    raise InputError(path, where, "-", f"{line.strip()[:60]!r} is not a step's first line "
                                                       "(N time xmin ymin zmin xmax ymax zmax; the step before "
                                                       "may hold more lines than its N)")
                count, dimension = found
                values = _numbers(line)
                start = text.tell()
                missing = text.skip_lines(count)
                if missing:
                    raise InputError(path, where, "-", f"the file ends {missing} particle lines before the step's "
                                                       "end (cut short?)")
                frames.append((start, text.tell(), count, dimension, values[1], values[2:]))
    except (OSError, EOFError, zlib.error) as error:
        problem = InputError(path, f"#{len(frames)} of the file", "-", f"cannot be read to its end ({error})")
    except InputError as error:
        problem = error
    return frames, problem


class _Setup:
    """What the restart file says of every step: each species' density, the particles' dimension and
    the periodic boundaries normal to an axis ({axis: (lo, hi)})."""

    def __init__(self, source=None, densities=None, particle_dimension=3, periodic=None):
        self.source, self.densities = source, densities or {}
        self.particle_dimension, self.periodic = particle_dimension, periodic or {}

    @classmethod
    def read(cls, path):
        if path is None:
            return cls()
        densities, dimension, periodic = {}, 3, {}
        try:
            with open(path, "rb") as stream:
                for number, line in enumerate(stream, 1):
                    words = line.decode(errors="replace").split()
                    if not words:
                        continue
                    if words[0] == "Particles":
                        break   # the particles of the last step saved: nothing more of the setup
                    named = cls._pairs(words)
                    if "particleDimensions" in named:
                        dimension = int(float(named["particleDimensions"][0]))
                        if dimension not in (1, 2, 3):
                            raise ValueError(f"particleDimensions {dimension}")
                    if "Species" in words[0] and "MixedSpecies" not in words[0] and "density" in named:
                        densities[int(float(named["id"][0]))] = float(named["density"][0])
                    if words[0] == "PeriodicBoundary":
                        cls._boundary(path, number, named, periodic)
        except (OSError, ValueError, KeyError, IndexError) as error:
            raise InputError(path, "-", "-", f"not a MercuryDPM restart file this reader understands ({error})") \
                from None
        return cls(path, densities, dimension, periodic)

    @staticmethod
    def _pairs(words):
        """{keyword: the words after it}: restart lines are keyword value pairs (vectors three values)."""
        named, at = {}, 0
        while at < len(words):
            key, at = words[at], at + 1
            values = []
            while at < len(words) and _numbers(words[at]) is not None:
                values.append(words[at])
                at += 1
            named.setdefault(key, values)
        return named

    @staticmethod
    def _boundary(path, number, named, periodic):
        normal = np.array([float(v) for v in named["normal"][:3]])
        left, right = float(named["distanceLeft"][0]), float(named["distanceRight"][0])
        axis = int(np.argmax(np.abs(normal)))
        if np.count_nonzero(normal) != 1:
            raise InputError(path, f"line {number}", "PeriodicBoundary",
                             f"normal {normal.tolist()} is along no axis: a box periodic across it is not read")
        # MercuryDPM keeps the normal of unit length and the planes' distances along it.
        lo, hi = (left, right) if normal[axis] > 0 else (-right, -left)
        periodic[axis] = (lo / abs(normal[axis]), hi / abs(normal[axis]))

    def masses(self, radius, types):
        """Each particle's mass as MercuryDPM sets it (density times volume), or None where a
        particle's species has no density here."""
        if types is None or not self.densities:
            return None
        table = np.full(max(max(self.densities), int(types.max(initial=0))) + 1, np.nan)
        for species, density in self.densities.items():
            table[species] = density
        if len(types) and (types.min() < 0 or np.isnan(table[types]).any()):
            return None
        r = radius
        volume = {3: (4.0 / 3.0 * math.pi) * r * r * r, 2: math.pi * r * r, 1: 2.0 * r}[self.particle_dimension]
        return table[types] * volume


class _Contacts:
    """The fstat steps by their time: each frame loads its own from the file."""

    def __init__(self, paths):
        self.paths = [] if paths is None else [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
        self.steps, self.problem = {}, None
        for path in self.paths:
            if not os.path.isfile(path):
                raise InputError(path, "-", "-", "no such fstat file")
            found, problem = cached_open(os.fspath(path), _fstat_scan)
            for time, start, end in found:
                self.steps.setdefault(time, (os.fspath(path), start, end))
            self.problem = self.problem or problem

    def at(self, time):
        return self.steps.get(time)

    def check(self, loaders):
        if self.problem is not None:
            raise self.problem
        # Steps at no common time would give no contact and no word of why.
        if self.steps and loaders and not any(loader.options.get("contacts") for loader in loaders):
            raise InputError(self.paths[0], "-", "time", "no fstat step is at the time of a data step: "
                                                         "the contacts belong to another run")


def _fstat_scan(path):
    """(time, start, end) of each step of an fstat file: three lines `# ...` (the first the time),
    then its contact lines, bytes [start, end)."""
    steps, problem = [], None
    headers = 0
    try:
        with _open(path) as stream:
            buffer, base, at = b"", 0, 0
            while True:
                block = stream.read(1 << 24)
                buffer, base, at = buffer[at:] + block, base + at, 0
                while True:
                    if buffer[at:at + 1] == b"#":
                        line_start = at
                    else:
                        found = buffer.find(b"\n#", at)
                        if found < 0:
                            break
                        line_start = found + 1
                    line_end = buffer.find(b"\n", line_start)
                    if line_end < 0:
                        if block:
                            at = line_start
                            break
                        line_end = len(buffer)
                    if steps and steps[-1][1] == base + line_start and headers < FSTAT_HEADER_LINES:
                        headers += 1
                    else:
                        if steps:
                            steps[-1][2] = base + line_start
                        words = buffer[line_start + 1:line_end].split()
                        time = _numbers(words[0].decode(errors="replace")) if words else None
                        if not time:
                            raise InputError(path, f"#{len(steps)} of the file", "time",
                                             f"the step's first line {buffer[line_start:line_end][:60]!r} names "
                                             "no time")
                        steps.append([time[0], None, None])
                        headers = 1
                    steps[-1][1] = base + min(line_end + 1, len(buffer))
                    at = min(line_end + 1, len(buffer))
                if not block:
                    break
                if buffer[at:at + 1] != b"#":
                    # Past the last line begun: a header may start at its next line.
                    last = buffer.rfind(b"\n", at)
                    at = max(at, last) if last >= 0 else at
            if steps:
                steps[-1][2] = base + len(buffer)
    except (OSError, EOFError, zlib.error) as error:
        problem = InputError(path, f"#{len(steps)} of the file", "-", f"cannot be read to its end ({error})")
        steps = steps[:-1]
    except InputError as error:
        problem = error
    return [tuple(step) for step in steps if step[2] is not None], problem


def _table(path, step, text, count, words, layout, line):
    """The arrays of `count` lines of `words` values each, parsed natively; a fault is the step's
    InputError naming its `line` ("contact line")."""
    from ._lammpsdump import parse_table
    arrays, fault = parse_table(text, count, words, layout)
    if fault is not None:
        problem, row, _, values, value, refusal = fault
        what = f"value '{value}' {refusal}" if problem == "bad_value" else \
            f"{values} values where a {line} has {words}"
        raise InputError(path, step, "-", f"{line} {row + 1} of the step: {what}")
    return arrays


def _contacts(path, start, end, step):
    """(pairs of ids, kinds, values) of an fstat step: particles i, j as ids i + 1, j + 1; walls
    (j < 0) as kind 1 with wall -j-1; a pair written from both sides once, from its lower row."""
    text = frame_text(path, start, end, step)
    count = int(np.count_nonzero(np.frombuffer(text, np.uint8) == 10))
    layout = [("i", [1]), ("i", [2]), ("f", [6]), ("f", [7]), ("f", [8]), ("f", [9])]
    first, second, overlap, tangential_overlap, normal_force, tangential_force = \
        _table(path, step, text, count, FSTAT_WORDS, layout, "contact line")
    wall = second < 0
    low, high = np.minimum(first, second), np.maximum(first, second)
    # Each particle pair once: the line from its lower row where both sides wrote one.
    order = np.lexsort((first > second, high, low, wall))
    keep = np.ones(len(order), bool)
    pairs = ~wall[order]
    keep[1:] = ~(pairs[1:] & pairs[:-1] & (low[order][1:] == low[order][:-1]) & (high[order][1:] == high[order][:-1]))
    kept = np.sort(order[keep])
    kinds = wall[kept].astype(np.int64)
    ids = np.stack([first[kept] + 1, np.where(wall[kept], -second[kept] - 1, second[kept] + 1)], axis=1)
    values = {"overlap": overlap[kept], "tangential_overlap": tangential_overlap[kept],
              "normal_force": normal_force[kept], "tangential_force": tangential_force[kept]}
    return ids.astype(np.int64), kinds, values


def _box(header, dimension, setup, path, step):
    lo = np.zeros(3)
    hi = np.ones(3)
    lo[:dimension], hi[:dimension] = header[:dimension], header[dimension:2 * dimension]
    periodic = [False] * 3
    for axis, (low, high) in setup.periodic.items():
        lo[axis], hi[axis], periodic[axis] = low, high, True
    if dimension == 2 and periodic[2]:
        raise InputError(setup.source, step, "PeriodicBoundary", "a 2d run's box is periodic in z")
    if not (hi > lo).all():
        if any(periodic):
            raise InputError(path, step, "-", f"the step's bounds {header} hold no periodic box")
        return None
    return Box.orthogonal(lo, hi, periodic)


def read_frame(path, index, where, timestep=None, setup=None, box=None, contacts=None):
    start, end, count, dimension, time, header = where
    step = index if timestep is None else timestep
    text = frame_text(path, start, end, step)
    words = LINE_WORDS[dimension]
    if dimension == 3:
        layout = [("f", [0, 1, 2]), ("f", [3, 4, 5]), ("f", [6]), ("f", [7, 8, 9]), ("f", [10, 11, 12]), ("f", [13])]
    else:
        layout = [("f", [0, 1]), ("f", [2, 3]), ("f", [4]), ("f", [5]), ("f", [6]), ("f", [7])]
    positions, velocity, radius, orientation, omega, info = \
        _table(path, step, text, count, words, layout, f"{dimension}d particle line")
    if dimension == 2:
        # MercuryDPM's 2d lines hold x y, the angle about z and minus the angular velocity about z.
        plane = lambda xy: np.column_stack([xy, np.zeros(count)])
        positions, velocity = plane(positions), plane(velocity)
        orientation = np.column_stack([np.zeros((count, 2)), orientation])
        omega = np.column_stack([np.zeros((count, 2)), -omega])
    columns = {"velocity": velocity, "radius": radius, "omega": omega, "orientation": orientation}
    whole = np.isfinite(info).all() and (info == np.round(info)).all() and (np.abs(info) < 2.0 ** 53).all()
    types = info.astype(np.int64) if whole else None
    columns["type" if whole else "info"] = types if whole else info
    setup = setup or _Setup()
    masses = setup.masses(radius, types)
    if masses is not None:
        columns["mass"] = masses
    if box is None:
        box = _box(header, dimension, setup, path, step)
    result = particles_frame(path, index, step, positions, columns, box, wrapped=True)
    result.time = time
    if contacts is not None:
        result.contacts, result.contact_kinds, result.contact_values = _contacts(*contacts, step)
    return result
