"""One step, NumPy in and NumPy out: `upscale` groups the particles, reduces every value, adds the
per-group physics and turns contacts into a network of lines. The job runs every step through it;
a notebook calls it directly.
"""
import collections.abc
import math
import numbers
import re
import time

import numpy as np

from .columns import (INT32_MAX, RESERVED, beyond_int64, check_finite, check_ids, default_reduction, plain_array,
                      radii, whole_numbers)
from .frames import AXES, Box, InputError
from . import periodic
from .reading import COMMON_NAMES, triplet_of

REDUCTIONS = ("sum", "average", "mean", "any", "min", "max", "std", "var", "median", "nunique")
# A bin's sum over its volume (OVITO's sum/volume): the job's, which knows the bins.
PER_VOLUME = "per_volume"
JOB_REDUCTIONS = REDUCTIONS + (PER_VOLUME,)
PHYSICS = ("none", "basic", "all")
# What each level of --physics adds (the velocity is the mass-averaged `velocity` value itself).
BASIC_PHYSICS = ("count", "radius_of_gyration")
ALL_PHYSICS = BASIC_PHYSICS + ("gyration_tensor", "inertia", "angular_momentum", "angular_velocity", "torque",
                                "internal_kinetic_energy", "dipole")
# LAMMPS's unit styles: (mvv2e, boltz), mass times velocity squared in energy units and Boltzmann's
# constant in energy per temperature unit, as LAMMPS sets them.
LAMMPS_UNIT_STYLES = {"lj": (1.0, 1.0), "real": (48.88821291 * 48.88821291, 0.0019872067),
                      "metal": (1.0364269e-4, 8.617343e-5), "si": (1.0, 1.3806504e-23),
                      "cgs": (1.0, 1.3806504e-16), "electron": (1.06657236, 3.16681534e-6),
                      "micro": (1.0, 1.3806504e-8), "nano": (1.0, 0.013806504)}
# And MDAnalysis's own, in which it gives the frames of the formats whose units it knows: masses in
# u, velocities in A/ps (u A^2/ps^2 = 0.01 kJ/mol), energies in kJ/mol, its Boltzmann constant.
UNIT_STYLES = {**LAMMPS_UNIT_STYLES, "mdanalysis": (0.01, 0.008314462159)}
# LAMMPS's nktv2p: force times distance in pressure times volume, in which it gives a per-atom stress.
PRESSURE_VOLUME = {"real": 68568.415, "metal": 1.6021765e6, "electron": 2.94210108e13}
# Component names of the arrays that are not x, y, z vectors.
COMPONENTS = {"gyration_tensor": ("xx", "yy", "zz", "xy", "xz", "yz"),
              "gyration_shape": ("lambda1", "lambda2", "lambda3", "asphericity", "acylindricity", "anisotropy"),
              "inertia": ("xx", "yy", "zz", "xy", "yz", "xz"), "msd": ("x", "y", "z", "total"),
              "principal_axes": tuple(f"e{k}_{axis}" for k in (1, 2, 3) for axis in AXES),
              "fabric": ("xx", "yy", "zz", "xy", "xz", "yz"),
              "contact_stress": ("xx", "yy", "zz", "xy", "xz", "yz"),
              "kinetic_stress": ("xx", "yy", "zz", "xy", "xz", "yz"),
              "bin_stress": ("xx", "yy", "zz", "xy", "xz", "yz"),
              "vacf": ("x", "y", "z", "total")}


def several(hows):
    """A value's reductions, one name or a list of them: the distinct names in their order."""
    return (hows,) if isinstance(hows, str) else tuple(dict.fromkeys(hows))


def checked_reductions(name, hows, known=REDUCTIONS):
    """A value's reductions, each one of `known`: the distinct ones."""
    if not isinstance(hows, (str, list, tuple)):
        raise ValueError(f"the reductions of {name!r} are a name or a list of names, not {hows!r}")
    found = several(hows)
    if not found:
        raise ValueError(f"the reductions of {name!r} name none")
    for how in found:
        if how not in known:
            raise ValueError(f"the reduction of {name!r} must be one of {', '.join(known)}, not {how!r}")
    return found


def reduction_outputs(name, hows):
    """The arrays a value's reductions write, {name: reduction}: NAME for one, NAME_HOW for each of
    several (a velocity's mean and spread, as pandas's agg(["mean", "std"]) gives them)."""
    hows = several(hows)
    return {name: hows[0]} if len(hows) == 1 else {f"{name}_{how}": how for how in hows}


def component_names(name, width):
    """The names of the `width` components of array `name`: its own, x y z for another vector, else
    1, 2, ..."""
    return COMPONENTS.get(name) or (AXES if width == 3 else tuple(str(k + 1) for k in range(width)))


def table_columns(positions, arrays):
    """A table's columns of rows with `positions` and named `arrays`: x y z, then each array, a vector's
    components as NAME_x NAME_y NAME_z (others NAME_1 ...), labels as text."""
    columns = {axis: positions[:, k] for k, axis in enumerate(AXES)}

    def put(column, values, name):
        # One column must not take another's place unseen (a value named x, or velocity_x beside velocity).
        if column in columns:
            raise ValueError(f"array '{name}' gives the table a column '{column}', which it has already "
                             f"(the centres' x y z, or another array's): rename the array")
        columns[column] = values

    for name, values in arrays.items():
        values = np.asarray(values)
        if values.dtype.kind == "S":
            values = np.char.decode(values, "utf-8", "replace")
        if values.ndim == 1:
            put(name, values, name)
            continue
        for k, part in enumerate(component_names(name, values.shape[1])):
            put(f"{name}_{part}", values[:, k], name)
    return columns


class _Step:
    """Names the step in the errors of the checks."""

    def __init__(self, source, timestep):
        self.source, self.timestep = source, timestep

    def fail(self, array, problem):
        raise InputError(self.source, "-" if self.timestep is None else self.timestep, array, problem)


def _modules():
    import quill20  # registers the classes the generator takes and returns: first
    import _vireo20upscaling
    return quill20, _vireo20upscaling


def load_modules():
    """Imports every compiled module a step uses, ahead of the first step."""
    from . import _groups, _physics  # noqa: F401
    _modules()


class Upscaled:
    """The result of one step. Every array is NumPy, one row per upscaled particle (U of them, then
    the T trailing entries passed through) unless said otherwise; the engine's results are viewed,
    not copied.

    Attributes: `centres` (U+T, 3) centres of mass; `masses` summed masses; `parent_id` the parent of
    each upscaled particle; `group_id` its group label (without labels, a particle alone has its
    number from 1: its id where ids count from 1); `element` (E+T) the upscaled particle of each
    input entry; `values` and `physics` dicts of reduced and per-group arrays (also reachable as
    `result["name"]`); `points` the centres then the periodic images that contact lines end at,
    `image_of` (one per point: the upscaled particle an image point repeats, -1 on its own point);
    `lines` (L, 2) point indexes of the contact network and `line_values` its cell arrays
    (`contacts`: how many particle pairs a line merges, then the sum of each contact value);
    `unknown_contacts` how many contacts name an id of no particle of the step; `units` the LAMMPS
    unit style of the values, or None.
    """

    def __init__(self, **fields):
        self.__dict__.update(fields)

    @property
    def arrays(self):
        """Every per-upscaled-particle array by name: mass, parent_id, group_id, values, physics."""
        return {"mass": self.masses, "parent_id": self.parent_id, "group_id": self.group_id,
                **self.values, **self.physics}

    def __getitem__(self, name):
        try:
            return self.arrays[name]
        except KeyError:
            raise KeyError(f"{name!r}: the step has {', '.join(self.arrays)}") from None

    # As a DataFrame: its length the rows, its iteration and `in` the arrays' names.
    def keys(self):
        return self.arrays.keys()

    def __iter__(self):
        return iter(self.arrays)

    def __contains__(self, name):
        return name in self.arrays

    def __len__(self):
        return len(self.centres)

    def __repr__(self):
        return (f"<Upscaled timestep {self.timestep}: {self.u} upscaled particles and {self.t} trailing "
                f"entries from {self.e} entries; arrays {', '.join(self.arrays)}>")

    def to_pandas(self):
        """A pandas DataFrame with one row per upscaled particle: x y z, mass, parent_id, group_id,
        then every value and physics array, vectors as NAME_x NAME_y NAME_z columns.

        >>> frame = vireo20.upscale(groups, masses, positions).to_pandas()
        >>> frame.plot.scatter("x", "z")
        """
        import pandas
        return pandas.DataFrame(table_columns(self.centres, self.arrays))

    def to_vtk(self):
        """The vtkPolyData the job writes for this step (points, vertex and line cells, arrays)."""
        from .write_vtk import polydata
        return polydata(self)

    def summary(self):
        return (f"step {self.index} (timestep {self.timestep}): E={self.e} U={self.u} T={self.t} "
                f"mass {self.mass_before:.10g} -> {self.mass_after:.10g} "
                f"centre-of-mass drift {self.drift:.3g} in {self.seconds:.3f} s")


