"""Groups by place: the particles of each spatial bin form one upscaled particle, as LAMMPS's
`compute chunk/atom` makes chunks of them (`pbc no`; `units box`, or `units reduced` with
`--bin-units reduced`, which a tilted box needs; LAMMPS's own default is `units lattice`, whose
widths are these times the lattice spacing its log prints):

- `--bin AXIS:WIDTH[:ORIGIN]`, once per binned axis (`bin/1d`, `bin/2d`, `bin/3d`): bins every WIDTH
  from ORIGIN (`lower`, the default, `center`, `upper` or a coordinate) to cover an orthogonal box,
  the last one perhaps cut by it; the first axis given varies slowest in the chunk ids;
- `--bin-sphere X Y Z RMIN RMAX N` (`bin/sphere`): N shells between the radii RMIN and RMAX about
  (X, Y, Z);
- `--bin-cylinder AXIS:WIDTH[:ORIGIN] C1 C2 RMIN RMAX N` (`bin/cylinder`): N rings between the radii
  about the line along AXIS through C1 C2 (the other two coordinates in order), each cut in bins
  along AXIS as `--bin` cuts it; the axial bins vary fastest in the chunk ids.

In reduced units, widths and origins along an axis are fractions of the box's edge (its coordinates
from 0 to 1 along a, b and c, as LAMMPS's lamda coordinates), a centre is given in them and a radius
is a fraction of the box's x length.

A particle is binned where it lies in the box (wrapped into it in the periodic directions); a
shell's or ring's distance is measured, as LAMMPS measures it, from where the simulation held the
particle where the input tells (positions without image flags, or with them: a LAMMPS atom strays
past a face until the next neighbour list wraps it, which in a tilted box is a tilted edge away).
`--bin-bound AXIS LO HI` makes the bins along AXIS cover LO to HI (`lower` or `upper` for the box's
own bound) instead of the box, as LAMMPS's `bound`. A particle beyond the bins goes as LAMMPS's
`discard` (`--bin-discard`) says: `mixed`, the default, puts it in the nearest bin, but leaves it
out below a lower bound given and above the bins along an axis (which within the box no particle
is); `yes` leaves out every particle outside the bins and `no` none. A particle left out belongs to
no bin: it is no part of the step's upscaled particles. Group labels are LAMMPS's chunk ids, from 1,
so every per-group array is the bin's. Each bin also has `number_density` and `mass_density`: its
count and mass over the volume of a whole bin (a shell's, a ring's times its width, or the widths
times the box's other lengths; in a 2d simulation the area of a bin, a shell's volume still), as
`fix ave/chunk` gives `density/number` and `density/mass` (in g/cm^3 where the unit style is real or
metal), and its place as fix ave/chunk's Coord columns give it: `bin_x`, `bin_y`, `bin_z`, the
centre of its bin along each binned axis (in the bins' units), and `bin_r`, the radius midway
through its shell or ring.
"""
import math

import numpy as np

from .frames import AXES, STRAY

ORIGINS = ("lower", "center", "upper")
UNITS = ("box", "reduced")
DISCARDS = ("mixed", "yes", "no")
# LAMMPS's mv2d: mass over volume to its density units (g/cm^3 in real and metal units), 1 elsewhere.
MASS_DENSITY_UNITS = {"real": 1.0 / 0.602214129, "metal": 1.0 / 0.602214129}


def _axis(text, option):
    """(axis index, width, origin) from "AXIS:WIDTH[:ORIGIN]"."""
    parts = str(text).split(":")
    if len(parts) not in (2, 3) or parts[0] not in AXES:
        raise ValueError(f"{option} {text!r}: expected AXIS:WIDTH[:ORIGIN], AXIS one of x, y, z")
    try:
        width = float(parts[1])
        origin = "lower" if len(parts) == 2 else parts[2] if parts[2] in ORIGINS else float(parts[2])
    except ValueError:
        raise ValueError(f"{option} {text!r}: the width and the origin ({', '.join(ORIGINS)} or a number) "
                         "must be numbers") from None
    if not (math.isfinite(width) and width > 0):
        raise ValueError(f"{option} {text!r}: the width must be a positive number")
    if origin not in ORIGINS and not math.isfinite(origin):
        raise ValueError(f"{option} {text!r}: the origin must be {', '.join(ORIGINS)} or a finite number")
    return AXES.index(parts[0]), width, origin


