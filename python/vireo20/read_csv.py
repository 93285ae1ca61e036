"""Input from CSV tables of particles: pandas's `DataFrame.to_csv`, a spreadsheet's export, the
particle exports of DEM programs. A header line names the columns (lines before it that start with
`#` are passed over; NumPy's savetxt writes the header as such a line); values are separated by
commas, semicolons or tabs (as the header is) or blanks, unquoted, decimal commas taken between
semicolons or tabs (as spreadsheets write them in many languages), a byte order mark, a separator
closing every line and blank lines at the end passed over; plain or gzip or zstd. With
`contacts`, a LAMMPS dump local's frames go to the steps of their timesteps.

The input is one file, several (a list, a quoted pattern, or a folder's `.csv` files, in natural
order of their names), each one or more steps. A column `timestep` (or `step`, `frame`, `ts`; else
a `time` that changes within a file) gives each row's step: a file's rows of one step, which must
follow each other, are a frame. Without one, each file is a frame, its step the number that ends its
name (`particles_2000.csv`) or its position in the series. A column `time`, the same over a frame's
rows, is its time (else a column as any other).

Names: units in brackets and a leading `Particle` or `Atom` are dropped and blanks, dots, dashes and
colons become `_` ("Particle Position X [m]" is `Position_X`, ParaView's "Points:0" `Points_0`).
Positions are `x y z`, `xu yu zu`, or `NAME_x NAME_y NAME_z` (or `NAME_0 NAME_1 NAME_2`) where NAME
ends in position, pos, coord(s), coordinate(s) or point(s) (any case).
Every other column of numbers is a column (integers where the header's first row writes whole
numbers, as pandas writes integer columns, but for a vector's components, real quantities such as
masses and radii, and columns with a real in the first rows of any of the series' files, a file of a
header alone typing none; reals to the double Python's float() gives, an empty value, as pandas's
to_csv writes NaN, as nan), text a label
column (text beyond 32 bytes is left out); `NAME_x NAME_y NAME_z` (any case) and ParaView's
`NAME_0 NAME_1 ...` become one vector NAME, as do LAMMPS's triplets
(`vx vy vz` as `velocity`); the common names as VTK files' are taken (`ID` as `id`, `Velocity` as
`velocity`, `Radius` as `radius`, `Mass` as `mass`, ...), and groups default to the first of `mol`,
`id_multisphere`, `body`, `clump`, `clumpId` and `cluster`. A CSV file holds no box: option `box`
gives one (image flags `ix iy iz` then unwrap the positions).
"""
import os
import re

import numpy as np

from .columns import plain_array
from .frames import Box, InputError
from .reading import (FrameLoader, Loaders, cached_open, files_ending, inflated, is_compressed, kept_bytes,
                      named_frame, plain_number, step_files)

EXTENSIONS = (".csv", ".csv.gz", ".csv.zst", ".tsv")
STEP_COLUMNS = ("timestep", "step", "frame", "ts")
# x, xu (LAMMPS's unwrapped), or NAME_x where NAME ends in position, pos, coord(s) or coordinate(s)
# (`Particle Position X [m]`), any case; y and z named alike.
_POSITION_X = re.compile(r"(x|xu|(?:.*_)?(?:position|pos|coords?|coordinates?|points?)_?(?:x|0))$", re.I)
LABEL_BYTES = 32
# The first rows of a file that type its columns (a pass of the native parse, well under a millisecond).
SAMPLE_BYTES = 1 << 16
_SEPARATORS = b",;\t"
_UNITS = re.compile(r"\[[^\]]*\]|\([^)]*\)")
# Columns that must hold numbers (positions too): text there is refused, not taken for labels.
_NUMBERS = ("id", "mass", "radius", "diameter", "density")
# Real quantities, whole numbers or not (1 for a mass is 1.0).
_REALS = ("mass", "radius", "diameter", "density", "charge", "q", "velocity", "force", "omega", "torque", "tq")
_DECIMAL_COMMA = re.compile(rb"^[-+]?\d*,\d+(?:[eE][-+]?\d+)?$")