def _ints(step, name, values, shape_text):
    values = np.asarray(plain_array(values))
    if values.ndim != 1:
        step.fail(name, f"expected {shape_text}, got shape {values.shape}")
    return whole_numbers(step, name, values)


def _range(step, name, values, low, high):
    if len(values):
        bad = np.flatnonzero((values < low) | (values > high))
        if len(bad):
            step.fail(name, f"id {values[bad[0]]} at position {bad[0]} is outside {low}..{high}"
                            + (f" ({len(bad)} such ids)" if len(bad) > 1 else ""))


def _box(step, box):
    try:
        return Box.given(box)
    except ValueError as error:
        step.fail("box", str(error))


def parents_from_groups(groups, ids, enabled):
    """Parent of each particle: the enabled member of its group with the lowest id; -1 for the
    parent itself, for particles in no group (label 0 or below) and for particles not enabled.
    `ids` may be None: a particle's index is its id."""
    from . import _groups
    parents = np.full(len(groups), -1, np.int32)
    _groups.parents_from_labels(np.ascontiguousarray(groups, np.int64),
                                None if ids is None else np.ascontiguousarray(ids, np.int64),
                                np.ascontiguousarray(enabled, np.int32), parents)
    return parents


def _checked(step, masses, groups, parents, enabled, ids, first_id, trailing_masses, positions, values, box):
    """Every input checked once, before anything is allocated by its values; in the types the
    engine reads."""
    if masses is None:
        step.fail("masses", "missing: one mass per particle")
    masses = np.asarray(plain_array(masses))
    if masses.ndim != 1:
        step.fail("masses", f"expected one mass per particle, got shape {masses.shape}")
    if masses.dtype.kind == "b":
        step.fail("masses", "booleans, not masses")
    n = len(masses)
    if n > INT32_MAX:   # told before the masses are copied: 17 GB at this size
        step.fail("masses", f"{n} particles: at most {INT32_MAX} fit the engine's 32-bit ids")
    check_finite(step, "masses", masses, positive=True)
    masses = np.ascontiguousarray(masses, dtype=np.float64)
    if n and masses.min() < np.finfo(np.float64).tiny:
        # Subnormal: a centre of mass of such would keep only some of its digits.
        step.fail("masses", f"value {masses.min()!r} is below 2.2e-308, where doubles lose digits: give the masses "
                            "in other units")
    if groups is not None:
        if np.asarray(groups).dtype.kind == "b":
            step.fail("groups", "booleans, not labels (a mask of the particles to group is enabled=)")
        groups = _ints(step, "groups", groups, "one label per particle")
        if len(groups) != n:
            step.fail("groups", f"{len(groups)} labels for {n} particles (one mass each)")
    if parents is not None:
        parents = _ints(step, "parents", parents, "one parent per particle")
        if len(parents) != n:
            step.fail("parents", f"{len(parents)} parents for {n} particles (one mass each)")
        _range(step, "parents", parents, -INT32_MAX - 1, n - 1)
    if enabled is None:
        enabled = np.arange(n, dtype=np.int32)
    else:
        if np.asarray(enabled).dtype.kind == "b":
            # A mask of the particles, as NumPy users select them.
            if np.shape(enabled) != (n,):
                step.fail("enabled", f"a mask of shape {np.shape(enabled)} for {n} particles")
            enabled = np.flatnonzero(enabled)
        enabled = _ints(step, "enabled", enabled, "a list of particle indexes")
        _range(step, "enabled", enabled, 0, n - 1)
        from . import _groups
        # A bit a particle, as ids are checked: 0.04 s for nine million, where NumPy's bincount took 0.3 s.
        twice = _groups.first_repeat(np.ascontiguousarray(enabled, dtype=np.int64))
        if twice >= 0:
            step.fail("enabled", f"particle {enabled[twice]} is enabled more than once (its mass and values would "
                                 "count twice)")
    e = len(enabled)
    if not isinstance(first_id, numbers.Integral) or isinstance(first_id, bool):
        step.fail("first_id", f"{first_id!r} is not a whole number")
    first_id = int(first_id)
    if ids is None:
        # The default ids count from first_id: parent_id is the parent's index.
        first_id = 0
    else:
        ids = np.asarray(plain_array(ids))
        if ids.shape != (n,):
            step.fail("id", f"{len(ids)} ids for {n} particles" if ids.ndim == 1 else f"shape {ids.shape}")
        ids = check_ids(step, ids, "id", low=first_id, high=first_id + INT32_MAX)
    trailing_masses = np.zeros(0) if trailing_masses is None else np.asarray(trailing_masses)
    if trailing_masses.ndim != 1:
        step.fail("trailing_masses", f"expected one mass per trailing entry, got shape {trailing_masses.shape}")
    check_finite(step, "trailing_masses", trailing_masses, positive=True)
    t = len(trailing_masses)
    positions = np.asarray(positions) if positions is not None else step.fail("positions", "missing")
    if positions.shape != (e + t, 3):
        step.fail("positions", f"shape {positions.shape}, expected ({e + t}, 3): one row per enabled "
                               f"particle ({e}) and trailing entry ({t})")
    check_finite(step, "positions", positions)
    positions = np.ascontiguousarray(positions, dtype=np.float64)
    if values is not None and not isinstance(values, collections.abc.Mapping):
        step.fail("values", f"a dict of name: array (one row a particle), not a {type(values).__name__}")
    values = dict(values or {})
    for name, data in values.items():
        if not isinstance(name, str) or not name:
            step.fail(str(name), "a value's name is a text, not empty (it names the array written)")
        if np.ma.is_masked(data):
            # np.asarray drops the mask: the masked values would count.
            step.fail(name, "a masked array: give the masked values as NaN (values.filled(np.nan))")
        data = np.asarray(plain_array(data))
        if name in RESERVED:
            step.fail(name, f"the name is taken by an array the upscaling gives ({', '.join(RESERVED)})")
        if data.ndim not in (1, 2) or len(data) != e + t or (data.ndim == 2 and not 1 <= data.shape[1] <= 9):
            step.fail(name, f"shape {data.shape}, expected ({e + t},) or ({e + t}, k), k 1 to 9: one row per "
                            f"enabled particle ({e}) and trailing entry ({t})")
        if data.dtype.kind not in "biuf":
            step.fail(name, f"values of type {data.dtype} are neither integer nor floating-point")
        beyond_int64(step, name, data)
        if name in ("velocity", "force") and data.shape[1:] != (3,):
            # The physics reads them as vectors: of another shape, they would be left out unseen.
            step.fail(name, f"shape {data.shape}, expected ({e + t}, 3): a vector a row (z 0 in a 2d run)")
        values[name] = data
    return masses, groups, parents, enabled, ids, first_id, trailing_masses, positions, values, _box(step, box)


