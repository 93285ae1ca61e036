"""The built-in data set: clusters of 1 to 8 spheres of unequal masses falling in a box.

Particles that leave the box (through the sides or the floor) drop out of the enabled list, which
is shuffled every step; three trailing pass-through entries (probes at fixed places) follow; there
are contacts inside clusters (left out of the output), between neighbouring clusters and with the
floor. Every step is computed from the seed alone, so any process can make any step.
"""
import functools

import numpy as np

from . import _groups
from .frames import Box, Frame, Series

GRAVITY = 9.81
PROBES = 3


class SyntheticSeries(Series):
    source = "built-in data set"

    def __init__(self, clusters=2000, steps=40, seed=20, duration=2.0):
        # Every series covers the same fall, so a longer one is finer in time, not emptier.
        self.clusters, self.steps, self.seed = clusters, steps, seed
        self.dt = duration / max(steps, 1)

    def loaders(self):
        return (SyntheticFrame(self, index) for index in range(self.steps))

    def __len__(self):
        return self.steps

    def world(self):
        """Particles at rest: (parents, masses, initial positions, velocities, cluster size, contact
        candidates, box side)."""
        return _world(self.clusters, self.seed, self.dt * max(self.steps - 1, 0))


@functools.lru_cache(maxsize=1)
def _world(clusters, seed, last_time):
    # Kept per process (a Dask worker makes it once), read-only as every step shares it.
    rng = np.random.default_rng(seed)
    sizes = rng.integers(1, 9, clusters)
    n = int(sizes.sum())
    side = 3.0 * clusters ** (1.0 / 3.0)
    cluster = np.repeat(np.arange(clusters), sizes)
    centre = rng.uniform(0.0, side, (clusters, 3))
    drift = np.column_stack([rng.normal(0.0, 0.6, (clusters, 2)), np.zeros(clusters)])
    # Source particles are numbered in a shuffled order, so parents are not neighbours in memory.
    number = rng.permutation(n)
    first = np.r_[0, np.cumsum(sizes)[:-1]]
    parents = np.full(n, -1, np.int64)
    parents[number] = number[first[cluster]]
    parents[number[first]] = -1
    masses, size = np.empty(n), np.empty(n, np.int64)
    masses[number] = rng.uniform(0.5, 2.0, n)
    # Rows placed at `number` are rows gathered from the inverse permutation, natively over the
    # cores into arrays made once: assigning through an index array goes element by element, and
    # every NumPy temporary of ten million rows is fresh pages (the world took 7.7-8.2 s at ten million
    # particles with np.take, 5.8-6.7 s so, the same arrays).
    inverse = np.empty(n, np.int64)
    inverse[number] = np.arange(n)
    expanded = np.repeat(centre, sizes, axis=0)
    expanded += rng.uniform(-0.6, 0.6, (n, 3))
    position = np.empty((n, 3))
    _groups.take_rows(expanded.reshape(-1), 3, inverse, position.reshape(-1))
    del expanded
    cluster_of = np.empty(n, np.int64)
    _groups.take_rows(cluster, 1, inverse, cluster_of)
    velocity = np.empty((n, 3))
    _groups.take_rows(np.ascontiguousarray(drift).reshape(-1), 3, cluster_of, velocity.reshape(-1))
    _groups.take_rows(sizes, 1, cluster_of, size)
    del cluster_of
    # Contacts are looked for among neighbours in x order at rest, sorted once per world, and only
    # among those that can come within one unit before the last step: their gap at rest less how far
    # their drift takes them apart by then (the fall moves every particle alike). At ten million
    # particles that leaves a few in a thousand, and a step no longer gathers every pair's positions.
    order = np.argsort(position[:, 0], kind="stable")
    candidates = np.stack([order[:-1], order[1:]], axis=1) if n > 1 else np.zeros((0, 2), np.int64)
    # Neighbours are next to each other once sorted: one gather each, not two, into one buffer.
    by_x = np.empty((n, 3))
    _groups.take_rows(position.reshape(-1), 3, order, by_x.reshape(-1))
    gap = by_x[:-1] - by_x[1:]
    _groups.take_rows(velocity.reshape(-1), 3, order, by_x.reshape(-1))
    apart = np.subtract(by_x[:-1], by_x[1:], out=by_x[:-1])
    reach = np.sqrt(np.einsum("ij,ij->i", gap, gap)) - np.sqrt(np.einsum("ij,ij->i", apart, apart)) * last_time
    del by_x, gap, apart
    candidates = candidates[reach < 1.0 + 1e-6]
    world = (parents, masses, position, velocity, size, candidates)
    for array in world:
        array.setflags(write=False)
    return world + (side,)


class SyntheticFrame:
    def __init__(self, series, index):
        self.series, self.index = series, index

    def load(self):
        series = self.series
        parents, masses, position, velocity, size, candidates, side = series.world()
        t = self.index * series.dt
        position = position + velocity * t
        position[:, 2] -= 0.5 * GRAVITY * t * t
        # Columns and'ed one by one: .all(axis=1) over rows of three took twice as long.
        on = (position >= 0.0) & (position <= side)
        on = on[:, 0] & on[:, 1] & on[:, 2]
        rng = np.random.default_rng([series.seed, self.index])
        enabled = rng.permutation(np.flatnonzero(on))
        probes = np.array([[0.0, 0.0, 0.0], [side, 0.0, 0.0], [0.0, side, side]])
        # Gathered straight into place, natively: np.take with "clip" takes 0.3-0.55 s a gather at ten
        # million particles, fancy indexing twice that, and either into a temporary 1 s.
        rows = len(enabled) + PROBES
        positions, velocities = np.empty((rows, 3)), np.empty((rows, 3))
        inside_rows = slice(0, 3 * len(enabled))
        _groups.take_rows(position.reshape(-1), 3, enabled, positions.reshape(-1)[inside_rows])
        positions[-PROBES:] = probes
        _groups.take_rows(velocity.reshape(-1), 3, enabled, velocities.reshape(-1)[inside_rows])
        velocities[:-PROBES, 2] -= GRAVITY * t
        velocities[-PROBES:] = 0.0
        cluster_size = np.zeros(rows, np.int64)
        _groups.take_rows(size, 1, enabled, cluster_size[:-PROBES])
        contacts, kinds = _contacts(on, enabled, position, positions[:-PROBES], candidates)
        return Frame(
            source=series.source, index=self.index, timestep=self.index * 100,
            parents=parents, enabled=enabled, masses=masses,
            positions=positions,
            trailing_masses=np.full(PROBES, 1.0),
            columns={"velocity": velocities,
                     "cluster_size": cluster_size},
            contacts=contacts, contact_kinds=kinds,
            box=Box.orthogonal([0.0, 0.0, 0.0], [side, side, side]))


def _contacts(on, enabled, position, enabled_positions, candidates):
    """The candidate pairs (neighbours in x order at rest) that are both enabled (`on`) and closer
    than one unit, and the floor (kind 1) under particles near it. The floor reads the positions
    already gathered in enabled order: position[enabled, 2] gathers ten million rows again (0.3 s)."""
    pairs = candidates[on[candidates[:, 0]] & on[candidates[:, 1]]]
    close = np.einsum("ij,ij->i", *(2 * [position[pairs[:, 0]] - position[pairs[:, 1]]])) < 1.0
    pairs = pairs[close]
    floor = enabled[enabled_positions[:, 2] < 0.5]
    contacts = np.concatenate([pairs, np.stack([floor, np.zeros_like(floor)], axis=1)])
    kinds = np.r_[np.zeros(len(pairs), np.int64), np.ones(len(floor), np.int64)]
    return contacts, kinds
