"""A NumPy model of MPUpscalingGenerator's results, bit for bit, and an engine adapter over it.

Upscaled particles are the distinct parent ids of the enabled entries, numbered by first
occurrence; trailing entry j follows as U + j. Sums add in ascending enabled position from 0.0,
which is what numpy.bincount does.
"""
import os
import types

import numpy as np


def parent_ids(parents):
    parents = np.asarray(parents, dtype=np.int64)
    return np.where(parents >= 0, parents, np.arange(len(parents)))


def grouping(parents, enabled):
    """(group of each enabled entry, parent id of each upscaled particle)."""
    pid = parent_ids(parents)[np.asarray(enabled, dtype=np.int64)]
    unique, first, inverse = np.unique(pid, return_index=True, return_inverse=True)
    order = np.argsort(first, kind="stable")
    rank = np.empty_like(order)
    rank[order] = np.arange(len(order))
    return rank[inverse.reshape(-1)], unique[order]


class Model:
    """One time step's grouping and every reduction over it, on NumPy arrays."""

    def __init__(self, parents, enabled, trailing):
        self.n = len(parents)
        self.parents = np.asarray(parents)
        self.enabled = np.asarray(enabled, dtype=np.int64)
        self.e, self.t = len(enabled), trailing
        self.group, parent_of = grouping(parents, enabled)
        self.u = len(parent_of)
        self.element = np.concatenate([self.group, self.u + np.arange(trailing)]).astype(np.int32)
        self.ids = np.concatenate([parent_of, self.n + np.arange(trailing)]).astype(np.int32)

    def _trailing(self, values):
        return np.asarray(values)[self.e:self.e + self.t]

    def sum(self, values):
        values = np.asarray(values, dtype=np.float64)
        summed = np.bincount(self.group, weights=values[:self.e], minlength=self.u)
        return np.concatenate([summed, self._trailing(values)])

    def take_any(self, values):
        values = np.asarray(values)
        # Position of the last entry of each group: the first one seen walking backwards.
        _, from_end = np.unique(self.group[::-1], return_index=True)
        return np.concatenate([values[self.e - 1 - from_end], self._trailing(values)])

    def weighted_average(self, values, masses):
        m = np.asarray(masses, dtype=np.float64)[self.enabled]
        values = np.asarray(values, dtype=np.float64)
        num = np.bincount(self.group, weights=values[:self.e] * m, minlength=self.u)
        den = np.bincount(self.group, weights=m, minlength=self.u)
        return np.concatenate([num / den, self._trailing(values)])

    def coords_average(self, coords, masses):
        coords = np.asarray(coords, dtype=np.float64)
        columns = [self.weighted_average(coords[:, k], masses) for k in range(3)]
        return np.stack(columns, axis=1)

    def contact_from(self, ids):
        ids = np.asarray(ids)
        inside = (ids >= 0) & (ids < self.n)
        ids[inside] = parent_ids(self.parents)[ids[inside]]
        return ids

    def contact_to(self, ids, kinds):
        ids = np.asarray(ids)
        inside = (ids >= 0) & (ids < self.n) & (np.asarray(kinds) == 0)
        ids[inside] = parent_ids(self.parents)[ids[inside]]
        return ids


class _Array(np.ndarray):
    """A NumPy array that also answers the quill20 array and grid-function calls the job makes."""

    def to_numpy(self):
        return self.view(np.ndarray)

    @property
    def array(self):
        return self

    storage = "vector"


def _wrap(values, dtype=None):
    return np.array(values, dtype=dtype).view(_Array)


class Generator:
    """MPUpscalingGenerator's Python face over Model, for running the job before the module has it."""

    def __init__(self, parents):
        self._parents = np.asarray(parents, dtype=np.int32).copy()
        self._model = Model(self._parents, [], 0)

    def SetParticlesEnabledIndexes(self, step, enabled, trailing):
        self._model = Model(self._parents, np.asarray(enabled), trailing)

    def GetElementParticlesIndexes(self):
        return _wrap(self._model.element)

    def GetNumberOfEnabledParticles(self):
        return self._model.u + self._model.t

    def GetParticleIds(self):
        return _wrap(self._model.ids)

    def Sum(self, gf):
        return _wrap(self._model.sum(gf))

    def TakeAny(self, gf):
        return _wrap(self._model.take_any(gf), gf.dtype)

    def WeightedAverage(self, gf, masses):
        return _wrap(self._model.weighted_average(gf, masses))

    def CoordsWeightedAverage(self, coords, masses):
        return _wrap(self._model.coords_average(coords, masses))

    def GetContactParentIDFrom(self, ids):
        self._model.contact_from(ids)
        return ids

    def GetContactParentIDTo(self, ids, kinds):
        self._model.contact_to(ids, kinds)
        return ids

    def CreateParticlesTopology(self):
        n = self._model.u + self._model.t
        # As the module stores cells: (point count, point id) pairs, each cell's start in cells_index.
        return types.SimpleNamespace(number_of_cells=lambda: n,
                                     connectivity=_wrap(np.stack([np.ones(n), np.arange(n)], 1).ravel(), np.uint64),
                                     cells_index=_wrap(2 * np.arange(n), np.uint64))

    def CreateParticlesGeometry(self, topology, points, masses):
        centres = self._model.coords_average(points.coordinates, masses)
        return types.SimpleNamespace(topology=topology, points=lambda: centres)


class Engine:
    """Stands where the pipeline expects quill20 plus _vireo20upscaling."""

    MPUpscalingGenerator = Generator

    @staticmethod
    def array(data, dtype=None, storage="vector"):
        return _wrap(data, dtype)

    @staticmethod
    def grid_function(data, dtype=None, location=1, name="", storage="vector"):
        return _wrap(data, dtype)

    @staticmethod
    def ParticlePointsArray(coordinates=None, trailing_count=0):
        return types.SimpleNamespace(coordinates=coordinates, trailing_count=trailing_count)


def module_has_reductions():
    try:
        import quill20
        import _vireo20upscaling
    except ImportError:
        return False
    return hasattr(_vireo20upscaling.MPUpscalingGenerator, "Sum") and hasattr(quill20, "grid_function")


def job_engine():
    """What the job tests run: the compiled generator once it has the reductions, until then Engine."""
    if module_has_reductions():
        from vireo20.engine import QuillEngine
        return QuillEngine()
    return Engine()


def tool_environment(**extra):
    """The environment for LAMMPS and ParaView: without a sanitizer runtime preloaded for our tests."""
    return {**{k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}, **extra}


SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