def upscale(groups=None, masses=None, positions=None, values=None, *, parents=None, enabled=None,
            ids=None, first_id=0, box=None, wrapped=False, physics="all", shape=False, reductions=None,
            contacts=None, contact_kinds=None, contact_values=None, trailing_masses=None, units=None,
            temperature=False, dimension=3, coordination=False, contact_force=None, timestep=None, index=0,
            source="-", bonds=None):
    """Upscales one step: particles that share a group become one upscaled particle.

    Arguments (N particles, E of them enabled, then T trailing entries that pass through):
      groups          (N,) integer labels: particles with the same label > 0 form one upscaled
                      particle; 0 or below: a particle on its own. Or give `parents` instead:
      parents         (N,) the parent index of each particle, negative for its own parent.
      masses          (N,) positive masses.
      positions       (E+T, 3) positions of the enabled particles in `enabled` order, then of the
                      trailing entries; unwrapped, or wrapped with `wrapped=True` and a periodic box.
      values          {name: (E+T,) or (E+T, k)} per-entry values to reduce.
      enabled         (E,) the particles of the step, in order (default: all N in order).
      ids             (N,) particle ids (default first_id, first_id + 1, ...): a group's parent is its
                      member with the lowest id, and `parent_id` reports `id - first_id` of that
                      parent (without ids, its index).
      box             a `vireo20.Box`, or the (2, 3) lower and upper corners of a box periodic in
                      every direction: contact lines go to the nearest image, and with `wrapped`
                      each group is made whole about its parent before it is reduced.
      bonds           (B, 2) bonded pairs of particle ids (`ids` space), as a topology gives them:
                      with `wrapped`, a group whose members lie in one bonded fragment is made whole
                      along its bonds, each bond to its nearest image, however far it reaches (a
                      polymer chain longer than half the box), as MDAnalysis's unwrap makes it;
                      its parent stays where it is given. A fragment that meets its own image
                      across the faces (a network through the box) is made whole about the parent.
      physics         "none", "basic" (count, radius of gyration) or "all" (also the gyration and
                      inertia tensors, angular momentum and velocity, torque where the values
                      `velocity` and `force` are given, the kinetic energy about the mean velocity
                      with `velocity`, the dipole where charges `q` or point dipoles `mu` are).
      shape           adds `gyration_shape` (with physics "basic" or "all"): the gyration tensor's
                      eigenvalues, asphericity, acylindricity and relative shape anisotropy;
                      `shape_parameter` and `principal_axes`, MDAnalysis's, and `long_axis`;
                      `end_to_end`, the vector from the member of the lowest id to that of the
                      highest (a chain's, of positions made whole); `bounding_radius`,
                      `bounding_box_lo` and `bounding_box_hi`; and, where the values give radii
                      (`radius` or `diameter`), `equivalent_radius`.
      reductions      {name: "sum" | "average" | "mean" | "any" | "min" | "max" | "std" | "var" |
                      "median" | "nunique"}; default:
                      floating-point values are mass-weighted averages (`force`, `tq`, `q` are summed),
                      integer ones take any member's value (summed, they give float64, exact to
                      2^53); "mean" is the unweighted average (as LAMMPS's fix ave/chunk averages
                      an atom value). min and max go component by component, as LAMMPS's
                      reduce/chunk does, and pass over NaN values; std is the sample standard
                      deviation of each component, as pandas's groupby std (passing over NaN values;
                      NaN where fewer than two are left), var its square (pandas's var); median each
                      component's, as pandas's groupby median (passing over NaN values); nunique the
                      number of distinct values of each component, as pandas's groupby nunique (NaN
                      not counted; int64). A list of several reduces the value each way, written as
                      NAME_HOW ({"velocity": ["mean", "std"]}: `velocity_mean`, `velocity_std`).
                      {"positions": "mean"} adds `centre_of_geometry`, the group's
                      unweighted mean position (MDAnalysis's center_of_geometry), of positions made
                      whole.
      contacts        (C, 2) particle ids in contact (`ids` space: with ids from 1, not indexes); an
                      id of no particle of the step (one left out by a selection) counts for
                      nothing (`unknown_contacts` counts them); `contact_kinds` (C,) 0 where the
                      second id is a particle (else a wall or another body: no line);
                      `contact_values` {name: (C,) or (C, k)} summed over the pairs a line merges.
      coordination    True adds (with contacts) each upscaled particle's `coordination`, its members'
                      mean number of particle contacts (LAMMPS's compute contact/atom averaged as fix
                      ave/chunk does), and its `inner_contacts` (pairs of its own members),
                      `outer_contacts` (pairs with other particles), `wall_contacts` and `fabric`
                      (the contacts' fabric tensor, as LAMMPS's compute fabric); a distance
                      counts the neighbours closer than it instead (compute coord/atom cutoff),
                      through the periodic faces.
      contact_force   the contact value that is the force on each contact's first particle from its
                      second ((C, 3), as LAMMPS's compute pair/local fx fy fz and LIGGGHTS's
                      pair/gran/local force give it), or the names of its three (C,) components:
                      adds `contact_stress`, -sum w r f^T over the particle contacts of the members,
                      r from the second particle to the first (nearest image), w 1 for a contact of
                      two members and 1/2 for one with another upscaled particle: LAMMPS's compute
                      stress/atom of those pairs summed over the group (xx yy zz xy xz yz, xy of
                      r_x f_y; in pressure times volume, as LAMMPS's, where `units` is given, else
                      in force times distance).
      trailing_masses (T,) masses of the trailing entries.
      units           the LAMMPS unit style of the inputs ("lj", "real", "metal", "si", "cgs",
                      "electron", "micro", "nano"; or "mdanalysis", its base units):
                      `internal_kinetic_energy` is then in its energy units, as LAMMPS's temp/chunk
                      gives it.
      temperature     adds (with physics "all", a `velocity` value and `units`) LAMMPS's temp/chunk
                      temperatures: `temperature` from the velocities themselves (com no) and
                      `internal_temperature` from those about the group's mean velocity (com yes),
                      `dimension` (3, or 2 for a 2d simulation) degrees of freedom per particle;
                      its kecom, `com_kinetic_energy`, the group's kinetic energy as one body; its
                      `granular_temperature`, sum m |v - V|^2 / (dimension M) (DEM's, in velocity
                      units squared); its `kinetic_energy` (ke/atom summed); and, where the values
                      hold `omega` and `radius` (or `diameter`), its `rotational_energy`
                      (erotate/sphere/atom summed); its `kinetic_stress`, -sum m (v - V)(v - V)^T
                      about the mean velocity V (xx yy zz xy xz yz, in pressure times volume): the
                      kinetic part of LAMMPS's stress/atom with temp/chunk's com yes as its bias.
    Returns an `Upscaled`. Bad input raises `vireo20.InputError` (a ValueError) naming the array,
    the position and the value.

    >>> import numpy as np, vireo20
    >>> result = vireo20.upscale(np.array([7, 7, 0, 9]), np.array([1.0, 3.0, 2.0, 1.0]),
    ...                          np.array([[0., 0, 0], [4, 0, 0], [9, 9, 9], [1, 2, 3]]))
    >>> result.centres[0], result.group_id
    (array([3., 0., 0.]), array([7, 0, 9]))
    """
    started = time.perf_counter()
    step = _Step(source, timestep)
    if physics not in PHYSICS:
        raise ValueError(f"physics must be one of {', '.join(PHYSICS)}, not {physics!r}")
    if groups is not None and parents is not None:
        raise ValueError("give groups or parents, not both")
    if shape and physics == "none":
        raise ValueError('shape needs physics "basic" or "all"')
    if units is not None and units not in UNIT_STYLES:
        raise ValueError(f"units must be a LAMMPS unit style ({', '.join(UNIT_STYLES)}), not {units!r}")
    if dimension not in (2, 3):
        raise ValueError(f"dimension must be 2 or 3, not {dimension!r}")
    if temperature and (physics != "all" or units is None):
        raise ValueError('temperature needs physics "all" and the units (a LAMMPS unit style: '
                         f'{", ".join(UNIT_STYLES)})')
    if reductions is not None and not isinstance(reductions, dict):
        raise ValueError(f"reductions is a dict of value names and their reductions, not {reductions!r}")
    if not (coordination is True or coordination is False or coordination is None or
            isinstance(coordination, numbers.Real) and math.isfinite(coordination) and coordination > 0):
        raise ValueError(f"coordination is True (from the contacts) or a cutoff above 0, not {coordination!r}")
    quill20, engine = _modules()
    every_particle = enabled is None
    masses, groups, parents, enabled, ids, first_id, trailing_masses, positions, values, box = _checked(
        step, masses, groups, parents, enabled, ids, first_id, trailing_masses, positions, values, box)
    if wrapped and (box is None or not box.any_periodic):
        # Nothing could make the groups whole: their centres would be silently wrong.
        step.fail("wrapped", "wrapped positions need the periodic box they are wrapped in (box=)" if box is None else
                  "wrapped positions, but the box is periodic in no direction: give its periodic directions "
                  "(vireo20.Box(..., periodic=(True, True, True)))")
    n, e, t = len(masses), len(enabled), len(trailing_masses)
    if temperature and "velocity" not in values and not e + t:
        values["velocity"] = np.zeros((0, 3))   # a step of no particles (a pour's first) may have no such column
    reductions = dict(reductions or {})
    geometry = reductions.pop("positions", None)
    if geometry is not None and several(geometry) != ("mean",):
        step.fail("positions", f"positions take the mean alone (the centre of geometry; the centre of mass is always "
                               f"given), not {geometry!r}")
    for name, hows in reductions.items():
        checked_reductions(name, hows)
        if name not in values:
            # The job's own arrays, named from "\0", are none of the user's.
            named = ", ".join(key for key in values if not key.startswith("\0")) or "none"
            vector = triplet_of(name)
            common = [job for job, theirs in COMMON_NAMES.items() if name in theirs and job != name and job in values]
            joined = f"; its column is read as a component of '{vector}'" if vector in values else \
                f"; that name is read as '{common[0]}'" if common else ""
            step.fail(name, f"no such value array to reduce (the step has: {named}{joined})")

    # The grouping.
    alone = groups is None and parents is None
    if groups is not None:
        parents = parents_from_groups(groups, ids, enabled)
    elif parents is None:
        parents = np.full(n, -1, np.int32)
    parents = np.ascontiguousarray(parents, dtype=np.int32)
    # The gathers by entry below take 8-byte indexes; a caller's int64 list serves as it is.
    take_index = enabled
    enabled = np.ascontiguousarray(enabled, dtype=np.int32)
    generator = engine.MPUpscalingGenerator(quill20.asarray(parents))
    try:
        generator.SetParticlesEnabledIndexes(int(index), quill20.asarray(enabled), t)
    except RuntimeError as error:
        step.fail("enabled", " ".join(str(error).split()))
    element = generator.GetElementParticlesIndexes().to_numpy()
    parent_of = generator.GetParticleIds().to_numpy()
    u = len(parent_of) - t
    if groups is None and not alone:
        # A parent is a particle of no parent itself (or its own): the engine follows one step only. Of
        # the parents it took, not of every particle: 0.03 s at ten million, where all took 0.13 s.
        heads = parent_of[:u]
        chained = heads[(parents[heads] >= 0) & (parents[heads] != heads)]
        if len(chained):
            head = int(chained[0])
            step.fail("parents", f"particle {int(np.flatnonzero(parents == head)[0])}'s parent {head} has a parent "
                                 f"itself ({parents[head]}): give each particle its group's parent")

    if wrapped:   # in a periodic box, checked above
        named = None if groups is None else lambda k: f" (group {groups[parent_of[k]]})"
        bonded = None
        if bonds is not None and len(bonds):
            bonds = _bond_pairs(step, bonds)

            def bonded():
                from .clustering import bonded_images
                entry_ids = enabled.astype(np.int64) if ids is None else ids[enabled]
                return bonded_images(positions[:e], entry_ids, box, bonds)
        positions = _made_whole(step, positions, parents, enabled, element, u, box, named, bonded)

    # With every particle enabled in order, the masses are already by entry. Otherwise they are
    # gathered natively over the cores straight into place: masses[enabled] and a concatenation took
    # 0.16-0.4 s at ten million particles, this 0.05 s.
    if every_particle and not t:
        entry_masses = masses
    else:
        from . import _groups
        entry_masses = np.empty(e + t)
        # The masses are contiguous float64 already (checked above).
        _groups.take_rows(masses, 1, np.ascontiguousarray(take_index, dtype=np.int64), entry_masses[:e])
        entry_masses[e:] = trailing_masses
    float_class = quill20.grid_function_class("float64")
    group_sum = lambda by_entry: generator.Sum(float_class(quill20.asarray(by_entry), 1)).to_numpy()
    summed = group_sum(entry_masses)
    mass_array = quill20.asarray(masses)
    # Each array written: (the value it reduces, how).
    outputs = {}
    for name, data in values.items():
        for out, how in reduction_outputs(name, reductions.get(name) or default_reduction(name, data)).items():
            if out != name and out in values:
                step.fail(name, f"its {how} would be written as '{out}', the name of another value array")
            outputs[out] = (name, how)
    how_reduced = {out: how for out, (_, how) in outputs.items()}
    velocity_averaged = ("velocity", "average") in outputs.values()
    physics_arrays, mean_velocity = {}, None
    if physics != "none":
        # The physics' pass finds the centres, and the mean velocity, on its way.
        physics_arrays, centres, mean_velocity = _group_physics(generator, physics, shape, positions, masses,
                                                                entry_masses, values, velocity_averaged,
                                                                temperature and physics == "all")
        if shape:
            physics_arrays.update(_equivalent_radius(values, group_sum, dimension))
            physics_arrays["end_to_end"] = _end_to_end(positions, ids, enabled, element, u, t)
        if physics == "all":
            dipole = _dipole(quill20, generator, positions, centres, element, values)
            if dipole is not None:
                physics_arrays["dipole"] = dipole
            if temperature:
                physics_arrays.update(_temperatures(step, values.get("velocity"), entry_masses, summed, group_sum,
                                                    physics_arrays, UNIT_STYLES[units], dimension))
                physics_arrays.update(_rotational_energy(values, entry_masses, UNIT_STYLES[units][0], group_sum))
                # stress/atom's kinetic part, -mvv2e m v v^T in pressure times volume, about the mean velocity.
                kinetic = physics_arrays["kinetic_stress"]
                kinetic *= -UNIT_STYLES[units][0] * PRESSURE_VOLUME.get(units, 1.0)
                kinetic += 0.0  # a lone member's -0 as 0
            mvv2e = UNIT_STYLES[units][0] if units is not None else 1.0
            if mvv2e != 1.0 and "internal_kinetic_energy" in physics_arrays:
                physics_arrays["internal_kinetic_energy"] = physics_arrays["internal_kinetic_energy"] * mvv2e
    else:
        centres = generator.CoordsWeightedAverage(quill20.asarray(positions), mass_array).to_numpy()
    reduced = {out: mean_velocity if (name, how) == ("velocity", "average") and mean_velocity is not None
               else _extreme(generator, values[name], how, element, u + t) if how in ("min", "max")
               else _per_member(generator, values[name], how) if how in ("std", "var", "median", "nunique")
               else _reduce(step, quill20, generator, name, values[name], how, entry_masses)
               for out, (name, how) in outputs.items()}

    if geometry:
        from . import _physics
        physics_arrays["centre_of_geometry"] = _physics.group_average(generator, positions)

    # Ids as the caller knows them.
    # Each array is made once at its full length: at ten million particles a step's temporaries
    # are fresh pages, and those cost more than the copies.
    own = parent_of[:u]
    if ids is None:
        parent_id = parent_of
    else:
        parent_id = np.empty(u + t, np.int64)
        np.subtract(ids[own], first_id, out=parent_id[:u])
        parent_id[u:] = np.arange(n, n + t)
    if groups is not None:
        group_id = np.zeros(u + t, np.int64)
        # Parents are the engine's own indexes, all in range: "clip" writes straight into place
        # where the default mode would gather into a temporary first.
        np.take(groups, own, out=group_id[:u], mode="clip")
    elif alone:
        # Each particle its own group, named as a label would name it, from step to step: its
        # number from 1 (its id, where ids count from 1), not its row, which a sorted dump changes.
        group_id = np.zeros(u + t, np.int64)
        np.add(parent_id[:u], 1, out=group_id[:u])
    else:
        group_id = parent_of

    by_contacts = coordination is True
    forces = _contact_forces(step, contacts, contact_values, contact_force)
    lines, line_values, counts = _network(step, contacts, contact_kinds, contact_values, n, ids, parents, parent_of,
                                          u, by_contacts, pairs=by_contacts or forces is not None, forces=forces)
    unknown_contacts = counts.pop("unknown", 0)
    # Each contact between two placed particles: (first, second, their upscaled particles, its row).
    pairs = _placed(enabled if not every_particle else None, n, *counts.pop("pairs")) if "pairs" in counts else None
    # The vector of each placed contact, once for the stress and the fabric both.
    joined = _joined(positions, box, *pairs[:2]) if pairs is not None else None
    if forces is not None:
        physics_arrays["contact_stress"] = np.zeros((u + t, 6))
        if pairs is not None:
            physics_arrays["contact_stress"][:u] = _contact_stress(joined, *pairs[2:], forces, u) * \
                PRESSURE_VOLUME.get(units, 1.0)
    if coordination is not None and coordination is not False:
        if not by_contacts:
            counts = _neighbours(step, positions[:e], element[:e], box, coordination, u)
        else:
            counts["fabric"] = np.zeros((u, 6)) if pairs is None else _fabric(joined, *pairs[2:4], u)
        physics_arrays.update(_coordination(counts, np.bincount(element[:e], minlength=u), t))
    if not (np.isfinite(summed).all() and np.isfinite(centres).all()):
        # Finite masses and positions whose products or sums pass the doubles' range (1e308).
        step.fail("masses", f"the groups' masses or centres of mass overflow (masses up to {entry_masses.max():.3g}, "
                            f"positions up to {np.abs(positions).max():.3g}): give the masses in other units")
    lines, image_points, image_of = periodic.line_images(centres, lines, box)
    points = np.concatenate([centres, image_points]) if len(image_points) else centres
    point_image_of = np.full(len(points), -1, np.int64)
    point_image_of[len(centres):] = image_of

    mass_before, mass_after = float(entry_masses.sum()), float(summed.sum())
    drift = 0.0
    if mass_before > 0 and mass_after > 0:
        before = entry_masses @ positions / mass_before
        after = summed @ centres / mass_after
        drift = float(np.max(np.abs(after - before)))
    return Upscaled(
        source=source, index=index, timestep=timestep, n=n, e=e, u=u, t=t, box=box, units=units,
        wrapped=bool(wrapped),
        centres=centres, masses=summed, parent_id=parent_id, group_id=group_id, element=element,
        values=reduced, reductions=how_reduced, physics=physics_arrays,
        points=points, image_of=point_image_of, lines=lines, line_values=line_values,
        mass_before=mass_before, mass_after=mass_after, drift=drift, unknown_contacts=unknown_contacts,
        seconds=time.perf_counter() - started)


