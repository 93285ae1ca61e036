"""What a LAMMPS data file (write_data's, or a setup's) says of each atom, read by the dump reader's
native parser: the columns a dump after it lacks. The Atoms section is laid out by its atom style,
named after it (`Atoms # full`, as write_data writes) or by `atom_style=`; image flags after the
positions and comments after `#` are passed over.

Columns: `id`, `type`, `mass` (the Masses section, by type; an ellipsoid style's density times its
Ellipsoids section's volume, as read_data makes it), `charge` (styles with q), `radius` and
`density` (sphere: the diameter halved), `residues` (the molecule ids of styles that have them: 0 is
no molecule; the Molecules and Charges sections of a fix property/atom give them to others),
`fragments` (bonded molecules, from the Bonds section) and `segments` (one), named as MDAnalysis
names a data file's levels, which reads the styles this reader does not. A dump's atoms that the
data file does not hold (poured after it was written) are in no molecule or bonded group, take their
type's mass and a charge of NaN; a column they would need from it besides refuses them.
"""
import gzip
import re
import zlib

import numpy as np

from .frames import InputError
from .reading import bonded_components, rows_of

# The values of an Atoms line before its image flags, by atom style.
STYLES = {
    "atomic": "id type x y z",
    "charge": "id type q x y z",
    "bond": "id mol type x y z",
    "angle": "id mol type x y z",
    "molecular": "id mol type x y z",
    "full": "id mol type q x y z",
    "sphere": "id type diameter density x y z",
    "dipole": "id type q x y z mux muy muz",
    "ellipsoid": "id type ellipsoidflag density x y z",
    "line": "id mol type lineflag density x y z",
    "tri": "id mol type triangleflag density x y z",
    "peri": "id type volume density x y z",
    "body": "id type bodyflag mass x y z",
}
IMAGES = ("ix", "iy", "iz")
INTEGERS = {"id", "mol", "type", "a", "b", *IMAGES}
_INTEGER = re.compile(rb"[+-]?\d+")
NEEDED = {"id", "mol", "type", "a", "b", "q", "diameter", "density", "mass"}
POSITIONS = ("x", "y", "z")
_BOUNDS = re.compile(rb"^[ \t]*(\S+)[ \t]+(\S+)[ \t]+([xyz])lo[ \t]+[xyz]hi", re.M)
_TILTS = re.compile(rb"^[ \t]*(\S+)[ \t]+(\S+)[ \t]+(\S+)[ \t]+xy[ \t]+xz[ \t]+yz", re.M)
_TIMESTEP = re.compile(rb"timestep = (\d+)")
_HEADER = re.compile(rb"^[ \t]*(\d+)[ \t]+(atoms|bonds|atom types|bond types|ellipsoids)[ \t]*(?:#.*)?\r?$", re.M)
# Molecules and Charges: write_data's sections of a fix property/atom mol or q (an atom style without them).
_SECTION = re.compile(rb"^[ \t]*(Atoms|Masses|Bonds|Velocities|Atom Type Labels|Bond Type Labels|Molecules|Charges|"
                      rb"Ellipsoids)[ \t]*"
                      rb"(?:#[ \t]*(\S*).*)?\r?$", re.M)
_BLANK_LINE = re.compile(rb"\n[ \t\r]*(?:\n|$)")
# A column of the data file's by the keyword a dump custom command names it with, where they differ.
DUMP_KEYWORDS = {"charge": "q"}


def _inferred_style(text, at, bonds, lines=100):
    """The atom style of an Atoms section whose header line names none (a hand-written setup's, or
    one from before write_data named it), where its width can only be one common style's: with bonds,
    molecular's or full's, with or without image flags; without, atomic's, with image flags only where
    a position is not a whole number (else a line or tri style's). Integer columns are checked on the
    first lines. None otherwise: other styles' widths are shared by too many (a sphere file would be
    read as full's, a dpd file's temperatures as charge's charges)."""
    window = text[at:at + (1 << 16)]
    pieces = window.split(b"\n")
    if at + len(window) < len(text):
        pieces.pop()   # may be cut
    rows = []
    for line in pieces:
        words = line.split(b"#", 1)[0].split()
        if words:
            rows.append(words)
        elif rows:
            break
        if len(rows) == lines:
            break
    if not rows or any(len(row) != len(rows[0]) for row in rows):
        return None
    for style in ("molecular", "full") if bonds else ("atomic",):
        names = STYLES[style].split()
        if len(rows[0]) not in (len(names), len(names) + 3):
            continue
        names += list(IMAGES)
        whole = [k for k in range(len(rows[0])) if names[k] in INTEGERS]
        if not all(_INTEGER.fullmatch(row[k]) for row in rows for k in whole):
            return None
        if not bonds and len(rows[0]) > len(names) - 3 and all(_INTEGER.fullmatch(word) for row in rows
                                                                for word in row[2:5]):
            return None
        return style
    return None


