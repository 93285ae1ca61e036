"""Input from AtomEye's CFG files, as LAMMPS's `dump cfg` (plain, `cfg/gz`, `cfg/zstd`), OVITO and
Atomsk write them: one configuration a file, the step the number that ends its name (`dump.2000.cfg`)
or its place in the series (a list of files, a quoted pattern, a folder's `.cfg` files).

A header of `key = value` lines: `Number of particles`, the length scale `A`, the cell's edge vectors
`H0(i,j)` (row i the i-th edge), `.NO_VELOCITY.`, `entry_count` and the names of the
`auxiliary[k]` columns. Extended CFG (with `entry_count`): each atom's line holds its scaled
coordinates, then (without `.NO_VELOCITY.`) three velocity entries, then the auxiliary columns; a
mass line and an element line before them give the atoms after them their mass and element. Standard
CFG: each line `mass element s1 s2 s3 v1 v2 v3`. Velocity entries are kept as the file gives them,
as `cfg_velocity` (the format leaves their unit to its writer); LAMMPS and OVITO write none.

Positions are `A (s1 a + s2 b + s3 c)` from the origin (the format has none), but where `A = 10`:
LAMMPS writes its unwrapped `xsu ysu zsu` so, as (s - 0.5) / 10 + 0.5 in a cell ten times as large,
which is undone (the cell is `H0`, the coordinates LAMMPS's). The cell is periodic in
every direction (as OVITO takes it; option `box` gives another); positions are taken as wrapped into
it unless they are LAMMPS's unwrapped ones or a scaled coordinate lies outside [-0.1, 1.1) (LAMMPS's wrapped
ones stray past the faces between its neighbour list rebuilds), or image flags
`ix iy iz` are among the columns. Columns: the auxiliary ones by name, LAMMPS's triplets joined (`vx vy vz` as
`velocity`), integers where LAMMPS's are (`id`, `mol`, `type`, `ix` ..., `i_NAME`); `mass` from the
mass lines; elements as `element` labels, or as `type` where all are numbers.
"""
import os
import re

import numpy as np

from .frames import STRAY, Box, InputError
from .read_lammps import _from_scaled, _kind
from .reading import (COMPRESSED, FrameLoader, Loaders, files_ending, inflated, kept_bytes, named_frame, step_files,
                      text_head)

EXTENSIONS = (".cfg", ".cfg.gz", ".cfg.zst")
_KEY = re.compile(r"^\s*([^=]+?)\s*=\s*(\S+)")
_MATRIX = re.compile(r"^(H0|Transform|eta)\(([123]),([123])\)$")
_UNIT = re.compile(r"\s*\[[^\]]*\]\s*$")
LABEL_BYTES = 32
HEAD_BYTES = 1 << 16
UNWRAP_EXPAND = 10.0

READS_SEVERAL_FILES = True


def sniff(path, head):
    if os.path.isdir(path):
        return bool(files_ending(path, EXTENSIONS))
    if head.startswith(COMPRESSED):
        return os.fspath(path).endswith(EXTENSIONS)
    lines = [line.strip() for line in head.splitlines()]
    first = next((line for line in lines if line and not line.startswith(b"#")), b"")
    return first.startswith(b"Number of particles") and b"=" in first


def open_series(path, box=None, group_by=None, stem=None, contacts=None, contact_ids=None, topology=None,
                atom_style=None):
    """The configurations of CFG files, one a frame; see the module's text (`stem` picks a folder's
    files by the start of their names; `contacts` a LAMMPS dump local whose frames go to the steps of
    their timesteps). With `topology` (a LAMMPS data file, `atom_style` naming its style where its
    Atoms line does not), each atom takes by id what its frame lacks (molecules, bonds), as a dump's."""
    files = step_files(path, EXTENSIONS, "CFG files", stem)
    from .lammps_data import completion as completing
    completion = completing(topology, atom_style, group_by)
    loaders = [FrameLoader(read_frame, file, k, {"timestep": number if number is not None else k, "box": box,
                                                  "group_by": group_by, "topology": completion})
               for k, (file, number) in enumerate(files)]
    from .read_lammps import with_contacts
    return with_contacts(Loaders(files[0][0] if len(files) > 1 else path, loaders), contacts, contact_ids)


def _head(path):
    """The file's first bytes, inflated: enough for any header."""
    try:
        return text_head(path, HEAD_BYTES)
    except OSError as error:
        raise InputError(path, "-", "-", f"cannot be read: {error}") from None