def _numbers(values, option, names):
    try:
        numbers = [float(v) for v in values]
    except (TypeError, ValueError):
        numbers = [math.nan]
    if len(numbers) != len(names) or not all(map(math.isfinite, numbers)):
        raise ValueError(f"{option} takes {' '.join(names)}: numbers")
    return numbers


def _radii(rmin, rmax, count, option):
    if not (0 <= rmin < rmax) or count != int(count) or count < 1:
        raise ValueError(f"{option}: expected 0 <= RMIN < RMAX and a whole number N >= 1 of bins")
    return rmin, rmax, int(count)


def _units(units):
    if units not in UNITS:
        raise ValueError(f"--bin-units takes {' or '.join(UNITS)}, not {units!r}")
    return units


def _restricted(box):
    if not box.restricted:
        raise ValueError("bins in reduced units need a box as LAMMPS makes one (a along x, b in the xy plane)")


def _inverse(box):
    """LAMMPS's h_inv of a box: the inverse of its edge matrix, in its arithmetic."""
    _restricted(box)
    (xprd, yprd, zprd), (xy, xz, yz) = np.diag(box.edges), box.tilt
    return (1.0 / xprd, 1.0 / yprd, 1.0 / zprd, -yz / (yprd * zprd), (yz * xy - yprd * xz) / (xprd * yprd * zprd),
            -xy / (xprd * yprd))


def _reduced(positions, box):
    """Positions in the box's reduced coordinates, as LAMMPS's x2lamda gives them."""
    h = _inverse(box)
    d = positions - box.lo
    reduced = np.empty_like(d)
    reduced[:, 0] = h[0] * d[:, 0] + h[5] * d[:, 1] + h[4] * d[:, 2]
    reduced[:, 1] = h[1] * d[:, 1] + h[3] * d[:, 2]
    reduced[:, 2] = h[2] * d[:, 2]
    return reduced


def _from_reduced(point, box):
    """A point given in reduced coordinates, in the box's, as LAMMPS's lamda2x gives it."""
    _restricted(box)
    (xprd, yprd, zprd), (xy, xz, yz), lo = np.diag(box.edges), box.tilt, box.lo
    x, y, z = point
    return (xprd * x + xy * y + xz * z + lo[0], yprd * y + yz * z + lo[1], zprd * z + lo[2])


def _remap(x, lo, hi):
    """Coordinates brought once into [lo, hi) in place, as LAMMPS remaps a periodic one."""
    x[x < lo] += hi - lo
    x[x >= hi] -= hi - lo


def _remapped(positions, box, axes):
    """The coordinates along `axes` brought once into [lo, hi) in the periodic directions, as LAMMPS
    remaps them before measuring a distance: in a tilted box a wrapped x may lie outside them."""
    coordinates = positions[:, axes].copy()
    for k, axis in enumerate(axes):
        if box is not None and box.periodic[axis]:
            _remap(coordinates[:, k], box.lo[axis], box.hi[axis])
    return coordinates


def _measured(wrapped, held, box):
    """The positions distances to a centre are measured from: where the simulation held each particle
    (`held`, where known; LAMMPS remaps it along each axis alone before measuring), which in a tilted
    box is not the wrapped one for a particle that strayed past a tilted face; the wrapped one where
    the held one is not known or lies farther out."""
    if held is None or box is None or not box.triclinic:
        return wrapped
    fractions = box.fractions(held - box.origin)
    near = ((fractions >= -STRAY) & (fractions < 1.0 + STRAY)) | ~np.asarray(box.periodic)
    return np.where(near.all(axis=1)[:, None], held, wrapped)


