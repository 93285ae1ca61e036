"""One step of any input as NumPy arrays (`Frame`), its simulation box (`Box`) and the error a user
can fix (`InputError`).

Every reader yields Frames. A frame comes in one of two forms:

- **particles** (LAMMPS dumps, VTK, GSD, H5MD, MDAnalysis): the step's particles in file order,
  `positions` (E, 3) and `columns` (name -> (E,) or (E, k) arrays, one row per particle, vectors as
  (E, 3)) which hold the ids, the group labels, the masses or what gives them, and every value;
- **generator** (npz folders, the built-in data set): `parents`, `masses` and `enabled` as the
  generator takes them (N source particles, E enabled entries), `positions` and `columns` by entry
  (E enabled, then T trailing ones with `trailing_masses`).

`vireo20.upscale(**frame.arguments(...))` is the step's whole computation in both forms.
"""
import dataclasses
import os
from dataclasses import dataclass, field

import numpy as np


class InputError(ValueError):
    """Bad input that the user can fix: one line naming the file, the step, the array and the problem."""

    def __init__(self, file, step, array, problem):
        super().__init__(file, step, array, problem)
        self.file, self.step, self.array, self.problem = file, step, array, problem

    def __str__(self):
        files = [os.fspath(name) for name in self.file] if isinstance(self.file, (list, tuple)) else None
        where = [str(self.file) if files is None else " ".join(files[:3]) + (" ..." if len(files) > 3 else "")]
        if self.step not in ("-", None):
            where.append(f"step {self.step}")
        if self.array not in ("-", None):
            where.append(f"array '{self.array}'")
        return ": ".join(where + [str(self.problem)])


AXES = "xyz"
# How far past a periodic face, in fractions of its edge, a simulation holds a particle before it wraps
# it again (LAMMPS at its next neighbour list): within it a position counts as wrapped into the box.
STRAY = 0.1


