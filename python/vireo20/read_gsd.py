"""Input from a HOOMD-blue GSD trajectory (read with the `gsd` package, Debian's python3-gsd).

Positions: `particles/position` unwrapped with `particles/image` in the frame's box, where the
image flags hold. HOOMD writes them (its `momentum` category) in frame 0 alone unless `dynamic`
names it, and a frame without them reads frame 0's, stale once a particle crossed a face: in a
file that another writer than gsd's own (which leaves out only a chunk equal to frame 0's) wrote
so, the positions are taken as wrapped, each group made whole about its parent (along its bonds,
`bonds/group`, where it reaches further than half the box), as a LAMMPS dump of wrapped positions.
HOOMD's box [Lx, Ly, Lz, xy, xz, yz] is centred on the origin with dimensionless tilt factors: edges
a = (Lx, 0, 0), b = (xy Ly, Ly, 0), c = (xz Lz, yz Lz, Lz), origin -(a + b + c)/2, periodic in every
direction; z is not periodic when `configuration/dimensions` is 2 (and is 1 long when Lz is 0).
Timestep: `configuration/step`. Frames may change their particle count.

Columns: `id` (the particle's index + 1: GSD stores no ids); `mass` (HOOMD's default 1 where the file
has none); `body`, the rigid body as a group label (`particles/body` + 1; 0 for -1, no body;
floppy bodies, below -1, are no group here: group them by molecule); `molecule`, the bonded molecule
(the connected components of `bonds/group`, numbered from 1 in the order of their lowest particle;
0 for a particle without bonds); `type` (`particles/typeid`) and `typelabel` (its name in
`particles/types`); and every further per-particle chunk
the file holds under its own name: `velocity`, `charge`, `diameter`, `orientation`, `angmom`,
`moment_inertia`, and `log/particles/NAME` as `NAME` (of such a file as above, `velocity`, `angmom`
and `orientation` only where every frame stores them: not frame 0's in every frame). Groups default
to `body` when a particle of the frame belongs to a rigid body, else to `molecule`.
"""
import os

import numpy as np

from .frames import Box, InputError
from .reading import (FrameLoader, Loaders, bonded_components, cached_open, column, missing_library,
                      particles_frame)

MAGIC = bytes.fromhex("df65df65df65df65")
PER_PARTICLE = ("velocity", "charge", "diameter", "orientation", "angmom", "moment_inertia")
WIDTHS = {"velocity": (3,), "orientation": (4,), "angmom": (4,), "moment_inertia": (3,)}
LOG_PARTICLES = "particles/"   # under log/
# What gsd raises on a damaged file (a wrecked index may ask for petabytes).
DAMAGED = (OSError, RuntimeError, ValueError, TypeError, KeyError, IndexError, MemoryError)


def sniff(path, head):
    # The header names its schema within its first 256 bytes.
    return head.startswith(MAGIC) and b"hoomd" in head[:256]


def _open_trajectory(path):
    import gsd
    import gsd.hoomd
    # gsd 3 renamed the read-only mode.
    mode = "rb" if int(gsd.__version__.split(".")[0]) < 3 else "r"
    try:
        return gsd.hoomd.open(path, mode)
    except DAMAGED as error:
        raise InputError(path, "-", "-", f"not a readable HOOMD GSD file ({error})") from None


def _trajectory(path):
    try:
        return cached_open(path, _open_trajectory)
    except ImportError as error:
        raise missing_library(path, "GSD", "python3-gsd", error) from None


def open_series(path, group_by=None):
    """The frames of a GSD file; `group_by` names the default group column instead of body/molecule."""
    count = len(_trajectory(path))
    return Loaders(path, (FrameLoader(read_frame, path, i, {"group_by": group_by}) for i in range(count)))


def hoomd_box(box, dimensions):
    """The Box of HOOMD's [Lx, Ly, Lz, xy, xz, yz]."""
    lx, ly, lz, xy, xz, yz = (float(v) for v in box)
    flat = dimensions == 2
    if flat and lz == 0.0:
        lz = 1.0
    edges = np.array([[lx, 0.0, 0.0], [xy * ly, ly, 0.0], [xz * lz, yz * lz, lz]])
    return Box(-edges.sum(axis=0) / 2.0, edges, (True, True, not flat))


_molecules_of = {}
_current_of = {}
# The chunks that change as a simulation runs, which a frame that lacks them reads from frame 0.
MOVING = ("particles/image", "particles/velocity", "particles/angmom", "particles/orientation")


def _current(path, trajectory):
    """The moving chunks every frame reads as its own: from gsd's writer, which leaves out only a chunk
    equal to frame 0's, those some frame stores (image flags stored nowhere were never written: the
    positions, inside the box as GSD keeps them, are wrapped); from others (HOOMD), those stored in
    every frame that stores positions."""
    key = (path, os.stat(path).st_mtime_ns)
    if key not in _current_of:
        file = trajectory.file
        if len(_current_of) >= 4:
            _current_of.pop(next(iter(_current_of)))
        moved = [k for k in range(file.nframes) if file.chunk_exists(frame=k, name="particles/position")]
        _current_of[key] = \
            {name for name in MOVING if any(file.chunk_exists(frame=k, name=name) for k in range(file.nframes))} \
            if str(file.application).startswith("gsd.hoomd") else \
            {name for name in MOVING if all(file.chunk_exists(frame=k, name=name) for k in moved)}
    return _current_of[key]


