"""Input from a LAMMPS dump (`dump custom` or `dump atom`: text, plain, .gz or .zst, or binary, as
LAMMPS writes a file named `*.bin`: `vireo20.lammps_binary`), with an optional `dump local` of
contacts, as frames in the particles form. A binary dump's columns are read as the text's are, each
value the double LAMMPS held.

Columns: every atom column by name, one row per atom in file order; `id mol type proc` and custom
`i_NAME`, `i2_NAME[k]` as int64, the text columns `element` and `typelabel` as labels (bytes of up
to 32), every other column as float64; but `type` as labels too where the dump's first data line
gives labels (`dump_modify types labels`). Labels name the masses (`--mass C=12.011`): the type's,
else the element's (`dump_modify element C H`); a data file's Atom Type Labels number label types.
Vectors are merged: three consecutive columns `Px Py Pz` become one (E, 3) array
(`v` -> `velocity`, `f` -> `force`, other prefixes keep their name: `omega`, `tq`, `angmom`, `mu`,
`v_NAME`...), and consecutive `NAME[1]` ... `NAME[k]` (k from 2 to 9) one (E, k) array `NAME`,
unless the merged name is taken by another column. The groups are `mol` by default, else
LIGGGHTS's multisphere bodies `id_multisphere` (-1: a sphere on its own).
Positions are not columns: `xu yu zu`; else `x y z` unwrapped with `ix iy iz` and the step's box;
else scaled `xsu ysu zsu`, or `xs ys zs` (with image flags when given); else wrapped `x y z`, marked
`wrapped` when the box is periodic somewhere.

The `ITEM: UNITS` item of `dump_modify units yes` (in the dump's first frame) is every frame's
`units`; `ITEM: TIME` (`time yes`) is the frame's `time`, which the job's series takes as ParaView's
time. A
box is LAMMPS's restricted triclinic one (bounds and tilts) or a general one (`BOX BOUNDS abc origin`:
its edge vectors and origin, positions and image flags along them).

Contacts (`dump local`, its entries under `ITEM: ENTRIES` or the name `dump_modify label` gives
them): the first two columns (after `index`, which numbers the entries) are the atom ids of each
pair (option `contact_ids` names two others: LIGGGHTS's `compute pair/gran/local pos id force`
writes the positions first), a column `kind` gives the contact kind (0, atom-atom, by default) and
every further column is a contact value. A contact frame belongs to the atom frame of
the same timestep.

A dump written one file per step (`dump ... dump.*.lammpstrj`, LIGGGHTS's `post/dump*.liggghts`) is
one series: its folder (the atom dumps in it, named alike but for their numbers; its dump local
files, where it holds one such dump, are the contacts, as `--contacts` the same folder takes them), a
quoted pattern, or the files themselves, taken in the
natural order of their names (dump.200 before dump.1000). A file may hold several frames.
A dump written per processor (`%` in its name, alone or with `*`) is joined back: files whose first
frames have the same timestep are its pieces, and each step's pieces follow one another in the
natural order of their names, processor 0 first, as LAMMPS writes the dump to one file. Pieces must
hold the same steps, box and columns, and no atom twice.

Plain files are indexed by byte offset, and each frame is read where it lies when its loader is
loaded (in a Dask worker, say); a compressed file (gzip, or zstd from LAMMPS's custom/zstd) is
inflated once, in order, and its loaders carry their parsed arrays.
"""
import functools
import os
import re
import weakref
import zlib

import numpy as np

from . import lammps_binary
from .frames import Box, Frame, InputError, Series
from .reading import is_compressed, natural_key

INTEGER_COLUMNS = frozenset(("id", "mol", "type", "proc", "procp1", "ix", "iy", "iz"))
# The groups by default: molecules, else LIGGGHTS's multisphere bodies (-1: a sphere on its own).
GROUP_COLUMNS = ("mol", "id_multisphere")
TEXT_COLUMNS = frozenset(("element", "typelabel"))  # never numbers: read as labels
VECTOR_NAMES = {"v": "velocity", "f": "force"}
POSITIONS = (("xu", "yu", "zu"), ("x", "y", "z"), ("xsu", "ysu", "zsu"), ("xs", "ys", "zs"))
IMAGES = ("ix", "iy", "iz")
NOT_COLUMNS = frozenset(name for names in POSITIONS + (IMAGES,) for name in names)
MISSING_POSITIONS = ("missing positions: the dump needs xu yu zu, or x y z (with ix iy iz), or scaled "
                     "xsu ysu zsu or xs ys zs")
_BRACKETED = re.compile(r"(.+)\[([1-9])\]\Z")
_GZIP_MAGIC = b"\x1f\x8b"
_ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"  # LAMMPS's custom/zstd and local/zstd


def _native():
    from . import _lammpsdump
    return _lammpsdump


def _opening(head, path):
    """The first text of the file at `path` from its first bytes, inflated where they are compressed;
    None if they cannot be."""
    if head[:4] == _ZSTD_MAGIC:
        try:
            return _native().text_head(path, len(head))
        except _native().Error:
            return None
    if head[:2] == _GZIP_MAGIC:
        try:
            return zlib.decompressobj(31).decompress(head)
        except zlib.error:
            return None
    return head


def damaged_at_start(head, path):
    """Whether the file at `path` is compressed (gzip or zstd) and its first bytes do not inflate."""
    return (head[:4] == _ZSTD_MAGIC or head[:2] == _GZIP_MAGIC) and _opening(head, path) is None


def _section(head, path):
    """The section of a dump's first frame from the first bytes of the file at `path`: "ATOMS",
    "ENTRIES" for a dump local, or None for a file that is no dump."""
    if lammps_binary.sniff(path, head):
        return "ATOMS"
    return _text_section(_opening(head, path))


def _text_section(text):
    if not text:
        return None
    # dump_modify units/time yes write these items ahead of the step.
    if not text.lstrip().startswith((b"ITEM: TIMESTEP", b"ITEM: UNITS", b"ITEM: TIME")):
        return None
    # A dump local counts its ENTRIES, or what dump_modify label names them (BONDS, say).
    counted = re.search(rb"\nITEM: NUMBER OF (\S+)", text)
    return "ENTRIES" if counted and counted.group(1) != b"ATOMS" else "ATOMS"


def dump_section(path):
    """The section of a file's first frame ("ATOMS", "ENTRIES"), None if it is no dump."""
    return _text_section(_file_opening(path))


