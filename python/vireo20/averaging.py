"""Time averages over windows of consecutive steps, in the file LAMMPS's fix ave/chunk writes.

With `--time-average N`, the run's steps 1 to N, N + 1 to 2N, ... each make one block of
`profile.txt`, headed by the window's last timestep, as `fix ave/chunk` with Nrepeat N makes one every
Nfreq steps from the N samples that end there: where a dump holds every sample from timestep 0,
`--frames 1:` gives LAMMPS's windows. Steps after the last whole window are left out, with a warning.
A row per chunk: every bin, in chunk id order, with its Coord columns (of the bins as the window's
steps were laid out: `binning.Binning.kept_layout`); for other groups, each group present in the
window by its id, which follows the row's number as LAMMPS's `compress yes` prints the original
chunk id. Then `Ncount`, the mean count a step, and, by the value's reduction (LAMMPS's `norm all`):

- `density/mass`, `density/number` (bins): the window's mass or count over the volume of the bins of
  its last step and the number of steps;
- values reduced by `sum` and the stresses (`contact_stress`, `kinetic_stress`, `bin_stress`): their
  mean over the steps (a sum's column is then what LAMMPS's `norm none` gives, not its per-atom mean);
- values reduced by `mean`: the sum over every member of every step over the count of them; by
  `average`, the same weighted by mass; `temp` (with `--temperature`) as LAMMPS's `temp` value,
  weighted by count; `coordination` (with `--coordination`) as contact/atom's (or coord/atom's)
  mean over every member of every step;
- `min` and `max`: the least or the greatest of the window.

Particles in no group (a label of 0) are in no chunk, as LAMMPS's chunk/atom molecule leaves them
out. A group absent from a step adds nothing to it; one absent from the whole window (an empty bin) has
zeros. Values reduced by `any` have no average and are left out. Vector values get a column a
component, named as LAMMPS names them (`vx vy vz`, `c_name[1]` ...). Numbers are written in full,
so that reading them back gives the same doubles.

LAMMPS's words after N change the averages as there: `norm sample` averages each step's own average
(`mean`, `average`, `temp`) and `norm none` each step's total (and its own `temp`); `ave running`
shows the mean of every window's averages so far and `ave window M` that of the last M windows', a
group absent from a window counting as zeros.
"""
import os

import numpy as np

from .binning import MASS_DENSITY_UNITS, volumes
from .reading import find_sorted

PROFILE = "profile.txt"
# Each window's own averages, where the profile shows running or windowed averages of them: a resumed
# run takes them back as they were, so that it goes on to the same bytes.
WINDOWS = ".vireo20-windows.txt"
PER_STEP, WEIGHTED, LEAST, GREATEST = "step", "weighted", "min", "max"
# A bin's count or mass over the window, over its volume at the window's end (LAMMPS's norm all of
# density/number and density/mass): in a box that changes, not the mean of the steps' densities.
OVER_VOLUME = "volume"
# The rule and weight of each reduction's averages (LAMMPS's norm all).
RULES = {"mean": (WEIGHTED, "count"), "average": (WEIGHTED, "mass"), "sum": (PER_STEP, None),
         "per_volume": (PER_STEP, None),
         "min": (LEAST, None), "max": (GREATEST, None)}
NORMS, AVES = ("all", "sample", "none"), ("one", "running", "window")


def _labels(name, width):
    from .reading import TRIPLETS
    stems = {vector: stem for stem, vector in TRIPLETS.items()}
    if width == 1:
        return [name]
    if width == 3 and name in stems:
        return [stems[name] + axis for axis in "xyz"]
    return [f"{name}[{k + 1}]" for k in range(width)]


def _number(value):
    text = repr(value)
    return text[:-2] if text.endswith(".0") else text


class MissingArray(Exception):
    """A step lacks an array the averages were planned with: (its name, the problem)."""


