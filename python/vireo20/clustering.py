"""Groups found in each step instead of read from a column: clusters of particles closer than a
cutoff, as LAMMPS's `compute cluster/atom` and OVITO's cluster analysis find them, or joined by
contacts, as `compute aggregate/atom` joins bonded atoms (a DEM run's agglomerates, from its dump
local of contacts; contacts with walls join nothing).

Two particles are in one cluster when their distance is below the cutoff (squared distances
compared, as LAMMPS does), or that between one and an image of the other through the periodic faces
of the box, or when a chain of such pairs joins them; a particle with no such neighbour is a cluster
of one. A cluster's label, its upscaled particle's `group_id`, is its lowest atom id, as LAMMPS
numbers clusters (ids that start at 0 are counted from 1), so a cluster that keeps its lowest member
keeps its group_id from step to step.

>>> frame = vireo20.open("dump.lammpstrj")[0]
>>> groups, whole = Clusters(1.5).find(frame.arguments())
"""
import math

import numpy as np

from . import _groups
from .columns import of_types, type_list
from .reading import find_sorted, particle_ids

# Images searched past a box thinner than the cutoff: a 2d run's z edge, say, but not a cutoff
# mistaken for another unit.
MOST_IMAGES = 64


class Clusters:
    """Clusters of distance (`cutoff`, a number) or of contacts (`cutoff` "contacts"), of the particles
    whose type is one of `types` (numbers or type labels; None: every particle). The others join no
    cluster: label 0, each upscaled on its own, as LAMMPS's cluster/atom leaves atoms beyond its group."""

    def __init__(self, cutoff, types=None):
        self.types = None if types is None else type_list(types, "--cluster-types")
        if isinstance(cutoff, str) and cutoff.strip().lower() == "contacts":
            self.cutoff = None
            return
        try:
            self.cutoff = float(cutoff)
        except (TypeError, ValueError):
            self.cutoff = math.nan
        if not (math.isfinite(self.cutoff) and self.cutoff > 0):
            raise ValueError(f"--cluster takes a distance above 0 or the word contacts, not {cutoff!r}")

    def find(self, arguments, types=None, spanning=None):
        """(the cluster label (int64) of each particle, the positions with each cluster made whole) of a
        step given as `vireo20.upscale`'s arguments (`positions`, `box`, `ids`, `first_id`; `contacts`
        and `contact_kinds` for clusters of contacts), `types` the particles' type column where only
        some types join; ValueError naming what stands in the way.

        A cluster that meets its own image across the periodic faces spans the box: no image of it is
        whole. Without `spanning` that is refused; with it (a list), its label is added there and its
        positions are left as given: unwrapped ones, as LAMMPS's chunk computes take them."""
        if self.types is not None:
            return self._of_types(arguments, types, spanning)
        positions = np.ascontiguousarray(arguments["positions"], dtype=np.float64)
        first, ids = particle_ids(arguments, len(positions))
        box = arguments.get("box")
        labels = np.empty(len(positions), dtype=np.int64)
        shifts = np.zeros((len(positions), 3), dtype=np.int64)
        if self.cutoff is None:
            periodic = _search_box(box, positions)[2]
            rows, pair_shifts = _contact_rows(arguments, ids, box, np.array(periodic))
            bad, wraps, axis, spans = _groups.clusters_by_pairs(rows, pair_shifts, ids, labels, shifts.reshape(-1))
        else:
            bad, wraps, axis, spans = _groups.clusters_by_distance(positions.reshape(-1), ids,
                                                                   *_search_box(box, positions, self.cutoff), labels,
                                                                   shifts.reshape(-1))
            if bad >= 0:
                raise ValueError(f"particle {bad} (id {ids[bad]}) has a position that is not a finite number, "
                                 "or lies a billion boxes out")
        if wraps >= 0 and spanning is None:
            raise ValueError(f"the cluster of atom id {labels[wraps]} meets its own image across the periodic faces "
                             f"along {'xyz'[axis]}: it spans the box and has no centre" +
                             (" (a smaller cutoff finds smaller clusters)" if self.cutoff is not None else ""))
        if spans:
            spanning.extend(label + 1 - first for label in spans)
        moved = shifts.any(axis=1)
        if moved.any():
            # As a group is made whole about its parent: the rows that move, by whole box edges.
            positions = positions.copy()
            positions[moved] += box.along_edges(shifts[moved])
        if first != 1:
            labels += 1 - first
        return labels, positions

    def _of_types(self, arguments, types, spanning):
        chosen = of_types(types, self.types, "--cluster-types")
        positions = np.asarray(arguments["positions"], dtype=np.float64)
        ids = particle_ids(arguments, len(positions))[1]
        some = dict(arguments, positions=positions[chosen], ids=ids[chosen])
        if self.cutoff is None and arguments.get("contacts") is not None:
            # Contacts join the particles of the types given only.
            pairs = np.asarray(arguments["contacts"], np.int64).reshape(-1, 2)
            kinds = arguments.get("contact_kinds")
            kept = (np.asarray(kinds) == 0 if kinds is not None else True) & np.isin(pairs, ids[chosen]).all(axis=1)
            some.update(contacts=pairs[kept], contact_kinds=None)
        labels, whole = np.zeros(len(positions), np.int64), positions.copy()
        labels[chosen], whole[chosen] = Clusters(self.cutoff if self.cutoff is not None else "contacts").find(
            some, spanning=spanning)
        return labels, whole

    def __repr__(self):
        cutoff = self.cutoff if self.cutoff is not None else "contacts"
        return f"Clusters({cutoff!r}" + (f", types={self.types!r})" if self.types is not None else ")")