def _bond_pairs(step, bonds):
    bonds = np.asarray(bonds)
    if bonds.ndim != 2 or bonds.shape[1] != 2 or bonds.dtype.kind not in "iu":
        step.fail("bonds", f"shape {bonds.shape} of {bonds.dtype}, expected (B, 2) integer particle ids")
    return bonds


def _made_whole(step, positions, parents, enabled, element, u, box, named=None, bonded=None):
    """Enabled positions unwrapped about their parent's (trailing entries stay as they are); `named(k)`
    gives upscaled particle k's group in the caller's words. `bonded()`, each entry's bonded fragment
    and whole box edges along its bonds (`clustering.bonded_images`), makes a group wider than half
    the box that lies in one fragment whole along them instead."""
    e = len(enabled)
    entry_of = np.full(len(parents), -1, np.int64)
    entry_of[enabled] = np.arange(e)
    own = np.where(parents[enabled] >= 0, parents[enabled], enabled)
    anchor = entry_of[own]
    # A parent that is not enabled itself: the group's first entry stands in.
    missing = anchor < 0
    if missing.any():
        first = np.full(u, -1, np.int64)
        first[element[:e][::-1]] = np.arange(e)[::-1]
        anchor[missing] = first[element[:e][missing]]
    whole = np.empty_like(positions, dtype=np.float64, order="C")
    whole[e:] = positions[e:]
    wide = periodic.whole_groups(positions[:e], anchor, element[:e], u, box, whole[:e])
    if wide and bonded is not None:
        # A group no wider than half the box has all its members within half a box of its parent: the
        # nearest image is the one its bonds reach, so only the wide ones need the bonds walked.
        wide = _whole_along_bonds(positions, whole, anchor, element[:e], u, box, wide, *bonded())
    if wide:
        group, axis, span = wide[0]
        count = len({found[0] for found in wide})   # a group wide along two axes is one
        # With the bonds at hand, the group is no one bonded piece (several molecules, a type).
        remedy = "its members are not all bonded to one another, so only " if bonded is not None else \
            "give the bonds (a topology that has them before the trajectory: a LAMMPS data file, vireo20 " \
            "upscale system.data DUMP, or a TPR, PSF or PDB with CONECT records) or "
        step.fail("positions", f"upscaled particle {group}{named(group) if named else ''} spans {span:.3g} of "
                               f"the box along {axis} after unwrapping about its parent (more than half: its "
                               f"centre would be a guess; {count} such group{'s' if count != 1 else ''}); "
                               f"{remedy}unwrapped positions (a LAMMPS dump's xu yu zu, or image flags ix iy "
                               f"iz; a GSD or H5MD file's images){' can place it' if bonded is not None else ''}")
    return whole


