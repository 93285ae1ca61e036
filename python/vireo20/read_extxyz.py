"""Input from an extended XYZ file (as OVITO, ASE and GPUMD write it): frames of an atom count, a
comment line of key=value pairs, and a line per atom whose columns `Properties=name:kind:count:...`
names (kind S for text, R for real, I for integer, L for logical T/F). The file may be compressed
(gzip, bzip2 or xz, as ASE writes `.xyz.gz`; zstd, as LAMMPS's xyz/zstd): it is then inflated from
its start to find the frames, and again for each frame read that comes before the last one read
(gzip and zstd by the dump reader's inflaters, in a thread of their own).

Positions: `pos`. Box: `Lattice="ax ay az bx by bz cx cy cz"` (edge vectors) from `Origin="x y z"`
(OVITO's; default 0 0 0), periodic along `pbc="T T T"` (every edge where a lattice is given and pbc is
not); positions are taken as wrapped into a periodic box, as these files hold them. Timestep:
`Timestep=` (OVITO's), else the frame's index; `Time=` is the frame's time. LAMMPS's `dump xyz`
(`Atoms. Timestep: N`, no box) is read here too: its step, type numbers as `type`, elements with
the masses MDAnalysis's table gives them where it is installed.

Columns: every other property by its name, but `species` as `element` (labels, which `--mass C=12.011`
names), `vel`, `velo` and `velocities` as `velocity`, `masses` as `mass`, `forces` as `force`,
`initial_charges` (ASE's) and `charges` as `charge`, `molecule`, `molecule_id` and `mol_id` as `mol`
(the groups by default), `Z` as `type` where no type is given, ASE's `momenta` as `velocity` (over
the masses the file or the element table gives); integers and logicals as int64, reals as float64,
texts as labels of up to 32 bytes.
"""
import importlib
import re
import threading
import zlib

import numpy as np

from .frames import Box, InputError
from .reading import FrameLoader, Loaders, NativeText, cached_open, element_masses, kept_bytes, particles_frame

KINDS = "SRIL"
NAMES = {"species": "element", "vel": "velocity", "velo": "velocity", "velocities": "velocity", "masses": "mass",
         "forces": "force", "initial_charges": "charge", "charges": "charge", "molecule": "mol", "molecule_id": "mol",
         "mol_id": "mol"}
LABEL_BYTES = 32
# LAMMPS's dump xyz: its comment line names the step.
_LAMMPS = re.compile(r"\s*Atoms\. Timestep: *(-?\d+)\s*$")
_PAIR = re.compile(r'([A-Za-z_][\w:-]*)\s*=\s*("[^"]*"|\'[^\']*\'|\{[^}]*\}|\S+)')


# Compressed files (ASE writes .xyz.gz, .xyz.bz2 and .xyz.xz as asked, LAMMPS xyz/gz and xyz/zstd),
# by their first bytes.
COMPRESSIONS = {b"\x1f\x8b": "gzip", b"BZh": "bz2", b"\xfd7zXZ\x00": "lzma", b"\x28\xb5\x2f\xfd": "zstd"}
# Inflated natively, by a thread beside the parse (3-4 times Python's zlib); the rest by Python's modules.
NATIVE = ("gzip", "zstd")


def _compression(head):
    return next((name for magic, name in COMPRESSIONS.items() if head.startswith(magic)), None)


def sniff(path, head):
    if _compression(head):
        try:
            with _open(path) as stream:
                head = stream.read(4096)
        except (OSError, EOFError, ValueError, zlib.error):
            return False
    lines = head.split(b"\n", 2)
    return len(lines) >= 2 and lines[0].strip().isdigit() and (
        b"Properties=" in lines[1] or b"Lattice=" in lines[1] or _LAMMPS.match(lines[1].decode(errors="replace")))


def _comment(line):
    """The key=value pairs of a comment line (keys as written; values without their quotes)."""
    return {key: value[1:-1] if value[:1] in "\"'{" else value for key, value in _PAIR.findall(line)}


