"""From a frame's columns to the arguments of `vireo20.upscale`: which column names the groups, where
the masses come from, which columns are values, and the checks that refuse impossible values by step
and array before anything is computed or written.
"""
import math
import re

import numpy as np

INT32_MAX = np.iinfo(np.int32).max
# Names of the arrays an upscaled step carries itself: a value array may not take them (the job keeps
# an input's column by one of them as NAME_input).
RESERVED = ("mass", "parent_id", "group_id", "image_of", "count", "radius_of_gyration",
            "gyration_tensor", "gyration_shape", "shape_parameter", "principal_axes", "long_axis", "end_to_end",
            "inertia", "angular_momentum", "angular_velocity", "torque", "bounding_radius", "bounding_box_lo",
            "bounding_box_hi", "equivalent_radius",
            "internal_kinetic_energy", "temperature", "internal_temperature", "granular_temperature",
            "com_kinetic_energy", "kinetic_energy", "rotational_energy", "dipole", "displacement", "msd", "vacf",
            "number_density", "mass_density", "volume_fraction", "bin_x", "bin_y", "bin_z", "bin_r",
            "centre_of_geometry", "coordination", "inner_contacts", "outer_contacts", "wall_contacts", "fabric",
            "contact_stress", "kinetic_stress", "bin_stress", "spans_box")
# Columns that describe the particle itself, not a value to reduce.
NOT_VALUES = ("id",)
# Values that add up over a group rather than average: forces, torques and charges (an upscaled
# particle's charge is its members' net charge, as its mass is their total).
SUMMED_BY_DEFAULT = ("force", "tq", "q", "charge")


def type_list(types, option):
    """Types as the user names them: numbers, or type labels (LAMMPS's, elements)."""
    kinds = tuple(int(kind) if isinstance(kind, (int, np.integer)) or re.fullmatch(r"[-+]?\d+", str(kind).strip())
                  else str(kind).strip() for kind in types)
    if not kinds:
        raise ValueError(f"{option} names at least one type")
    return kinds


def type_column(columns, types):
    """The column that `types` (`type_list`'s) name values of: `type` for numbers; for labels, the
    first of `type`, `typelabel` and `element` that holds labels (CFG and XYZ files have elements)."""
    labels = next((columns[name] for name in ("type", "typelabel", "element")
                   if name in columns and np.asarray(columns[name]).dtype.kind == "S"), None)
    if any(isinstance(kind, str) for kind in types):
        return labels if labels is not None else columns.get("type")
    # Numbers of a step that has labels alone are refused as such.
    return columns.get("type", labels)


def of_types(column, types, option):
    """Which rows of a type column (numbers, or labels) are of `types` (`type_list`'s)."""
    if column is None:
        raise ValueError(f"{option} needs a type column")
    column = np.asarray(column)
    if not len(column):
        return np.zeros(0, bool)   # a step of no particles, whose empty column may hold either
    labelled = column.dtype.kind == "S"
    wanted = [kind.encode() if labelled else kind for kind in types if labelled == isinstance(kind, str)]
    if len(wanted) != len(types):
        raise ValueError(f"{option} {' '.join(map(str, types))}: the type column holds "
                         f"{'labels' if labelled else 'numbers'}")
    return np.isin(column, wanted)