class Box:
    """A simulation box: an origin, three edge vectors (rows of `edges`, a right-handed set) and which
    directions are periodic. LAMMPS's restricted triclinic boxes have a along x and b in the xy plane
    (`restricted`: `lo`, `hi` and `tilt` describe them); its general ones, any orientation.

    Directions are those of the edge vectors: "periodic in y" means "along b".
    """

    def __init__(self, origin, edges, periodic=(False, False, False)):
        shapes = {"origin": (np.shape(origin), (3,)), "edges": (np.shape(edges), (3, 3)),
                  "periodic": (np.shape(periodic), (3,))}
        for name, (shape, wanted) in shapes.items():
            if shape != wanted:
                raise ValueError(f"the box's {name} has shape {shape}, not {wanted}")
        if not all(isinstance(flag, (bool, np.bool_)) or flag in (0, 1) for flag in np.ravel(periodic)):
            raise ValueError(f"the box's periodic flags are True or False, not {list(np.ravel(periodic))}")
        self.origin = np.array(origin, dtype=np.float64).reshape(3)
        self.edges = np.array(edges, dtype=np.float64).reshape(3, 3)
        self.periodic = np.array(periodic, dtype=bool).reshape(3)
        if not (np.isfinite(self.origin).all() and np.isfinite(self.edges).all()):
            raise ValueError("the box has bounds that are not finite numbers")
        if not np.linalg.det(self.edges) > 0:
            raise ValueError("the box's edge vectors a, b, c must span a volume, right-handed ((a x b) . c > 0)")

    @classmethod
    def orthogonal(cls, lo, hi, periodic=(False, False, False)):
        lo, hi = np.asarray(lo, dtype=np.float64), np.asarray(hi, dtype=np.float64)
        return cls(lo, np.diag(hi - lo), periodic)

    @classmethod
    def given(cls, box):
        """A box as the Python face takes one: a Box, or the (2, 3) lower and upper corners of a box
        periodic in every direction (None stays None). ValueError otherwise."""
        if box is None or isinstance(box, cls):
            return box
        corners = np.asarray(box, dtype=np.float64)
        if corners.shape != (2, 3):
            raise ValueError(f"expected a Box or the (2, 3) lower and upper corners, got shape {corners.shape}")
        return cls.orthogonal(corners[0], corners[1], periodic=(True, True, True))

    @classmethod
    def from_lammps(cls, lo, hi, tilt=(0.0, 0.0, 0.0), periodic=(False, False, False)):
        """From LAMMPS's xlo xhi ylo yhi zlo zhi and xy xz yz (the bounds of the box itself, not the
        bounding box a dump writes: `read_lammps` undoes that first)."""
        lo, hi = np.asarray(lo, dtype=np.float64), np.asarray(hi, dtype=np.float64)
        xy, xz, yz = (float(t) for t in tilt)
        size = hi - lo
        return cls(lo, [[size[0], 0.0, 0.0], [xy, size[1], 0.0], [xz, yz, size[2]]], periodic)

    def record(self):
        """The box as lists, for a JSON record (`Box.of_record` gives it back, to the bit)."""
        return [self.origin.tolist(), self.edges.tolist(), self.periodic.tolist()]

    @classmethod
    def of_record(cls, record):
        return cls(*record)

    @property
    def restricted(self):
        """Whether a lies along x and b in the xy plane, both positive: LAMMPS's bounds and tilts."""
        return not np.triu(self.edges, 1).any() and bool((np.diag(self.edges) > 0).all())

    @property
    def triclinic(self):
        return bool((self.edges - np.diag(np.diag(self.edges))).any())

    @property
    def lo(self):
        return self.origin.copy()

    @property
    def hi(self):
        return self.origin + np.diag(self.edges)

    @property
    def tilt(self):
        """(xy, xz, yz) as LAMMPS names them."""
        return (float(self.edges[1, 0]), float(self.edges[2, 0]), float(self.edges[2, 1]))

    @property
    def any_periodic(self):
        return bool(self.periodic.any())

    def fractions(self, displacement):
        """Displacements (n, 3) in units of the edge vectors."""
        displacement = np.asarray(displacement, dtype=np.float64)
        if not self.triclinic:
            # An orthogonal box's solve is a division by its edge lengths: the same bits without the
            # solve's cost, 3 s at ten million rows (making groups whole, binning, wrapping).
            return displacement / np.diag(self.edges)
        return np.linalg.solve(self.edges.T, displacement.T).T

    def along_edges(self, counts):
        """Whole numbers of edge vectors (n, 3) as displacements: `counts @ edges`, axis by axis in an
        orthogonal box."""
        counts = np.asarray(counts, dtype=np.float64)
        if self.triclinic:
            # Element by element, not the matrix product, whose BLAS kernel (fused or not) would
            # make the last bit depend on the machine.
            moved = counts[:, :1] * self.edges[0]
            moved += counts[:, 1:2] * self.edges[1]
            moved += counts[:, 2:3] * self.edges[2]
            return moved
        moved = counts * np.diag(self.edges)
        moved += 0.0  # the product's sum starts from +0: no -0 displacement, as with the matrix product
        return moved

    def shifts(self, displacement):
        """Whole numbers of edge vectors (n, 3), in the periodic directions only, that bring each
        displacement to its minimum image: add `images @ edges`.

        In a tilted box the image is LAMMPS's (`Domain::minimum_image`): in the box's restricted form,
        the nearest along z by c, then along y by b, then along x by a, so that each component ends
        within half the box's width. Rounding in edge units instead took a sheared box's compact
        molecule, longer than half an edge in those units, apart."""
        if not self.triclinic:
            shifts = -np.round(self.fractions(displacement))
            shifts[:, ~self.periodic] = 0.0
            return shifts
        moved, lower = self._turned(displacement)
        shifts = np.zeros_like(moved)
        for axis in (2, 1, 0):
            if self.periodic[axis]:
                shifts[:, axis] = -np.round(moved[:, axis] / lower[axis, axis])
                moved[:, :axis + 1] += shifts[:, axis, None] * lower[axis, :axis + 1]
        return shifts

    def widths(self, displacement):
        """Displacements (n, 3) in units of the box's widths along the x, y and z of its restricted form
        (in edge units where it is not tilted): a group whose members lie within half of each from one
        another has one minimum image (`shifts`)."""
        if not self.triclinic:
            return self.fractions(displacement)
        moved, lower = self._turned(displacement)
        return moved / np.diag(lower)

    def _turned(self, displacement):
        """(a copy of the displacements, the edges), both turned to LAMMPS's restricted form of the box
        (a along x, b in the xy plane: the edges lower triangular with a positive diagonal)."""
        displacement = np.array(displacement, dtype=np.float64)
        if self.restricted:
            return displacement, self.edges
        q, r = np.linalg.qr(self.edges.T)
        signs = np.where(np.diag(r) < 0, -1.0, 1.0)
        return displacement @ (q * signs), (r * signs[:, None]).T

    def minimum_image(self, displacement):
        displacement = np.asarray(displacement, dtype=np.float64)
        return displacement + self.along_edges(self.shifts(displacement))

    def wrap(self, positions):
        """Positions brought into the box in its periodic directions, and the image flags undone by it."""
        positions = np.asarray(positions, dtype=np.float64)
        images = np.floor(self.fractions(positions - self.origin))
        images[:, ~self.periodic] = 0.0
        return positions - self.along_edges(images), images.astype(np.int64)

    def unwrap(self, positions, images, in_place=False):
        """Wrapped positions and image flags (ix iy iz) to unwrapped positions, `positions` itself
        with in_place. The terms are added from the left, x + ix a_x + iy b_x + iz c_x, as LAMMPS
        writes its xu yu zu: a dump of x and ix and one of xu give the same bits, in a tilted box too
        (a grouped or matrix sum is an ulp away in one position of thirty)."""
        if in_place and positions.dtype == np.float64:
            moved = positions
        else:
            moved = np.array(positions, dtype=np.float64)
        images = np.asarray(images)
        for axis in range(3):
            for edge in range(3):
                # A zero component adds nothing: the sum so far is never -0 once ix a_x is added.
                if self.edges[edge, axis] != 0.0:
                    moved[:, axis] += images[:, edge] * self.edges[edge, axis]
        return moved

    def __eq__(self, other):
        return (isinstance(other, Box) and np.array_equal(self.origin, other.origin)
                and np.array_equal(self.edges, other.edges) and np.array_equal(self.periodic, other.periodic))

    def __repr__(self):
        flags = "".join("p" if p else "f" for p in self.periodic)
        if not self.restricted:
            return f"Box(origin={self.origin.tolist()}, edges={self.edges.tolist()}, periodic={flags!r})"
        return f"Box(lo={self.lo.tolist()}, hi={self.hi.tolist()}, tilt={self.tilt}, periodic={flags!r})"


