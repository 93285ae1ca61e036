"""The per-step job: group, reduce, remap contacts and build the point mesh; then the run over a series.

`process_step` is the whole computation of one step with the generator; `upscale` runs it over
every frame of an input, serially or on a Dask cluster, and hands each result to the writers in
step order. Nothing here reads or writes a file format itself.
"""
import collections
import time
from dataclasses import dataclass, fields

import numpy as np

from .engine import default_engine
from .step import InputError

REDUCTIONS = ("sum", "average", "any")
# Arrays every result carries under these names; a value array may not take them.
RESERVED_NAMES = ("mass", "parent_id")


def default_reduction(values):
    """Floating-point values are mass-weighted averages; integer ones (labels, types) take any member's."""
    return "average" if np.asarray(values).dtype.kind == "f" else "any"


def to_numpy(obj):
    return obj.to_numpy() if hasattr(obj, "to_numpy") else np.asarray(obj)


@dataclass
class StepResult:
    """What one step produces; the per-entry arrays may still be quill20 objects (no copy)."""
    source: str
    index: int
    timestep: object
    n: int
    e: int
    u: int
    t: int
    element: object         # int32 (E+T): upscaled entry of each input entry
    ids: object             # int32 (U+T): parent id of each upscaled particle, N+j for trailing j
    mass: object            # float64 (U+T): summed mass
    points: np.ndarray      # float64 (U+T, 3): centres of mass from the particles geometry
    vertices: np.ndarray    # int64 (U+T): the vertex of each point cell of the particles topology
    lines: np.ndarray       # int64 (L, 2): contacts between different upscaled particles
    values: dict            # name -> reduced values (U+T,) or (U+T, k)
    reductions: dict        # name -> "sum", "average" or "any"
    mass_before: float
    mass_after: float
    drift: float            # largest component of the move of the system's centre of mass
    seconds: float
    box: np.ndarray = None
    boundary: str = None
    source_points: np.ndarray = None     # the step's input entries, kept only for the picture
    source_masses: np.ndarray = None

    def detached(self):
        """The same result with plain NumPy arrays, to send between processes."""
        for f in fields(self):
            value = getattr(self, f.name)
            if f.name == "values":
                setattr(self, f.name, {k: np.array(to_numpy(v)) for k, v in value.items()})
            elif hasattr(value, "to_numpy"):
                setattr(self, f.name, np.array(value.to_numpy()))
        return self

    def summary(self):
        return (f"step {self.index} (timestep {self.timestep}): E={self.e} U={self.u} T={self.t} "
                f"mass {self.mass_before:.10g} -> {self.mass_after:.10g} "
                f"centre-of-mass drift {self.drift:.3g} in {self.seconds:.3f} s")


class _Calls:
    """Turns the generator's refusal of a step's input into that step's InputError."""

    def __init__(self, step):
        self.step = step

    def __call__(self, array, method, *args):
        try:
            return method(*args)
        except RuntimeError as error:
            text = " ".join(str(error).split())
            raise InputError(self.step.source, self.step.timestep, array, text) from error


def _reduce(engine, generator, step, name, values, how, masses):
    if how == "any":
        if values.dtype.kind == "f":
            dtype = "float64"
        else:
            info = np.iinfo(np.int32)
            if values.size and (values.max() > info.max or values.min() < info.min):
                step.fail(name, "integer values outside the int32 range cannot be taken over")
            dtype = "int32"
        method, extra = generator.TakeAny, ()
    else:
        dtype = "float64"
        method, extra = (generator.Sum, ()) if how == "sum" else (generator.WeightedAverage, (masses,))
    call = _Calls(step)
    if values.ndim == 1:
        gf = engine.grid_function(values, dtype=dtype, name=name)
        return call(name, method, gf, *extra)
    columns = [to_numpy(call(name, method, engine.grid_function(values[:, k], dtype=dtype), *extra))
               for k in range(values.shape[1])]
    return np.stack(columns, axis=1)


def _lines(engine, generator, step, ids):
    """Contacts re-addressed to parents, as pairs of output entries; those inside one particle dropped."""
    if not len(step.contacts):
        return np.zeros((0, 2), np.int64)
    call = _Calls(step)
    kinds = engine.grid_function(step.contact_kinds, dtype="int32", name="contact_kinds")
    first = engine.grid_function(step.contacts[:, 0], dtype="int32", name="contacts")
    second = engine.grid_function(step.contacts[:, 1], dtype="int32", name="contacts")
    # Both calls rewrite the ids in place.
    call("contacts", generator.GetContactParentIDFrom, first)
    call("contacts", generator.GetContactParentIDTo, second, kinds)
    first, second = to_numpy(first).astype(np.int64), to_numpy(second).astype(np.int64)
    entry_of = np.full(step.n + step.trailing, -1, np.int64)
    entry_of[ids] = np.arange(len(ids))
    keep = (step.contact_kinds == 0) & (first != second)
    pairs = np.stack([entry_of[first[keep]], entry_of[second[keep]]], axis=1)
    # A contact with a particle that is not enabled in this step has no centre to end at.
    return pairs[(pairs >= 0).all(axis=1)]


