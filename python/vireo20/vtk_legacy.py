"""VTK's legacy ASCII files (`.vtk`, as LIGGGHTS's `dump custom/vtk` and scripts write them) read
natively: the points and every point array, each value as VTK's own reader reads it ("float" arrays
rounded once to 32 bits, as strtof rounds). VTK's reader took 1.3 s for a million particles' arrays.

`read(path)` answers (positions, columns) as `read_vtk` takes them from VTK, or None for what is
left to VTK: binary files, other data sets, string arrays, colour scalars, or any text this reader
does not follow (VTK then names the fault).
"""
import os
import re

import numpy as np

# VTK's type names: "f" for 32-bit reals, "d" for 64-bit, "i" for every integer type.
KINDS = {b"float": "f", b"double": "d"} | {name: "i" for name in (
    b"int", b"long", b"short", b"char", b"signed_char", b"unsigned_char", b"unsigned_short", b"unsigned_int",
    b"unsigned_long", b"long_long", b"unsigned_long_long", b"vtkIdType", b"vtktypeint64", b"vtktypeuint64",
    b"vtktypeint32", b"vtktypeuint32", b"vtktypeint8", b"vtktypeuint8", b"vtktypeint16", b"vtktypeuint16")}
CELLS = (b"VERTICES", b"LINES", b"POLYGONS", b"TRIANGLE_STRIPS", b"CELLS")
# The cell arrays of a file of contacts, not particles.
CONTACT_IDS = {"id1", "id2"}
# Attributes of a fixed number of components, by keyword.
WIDTHS = {b"VECTORS": 3, b"NORMALS": 3, b"TENSORS": 9, b"TENSORS6": 6}


class _Unread(Exception):
    pass


class _Text:
    def __init__(self, data):
        self.data, self.at, self.cell_names = data, 0, set()

    def raw_line(self):
        # Keyword lines are short: the data is looked at a window at a time, never copied whole.
        size = 256
        while self.at < len(self.data):
            window = self.data[self.at:self.at + size].tobytes()
            end = window.find(b"\n")
            if end >= 0:
                self.at += end + 1
                return window[:end].strip()
            size *= 4
        raise _Unread

    def words(self, required=True):
        """The next line that is not blank, split; None at the end where not required."""
        while self.at < len(self.data):
            words = self.raw_line().split()
            if words:
                return words
        if required:
            raise _Unread
        return None

    def next_is(self, keyword):
        at, words = self.at, self.words(required=False)
        self.at = at
        return words is not None and words[0] == keyword

    def values(self, count, kind):
        from ._lammpsdump import text_values
        array, end = text_values(self.data, self.at, count, kind)
        if array is None:
            raise _Unread
        self.at = end
        return array


def read(path):
    from .reading import kept_bytes
    size = os.path.getsize(path)
    data = kept_bytes(size + 1)   # a newline after the text, for the parser
    with open(path, "rb") as stream:
        if stream.readinto(memoryview(data)[:size]) != size:
            return None
    data[size] = ord("\n")
    try:
        return _parse(_Text(data))
    except (_Unread, ValueError, IndexError, KeyError):
        return None


def _name(word):
    # VTK writes a space in a name as %20.
    return re.sub(r"%([0-9A-Fa-f]{2})", lambda found: chr(int(found.group(1), 16)), word.decode(errors="replace"))


def _parse(text):
    if not text.raw_line().startswith(b"# vtk DataFile Version"):
        raise _Unread
    text.raw_line()  # the title, which may be blank
    if text.raw_line().upper() != b"ASCII" or text.words()[:2] not in ([b"DATASET", b"POLYDATA"],
                                                                       [b"DATASET", b"UNSTRUCTURED_GRID"]):
        raise _Unread
    # points: None ahead of POINT_DATA and CELL_DATA, where a FIELD is the data set's own (its time).
    positions, columns, points, count = None, {}, None, 0
    while (words := text.words(required=False)) is not None:
        key = words[0]
        if key == b"POINTS":
            positions = text.values(3 * int(words[1]), KINDS[words[2]]).reshape(-1, 3)
        elif key in CELLS:
            if text.next_is(b"OFFSETS"):   # the 5.1 layout: offsets, then connectivity
                text.words()
                text.values(int(words[1]), "s")
                if not text.next_is(b"CONNECTIVITY"):
                    raise _Unread
                text.words()
            text.values(int(words[2]), "s")
        elif key == b"CELL_TYPES":
            text.values(int(words[1]), "s")
        elif key in (b"POINT_DATA", b"CELL_DATA"):
            points, count = key == b"POINT_DATA", int(words[1])
            if points and (positions is None or count != len(positions)):
                raise _Unread
        elif key == b"SCALARS":
            width = int(words[3]) if len(words) > 3 else 1
            if text.next_is(b"LOOKUP_TABLE"):
                text.words()
            _take(text, columns, points, words[1], count, words[2], width)
        elif key in WIDTHS:
            _take(text, columns, points, words[1], count, words[2], WIDTHS[key])
        elif key == b"TEXTURE_COORDINATES":
            _take(text, columns, points, words[1], count, words[3], int(words[2]))
        elif key == b"FIELD":
            for _ in range(int(words[2])):
                name, width, tuples, kind = text.words()[:4]
                if points and int(tuples) != count:
                    raise _Unread
                _take(text, columns, points, name, int(tuples), kind, int(width))
        elif key == b"LOOKUP_TABLE":
            text.values(4 * int(words[2]), "s")
        elif key == b"METADATA":
            while text.raw_line():   # up to a blank line
                pass
        else:
            raise _Unread
    if positions is None or CONTACT_IDS <= text.cell_names:
        raise _Unread   # contacts (LIGGGHTS's dump local/gran/vtk): VTK's reader says so
    return positions.astype(np.float64), columns


def _take(text, columns, points, name, count, kind, width):
    """An array's values: kept where it is point data, passed over where it is cell data."""
    values = text.values(count * width, KINDS[kind] if points else "s")
    if not points:
        text.cell_names.add(_name(name))
    if points:
        values = values.reshape(-1, width) if width > 1 else values
        # As VTK's point data, where an array of a name already there replaces it in its place.
        columns[_name(name)] = values.astype(np.float64 if values.dtype.kind == "f" else np.int64)