class _Header:
    """The `key = value` lines before the atoms: the count, the cell, the columns."""

    def __init__(self, path, step, text):
        self.count, self.scale, self.velocities, self.entries, self.names = None, 1.0, True, None, {}
        self.matrices = {"H0": np.zeros((3, 3)), "Transform": np.eye(3), "eta": np.zeros((3, 3))}
        self.lines, at = 0, 0
        while at < len(text):
            end = text.find(b"\n", at)
            end = len(text) if end < 0 else end
            line = text[at:end].decode(errors="replace").strip()
            if line and not line.startswith("#") and line != ".NO_VELOCITY." and "=" not in line:
                break
            self.lines += 1
            if line == ".NO_VELOCITY.":
                self.velocities = False
            elif "=" in line and not line.startswith("#"):
                self._set(path, step, line)
            at = end + 1
        self.body = min(at, len(text))
        if self.count is None:
            raise InputError(path, step, "-", "no 'Number of particles = N' line")
        for name in ("Transform", "eta"):
            if not np.array_equal(self.matrices[name], np.eye(3) if name == "Transform" else np.zeros((3, 3))):
                raise InputError(path, step, name, f"a cell given by H0 and {name} is not read: "
                                                   "write it as H0 alone (as LAMMPS and OVITO do)")

    def _set(self, path, step, line):
        pair = _KEY.match(line)
        if pair is None:
            raise InputError(path, step, "-", f"the header line {line!r} is not 'name = value'")
        key, value = pair.groups()
        if key.startswith("auxiliary["):
            name = _UNIT.sub("", line.split("=", 1)[1]).strip()
            self.names[key] = name
            return
        matrix = _MATRIX.match(key)
        if not (matrix or key in ("Number of particles", "A", "entry_count")):
            return   # another writer's own keys
        try:
            number = float(value)
        except ValueError:
            raise InputError(path, step, key, f"is {value!r}, not a number") from None
        if matrix:
            self.matrices[matrix.group(1)][int(matrix.group(2)) - 1, int(matrix.group(3)) - 1] = number
        elif key == "Number of particles":
            self.count = self._whole(path, step, key, number)
        elif key == "A":
            self.scale = number
        elif key == "entry_count":
            self.entries = self._whole(path, step, key, number)

    @staticmethod
    def _whole(path, step, key, number):
        if not number.is_integer() or number < 0:
            raise InputError(path, step, key, f"is {number!r}, not a count")
        return int(number)

    def columns(self, path, step):
        """(name, parse kind) of each entry of an atom's line."""
        if self.entries is None:
            return [("mass", "f"), ("element", "l"), *((f"s{k}", "f") for k in "123"),
                    *((f"cfg_velocity_{axis}", "f") for axis in "xyz")]
        first = [f"s{k}" for k in "123"] + ([f"cfg_velocity_{axis}" for axis in "xyz"] if self.velocities else [])
        given = [self.names.get(f"auxiliary[{k}]") for k in range(self.entries - len(first))]
        if self.entries < len(first) or None in given or len(self.names) != len(given):
            raise InputError(path, step, "entry_count", f"is {self.entries}, but {len(first)} entries and "
                                                        f"{len(self.names)} auxiliary columns are named")
        return [(name, "f") for name in first] + [(name, _kind(name)) for name in given]


def _atom_lines(path, step, body, header):
    """(the atom lines alone, moved to the front of `body`; each atom's mass and element line words,
    or None for standard CFG)."""
    from ._lammpsdump import take_word_lines
    entries = header.entries if header.entries is not None else 8
    lines, size, labels, texts, odd = take_word_lines(body, entries, 2 if header.entries is not None else 0)
    if odd is not None:
        line, count = header.lines + odd[0], odd[1]
        why = ", after its mass line and its element line" if count == 1 else \
            " (a second configuration: a CFG file holds one)" if _line(path, line).startswith(b"Number of") else ""
        raise InputError(path, step, "-", f"line {line + 1} has {count} values where an atom's line has {entries}{why}")
    if lines != header.count:
        raise InputError(path, step, "-", f"{lines} atom lines where 'Number of particles' says {header.count}")
    if header.entries is None:
        return body[:size], None
    if lines and labels[0] < 0:
        raise InputError(path, step, "-", "the first atom's line comes before any mass line and element line")
    words = [text.split(b"\n")[1:] for text in texts]
    return body[:size], (words, labels)