@dataclass
class Frame:
    """One step of input. See the module's text for the two forms."""

    source: str                      # the file the step came from, for messages
    index: int                       # position in the series, from 0
    timestep: object                 # the simulation's step number or time
    positions: np.ndarray            # float64 (E+T, 3), unwrapped unless `wrapped`
    columns: dict = field(default_factory=dict)   # name -> (E+T,) or (E+T, k)
    box: Box = None
    wrapped: bool = False            # positions wrapped into a periodic box and no image flags given
    # Contacts: pairs of particle ids (the `id` column; source particles in the generator form).
    # The second id names a particle where the kind is 0 and another body (a wall) otherwise.
    contacts: np.ndarray = None      # int64 (C, 2)
    contact_kinds: np.ndarray = None               # int64 (C,)
    contact_values: dict = field(default_factory=dict)   # name -> (C,) or (C, k)
    no_contact_frame: bool = False   # contacts were given in frames of their own, and none has this step
    # Bonded pairs of particle ids, where a topology gives them: wrapped groups are made whole along them.
    bonds: np.ndarray = None         # int64 (B, 2)
    # The generator form only:
    parents: np.ndarray = None       # int (N,)
    masses: np.ndarray = None        # float64 (N,)
    enabled: np.ndarray = None       # int (E,)
    trailing_masses: np.ndarray = None             # float64 (T,)
    default_group: str = "mol"       # the column that names groups unless the user picks another
    time: float = None               # the simulation's time, where the input gives it beside the step
    units: str = None                # the LAMMPS unit style of the values, where the input names it
    first_id: int = 1                # the id of a format's first particle: parent_id = id - first_id
    # No ids: particles are known by their row, which the input does not keep from step to step (a
    # LAMMPS dump's atoms come in its processors' order unless dump_modify sort id).
    ids_by_row: bool = False
    guessed: tuple = ()              # columns a reader made up (ids, masses by element) that a topology's replace
    notes: tuple = ()                # what a run tells the user of the step (once each), as "has ..." texts
    dimension: int = None            # 2 or 3, where the input says (a GSD or H5MD file)
    # The image flags unwrapped positions were made with, in a tilted box: positions less them are
    # where the simulation held its particles, which shells and rings of bins are measured from.
    held_images: np.ndarray = None   # int (E, 3)

    def fail(self, array, problem):
        raise InputError(self.source, self.timestep, array, problem)

    def describe(self):
        """What the frame holds, as `vireo20 inspect` prints it: its particles, box, columns (type,
        components, range), groups and contacts.

        >>> print(vireo20.open("dump.lammpstrj")[0].describe())
        """
        from .describe import describe_frame
        return "\n".join(describe_frame(self))

    def __repr__(self):
        contacts = "" if self.contacts is None else f", {len(self.contacts)} contacts"
        return f"<Frame timestep {self.timestep} of {self.source}: {len(self.positions)} " \
               f"{'entries' if self.generator_form else 'particles'}, columns {', '.join(self.columns) or 'none'}" \
               f"{contacts}>"

    @property
    def generator_form(self):
        return self.parents is not None

    def to_pandas(self):
        """A pandas DataFrame of the frame's rows (particles, or the generator form's entries): x y z,
        then every column, vectors as NAME_x NAME_y NAME_z, labels as text; `vireo20.from_pandas`
        reads it back.

        >>> table = vireo20.open("dump.lammpstrj")[0].to_pandas()
        """
        import pandas
        from .upscale import table_columns
        return pandas.DataFrame(table_columns(self.positions, self.columns))

    def of_types(self, *types):
        """A copy with only the particles of `types` (numbers or type labels), as a dump of a LAMMPS
        group of them holds them: ids stay theirs, and contacts stay where both particles (or the
        particle and its wall) are kept. Only their masses need be known.

        >>> vireo20.upscale(**frame.of_types(1).arguments())
        """
        from .columns import of_types, type_column, type_list
        if self.generator_form:
            self.fail("type", "types are chosen among particles with a type column; this input gives parents")
        try:
            types = type_list(types, "--types")
            kept = of_types(type_column(self.columns, types), types, "--types")
        except ValueError as error:
            self.fail("type", str(error))
        # Ids that were the row numbers stay those of the whole step.
        columns = {"id": np.arange(len(self.positions), dtype=np.int64) + self.first_id, **self.columns}
        columns = {name: values[kept] for name, values in columns.items()}
        return dataclasses.replace(self, positions=self.positions[kept], columns=columns,
                                   held_images=None if self.held_images is None else self.held_images[kept],
                                   bonds=kept_bonds(self.bonds, columns["id"]),
                                   **dict(zip(("contacts", "contact_kinds", "contact_values"), kept_contacts(
                                       self.contacts, self.contact_kinds, self.contact_values, columns["id"]))))

    def arguments(self, group_by=None, masses=None, physics="all"):
        """The keyword arguments of `vireo20.upscale` for this frame.

        `group_by` names the column of group labels (default: the reader's, `mol` for LAMMPS);
        `masses` is a `MassRule` (default: a `mass` column, else radius and density).
        """
        from .columns import upscale_arguments
        return upscale_arguments(self, group_by, masses, physics)