# A series may be given as its files.
READS_SEVERAL_FILES = True


def sniff(path, head):
    if os.path.isdir(path):
        return bool(files_ending(path, EXTENSIONS))
    return str(path).endswith(EXTENSIONS)


def _clean(name):
    """A header's name as a column's: units dropped, blanks, dots and dashes as `_`, a leading
    `Particle` or `Atom` dropped (`Particle Velocity X [m/s]` is `Velocity_X`)."""
    name = _UNITS.sub("", name.strip().strip('"').strip("'")).strip()
    name = re.sub(r"[\s.\-/:]+", "_", name).strip("_")
    return re.sub(r"^(?:particle|atom)_(?=.)", "", name, flags=re.I)


class _Table:
    """A file's header and its frames: (step, first byte, end byte, rows or None) of each, the text
    kept where the file is compressed (a frame cannot be read from a byte offset of it)."""

    def __init__(self, path):
        self.path = path
        compressed = is_compressed(path)
        self.text = inflated(path) if compressed else None
        head = self.text if compressed else _head(path)
        size = self._content_end(len(self.text) if compressed else os.path.getsize(path))
        self._header(head)
        size = max(size, self.first)   # a header alone: a frame without rows
        line_end = head.find(b"\n", self.first)
        # A header alone (an export's step before any particle) has no row to type the columns by.
        first_row = self._split(head[self.first:len(head) if line_end < 0 else line_end].rstrip(b"\r")) \
            if size > self.first else []
        # A spreadsheet in a language that writes 1,5 separates its values with semicolons or tabs.
        self.decimal_comma = self.separator is not None and self.separator in b";\t" and \
            any(_DECIMAL_COMMA.match(word) for word in first_row)
        if self.decimal_comma:
            first_row = [word.replace(b",", b".") for word in first_row]
        self.kinds = _kinds(first_row, len(self.names))
        self.typed = bool(first_row)   # a header alone types no column
        self._sample_kinds(head, size)
        lower = [name.lower() for name in self.names]
        self.step_column = next((lower.index(n) for n in STEP_COLUMNS if n in lower),
                                lower.index("time") if "time" in lower else None)
        if self.step_column is not None and self.kinds[self.step_column] == "l":
            raise InputError(path, "-", self.names[self.step_column], "holds text where steps belong: "
                             f"{first_row[self.step_column].decode(errors='replace')!r}")
        self.time_column = lower.index("time") if "time" in lower and self.step_column != lower.index("time") \
            else None
        self.frames = [(None, self.first, size, None)]
        if self.step_column is not None and size > self.first:
            steps = self._steps(head, size)
            self.frames = self._frames(size) if steps is None else [(steps, self.first, size, None)]
            if lower[self.step_column] == "time" and len(self.frames) == 1:
                # A file's one time: its step is the number its name ends with.
                self.frames = [(None, self.first, size, None)]
                self.step_column, self.time_column = None, self.step_column

    def _header(self, head):
        """The names of the columns, their separator and where the rows start."""
        # Excel writes a byte order mark first.
        start, comment = 3 if head.startswith(b"\xef\xbb\xbf") else 0, None
        while head.startswith(b"#", start) or head.startswith(b"\n", start) or head.startswith(b"\r\n", start):
            end = head.find(b"\n", start) + 1 or len(head)
            comment = head[start + 1:end].strip() if head.startswith(b"#", start) else comment
            start = end
        end = head.find(b"\n", start)
        header = head[start:len(head) if end < 0 else end].rstrip(b"\r")
        self.first = len(head) if end < 0 else end + 1
        self.separator = next((s for s in _SEPARATORS if s in header), None)
        self.closed = False   # a separator closes every line
        if comment and "l" not in _kinds(self._split(header), len(self._split(header))) and \
                len(self._split(comment)) == len(self._split(header)):
            # NumPy's savetxt writes its header as a comment: the rows start at once.
            header, self.first = comment, start
        if self.separator is not None and header.rstrip().endswith(bytes([self.separator])):
            header = header.rstrip()[:-1]   # a separator closing every line, as some exports write
            self.closed = True
        if not header.strip():
            raise InputError(self.path, "-", "-", "no header line names the columns")
        # pandas's index column has no name: it is left out. A name given twice is told apart as pandas
        # does (x, x_1).
        self.names = []
        for word in self._split(header):
            name = base = _clean(word.decode(errors="replace"))
            while name and name in self.names:
                name = f"{base}_{sum(n == base or n.startswith(base + '_') for n in self.names)}"
            self.names.append(name)

    def _sample_kinds(self, head, size):
        """Whole-number columns that hold a real in the file's first rows read as reals: typed by
        the first row alone, a column of readings (a temperature of 300, then 301.5) would be read
        as labels in one file and reduced as reals in the next."""
        from ._lammpsdump import parse_table
        limit = min(len(head), self.first + SAMPLE_BYTES)
        end = size if limit >= size else head.rfind(b"\n", self.first, limit) + 1
        wanted = [k for k, kind in enumerate(self.kinds) if kind == "i" and self.names[k]]
        if end <= self.first or not wanted:
            return
        text, count = self.rows(self.first, end)
        while wanted:
            _, fault = parse_table(text, count, len(self.names), [("i", [k]) for k in wanted])
            problem, _, column, _, value, _ = fault or (None,) * 6
            if problem != "bad_value" or column not in wanted:
                return   # faults of the rows themselves are the frame's to name
            wanted.remove(column)
            try:
                float(value)
                self.kinds[column] = "f"
            except ValueError:
                pass   # text where numbers were: the frame's parse names it

    def _content_end(self, size):
        """The end of the file's text but for blanks and blank lines after its last row."""
        start = max(0, size - (1 << 16))
        if self.text is not None:
            tail = self.text[start:size]
        else:
            with open(self.path, "rb") as stream:
                stream.seek(start)
                tail = stream.read(size - start)
        # A last row without its newline may have been cut in its last value, which still reads as a
        # number ("-0." of "-0.25"): told. Blanks after it are an editor's, not a cut.
        self.unended = bool(tail.rstrip()) and not tail.rstrip(b" \t").endswith((b"\n", b"\r"))
        return start + len(tail.rstrip())

    def _split(self, line):
        return line.split(bytes([self.separator])) if self.separator else line.split()

    def _steps(self, head, size):
        """The file's one step where its first and last rows have the same (a step's rows follow each
        other, which the frame's read checks), else None."""
        start = max(self.first, size - (1 << 16))
        if self.text is not None:
            tail = self.text[start:]
        else:
            with open(self.path, "rb") as stream:
                stream.seek(start)
                tail = stream.read()
        last = tail.rstrip().rsplit(b"\n", 1)[-1]
        first = head[self.first:].split(b"\n", 1)[0]
        values = [self._split(line.rstrip(b"\r")) for line in (first, last)]
        if all(len(words) == len(self.names) for words in values):
            ends = {words[self.step_column] for words in values}
            if len(ends) == 1:
                try:
                    return plain_number(float(ends.pop()))
                except ValueError:
                    pass
        return None

    def _frames(self, size):
        data, count = self.rows(self.first, size)
        # The step column alone, parsed over every row; a frame is a run of rows of one step (found in
        # the text as the file has it, empty values and all).
        steps = self.parsed(self.first, size, count, "-", only=[self.step_column], text=data)[
            self.names[self.step_column]]
        if not len(steps):
            return []
        changes = np.flatnonzero(steps[1:] != steps[:-1]) + 1
        starts = np.concatenate([[0], changes])
        values = steps[starts]
        ordered = np.sort(values)
        repeated = ordered[1:][ordered[1:] == ordered[:-1]]
        if len(repeated):
            raise InputError(self.path, plain_number(repeated[0]), self.names[self.step_column],
                             "the rows of this step do not follow each other")
        # The last row's newline, where the file has none, is the parse's own.
        ends = np.minimum(_line_ends(data, np.concatenate([changes, [count]])), size - self.first)
        begins = np.concatenate([[0], ends[:-1]])
        rows = np.diff(np.concatenate([starts, [count]]))
        return [(plain_number(v), self.first + int(b), self.first + int(e), int(n))
                for v, b, e, n in zip(values, begins, ends, rows)]

    def rows(self, start, end, empty_as_nan=False):
        """(the text of bytes `start` to `end` as the parse takes it: ending with a newline, the
        separators blanks, on a buffer of its own; its lines). `empty_as_nan`: empty values (pandas's
        to_csv writes NaN so) read as nan."""
        from ._lammpsdump import blank_separators
        text = kept_bytes(end - start + 1)
        if self.text is not None:
            text[:end - start] = np.frombuffer(self.text, np.uint8, end - start, start)
        else:
            with open(self.path, "rb") as stream:
                stream.seek(start)
                if stream.readinto(memoryview(text)[:end - start]) != end - start:
                    raise InputError(self.path, "-", "-", "the file is shorter than when it was indexed: it changed")
        if end == start or text[end - start - 1] == 10:
            text = text[:end - start]
        else:
            text[end - start] = 10
        if empty_as_nan and self.separator is not None:
            separator = re.escape(bytes([self.separator]))
            # Between two separators, before the first, and after the last unless it closes the line.
            ends = b"" if self.closed else rb"|\r?$"
            filled = re.sub(rb"(?m)(?<=" + separator + rb")(?=" + separator + ends + rb")|^(?=" + separator + rb")",
                            b"nan", text.tobytes())
            text = kept_bytes(len(filled))
            text[:] = np.frombuffer(filled, np.uint8)
        return text, blank_separators(text, -1 if self.separator is None else self.separator, self.decimal_comma)

    def parsed(self, start, end, count, step, only=None, text=None):
        """The named arrays of the rows from byte `start` to `end` (see `parse`); `text`: their `rows()`.
        Only a table whose lines come short of values is read again, its empty values as nan."""
        if text is None:
            text, lines = self.rows(start, end)
            count = lines if count is None else count
        try:
            return self.parse(text, count, step, only)
        except _Ragged:
            if self.separator is None:
                raise
        return self.parse(self.rows(start, end, empty_as_nan=True)[0], count, step, only)

    def parse(self, text, count, step, only=None):
        """The named arrays of `count` rows of `rows()` text (every named column, or those `only` lists)."""
        from ._lammpsdump import parse_table
        kinds = list(self.kinds)
        wanted = only if only is not None else [k for k, name in enumerate(self.names) if name]
        while True:
            arrays, fault = parse_table(text, count, len(self.names), [(kinds[k], [k]) for k in wanted])
            if fault is None:
                return dict(zip((self.names[k] for k in wanted), arrays))
            problem, row, column, values, value, refusal = fault
            if problem == "bad_value" and kinds[column] == "i" and refusal:
                kinds[column] = "f"   # an integer column after all holds reals
                continue
            if problem == "bad_value" and kinds[column] == "l" and only is None:
                wanted.remove(column)   # text too long for a label (a file name, a note): left out
                continue
            name = self.names[column] if 0 <= column < len(self.names) else "-"
            if problem == "bad_value" and refusal:
                raise InputError(self.path, step, name, f"value '{value}' on data line {row + 1} {refusal}")
            if problem == "bad_value":
                raise InputError(self.path, step, name, f"labels longer than {LABEL_BYTES} bytes")
            if problem == "lines":
                raise InputError(self.path, step, "-", f"the text has {row} data lines where {count} were counted")
            raise _Ragged(self.path, step, "-", f"data line {row + 1} has {values} values where the header names "
                                                f"{len(self.names)} (a quoted value?)")

    def close(self):
        pass