# A dump written one file per step may be given as its files.
READS_SEVERAL_FILES = True


def sniff(path, head):
    if os.path.isdir(path):
        return bool(dump_files(path, "ATOMS"))
    return _section(head, path) is not None


def dump_files(path, section):
    """The files of a series of dumps, in the natural order of their names: a list of files, or a
    folder's files whose first frame is a `section` one (hidden files left out), all named alike but
    for their numbers; a file is itself."""
    if isinstance(path, (list, tuple)):
        return sorted(path, key=natural_key)
    if not os.path.isdir(path):
        return [path]
    from .inputs import head
    found, others = [], []
    for name in os.listdir(path):
        full = os.path.join(path, name)
        if name.startswith(".") or not os.path.isfile(full):
            continue
        try:
            kind = _section(head(full), full)
        except OSError as error:
            raise InputError(full, "-", "-", f"cannot be read ({error.strerror or error})") from None
        (found if kind == section else others if kind is None else []).append(full)
    stems = sorted({_stem(name) for name in found})
    if len(stems) > 1:
        raise InputError(path, "-", "-", f"the folder holds several dumps ({', '.join(stems[:4])}"
                                         f"{', ...' if len(stems) > 4 else ''}): name one with a quoted pattern, "
                                         f"as '{os.path.join(path, stems[0].replace('#', '*'))}'")
    found.sort(key=natural_key)
    # The scan has told the dumps already: a file named as they are but no dump is headless.
    _refuse_headless([name for name in others if _stem(name) in stems and os.path.getsize(name)], found)
    return found


def _stem(path):
    # Compressed and plain files may alternate in one series.
    return re.sub(r"\d+", "#", os.path.basename(path)).removesuffix(".gz").removesuffix(".zst")


def _no_headless(paths):
    """Refuses a file among a dump's files that does not start as a dump (an empty one is a step never
    written, refused where it is read): LAMMPS 2021 writes a dump local per processor with every step's
    header in processor 0's file only."""
    if len(paths) < 2:
        return
    headless = [path for path in paths if os.path.getsize(path) and dump_section(path) is None]
    _refuse_headless(headless, [path for path in paths if path not in headless and os.path.getsize(path)])


def _refuse_headless(headless, dumps):
    if headless and dumps:
        raise InputError(headless[0], "-", "-", f"the file does not start as a LAMMPS dump, unlike {dumps[0]}; a "
                                                "dump local written per processor (% in its name) has its steps' "
                                                "headers only in processor 0's file and cannot be joined: dump "
                                                "it to one file")


def _file_opening(path, size=None):
    """The first text of a file (from its first `size` bytes, default the head the formats are told by),
    inflated; empty where it cannot be read."""
    from .inputs import HEAD_BYTES
    try:
        with open(path, "rb") as stream:
            return _opening(stream.read(size or HEAD_BYTES), path) or b""
    except OSError:
        return b""


def _units(path):
    """The unit style a dump names in its first frame (`dump_modify units yes`), or None."""
    if _binary(path):
        first = lammps_binary.index(path)[1]
        return first["units"] if first else None
    found = re.match(rb"\s*ITEM: UNITS[ \t\r]*\n[ \t]*(\w+)", _file_opening(path))
    return found.group(1).decode() if found else None


# What a frame's reader is told in place of contact ids: its `type` column holds labels.
LABELLED_TYPES = "labelled types"


def _labelled_types(path):
    """Whether the first data line of a dump gives its atom types as labels (`dump_modify types
    labels`) rather than numbers."""
    lines = _file_opening(path, 1 << 14).split(b"\n")
    for k, line in enumerate(lines[:-2]):
        if line.startswith(b"ITEM: ATOMS"):
            columns, values = line.split()[2:], lines[k + 1].split()
            if b"type" in columns and len(values) == len(columns) and not lines[k + 1].startswith(b"ITEM"):
                return re.fullmatch(rb"[-+]?\d+", values[columns.index(b"type")]) is None
    return False


def _first_timestep(path):
    """The timestep of a dump's first frame, from the file's first bytes; None where they do not tell."""
    if _binary(path):
        frames = lammps_binary.index(path)[0]
        return frames[0][1] if frames else None
    found = re.search(rb"ITEM: TIMESTEP[ \t\r]*\n[ \t]*([-+]?\d+)[ \t\r]*\n", _file_opening(path))
    return int(found.group(1)) if found else None


def pieces(paths):
    """The files of a series grouped by step: files of one folder whose first frames have the same
    timestep are the pieces of a dump written per processor (`%` in its name, each file holding its
    processors' atoms of every step), kept in the natural order of their names, processor 0 first,
    which is the order LAMMPS writes them in one file. Groups come in the order of their first files.
    (Runs restarted into folders of their own may each begin with the step the last one ended on.)"""
    if len(paths) == 1:
        return [list(paths)]
    groups = {}
    for path in paths:
        step = _first_timestep(path)
        groups.setdefault(path if step is None else (os.path.dirname(os.path.abspath(path)), step), []).append(path)
    return list(groups.values())


def open_series(path, contacts=None, contact_ids=None, topology=None, atom_style=None, columns=None, **options):
    """The frames of an atom dump, each with the contact frame of its timestep when `contacts` names
    a `dump local` file, whose pairs are the columns `contact_ids` (two names; default the first two).
    Either may be several files written one per step (a list, their folder or a pattern). With
    `topology` (a LAMMPS data file, `atom_style` naming its style where its Atoms line does not),
    each atom takes by id the columns its frame lacks (see `lammps_data`). `columns` names the values
    of a binary dump in LAMMPS's older format, which does not. Other options are for other readers.
    A folder's dump local (one dump of them) is its contacts where `contacts` names none."""
    if contacts is None and isinstance(path, (str, os.PathLike)) and os.path.isdir(path):
        contacts = _contacts_beside(path)
    if contact_ids is not None:
        contact_ids = tuple(contact_ids)
        if contacts is None or len(contact_ids) != 2 or len(set(contact_ids)) != 2:
            raise ValueError("contact_ids names the two different columns of a contact dump's atom ids")
    path, paths = _given_dump(path, "ATOMS")
    contact_paths, contact_files = [], None
    if contacts is not None:
        from .inputs import expand
        from .read_vtk import is_contact_path
        if is_contact_path(expand(contacts)):
            contact_files = contacts   # LIGGGHTS's dump local/gran/vtk beside a text dump
        else:
            contacts, contact_paths = _given_dump(contacts, "ENTRIES")
    from .lammps_data import completion as completing
    completion = completing(topology, atom_style)
    if columns is not None and not any(_binary(name) for name in paths):
        raise InputError(paths[0], "-", "-", "--columns names the columns of a binary dump (*.bin) in LAMMPS's "
                                             "older format; a text dump names its own")
    series = LammpsSeries(paths, contact_paths, path if isinstance(path, str) else paths[0], contact_ids, completion,
                          columns)
    return series if contact_files is None else with_contacts(series, contact_files, contact_ids)


