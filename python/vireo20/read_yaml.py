"""Input from LAMMPS's `dump yaml` (LAMMPS 2022 and later): a YAML document a frame, `---` to `...`,
whose `timestep`, `units`, `time` (`dump_modify time yes`), `natoms`, `boundary`, `box` (the bounds
a custom dump writes, and the tilts of a triclinic box on a fourth line) and `keywords` head the
atoms' `data` rows, `- [ 1, 1, 0.5, ... ]`. The columns are a custom dump's: positions, image flags,
vectors, integer columns and groups as there. One file, or several (a list, a quoted pattern, a
folder's `.yaml` files, in the natural order of their names), plain, gzip or zstd; `contacts` a LAMMPS
dump local whose frames go to the steps of their timesteps.
"""
import mmap
import os

import numpy as np

from .frames import InputError
from .reading import (COMPRESSED, FrameLoader, Loaders, cached_open, files_ending, inflated, kept_bytes, natural_key,
                      plain_number, text_head)

EXTENSIONS = (".yaml", ".yml", ".yaml.gz", ".yml.gz", ".yaml.zst", ".yml.zst")
# Data rows' brackets and commas, made blanks for the dump reader's parse.
_PUNCTUATION = b"[],"

READS_SEVERAL_FILES = True


def _series_files(folder):
    return sorted((os.path.join(folder, name) for name in files_ending(folder, EXTENSIONS)), key=natural_key)


def sniff(path, head):
    if os.path.isdir(path):
        files = _series_files(path)
        return bool(files) and sniff(files[0], None)
    if head is None or head.startswith(COMPRESSED):
        if head is not None and not os.fspath(path).endswith(EXTENSIONS):
            return False
        try:
            head = text_head(path, 4096)
        except OSError:
            return False
    return head.lstrip().startswith(b"---") and b"\ncreator: LAMMPS" in head[:200] and b"\nnatoms:" in head


def open_series(path, contacts=None, contact_ids=None):
    """The frames of LAMMPS YAML dumps; see the module's text."""
    paths = path if isinstance(path, (list, tuple)) else _series_files(path) if os.path.isdir(path) else [path]
    if not paths:
        raise InputError(path, "-", "-", "the folder holds no YAML dump (.yaml, .yml)")
    loaders = []
    for file in map(os.fspath, paths):
        for position, header in enumerate(cached_open(file, _Index).headers):
            loaders.append(FrameLoader(read_frame, file, len(loaders), {"frame": position,
                                                                        "timestep": header["timestep"]}))
    if not loaders:
        raise InputError(paths[0], "-", "-", "no frame: the file holds no '---' document")
    from .read_lammps import with_contacts
    return with_contacts(Loaders(paths[0] if len(paths) > 1 else path, loaders), contacts, contact_ids)


class _Index:
    """A file's frames: the header of each (as the text dump reader names its items) and where its
    data rows lie; a compressed file's text kept whole."""

    def __init__(self, path):
        self.path = path
        with open(path, "rb") as stream:
            compressed = stream.read(4).startswith(COMPRESSED)
            empty = os.fstat(stream.fileno()).st_size == 0
            self.text = inflated(path) if compressed else b"" if empty else \
                mmap.mmap(stream.fileno(), 0, access=mmap.ACCESS_READ)
        self.headers, self.rows = [], []
        text, at = self.text, 0
        while True:
            start = text.find(b"---", at)
            while start > 0 and text[start - 1] != 10:
                start = text.find(b"---", start + 3)
            if start < 0:
                break
            data = text.find(b"\ndata:", start)
            if data < 0:
                raise InputError(path, "-", "-", f"the frame at byte {start} has no 'data:' rows")
            header = _header(path, text[start:data].decode(errors="replace"))
            first = text.find(b"\n", data + 1) + 1 or len(text)
            end = min(p for p in (text.find(b"\n...", first - 1), text.find(b"\n---", first - 1), len(text)) if p >= 0)
            end = min(end + 1, len(text))
            self.headers.append(header)
            self.rows.append((first, end))
            at = end

    def close(self):
        if isinstance(self.text, mmap.mmap):
            self.text.close()