class _Ragged(InputError):
    """A line of fewer or more values than the header names."""


def _head(path, size=1 << 20):
    with open(path, "rb") as stream:
        return stream.read(size)


def _kinds(words, count):
    """Each column's parse: 'i' for a whole number, 'f' for another number, 'l' for text."""
    kinds = []
    for word in words[:count]:
        if not word.strip():
            kinds.append("f")   # an empty value: a number missing (pandas's NaN)
            continue
        try:
            int(word)
            kinds.append("i")
        except ValueError:
            try:
                float(word)
                kinds.append("f")
            except ValueError:
                kinds.append("l")
    return kinds + ["f"] * (count - len(kinds))


def _line_ends(data, rows, piece=1 << 24):
    """The byte after the last of the first `rows[k]` lines, for each k (ascending): newlines looked
    for a piece at a time, the rows' own kept (a mask of the whole text, of fresh pages, took longer
    than the step column's parse)."""
    data, rows = np.frombuffer(data, np.uint8), np.asarray(rows, dtype=np.int64)
    ends, seen = np.empty(len(rows), dtype=np.int64), 0
    for start in range(0, len(data), piece):
        newlines = np.flatnonzero(data[start:start + piece] == 10)
        wanted = (rows > seen) & (rows <= seen + len(newlines))
        ends[wanted] = start + newlines[rows[wanted] - seen - 1] + 1
        seen += len(newlines)
    # A last line without its newline ends with the text.
    ends[rows > seen] = len(data)
    return ends