def kept_contacts(contacts, kinds, values, ids):
    """(contacts, kinds, values) of the contacts whose particles are among `ids` (the first, with a
    wall)."""
    if contacts is None or not len(contacts):
        return contacts, kinds, values
    kept = np.isin(contacts[:, 0], ids) & (np.isin(contacts[:, 1], ids) | (kinds != 0 if kinds is not None else False))
    return (contacts[kept], kinds[kept] if kinds is not None else None,
            {name: np.asarray(column)[kept] for name, column in (values or {}).items()})


def kept_bonds(bonds, ids):
    """The bonds whose two particles are among `ids`."""
    return bonds if bonds is None or not len(bonds) else bonds[np.isin(bonds, ids).all(axis=1)]


class Series:
    """The frames of one input, in order: iterating gives Frames; `len()` and `series[i]`,
    `series[a:b:c]` (Python's slice rules, negative indexes too) where the input allows.

    A reader implements `loaders()`: one picklable object per frame with `.index` (its position in
    the series) and `.load()` (the Frame). The job sends loaders, not frames, to Dask workers, so a
    loader should hold where to find its frame (a file and a byte offset), not the frame's data,
    wherever the format can seek. `finish()` runs after the last frame was taken: it checks that
    the input was read to its end intact (a gzip stream's CRC, say) and raises InputError if not.
    """

    source = "-"
    # Whether loading a frame keeps every core busy by itself (a native reader over the cores). The
    # job reads such a frame only once the one before is reduced, not beside the reduction, which
    # would gain little but cost a frame's memory more.
    loads_on_every_core = False

    def loaders(self):
        raise NotImplementedError

    def read_in_order(self):
        """Promises that each frame is loaded, in this process, before the next loader is taken: a
        reader may then stream the file instead of indexing it first. Returns the series."""
        return self

    def finish(self):
        pass

    def notes(self):
        """What its user should be told of the input as a whole before it is read: texts."""
        return ()

    def __iter__(self):
        for loader in self.loaders():
            yield loader.load()
        self.finish()

    def __len__(self):
        return sum(1 for _ in self.loaders())

    def __getitem__(self, key):
        if isinstance(key, slice):
            return SlicedSeries(self, key)
        if not isinstance(key, (int, np.integer)):
            raise TypeError(f"series indexes are integers or slices, not {type(key).__name__}")
        count = len(self)
        index = int(key) + count if key < 0 else int(key)
        if not 0 <= index < count:
            raise IndexError(f"frame {key} is outside a series of {count} frames")
        return SlicedSeries(self, slice(index, index + 1)).loaders().__next__().load()


