"""LAMMPS's binary dumps (`dump custom` or `dump atom` to a file named `*.bin`), as LAMMPS since
2021 writes them: each frame a header (the format's name, the timestep, the atom count, the
box and its boundary flags, the values per atom, the unit style of `dump_modify units yes` in the
first frame, the time of `time yes`, the column names), then each processor's atoms as doubles.

Older LAMMPS (and its `dump custom/mpiio` and `atom/mpiio` to `*.bin`) wrote the same frames without
the format's name, units, time and column names: a `dump atom`'s cannot be told from a `dump custom`'s
of as many values, so the reader is told the columns (`columns=`, as the dump command lists them:
`id type xs ys zs` for a `dump atom`, `ix iy iz` after them with `image yes`).
"""
import os
import struct
import threading

import numpy as np

from .frames import InputError

MAGICS = (b"DUMPCUSTOM", b"DUMPATOM")
# LAMMPS's boundary styles, by the numbers its header stores.
BOUNDARIES = "pfsm"
_ENDIAN = 1


def sniff(path, head):
    """Whether the file is a binary dump: the format's name after its negated length, or (older files)
    the name `*.bin` and a first header that reads as one."""
    if len(head) >= 8 + 10:
        length = -struct.unpack_from("<q", head)[0]
        if head[8:8 + length] in MAGICS:
            return True
    if not str(path).endswith(".bin") or len(head) < 60:
        return False
    timestep, count, triclinic, *boundary = struct.unpack_from("<qqi6i", head)
    return timestep >= 0 and count >= 0 and triclinic in (0, 1) and all(0 <= b < 4 for b in boundary)


class _File:
    def __init__(self, path):
        self.path, self.stream = path, open(path, "rb")
        self.size = os.fstat(self.stream.fileno()).st_size

    def take(self, form, where):
        size = struct.calcsize(form)
        data = self.stream.read(size)
        if len(data) < size:
            raise InputError(self.path, where, "-", "the file ends inside a frame's header (cut short?)")
        return struct.unpack(form, data)

    def bytes(self, count, where):
        if count < 0 or count > self.size:
            raise InputError(self.path, where, "-", f"a frame's header gives a length of {count}: not a binary "
                                                    "dump, or a damaged one")
        data = self.stream.read(count)
        if len(data) < count:
            raise InputError(self.path, where, "-", "the file ends inside a frame's header (cut short?)")
        return data


def _header(file, position):
    """The header of the frame at the file's position, which is frame `position`; None at the file's end."""
    where = f"#{position} of the file"
    start = file.stream.tell()
    first = file.stream.read(8)
    if not first:
        return None
    if len(first) < 8:
        raise InputError(file.path, where, "-", "the file ends inside a frame's header (cut short?)")
    timestep, magic, revision = struct.unpack("<q", first)[0], None, 1
    if timestep < 0:
        magic = file.bytes(-timestep, where)
        if magic not in MAGICS:
            raise InputError(file.path, where, "-", f"not a LAMMPS binary dump frame at byte {start} ({magic[:16]!r} "
                                                    "after its length): the file is damaged there")
        endian, revision = file.take("<ii", where)
        if endian != _ENDIAN:
            raise InputError(file.path, where, "-", "the dump was written on a machine of the other byte order")
        timestep, = file.take("<q", where)
    count, triclinic = file.take("<qi", where)
    boundary = file.take("<6i", where)
    bounds = file.take("<9d" if triclinic else "<6d", where)
    size_one, = file.take("<i", where)
    if count < 0 or size_one < 1 or triclinic not in (0, 1) or not all(0 <= b < 4 for b in boundary):
        raise InputError(file.path, timestep, "-", "the frame's header does not read as a LAMMPS binary dump's")
    header = {"timestep": timestep, "count": count, "size_one": size_one, "time": None, "units": None}
    if magic is not None and revision > 1:
        length, = file.take("<i", where)
        if length > 0:
            header["units"] = file.bytes(length, where).decode(errors="replace")
        if file.take("<b", where)[0]:
            header["time"], = file.take("<d", where)
        length, = file.take("<i", where)
        header["columns"] = file.bytes(length, where).decode(errors="replace").split()
    else:
        header["columns"] = None
    if header["columns"] is not None and len(header["columns"]) != size_one:
        raise InputError(file.path, timestep, "-", f"the frame names {len(header['columns'])} columns for "
                                                   f"{size_one} values an atom")
    flags = [BOUNDARIES[b] for b in boundary]
    # The items a text dump's header gives, for the same reading of the box.
    header["box"] = "BOX BOUNDS " + ("xy xz yz " if triclinic else "") + \
        " ".join(flags[2 * k] + flags[2 * k + 1] for k in range(3))
    header["box_lines"] = [" ".join(repr(v) for v in (bounds[2 * k], bounds[2 * k + 1])
                                    + ((bounds[6 + k],) if triclinic else ())) for k in range(3)]
    header["chunks"], = file.take("<i", where)
    return header