def _contacts_beside(folder):
    """The folder itself where it holds one dump local beside its atom dumps (LIGGGHTS's post/ with
    its pairs*.liggghts), else None."""
    try:
        return folder if dump_files(folder, "ENTRIES") else None
    except InputError:  # several dump locals: which are the contacts is the user's to say
        return None


def _given_dump(given, section):
    """(the input as given, its files): a dump's file, its files written one per step or per
    processor, their folder or a pattern; each readable and starting as a dump."""
    from .inputs import expand
    given = expand(given)
    paths = dump_files(given, section)
    if not paths:
        what = "dump local files (ITEM: ENTRIES)" if section == "ENTRIES" else "dump files of atoms"
        raise InputError(given, "-", "-", f"the folder holds no LAMMPS {what}")
    for name in paths:
        try:
            with open(name, "rb"):
                pass
        except OSError as error:
            raise InputError(name, "-", "-", f"cannot be read ({error.strerror or error})") from None
    # A folder's files were told apart by its scan.
    if not (isinstance(given, str) and os.path.isdir(given)):
        _no_headless(paths)
    return given, paths


def _binary(path):
    from .inputs import head
    return lammps_binary.sniff(path, head(path))


class _Refusal(Exception):
    """A problem of a frame found here: (array, problem), to be named with the frame's file and step."""


# ---------------------------------------------------------------------------------------------------
# Which columns go into which arrays


def _kind(name):
    return "i" if name in INTEGER_COLUMNS or name.startswith(("i_", "i2_")) else "f"


def _run_at(columns, wanted, k):
    """The vector starting at wanted[k]: (its name, its column count), or None."""
    start = wanted[k]

    def consecutive(count):
        return k + count <= len(wanted) and wanted[k + count - 1] == start + count - 1

    name = columns[start]
    if len(name) > 1 and name.endswith("x") and consecutive(3):
        prefix = name[:-1]
        if columns[start + 1:start + 3] == [prefix + "y", prefix + "z"]:
            return VECTOR_NAMES.get(prefix, prefix), 3
    match = _BRACKETED.match(name)
    if match and match.group(2) == "1":
        base, count = match.group(1), 1
        while consecutive(count + 1) and columns[start + count] == f"{base}[{count + 1}]":
            count += 1
        if 2 <= count <= 9:
            return base, count
    return None


def _arrays(columns, wanted):
    """(name, kind, column indexes) of the arrays the columns `wanted` (ascending) make, vectors merged."""
    arrays, names, k = [], set(), 0
    while k < len(wanted):
        run = _run_at(columns, wanted, k)
        if run is not None:
            name, count = run
            members = columns[wanted[k]:wanted[k] + count]
            kinds = {_kind(member) for member in members}
            if name not in names and name not in columns and len(kinds) == 1:
                arrays.append((name, kinds.pop(), tuple(wanted[k:k + count])))
                names.add(name)
                k += count
                continue
        name = columns[wanted[k]]
        arrays.append((name, _kind(name), (wanted[k],)))
        names.add(name)
        k += 1
    return arrays


def _no_repeats(section, columns):
    seen = set()
    for name in columns:
        if name in seen:
            raise _Refusal(name, f"the column name '{name}' appears more than once in 'ITEM: {section}' "
                                 "(a dump command that names it twice: name it once)")
        seen.add(name)


# The arrays of a column named twice (LIGGGHTS's examples dump `id type type ...`), compared after
# the parse: the same values make one column, others are refused.
TWIN = "\0twin "


@functools.lru_cache(maxsize=64)
def _atom_layout(columns, labelled_types=False):
    """(parse layout, names of its arrays, positions kind, whether image flags are read); the `type`
    column as labels where `labelled_types`."""
    columns = list(columns)
    first = {}
    for k, name in enumerate(columns):
        first.setdefault(name, k)
    twins = [(name, first[name], k) for k, name in enumerate(columns) if first[name] != k]
    kind = lambda name: "l" if name in TEXT_COLUMNS or (name == "type" and labelled_types) else _kind(name)
    # Later copies are read only as twins: the names refer to the first.
    columns = [name if first[name] == k else TWIN for k, name in enumerate(columns)]
    where = {name: k for k, name in enumerate(columns)}
    chosen = next((names for names in POSITIONS if all(name in where for name in names)), None)
    if chosen is None:
        raise _Refusal("xu yu zu", MISSING_POSITIONS)
    unwrapped = chosen[0].endswith("u")
    images = not unwrapped and all(name in where for name in IMAGES)
    layout = [("f", tuple(where[name] for name in chosen))]
    names = ["positions"]
    if images:
        layout.append(("i", tuple(where[name] for name in IMAGES)))
        names.append("images")
    wanted = [k for k, name in enumerate(columns) if name not in NOT_COLUMNS and name != TWIN]
    for name, parsed, indexes in _arrays(columns, wanted):
        layout.append((kind(name) if kind(name) == "l" else parsed, indexes))
        names.append(name)
    for name, _, other in twins:
        layout.append((kind(name), (other,)))
        names.append(TWIN + name)
    return tuple(layout), tuple(names), chosen[0], images


def _one_of_twins(arrays, layout, names, columns):
    """Drops the second reading of each column named twice, refusing where the two differ."""
    for key in (key for key in names if key.startswith(TWIN)):
        name = key[len(TWIN):]
        one = columns.index(name)
        entry = next(k for k, (_, indexes) in enumerate(layout) if one in indexes)
        first = arrays[names[entry]]
        pair = (first if first.ndim == 1 else first[:, layout[entry][1].index(one)], arrays.pop(key))
        differ = pair[0] != pair[1]
        if pair[0].dtype.kind == "f":
            differ &= ~(np.isnan(pair[0]) & np.isnan(pair[1]))
        if differ.any():
            line = int(np.argmax(differ))
            shown = [value.decode(errors="replace") if isinstance(value, bytes) else repr(value)
                     for value in (pair[0][line].item(), pair[1][line].item())]
            raise _Refusal(name, f"the column name '{name}' appears twice in 'ITEM: ATOMS' with different values "
                                 f"({shown[0]} and {shown[1]} on data line {line + 1}): name it once")


