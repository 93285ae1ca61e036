"""One time step of input as every reader hands it over, and the error a user can fix.

A step is indexed the way the generator wants it: `parents`, `masses` by source particle (N);
`enabled` lists source particles (E); `coords` and each value array by entry, the E enabled ones
in order and then the T trailing pass-through entries.
"""
from dataclasses import dataclass, field

import numpy as np


class InputError(Exception):
    """Bad input that the user can fix: one line naming the file, the step, the array and the problem."""

    def __init__(self, file, step, array, problem):
        super().__init__(file, step, array, problem)
        self.file, self.step, self.array, self.problem = file, step, array, problem

    def __str__(self):
        return f"{self.file}: step {self.step}: array '{self.array}': {self.problem}"


@dataclass
class Step:
    source: str                   # the file the step came from, for messages
    index: int                    # position in the series, from 0
    timestep: object              # the simulation's own time or step number
    parents: np.ndarray           # int (N): parent index, -1 for its own parent
    enabled: np.ndarray           # int (E): source particle of each enabled entry
    masses: np.ndarray            # float (N)
    coords: np.ndarray            # float (E+T, 3)
    trailing: int = 0
    trailing_masses: np.ndarray = None            # float (T)
    values: dict = field(default_factory=dict)    # name -> (E+T,) or (E+T, k)
    contacts: np.ndarray = None   # int (C, 2): source particle, then particle or other body
    contact_kinds: np.ndarray = None              # int (C): 0 when the second id is a particle
    box: np.ndarray = None        # (2, 3) lower and upper corner, when known
    boundary: str = None          # LAMMPS boundary flags of the box ("pp pp pp"), when known

    def fail(self, array, problem):
        raise InputError(self.source, self.timestep, array, problem)

    @property
    def n(self):
        return len(self.parents)

    @property
    def entry_masses(self):
        """Mass of each entry: enabled particles' masses, then the trailing masses."""
        return np.concatenate([self.masses[self.enabled], self.trailing_masses])

    def validate(self):
        """Checks every length and id range, so that the generator sees only consistent input."""
        self.parents = self._ints("parents", self.parents, 1)
        self.enabled = self._ints("enabled", self.enabled, 1)
        n, e, t = len(self.parents), len(self.enabled), self.trailing
        if not (isinstance(t, (int, np.integer)) and t >= 0):
            self.fail("trailing", f"must be a count >= 0, not {t!r}")
        self._range("parents", self.parents, -1, n)
        self._range("enabled", self.enabled, 0, n)
        self.masses = self._floats("masses", self.masses, (n,))
        if self.trailing_masses is None:
            if t:
                self.fail("trailing_masses", f"missing ({t} trailing entries need a mass each)")
            self.trailing_masses = np.zeros(0)
        self.trailing_masses = self._floats("trailing_masses", self.trailing_masses, (t,))
        self.coords = self._floats("coords", self.coords, (e + t, 3))
        for name, values in self.values.items():
            values = np.asarray(values)
            if values.ndim not in (1, 2) or len(values) != e + t:
                self.fail(name, f"shape {values.shape}, expected ({e + t},) or ({e + t}, k): "
                                f"one row per enabled entry ({e}) and trailing entry ({t})")
            if values.dtype.kind not in "biuf":
                self.fail(name, f"values of type {values.dtype} are neither integer nor floating-point")
            self.values[name] = values
        if self.contacts is None:
            self.contacts = np.zeros((0, 2), np.int64)
        self.contacts = self._ints("contacts", self.contacts, 2)
        if self.contacts.shape[1] != 2:
            self.fail("contacts", f"shape {self.contacts.shape}, expected (C, 2) id pairs")
        c = len(self.contacts)
        if self.contact_kinds is None:
            self.contact_kinds = np.zeros(c, np.int64)
        self.contact_kinds = self._ints("contact_kinds", self.contact_kinds, 1)
        if len(self.contact_kinds) != c:
            self.fail("contact_kinds", f"length {len(self.contact_kinds)}, expected {c} (one per contact)")
        self._range("contacts", self.contacts[:, 0], 0, n)
        self._range("contacts", self.contacts[:, 1], 0, n, where=self.contact_kinds == 0)
        return self

    def _ints(self, name, values, ndim):
        values = np.asarray(values)
        if values.ndim != ndim or (values.size and values.dtype.kind not in "iu"):
            self.fail(name, f"expected a {ndim}-dimensional integer array, got shape {values.shape} "
                            f"of {values.dtype}")
        info = np.iinfo(np.int32)
        if values.size and (values.max() > info.max or values.min() < info.min):
            self._range(name, values.reshape(-1), info.min, info.max + 1)
        return values.astype(np.int64, copy=False)

    def _floats(self, name, values, shape):
        values = np.asarray(values)
        if values.shape != shape:
            self.fail(name, f"shape {values.shape}, expected {shape}")
        if values.size and values.dtype.kind not in "biuf":
            self.fail(name, f"values of type {values.dtype} are not numbers")
        return values.astype(np.float64, copy=False)

    def _range(self, name, ids, low, high, where=True):
        bad = np.flatnonzero(((ids < low) | (ids >= high)) & where)
        if len(bad):
            self.fail(name, f"id {ids[bad[0]]} at position {bad[0]} is outside {low}..{high - 1}"
                            + (f" ({len(bad)} such ids)" if len(bad) > 1 else ""))
