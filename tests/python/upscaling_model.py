"""A NumPy model of MPUpscalingGenerator's results, bit for bit, and helpers the Python tests share.

Upscaled particles are the distinct parent ids of the enabled entries, numbered by first
occurrence; trailing entry j follows as U + j. Sums add in ascending enabled position from 0.0,
which is what numpy.bincount does.
"""
import os
import subprocess

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
        return np.stack([self.weighted_average(coords[:, k], masses) for k in range(3)], axis=1)

    def contact_to(self, ids, kinds=0):
        """The ids (of kind 0) inside the particle range replaced by their parent's, in place."""
        ids = np.asarray(ids)
        inside = (ids >= 0) & (ids < self.n) & (np.asarray(kinds) == 0)
        ids[inside] = parent_ids(self.parents)[ids[inside]]
        return ids

    contact_from = contact_to  # the first end of a contact has no kind


class GeneratorStep:
    """A frame of the generator form (the built-in data set, npz folders) as the model takes it."""

    def __init__(self, frame):
        self.parents, self.enabled = np.asarray(frame.parents), np.asarray(frame.enabled)
        self.n, self.trailing = len(self.parents), len(frame.trailing_masses)
        self.entry_masses = np.concatenate([np.asarray(frame.masses)[self.enabled], frame.trailing_masses])
        self.contacts, self.contact_kinds = frame.contacts, frame.contact_kinds


def generator_state(generator, *objects):
    """What a refused call must leave as it was: the generator's step, and the bytes of the objects passed."""
    return (generator.GetCurrentTimestepIndex(), generator.GetNumberOfEnabledParticles(),
            generator.GetElementParticlesIndexes().to_numpy().tolist(), [o.to_numpy().tobytes() for o in objects])


def tool_environment(**extra):
    """The environment for LAMMPS and ParaView: without a sanitizer runtime preloaded for our tests."""
    return {**{k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}, **extra}


def run_lammps(folder, script):
    """Runs a LAMMPS script in folder; answers what it printed."""
    done = subprocess.run(["lmp", "-in", script, "-log", "none"], cwd=folder, capture_output=True, text=True,
                          timeout=600, env=tool_environment())
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    return done.stdout


def lammps_frames(path, columns=0):
    """Per timestep, the rows of a LAMMPS dump, or (columns > 0) of a vector output without its row index."""
    lines = open(path).read().splitlines()
    result, k = {}, 0
    while k < len(lines):
        if lines[k].startswith("ITEM: TIMESTEP"):
            step, count = int(lines[k + 1]), int(lines[k + 3])
            result[step] = np.loadtxt(lines[k + 9:k + 9 + count], ndmin=2)
            k += 9 + count
        elif lines[k] and not lines[k].startswith("#"):
            step, count = map(int, lines[k].split())
            result[step] = np.loadtxt(lines[k + 1:k + 1 + count], ndmin=2)[:, 1:1 + columns]
            k += 1 + count
        else:
            k += 1
    return result


def molecule_parents(ids, molecules):
    """The parent table of atoms of these 1-based ids: in each molecule (not 0) its atom of lowest id is the
    parent of the others."""
    lowest = {}
    for atom, molecule in sorted(zip(ids, molecules)):
        lowest.setdefault(molecule, atom)
    heads = np.array([lowest[m] if m else atom for atom, m in zip(ids, molecules)])
    parents = np.full(int(ids.max()), -1, dtype=np.int32)
    parents[ids - 1] = np.where(heads == ids, -1, heads - 1)
    return parents


SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