def _parts(path):
    """A data file's text, its header's counts and its sections' (start, style named after them)."""
    with open(path, "rb") as stream:
        text = stream.read()
    if text[:2] == b"\x1f\x8b":   # read_data takes .gz files
        try:
            text = gzip.decompress(text)
        except (OSError, EOFError, zlib.error) as error:
            raise InputError(path, "-", "-", f"the gzip file is damaged or cut short ({error})") from None
    counts = {name.decode(): int(value) for value, name in _HEADER.findall(text[:1 << 16])}
    if "atoms" not in counts:
        raise NotDataFile("no atom count in its header")
    sections = {}
    for found in _SECTION.finditer(text, text.find(b"\n") + 1):  # the first line is a title
        sections.setdefault(found.group(1).decode(), (found.end(), (found.group(2) or b"").decode()))
    if "Atoms" not in sections:
        if counts["atoms"]:
            raise InputError(path, "-", "Atoms", "the data file has no Atoms section")
        # Written before any atom was made (create_box, then write_data): masses by type alone.
        sections["Atoms"] = (len(text), "atomic")
    return text, counts, sections


def _style(path, text, counts, sections, given):
    """`given`, else the style the Atoms line names, else the one its columns can only be."""
    at, named = sections["Atoms"]
    style = given or named or _inferred_style(text, at, counts.get("bonds", 0))
    if not style:
        # Not MDAnalysis's guess either: it reads any file's second and third columns as the molecule
        # and the type (an atomic file's type as its molecule, its x as its type).
        raise InputError(path, "-", "Atoms", "the 'Atoms' line names no atom style (write_data writes "
                                             "'Atoms # full') and its columns could be several styles: "
                                             "give the style (--atom-style, or atom_style=)")
    return style


def mdanalysis_style(path, given=None):
    """The `atom_style` MDAnalysis needs to read a data file's Atoms section: the names of its columns
    (`given`, where it is such names), by the style it has (see `_style`); its own guess reads every
    file as full's or molecular's."""
    if given is not None and given not in STYLES and len(given.split()) > 1:
        return given
    # A style given by name needs no scan of the file (a second for a million atoms).
    style = given if given in STYLES else _style(path, *_parts(path), given)
    if style not in STYLES:
        raise InputError(path, "-", "Atoms", f"atom style {style!r}: give the names of its Atoms columns "
                                             "(atom_style='id type x y z ...', resid for the molecule and "
                                             "charge for q; others are passed over)")
    return " ".join({"mol": "resid", "q": "charge"}.get(column, column) for column in STYLES[style].split())


class Unread(Exception):
    """A data file this reader does not read (an atom style it does not know): MDAnalysis may."""


class NotDataFile(Unread):
    """Not a LAMMPS data file (another topology)."""


