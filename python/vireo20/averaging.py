"""Time averages over windows of consecutive steps, in the file LAMMPS's fix ave/chunk writes.

With `--time-average N`, the run's steps 1 to N, N + 1 to 2N, ... each make one block of `profile.txt`,
headed by the window's last timestep, as `fix ave/chunk` with Nrepeat N (`norm all`, `ave one`) makes
one every Nfreq steps from the N samples that end there: where a dump holds every sample from
timestep 0, `--frames 1:` gives LAMMPS's windows. Steps after the last whole window are left out, with
a warning. A row per chunk: every bin, in chunk id order, with its Coord columns (in the box of the
window's last step); for other groups, each group present in the window by its id, which follows the
row's number as LAMMPS's `compress yes` prints the original chunk id. Then `Ncount`, the mean count a step, and, by the value's reduction:

- `density/mass`, `density/number` (bins), and values reduced by `sum`: their mean over the steps;
- values reduced by `mean`: the sum over every member of every step over the count of them (LAMMPS's
  `norm all`); by `average`, the same weighted by mass; `temp` (with `--temperature`) as LAMMPS's
  `temp` value, weighted by count;
- `min` and `max`: the least or the greatest of the window.

A group absent from a step adds nothing to it; one absent from the whole window (an empty bin) has
zeros. Values reduced by `any` have no average and are left out. Vector values get a column a
component, named as LAMMPS names them (`vx vy vz`, `c_name[1]` ...). Numbers are written in full,
so that reading them back gives the same doubles.
"""
import os

import numpy as np

PROFILE = "profile.txt"
# How each kind of column becomes the window's: weighted by count or mass, the mean a step, or an extreme.
BY_COUNT, BY_MASS, PER_STEP, LEAST, GREATEST = "count", "mass", "step", "min", "max"
WEIGHTED = (BY_COUNT, BY_MASS)
RULES = {"mean": BY_COUNT, "average": BY_MASS, "sum": PER_STEP, "min": LEAST, "max": GREATEST}


def _labels(name, width):
    from .read_vtk import TRIPLETS
    stems = {vector: stem for stem, vector in TRIPLETS.items()}
    if width == 1:
        return [name]
    if width == 3 and name in stems:
        return [stems[name] + axis for axis in "xyz"]
    return [f"{name}[{k + 1}]" for k in range(width)]


def _number(value):
    text = repr(value)
    return text[:-2] if text.endswith(".0") else text