def _skip_chunks(file, header):
    """Passes over a frame's atoms; the number of doubles its chunks hold."""
    total = 0
    for _ in range(header["chunks"]):
        n, = file.take("<i", header["timestep"])
        if n < 0 or file.stream.tell() + 8 * n > file.size:
            raise InputError(file.path, header["timestep"], "-", "the file ends inside the frame (cut short? a dump "
                             "still being written ends so: --frames :-1 leaves its last frame out)")
        file.stream.seek(8 * n, os.SEEK_CUR)
        total += n
    return total


def index(path):
    """(byte offset, timestep, atoms, time) of each frame, the first frame's header (None for an empty
    file), and the InputError of a frame whose header or atoms do not fill the file as they say (None):
    the frames before it are read. Kept while the file is unchanged."""
    from .reading import cached_open
    return cached_open(path, _scan)


# The zero bytes that end a file after its last frame, by path, as its index found them.
ZERO_TAILS = {}


def _zeros_from(file, offset):
    """Whether every byte from `offset` to the file's end is zero (a machine stopped while the file
    was written: no frame starts with eight zero bytes and a box)."""
    file.stream.seek(offset)
    while piece := file.stream.read(1 << 20):
        if piece.count(0) != len(piece):
            return False
    return True


def _scan(path):
    file = _File(path)
    frames, first, problem = [], None, None
    with file.stream:
        try:
            while True:
                offset = file.stream.tell()
                header = _header(file, len(frames))
                if header is None:
                    break
                first = first or header
                values = _skip_chunks(file, header)
                if values != header["count"] * header["size_one"]:
                    raise InputError(path, header["timestep"], "-", f"the frame holds {values} values for "
                                                                    f"{header['count']} atoms of {header['size_one']}")
                frames.append((offset, header["timestep"], header["count"], header["time"]))
        except InputError as error:
            if frames and _zeros_from(file, offset):
                ZERO_TAILS[path] = file.size - offset
            else:
                problem = error
    return frames, first, problem


# Atoms are read in blocks of this many bytes into a buffer that every frame a thread reads reuses:
# a frame's columns are gathered from the page cache through it without a copy of the whole frame,
# whose fresh pages would cost as much as reading it.
BLOCK_BYTES = 32 << 20
_per_thread = threading.local()


def _block_buffer():
    if not hasattr(_per_thread, "buffer"):
        _per_thread.buffer = np.empty(BLOCK_BYTES // 8)
    return _per_thread.buffer


def read(path, offset, position, columns=None):
    """The header of the frame at `offset`, and an iterator over its atoms in file order, as (atoms,
    values) arrays each valid until the next is taken. `columns` names the values of a frame in the
    older format, which does not."""
    file = _File(path)
    try:
        file.stream.seek(offset)
        header = _header(file, position)
        if header is None:
            raise InputError(path, f"#{position} of the file", "-", "the file ends before this frame: it "
                                                                   "changed after it was indexed")
        _name_columns(file.path, header, columns)
    except BaseException:
        file.stream.close()
        raise
    return header, _blocks(file, header)


def _name_columns(path, header, columns):
    given = list(columns) if columns is not None else None
    if header["columns"] is None:
        if given is None:
            raise InputError(path, header["timestep"], "-", f"the binary dump names none of its {header['size_one']} "
                             "columns (an older LAMMPS's format, or a dump custom/mpiio's): name them with "
                             "--columns as the dump command lists them (id type xs ys zs for a dump atom)")
        if len(given) != header["size_one"]:
            raise InputError(path, header["timestep"], "-", f"--columns names {len(given)} columns for the "
                                                            f"frame's {header['size_one']} values an atom")
        header["columns"] = given
    elif given is not None and given != header["columns"]:
        raise InputError(path, header["timestep"], "-", f"the dump names its columns {' '.join(header['columns'])}, "
                                                        f"not the {' '.join(given)} of --columns")


def _blocks(file, header):
    width, buffer, left, n = header["size_one"], _block_buffer(), header["count"], 0
    rows = max(1, len(buffer) // width)
    if rows * width > len(buffer):
        buffer = np.empty(rows * width)
    with file.stream:
        for _ in range(header["chunks"]):
            n, = file.take("<i", header["timestep"])
            if n < 0 or n % width or n // width > left:
                break
            n //= width
            left -= n
            while n:
                k = min(n, rows)
                view = memoryview(buffer[:k * width]).cast("B")
                if file.stream.readinto(view) != len(view):
                    break
                yield buffer[:k * width].reshape(k, width)
                n -= k
            if n:
                break
    if left or n:
        raise InputError(file.path, header["timestep"], "-", "the frame's atoms do not fill it as its header says "
                                                             "(cut short, or changed after it was indexed)")