class DataAtoms:
    """The per-atom columns of a data file (`atoms`), with the levels that put every atom in one group
    (`whole`)."""

    def __init__(self, path, atom_style=None, positions=False):
        """`positions`: also the frame the file holds (`frame()`)."""
        self.path = path
        text, counts, sections = _parts(path)
        at = sections["Atoms"][0]
        style = _style(path, text, counts, sections, atom_style)
        if style not in STYLES:
            raise Unread(f"atom style {style!r}")
        names = STYLES[style].split()
        # Type labels (LAMMPS 2022 on) may stand for the type numbers in the sections.
        labels, numbered = {}, {}
        for kind, counted in (("Atom", "atom types"), ("Bond", "bond types")):
            if f"{kind} Type Labels" in sections:
                labels[kind] = self._type_labels(text, sections[f"{kind} Type Labels"][0], counts.get(counted, 0))
                numbered[kind] = {label: str(k).encode() for k, label in enumerate(labels[kind]) if k}
        atoms = self._section(text, at, counts["atoms"], "Atoms", names, allow_images=True,
                              extra=(POSITIONS + IMAGES if positions else ()) + ("ellipsoidflag",),
                              labels=numbered.get("Atom"))
        ordered = np.sort(atoms["id"])
        repeated = ordered[1:][ordered[1:] == ordered[:-1]]
        if len(repeated):
            raise InputError(path, "-", "Atoms", f"atom id {repeated[0]} is given twice")
        self.atoms = {"id": atoms["id"], "type": atoms["type"]}
        self.type_masses = None
        self.type_labels = labels.get("Atom")   # by type number; a dump's label types take their numbers
        self.bonds = None   # pairs of atom ids
        if "Masses" in sections:
            masses = self._section(text, sections["Masses"][0], counts.get("atom types", 0), "Masses", ["type", "mass"],
                                   labels=numbered.get("Atom"))
            table = np.full(int(masses["type"].max(initial=0)) + 1, np.nan)
            table[masses["type"]] = masses["mass"]
            known = (atoms["type"] >= 0) & (atoms["type"] < len(table))
            if not known.all() or np.isnan(table[atoms["type"]]).any():
                bad = atoms["type"][~known | np.isnan(table[np.where(known, atoms["type"], 0)])][0]
                raise InputError(path, "-", "Masses", f"no mass for atom type {bad}")
            self.atoms["mass"] = table[atoms["type"]]
            self.type_masses = table
        if "mass" in atoms:
            self.atoms["mass"] = atoms["mass"]
            self.type_masses = None   # per atom (body style)
        if "ellipsoidflag" in atoms:
            self.atoms["mass"] = self._ellipsoid_masses(text, counts, sections, atoms)
            self.type_masses = None
        if "Atom" in labels:
            named = labels["Atom"]
            if len(atoms["type"]) and not 1 <= atoms["type"].min() <= atoms["type"].max() < len(named):
                raise InputError(path, "-", "Atoms", f"atom types run from {atoms['type'].min()} to "
                                                     f"{atoms['type'].max()}, the header's from 1 to {len(named) - 1}")
            self.atoms["typelabel"] = named[atoms["type"]]
        if "q" in atoms:
            self.atoms["charge"] = atoms["q"]
        if "diameter" in atoms:
            self.atoms["radius"], self.atoms["density"] = atoms["diameter"] / 2, atoms["density"]
        if "mol" in atoms:
            self.atoms["residues"] = atoms["mol"]
        for section, column, name in (("Molecules", "mol", "residues"), ("Charges", "q", "charge")):
            if section in sections and name not in self.atoms:
                self.atoms[name] = self._per_atom(text, counts, sections, section, [column])[column]
        if counts.get("bonds") and "Bonds" in sections:
            bonds = self._section(text, sections["Bonds"][0], counts["bonds"], "Bonds", ["id", "type", "a", "b"],
                                  labels=numbered.get("Bond"))
            ends = self.rows_of(np.concatenate([bonds["a"], bonds["b"]]))
            if (ends < 0).any():
                raise InputError(path, "-", "Bonds", "a bond names an atom the Atoms section does not hold")
            self.atoms["fragments"] = bonded_components(len(atoms["id"]), ends.reshape(2, -1).T)
            self.bonds = np.stack([bonds["a"], bonds["b"]], axis=1).astype(np.int64)
        self.atoms["segments"] = np.ones(len(atoms["id"]), dtype=np.int64)
        # The step write_data names in the title (a hand-written file's: 0, as read_data starts).
        found = _TIMESTEP.search(text[:text.find(b"\n")])
        self.timestep = int(found.group(1)) if found else 0
        try:
            self.box = self._header_box(text)
        except InputError:
            if positions:
                raise
            self.box = None   # read_data's own default box is no help to a frame
        if positions:
            self._frame_parts(text, counts, sections, atoms)
        # A data file is one segment, of whichever atoms it holds (none, written before they were made).
        self.whole = {"segments"} | {level for level, values in self.atoms.items() if level in ("residues", "fragments")
                                     and len(values) > 1 and values.min() == values.max()}

    def _header_box(self, text):
        from .frames import Box
        bounds = {axis.decode(): (float(lo), float(hi)) for lo, hi, axis in _BOUNDS.findall(text[:1 << 16])}
        tilts = _TILTS.search(text[:1 << 16])
        if sorted(bounds) != ["x", "y", "z"]:
            raise InputError(self.path, "-", "xlo xhi", "the header does not give the box's bounds along x, y and z")
        try:
            lo, hi = zip(*(bounds[axis] for axis in "xyz"))
            # A data file says nothing of the boundaries: LAMMPS's default, periodic.
            return Box.from_lammps(lo, hi, tuple(map(float, tilts.groups())) if tilts else (0.0, 0.0, 0.0),
                                   (True, True, True))
        except ValueError as error:
            raise InputError(self.path, "-", "xlo xhi", f"not a box ({error})") from None

    def _frame_parts(self, text, counts, sections, atoms):
        self.positions = np.column_stack([atoms[axis] for axis in POSITIONS])
        self.wrapped = "ix" not in atoms
        if not self.wrapped:
            self.box.unwrap(self.positions, np.column_stack([atoms[k] for k in IMAGES]), in_place=True)
        self.velocity = None
        if "Velocities" in sections:
            first = text[sections["Velocities"][0]:].lstrip().split(b"\n", 1)[0].split()
            moving = self._per_atom(text, counts, sections, "Velocities",
                                    ["vx", "vy", "vz"] + [f"extra{k}" for k in range(len(first) - 4)],
                                    extra=("vx", "vy", "vz"))
            self.velocity = np.column_stack([moving[k] for k in ("vx", "vy", "vz")])

    def frame(self, index=0):
        """The atoms as a frame, at the step write_data names in the title (else 0), positions
        unwrapped with the image flags where the Atoms lines give them."""
        from .reading import particles_frame
        columns = dict(self.atoms)
        if self.velocity is not None:
            columns["velocity"] = self.velocity
        # As MDAnalysis's levels are taken: with none that groups, each atom is its own.
        default = next((level for level in ("residues", "fragments") if level in columns and level not in self.whole),
                       "molecules")
        frame = particles_frame(self.path, index, self.timestep, self.positions.copy(), columns, self.box,
                                wrapped=self.wrapped, default_group=default)
        frame.bonds = self.bonds
        return frame

    def _type_labels(self, text, at, count):
        """The names of the types (LAMMPS's type labels) by type number, of the `count` lines at `at`."""
        lines = [line.split(b"#")[0].split() for line in text[at:].lstrip(b" \t\r\n").split(b"\n", count)[:count]]
        labels = np.full(count + 1, b"", dtype=f"S{max((len(w[-1]) for w in lines if w), default=1)}")
        for k, words in enumerate(lines):
            if len(words) != 2 or not _INTEGER.fullmatch(words[0]) or not 1 <= int(words[0]) <= count:
                raise InputError(self.path, "-", "Atom Type Labels", f"line {k + 1}: a type number from 1 to "
                                                                    f"{count} and its label, not {b' '.join(words)!r}")
            labels[int(words[0])] = words[1]
        return labels

    def _section(self, text, at, count, name, names, allow_images=False, extra=(), labels=None):
        """The `count` lines of a section after its header line and blank lines, as named columns
        (integers where the name is one; reals named in `extra` too). `labels` ({label: number}):
        type labels that may stand for the numbers, as read_data takes them."""
        from ._lammpsdump import parse_table
        start = at
        while start < len(text) and text[start] in b" \t\r\n":
            start += 1
        start = text.rfind(b"\n", 0, start) + 1
        ended = _BLANK_LINE.search(text, start)
        end = ended.start() + 1 if ended else len(text)
        lines = text[start:end]
        if b"#" in lines:
            lines = re.sub(rb"#[^\n]*", b"", lines)
        if lines and not lines.endswith(b"\n"):
            lines += b"\n"
        if labels:
            # A label never reads as a number (it may not begin with a digit): whole words that are one
            # are the type they name.
            pattern = rb"(?<!\S)(" + b"|".join(map(re.escape, sorted(labels, key=len, reverse=True))) + rb")(?!\S)"
            lines = re.sub(pattern, lambda found: labels[found.group(1)], lines)
        first = lines[:lines.find(b"\n")].split()
        images = allow_images and len(first) == len(names) + 3
        names = names + list(IMAGES) if images else names
        width = len(names)
        wanted = [k for k, column in enumerate(names) if column in NEEDED or column in extra]
        layout = [("i" if names[k] in INTEGERS else "f", [k]) for k in wanted]
        arrays, fault = parse_table(lines, count, width, layout)
        if fault is not None:
            problem, row, column, values, value, refusal = fault
            if problem == "lines":
                raise InputError(self.path, "-", name, f"the section has {row} lines where the header says {count}")
            # Comments and labels are replaced within their lines: the section's lines are the file's.
            before = text.count(b"\n", 0, start)
            line = f"line {row + 1} (line {before + row + 1} of the file)"
            if problem == "bad_value":
                raise InputError(self.path, "-", name, f"value '{value}' on {line} {refusal}")
            raise InputError(self.path, "-", name, f"{line} has {values} values where "
                                                   f"{' '.join(names)} are {len(names)}"
                                                   f"{' (and three image flags)' if allow_images and not images else ''}")
        return dict(zip([names[k] for k in wanted], arrays))

    def _per_atom(self, text, counts, sections, section, names, extra=()):
        """The columns of a section of a line an atom by id (Velocities, a fix property/atom's), in the
        Atoms section's order."""
        values = self._section(text, sections[section][0], counts["atoms"], section, ["id", *names], extra=extra)
        rows = self.rows_of(values.pop("id"))
        if (rows < 0).any() or len(np.unique(rows)) != len(rows):
            raise InputError(self.path, "-", section, "its atom ids are not the Atoms section's")
        ordered = {}
        for name, column in values.items():
            ordered[name] = np.empty_like(column)
            ordered[name][rows] = column
        return ordered

    def _ellipsoid_masses(self, text, counts, sections, atoms):
        """The masses read_data makes of an ellipsoid style's density: times the volume of the
        Ellipsoids section's shape (diameters), in LAMMPS's arithmetic, or the density itself for a point
        particle (flag 0)."""
        masses = np.array(atoms["density"], dtype=np.float64)
        shaped = atoms["ellipsoidflag"] != 0
        if shaped.any():
            if "Ellipsoids" not in sections:
                raise InputError(self.path, "-", "Ellipsoids", "the data file has ellipsoids and no Ellipsoids section")
            shapes = self._section(text, sections["Ellipsoids"][0], counts.get("ellipsoids", 0), "Ellipsoids",
                                   ["id", "shapex", "shapey", "shapez", "qw", "qi", "qj", "qk"],
                                   extra=("shapex", "shapey", "shapez"))
            rows = self.rows_of(shapes["id"])
            if (rows < 0).any() or not shaped[rows].all() or len(rows) != shaped.sum():
                raise InputError(self.path, "-", "Ellipsoids", "the section's atom ids are not the ellipsoids' of "
                                                               "the Atoms section")
            volume = 4.0 * np.pi / 3.0 * (0.5 * shapes["shapex"]) * (0.5 * shapes["shapey"]) * (0.5 * shapes["shapez"])
            masses[rows] *= volume
        return masses

    def rows_of(self, ids):
        """The row of each id among the atoms (-1 where none has it)."""
        return rows_of(self, self.atoms["id"], ids)

    def close(self):
        pass


