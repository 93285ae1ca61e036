"""Input from a LAMMPS text dump (`dump custom`, plain or .gz), with an optional `dump local` of contacts.

Atom columns: `id mol mass` and positions, unwrapped `xu yu zu` or `x y z` with image flags
`ix iy iz` (unwrapped with each step's box, triclinic too). Source particle = atom id - 1; the
enabled list is the step's atoms in file order; an atom's parent is the atom of the same molecule
with the lowest id in that step, molecule 0 meaning no parent. Every further column, and `mol`,
becomes a value array: LAMMPS's integer attributes (type, proc, custom i_NAME) as
integers, every other column as floating-point. Atoms may come in any order and any subset per step.

Contacts (`dump local`): the first two columns are the atom ids of each pair; a column named
`kind` (see `dump_modify colname`), when present, gives the contact kind (0: atom-atom). A contact
frame belongs to the atom frame of the same timestep.

The job reads the file in one pass: this process cuts it into frames of raw text, and `load`
parses one frame (in a Dask worker, when there are workers).
"""
import gzip
import io
import itertools
import sys

import numpy as np

from .step import InputError, Step

POSITION_COLUMNS = ("xu", "yu", "zu", "x", "y", "z", "ix", "iy", "iz")
# LAMMPS's integer atom attributes (custom ones are i_NAME); every other column is floating-point.
INTEGER_COLUMNS = ("id", "mol", "type", "proc", "procp1", "ix", "iy", "iz", "kind")
WRAPPED_WARNING = (
    "WARNING: {path} has wrapped positions (x y z) and no image flags (ix iy iz): a molecule cut by "
    "a periodic boundary gets its centre in the middle of the box. Dump xu yu zu, or add ix iy iz.")


class _RawFrame:
    """The header values and the undecoded data lines of one frame."""

    def __init__(self, path, position):
        self.path, self.position = path, position
        self.timestep, self.count, self.columns = None, None, []
        self.box_header, self.box_lines, self.data = "", [], b""
        self.problem = None

    @property
    def step(self):
        return self.timestep if self.timestep is not None else f"#{self.position} of the file"

    def fail(self, array, problem):
        raise InputError(self.path, self.step, array, problem)


def _open(path):
    return gzip.open(path, "rb") if str(path).endswith(".gz") else open(path, "rb")


def _frames(path, section):
    """Cuts a dump into frames; a frame that cannot be cut carries its problem and ends the series."""
    with _open(path) as stream:
        for position in itertools.count():
            frame = _RawFrame(path, position)
            try:
                line = stream.readline()
                if not line:
                    return
                if line.strip() != b"ITEM: TIMESTEP":
                    frame.problem = ("TIMESTEP", f"expected 'ITEM: TIMESTEP', found {line[:60]!r}")
                else:
                    _read_frame(stream, frame, section)
            except (EOFError, OSError, gzip.BadGzipFile) as error:
                frame.problem = (section, f"the compressed file is damaged or cut short ({error})")
            yield frame
            if frame.problem:
                return


def _value_line(stream, frame, item):
    line = stream.readline()
    if not line.strip() or line.startswith(b"ITEM:"):
        frame.problem = (item, "the file ends or the next item starts where a value was expected")
        return None
    return line.decode().strip()


def _read_frame(stream, frame, section):
    text = _value_line(stream, frame, "TIMESTEP")
    if text is None:
        return
    try:
        frame.timestep = int(text)
    except ValueError:
        frame.problem = ("TIMESTEP", f"{text!r} is not a step number")
        return
    while True:
        line = stream.readline().decode().strip()
        if not line.startswith("ITEM: "):
            frame.problem = (section, "the file ends before the frame's "
                                      f"'ITEM: {section}' lines" if not line else f"unexpected line {line[:60]!r}")
            return
        item = line[len("ITEM: "):]
        if item.startswith("NUMBER OF"):
            text = _value_line(stream, frame, item)
            if text is None:
                return
            if not text.isdigit():
                frame.problem = (item, f"{text!r} is not a count")
                return
            frame.count = int(text)
        elif item.startswith("BOX BOUNDS"):
            frame.box_header = item
            frame.box_lines = [stream.readline().decode() for _ in range(3)]
        elif item.startswith(section):
            frame.columns = item.split()[1:]
            if frame.count is None:
                frame.problem = (section, "no 'ITEM: NUMBER OF ...' line before the data lines")
                return
            lines = list(itertools.islice(stream, frame.count))
            if len(lines) < frame.count:
                frame.problem = (section, f"truncated: {len(lines)} of {frame.count} lines")
            frame.data = b"".join(lines)
            return
        else:  # TIME, UNITS and other single-value items
            if _value_line(stream, frame, item) is None:
                return