def _line(path, number):
    """Line `number` (from 0) of a file, blanks stripped: for an error's words."""
    lines = _body(path, 0).tobytes().split(b"\n")
    return lines[number].strip() if number < len(lines) else b""


def _per_atom(path, step, words, labels):
    """The masses of the atoms and their elements (or type numbers) from the distinct pairs of lines."""
    try:
        masses = np.array([float(mass) for mass, _ in words], dtype=np.float64)
    except ValueError:
        bad = next(mass for mass, _ in words if not _is_number(mass))
        raise InputError(path, step, "mass", f"{bad.decode(errors='replace')!r} is not a number") from None
    elements = [element[:LABEL_BYTES] for _, element in words]
    if all(element.isdigit() for element in elements):
        return masses[labels], "type", np.array([int(e) for e in elements], dtype=np.int64)[labels]
    return masses[labels], "element", np.array(elements)[labels]


def _is_number(word):
    try:
        float(word)
        return True
    except ValueError:
        return False


def _body(path, at):
    """The file's text from byte `at`, writable, ending with a newline."""
    try:
        with open(path, "rb") as stream:
            compressed = stream.read(4).startswith(COMPRESSED)
            if not compressed:
                size = os.fstat(stream.fileno()).st_size - at
                body = kept_bytes(size + 1)
                stream.seek(at)
                if stream.readinto(memoryview(body)[:size]) != size:
                    raise InputError(path, "-", "-", "the file is shorter than when it was read: it changed")
        if compressed:
            text = inflated(path)[at:]
            body = np.empty(len(text) + 1, np.uint8)
            body[:len(text)] = np.frombuffer(text, np.uint8)
            size = len(text)
    except OSError as error:
        raise InputError(path, "-", "-", f"cannot be read: {error}") from None
    if size and body[size - 1] == 10:
        return body[:size]
    body[size] = 10
    return body


def read_frame(path, index, timestep=None, box=None, group_by=None, topology=None):
    from ._lammpsdump import parse_table
    step = timestep if timestep is not None else index
    header = _Header(path, step, _head(path))
    columns = header.columns(path, step)
    kept, pairs = _atom_lines(path, step, _body(path, header.body), header)
    arrays, fault = parse_table(kept, header.count, len(columns), [(kind, [k]) for k, (_, kind) in enumerate(columns)])
    if fault is not None:
        # The lines were counted above: only a value can be at fault.
        _, row, column, _, value, refusal = fault
        raise InputError(path, step, columns[column][0], f"value '{value}' on atom line {row + 1} "
                                                         f"{refusal or 'is longer than a label may be'}")
    arrays = dict(zip((name for name, _ in columns), arrays))
    if pairs is not None:
        arrays["mass"], name, labels = _per_atom(path, step, *pairs)
        arrays.setdefault(name, labels)
    elif len(arrays["element"]) and np.char.isdigit(arrays["element"]).all():
        arrays.setdefault("type", arrays.pop("element").astype(np.int64))
    if "cfg_velocity_x" in arrays:
        arrays["cfg_velocity"] = np.stack([arrays.pop(f"cfg_velocity_{axis}") for axis in "xyz"], axis=1)
    scaled = np.stack([arrays.pop(f"s{k}") for k in "123"], axis=1)
    edges = header.matrices["H0"]
    if header.scale == UNWRAP_EXPAND:
        # LAMMPS's unwrapped coordinates, squeezed into [0, 1) about the middle of a cell ten times
        # as large: the cell itself and the coordinates LAMMPS had.
        scaled -= 0.5
        scaled *= UNWRAP_EXPAND
        scaled += 0.5
    elif header.scale != 1.0:
        edges = edges * header.scale
    try:
        cell = Box(np.zeros(3), edges, (True, True, True))
    except ValueError as error:
        raise InputError(path, step, "H0", f"{error}") from None
    frame = named_frame(path, index, step, _from_scaled(scaled, cell), arrays, box if box is not None else cell,
                        group_by)
    # LAMMPS wraps atoms back into the box only when it rebuilds its neighbour lists: between, its
    # dump cfg's xs ys zs stray past the faces by up to the neighbour skin.
    inside = header.scale != UNWRAP_EXPAND and ((scaled >= -STRAY) & (scaled < 1.0 + STRAY)).all()
    if box is None and frame.wrapped and not inside:
        frame.wrapped = False   # LAMMPS's xsu ysu zsu: unwrapped already
    return frame if topology is None else topology(frame)