class _Text:
    """A file's (inflated) text read in blocks, with where each byte stands in it: the frames are
    found in one pass, without seeking back in a compressed stream."""

    def __init__(self, stream):
        self.stream, self.buffer, self.base, self.at = stream, b"", 0, 0

    def _more(self):
        block = self.stream.read(1 << 20)
        if not block:
            return False
        self.base, self.buffer, self.at = self.base + self.at, self.buffer[self.at:] + block, 0
        return True

    def tell(self):
        return self.base + self.at

    def readline(self):
        while True:
            end = self.buffer.find(b"\n", self.at)
            if end >= 0 or not self._more():
                end = len(self.buffer) - 1 if end < 0 else end
                line, self.at = self.buffer[self.at:end + 1], end + 1
                return line

    def rest_is_blank(self):
        while not self.buffer[self.at:].strip():
            self.at = len(self.buffer)
            if not self._more():
                return True
        return False

    def skip_lines(self, count):
        """Moves past `count` lines; answers how many it could not find (a last line without its
        newline, which may be cut in a value, is not one)."""
        while count:
            found = self.buffer.count(b"\n", self.at)
            if found >= count:
                for _ in range(count):
                    self.at = self.buffer.index(b"\n", self.at) + 1
                return 0
            count -= found
            self.at = len(self.buffer)
            if not self._more():
                return count
        return 0


def _open(path):
    """The file's bytes as a stream, inflated where it is compressed."""
    with open(path, "rb") as stream:
        compression = _compression(stream.read(8))
    if compression in NATIVE:
        return NativeText(path)
    return open(path, "rb") if compression is None else importlib.import_module(compression).open(path, "rb")


def frame_index(path):
    """(where the frame's atom lines start and end, atom count, comment) of each frame, and the
    InputError of a frame that does not fill the file as its count says (None): the frames before it
    are read. Kept while the file is unchanged."""
    return cached_open(path, _scan)


def _scan(path):
    frames, problem = [], None
    with _open(path) as stream:
        text = _Text(stream)
        try:
            while True:
                where = f"#{len(frames)} of the file"
                line = text.readline()
                if not line.strip():
                    if not line or text.rest_is_blank():
                        break  # blank lines at the end
                    raise InputError(path, where, "-", "a blank line where a frame's atom count should be")
                try:
                    count = int(line)
                except ValueError:
                    shown = line.strip()[:40].decode(errors="replace")
                    raise InputError(path, where, "-", f"'{shown}' is not an atom count") from None
                comment = text.readline().decode(errors="replace")
                start = text.tell()
                missing = text.skip_lines(count)
                if missing:
                    raise InputError(path, where, "-", f"the file ends {missing} atom lines before the frame's end "
                                                       "(cut short?)")
                frames.append((start, text.tell(), count, comment))
        except (OSError, EOFError, zlib.error) as error:   # a damaged compressed stream
            problem = InputError(path, f"#{len(frames)} of the file", "-", f"the compressed file is damaged or cut "
                                                                           f"short ({error})")
        except InputError as error:
            problem = error
    return frames, problem


def open_series(path, group_by=None, topology=None, atom_style=None):
    """The frames of an extended XYZ file; `group_by` names the default group column instead of mol.
    With `topology` (a LAMMPS data file, `atom_style` naming its style where its Atoms line does not),
    each atom takes the columns its frame lacks by id, or, in a file without ids (LAMMPS's dump xyz),
    in the order of the ids; a frame without a box takes the data file's (see `lammps_data`)."""
    frames, problem = frame_index(path)
    options = {"group_by": group_by}
    if topology is not None:
        from .lammps_data import completion
        options["topology"] = completion(topology, atom_style, group_by)
    # Each loader carries where its frame lies: a Dask worker reads its own frames without indexing
    # the whole file again.
    loaders = [FrameLoader(read_frame, path, k, {**options, "where": where}) for k, where in enumerate(frames)]
    if problem is not None:
        loaders.append(FrameLoader(_raise, path, len(frames), {"problem": problem}))
    return Loaders(path, loaders)