def _box(frame):
    """(lo, hi, tilt xy xz yz) from the BOX BOUNDS lines, the bounds of a triclinic box undone."""
    try:
        rows = np.array([[float(v) for v in line.split()] for line in frame.box_lines])
    except ValueError:
        frame.fail("BOX BOUNDS", "the three bound lines are not numbers")
    if rows.shape not in ((3, 2), (3, 3)):
        frame.fail("BOX BOUNDS", f"expected three lines of 2 or 3 numbers, got shape {rows.shape}")
    lo, hi = rows[:, 0].copy(), rows[:, 1].copy()
    xy, xz, yz = rows[:, 2] if rows.shape[1] == 3 else (0.0, 0.0, 0.0)
    lo[0] -= min(0.0, xy, xz, xy + xz)
    hi[0] -= max(0.0, xy, xz, xy + xz)
    lo[1] -= min(0.0, yz)
    hi[1] -= max(0.0, yz)
    return lo, hi, (xy, xz, yz)


def _is_integer_column(name):
    return name in INTEGER_COLUMNS or name.startswith(("i_", "i2_"))


def _table(frame, section):
    """Column name -> values: integer attributes as int64, every other column as float64.

    NumPy's text parser rounds exactly as Python does, so the same text gives the same bits.
    """
    if frame.count == 0:
        return {name: np.zeros(0, np.int64 if _is_integer_column(name) else np.float64)
                for name in frame.columns}
    try:
        rows = np.loadtxt(io.BytesIO(frame.data), dtype=np.float64, ndmin=2, comments=None)
    except ValueError as error:
        frame.fail(section, f"malformed data lines ({' '.join(str(error).split())})")
    if rows.shape != (frame.count, len(frame.columns)):
        frame.fail(section, f"{rows.shape[0]} data lines of {rows.shape[1]} values where the header "
                            f"announces {frame.count} lines of {len(frame.columns)}")
    table = {name: rows[:, k] for k, name in enumerate(frame.columns)}
    for name in frame.columns:
        if _is_integer_column(name):
            table[name] = _ints(frame, table, name)
    return table


def _ints(frame, table, name):
    """The column as int64, refusing a value that is not a whole number."""
    if name not in table:
        frame.fail(name, f"missing column (the columns are: {' '.join(table)})")
    column = table[name]
    if column.dtype.kind == "i":
        return column
    whole = column.astype(np.int64)
    bad = np.flatnonzero(whole != column)
    if len(bad):
        frame.fail(name, f"value {column[bad[0]]!r} on data line {bad[0] + 1} is not an integer")
    return whole


def _positions(frame, table):
    columns = set(table)
    if {"xu", "yu", "zu"} <= columns:
        return np.stack([table[name] for name in ("xu", "yu", "zu")], axis=1)
    if not {"x", "y", "z"} <= columns:
        frame.fail("xu yu zu", "missing positions: the dump needs xu yu zu, or x y z (with ix iy iz)")
    xyz = np.stack([table[name] for name in ("x", "y", "z")], axis=1)
    if {"ix", "iy", "iz"} <= columns:
        lo, hi, (xy, xz, yz) = _box(frame)
        size = hi - lo
        image = np.stack([_ints(frame, table, name) for name in ("ix", "iy", "iz")], axis=1)
        xyz[:, 0] += image[:, 0] * size[0] + image[:, 1] * xy + image[:, 2] * xz
        xyz[:, 1] += image[:, 1] * size[1] + image[:, 2] * yz
        xyz[:, 2] += image[:, 2] * size[2]
    return xyz


def parents_by_molecule(index, mol, n):
    """Parent of each source particle: the lowest index of its molecule in the step, -1 for itself or mol 0."""
    parents = np.full(n, -1, np.int64)
    member = mol != 0
    index, mol = index[member], mol[member]
    order = np.lexsort((index, mol))
    index, mol = index[order], mol[order]
    starts = np.r_[True, mol[1:] != mol[:-1]] if len(mol) else np.zeros(0, bool)
    head = index[starts][np.cumsum(starts) - 1]
    parents[index] = np.where(head == index, -1, head)
    return parents