def _vertices(topology):
    """The point of each cell: cells are stored as (point count, point ids) from their start."""
    connectivity = to_numpy(topology.connectivity).astype(np.int64)
    starts = to_numpy(topology.cells_index).astype(np.int64)[:topology.number_of_cells()]
    assert (connectivity[starts] == 1).all(), "the particles topology has cells of more than one point"
    return connectivity[starts + 1]


def process_step(step, engine=None, reductions=None, keep_source=False):
    """Every generator method that applies, over one validated step; returns a StepResult."""
    started = time.perf_counter()
    engine = engine or default_engine()
    reductions = reductions or {}
    step.validate()
    for name in step.values:
        if name in RESERVED_NAMES:
            step.fail(name, f"the name is taken by the summed mass or the parent ids ({', '.join(RESERVED_NAMES)})")
    call = _Calls(step)
    generator = call("parents", engine.MPUpscalingGenerator, engine.array(step.parents, dtype="int32"))
    call("enabled", generator.SetParticlesEnabledIndexes, step.index,
         engine.array(step.enabled, dtype="int32"), int(step.trailing))
    element = generator.GetElementParticlesIndexes()
    count = generator.GetNumberOfEnabledParticles()
    ids = generator.GetParticleIds()
    entry_masses = step.entry_masses
    mass = call("masses", generator.Sum,
                engine.grid_function(entry_masses, dtype="float64", name="mass"))
    masses = engine.array(step.masses, dtype="float64")
    coords = engine.array(step.coords, dtype="float64")
    centres = to_numpy(call("coords", generator.CoordsWeightedAverage, coords, masses))
    topology = generator.CreateParticlesTopology()
    geometry = call("coords", generator.CreateParticlesGeometry, topology,
                    engine.ParticlePointsArray(coords, int(step.trailing)), masses)
    points = np.asarray(geometry.points(), dtype=np.float64)
    values = {name: _reduce(engine, generator, step, name, data,
                            reductions.get(name) or default_reduction(data), masses)
              for name, data in step.values.items()}
    ids_np = to_numpy(ids)
    lines = _lines(engine, generator, step, ids_np)

    t = int(step.trailing)
    assert count == len(ids_np) == len(points) == topology.number_of_cells(), \
        f"generator answers disagree: {count} particles, {len(ids_np)} ids, {len(points)} points"
    mass_np = to_numpy(mass)
    mass_before, mass_after = float(entry_masses.sum()), float(mass_np.sum())
    drift = 0.0
    if mass_before > 0 and mass_after > 0:
        before = entry_masses @ step.coords / mass_before
        after = mass_np @ centres / mass_after
        drift = float(np.max(np.abs(after - before)))
    result = StepResult(
        source=step.source, index=step.index, timestep=step.timestep,
        n=step.n, e=len(step.enabled), u=count - t, t=t,
        element=element, ids=ids, mass=mass, points=points,
        vertices=_vertices(topology),
        lines=lines, values=values,
        reductions={name: reductions.get(name) or default_reduction(data)
                    for name, data in step.values.items()},
        mass_before=mass_before, mass_after=mass_after,
        drift=drift,
        seconds=0.0, box=step.box, boundary=step.boundary)
    if keep_source:
        result.source_points, result.source_masses = step.coords, entry_masses
    result.seconds = time.perf_counter() - started
    return result


def run_frame(frame, engine=None, reductions=None, keep_source=False, detach=False):
    """Loads and processes one frame: the unit of work a Dask worker runs."""
    started = time.perf_counter()
    result = process_step(frame.load(), engine, reductions, keep_source)
    result.seconds = time.perf_counter() - started
    return result.detached() if detach else result


def _remote_frame(frame, engine, reductions, keep_source):
    """run_frame for a worker: a user's input error comes back as a value, not as a failed task
    that the worker would log at length."""
    try:
        return run_frame(frame, engine, reductions, keep_source, detach=True)
    except InputError as error:
        return error


def _connect(workers, scheduler):
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        raise SystemExit("vireo20: error: --workers and --scheduler need Dask distributed "
                         "(Debian package python3-distributed)") from None
    if scheduler:
        return Client(scheduler), None
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                           dashboard_address=None)
    return Client(cluster), cluster


def _deliver(result, sink):
    if isinstance(result, InputError):
        raise result
    sink(result)


def upscale(frames, sink, engine=None, reductions=None, workers=0, scheduler=None, picture_step=0):
    """Runs every frame and gives each StepResult to `sink(result)` in step order.

    Serial when `workers` is 0 and no `scheduler` address is given; otherwise each frame is loaded
    and processed on the cluster while this process keeps at most a few steps in flight. An
    InputError from a step arrives after every earlier step went to `sink`.
    """
    if not workers and not scheduler:
        for frame in frames:
            sink(run_frame(frame, engine, reductions, frame.index == picture_step))
        return
    client, cluster = _connect(workers, scheduler)
    pending = collections.deque()
    # One step per worker and one waiting: memory stays at a few steps, whatever the run's length.
    window = max(workers or len(client.scheduler_info().get("workers", ())), 1) + 1
    try:
        for frame in frames:
            pending.append(client.submit(_remote_frame, frame, engine, reductions,
                                         frame.index == picture_step, pure=False))
            while len(pending) > window:
                _deliver(pending.popleft().result(), sink)
        while pending:
            _deliver(pending.popleft().result(), sink)
    finally:
        for future in pending:
            future.cancel()
        client.close()
        if cluster is not None:
            cluster.close()