def _raise(path, index, problem):
    raise problem


def _box(pairs, path, step):
    if "Lattice" not in pairs:
        return None
    try:
        edges = np.array(pairs["Lattice"].split(), dtype=np.float64).reshape(3, 3)
        origin = np.array(pairs.get("Origin", "0 0 0").split(), dtype=np.float64).reshape(3)
        periodic = [flag in ("T", "True", "true", "1") for flag in pairs.get("pbc", "T T T").split()]
        if len(periodic) != 3:
            raise ValueError("pbc needs three flags")
        return Box(origin, edges, periodic)
    except ValueError as error:
        raise InputError(path, step, "Lattice", f"not a box ({error})") from None


def _properties(text, path, step):
    """(name, kind, count) of each property of `Properties=`."""
    parts = text.split(":")
    if len(parts) % 3:
        raise InputError(path, step, "Properties", f"'{text}' is not name:kind:count triples")
    found = []
    for name, kind, count in zip(parts[::3], parts[1::3], parts[2::3]):
        if kind not in KINDS or not count.isdigit() or int(count) < 1:
            raise InputError(path, step, "Properties", f"'{name}:{kind}:{count}' is not name:kind:count with kind "
                                                       "S, R, I or L")
        found.append((name, kind, int(count)))
    return found


def read_frame(path, index, where=None, group_by=None, topology=None):
    start, end, count, comment = where if where is not None else frame_index(path)[0][index]
    pairs, lammps = _comment(comment), _LAMMPS.match(comment)
    step = lammps.group(1) if lammps else pairs.get("Timestep", index)
    try:
        step = int(step)
    except ValueError:
        raise InputError(path, index, "Timestep", f"'{step}' is not a step") from None
    properties = _properties(pairs.get("Properties", "species:S:1:pos:R:3"), path, step)
    arrays = _columns(frame_text(path, start, end, step), count, properties, path, step)
    if "pos" not in arrays:
        raise InputError(path, step, "Properties", "names no positions (pos:R:3)")
    positions = arrays.pop("pos")
    if positions.ndim != 2 or positions.shape[1] != 3 or positions.dtype != np.float64:
        raise InputError(path, step, "pos", "positions are three reals (pos:R:3)")
    if "type" not in arrays and "Z" in arrays:
        arrays["type"] = arrays.pop("Z")
    _velocities_of_momenta(arrays)
    # The ids of a file without them are its line numbers, which a data file's own ids replace.
    guessed = (*(_lammps_columns(arrays) if lammps else ()), *(() if "id" in arrays else ("id",)))
    box = _box(pairs, path, step)
    frame = particles_frame(path, index, step, positions, arrays, box, wrapped=True, default_group=group_by or "mol")
    frame.guessed = guessed
    if "Time" in pairs:
        try:
            frame.time = float(pairs["Time"])
        except ValueError:
            raise InputError(path, step, "Time", f"'{pairs['Time']}' is not a time") from None
    return frame if topology is None else topology(frame)


def frame_text(path, start, end, step):
    """Bytes [start, end) of a file's text, inflated where it is compressed, in a buffer the native
    parser takes, ending with a newline (one put after a last line that has none)."""
    size = end - start
    text = kept_bytes(size + 1)
    try:
        read = cached_open(path, _Inflated).read_into(start, text[:size]) if _compressed(path) else \
            _read_into(path, start, text[:size])
    except (OSError, EOFError, zlib.error) as error:
        raise InputError(path, step, "-", f"the compressed file is damaged or cut short ({error})") from None
    if read != size:
        raise InputError(path, step, "-", "the file ends before this frame's end: it changed after it was indexed")
    if not size or text[size - 1] == 10:
        return text[:size]   # a frame of no atoms (LAMMPS's dump xyz before a pour) has no line
    text[size] = 10
    return text


