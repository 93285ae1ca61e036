"""Each upscaled particle's displacement from its centre at the run's first step, as LAMMPS's
msd/chunk gives it per chunk (`--msd`): `displacement` (x y z) and `msd` (dx^2, dy^2, dz^2 and their
sum); and the products of its mean velocity with that at the first step, as vacf/chunk gives them
(`--vacf`): `vacf` (vx vx0, vy vy0, vz vz0 and their sum). An upscaled particle is known from step
to step by its group label, or, on its own, by its particle id; one not there at the first step has
NaN.

Positions wrapped into a periodic box without image flags (`dump atom`'s default) are unwrapped
through time: a centre that moves by more than half the box between the steps where it is seen is
taken to have crossed a face, and counts that crossing as image flags do, in whole box vectors of
each step's box. This holds while no centre moves half a box between two dumped steps, as for
MDAnalysis's NoJump.
"""
import numpy as np

from .frames import InputError
from .upscale import REDUCTIONS

# Trailing entries are numbered past every particle id, so no label or id takes their keys.
TRAILING_KEYS = -(1 << 62)
NO_RESUME = ("a --msd run over wrapped positions cannot resume: the face crossings of the steps before are not "
             "kept; run it again without --resume")


def keys(group_id, parent_id, trailing):
    """What names each upscaled particle across steps: its group label where it has one (> 0), else
    -(its particle id + 1); the trailing entries have keys of their own."""
    group_id, parent_id = np.asarray(group_id, np.int64), np.asarray(parent_id, np.int64)
    named = np.where(group_id > 0, group_id, -(parent_id + 1))
    if trailing:
        named[-trailing:] = TRAILING_KEYS - np.arange(trailing)
    return named


class Displacements:
    """The first step's centres (`msd`) and mean velocities (`vacf`) by key, and each later step's
    displacements and velocity products from them."""

    def __init__(self, named=None, centres=None, velocities=None, msd=True, vacf=False):
        self.msd, self.vacf = msd, vacf
        self.keys = self.reference = self.reference_velocities = None
        # Wrapped positions: each key's centre where last seen, its face crossings since the first step,
        # and the edges of the box they count in.
        self.seen = self.images = self.edges = None
        self.resumed = named is not None
        if named is not None:
            self._start(named, centres, velocities)

    def _start(self, named, centres, velocities):
        self.keys, first = np.unique(named, return_index=True)
        self.reference = np.asarray(centres, np.float64)[first]
        if self.vacf:
            self.reference_velocities = np.asarray(velocities, np.float64)[first]

    def add(self, result):
        """Adds `displacement` and `msd`, or `vacf`, to the step's physics arrays."""
        named = keys(result.group_id, result.parent_id, result.t)
        centres = np.asarray(result.centres, np.float64)
        velocities = _mean_velocities(result) if self.vacf else None
        if self.keys is None:
            if not len(named):
                from .run import FIRST_STEP_EMPTY
                measures = " and ".join(name for name, on in (("--msd", self.msd), ("--vacf", self.vacf)) if on)
                raise InputError(result.source, result.timestep, "positions",
                                 f"{FIRST_STEP_EMPTY} {measures} measure{'s' * (' and ' not in measures)} "
                                 "each particle from there")
            self._start(named, centres, velocities)
        at = np.minimum(np.searchsorted(self.keys, named), len(self.keys) - 1)
        known = self.keys[at] == named if len(self.keys) else np.zeros(len(named), bool)
        if self.msd:
            if getattr(result, "wrapped", False):
                centres = self._unwrapped(result.box, at[known], known, centres)
            displacement = np.full(centres.shape, np.nan)
            displacement[known] = centres[known] - self.reference[at[known]]
            result.physics["displacement"] = displacement
            result.physics["msd"] = _with_total(np.square(displacement))
        if self.vacf:
            products = np.full(centres.shape, np.nan)
            products[known] = velocities[known] * self.reference_velocities[at[known]]
            result.physics["vacf"] = _with_total(products)

    def _unwrapped(self, box, at, known, centres):
        """The centres of a wrapped step unwrapped by the crossings counted so far and this step's own."""
        if self.seen is None:
            if self.resumed:
                raise ValueError(NO_RESUME)
            self.seen, self.images = self.reference.copy(), np.zeros(self.reference.shape)
        if self.edges is not None and not np.array_equal(self.edges, box.edges):
            # A sheared box that flips (LAMMPS's fix deform, flip yes) takes other edges of the same
            # lattice: the crossings are counted in them from here, as LAMMPS's image_flip counts its
            # image flags, so that the unwrapped centres go on where they were.
            turn = np.round(self.edges @ np.linalg.inv(box.edges))
            if not np.array_equal(turn, np.eye(3)) and round(abs(np.linalg.det(turn))) == 1:
                self.images = self.images @ turn
        self.edges = box.edges
        here = centres[known]
        self.images[at] += box.shifts(here - self.seen[at])
        self.seen[at] = here
        unwrapped = centres.copy()
        unwrapped[known] = box.unwrap(here, self.images[at], in_place=True)
        return unwrapped

    @classmethod
    def from_step_file(cls, path, trailing, msd=True, vacf=False):
        """The reference of a resumed run: its first step file's own points and velocities, by key (the
        step had `trailing` trailing entries)."""
        from .write_vtk import read_step_file
        points, arrays, _ = read_step_file(path)
        if not len(points):
            return cls(np.zeros(0, np.int64), np.zeros((0, 3)), np.zeros((0, 3)), msd, vacf)
        group_id, parent_id = arrays["group_id"], arrays["parent_id"]
        # The velocity averaged by mass, alone or as one of its several reductions (`_mean_velocities`).
        velocities = (arrays["velocity"] if "velocity" in arrays else arrays["velocity_average"]) if vacf else None
        return cls(keys(group_id, parent_id, trailing), points, velocities, msd, vacf)


def _with_total(components):
    """(n, 3) components and their sum as a fourth column, NaN where unknown."""
    out = np.empty((len(components), 4))
    out[:, :3] = components
    out[:, 3] = components[:, 0] + components[:, 1] + components[:, 2]
    return out


def _mean_velocities(result):
    # The velocity's average by mass, alone or as one of its several reductions.
    several = "velocity" not in result.values and any(f"velocity_{how}" in result.values for how in REDUCTIONS)
    name = "velocity_average" if several else "velocity"
    velocity = result.values.get(name)
    if velocity is None and not len(result.centres):
        return np.zeros((0, 3))   # a step of no particles (a pour's first) may have no such column
    averaged = "--vacf needs the velocity averaged by mass, its default reduction (or among its several)"
    problem = averaged if several and velocity is None else "--vacf needs each particle's velocity (vx vy vz)" \
        if velocity is None or np.ndim(velocity) != 2 or np.shape(velocity)[1] != 3 else \
        averaged if result.reductions.get(name) != "average" else None
    if problem:
        raise InputError(result.source, result.timestep, "velocity", problem)
    return np.asarray(velocity, np.float64)
