"""Groups by place (`--bin AXIS:WIDTH[:ORIGIN]`, up to one per axis): the particles of each spatial
bin form one upscaled particle, as LAMMPS's `compute chunk/atom bin/1d`, `bin/2d` and `bin/3d` make
chunks of them (`units box`, the default bounds and `discard mixed`). The bins of an axis start from
ORIGIN (`lower`, the default, `center`, `upper` or a coordinate) every WIDTH, to cover the box; its
last bin may be cut by the box. A particle is binned where it lies in the box (wrapped into it in the
periodic directions); beyond a bound that is not periodic it goes to the nearest bin. Group labels
are LAMMPS's chunk ids, from 1, the first axis given varying slowest; so every per-group array is the
bin's. Each bin also has `number_density` and `mass_density`: its count and mass over the volume
of a whole bin (the widths times the box's other lengths), as `fix ave/chunk` gives
`density/number` and `density/mass` (in g/cm^3 where the unit style is real or metal).
"""
import numpy as np

from .frames import AXES

ORIGINS = ("lower", "center", "upper")


class Bins:
    """The bins of up to three axes: (axis index, width, origin) each, origin a name or a coordinate."""

    def __init__(self, specs):
        self.specs = [(int(axis), float(width), origin) for axis, width, origin in specs]
        axes = [axis for axis, _, _ in self.specs]
        if not 1 <= len(axes) <= 3 or len(set(axes)) != len(axes):
            raise ValueError("--bin takes one to three different axes")
        for axis, width, origin in self.specs:
            if not (np.isfinite(width) and width > 0):
                raise ValueError(f"--bin {AXES[axis]}: the width must be a positive number, not {width}")
            if origin not in ORIGINS and not np.isfinite(origin):
                raise ValueError(f"--bin {AXES[axis]}: the origin must be {', '.join(ORIGINS)} or a number")

    @classmethod
    def parse(cls, texts):
        """From "AXIS:WIDTH[:ORIGIN]" texts ("z:0.5", "x:1.3:center", "y:0.9:0.4")."""
        specs = []
        for text in texts:
            parts = str(text).split(":")
            if len(parts) not in (2, 3) or parts[0] not in AXES:
                raise ValueError(f"--bin {text!r}: expected AXIS:WIDTH[:ORIGIN], AXIS one of x, y, z")
            try:
                width = float(parts[1])
                origin = "lower" if len(parts) == 2 else parts[2] if parts[2] in ORIGINS else float(parts[2])
            except ValueError:
                raise ValueError(f"--bin {text!r}: the width and the origin ({', '.join(ORIGINS)} or a number) "
                                 "must be numbers") from None
            specs.append((AXES.index(parts[0]), width, origin))
        return cls(specs)

    def __repr__(self):
        return "Bins(" + ", ".join(f"{AXES[a]}:{w!r}:{o}" for a, w, o in self.specs) + ")"

    def labels(self, positions, box):
        """(chunk ids (N,), the positions wrapped into the box in its periodic directions, the volume of
        a bin); raises ValueError where the box cannot be binned."""
        if box is None:
            raise ValueError("bins need the simulation box, and the input gives none")
        if box.triclinic:
            raise ValueError("bins need an orthogonal box (LAMMPS bins a tilted one in reduced units)")
        lo, hi = box.lo, box.hi
        # Box.wrap's arithmetic axis by axis (an orthogonal box's edges are its lengths): the same bits,
        # without solving for fractions, which took 3 s at ten million particles.
        lengths = hi - lo
        images = np.subtract(positions, lo, dtype=np.float64)
        images /= lengths
        np.floor(images, out=images)
        images[:, ~box.periodic] = 0.0
        images *= lengths
        positions = np.subtract(positions, images, dtype=np.float64)
        del images
        labels = np.zeros(len(positions), np.int64)
        volume = float(np.prod(hi - lo))
        for axis, width, origin in self.specs:
            offset, layers = _layers(lo[axis], hi[axis], origin, width)
            x = positions[:, axis].copy()
            if box.periodic[axis]:
                # Where wrapping rounded onto the upper face, as LAMMPS remaps.
                x[x >= hi[axis]] -= hi[axis] - lo[axis]
            # LAMMPS's int cast truncates toward zero; below the first bin it steps down one.
            below = x < offset
            x -= offset
            x *= 1.0 / width
            index = x.astype(np.int64)
            index[below] -= 1
            np.clip(index, 0, layers - 1, out=index)
            labels *= layers
            labels += index
            volume *= width / (hi[axis] - lo[axis])
        labels += 1
        return labels, positions, volume


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


# LAMMPS's mv2d: mass over volume to its density units (g/cm^3 in real and metal units), 1 elsewhere.
MASS_DENSITY_UNITS = {"real": 1.0 / 0.602214129, "metal": 1.0 / 0.602214129}


def densities(result, volume):
    """Each bin's `number_density` and `mass_density` (in LAMMPS's density units where the unit style is
    known)."""
    count = np.bincount(result.element, minlength=len(result.masses)).astype(np.float64)
    mass = np.asarray(result.masses, np.float64) * MASS_DENSITY_UNITS.get(getattr(result, "units", None), 1.0)
    return {"number_density": count / volume, "mass_density": mass / volume}