def _compressed(path):
    with open(path, "rb") as stream:
        return _compression(stream.read(8)) is not None


def _read_into(path, start, text):
    with open(path, "rb") as stream:
        stream.seek(start)
        return stream.readinto(memoryview(text))


class _Inflated:
    """A compressed file kept open per process, inflated on from the last frame read: frames read in
    order cost one pass over the file, an earlier frame a new one from its start."""

    def __init__(self, path):
        self.path, self.stream, self.lock = path, None, threading.Lock()

    def read_into(self, start, text):
        with self.lock:
            if self.stream is None or self.stream.tell() > start:
                self.close()
                self.stream = _open(self.path)
            self.stream.seek(start)
            return self.stream.readinto(memoryview(text))

    def close(self):
        if self.stream is not None:
            self.stream.close()
            self.stream = None


def _lammps_columns(arrays):
    """A LAMMPS dump xyz names each atom by its type number, or by the element dump_modify gave its
    type: numbers become the `type` column (which `--mass 1=...` names); elements get the masses
    MDAnalysis's table gives them, where it is installed, as it did when it read these files."""
    labels = arrays.pop("element")
    if len(labels) and np.char.isdigit(labels).all():
        arrays["type"] = labels.astype(np.int64)
        return ()
    arrays["element"] = labels
    names, rows = np.unique(labels, return_inverse=True)
    table = element_masses(names)
    if len(table) and not np.isnan(table).any():
        arrays["mass"] = table[rows]
        return ("mass",)
    return ()


def _velocities_of_momenta(arrays):
    """ASE writes its atoms' momenta, not velocities: velocity = momenta / mass, as ASE's own reading
    gives it, by the file's masses or the element table's (left as momenta where a mass is unknown)."""
    momenta = arrays.get("momenta")
    if "velocity" in arrays or momenta is None or momenta.ndim != 2 or momenta.shape[1] != 3:
        return
    masses = arrays.get("mass")
    if masses is None and "element" in arrays:
        names, rows = np.unique(arrays["element"], return_inverse=True)
        masses = element_masses(names)[rows]
    if masses is not None and np.all(np.asarray(masses, np.float64) > 0):
        arrays["velocity"] = arrays.pop("momenta") / np.asarray(masses, np.float64)[:, None]


def _columns(text, count, properties, path, step):
    """The frame's arrays by name, parsed by the dump reader's native parser over the cores: reals
    to the double Python's float() gives, integers as whole numbers (a fraction refused)."""
    from ._lammpsdump import parse_table
    layout, names, at = [], [], 0
    for name, kind, width in properties:
        columns = list(range(at, at + width))
        at += width
        names += [NAMES.get(name, name)] * width
        layout += [("f" if kind == "R" else "i", columns)] if kind in "RI" else [("l", [k]) for k in columns]
    arrays, fault = parse_table(text, count, at, layout)
    if fault is not None:
        problem, row, column, values, value, refusal = fault
        if problem == "bad_value" and refusal:
            raise InputError(path, step, names[column], f"value '{value}' on atom line {row + 1} {refusal}")
        if problem == "bad_value":
            raise InputError(path, step, names[column], f"labels longer than {LABEL_BYTES} bytes")
        found = f"{row} lines" if problem == "lines" else f"line {row + 1} has {values}"
        raise InputError(path, step, "-", f"the atom lines do not hold the {at} values a line that Properties "
                                          f"names ({found})")
    found, arrays = {}, iter(arrays)
    for name, kind, width in properties:
        name = NAMES.get(name, name)
        if kind in "RI":
            found[name] = next(arrays)
            continue
        values = [next(arrays) for _ in range(width)]
        values = values[0] if width == 1 else np.column_stack(values)
        if kind == "L":
            flags = np.isin(values, (b"T", b"True", b"true", b"1"))
            if not (flags | np.isin(values, (b"F", b"False", b"false", b"0"))).all():
                raise InputError(path, step, name, "logical values are T or F")
            values = flags.astype(np.int64)
        found[name] = values
    return found