class LammpsFrame:
    def __init__(self, index, atoms, contacts=None):
        self.index, self.atoms, self.contacts = index, atoms, contacts

    def load(self):
        frame = self.atoms
        if frame.problem:
            frame.fail(*frame.problem)
        table = _table(frame, "ATOMS")
        ids = _ints(frame, table, "id")
        mol = _ints(frame, table, "mol")
        if "mass" not in table:
            frame.fail("mass", f"missing column (the columns are: {' '.join(table)})")
        bad = np.flatnonzero(ids < 1)
        if len(bad):
            frame.fail("id", f"atom id {ids[bad[0]]} on data line {bad[0] + 1} is below 1")
        repeated = np.flatnonzero(np.bincount(ids) > 1)
        if len(repeated):
            frame.fail("id", f"atom id {repeated[0]} appears more than once in the step")
        coords = _positions(frame, table)
        pairs, kinds = self._contacts()
        index = ids - 1
        # Contacts may name atoms outside this step's subset: they are particles all the same.
        n = int(max(ids.max(initial=0), pairs[:, 0].max(initial=-1) + 1,
                    pairs[kinds == 0, 1].max(initial=-1) + 1))
        masses = np.zeros(n)
        masses[index] = table["mass"]
        values = {name: column for name, column in table.items()
                  if name not in POSITION_COLUMNS and name not in ("id", "mass")}
        box = None
        if frame.box_lines:
            lo, hi, _ = _box(frame)
            box = np.stack([lo, hi])
        boundary = " ".join(frame.box_header.split()[-3:]) if frame.box_header else None
        return Step(source=frame.path, index=self.index, timestep=frame.timestep,
                    parents=parents_by_molecule(index, mol, n), enabled=index, masses=masses,
                    coords=coords, values=values, contacts=pairs, contact_kinds=kinds,
                    box=box, boundary=boundary)

    def _contacts(self):
        if self.contacts is None:
            return np.zeros((0, 2), np.int64), np.zeros(0, np.int64)
        frame = self.contacts
        if frame.problem:
            frame.fail(*frame.problem)
        if len(frame.columns) < 2:
            frame.fail("ENTRIES", f"needs two atom-id columns, has {' '.join(frame.columns) or 'none'}")
        table = _table(frame, "ENTRIES")
        first, second = (_ints(frame, table, name) for name in frame.columns[:2])
        kinds = _ints(frame, table, "kind") if "kind" in table else np.zeros(len(first), np.int64)
        bad = np.flatnonzero((first < 1) | ((second < 1) & (kinds == 0)))
        if len(bad):
            frame.fail(frame.columns[0], f"contact on data line {bad[0] + 1} names an atom id below 1")
        # Only atom ids become particle indices; the second id of another kind stays as it is.
        return np.stack([first - 1, np.where(kinds == 0, second - 1, second)], axis=1), kinds


class LammpsDump:
    """The frames of an atom dump, each with the contact frame of its timestep when one is given."""

    def __init__(self, path, contacts=None, warn=None):
        self.path, self.contacts_path = str(path), contacts and str(contacts)
        self.warn = warn or (lambda text: print(text, file=sys.stderr, flush=True))

    def __iter__(self):
        contacts = _frames(self.contacts_path, "ENTRIES") if self.contacts_path else iter(())
        waiting = next(contacts, None)
        warned = False
        for index, atoms in enumerate(_frames(self.path, "ATOMS")):
            columns = set(atoms.columns)
            if not warned and "xu" not in columns and not {"ix", "iy", "iz"} <= columns and "x" in columns:
                self.warn(WRAPPED_WARNING.format(path=self.path))
                warned = True
            while (waiting is not None and not waiting.problem and atoms.timestep is not None
                   and waiting.timestep < atoms.timestep):
                waiting = next(contacts, None)
            # A damaged contact frame stops the run at the first atom frame it could belong to.
            matched = waiting is not None and (
                waiting.timestep == atoms.timestep or (waiting.problem and (
                    waiting.timestep is None or atoms.timestep is None or waiting.timestep <= atoms.timestep)))
            yield LammpsFrame(index, atoms, waiting if matched else None)