def open_series(path, box=None, group_by=None, stem=None, contacts=None, contact_ids=None):
    """The frames of CSV files; see the module's text (`stem` picks a folder's files by the start of
    their names; `contacts` a LAMMPS dump local whose frames go to the steps of their timesteps)."""
    files = step_files(path, EXTENSIONS, "CSV files", stem)
    tables = [cached_open(file, _Table) for file, _ in files]
    # A column of reals in any file's first row is read as reals in every file: a step whose values
    # all happen to be whole would else reduce it as labels.
    reals = tuple(sorted({name for table in tables if table.typed for name, kind in zip(table.names, table.kinds)
                          if kind == "f"}))
    loaders = []
    for (file, number), table in zip(files, tables):
        for position, (step, _, _, _) in enumerate(table.frames):
            step = step if step is not None else number if number is not None else len(loaders)
            loaders.append(FrameLoader(read_frame, file, len(loaders), {"frame": position, "timestep": step, "box": box,
                                                                        "group_by": group_by, "reals": reals}))
    if not loaders:
        raise InputError(files[0][0], "-", "-", "no rows: the file holds a header alone")
    from .read_lammps import with_contacts
    series = _Tables(files[0][0] if len(files) > 1 else path, loaders)
    series.unended = [file for (file, _), table in zip(files, tables) if table.unended]
    return with_contacts(series, contacts, contact_ids)