@functools.lru_cache(maxsize=64)
def _contact_layout(columns, ids=None):
    columns = list(columns)
    _no_repeats("ENTRIES", columns)
    if ids is None:
        # dump local's `index` column numbers the entries: it is neither an id nor a value.
        pair = tuple(k for k, name in enumerate(columns) if name != "index")[:2]
        if len(pair) < 2:
            raise _Refusal("ENTRIES", f"needs two atom-id columns, has {' '.join(columns) or 'none'}")
    else:
        missing = [name for name in ids if name not in columns]
        if missing:
            raise _Refusal("ENTRIES", f"has no column {missing[0]} (contact_ids) among {' '.join(columns)}")
        pair = tuple(columns.index(name) for name in ids)
    layout, names = [("i", pair)], ["contacts"]
    if "kind" in columns and columns.index("kind") not in pair:
        layout.append(("i", (columns.index("kind"),)))
        names.append("contact_kinds")
    wanted = [k for k, name in enumerate(columns)
              if k not in pair and name not in ("kind", "index") and name not in TEXT_COLUMNS]
    for name, kind, indexes in _arrays(columns, wanted):
        layout.append((kind, indexes))
        names.append(name)
    return tuple(layout), tuple(names)


# ---------------------------------------------------------------------------------------------------
# Boxes and positions


def _box(header):
    """The Box of `ITEM: BOX BOUNDS`: the bounding box a dump writes for a restricted triclinic box
    undone, or a general triclinic box's edge vectors and origin (`abc origin`)."""
    try:
        rows = [[float(value) for value in line.split()] for line in header["box_lines"]]
    except ValueError:
        raise _Refusal("BOX BOUNDS", "the three bound lines are not numbers") from None
    words = header["box"].split()[2:]
    general = words[:2] == ["abc", "origin"]
    if {len(row) for row in rows} not in (({4},) if general else ({2}, {3})):
        raise _Refusal("BOX BOUNDS", "expected three lines of 4 numbers (a b c origin)" if general
                       else "expected three lines of 2 or 3 numbers")
    periodic = [flag == "pp" for flag in words[-3:]] if len(words) >= 3 + 2 * general else [False] * 3
    rows = np.array(rows)
    if general:
        try:
            return Box(rows[:, 3], rows[:, :3], periodic)
        except ValueError as error:
            raise _Refusal("BOX BOUNDS", str(error)) from None
    lo, hi = rows[:, 0].copy(), rows[:, 1].copy()
    xy, xz, yz = rows[:, 2] if rows.shape[1] == 3 else (0.0, 0.0, 0.0)
    lo[0] -= min(0.0, xy, xz, xy + xz)
    hi[0] -= max(0.0, xy, xz, xy + xz)
    lo[1] -= min(0.0, yz)
    hi[1] -= max(0.0, yz)
    try:
        return Box.from_lammps(lo, hi, (xy, xz, yz), periodic)
    except ValueError as error:
        raise _Refusal("BOX BOUNDS", str(error)) from None


def _from_scaled(scaled, box):
    """Box coordinates of scaled ones, as LAMMPS computes them: lo + xs*a + ys*b + zs*c."""
    positions = np.empty_like(scaled)
    for axis in range(3):
        out = positions[:, axis]
        np.multiply(scaled[:, axis], box.edges[axis, axis], out=out)
        out += box.origin[axis]
        for edge in range(3):
            if edge != axis and box.edges[edge, axis] != 0.0:
                out += scaled[:, edge] * box.edges[edge, axis]
    return positions


# ---------------------------------------------------------------------------------------------------
# Frames as they lie in the file


class _Where:
    """A frame of a file, for messages: its step, or its position in the file while that is unknown."""

    def __init__(self, path, position, timestep=None):
        self.path, self.position, self.timestep = path, position, timestep

    @property
    def step(self):
        return self.timestep if self.timestep is not None else f"#{self.position} of the file"

    def error(self, array, problem):
        return InputError(self.path, self.step, array, problem)

    def native(self, error):
        """The reader's error as an InputError; `cut_short` on it where the file's bytes end before
        its frame does."""
        item, problem, timestep, whole_file, cut_short = error.args
        if cut_short:
            # A run still writing its dump: the frames before the cut are whole.
            problem += " (a dump still being written ends so: --frames :-1 leaves its last frame out)"
        if whole_file:
            found = InputError(self.path, "-", "-", problem)
        else:
            found = InputError(self.path, timestep if timestep is not None else self.step, item, problem)
        found.cut_short = cut_short
        return found


def _compressed(path, unreadable=None):
    """Whether the file is gzip or zstd; `unreadable` where it cannot be read, if given."""
    try:
        return is_compressed(path)
    except OSError:
        if unreadable is None:
            raise
        return unreadable


def _call(where, method, *arguments):
    try:
        return method(*arguments)
    except _native().Error as error:
        raise where.native(error) from None


def _room_for(count, columns, where, item):
    """Refuses a count that the file's bytes could not hold (a line is at least 2 bytes a column; gzip
    inflates at most 1032 times, zstd's blocks of one repeated byte 2^15 times), before its arrays are
    asked of the memory."""
    try:
        with open(where.path, "rb") as stream:
            compressed = stream.read(4)
            size = os.fstat(stream.fileno()).st_size
    except (OSError, TypeError):
        return
    most = size << 15 if compressed.startswith(_ZSTD_MAGIC) else size * 1032 if compressed.startswith(_GZIP_MAGIC) \
        else size
    if count * 2 * max(columns, 1) > most:
        raise where.error(item, f"the frame announces {count} rows of {columns} columns, more than the "
                                             f"file's {size} bytes could hold: the count is damaged")