def _whole_along_bonds(positions, whole, anchor, element, u, box, wide, fragment, shifts, spans):
    """Makes each of the `wide` groups whose members lie in one bonded fragment (`fragment`, `shifts`
    and `spans` as `clustering.bonded_images` gives them) whole along its bonds, in `whole`, by whole
    box edges relative to its parent's image; returns the wide groups left."""
    from . import _groups
    e = len(element)
    # A fragment that spans the box is whole nowhere: its members stand apart, each a key of its own.
    key = np.where(np.isin(fragment, spans), -1.0 - np.arange(e), fragment).astype(np.float64)
    low, high = np.full(u, np.inf), np.full(u, -np.inf)
    _groups.group_extents(np.ascontiguousarray(element, dtype=np.int32), key, low, high)
    along = np.zeros(u, bool)
    along[[group for group, _, _ in wide]] = True
    along &= low == high
    rows = np.flatnonzero(along[element])
    relative = shifts[rows] - shifts[anchor[rows]]
    whole[rows] = positions[rows]
    moved = relative.any(axis=1)
    whole[rows[moved]] += box.along_edges(relative[moved])
    return [found for found in wide if not along[found[0]]]


def _reduce(step, quill20, generator, name, data, how, entry_masses):
    from . import _physics
    if how in ("average", "mean"):
        # Every column in one walk over the groups' rows, the bits of WeightedAverage's column by column
        # (the mean's weights all 1: sum / count, as LAMMPS's fix ave/chunk), each member's mass read
        # beside its row where WeightedAverage gathers it through the enabled list for every column: a
        # 6-component value's average took six calls and 0.73 s at ten million entries (1.4 s with the
        # groups' entries scattered), this 0.04 s (0.2 s); a scalar's 0.065 s (0.18 s), this 0.024 s
        # (0.125 s).
        weights = entry_masses if how == "average" else None
        return _physics.group_average(generator, _real(data), weights)
    if how == "sum" and data.ndim == 2:
        # Every column in one walk over the groups' rows, the bits of Sum's column by column: a vector's
        # three strided copies and calls took 0.25 s at ten million entries (0.37 s with the groups'
        # entries scattered), this 0.03 s (0.115 s). force, tq and q are summed by default.
        return _physics.group_sum(generator, _real(data))
    if how == "any":
        if data.dtype.kind == "f":
            dtype = "float64"
        else:
            info = np.iinfo(np.int32)
            if data.size and (data.max() > info.max or data.min() < info.min):
                # The engine takes over int32 at most: the member it takes is found by its entry's
                # number, and the value (a tag of 64 bits, LAMMPS's i_name) taken whole from there.
                chosen = _reduce(step, quill20, generator, name, np.arange(len(data), dtype=np.int32), "any", None)
                return data[chosen]
            dtype = "int32"
        method = generator.TakeAny
    else:
        dtype, method = "float64", generator.Sum
    gf_class = quill20.grid_function_class(dtype)

    def one(column):
        column = np.ascontiguousarray(column, dtype=dtype)
        return method(gf_class(quill20.asarray(column), 1)).to_numpy()

    if data.ndim == 1:
        return one(data)
    return np.stack([one(data[:, k]) for k in range(data.shape[1])], axis=1)