class Binning:
    """What each shape of bins shares: the positions wrapped into the box, and the densities."""

    measures_distance = False   # to a centre: from where the simulation held each particle

    def labels(self, positions, box, dimension=3, layout=None, held=None):
        """(chunk ids (N,), 0 for a particle discarded; the positions wrapped into the box in its
        periodic directions; the volume of each chunk id's bin (indexed by id - 1) or of every bin,
        an area in a 2d simulation); ValueError where the box cannot be binned. `layout`: the box the
        bins were laid out in, where that is not `box` (see `kept_layout`). `held`: the positions as the
        simulation held them, where the input tells (see `_measured`); along an axis, wrapping each
        into the box bins it as they would."""
        raise NotImplementedError

    def kept_layout(self, averages=None):
        """For how many steps of a run one step's box lays the bins out (their bounds, centre and radii),
        each step's particles wrapped into its own box: None where each step's own box does (or none
        is needed), 0 for the whole run. As LAMMPS's chunk/atom: laid out once where its units are
        reduced (its default nchunk once), else each step, but for fix ave/chunk's lock of a window's
        (`averages`, ave one) or of the first window's (ave running or window) layout. A bin's volume
        is its layout's, but in reduced units follows the box."""
        if not self._follows_box:
            return None
        if self.units == "reduced":
            return 0
        if averages is None:
            return None
        return averages.every if averages.ave == "one" else 0

    # Whether the layout depends on the box.
    _follows_box = True

    def _options(self, units, bounds, discard):
        self.units = _units(units)
        self.bounds = {}
        for axis, (low, high) in dict(bounds or {}).items():
            axis = AXES.index(axis) if axis in AXES else int(axis)
            try:
                low, high = (None if value in (None, "lower", "upper") else float(value) for value in (low, high))
            except ValueError:
                low = high = math.nan
            if not all(math.isfinite(value) for value in (low, high) if value is not None):
                raise ValueError(f"--bin-bound {AXES[axis]}: the bounds must be lower, upper or finite numbers")
            self.bounds[axis] = low, high
            if low is not None and high is not None and low > high:
                raise ValueError(f"--bin-bound {AXES[axis]} {low:g} {high:g}: the lower is above the upper")
        if discard not in DISCARDS:
            raise ValueError(f"--bin-discard takes {', '.join(DISCARDS)}, not {discard!r}")
        self.discard = discard

    def __repr__(self):
        options = [f"{self.units} units"] if self.units != "box" else []
        options += [f"{AXES[axis]} within {low} {high}" for axis, (low, high) in sorted(self.bounds.items())]
        options += [f"discard {self.discard}"] if self.discard != "mixed" else []
        return f"{type(self).__name__}{self.args!r}" + (f" in {', '.join(options)}" if options else "")

    def _bounded(self, axes):
        for axis in self.bounds:
            if axis not in axes:
                raise ValueError(f"--bin-bound {AXES[axis]}: the bins are not cut along {AXES[axis]}")

    def _grid(self, box, axis, width, origin):
        """(the lower bound of the first bin along `axis`, the number of bins)."""
        lo, hi = (0.0, 1.0) if self.units == "reduced" else (box.lo[axis], box.hi[axis])
        low, high = self.bounds.get(axis, (None, None))
        low, high = lo if low is None else low, hi if high is None else high
        if low > high:
            raise ValueError(f"the bins' bounds {low:g} {high:g}: the lower is above the upper")
        return _layers(low, high, origin, width)

    def _along(self, coordinates, lo, hi, box, axis, width, origin, layout=None):
        offset, layers = self._grid(box if layout is None else layout, axis, width, origin)
        return _axial(coordinates[:, axis].copy(), lo[axis], hi[axis], box.periodic[axis], width, offset, layers,
                      self.bounds.get(axis, (None,))[0] is not None, self.discard), layers

    def _radii_in_box(self, box, axis):
        """(RMIN, RMAX) in the box's units: in reduced units, fractions of its length along `axis`."""
        rmin, rmax = self.args[-3:-1]
        if self.units == "reduced":
            scale = box.hi[axis] - box.lo[axis]
            return rmin * scale, rmax * scale
        return rmin, rmax

    def coordinates(self, ids, box):
        """The centre of the bin of each chunk id along each binned axis (`bin_x`, `bin_y`, `bin_z`,
        in the bins' units) and the radius midway through its ring or shell (`bin_r`), as LAMMPS's
        fix ave/chunk gives its Coord columns, in their order."""
        raise NotImplementedError

    def count(self, box):
        """How many bins there are (chunk ids 1 to it) in `box`."""
        raise NotImplementedError

    def _wrapped(self, positions, box, needs_box=True):
        if box is None:
            if needs_box or self.units == "reduced":
                raise ValueError("bins need the simulation box, and the input gives none: give it (--box XLO XHI "
                                 "YLO YHI ZLO ZHI, with --periodic)")
            return np.array(positions, dtype=np.float64)
        if box.triclinic and needs_box and self.units == "box":
            raise ValueError("bins of a tilted box are made in reduced units, as LAMMPS makes them: "
                             "--bin-units reduced")
        return box.wrap(positions)[0]

    def _coordinates(self, positions, box):
        """(the coordinates bins are cut in, their lower and upper bounds, the box's lengths)."""
        if self.units == "reduced":
            return _reduced(positions, box), np.zeros(3), np.ones(3), np.diag(box.edges)
        return positions, box.lo, box.hi, box.hi - box.lo