class TimeAverage:
    """Adds the run's steps in order and gives `profile.txt` each time a window closes."""

    def __init__(self, every, bins=None):
        self.every, self.bins = int(every), bins
        self.blocks = []
        self._columns = None  # (array name, rule, labels) of each averaged array, from the first step
        self._start()

    def _start(self):
        self._steps = 0
        self._ids = np.zeros(0, np.int64)
        self._sums = {}

    def _plan(self, arrays, reductions):
        names = {"count": "Ncount", "mass_density": "density/mass", "number_density": "density/number",
                 "temperature": "temp"}
        columns = [("count", PER_STEP)]
        if self.bins is not None:
            columns += [("mass_density", PER_STEP), ("number_density", PER_STEP)]
        columns += [(name, RULES[how]) for name, how in reductions.items() if how in RULES]
        if "temperature" in arrays:
            columns.append(("temperature", BY_COUNT))
        self._columns = [(name, rule, [names[name]] if name in names else
                          _labels(name, np.shape(arrays[name])[1] if np.ndim(arrays[name]) == 2 else 1))
                         for name, rule in columns]

    def _grow(self, ids):
        """The rows of the window's sums for `ids`, adding rows for groups not seen before in it."""
        known = np.union1d(self._ids, ids)
        if len(known) != len(self._ids):
            at = np.searchsorted(known, self._ids)
            for key, total in self._sums.items():
                grown = np.full((len(known),) + total.shape[1:], _empty(key[1]))
                grown[at] = total
                self._sums[key] = grown
            self._ids = known
        return np.searchsorted(known, ids)

    def add(self, arrays, reductions, timestep, box=None):
        """Adds a step: its per-group arrays by name (one row per upscaled particle, each group once) and
        each value's reduction. Returns the profile's whole text where the step closes a window."""
        if self._columns is None:
            self._plan(arrays, reductions)
        rows = self._grow(np.asarray(arrays["group_id"], np.int64))
        weights = {BY_COUNT: arrays["count"], BY_MASS: arrays["mass"]}
        for rule in {rule for _, rule, _ in self._columns} & set(weights):
            self._total(("weight", rule), 1)[rows] += np.asarray(weights[rule], np.float64)[:, None]
        for name, rule, labels in self._columns:
            values = np.asarray(arrays[name], np.float64).reshape(len(rows), len(labels))
            total = self._total((name, rule), len(labels))
            # A group is one row of a step: no row is added to twice.
            if rule == LEAST:
                total[rows] = np.minimum(total[rows], values)
            elif rule == GREATEST:
                total[rows] = np.maximum(total[rows], values)
            else:
                total[rows] += values if rule == PER_STEP else values * np.asarray(weights[rule], np.float64)[:, None]
        self._steps += 1
        if self._steps < self.every:
            return None
        self.blocks.append(self._block(timestep, box))
        self._start()
        return self.text()

    def _total(self, key, width):
        if key not in self._sums:
            self._sums[key] = np.full((len(self._ids), width), _empty(key[1]))
        return self._sums[key]

    def _block(self, timestep, box):
        if self.bins is not None:
            chunks = np.arange(1, self.bins.count(box) + 1)
            lead = [np.asarray(values, np.float64) for values in self.bins.coordinates(chunks, box).values()]
        else:
            chunks = self._ids
            lead = [chunks]
        at = np.minimum(np.searchsorted(self._ids, chunks), max(len(self._ids) - 1, 0))
        found = self._ids[at] == chunks if len(self._ids) else np.zeros(len(chunks), bool)
        at = at[found]
        columns = []
        for name, rule, labels in self._columns:
            column = np.zeros((len(chunks), len(labels)))
            total = self._sums[(name, rule)][at]
            if rule == PER_STEP:
                total = total / self.every
            elif rule in WEIGHTED:
                weight = self._sums[("weight", rule)][at]
                total = np.divide(total, weight, out=np.zeros_like(total), where=weight != 0)
            column[found] = total
            columns.append(column)
        values = np.concatenate(columns, axis=1)
        lines = [f"{timestep} {len(chunks)} {_number(float(values[:, 0].sum()))}"]
        # Python's floats print as the shortest text that reads back as the same double.
        table = zip(*[part.tolist() for part in lead], values.tolist())
        for k, (*places, row) in enumerate(table):
            lines.append(f"  {k + 1} " + " ".join([_number(v) for v in places] + [_number(v) for v in row]))
        return "\n".join(lines) + "\n"

    def text(self):
        """The profile so far: the header, then the block of each window closed."""
        lead = ["Coord%d" % (k + 1) for k in range(self.bins.places)] if self.bins is not None else ["OrigID"]
        labels = [label for _, _, names in self._columns or [("count", PER_STEP, ["Ncount"])] for label in names]
        return (f"# Chunk-averaged data for vireo20 upscale, every {self.every} steps\n"
                "# Timestep Number-of-chunks Total-count\n"
                + " ".join(["# Chunk"] + lead + labels) + "\n" + "".join(self.blocks))

    @property
    def open_steps(self):
        """How many steps of the open window are added."""
        return self._steps

    def resume(self, folder, done):
        """Takes back the blocks of the windows a resumed run closed in its `done` steps. Returns how many
        steps of the open window must be added again, from their step files."""
        closed = done // self.every
        if closed:
            lines = open(os.path.join(folder, PROFILE)).read().splitlines()[3:]
            at = 0
            for _ in range(closed):
                rows = int(lines[at].split()[1])
                self.blocks.append("\n".join(lines[at:at + 1 + rows]) + "\n")
                at += 1 + rows
        return done - closed * self.every


def _empty(rule):
    return np.inf if rule == LEAST else -np.inf if rule == GREATEST else 0.0