class TimeAverage:
    """Adds the run's steps in order and gives `profile.txt` each time a window closes."""

    def __init__(self, every, bins=None, ave="one", window=None, norm="all"):
        if ave not in AVES:
            raise ValueError(f"the time average's ave is one of {', '.join(AVES)}, not {ave!r}")
        if norm not in NORMS:
            raise ValueError(f"the time average's norm is one of {', '.join(NORMS)}, not {norm!r}")
        if (ave == "window") != (window is not None) or (window is not None and int(window) < 1):
            raise ValueError("ave window takes the number of windows M (1 or more), and only it")
        self.every, self.bins, self.ave, self.window, self.norm = int(every), bins, ave, window, norm
        self.closed = 0  # windows closed
        self._combined = []  # ave window: the (chunk ids, values) of the last M windows
        self._running, self._windows_seen = None, 0  # ave running: (chunk ids, sums) over every window so far
        self._columns = None  # (array name, rule, weight, labels) of each averaged array, from the first step
        self._planned_without_particles = False
        self._header_columns = None  # those of the header this run wrote
        self._start()

    @classmethod
    def parse(cls, words, bins=None):
        """From LAMMPS's words: "N", then "ave running", "ave window M" or "norm sample" ... in any order."""
        words = str(words).split() if not isinstance(words, (list, tuple)) else [str(word) for word in words]
        try:
            every, options, k = int(words[0]), {}, 1
            while k < len(words):
                key, value = words[k], words[k + 1]
                if key not in ("ave", "norm") or key in options:
                    raise ValueError
                options[key] = value
                if key == "ave" and value == "window":
                    options["window"] = int(words[k + 2])
                    k += 1
                k += 2
        except (ValueError, IndexError):
            raise ValueError(f"--time-average takes N, then ave one|running|window M and norm all|sample|none "
                             f"as LAMMPS's fix ave/chunk, not {' '.join(words)!r}") from None
        if every < 1:
            raise ValueError(f"--time-average takes N of 1 or more, not {every}")
        return cls(every, bins, options.get("ave", "one"), options.get("window"), options.get("norm", "all"))

    def __repr__(self):
        return f"TimeAverage({self.every}, ave {self.ave}{'' if self.window is None else f' {self.window}'}, " \
               f"norm {self.norm})"

    def _start(self):
        self._steps = 0
        self._ids = np.zeros(0, np.int64)
        self._sums = {}

    def _plan(self, arrays, reductions):
        names = {"count": "Ncount", "mass_density": "density/mass", "number_density": "density/number",
                 "temperature": "temp"}
        columns = [("count", (PER_STEP, None))]
        if self.bins is not None:
            columns += [("mass_density", (OVER_VOLUME, "mass")), ("number_density", (OVER_VOLUME, "count"))] \
                if self.norm == "all" else [("mass_density", (PER_STEP, None)), ("number_density", (PER_STEP, None))]
            if "volume_fraction" in arrays:
                columns.append(("volume_fraction", (PER_STEP, None)))
        columns += [(name, RULES[how]) for name, how in reductions.items() if how in RULES]
        if "temperature" in arrays:
            columns.append(("temperature", (WEIGHTED, "count")))
        if "coordination" in arrays:
            columns.append(("coordination", (WEIGHTED, "count")))
        columns += [(name, (PER_STEP, None)) for name in ("contact_stress", "kinetic_stress", "bin_stress")
                    if name in arrays]
        self._columns = []
        for name, (rule, weight) in columns:
            if rule == WEIGHTED and self.norm != "all":
                # Each step's own average (sample), or its total (none), averaged over the steps; a
                # temperature is the step's own under either, as LAMMPS divides each sample's by its
                # degrees of freedom before it looks at norm.
                rule, weight = PER_STEP, weight if self.norm == "none" and name != "temperature" else None
            labels = [names[name]] if name in names else \
                _labels(name, np.shape(arrays[name])[1] if np.ndim(arrays[name]) == 2 else 1)
            self._columns.append((name, rule, weight, labels))

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

    def add(self, arrays, reductions, timestep, layout=None, volume=None, units=None):
        """Adds a step: its per-group arrays by name (one row per upscaled particle, each group once) and
        each value's reduction; with bins, the box they are laid out in, their volume (as
        `binning.volumes` takes it) and the unit style. Where the step closes a window, returns the
        text each file grows by:
        `profile.txt` by the window's block (after the header, for the first), and, for running and
        windowed averages, the side file by the window's own averages; else None."""
        labels = np.asarray(arrays["group_id"], np.int64)
        if not (labels > 0).all():
            # Particles in no group (label 0) are in no chunk, as chunk/atom molecule leaves them out.
            arrays = {name: np.asarray(values)[labels > 0] for name, values in arrays.items()}
        found = len(arrays["group_id"]) > 0
        if self._columns is None or (found and self._planned_without_particles):
            self._plan(arrays, reductions)
            # Steps of no particles (a pour's first) may lack the columns particles bring: the plan is
            # made again at the first step that has any, unless the header was written with fewer.
            if self._header_columns not in (None, self._columns):
                raise MissingArray("-", "the time averages' columns were fixed by steps without particles, "
                                        "whose input has fewer columns: start the run at the first step with "
                                        "particles (--frames)")
            self._planned_without_particles = not found
        missing = next((name for name, *_ in self._columns if name not in arrays), None)
        if missing is not None:
            raise MissingArray(missing, "the time averages' columns are the first step's arrays, and this step "
                                       "lacks this one (its input has no such column)")
        rows = self._grow(np.asarray(arrays["group_id"], np.int64))
        weights = {"count": arrays["count"], "mass": arrays["mass"]}
        weights = {name: np.asarray(weights[name], np.float64)[:, None]
                   for name in {weight for _, _, weight, _ in self._columns} - {None}}
        for name, weight in weights.items():
            self._total(("weight", name), 1)[rows] += weight
        for name, rule, weight, labels in self._columns:
            values = np.asarray(arrays[name], np.float64).reshape(len(rows), len(labels))
            total = self._total((name, rule), len(labels))
            # A group is one row of a step: no row is added to twice.
            if rule == OVER_VOLUME:
                total[rows] += weights[weight]
            elif rule == LEAST:
                total[rows] = np.minimum(total[rows], values)
            elif rule == GREATEST:
                total[rows] = np.maximum(total[rows], values)
            elif name == "coordination" and weight == "count":
                # The members' whole number of contacts, exact where coordination times count may
                # be a bit off: LAMMPS sums contact/atom's whole numbers.
                total[rows] += 2.0 * np.reshape(arrays["inner_contacts"], (-1, 1)) + \
                    np.reshape(arrays["outer_contacts"], (-1, 1))
            else:
                total[rows] += values if weight is None else values * weights[weight]
        self._steps += 1
        if self._steps < self.every:
            return None
        grown = self._closed(timestep, *self._window(layout, volume, units))
        self._start()
        return grown

    def _total(self, key, width):
        if key not in self._sums:
            self._sums[key] = np.full((len(self._ids), width), _empty(key[1]))
        return self._sums[key]

    def _window(self, layout, volume, units):
        """(chunk ids, leading columns, values) of the window closing: its own averages."""
        if self.bins is not None:
            chunks = np.arange(1, self.bins.count(layout) + 1)
            lead = [np.asarray(values, np.float64) for values in self.bins.coordinates(chunks, layout).values()]
        else:
            chunks = self._ids
            lead = [chunks]
        at, found = find_sorted(self._ids, chunks)
        at = at[found]
        columns = []
        for name, rule, weight, labels in self._columns:
            column = np.zeros((len(chunks), len(labels)))
            total = self._sums[(name, rule)][at]
            if rule == PER_STEP:
                total = total / self.every
            elif rule == OVER_VOLUME:
                scale = MASS_DENSITY_UNITS.get(units, 1.0) if name == "mass_density" else 1.0
                total = total * scale / (self.every * np.reshape(volumes(chunks[found], volume), (-1, 1)))
            elif rule == WEIGHTED:
                weight = self._sums[("weight", weight)][at]
                total = np.divide(total, weight, out=np.zeros_like(total), where=weight != 0)
            column[found] = total
            columns.append(column)
        return chunks, lead, np.concatenate(columns, axis=1)

    def _closed(self, timestep, chunks, lead, values):
        """Takes a window's own averages into the profile: as they are (ave one), or averaged with
        those of every window before (running) or of the windows before it up to M (window M), as
        LAMMPS's ave running and ave window do, a chunk absent from a window counting as zeros. Returns
        the text each file grows by."""
        head = self.header() if not self.closed else ""
        if head:
            self._header_columns = self._columns
        grown = {} if self.ave == "one" else {WINDOWS: head + _block(timestep, chunks, lead, values)}
        self.closed += 1
        total_count = None
        if self.ave != "one":
            if self.ave == "running":
                # One sum over every window so far, added in window order.
                self._windows_seen += 1
                self._running = _added(self._running, chunks, values, self.bins is None)
                combined, count = [self._running], self._windows_seen
            else:
                self._combined.append((chunks, values))
                if len(self._combined) > self.window:
                    self._combined.pop(0)
                combined, count = self._combined, len(self._combined)
            if self.bins is None:
                for ids, _ in combined:
                    chunks = np.union1d(chunks, ids)
                lead = [chunks]
            total = np.zeros((len(chunks), values.shape[1]))
            for ids, window in combined:
                _add_into(total, chunks, ids, window)
            values = total / count
            # LAMMPS's step line gives the windows' counts summed, not averaged.
            total_count = float(total[:, 0].sum())
        grown[PROFILE] = head + _block(timestep, chunks, lead, values, total_count)
        return grown

    def header(self):
        """The profile's first three lines."""
        lead = ["Coord%d" % (k + 1) for k in range(self.bins.places)] if self.bins is not None else ["OrigID"]
        labels = [label for *_, names in self._columns for label in names] if self._columns is not None else \
            ["Ncount"]
        return (f"# Chunk-averaged data for vireo20 upscale, every {self.every} steps, ave {self.ave}"
                f"{'' if self.window is None else f' {self.window}'}, norm {self.norm}\n"
                "# Timestep Number-of-chunks Total-count\n"
                + " ".join(["# Chunk"] + lead + labels) + "\n")

    @property
    def open_steps(self):
        """How many steps of the open window are added."""
        return self._steps

    def resume(self, folder, done):
        """Takes back the windows a resumed run closed in its `done` steps (its files cut back to them):
        running and windowed averages from each window's own averages as the side file holds them.
        Returns how many steps of the open window must be added again, from their step files."""
        closed = done // self.every
        if closed and self.ave != "one":
            with open(os.path.join(folder, WINDOWS)) as stream:
                for _ in range(2):
                    stream.readline()
                width = len(stream.readline().split()) - 2   # "# Chunk" and the columns after the row's number
                for _ in range(closed):
                    timestep, count = (int(word) for word in stream.readline().split()[:2])
                    table = np.array([[float(v) for v in stream.readline().split()[1:]] for _ in range(count)])
                    table = table.reshape(count, width)   # a window of no groups (a pour's first) too
                    places = self.bins.places if self.bins is not None else 1
                    chunks = np.arange(1, count + 1) if self.bins is not None else table[:, 0].astype(np.int64)
                    lead = [table[:, k] for k in range(places)] if self.bins is not None else [chunks]
                    self._closed(timestep, chunks, lead, table[:, places:])
        self.closed = closed
        return done - closed * self.every