def _real(data):
    """Values as the per-member passes take them: booleans as float64, as the engine's reductions."""
    return data if data.dtype.kind in "fiu" else data.astype(np.float64)


def _per_member(generator, data, how):
    """Each upscaled particle's "std", "var", "median" or "nunique" of its entries' values, component
    by component, as pandas's groupby std, var, median and nunique, in the engine's blocks over the
    cores. std: the sample standard deviation (n - 1 below, NaN values passed over; NaN for fewer than
    two) about the mean, in a second walk over each group's members (a sum of squares would lose the
    digits of a value large beside its spread); var: its square, before the root. median: the middle
    value, or the two middle ones' (a + b) / 2, NaN values passed over (NaN where none is left),
    selected in linear time (a lexsort of ten million took 4.5 s, pandas 2 s). nunique: the distinct
    values, NaN not counted, -0 and 0 one; integers beyond 2^53 told apart."""
    from . import _physics
    if how == "nunique":
        if data.dtype.kind in "iu" and data.size and (data.max() > 1 << 53 or data.min() < -(1 << 53)):
            # Their ranks, which doubles hold exactly: integers beyond 2^53 would merge as doubles.
            data = np.unique(data, return_inverse=True)[1].reshape(data.shape).astype(np.float64)
        # Counted in each group's sorted numbers: 0.23 s at ten million entries in a million groups, where
        # pandas's groupby nunique took 1.4 s.
        return _physics.group_distinct(generator, _real(data)).astype(np.int64)
    if how in ("std", "var"):
        return _physics.group_spread(generator, _real(data), variance=how == "var")
    return _physics.group_median(generator, _real(data))


def _dipole(quill20, generator, positions, centres, element, values):
    """LAMMPS's dipole/chunk about the centre of mass: sum q_i (x_i - R) over each group's charges
    (`q`, or MDAnalysis's `charge`), plus the members' point dipoles `mu`; None without either. The
    charges multiply positions relative to the centre, as LAMMPS's sum q_i x_i - Q R does not, so
    positions far from the origin lose no digits."""
    charges, dipoles = values.get("q", values.get("charge")), values.get("mu")
    charges = charges if charges is not None and charges.ndim == 1 and charges.dtype.kind == "f" else None
    dipoles = dipoles if dipoles is not None and dipoles.shape[1:] == (3,) and dipoles.dtype.kind == "f" else None
    if charges is None and dipoles is None:
        return None
    moments = np.zeros((len(positions), 3))
    if charges is not None:
        np.subtract(positions, np.take(centres, element, axis=0), out=moments)
        moments *= charges[:, None]
    if dipoles is not None:
        moments += dipoles
    sum_class = quill20.grid_function_class("float64")
    return np.stack([generator.Sum(sum_class(quill20.asarray(np.ascontiguousarray(moments[:, k])), 1)).to_numpy()
                     for k in range(3)], axis=1)


def _extreme(generator, data, how, element, count):
    """The lowest or highest value of each upscaled particle's entries, component by component, in
    one native walk over the groups' rows, over the cores (a pass a column through the entries took
    0.4 s for a vector at ten million entries, 0.9 s with the groups' entries scattered; this 0.085 s
    and 0.14 s). Integers (and booleans) come back as int64; beyond 2**53, where float64 would round
    them, NumPy's slower unbuffered fold takes them."""
    from . import _physics
    kind, columns = data.dtype.kind, data.reshape(len(data), int(np.prod(data.shape[1:], dtype=np.int64)))
    if kind == "f" or not data.size or (data.min() >= -2 ** 53 and data.max() <= 2 ** 53):
        found = (_physics.group_lowest if how == "min" else _physics.group_highest)(
            generator, _real(data if data.ndim == 1 else columns))
        return (found if kind == "f" else found.astype(np.int64)).reshape((count,) + data.shape[1:])
    element = np.ascontiguousarray(element, dtype=np.int32)
    out = np.empty((count, columns.shape[1]), np.int64)
    # Every upscaled particle has an entry, so the starting value never shows.
    limits = np.iinfo(np.int64)
    for k in range(columns.shape[1]):
        out[:, k] = limits.max if how == "min" else limits.min
        (np.minimum if how == "min" else np.maximum).at(out[:, k], element, columns[:, k].astype(np.int64))
    return out.reshape((count,) + data.shape[1:])


def _group_physics(generator, level, shape, positions, masses, entry_masses, values, velocity_averaged,
                   kinetic=False):
    """(the physics arrays of `level` (and `shape`), the centres, the mean velocity or None): one pass
    over each group's members finds its centre, then its moments about it, and (`velocity_averaged`)
    the velocities' mass-weighted average, each the bits of the engine's own reductions; `kinetic`
    adds, as `kinetic_stress`, sum m (v - V)(v - V)^T about the mean velocity."""
    from . import _physics as native
    velocities = values.get("velocity")
    forces = values.get("force")
    want = set(BASIC_PHYSICS if level == "basic" else ALL_PHYSICS)
    vector = lambda data: (np.ascontiguousarray(data, dtype=np.float64)
                           if data is not None and data.ndim == 2 and data.shape[1] == 3 else None)
    velocities = vector(velocities)
    found = native.group_moments(generator, None, positions, masses, velocities=velocities,
                                 forces=vector(forces), mean_velocity=velocity_averaged and velocities is not None,
                                 entry_masses=entry_masses, shape=shape, radii=radii(values) if shape else None,
                                 velocity_tensor=kinetic and velocities is not None)
    arrays = {name: found[name] for name in (BASIC_PHYSICS + ALL_PHYSICS) if name in found and name in want}
    if "velocity_tensor" in found:
        arrays["kinetic_stress"] = found["velocity_tensor"]
    if shape:
        arrays["gyration_shape"] = found["gyration_shape"]
        arrays["shape_parameter"] = _shape_parameter(found["gyration_shape"][:, :3])
        arrays["principal_axes"] = found["principal_axes"]
        arrays["long_axis"] = np.ascontiguousarray(arrays["principal_axes"][:, 6:])
        for name in ("bounding_radius", "bounding_box_lo", "bounding_box_hi"):
            arrays[name] = found[name]
    return arrays, found["centres"], found.get("mean_velocity")


def _end_to_end(positions, ids, enabled, element, u, t):
    """Each group's vector from its lowest-id member to its highest-id one, of positions made whole
    (a chain's end-to-end vector; 0 for a lone member). Both ends are found in one native pass over
    the entries: NumPy's group extremes, gathers and compares took 1.2 s at ten million entries in a
    million groups, this 0.06 s (0.3 s with the groups' entries scattered)."""
    from . import _groups
    low, high = np.empty(u, np.int64), np.empty(u, np.int64)
    _groups.group_id_ends(np.ascontiguousarray(element[:len(enabled)], dtype=np.int32), enabled,
                          None if ids is None else np.ascontiguousarray(ids, dtype=np.int64), low, high)
    vectors = np.zeros((u + t, 3))
    np.subtract(np.take(positions, high, axis=0), np.take(positions, low, axis=0), out=vectors[:u])
    return vectors


def _equivalent_radius(values, group_sum, dimension):
    """Each upscaled particle's `equivalent_radius`, the radius of the sphere of its members' volume
    (of the disc of their area in 2d), where the particles have radii."""
    r = radii(values)
    if r is None:
        return {}
    return {"equivalent_radius": np.cbrt(group_sum(r * r * r)) if dimension == 3 else np.sqrt(group_sum(r * r))}