class HeldFrame:
    """A frame in memory as the loader of its place in a series."""

    path = None

    def __init__(self, index, frame):
        self.index, self.frame = index, frame

    def load(self):
        return dataclasses.replace(self.frame, index=self.index)


class _Renumbered:
    """A loader of the underlying series, at its position in a slice of it."""

    def __init__(self, loader, index):
        self.loader, self.index = loader, index

    def load(self):
        frame = self.loader.load()
        frame.index = self.index
        return frame


class SlicedSeries(Series):
    """series[start:stop:step]: frames renumbered from 0 in the order the slice gives."""

    def __init__(self, series, key):
        self.series, self.key = series, key
        self.source, self.loads_on_every_core = series.source, series.loads_on_every_core

    def read_in_order(self):
        self.series.read_in_order()
        return self

    def _positions(self):
        key = self.key
        needs_length = any(v is not None and v < 0 for v in (key.start, key.stop)) or (key.step or 1) < 0
        if needs_length:
            return range(len(self.series))[key]
        start, stop, step = key.start or 0, key.stop, key.step or 1
        if step <= 0:
            raise ValueError("slice step cannot be zero")
        return range(start, stop if stop is not None else 2 ** 62, step)

    def loaders(self):
        positions = self._positions()
        if positions.step < 0:
            chosen = {p: k for k, p in enumerate(positions)}
            held = {}
            for loader in self.series.loaders():
                k = chosen.get(loader.index)
                if k is not None:
                    held[k] = loader
            for k in range(len(positions)):
                yield _Renumbered(held[k], k)
            return
        k = 0
        for loader in self.series.loaders():
            if loader.index >= positions.stop:
                return
            if loader.index in positions:
                yield _Renumbered(loader, k)
                k += 1
                if k == len(positions):
                    return  # not a frame more: a dump still being written ends in a cut one

    def finish(self):
        if self.key.stop is None or (self.key.step or 1) < 0:
            self.series.finish()

    def notes(self):
        return self.series.notes()

    def __len__(self):
        return len(range(len(self.series))[self.key])