def _read_frame(reader, header, where, how=None):
    """The parsed content of the frame whose header `reader` has just read: a dump local's pairs from
    the columns `how` names (default the first two); an atom frame's types as labels where `how` is
    LABELLED_TYPES."""
    where.timestep = header["timestep"]
    if header["count"] > 1 << 20:
        _room_for(header["count"], len(header["columns"]), where, f"NUMBER OF {header['section']}")
    try:
        if header["section"] == "ENTRIES":
            layout, names = _contact_layout(tuple(header["columns"]), how)
            try:
                arrays = dict(zip(names, _call(where, reader.parse, layout)))
            except InputError as error:
                pair = [header["columns"][k] for k in layout[0][1]]
                if how is None and error.array in pair and "not an integer" in error.problem:
                    raise InputError(error.file, error.step, error.array,
                                     f"{error.problem} (an atom id is expected: name the two atom-id columns "
                                     "with --contact-ids)") from None
                raise
            return _contact_content(arrays, header)
        layout, names, chosen, images = _atom_layout(tuple(header["columns"]), how == LABELLED_TYPES)
        try:
            arrays = dict(zip(names, _call(where, reader.parse, layout)))
            _one_of_twins(arrays, layout, names, header["columns"])
        except InputError as error:
            if error.array == "type" and "not an integer" in error.problem:
                raise InputError(error.file, error.step, error.array,
                                 f"{error.problem} (a label, where the dump's first frame has numbers: a dump "
                                 "gives its types as labels or as numbers throughout)") from None
            raise
        return _atom_content(arrays, header, chosen, images)
    except _Refusal as refusal:
        # A damaged stream can make a frame look malformed: it is named instead.
        _call(where, reader.check_rest)
        raise where.error(*refusal.args) from None


def _atom_content(arrays, header, chosen, images):
    box = _box(header) if header["box"] is not None else None
    positions = arrays.pop("positions")
    flags = arrays.pop("images", None)
    scaled = chosen.startswith("xs")
    if (scaled or images) and box is None:
        what = "scaled positions" if scaled else "image flags (ix iy iz)"
        raise _Refusal("BOX BOUNDS", f"{what} need the box, and the frame has no 'ITEM: BOX BOUNDS'")
    if scaled:
        positions = _from_scaled(positions, box)
    if images:
        box.unwrap(positions, flags, in_place=True)
    ids = arrays.get("id")
    if ids is not None and ids.ndim == 1:
        bad = np.flatnonzero(ids < 1)
        if len(bad):
            raise _Refusal("id", f"atom id {ids[bad[0]]} on data line {bad[0] + 1} is below 1")
    wrapped = not chosen.endswith("u") and not images and box is not None and box.any_periodic
    return dict(timestep=header["timestep"], positions=positions, columns=arrays, box=box, wrapped=wrapped,
                time=header.get("time"), held_images=flags if images and box.triclinic else None)


def _contact_content(arrays, header):
    pairs = arrays.pop("contacts")
    kinds = arrays.pop("contact_kinds", None)
    if kinds is None:
        kinds = np.zeros(len(pairs), np.int64)
    bad = np.flatnonzero((pairs[:, 0] < 1) | ((pairs[:, 1] < 1) & (kinds == 0)))
    if len(bad):
        raise _Refusal(header["columns"][0], f"contact on data line {bad[0] + 1} names an atom id below 1")
    return dict(timestep=header["timestep"], contacts=pairs, contact_kinds=kinds, contact_values=arrays)


class _AtOffset:
    """A frame of a plain dump, read from its byte offset when asked."""

    def __init__(self, path, section, offset, position, timestep, how=None):
        self.path, self.section, self.offset, self.how = path, section, int(offset), how
        self.position, self.timestep, self.read_whole = position, timestep, False

    @property
    def problem(self):
        return self.timestep is None

    def _reading(self, read):
        where = _Where(self.path, self.position, self.timestep)
        reader = _call(where, _native().Reader, self.path, self.section, self.offset)
        try:
            header = _call(where, reader.next_header)
            if header is None:
                raise where.error(self.section, "the file ends before this frame: it changed after it was indexed")
            return read(reader, header, where)
        finally:
            reader.close()

    def header(self):
        return self._reading(lambda reader, header, where: header)

    def read(self):
        content = self._reading(lambda reader, header, where: _read_frame(reader, header, where, self.how))
        self.read_whole = True
        return content


class _BinaryAt:
    """A frame of a binary dump, read from its byte offset when asked."""

    problem, section, how = False, "ATOMS", None

    def __init__(self, path, offset, position, timestep, columns, indexed):
        self.path, self.offset, self.position, self.timestep = path, offset, position, timestep
        self.columns, self.indexed = columns, indexed

    def header(self):
        """What the file's index read of the frame's header."""
        return {"timestep": self.timestep, **self.indexed}

    def read(self):
        where = _Where(self.path, self.position, self.timestep)
        try:
            return _binary_content(*lammps_binary.read(self.path, self.offset, self.position, self.columns))
        except _Refusal as refusal:
            raise where.error(*refusal.args) from None


def _binary_content(header, blocks):
    """A binary frame's content, each array gathered from its blocks of atoms."""
    layout, names, chosen, images = _atom_layout(tuple(header["columns"]))
    arrays = {}
    for name, (kind, indexes) in zip(names, layout):
        if kind == "l":
            raise _Refusal(name, "is a text column, which a binary dump cannot hold")
        # On the blocks the last frame's columns let go, as the text reader makes them.
        arrays[name] = _native().column_array((header["count"],) if len(indexes) == 1
                                              else (header["count"], len(indexes)), kind)
    at = 0
    for block in blocks:
        for name, (kind, indexes) in zip(names, layout):
            out = arrays[name][at:at + len(block)]
            # Columns side by side are taken as a view, others gathered.
            part = block[:, indexes[0]] if len(indexes) == 1 else \
                block[:, indexes[0]:indexes[-1] + 1] if indexes == tuple(range(indexes[0], indexes[-1] + 1)) \
                else block[:, list(indexes)]
            out[...] = part
            if kind == "i":
                wrong = np.flatnonzero(out != part)
                if len(wrong):
                    row = wrong[0] // part.shape[1] if part.ndim == 2 else wrong[0]
                    raise _Refusal(name, f"{part.flat[wrong[0]]!r} of atom {at + row + 1} of the frame is not an "
                                         "integer")
        at += len(block)
    _one_of_twins(arrays, layout, names, header["columns"])
    return _atom_content(arrays, header, chosen, images)