def _shape_parameter(eigenvalues):
    """MDAnalysis's shape_parameter() of each group: 27 prod(l_i - mean l) / (sum l)^3 over the
    gyration tensor's eigenvalues, from -1/4 (a flat disc) through 0 (a sphere) to 2 (a rod); NaN for
    a group with no extent, as its anisotropy."""
    total = eigenvalues.sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        return 27.0 * (eigenvalues - (total / 3.0)[:, None]).prod(axis=1) / total ** 3


def _temperatures(step, velocities, entry_masses, mass, group_sum, arrays, style, dimension):
    """LAMMPS's temp/chunk temperatures: sum m v.v * mvv2e / (dimension count boltz), with v the
    velocities (`temperature`) or those about the mean velocity (`internal_temperature`, from the
    kinetic energy the physics' pass found); its kecom, 1/2 mvv2e M V.V with V the mean velocity
    by mass (`com_kinetic_energy`); ke/atom summed over the group (`kinetic_energy`); and the
    granular temperature sum m |v - V|^2 / (dimension M) (`granular_temperature`)."""
    if velocities is None or velocities.ndim != 2 or velocities.shape[1] != 3:
        step.fail("velocity", "the temperature needs each particle's velocity (vx vy vz)")
    mvv2e, boltz = style
    v = np.asarray(velocities, np.float64)
    count = np.asarray(arrays["count"], np.float64)
    speeds = _dot(v)
    squared = speeds * entry_masses
    # No degree of freedom, no temperature: 0, as LAMMPS gives.
    factor = np.divide(mvv2e, float(dimension) * count * boltz, out=np.zeros(len(count)), where=count > 0)
    # The mean velocity from the momenta (`mass` is each group's), as LAMMPS's vcm, whichever way the
    # velocity is reduced.
    x, y, z = (np.divide(group_sum(v[:, k] * entry_masses), mass, out=np.zeros(len(mass)), where=mass > 0)
               for k in range(3))
    return {"temperature": group_sum(squared) * factor,
            "internal_temperature": 2.0 * arrays["internal_kinetic_energy"] * factor,
            # DEM's granular temperature, in velocity units squared: no Boltzmann constant, by mass.
            "granular_temperature": 2.0 * arrays["internal_kinetic_energy"] / (float(dimension) * mass),
            "com_kinetic_energy": 0.5 * mvv2e * mass * (x * x + y * y + z * z),
            # ke/atom's terms, each the bits LAMMPS gives it.
            "kinetic_energy": group_sum(0.5 * mvv2e * entry_masses * speeds)}


def _dot(v):
    return v[:, 0] * v[:, 0] + v[:, 1] * v[:, 1] + v[:, 2] * v[:, 2]


def _rotational_energy(values, entry_masses, mvv2e, group_sum):
    """{"rotational_energy": LAMMPS's erotate/sphere/atom summed over each group, 1/2 mvv2e I w.w with
    I = 2/5 m r^2 (a solid sphere, as LAMMPS takes every finite-size particle)}, where the values hold
    `omega` and `radius` (or `diameter`); else nothing."""
    omega, r = values.get("omega"), radii(values)
    if omega is None or r is None or omega.ndim != 2 or omega.shape[1] != 3:
        return {}
    spin = _dot(np.asarray(omega, np.float64)) * r * r * entry_masses
    spin *= 0.5 * mvv2e * 0.4
    return {"rotational_energy": group_sum(spin)}


# An id that no particle of the step has, in the contacts' table of ids.
NO_PARTICLE = -2


def _network(step, contacts, kinds, contact_values, n, ids, parents, parent_of, u, coordination=False, pairs=False,
              forces=None):
    """Contacts between different upscaled particles as one line per pair: (lines (L, 2), arrays (with
    `forces`, the force on each contact's first particle, also `contact_force`: the net force on each
    line's first upscaled particle from its second, each pair's turned to act on it), and
    counts: under "unknown" the contacts naming an id of no particle; with `coordination` each upscaled
    particle's counts of contacts inside, outside and with walls; with `pairs`, under "pairs" the
    particle contacts of known particles: their two particles, their upscaled particles and their
    rows)."""
    if coordination and contacts is None:
        step.fail("contacts", "the coordination numbers need the contacts (a dump local: --contacts)")
    empty = np.zeros((0, 2), np.int64), {"contacts": np.zeros(0, np.int64),
                                         **({"contact_force": np.zeros((0, 3))} if forces is not None else {})}, \
        _contact_counts(*[np.zeros(u, np.int64)] * 3)
    if contacts is None or not len(contacts):
        return empty
    contacts = np.asarray(contacts)
    if contacts.ndim != 2 or contacts.shape[1] != 2:
        step.fail("contacts", f"shape {contacts.shape}, expected (C, 2) id pairs")
    c = len(contacts)
    first = whole_numbers(step, "contacts", contacts[:, 0])
    second = whole_numbers(step, "contacts", contacts[:, 1])
    kinds = np.zeros(c, np.int64) if kinds is None else whole_numbers(step, "contact_kinds", kinds)
    if len(kinds) != c:
        step.fail("contact_kinds", f"length {len(kinds)}, expected {c} (one per contact)")
    contact_values = dict(contact_values or {})
    for name, data in contact_values.items():
        data = np.asarray(data)
        if len(data) != c or data.ndim not in (1, 2) or data.dtype.kind not in "biuf":
            step.fail(name, f"shape {data.shape} of {data.dtype}, expected ({c},) or ({c}, k) numbers: "
                            "one row per contact")
        contact_values[name] = data
    particle = kinds == 0
    # Each particle's upscaled particle by row, then by id: one native walk over the contacts finds both
    # ends', the counts and the lines (0.25 s at two million contacts, where NumPy's dozen passes and a
    # hash table of the lines took 0.9-1.2 s with the sums below).
    upscaled_of = np.full(n + 1, -1, np.int32)
    upscaled_of[parent_of[:u]] = np.arange(u, dtype=np.int32)
    rows = np.arange(n)
    up_of_row = upscaled_of[np.where(parents[:n] >= 0, parents[:n], rows)]
    # Ids to particle indexes; an id of no particle of the step ends no line.
    sparse = False
    if ids is None:
        def source(id_):
            return np.where((id_ >= 0) & (id_ < n), id_, -1)
        ends_low, ends = 0, up_of_row
    else:
        low, high = (int(ids.min()), int(ids.max())) if n else (0, -1)
        if high - low < 4 * n + 1024:
            # Ids of a step are mostly dense: a table by id, sized by the particles.
            table = np.full(high - low + 1, -1, np.int64)
            table[ids - low] = rows

            def source(id_):
                inside = (id_ >= low) & (id_ <= high)
                return np.where(inside, table[np.where(inside, id_ - low, 0)], -1)
            ends_low, ends = low, np.where(table >= 0, up_of_row[np.maximum(table, 0)], NO_PARTICLE).astype(np.int32)
        else:
            order = np.argsort(ids, kind="stable")
            sorted_ids = ids[order]

            def source(id_):
                where = np.minimum(np.searchsorted(sorted_ids, id_), n - 1)
                return np.where(sorted_ids[where] == id_, order[where], -1)
            # Rows in the walk's place of ids: a row of -1 lies outside the table, no particle.
            sparse, ends_low, ends = True, 0, up_of_row
    sources = (source(first), source(second)) if pairs or sparse else None
    from . import _groups
    a, b, kept, line, line_first = (np.empty(c, dtype) for dtype in (np.int64, np.int64, np.int64, np.int32, np.int64))
    inside, outside, wall = (np.zeros(u, np.int64) for _ in range(3)) if coordination else (None,) * 3
    ends_of = [np.ascontiguousarray(end, np.int64) for end in (sources if sparse else (first, second))]
    unknown, kept_count, count = _groups.contact_lines(*ends_of, np.ascontiguousarray(kinds),
                                              np.ascontiguousarray(ends), ends_low, u, a, b, kept, line, line_first,
                                              inside, outside, wall)
    counts = dict(_contact_counts(inside, outside, wall) if coordination else empty[2], unknown=unknown)
    if pairs:
        both = np.flatnonzero(particle & (a >= 0) & (b >= 0))
        counts["pairs"] = sources[0][both], sources[1][both], a[both], b[both], both
    if not kept_count:
        return empty[0], {**empty[1], **{name: np.zeros((0,) + np.asarray(v).shape[1:])
                                         for name, v in contact_values.items()}}, counts
    keep, line = kept[:kept_count], line[:kept_count]
    low, high = np.minimum(a[keep], b[keep]), np.maximum(a[keep], b[keep])
    first_seen = line_first[:count]
    lines = np.stack([low[first_seen], high[first_seen]], axis=1)
    arrays = {"contacts": np.bincount(line, minlength=count).astype(np.int64)}

    def summed(data, sign=None):
        # Every column's sums by line in one native walk, each the bits of bincount(line, weights).
        data = np.ascontiguousarray(data, dtype=np.float64)
        width = int(np.prod(data.shape[1:], dtype=np.int64))
        out = np.empty((count,) + data.shape[1:])
        if width:
            _groups.sum_rows_by_line(data.reshape(-1), width, keep, line, sign, out.reshape(-1))
        return out

    for name, data in contact_values.items():
        arrays[name] = summed(data)
    if forces is not None:
        # A pair lists either of its particles first, and its force acts on that one: summed as listed,
        # the pairs of one line listed either way round would cancel.
        arrays["contact_force"] = summed(forces, np.where(a[keep] == low, 1.0, -1.0))
    return lines, arrays, counts