class _Tables(Loaders):
    unended = ()

    def notes(self):
        return [f"{file}: its last row ends without a newline: a file cut short while it was written? If so, its "
                "last value is cut too (a whole file ends with a newline)" for file in self.unended]


def _axis(name, axis):
    """The name of the y or z column beside x column `name` (`Position_X` -> `Position_Y`, `xu` -> `yu`,
    ParaView's `Points_0` -> `Points_1`)."""
    at = len(name) - 1 if name.lower() != "xu" else 0
    if name[at] == "0":
        return name[:at] + str("xyz".index(axis)) + name[at + 1:]
    return name[:at] + (axis.upper() if name[at].isupper() else axis) + name[at + 1:]


def read_frame(path, index, frame=0, timestep=None, box=None, group_by=None, reals=()):
    table = cached_open(path, _Table)
    step, start, end, count = table.frames[frame]
    arrays = table.parsed(start, end, count, timestep)
    for name in reals:
        if name in arrays and arrays[name].dtype.kind == "i":
            arrays[name] = arrays[name].astype(np.float64)
    time = None
    if table.step_column is not None:
        # A header alone gives its step by its name, and no value of that column.
        steps = arrays.pop(table.names[table.step_column])
        if len(steps) and not (steps == steps[0]).all():
            raise InputError(path, timestep, table.names[table.step_column], "the rows of this step do not follow "
                                                                             "each other")
        time = steps if table.names[table.step_column].lower() == "time" and len(steps) else None
    if table.time_column is not None:
        # Text too long for a label was left out: no time then.
        time = arrays.pop(table.names[table.time_column], None)
    return table_frame(path, index, timestep, arrays, box, group_by, time)