def _molecules(path, trajectory, index, step, count, bonds):
    """The molecule labels, worked out again only when a frame brings bonds of its own: a frame
    without them has frame 0's (gsd.hoomd's rule), and so its molecules."""
    stored = trajectory.file.chunk_exists(frame=index, name="bonds/group")
    key = (path, os.stat(path).st_mtime_ns, index if stored else 0, count)
    if key not in _molecules_of:
        pairs = np.asarray(bonds, dtype=np.int64).reshape(-1, 2)
        if len(pairs) and (pairs.min() < 0 or pairs.max() >= count):
            raise InputError(path, step, "bonds/group", f"a bond names particle {pairs.max()} "
                                                        f"in a frame of {count} particles")
        if len(_molecules_of) >= 4:
            _molecules_of.pop(next(iter(_molecules_of)))
        _molecules_of[key] = bonded_components(count, pairs)
    return _molecules_of[key].copy()


def read_frame(path, index, group_by=None):
    trajectory = _trajectory(path)
    try:
        snapshot = trajectory[index]
    except DAMAGED as error:
        raise InputError(path, f"#{index} of the file", "-", f"the frame cannot be read ({error})") from None
    step = int(snapshot.configuration.step)
    particles = snapshot.particles
    count = int(particles.N)

    exists = trajectory.file.chunk_exists
    first_count = int(trajectory.file.read_chunk(frame=0, name="particles/N")[0]) \
        if exists(frame=0, name="particles/N") else 0

    def stored(chunk):
        # gsd.hoomd fills a chunk the frame lacks from frame 0 (same count) or with HOOMD's default:
        # only stored values become columns.
        return exists(frame=index, name=chunk) or (exists(frame=0, name=chunk) and first_count == count)

    def per_particle(name, values, width=None):
        values = np.asarray(values)
        if len(values) != count or (width and values.shape[1:] != (width,)):
            raise InputError(path, step, name, f"has shape {values.shape} in a frame of {count} particles")
        return values

    try:
        box = hoomd_box(snapshot.configuration.box, int(snapshot.configuration.dimensions))
    except ValueError as error:
        raise InputError(path, step, "configuration/box", f"{list(snapshot.configuration.box)}: {error}") from None
    try:
        positions = per_particle("particles/position", particles.position, 3).astype(np.float64)
        current = _current(path, trajectory)
        wrapped = "particles/image" not in current
        if not wrapped:
            positions = box.unwrap(positions, per_particle("particles/image", particles.image, 3), in_place=True)
        body = per_particle("particles/body", particles.body).astype(np.int64)
        columns = {
            "mass": column(per_particle("particles/mass", particles.mass)),
            "body": np.where(body == -1, 0, body + 1),
            "molecule": _molecules(path, trajectory, index, step, count, snapshot.bonds.group),
            "type": column(per_particle("particles/typeid", particles.typeid)),
        }
        names = np.array([name.encode() for name in particles.types or ()], dtype="S")
        if len(names) and (0 <= columns["type"].min(initial=0)) and columns["type"].max(initial=0) < len(names):
            columns["typelabel"] = names[columns["type"]]   # HOOMD's type names, which --types and --mass take
        # A frame of no particles (a pour's first) stores none of their chunks: it has the columns the
        # file's other frames store, empty, as a LAMMPS dump's does, so that the time averages
        # planned at it hold them.
        anywhere = set(trajectory.file.find_matching_chunk_names("particles/")) if not count else set()
        for name in PER_PARTICLE:
            chunk = f"particles/{name}"
            if chunk in MOVING and chunk not in current:
                continue   # frame 0's velocities in every frame: no column of the later ones
            if stored(chunk):
                columns[name] = column(per_particle(f"particles/{name}", getattr(particles, name)))
            elif f"particles/{name}" in anywhere:
                columns[name] = column(np.zeros((0,) + WIDTHS.get(name, ())))
        for name, values in snapshot.log.items():
            if name.startswith(LOG_PARTICLES):
                columns[name[len(LOG_PARTICLES):]] = column(per_particle("log/" + name, values))
    except InputError:   # a ValueError too
        raise
    except DAMAGED as error:
        raise InputError(path, step, "-", f"the frame cannot be read ({error})") from None
    default = group_by or ("body" if (body >= 0).any() else "molecule")
    frame = particles_frame(path, index, step, positions, columns, box, wrapped=wrapped, default_group=default)
    frame.bonds = np.asarray(snapshot.bonds.group, dtype=np.int64).reshape(-1, 2) + 1   # as the ids, index + 1
    frame.dimension = int(snapshot.configuration.dimensions)
    return frame