def _neighbours(step, positions, element, box, cutoff, u):
    """The neighbour counts of each upscaled particle within `cutoff` (as `_network` gives the contacts'),
    by the native search."""
    from .clustering import neighbour_counts
    try:
        neighbours, inner = neighbour_counts(positions, element, box, cutoff)
    except ValueError as error:
        step.fail("positions", str(error))
    total = np.bincount(element, weights=neighbours, minlength=u).astype(np.int64)
    inner = np.bincount(element, weights=inner, minlength=u).astype(np.int64)
    # Each pair of members is met at both ends.
    return {"total": total, "inner_contacts": inner // 2, "outer_contacts": total - inner}


def _placed(enabled, n, first, second, first_group, second_group, rows):
    """The contacts (particle indexes, upscaled particles, rows) whose two particles have positions,
    the particles as entries of the step."""
    if enabled is None:
        return first, second, first_group, second_group, rows
    # A particle the step does not enable has no position: its contacts give no direction.
    entry = np.full(n, -1, np.int64)
    entry[enabled] = np.arange(len(enabled))
    first, second = entry[first], entry[second]
    placed = (first >= 0) & (second >= 0)
    return first[placed], second[placed], first_group[placed], second_group[placed], rows[placed]


def _joined(positions, box, first, second):
    """The vectors from each first particle to the nearest image of its second."""
    joined = positions[second] - positions[first]
    return box.minimum_image(joined) if box is not None and box.any_periodic else joined


def _fabric(joined, first_group, second_group, u):
    """Each upscaled particle's fabric tensor (xx yy zz xy xz yz) of the contacts of its members,
    each contact once at each of its ends: 15/2 of the deviator of the mean of n n^T over them, n the
    unit vector from one end to the nearest image of the other, as LAMMPS's compute fabric gives the
    contact tensor of all the contacts; zeros for a particle with none. `joined`: each contact's vector
    from its first particle to the nearest image of its second."""
    length = np.sqrt(np.einsum("ij,ij->i", joined, joined))
    # Particles at one spot have no direction between them.
    apart = length > 0
    normal = joined[apart] / length[apart, None]
    ends = first_group[apart], second_group[apart]
    counted = _at_both_ends(*ends, None, u)
    summed = _tensor_at_both_ends(*ends, normal, normal, 1.0, u)
    mean = np.divide(summed, counted[:, None], out=np.zeros((u, 6)), where=counted[:, None] > 0)
    mean[:, :3] -= mean[:, :3].sum(axis=1, keepdims=True) / 3.0
    return 7.5 * mean


def _contact_forces(step, contacts, contact_values, contact_force):
    """The (C, 3) force on each contact's first particle that `contact_force` names (see `upscale`), or
    None."""
    if contact_force is None:
        return None
    if contacts is None:
        step.fail("contacts", "the contact stress needs the contacts (a dump local: --contacts) and their forces")
    names = [contact_force] if isinstance(contact_force, str) else list(contact_force)
    given = dict(contact_values or {})
    if not len(contacts) and not given:
        # A step without contacts (a pour's first) may have no values either.
        return np.zeros((0, 3))
    for name in names:
        # A component of a vector the reader joined (c_pf[2] of c_pf[1] ... c_pf[4]: dist fx fy fz;
        # ftx of ftx fty ftz, fx of the force).
        joined = re.fullmatch(r"(.+)\[(\d+)\]", name)
        vector, at = (joined.group(1), int(joined.group(2)) - 1) if joined else \
            (triplet_of(name) or name[:-1], "xyz".find(name[-1]) if name else -1)
        whole = given.get(vector) if name not in given and at >= 0 else None
        if whole is not None and np.ndim(whole) == 2 and at < np.shape(whole)[1]:
            given[name] = np.asarray(whole)[:, at]
    missing = [name for name in names if name not in given]
    if len(names) not in (1, 3) or missing:
        has = ", ".join(contact_values or {}) or "none"
        step.fail(missing[0] if missing else "contact_force",
                  f"the contact force is one contact value of 3 components or 3 of one, named among the contacts' "
                  f"values (they have: {has})")
    parts = [np.asarray(given[name]) for name in names]
    forces = parts[0] if len(parts) == 1 else np.stack(parts, axis=1) if all(p.ndim == 1 for p in parts) else None
    if forces is None or forces.ndim != 2 or forces.shape[1] != 3 or forces.dtype.kind not in "biuf":
        step.fail(names[0], "the contact force is a vector: one value of 3 components, or 3 values of one")
    forces = np.asarray(forces, np.float64)
    check_finite(step, names[0], forces)
    return forces


def _contact_stress(joined, first_group, second_group, rows, forces, u):
    """Each upscaled particle's -sum w r f^T (xx yy zz xy xz yz) over its members' contacts (see
    `upscale`): half of each contact at each of its ends, as LAMMPS tallies a pair's virial. `joined`:
    as `_fabric` takes it."""
    # -w r f with r from the second particle to the first (-joined): + joined f / 2 at each end.
    return _tensor_at_both_ends(first_group, second_group, joined, forces[rows], 0.5, u)


def _tensor_at_both_ends(first_group, second_group, a, b, scale, u):
    """Each upscaled particle's sums of scale a_i b_j (xx yy zz xy xz yz, as LAMMPS orders a per-atom
    stress) over the contacts it is an end of: `_at_both_ends` of each component, its bits, in one native walk over the contacts."""
    from . import _groups
    summed = np.empty((u, 6))
    flat = lambda rows: np.ascontiguousarray(rows, dtype=np.float64).reshape(-1)
    _groups.contact_end_tensors(np.ascontiguousarray(first_group, dtype=np.int64),
                                np.ascontiguousarray(second_group, dtype=np.int64), flat(a), flat(b), scale,
                                summed.reshape(-1))
    return summed


def _at_both_ends(first_group, second_group, weights, u):
    """Each upscaled particle's sum of `weights` (or count, for None) over the contacts it is an end
    of, a contact of two of its members twice. Taken a tensor's component at a time, at tens of
    millions of contacts: a (C, 6) array, or the ends' list doubled, would cost gigabytes."""
    return np.bincount(first_group, weights, minlength=u) + np.bincount(second_group, weights, minlength=u)


def _contact_counts(inner, outer, wall):
    return {"total": 2 * inner + outer, "inner_contacts": inner, "outer_contacts": outer, "wall_contacts": wall}


def _coordination(counts, members, trailing):
    """The coordination arrays of U upscaled particles, then zeros for the trailing entries: the mean
    contacts (or neighbours) a member, an exact sum of whole numbers over the count as the mean of
    LAMMPS's contact/atom (or coord/atom) is, and the counts."""
    padded = lambda c: np.concatenate([c, np.zeros((trailing,) + c.shape[1:], c.dtype)])
    members = np.concatenate([members, np.ones(trailing, np.int64)])
    return {"coordination": padded(counts.pop("total")) / members,
            **{name: padded(c) for name, c in counts.items()}}