def _reals(arrays):
    """Whole numbers as reals where the column is a real quantity: a vector's components and the
    common real names. A frame whose velocities are all written 0 (a DEM export's first step) would
    else give integer columns, which are not joined into a vector and are reduced as labels."""
    from .reading import TRIPLETS
    lower = {name.lower(): name for name in arrays}
    parts = {f"{stem}{axis}" for stem in TRIPLETS for axis in "xyz"}
    for name, values in list(arrays.items()):
        key = name.lower()
        stem, _, axis = key.rpartition("_")
        sibling = {"x": "y", "0": "1"}.get(axis) if stem else None
        vector = key in parts or (sibling is not None and f"{stem}_{sibling}" in lower) or \
            (axis in ("y", "z") and f"{stem}_x" in lower) or (stem and axis.isdigit() and f"{stem}_0" in lower)
        if values.dtype.kind == "i" and (vector or key in _REALS):
            arrays[name] = values.astype(np.float64)


def table_frame(source, index, timestep, arrays, box=None, group_by=None, time=None):
    """A frame of a table's columns by their cleaned names: positions found by name, `NAME_x NAME_y
    NAME_z` joined, the common names taken (see the module's text); `time` the frame's time where it is
    the same over its rows."""
    axes = next(([name, *(_axis(name, a) for a in "yz")] for name in arrays if _POSITION_X.match(name)
                 and all(_axis(name, a) in arrays for a in "yz")), None)
    if axes is None:
        raise InputError(source, timestep, "-", "no positions: the header names none of x y z, xu yu zu, Position_X "
                                                "Position_Y Position_Z (pos_x, coord_x ..., any case)")
    if time is not None and time.dtype.kind not in "if":
        arrays["time"], time = time, None   # text: a label column as any other
    for name in [*axes, *(n for n in arrays if n.lower() in _NUMBERS)]:
        if arrays[name].dtype.kind not in "if" and len(arrays[name]):
            raise InputError(source, timestep, name, f"holds text where numbers belong: "
                                                     f"{arrays[name][0].decode(errors='replace')!r}")
    positions = np.stack([arrays.pop(n).astype(np.float64, copy=False) for n in axes], axis=1)
    _reals(arrays)
    for name in list(arrays):
        if name[-2:].lower() == "_x" and arrays[name].ndim == 1:
            parts = [name[:-1] + axis for axis in ("xyz" if name[-1] == "x" else "XYZ")]
        elif name.endswith("_0") and arrays[name].ndim == 1:
            # ParaView's components, NAME:0 NAME:1 ...: as many as follow each other.
            parts = [name]
            while f"{name[:-1]}{len(parts)}" in arrays:
                parts.append(f"{name[:-1]}{len(parts)}")
        else:
            continue
        if len(parts) > 1 and all(p in arrays and arrays[p].dtype.kind == "f" for p in parts) and \
                name[:-2] not in arrays:
            arrays[name[:-2]] = np.stack([arrays.pop(p) for p in parts], axis=1)
    for common in ("velocity", "force", "omega", "tq", "radius", "mass", "id", "type", "density", "diameter"):
        found = next((name for name in arrays if name.lower() == common and name != common), None)
        if found is not None and common not in arrays:
            arrays[common] = arrays.pop(found)
    constant = time is not None and len(time) and (time == time[0]).all()
    if time is not None and not constant:
        arrays["time"] = time   # a time of each particle's own: a column
    result = named_frame(source, index, timestep, positions, arrays, box, group_by)
    if constant:
        result.time = float(time[0])
    return result