def _axial(x, lo, hi, periodic, width, offset, layers, bounded_below=False, discard="mixed"):
    """(each coordinate's bin from 0, or -1 where it is discarded) over the box's [lo, hi), the bins
    from `offset` on, in LAMMPS's arithmetic."""
    if periodic:
        # Where wrapping rounded onto a face, as LAMMPS remaps.
        _remap(x, lo, hi)
    # LAMMPS's int cast truncates toward zero; below the first bin it steps down one.
    below = x < offset
    x -= offset
    x *= 1.0 / width
    index = x.astype(np.int64)
    index[below] -= 1
    # Mixed: below the bins to the first unless a lower bound was given, above them discarded (LAMMPS
    # keeps atoms above only with discard no; within the box none are).
    lost = None
    if discard != "no":
        lost = index > layers - 1
        if discard == "yes" or bounded_below:
            lost |= index < 0
    np.clip(index, 0, layers - 1, out=index)
    if lost is not None:
        index[lost] = -1
    return index


def _middles(index, rmin, rmax, count):
    """The radius midway through each ring or shell, as LAMMPS gives its coordinate."""
    low = rmin + index * (rmax - rmin) / count
    high = np.where(index == count - 1, rmax, rmin + (index + 1) * (rmax - rmin) / count)
    return 0.5 * (low + high)


def _radial(squared, rmin, rmax, count, discard="mixed"):
    """Each distance's ring or shell from 0 (distances given squared), or -1 where it is discarded, in
    LAMMPS's arithmetic."""
    r = np.sqrt(squared, out=squared)
    below = r < rmin
    r -= rmin
    r *= 1.0 / ((rmax - rmin) / count)
    index = r.astype(np.int64)
    index[below] -= 1
    lost = (index < 0) | (index > count - 1) if discard == "yes" else None
    np.clip(index, 0, count - 1, out=index)
    if lost is not None:
        index[lost] = -1
    return index


def _layers(lo, hi, origin, width):
    """(the lower bound of the first bin, the number of bins) covering [lo, hi) from `origin`, in
    LAMMPS's arithmetic."""
    origin = {"lower": lo, "upper": hi, "center": 0.5 * (lo + hi)}.get(origin, origin)
    inverse = 1.0 / width
    if origin < lo:
        first = origin + int((lo - origin) * inverse) * width
    else:
        first = origin - int((origin - lo) * inverse) * width
        if first > lo:
            first -= width
    if origin < hi:
        last = origin + int((hi - origin) * inverse) * width
        if last < hi:
            last += width
    else:
        last = origin - int((origin - hi) * inverse) * width
    return first, int((last - first) * inverse + 0.5)


def _squared_distance(positions, centre, axes):
    d = positions[:, axes[0]] - centre[0]
    squared = d * d
    for axis, c in zip(axes[1:], centre[1:]):
        d = positions[:, axis] - c
        squared += d * d
    return squared