class MassRule:
    """Where a particle's mass comes from: a `mass` column; or one mass per atom type
    (`--mass TYPE=VALUE`); or solid spheres of `radius` (or `diameter`) and `density`, the density a
    column or given (`--density VALUE` for every type, or `--density TYPE=VALUE`: DEM dumps often
    carry the radius alone)."""

    def __init__(self, per_type=None, density=None):
        """`per_type`: {type: mass}; `density`: {type: density}, or a number for every type."""
        self.per_type = dict(per_type or {})
        self.density = density if isinstance(density, (int, float)) or density is None else dict(density)
        given = [("mass", f"type {k}", v) for k, v in self.per_type.items()]
        if isinstance(self.density, dict):
            given += [("density", f"type {k}", v) for k, v in self.density.items()]
        elif self.density is not None:
            given.append(("density", "every type", self.density))
        for what, kind, value in given:
            if isinstance(value, bool) or not (isinstance(value, (int, float)) and math.isfinite(value) and value > 0):
                raise ValueError(f"the {what} of {kind} must be a positive number, not {value!r}")
        if self.per_type and density is not None:
            raise ValueError("give masses by type (--mass) or densities (--density), not both")

    @classmethod
    def parse(cls, texts, densities=None):
        """From `TYPE=VALUE` texts, as the command line gives them (`densities`: also a lone VALUE, for
        every type)."""
        per_type = cls._parse_by_type("--mass", texts, "mass")
        density = None
        if densities:
            lone = [text for text in densities if "=" not in text]
            if lone and len(densities) == 1:
                try:
                    density = float(lone[0])
                except ValueError:
                    density = math.nan
                if not (math.isfinite(density) and density > 0):
                    raise ValueError(f"--density takes a positive VALUE, or TYPE=VALUE, not {lone[0]!r}")
            elif lone:
                raise ValueError(f"--density takes one VALUE for every type, or TYPE=VALUE for each, not {lone[0]!r} "
                                 "among others")
            else:
                density = cls._parse_by_type("--density", densities, "density")
        return cls(per_type, density)

    @staticmethod
    def _parse_by_type(option, texts, what):
        """{type: value}: a type is a number, or a label (LAMMPS's type labels) where it is none."""
        found = {}
        for text in texts or ():
            kind, sep, value = text.partition("=")
            kind = kind.strip()
            try:
                value = float(value)
            except ValueError:
                raise ValueError(f"{option} takes TYPE=VALUE with a type (a number or a label) and a number, "
                                 f"not {text!r}") from None
            if not sep or not kind or not (math.isfinite(value) and value > 0):
                raise ValueError(f"{option} takes TYPE=VALUE with a positive {what}, not {text!r}")
            kind = int(kind) if re.fullmatch(r"[-+]?\d+", kind) else kind
            if kind in found:
                raise ValueError(f"{option} gives type {kind} twice")
            found[kind] = value
        return found

    def masses(self, frame, columns):
        """Masses (E,) and the names of the columns they used."""
        if self.per_type:
            # Asked for, the masses by type replace a mass column.
            return _by_type(frame, columns, self.per_type, "mass", "--mass"), ("mass",) if "mass" in columns else ()
        radius = radii(columns) is not None
        if self.density is not None:
            if not radius:
                frame.fail("radius", "missing column: --density needs a radius or diameter column "
                                     f"(the columns are: {' '.join(columns)})")
            density = self.density if not isinstance(self.density, dict) else \
                _by_type(frame, columns, self.density, "density", "--density")
            return _sphere_masses(columns, density), ("mass",) if "mass" in columns else ()
        if "mass" in columns:
            return columns["mass"], ("mass",)
        if radius and "density" in columns:
            return _sphere_masses(columns, np.asarray(columns["density"], dtype=np.float64)), ()
        if getattr(columns.get("element"), "dtype", np.dtype(float)).kind == "S":
            # Each element's standard mass, as ASE, OVITO and MDAnalysis give an extended XYZ its masses;
            # told, as a coarse-grained model's beads named as elements would be wrong.
            note = "has no masses: its elements' standard masses are taken (MDAnalysis's table; --mass ELEMENT=VALUE " \
                   "gives others)"
            frame.notes += (note,) if note not in frame.notes else ()
            return _by_label(frame, "element", columns["element"], {}, "mass", "--mass"), ()
        frame.fail("mass", "missing column: no masses (give a mass column, or radius (or diameter) and "
                           "density columns, or --mass TYPE=VALUE for every atom type, or --density with a "
                           "radius column, or, for a LAMMPS dump, the data file before it: vireo20 upscale "
                           f"system.data DUMP; the columns are: {' '.join(columns) or 'none'})")


def _sphere_masses(columns, density):
    r = radii(columns)
    return (4.0 / 3.0 * math.pi) * r ** 3 * density


def radii(values):
    """Each particle's radius: a `radius` column, or half a `diameter` one (float64); None without
    either, or where it is not one number a particle."""
    if values.get("radius") is not None:
        r = np.asarray(values["radius"], np.float64)
    elif values.get("diameter") is not None:
        r = 0.5 * np.asarray(values["diameter"], np.float64)
    else:
        return None
    return r if r.ndim == 1 else None


def _by_type(frame, columns, given, what, option):
    """Each particle's value of `given` ({type: value}) by its type column (numbers, or labels), or
    by its element where labels are given and the types are numbers or absent."""
    labelled = any(isinstance(kind, str) for kind in given)
    name = next((name for name in ("type", "typelabel", "element")
                 if name in columns and (not labelled or columns[name].dtype.kind == "S")), None)
    if name is None:
        frame.fail("type", f"missing column: {option} TYPE=VALUE needs a type column"
                           f"{', or an element column for element names' if labelled else ''} "
                           f"(the columns are: {' '.join(columns)})")
    if columns[name].dtype.kind == "S":
        return _by_label(frame, name, columns[name], given, what, option)
    types = whole_numbers(frame, "type", columns["type"])
    table_types = np.array(sorted(given), dtype=np.int64)
    low, high = (int(types.min()), int(types.max())) if len(types) else (0, -1)
    if high - low < 1 << 16:
        # Types span a few values: a table by type is one gather, where a binary search an atom took
        # 14 ms a million atoms against 2.4 ms. NaN marks a type without a value.
        table = np.full(high - low + 1, np.nan)
        for kind, value in given.items():
            if low <= kind <= high:
                table[kind - low] = value
        values = table[types - low]
        unknown = np.flatnonzero(np.isnan(values)) if np.isnan(table).any() else ()
    else:
        where = np.minimum(np.searchsorted(table_types, types), len(table_types) - 1)
        unknown = np.flatnonzero(table_types[where] != types)
        values = np.array([given[k] for k in table_types], dtype=np.float64)[where]
    if len(unknown):
        frame.fail("type", f"atom type {types[unknown[0]]} on row {unknown[0] + 1} has no {what} "
                           f"({option} gives types {', '.join(map(str, table_types))})")
    return values