def from_pandas(tables, box=None, group_by=None, bonds=None):
    """A series of pandas DataFrames (or anything of named columns: a dict of arrays), named as CSV
    tables are: one table, cut into frames by its timestep column where it has one; a list of tables,
    one a frame, at their timestep column's step or their position; or a dict of step -> table.
    `bonds` ((B, 2) particle ids, or a table of two columns) are every frame's: wrapped molecules
    wider than half the box are made whole along them. `box`: a `vireo20.Box`, or the (2, 3) lower and
    upper corners of a box periodic in every direction; `group_by` a column every table has.

    >>> vireo20.run(vireo20.from_pandas(particles), "up")
    """
    if hasattr(tables, "items") and not hasattr(tables, "columns") and \
            all(hasattr(table, "columns") for table in tables.values()):
        given = list(tables.items())
    else:
        given = [pair for table in ([tables] if hasattr(tables, "columns") or isinstance(tables, dict) else tables)
                 for pair in _steps_of(table)]
    if bonds is not None:
        bonds = np.asarray(bonds, dtype=np.int64).reshape(-1, 2) if len(bonds) else np.zeros((0, 2), np.int64)
    try:
        box = Box.given(box)
    except ValueError as error:
        raise ValueError(f"box: {error}") from None
    loaders = [_TableLoader(k, step if step is not None else k, table, box, group_by, bonds)
               for k, (step, table) in enumerate(given)]
    return Loaders("pandas", loaders)


def _named(table):
    """(name, values) of a table's columns, a named index's levels first (`set_index(["step", "id"])`)."""
    if isinstance(table, dict):
        return list(table.items())
    index = table.index
    return [*((name, index.get_level_values(k)) for k, name in enumerate(index.names) if name is not None),
            *((name, table[name]) for name in table.columns)]


def _columns_of(table):
    """A table's columns as the job's arrays, by cleaned name; text as labels."""
    arrays = {}
    for name, values in _named(table):
        clean = _clean(str(name))
        if not clean:
            continue   # an unnamed index written out
        values = np.asarray(plain_array(values))
        if values.dtype.kind in "biu":
            values = values.astype(np.int64)
        elif values.dtype.kind == "f":
            values = values.astype(np.float64)
        else:
            values = np.char.encode(values.astype(str), "utf-8")
        arrays[clean] = values
    return arrays


def _steps_of(table):
    """(step, rows) of one table: the rows of each value of its timestep column in their order, the
    steps in the order they first come; else the whole table at no step."""
    named = {_clean(str(name)).lower(): values for name, values in _named(table)}
    column = next((named[n] for n in STEP_COLUMNS if n in named), None)
    if column is None:
        return [(None, table)]
    values, first, which, counts = np.unique(np.asarray(column), return_index=True, return_inverse=True,
                                             return_counts=True)
    # One sort for every step's rows, not a pass over the table per step.
    rows = np.split(np.argsort(which.reshape(-1), kind="stable"), np.cumsum(counts)[:-1])
    return [(plain_number(values[k]), _rows(table, rows[k])) for k in np.argsort(first, kind="stable")]


def _rows(table, chosen):
    return {name: np.asarray(values)[chosen] for name, values in table.items()} if isinstance(table, dict) \
        else table.iloc[chosen]


class _TableLoader:
    path = None   # no file

    def __init__(self, index, timestep, table, box, group_by, bonds=None):
        self.index, self.timestep, self.table, self.box, self.group_by = index, timestep, table, box, group_by
        self.bonds = bonds

    def load(self):
        arrays = _columns_of(self.table)
        lower = {name.lower(): name for name in arrays}
        for name in STEP_COLUMNS:
            arrays.pop(lower.get(name), None)
        time = arrays.pop(lower["time"]) if "time" in lower else None
        frame = table_frame("pandas", self.index, self.timestep, arrays, self.box, self.group_by, time)
        if self.group_by is not None and self.group_by not in frame.columns:
            # Asked for by name: not each particle alone in silence.
            raise InputError("pandas", self.timestep, self.group_by, f"no such column to group by (the columns "
                                                                     f"are: {' '.join(frame.columns) or 'none'})")
        frame.bonds = self.bonds
        return frame