class Bins(Binning):
    """Bins along up to three axes: (axis index, width, origin) each, origin a name or a coordinate."""

    def __init__(self, binned, units="box", bounds=None, discard="mixed"):
        self.args = tuple((int(axis), float(width), origin) for axis, width, origin in binned)
        self._options(units, bounds, discard)
        axes = [axis for axis, _, _ in self.args]
        if not 1 <= len(axes) <= 3 or len(set(axes)) != len(axes):
            raise ValueError("--bin takes one to three different axes")
        self._bounded(axes)

    @classmethod
    def parse(cls, texts, units="box", bounds=None, discard="mixed"):
        """From "AXIS:WIDTH[:ORIGIN]" texts ("z:0.5", "x:1.3:center", "y:0.9:0.4")."""
        return cls([_axis(text, "--bin") for text in texts], units, bounds, discard)

    def labels(self, positions, box, dimension=3, layout=None, held=None):
        if dimension == 2 and any(axis == 2 for axis, _, _ in self.args):
            raise ValueError("a 2d simulation has no bins along z")
        positions = self._wrapped(positions, box)
        coordinates, lo, hi, lengths = self._coordinates(positions, box)
        if layout is not None and self.units == "box":
            lengths = layout.hi - layout.lo
        # A bin's width over the length it is a part of, in the bins' units.
        span = lengths if self.units == "box" else hi - lo
        labels = np.zeros(len(positions), np.int64)
        volume = float(np.prod(lengths[:dimension]))
        lost = np.zeros(len(positions), bool)
        for axis, width, origin in self.args:
            index, layers = self._along(coordinates, lo, hi, box, axis, width, origin, layout)
            lost |= index < 0
            labels *= layers
            labels += index
            volume *= width / span[axis]
        labels += 1
        labels[lost] = 0
        return labels, positions, volume

    def coordinates(self, ids, box):
        rest, found = np.asarray(ids, np.int64) - 1, {}
        # The last axis given varies fastest.
        for axis, width, origin in reversed(self.args):
            offset, layers = self._grid(box, axis, width, origin)
            found[f"bin_{AXES[axis]}"] = offset + (rest % layers + 0.5) * width
            rest = rest // layers
        return dict(reversed(found.items()))

    @property
    def places(self):
        return len(self.args)

    @property
    def _follows_box(self):
        return self.units == "box"

    def count(self, box):
        return int(np.prod([self._grid(box, axis, width, origin)[1] for axis, width, origin in self.args]))


class SphereBins(Binning):
    """Spherical shells about a centre."""

    measures_distance = True

    def __init__(self, centre, rmin, rmax, count, units="box", discard="mixed"):
        self.args = (tuple(float(c) for c in centre), *_radii(float(rmin), float(rmax), count, "--bin-sphere"))
        self._options(units, None, discard)

    @classmethod
    def parse(cls, values, units="box", bounds=None, discard="mixed"):
        if bounds:
            raise ValueError("--bin-bound bounds the bins along an axis: --bin or --bin-cylinder")
        x, y, z, rmin, rmax, count = _numbers(values, "--bin-sphere", ("X", "Y", "Z", "RMIN", "RMAX", "N"))
        return cls((x, y, z), rmin, rmax, count, units, discard)

    def labels(self, positions, box, dimension=3, layout=None, held=None):
        centre, rmin, rmax, count = self.args
        if dimension == 2 and centre[2] != 0.0:
            raise ValueError("a 2d simulation's spheres are centred at z = 0")
        positions = self._wrapped(positions, box, needs_box=False)
        layout = box if layout is None else layout
        if self.units == "reduced":
            centre = _from_reduced(centre, layout)
        rmin, rmax = self._radii_in_box(layout, 0)
        remapped = _remapped(_measured(positions, held, box), box, [0, 1, 2])
        labels = _radial(_squared_distance(remapped, centre, (0, 1, 2)), rmin, rmax, count, self.discard) + 1
        edges = rmin + np.arange(count + 1) * ((rmax - rmin) / count)
        return labels, positions, 4.0 / 3.0 * np.pi * np.diff(edges ** 3)

    def coordinates(self, ids, box):
        return {"bin_r": _middles(np.asarray(ids, np.int64) - 1, *self._radii_in_box(box, 0), self.args[-1])}

    places = 1

    def count(self, box):
        return self.args[-1]

    @property
    def _follows_box(self):
        return self.units == "reduced"