def topology_atoms(topology, options):
    """The atoms of a dump's data file, kept per process: read here where its atom style is known,
    else by MDAnalysis (which reads other topologies too)."""
    from .reading import cached_open, missing_library
    try:
        return cached_open(topology, _data_or_universe, tuple(sorted(options.items())))
    except ImportError as error:
        raise missing_library(topology, "MDAnalysis", "python3-mdanalysis", error) from None


def _data_or_universe(topology, options):
    options = dict(options)
    try:
        return DataAtoms(topology, options.get("atom_style"))
    except Unread as why:
        from .read_mda import topology_universe
        if not isinstance(why, NotDataFile):
            options.setdefault("topology_format", "DATA")   # MDAnalysis knows a data file by its extension only
        try:
            return topology_universe(topology, options)
        except ImportError:
            if isinstance(why, NotDataFile):
                raise
            raise InputError(topology, "-", "Atoms", f"{why}: the job reads the atom styles {', '.join(STYLES)} "
                                                     "when 'Atoms # STYLE' names them (as write_data writes), and "
                                                     "needs MDAnalysis for others (apt-get install "
                                                     "python3-mdanalysis)") from None


def completion(topology, atom_style=None, group_by=None):
    """The Completion of a dump's frames by a data file (`atom_style` its style where its Atoms line
    names none); None without one."""
    if topology is None:
        return None
    return Completion(topology, {"atom_style": atom_style} if atom_style else {}, group_by)