def _by_label(frame, name, labels, given, what, option):
    """Each particle's value of `given` by its label in column `name` ({label or number: value})."""
    named = {str(kind): value for kind, value in given.items()}
    # One look-up per label the step has, then one gather.
    found, inverse = np.unique(labels, return_inverse=True)
    table = np.array([named.get(label.decode(errors="replace"), math.nan) for label in found], dtype=np.float64)
    if name == "element" and what == "mass" and np.isnan(table).any():
        # Elements not given take the table's masses, as they do where none is given.
        from .reading import element_masses
        table = np.where(np.isnan(table), element_masses(found), table)
    values = table[inverse]
    if np.isnan(table).any():
        bad = int(np.argmax(np.isnan(values)))
        known = f"{option} gives {', '.join(named)}" if named else \
            f"nor has MDAnalysis's table of elements one: {option} ELEMENT=VALUE gives it"
        frame.fail(name, f"atom {'type' if name != 'element' else 'element'} "
                         f"{labels[bad].decode(errors='replace')!r} on row {bad + 1} has no {what} ({known})")
    return values


def plain_array(values):
    """NumPy's array of a pandas nullable column (Int64, Float64, boolean), which np.asarray makes an
    array of objects: integers where none is missing, else float64 with NaN for the missing; anything
    else as it is."""
    dtype = getattr(values, "dtype", None)
    if dtype is None or isinstance(dtype, np.dtype) or not hasattr(values, "to_numpy"):
        return values
    kind = getattr(dtype, "kind", "O")
    if kind in "iub" and not values.isna().any():
        return values.to_numpy(dtype=bool if kind == "b" else np.int64)
    if kind in "iubf":
        return values.to_numpy(dtype=np.float64, na_value=np.nan)
    return values


def beyond_int64(frame, name, values):
    """Refuses unsigned 64-bit values above int64's range, which the engine's integers cannot hold."""
    # Compared as uint64: NumPy compares a uint64 array with a Python int as floats, rounding 2^63 - 1 up.
    top = np.uint64(np.iinfo(np.int64).max)
    if values.dtype == np.uint64 and values.size and values.max() > top:
        bad = int(np.argmax((values > top).reshape(len(values), -1).any(axis=1)))
        frame.fail(name, f"value {values[bad].tolist()} on row {bad + 1} is too large (above 2^63 - 1)")


def whole_numbers(frame, name, values):
    """A column as int64, refusing values that are not whole numbers."""
    values = np.asarray(plain_array(values))
    if values.ndim != 1:
        frame.fail(name, f"expected one number per particle, got shape {values.shape}")
    if values.dtype.kind in "iu":
        beyond_int64(frame, name, values)
        return values.astype(np.int64, copy=False)
    if values.dtype.kind == "b":
        return values.astype(np.int64)
    if values.dtype.kind != "f":
        frame.fail(name, f"values of type {values.dtype} are not integers")
    with np.errstate(invalid="ignore"):
        whole = np.isfinite(values) & (values == np.round(values)) & (np.abs(values) < 2.0 ** 63)
    if not whole.all():
        bad = int(np.argmin(whole))
        frame.fail(name, f"value {values[bad]!r} on row {bad + 1} is not an integer")
    return values.astype(np.int64)