def _block(timestep, chunks, lead, values, total_count=None):
    """A block of the profile: the timestep line (its count the values' unless given), then a row per
    chunk."""
    from ._lammpsdump import table_rows
    total_count = float(values[:, 0].sum()) if total_count is None else total_count
    # Each double as the shortest text that reads back as the same double (repr's), written natively.
    values = np.asarray(values, dtype=np.float64)
    no_ints = np.zeros((len(chunks), 0), np.int64)
    if all(np.asarray(part).dtype.kind in "iu" for part in lead):   # group ids
        ints, reals = np.column_stack([np.asarray(part, np.int64) for part in lead] or [no_ints]), values
    else:                                                           # bins' coordinates
        ints, reals = no_ints, np.column_stack([*lead, values])
    rows = table_rows(ints.astype(np.int64, copy=False), reals.astype(np.float64, copy=False))
    # The step line's total in LAMMPS's %g: 3200, not the sum's 3200.0000000000005.
    return f"{timestep} {len(chunks)} {total_count:g}\n" + rows.decode()


def _added(running, chunks, values, union):
    """(chunk ids, sums) of a running sum with a window's own averages added: on the union of the
    chunks for groups, on this window's bins for bins."""
    if running is None:
        return chunks, values.copy()
    ids, sums = running
    keep = np.union1d(ids, chunks) if union else chunks
    total = np.zeros((len(keep), values.shape[1]))
    _add_into(total, keep, ids, sums)
    _add_into(total, keep, chunks, values)
    return keep, total


def _add_into(total, rows, ids, values):
    """Adds each row of `values` to the row of `total` for its id among `rows` (sorted); ids not among
    them (bins a box that changed its count of bins no longer has) add nothing."""
    at, kept = find_sorted(rows, ids)
    total[at[kept]] += values[kept]


def _empty(rule):
    return np.inf if rule == LEAST else -np.inf if rule == GREATEST else 0.0