def bonded_images(positions, ids, box, bonds):
    """(each particle's bonded fragment, labelled by its lowest id; the whole box edges (int64 (N, 3))
    that bring it to the image its fragment's bonds reach from that member, each bond to its nearest
    image; the labels of fragments that meet their own image across the faces, whose rows stay) of
    particles `ids` at `positions`, `bonds` (B, 2) pairs of ids. A bond naming an id not held joins
    nothing (its other atom was left out of the step)."""
    labels = np.empty(len(positions), np.int64)
    shifts = np.zeros((len(positions), 3), np.int64)
    ids = np.ascontiguousarray(ids, dtype=np.int64)
    rows, pair_shifts = _contact_rows({"contacts": bonds, "positions": positions}, ids, box, np.array(box.periodic))
    _, _, _, spans = _groups.clusters_by_pairs(rows, pair_shifts, ids, labels, shifts.reshape(-1))
    return labels, shifts, spans


def neighbour_counts(positions, groups, box, cutoff):
    """Each particle's neighbours closer than `cutoff` through the periodic faces of `box` (a
    `vireo20.Box` or None), as LAMMPS's compute coord/atom cutoff counts them, and those of its own
    group (`groups`, int32 labels): two int64 arrays; ValueError naming what stands in the way."""
    positions = np.ascontiguousarray(positions, dtype=np.float64)
    neighbours, inner = np.empty(len(positions), np.int64), np.empty(len(positions), np.int64)
    bad = _groups.neighbour_counts(positions.reshape(-1), np.ascontiguousarray(groups, dtype=np.int32),
                                   *_search_box(box, positions, cutoff), neighbours, inner)
    if bad >= 0:
        raise ValueError(f"particle {bad} has a position that is not a finite number, or lies a billion boxes out")
    return neighbours, inner


def _search_box(box, positions, cutoff=None):
    """(origin, edges, periodic flags, and `cutoff` where given) as the native search takes them. A 2d
    run's particles lie in one z plane, and LAMMPS makes no images across it."""
    origin, edges, periodic = (np.zeros(3), np.eye(3), np.zeros(3, bool)) if box is None else \
        (box.origin, box.edges, box.periodic.copy())
    periodic[2] &= not (len(positions) > 1 and np.ptp(positions[:, 2]) == 0)
    found = (tuple(origin), tuple(edges.reshape(-1)), tuple(bool(p) for p in periodic))
    if cutoff is None:
        return found
    volume = float(np.dot(edges[0], np.cross(edges[1], edges[2])))
    for axis in np.flatnonzero(periodic):
        width = volume / float(np.linalg.norm(np.cross(edges[(axis + 1) % 3], edges[(axis + 2) % 3])))
        if cutoff > MOST_IMAGES * width:
            raise ValueError(f"the cutoff {cutoff:g} is more than {MOST_IMAGES} times the periodic box's width "
                             f"along {'xyz'[axis]} ({width:g}): a particle would meet that many of its own images")
    return found + (float(cutoff),)


def _contact_rows(arguments, ids, box, periodic):
    """The rows of the particle-particle contacts (flat int64, two a pair) and the box edges from the
    first to the nearest image of the second (flat int64, three a pair). A contact naming an id the
    step does not hold joins nothing, as it draws no line."""
    contacts = arguments.get("contacts")
    if contacts is None:
        raise ValueError("--cluster contacts needs the contacts: give --contacts (a dump local, or LIGGGHTS's "
                         "force chains)")
    pairs = np.asarray(contacts, dtype=np.int64).reshape(-1, 2)
    kinds = arguments.get("contact_kinds")
    if kinds is not None:
        pairs = pairs[np.asarray(kinds) == 0]
    order = np.argsort(ids, kind="stable")
    at, found = find_sorted(ids[order], pairs.reshape(-1))
    rows = order[at].reshape(pairs.shape) if len(ids) else np.zeros_like(pairs)
    held = found.reshape(pairs.shape).all(axis=1)
    pairs, rows = pairs[held], rows[held]
    shifts = np.zeros(pairs.shape[:1] + (3,), dtype=np.int64)
    if box is not None and periodic.any() and len(pairs):
        positions = np.asarray(arguments["positions"], dtype=np.float64)
        found = box.shifts(positions[rows[:, 1]] - positions[rows[:, 0]])
        found[:, ~periodic] = 0
        shifts = found.astype(np.int64)
    return np.ascontiguousarray(rows.reshape(-1), dtype=np.int64), np.ascontiguousarray(shifts.reshape(-1))