class _Streamed:
    """A frame of a file read in order (a compressed one): parsed while the reader is at it, kept
    after."""

    def __init__(self, stream, header, position):
        self.stream, self.path, self.header, self.position = stream, stream.path, header, position
        self.timestep, self.problem, self.content = header["timestep"], None, None

    def read(self):
        if self.content is None:
            if self.stream is None or self.stream.current() is not self:
                raise RuntimeError(f"frame {self.position} of {self.path} was passed over before it was read")
            self.content = _read_frame(self.stream.reader, self.header, _Where(self.path, self.position),
                                       self.stream.how)
            self.stream = None
        return self.content

    def __getstate__(self):
        self.read()
        return {**self.__dict__, "stream": None}


class _Joined:
    """One frame of a dump written per processor: a piece from each of its files, joined in the order
    of the files."""

    def __init__(self, parts):
        self.parts, self.content = parts, None
        self.path, self.position, self.timestep = parts[0].path, parts[0].position, parts[0].timestep
        # Streamed pieces cannot be read twice: the frame is kept once joined.
        self.kept = any(isinstance(part, _Streamed) for part in parts)

    @property
    def problem(self):
        return any(part.problem for part in self.parts) if self.content is None else None

    def read(self):
        if self.content is not None:
            return self.content
        joined = _join(self.parts, [part.read() for part in self.parts])
        if self.kept:
            self.content, self.parts = joined, None
        return joined

    def __getstate__(self):
        if self.kept:
            self.read()
        return self.__dict__


_JOINED = "the files are joined as the pieces of a dump written per processor, their first steps being the same"


def _join(parts, contents):
    """The pieces' contents as one frame: arrays end to end, every other item the same in each."""
    first, joined = contents[0], {}
    for key, value in first.items():
        if isinstance(value, np.ndarray):
            joined[key] = np.concatenate([content[key] for content in contents])
        elif isinstance(value, dict):
            for part, content in zip(parts[1:], contents[1:]):
                if content[key].keys() != value.keys() or \
                        any(content[key][name].shape[1:] != array.shape[1:] for name, array in value.items()):
                    raise InputError(part.path, part.timestep, "-", f"its columns are not those of {parts[0].path}"
                                                                    f" at this step ({_JOINED})")
            joined[key] = {name: np.concatenate([content[key][name] for content in contents]) for name in value}
        else:
            for part, content in zip(parts[1:], contents[1:]):
                if not (content[key] == value or (content[key] is None and value is None)):
                    what = "BOX BOUNDS" if key == "box" else key
                    raise InputError(part.path, part.timestep, what, f"{content[key]} differs from {value} in "
                                                                     f"{parts[0].path} at this step ({_JOINED})")
            joined[key] = value
    del contents  # the pieces' own arrays go before the joined ones are checked
    ids = joined.get("columns", {}).get("id")
    if ids is not None and ids.ndim == 1 and len(ids):
        twice = _repeated(ids)
        if twice is not None:
            holders = [part.path for part in parts if twice in part.read()["columns"]["id"]][:2]
            raise InputError(holders[-1], parts[0].timestep, "id", f"atom id {twice} is also in {holders[0]} at "
                                                                   f"this step ({_JOINED})")
    return joined


def _repeated(ids):
    """An id that appears more than once, or None."""
    # A count per id up to the largest is a linear pass; ids far sparser than the atoms are sorted.
    if ids.max() <= 4 * len(ids) + 1024:
        twice = np.flatnonzero(np.bincount(ids) > 1)
        return int(twice[0]) if len(twice) else None
    ordered = np.sort(ids)
    twice = np.flatnonzero(ordered[1:] == ordered[:-1])
    return int(ordered[twice[0]]) if len(twice) else None


class _Failed:
    """A contact frame whose header could not be read: it stops the run at the first atom frame it
    could belong to."""

    timestep = None

    def __init__(self, error):
        self.problem = error

    def read(self):
        raise self.problem


class _Stream:
    """The frames of one file in order. Moving on reads the frame before first if a loader still
    holds it, and passes over it otherwise."""

    def __init__(self, path, section, how=None):
        self.path, self.section, self.how = path, section, how
        self.reader = _call(_Where(path, 0), _native().Reader, path, section)
        self.current = lambda: None
        self.count = 0

    def __iter__(self):
        while True:
            held = self.current()
            if held is not None and held.content is None:
                held.read()
            del held
            header = _call(_Where(self.path, self.count), self.reader.next_header)
            if header is None:
                self.close()
                return
            part = _Streamed(self, header, self.count)
            self.current = weakref.ref(part)
            self.count += 1
            yield part
            del part  # so that only the loaders that hold it keep it alive

    def close(self):
        if self.reader is not None:
            self.reader.close()
            self.reader = None

    def finish(self):
        """Reads to the end (the frames left passed over), which checks the CRC; once the frames
        have all been taken, that was done on the way."""
        if self.reader is not None:
            _call(_Where(self.path, self.count), self.reader.finish)
            self.close()


class LammpsLoader:
    """One atom frame and its contact frame, if any."""

    def __init__(self, index, atoms, contacts=None, units=None, topology=None):
        self.index, self.atoms, self.contacts, self.units = index, atoms, contacts, units
        self.topology = topology

    @property
    def timestep(self):
        return self.atoms.timestep

    def outline(self):
        """(timestep, time, particles, contacts) as the frame's headers give them, its data lines
        passed over (a listing of a long dump costs its headers); None where a header is not at hand."""
        atoms = _header(self.atoms)
        contacts = _header(self.contacts) if self.contacts is not None and not isinstance(
            self.contacts, _NoContactFrame) else {"count": 0}
        if atoms is None or contacts is None:
            return None
        return atoms["timestep"], atoms.get("time"), atoms["count"], contacts["count"]

    def load(self):
        frame = frame_of(self.atoms.read(), self.atoms.path, self.index, self.units)
        _attach_contacts(frame, self.contacts)
        return frame if self.topology is None else self.topology(frame)


def _header(part):
    """The header of a frame's part, the pieces of a joined one summed; None for a damaged one."""
    if isinstance(part, _Joined):
        pieces = [_header(piece) for piece in part.parts or ()]
        if not pieces or None in pieces:
            return None
        return {**pieces[0], "count": sum(piece["count"] for piece in pieces)}
    if isinstance(part, _Streamed):
        return part.header
    if isinstance(part, (_AtOffset, _BinaryAt)) and not part.problem:
        return part.header()
    return None