class Completion:
    """Completes a dump's frame with what its data file (or another topology) says of each atom that
    the frame lacks, found by atom id. Groups: `group_by`, else the dump's own, else the first of the
    topology's levels that does not hold every atom. Pickles as its names."""

    def __init__(self, topology, options=None, group_by=None):
        self.topology, self.options, self.group_by = topology, dict(options or {}), group_by

    def __call__(self, frame):
        from .read_mda import DATA_LEVELS
        held = topology_atoms(self.topology, self.options)
        for name in frame.guessed:
            frame.columns.pop(name, None)
        ids = frame.columns.get("id")
        if ids is None and isinstance(held, DataAtoms):
            ids = self._in_id_order(frame, held)
        if ids is None:
            raise InputError(frame.source, frame.timestep, "id", f"the dump has no atom ids to find its atoms in "
                                                                 f"the data file {self.topology} by")
        rows = held.rows_of(ids)
        if frame.box is None and getattr(held, "box", None) is not None:
            # A LAMMPS dump xyz holds no box: the data file's, for the periodic groups to be made whole
            # (which leaves a group already whole as it is).
            frame.box, frame.wrapped = held.box, held.box.any_periodic
            if frame.wrapped and frame.timestep != getattr(held, "timestep", frame.timestep):
                frame.notes += (f"has no box: the data file's (of timestep {held.timestep}) is taken, in which its "
                                "wrapped groups are made whole; where the box changes during the run (NPT, fix "
                                "deform), they need each step's own: dump custom (x y z, or xu yu zu)",)
        own_groups = frame.default_group in frame.columns
        if frame.bonds is None:
            frame.bonds = getattr(held, "bonds", None)
        missing = rows < 0
        self._by_types(frame, held, rows, missing, ids)
        for name, values in held.atoms.items():
            if name in frame.columns or DUMP_KEYWORDS.get(name) in frame.columns:
                continue
            # (A data file of no atoms: every one of them is beyond it.)
            taken = values[rows] if len(values) else np.zeros((len(rows),) + values.shape[1:], values.dtype)
            if missing.any():
                taken[missing] = self._beyond(frame, held, name, missing, ids)
            frame.columns[name] = taken
        if self.group_by or not own_groups:
            levels = getattr(held, "levels", DATA_LEVELS)
            frame.default_group = self.group_by or next(
                (level for level in levels if level in held.atoms and level not in held.whole), frame.default_group)
        return frame

    def _by_types(self, frame, held, rows, missing, ids):
        """Where the dump gives types: the masses of the data file's Masses by them, as LAMMPS takes an
        atom's mass by its type of the moment (fix bond/react and set type change them), the atoms
        the data file does not hold (poured after it was written) too; and a warning where the types
        are not the data file's (a data file of another system gives the wrong masses and groups)."""
        types = frame.columns.get("type")
        if types is not None and types.dtype.kind == "S" and getattr(held, "type_labels", None) is not None:
            types = self._numbered(frame, held.type_labels, types)
        if types is None or types.dtype.kind not in "iu":
            return
        held_types = held.atoms.get("type")
        if held_types is not None and held_types.dtype.kind in "iu":
            found = np.flatnonzero(~missing)
            differ = found[held_types[rows[found]] != types[found]]
            if len(differ):
                k = differ[0]
                note = (f"has atoms whose types are not those the data file {self.topology} gives them (atom "
                        f"{ids[k]}: type {types[k]}, there {held_types[rows[k]]}): a data file of another system? "
                        "(masses follow the dump's types, groups the data file's by atom id)")
                frame.notes += (note,) if note not in frame.notes else ()
        table = getattr(held, "type_masses", None)
        if table is None or "mass" in frame.columns:
            return
        known = (types >= 0) & (types < len(table))
        masses = table[np.where(known, types, 0)]
        if not known.all() or np.isnan(masses).any():
            unknown = types[~known | np.isnan(masses)][0]
            raise InputError(frame.source, frame.timestep, "type", f"atom type {unknown} has no mass in the data "
                                                                   f"file {self.topology}")
        frame.columns["mass"] = masses

    def _numbered(self, frame, named, labels):
        """A dump's label types (`dump_modify types labels`) as the numbers the data file's Atom Type
        Labels give them, as LAMMPS's labelmap holds them: the groups and masses by type follow; the
        labels stay as `typelabel`."""
        table = {label: number for number, label in enumerate(named) if number}
        distinct, inverse = np.unique(labels, return_inverse=True)
        numbers = np.array([table.get(label, 0) for label in distinct], dtype=np.int64)
        if not numbers.all():
            unknown = distinct[np.argmin(numbers)].decode(errors="replace")
            raise InputError(frame.source, frame.timestep, "type", f"type label {unknown!r} is not among the Atom "
                                                                   f"Type Labels of the data file {self.topology}")
        frame.columns.setdefault("typelabel", labels)
        frame.columns["type"] = numbers[inverse.reshape(-1)]
        return frame.columns["type"]

    def _beyond(self, frame, held, name, missing, ids):
        """What the atoms the data file does not hold (poured or deposited after it was written) take
        for column `name`, which the frame lacks: no molecule or bonded group (0), every atom's one
        segment, a charge of NaN; else the atoms are refused, naming the column the frame would need
        (their masses by type are `_by_types`')."""
        if name in ("residues", "fragments"):
            return 0
        if name == "segments":
            return 1
        if name == "charge":
            return np.nan   # unknown, which no other value needs: their groups' dipoles are NaN
        first = ids[np.argmax(missing)]
        keyword = DUMP_KEYWORDS.get(name, name)
        raise InputError(frame.source, frame.timestep, "id", f"atom {first} is not in the data file {self.topology}, "
                                                             f"which gives the dump's atoms their {name}: dump "
                                                             f"{keyword} with the atoms, or leave the data file out "
                                                             "if the dump has the masses and groups")

    def _in_id_order(self, frame, held):
        """The ids of a frame that gives none (a LAMMPS dump xyz): its atoms are the data file's in the
        order of their ids, as `dump_modify sort id` writes them; the types (or the elements standing
        for them) the frame gives must agree, else the order is not that."""
        ids = np.sort(held.atoms["id"])
        count = len(frame.positions)
        if count != len(ids):
            raise InputError(frame.source, frame.timestep, "id", f"the file gives no atom ids and {count} atoms "
                                                                 f"where the data file {self.topology} has {len(ids)}")
        types = held.atoms["type"][held.rows_of(ids)]
        given = frame.columns.get("type", frame.columns.get("element"))
        if given is None:
            wrong = ()
        elif "type" in frame.columns:
            wrong = np.flatnonzero(given != types)
        else:
            # Each type one element: the first atom whose type another element already stands for.
            pairs, first = np.unique(np.stack([types, np.unique(given, return_inverse=True)[1].reshape(-1)]),
                                     axis=1, return_index=True)
            clash = pairs[0][1:] == pairs[0][:-1]
            wrong = np.sort(first[1:][clash])
        if len(wrong):
            k = wrong[0]
            named = given[k].decode() if isinstance(given[k], bytes) else given[k]
            raise InputError(frame.source, frame.timestep, "id", f"the file gives no atom ids, and its atoms are not "
                                                                 "the data file's in the order of their ids "
                                                                 f"(dump_modify sort id): atom line {k + 1} is {named} "
                                                                 f"where atom {ids[k]} has type {types[k]}")
        frame.columns["id"] = ids
        return ids


def read_frame(path, index, atom_style=None, group_by=None):
    """The frame a data file holds (see `DataAtoms.frame`)."""
    from .reading import cached_open
    frame = cached_open(path, DataAtoms, atom_style, True).frame(index)
    frame.default_group = group_by or frame.default_group
    return frame