def _words(value):
    """The items of a flow list `[ a, b, ]`."""
    return [word.strip() for word in value.strip().strip("[]").split(",") if word.strip()]


def _header(path, text):
    """A frame's header as the text dump reader gives it: timestep, count, columns, box items, time."""
    items, lists, key = {}, {}, None
    for line in text.splitlines()[1:]:
        if line.startswith((" ", "-")) and key is not None:
            lists.setdefault(key, []).append(line.strip().lstrip("-").strip())
        elif ":" in line:
            key, _, value = line.partition(":")
            key, value = key.strip(), value.strip()
            items[key] = value
    step = items.get("timestep", "-")
    try:
        timestep = int(items["timestep"])
        count = int(items["natoms"])
    except (KeyError, ValueError):
        raise InputError(path, step, "-", "the frame's header needs a whole 'timestep' and 'natoms'") from None
    columns = _words(items.get("keywords", ""))
    if not columns:
        raise InputError(path, timestep, "-", "the frame names no columns ('keywords: [ id, type, x, ... ]')")
    box = [_words(row) for row in lists.get("box", [])]
    if box and (len(box) not in (3, 4) or {len(row) for row in box[:3]} != {2} or any(len(r) != 3 for r in box[3:])):
        raise InputError(path, timestep, "box", f"has {len(box)} lines where a box has 3 of two bounds (and a 4th of "
                                                "three tilts)")
    flags = _words(items.get("boundary", ""))
    pairs = ["".join(flags[2 * k:2 * k + 2]) for k in range(3)] if len(flags) == 6 else ["ff"] * 3
    header = {"section": "ATOMS", "timestep": timestep, "count": count, "columns": columns, "box": None,
              "time": None}
    if box:
        rows = [" ".join(row) for row in box[:3]]
        tilts = box[3] if len(box) == 4 else []
        header["box"] = "ITEM: BOX BOUNDS " + ("xy xz yz " if tilts else "") + " ".join(pairs)
        header["box_lines"] = [f"{row} {tilt}" for row, tilt in zip(rows, tilts)] if tilts else rows
    if "time" in items:
        try:
            header["time"] = plain_number(float(items["time"]))
        except ValueError:
            raise InputError(path, timestep, "time", f"is {items['time']!r}, not a number") from None
    header["units"] = items.get("units")
    return header


def read_frame(path, index, frame=0, timestep=None):
    from ._lammpsdump import blank_separators, parse_table
    from .read_lammps import _atom_content, _atom_layout, _one_of_twins, _Refusal, frame_of
    table = cached_open(path, _Index)
    header, (start, end) = table.headers[frame], table.rows[frame]
    step = header["timestep"]
    text = kept_bytes(end - start + 1)
    text[:end - start] = np.frombuffer(table.text, np.uint8, end - start, start)
    if end == start or text[end - start - 1] == 10:
        text = text[:end - start]
    else:
        text[end - start] = 10
    for mark in _PUNCTUATION:
        blank_separators(text, mark)
    try:
        layout, names, chosen, images = _atom_layout(tuple(header["columns"]))
        # Each row starts with YAML's `-`: a column passed over.
        shifted = [(kind, tuple(k + 1 for k in indexes)) for kind, indexes in layout]
        arrays, fault = parse_table(text, header["count"], len(header["columns"]) + 1, shifted)
        if fault is not None:
            problem, row, column, values, value, refusal = fault
            name = header["columns"][column - 1] if 0 < column <= len(header["columns"]) else "-"
            if problem == "lines":
                raise InputError(path, step, "-", f"{row} data rows where 'natoms' says {header['count']}")
            if problem == "bad_value":
                raise InputError(path, step, name, f"value '{value}' on data row {row + 1} "
                                                   f"{refusal or 'is too long'}")
            raise InputError(path, step, "-", f"data row {row + 1} has {values - 1} values where 'keywords' names "
                                              f"{len(header['columns'])}")
        arrays = dict(zip(names, arrays))
        _one_of_twins(arrays, layout, names, header["columns"])
        content = _atom_content(arrays, header, chosen, images)
    except _Refusal as refusal:
        raise InputError(path, step, *refusal.args) from None
    return frame_of(content, path, index, header["units"])