def frame_of(content, path, index, units=None):
    """The Frame of an atom frame's parsed content."""
    columns = dict(content["columns"])
    return Frame(source=path, index=index, timestep=content["timestep"], positions=content["positions"],
                 columns=columns, box=content["box"], wrapped=content["wrapped"], time=content.get("time"),
                 units=units, default_group=next((name for name in GROUP_COLUMNS if name in columns), GROUP_COLUMNS[0]),
                 ids_by_row="id" not in columns, held_images=content.get("held_images"))


class _NoContactFrame:
    """The contacts of a frame whose timestep the dump local skipped (written less often)."""


def _attach_contacts(frame, part):
    """The pairs of a dump local's frame (none without one) on a frame of atoms."""
    frame.no_contact_frame = isinstance(part, _NoContactFrame)
    if part is not None and not frame.no_contact_frame:
        contacts = part.read()
        frame.contacts, frame.contact_kinds = contacts["contacts"], contacts["contact_kinds"]
        frame.contact_values = dict(contacts["contact_values"])
    else:
        frame.contacts, frame.contact_kinds = np.zeros((0, 2), np.int64), np.zeros(0, np.int64)


def _with_contact_frames(frames, contacts):
    """(frame, its contact frame or None) for frames with a `timestep` and contact parts in step order:
    each contact frame goes to the frame of its timestep; a damaged one stops the run at the first
    frame it could belong to. Parts are let go before moving on, so that a streamed contact frame
    that no frame holds is passed over."""
    waiting = next(contacts, None)
    while True:
        atoms = None
        atoms = next(frames, None)
        if atoms is None:
            return
        while (waiting is not None and not waiting.problem and atoms.timestep is not None
               and waiting.timestep < atoms.timestep):
            waiting = None
            waiting = next(contacts, None)
        matched = waiting is not None and (waiting.timestep == atoms.timestep or (waiting.problem and (
            waiting.timestep is None or atoms.timestep is None or waiting.timestep <= atoms.timestep)))
        yield atoms, waiting if matched else None


class LammpsSeries(Series):
    @property
    def loads_on_every_core(self):
        # Held to one thread (VIREO20_THREADS=1), the reader leaves the other cores to a read ahead.
        return _native().thread_count() > 1

    def __init__(self, paths, contact_paths=(), source=None, contact_ids=None, topology=None, columns=None):
        """`paths`: the atom dump's files in order; `contact_paths` those of its dump local, whose pairs
        are the columns `contact_ids` (default the first two); `topology(frame)`, if given, completes
        each frame (from a data file, say) and must pickle; `columns` names a binary dump's columns in
        the older format."""
        self.paths, self.contact_paths = list(paths), list(contact_paths or ())
        self.columns = tuple(columns) if columns is not None else None
        self.topology = topology
        self.source = source or self.paths[0]
        self.contact_ids = tuple(contact_ids) if contact_ids is not None else None
        self._indexes, self._streams, self._lengths, self._last = {}, {}, {}, {}
        self._in_order = False

    def read_in_order(self):
        # A plain file is then read as a compressed one is, in one pass, without indexing it first.
        self._in_order = True
        return self

    def _index(self, path):
        if path not in self._indexes:
            self._indexes[path] = _call(_Where(path, 0), _native().index, path)
        return self._indexes[path]

    def _parts(self, path, section, stream_plain=True):
        if _binary(path):
            frames, _, problem = lammps_binary.index(path)
            for position, (offset, timestep, count, time) in enumerate(frames):
                yield _BinaryAt(path, offset, position, timestep, self.columns, {"count": count, "time": time})
            if problem is not None:
                yield _Failed(problem)
            return
        if _compressed(path) or (self._in_order and stream_plain):
            stream = _Stream(path, section, self._how(section))
            self._streams[path] = stream
            yield from stream
            return
        offsets, timesteps, _ = self._index(path)
        for position, (offset, timestep) in enumerate(zip(offsets.tolist(), timesteps)):
            part = _AtOffset(path, section, offset, position, timestep, self._how(section))
            if position == len(offsets) - 1:
                self._last[path] = part  # finish() need not read it again if it was read here
            yield part
            del part

    def _how(self, section):
        """How a frame of `section` is read (see _read_frame)."""
        if section == "ENTRIES":
            return self.contact_ids
        return LABELLED_TYPES if self._labelled_types else None

    @functools.cached_property
    def _labelled_types(self):
        return _labelled_types(self.paths[0])

    def _joined_parts(self, group, section):
        """The frames of a group of files (a file, or the pieces of a dump written per processor)."""
        if len(group) == 1:
            yield from self._parts(group[0], section)
            return
        # Plain pieces are read frame by frame from their offsets even in order: a streamed file keeps
        # pieces of up to 16 MB ahead of its parse, which over many files adds up to more than the frame.
        streams = [self._parts(path, section, stream_plain=False) for path in group]
        while True:
            parts = [next(stream, None) for stream in streams]
            present = [part for part in parts if part is not None]
            if not present:
                return
            first = present[0]
            for path, part in zip(group, parts):
                if part is None:
                    raise InputError(path, first.timestep, "-", f"the file ends before step {first.timestep}, "
                                                                f"which {first.path} holds ({_JOINED})")
                if None not in (part.timestep, first.timestep) and part.timestep != first.timestep:
                    raise InputError(path, part.timestep, "timestep", f"{first.path} holds step {first.timestep} "
                                                                      f"at this place ({_JOINED})")
            yield _Joined(parts)
            del parts, present, first, part

    @functools.cached_property
    def units(self):
        return _units(self.paths[0])

    @functools.cached_property
    def _groups(self):
        return pieces(self.paths), pieces(self.contact_paths) if self.contact_paths else []

    def _contact_parts(self):
        for group in self._groups[1]:
            try:
                yield from self._joined_parts(group, "ENTRIES")
            except InputError as error:
                yield _Failed(error)
                return

    def _atom_parts(self):
        groups = self._groups[0]
        for group in groups:
            empty = True
            for part in self._joined_parts(group, "ATOMS"):
                empty = False
                yield part
                del part
            if empty and len(groups) > 1:
                # One file of a series written step by step, left empty: its step was never written.
                raise InputError(group[0], "-", "-", "no frames: the file holds no 'ITEM: TIMESTEP'")

    def loaders(self):
        count = 0
        for atoms, contacts in _with_contact_frames(self._atom_parts(), self._contact_parts()):
            missing = contacts is None and self.contact_paths
            yield LammpsLoader(count, atoms, _NoContactFrame() if missing else contacts, self.units, self.topology)
            count += 1
            del atoms, contacts
        if count == 0:
            what = "the file holds" if len(self.paths) == 1 else "none of its files holds"
            raise InputError(self.source, "-", "-", f"no frames: {what} an 'ITEM: TIMESTEP'")

    @property
    def cheap_length(self):
        """Whether len() is worth it for a progress bar: a compressed dump is inflated to count its
        frames."""
        return not any(_compressed(path) for path in self.paths)

    def _length(self, path):
        if _binary(path):
            return len(lammps_binary.index(path)[0])
        if not _compressed(path):
            return len(self._index(path)[0])
        if path not in self._lengths:
            reader = _call(_Where(path, 0), _native().Reader, path, "ATOMS")
            count, last = 0, None
            try:
                while (header := _call(_Where(path, count), reader.next_header)) is not None:
                    count, last = count + 1, header["timestep"]
            except InputError as error:
                # A dump still being written, which --frames :-1 reads: counted up to its cut, the
                # frame it cuts included, whether it cuts its data (its header counted), its header,
                # or between frames (no byte of the frame there).
                if not getattr(error, "cut_short", False):
                    raise
                count += error.step == "-" or error.step != last
            finally:
                reader.close()
            self._lengths[path] = count
        return self._lengths[path]

    def __len__(self):
        return sum(self._length(group[0]) for group in self._groups[0])

    def notes(self):
        # A machine that stops while a file is written may leave zeros where its last blocks' data
        # never arrived; the reader takes the text before them as the whole file.
        found = []
        for path in [*self.paths, *self.contact_paths]:
            if _binary(path):
                lammps_binary.index(path)   # finds the zeros after the last frame
                tail = lammps_binary.ZERO_TAILS.get(path, 0)
            elif _compressed(path):
                tail = 0   # zeros after a gzip or zstd stream are passed over by the inflaters, as gzip does
            else:
                tail = os.path.getsize(path) - _call(_Where(path, 0), _native().text_size, path)
            if tail > 0:
                found.append(f"{path}: the file ends in {tail} zero bytes, as one does that was being written "
                             "when its machine stopped: it is read up to them, and what was written there is lost")
        return found

    def finish(self):
        """Checks that each file was read to its end intact: a compressed stream's checksum (and gzip's
        length), and that no file ends inside a frame."""
        for path, section in [(path, "ATOMS") for path in self.paths] + \
                [(path, "ENTRIES") for path in self.contact_paths]:
            if _binary(path):
                continue  # its index followed every frame to the file's end
            if _compressed(path) or path in self._streams:
                stream = self._streams.pop(path, None) or _Stream(path, section, self._how(section))
                stream.finish()
                continue
            offsets, _, _ = self._index(path)
            last = self._last.get(path)
            if len(offsets) and not (last is not None and last.read_whole):
                where = _Where(path, len(offsets) - 1)
                reader = _call(where, _native().Reader, path, section, int(offsets[-1]))
                try:
                    _call(where, reader.finish)
                finally:
                    reader.close()