class CylinderBins(Binning):
    """Rings about a line along an axis, each cut along it."""

    measures_distance = True

    def __init__(self, axis, c1, c2, rmin, rmax, count, units="box", bounds=None, discard="mixed"):
        self.args = (tuple(axis), float(c1), float(c2), *_radii(float(rmin), float(rmax), count, "--bin-cylinder"))
        self._options(units, bounds, discard)
        self._bounded([self.args[0][0]])

    @classmethod
    def parse(cls, values, units="box", bounds=None, discard="mixed"):
        values = list(values)
        if len(values) != 6:
            raise ValueError("--bin-cylinder takes AXIS:WIDTH[:ORIGIN] C1 C2 RMIN RMAX N")
        c1, c2, rmin, rmax, count = _numbers(values[1:], "--bin-cylinder", ("C1", "C2", "RMIN", "RMAX", "N"))
        return cls(_axis(values[0], "--bin-cylinder"), c1, c2, rmin, rmax, count, units, bounds, discard)

    def labels(self, positions, box, dimension=3, layout=None, held=None):
        (axis, width, origin), c1, c2, rmin, rmax, count = self.args
        if dimension == 2:
            raise ValueError("a 2d simulation has no cylinder bins (LAMMPS makes none)")
        positions = self._wrapped(positions, box)
        across = [a for a in range(3) if a != axis]
        coordinates, lo, hi, lengths = self._coordinates(positions, box)
        layout = box if layout is None else layout
        along, layers = self._along(coordinates, lo, hi, box, axis, width, origin, layout)
        if self.units == "reduced":
            centre = np.zeros(3)
            centre[across] = c1, c2
            c1, c2 = np.array(_from_reduced(centre, layout))[across]
        rmin, rmax = self._radii_in_box(layout, across[0])
        ring = _radial(_squared_distance(_remapped(_measured(positions, held, box), box, across), (c1, c2), (0, 1)),
                       rmin, rmax, count,
                       self.discard)
        edges = rmin + np.arange(count + 1) * ((rmax - rmin) / count)
        # LAMMPS's slab: the box's length times the width over the length in the width's units.
        volumes = np.repeat(np.pi * np.diff(edges ** 2) * (lengths[axis] * width / (hi[axis] - lo[axis])), layers)
        labels = ring * layers + along + 1
        labels[(ring < 0) | (along < 0)] = 0
        return labels, positions, volumes

    def coordinates(self, ids, box):
        (axis, width, origin), count = self.args[0], self.args[-1]
        offset, layers = self._grid(box, axis, width, origin)
        rest = np.asarray(ids, np.int64) - 1
        across = [a for a in range(3) if a != axis][0]
        return {"bin_r": _middles(rest // layers, *self._radii_in_box(box, across), count),
                f"bin_{AXES[axis]}": offset + (rest % layers + 0.5) * width}

    places = 2

    def count(self, box):
        (axis, width, origin), count = self.args[0], self.args[-1]
        return count * self._grid(box, axis, width, origin)[1]


def volumes(group_id, volume):
    """The volume of each row's bin: `volume` that of every bin, or of each by chunk id - 1 (a row of
    no bin, id 0, gets the first's)."""
    if np.ndim(volume):
        return np.asarray(volume)[np.maximum(np.asarray(group_id), 1) - 1]
    return volume


def densities(result, volume, solid=None):
    """Each bin's `number_density` and `mass_density` (in LAMMPS's density units where the unit style is
    known), and with `solid`, the volume of its particles, its `volume_fraction` (each particle counted
    whole in its centre's bin); `volume` as `volumes` takes it."""
    volume = volumes(result.group_id, volume)
    count = result.physics.get("count")
    if count is None:  # physics "none": counted here
        count = np.bincount(result.element, minlength=len(result.masses))
    count = np.asarray(count, np.float64)
    mass = np.asarray(result.masses, np.float64) * MASS_DENSITY_UNITS.get(getattr(result, "units", None), 1.0)
    found = {"number_density": count / volume, "mass_density": mass / volume}
    if solid is not None:
        found["volume_fraction"] = solid / volume
    return found