def check_finite(frame, name, values, positive=False):
    """Refuses the first value that is not a finite number (or not above zero)."""
    values = np.asarray(values)
    if values.dtype.kind not in "biuf":
        frame.fail(name, f"values of type {values.dtype} are not numbers")
    if not values.ndim or not values.size:
        return
    # One native pass over the cores, without NumPy's temporaries: a row is everything after its index.
    from . import _groups
    values = np.ascontiguousarray(values, dtype=np.float64)
    bad = _groups.first_bad_row(values.reshape(-1), values.size // len(values), positive)
    if bad >= 0:
        shown = values[bad].tolist()
        what = "a positive finite number" if positive else "a finite number"
        frame.fail(name, f"value {shown!r} on row {bad + 1} is not {what}")


def check_ids(frame, ids, name="id", low=0, high=INT32_MAX):
    """Ids as int64 in low..high and without repeats; refused before anything is sized by them."""
    ids = whole_numbers(frame, name, ids)
    if len(ids):
        lo, hi = int(ids.min()), int(ids.max())
        if lo < low or hi > high:
            bad = int(np.argmax((ids < low) | (ids > high)))
            frame.fail(name, f"id {ids[bad]} on row {bad + 1} is outside {low}..{high}")
        from . import _groups
        repeated = _groups.first_repeat(np.ascontiguousarray(ids))
        if repeated >= 0:
            frame.fail(name, f"id {ids[repeated]} appears more than once in the step (rows "
                             f"{int(np.argmax(ids == ids[repeated])) + 1} and {repeated + 1})")
    return ids


RENAMED = "_input"


def kept_apart(arguments, reductions, added=()):
    """Input values named as an array the job computes (a DEM run's particle `temperature`, the
    `count` of a dump the job wrote) renamed NAME_input, with their reductions: (the reductions, the
    names changed as (old, new) pairs). So are those named as values the job `added` to the step,
    whose reductions stay theirs."""
    values = arguments.get("values") or {}
    clashing = [name for name in values if name in RESERVED or name in added]
    if not clashing:
        return reductions, []
    changed = []
    for name in clashing:
        new = name + RENAMED
        while new in values or new in added:
            new += RENAMED
        changed.append((name, new))
    renames = dict(changed)
    arguments["values"] = {renames.get(name, name): data for name, data in values.items()}
    if reductions:
        reductions = {(name if name in added else renames.get(name, name)): how for name, how in reductions.items()}
    return reductions, changed


# Quantities that are real numbers whatever their column's type (a CSV's velocities of whole numbers,
# at rest): reduced as such, as the physics arrays of them are.
PHYSICAL = SUMMED_BY_DEFAULT + ("velocity", "omega", "angmom", "mu")


def default_reduction(name, values):
    """Floating-point values are mass-weighted averages (forces, torques and charges add up); integer
    ones (labels, types) take any member's value, but for the physical quantities."""
    if np.asarray(values).dtype.kind != "f" and name not in PHYSICAL:
        return "any"
    return "sum" if name in SUMMED_BY_DEFAULT else "average"


def upscale_arguments(frame, group_by=None, mass_rule=None, physics="all"):
    """The keyword arguments of `vireo20.upscale` for a frame, every input checked."""
    arguments = dict(positions=frame.positions, box=frame.box, wrapped=frame.wrapped, physics=physics,
                     **({"units": frame.units} if getattr(frame, "units", None) else {}),
                     contacts=frame.contacts, contact_kinds=frame.contact_kinds,
                     contact_values=frame.contact_values, timestep=frame.timestep, source=frame.source,
                     bonds=frame.bonds)
    columns = dict(frame.columns)
    if frame.generator_form:
        if group_by is not None:
            frame.fail(group_by, "--group-by needs particle columns; this input gives parents instead")
        arguments.update(parents=frame.parents, masses=frame.masses, enabled=frame.enabled,
                         trailing_masses=frame.trailing_masses, values=columns)
        return arguments
    count = len(frame.positions)
    for name, values in columns.items():
        if len(values) != count:
            frame.fail(name, f"{len(values)} rows where the step has {count} particles")
    group = group_by or frame.default_group
    if group_by is not None and group not in columns:
        frame.fail(group, f"missing column: --group-by {group} names no column (the columns are: "
                          f"{' '.join(columns) or 'none'})")
    # The ids name the particles even where they are the groups too (--group-by id).
    ids = columns.get("id")
    # Masses first: the types may be the groups too (--group-by type --mass 1=1.0).
    masses, used = (mass_rule or MassRule()).masses(frame, columns)
    # Types that are the groups stay a value too: each upscaled particle is of its group's type (a
    # dump of them read back by LAMMPS keeps the types).
    if group in columns and columns[group].dtype.kind == "S":
        distinct = np.unique(columns[group])
        shown = ", ".join(label.decode(errors="replace") for label in distinct[:4]) + \
            (", ..." if len(distinct) > 4 else "")
        frame.fail(group, f"--group-by {group}: the column holds labels ({shown}), "
                          "and groups are numbered: " + (
                              "give the LAMMPS data file before the dump, whose Atom Type Labels number the types "
                              "(vireo20 upscale system.data DUMP)" if group == "type" else "group by a column of "
                              "numbers (type)"))
    groups = whole_numbers(frame, group, columns[group] if group == "type" else columns.pop(group)) \
        if group in columns else None
    for name in used:
        columns.pop(name, None)
    columns.pop("id", None)
    # Type labels name the masses; they are no value to reduce.
    columns = {name: values for name, values in columns.items() if values.dtype.kind != "S"}
    arguments.update(groups=groups, masses=masses, ids=ids, first_id=getattr(frame, "first_id", 1),
                     values=columns)
    return arguments