def with_contacts(series, contacts, contact_ids=None):
    """Another reader's frames (VTK files that a DEM code wrote beside its dump local), each with the
    contact frame of its timestep from the dump local `contacts` (a file, its files written one per
    step, their folder or a pattern), whose pairs are the columns `contact_ids` (default the first
    two). The series' loaders must know their timesteps before they load (`options["timestep"]`).
    Without `contacts`, the series itself."""
    if contacts is None:
        if contact_ids is not None:
            raise ValueError("contact_ids goes with contacts")
        return series
    if contact_ids is not None:
        contact_ids = tuple(contact_ids)
        if len(contact_ids) != 2 or len(set(contact_ids)) != 2:
            raise ValueError("contact_ids names the two different columns of a contact dump's atom ids")
    from .inputs import expand
    from .read_vtk import ContactFiles, is_contact_path
    contacts = expand(contacts)
    if is_contact_path(contacts):
        return _WithContacts(series, ContactFiles(contacts, contact_ids))
    _, paths = _given_dump(contacts, "ENTRIES")
    return _WithContacts(series, LammpsSeries([], paths, paths[0], contact_ids))


class _WithContacts(Series):
    def __init__(self, series, contacts):
        self.series, self.contacts, self.source = series, contacts, series.source
        self._steps = None

    @property
    def loads_on_every_core(self):
        return self.series.loads_on_every_core

    @property
    def cheap_length(self):
        return getattr(self.series, "cheap_length", True)

    def notes(self):
        return list(self.series.notes()) + list(self.contacts.notes())

    def loaders(self):
        frames = (_ContactsOf(loader) for loader in self.series.loaders())
        # Frames and contact frames at no common step (a .pvd's times against a dump's steps, say)
        # would give no contact line and no word of why: finish() says so.
        self._steps = {"frames": [], "matched": 0}
        for loader, part in _with_contact_frames(frames, self.contacts._contact_parts()):
            loader.contacts = part if part is not None else _NoContactFrame()
            self._steps["frames"].append(loader.timestep)
            self._steps["matched"] += part is not None
            yield loader
            del loader, part

    def read_in_order(self):
        self.series.read_in_order()
        self.contacts.read_in_order()
        return self

    def finish(self):
        self.series.finish()
        self.contacts.finish()
        if self._steps and self._steps["frames"] and not self._steps["matched"]:
            frames = self._steps["frames"]
            raise InputError(self.contacts.source, "-", "timestep", "no contact frame is at the step of a frame "
                                                                    f"(the frames' steps are {frames[0]} to "
                                                                    f"{frames[-1]}): the contacts were dumped at "
                                                                    "other steps, or the frames' steps are times")

    def files(self):
        return [*(self.series.files() if hasattr(self.series, "files") else []), *self.contacts.contact_paths]

    def __len__(self):
        return len(self.series)


class _ContactsOf:
    """A loader of another reader's series, with the contact frame of its timestep."""

    def __init__(self, loader):
        self.loader, self.index, self.contacts = loader, loader.index, None
        self.timestep = loader.options.get("timestep") if hasattr(loader, "options") else loader.timestep

    def load(self):
        frame = self.loader.load()
        _attach_contacts(frame, self.contacts)
        return frame
