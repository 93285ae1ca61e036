"""Input from an H5MD file (HDF5 for molecular data, read with h5py, Debian's python3-h5py).

One particle group is read: `particles/<group>` (option `particles_group`; needed only when the file
has several). Its frames are the rows of `position/value`, the timestep of each its `step` (explicit,
or a scalar increment with its `offset`), its time `time` where given (the job's series then takes
it as ParaView's time); a time-independent `position` is one frame at step 0.

Positions are unwrapped with `image` where the file has it (position + image x edges), else taken as
wrapped in the periodic directions. The box: `box/edges` (a vector: a cuboid; a matrix: its rows are
the edge vectors, right-handed, in any orientation), fixed or time-dependent (the
sample at or before the frame's step), `boundary` "periodic" or "none" per direction, origin at 0
(H5MD gives none); two-dimensional files get z = 0 in a non-periodic z 1 long, and their velocities
and forces a z component of 0.

Columns: `id` (the `id` element; rows whose id is the dataset's fill value are no particle, which
is how a file changes its particle count; without `id`, the row's index + 1), and every other
element of the group under its own name: `velocity`, `force`, `mass`, `species`, `charge`, and any
per-particle dataset such as `molecule`. Groups default to the first of `molecule`, `mol` and `body`
the group has (`--group-by` names another dataset).
Each element is time-independent (a dataset) or time-dependent (`value` with `step`): a
time-dependent element not sampled at a frame's step is absent from that frame.
"""
import numpy as np

from .frames import Box, InputError
from .reading import FrameLoader, Loaders, cached_open, column, missing_library, particles_frame

SIGNATURE = b"\x89HDF\r\n\x1a\n"
SPECIAL = ("position", "image", "box", "id")
GROUP_COLUMNS = ("molecule", "mol", "body")
# What h5py raises on a damaged file.
DAMAGED = (OSError, KeyError, RuntimeError, ValueError, TypeError)


def sniff(path, head):
    if not head.startswith(SIGNATURE):
        return False
    try:
        import h5py
    except ImportError:
        return str(path).endswith(".h5md")
    try:
        with h5py.File(path, "r") as file:
            return "h5md" in file
    except DAMAGED:
        # An HDF5 file that does not open (cut short, damaged): the reader names why, where "not in a
        # format this job recognises" would hide it.
        return True


def _open_file(path):
    import h5py
    try:
        return h5py.File(path, "r")
    except OSError as error:
        raise InputError(path, "-", "-", f"not a readable HDF5 file ({error})") from None


def _file(path):
    try:
        return cached_open(path, _open_file)
    except ImportError as error:
        raise missing_library(path, "H5MD", "python3-h5py", error) from None


def _group(path, file, name):
    particles = file.get("particles")
    if "h5md" not in file or particles is None or not len(particles):
        raise InputError(path, "-", "particles", "not an H5MD file with particles (no h5md and "
                                                 "particles groups, or no group under particles)")
    names = list(particles)
    if name is None:
        if len(names) > 1:
            raise InputError(path, "-", "particles", f"holds the groups {', '.join(names)}: "
                                                     "choose one with particles_group")
        name = names[0]
    if name not in particles:
        raise InputError(path, "-", f"particles/{name}", f"no such group (the file has {', '.join(names)})")
    group = particles[name]
    if "position" not in group:
        raise InputError(path, "-", f"particles/{name}/position", "missing")
    return group


def _steps(path, element, name="step"):
    """The step (or `name`: time) of each sample of a time-dependent element; None for a time the
    element does not give."""
    count = element["value"].shape[0]
    if name not in element:
        return np.arange(count) if name == "step" else None
    step = element[name]
    if step.shape == ():
        return step.attrs.get("offset", 0) + np.arange(count) * step[()]
    if step.shape != (count,):
        raise InputError(path, "-", f"{element.name}/{name}", f"has shape {step.shape} for {count} samples")
    return step[()]


def open_series(path, particles_group=None, group_by=None, topology=None, atom_style=None):
    """The frames of an H5MD file's particle group. With `topology` (a LAMMPS data file before LAMMPS's
    dump h5md, `atom_style` naming its style where its Atoms line does not), each atom takes by id what
    its frame lacks (masses, molecules, bonds), as a text dump's."""
    try:
        position = _group(path, _file(path), particles_group)["position"]
        count = position["value"].shape[0] if "value" in position else 1
    except InputError:   # a ValueError too
        raise
    except DAMAGED as error:
        raise InputError(path, "-", "-", f"the file is damaged ({error})") from None
    from .lammps_data import completion
    options = {"particles_group": particles_group, "group_by": group_by,
               "topology": completion(topology, atom_style, group_by)}
    return Loaders(path, (FrameLoader(read_frame, path, i, options) for i in range(count)))


def _sample(path, element, step, row, at_or_before=False):
    """An element's data at a step: the dataset itself when time-independent; None when not sampled."""
    if not hasattr(element, "keys"):
        return element[()]
    if "value" not in element:
        return None
    if row is not None:
        return element["value"][row]
    steps = _steps(path, element)
    k = np.searchsorted(steps, step, side="right") - 1 if at_or_before else np.searchsorted(steps, step)
    if k < 0 or k >= len(steps) or not (at_or_before or steps[k] == step):
        return None
    return element["value"][k]


def _box(path, group, step, row, dimension):
    box = group.get("box")
    if box is None:
        return None
    boundary = [b.decode() if isinstance(b, bytes) else str(b) for b in np.ravel(box.attrs.get("boundary", []))]
    if len(boundary) != dimension or any(b not in ("periodic", "none") for b in boundary):
        raise InputError(path, step, box.name, f"boundary {boundary} is not 'periodic' or 'none' "
                                               f"for each of {dimension} dimensions")
    periodic = [b == "periodic" for b in boundary] + [False] * (3 - dimension)
    if "edges" not in box:
        if any(periodic):
            raise InputError(path, step, box.name + "/edges", "missing in a periodic box")
        return None
    edges = _sample(path, box["edges"], step, row if _same_steps(box["edges"], group["position"]) else None,
                    at_or_before=True)
    if edges is None:
        raise InputError(path, step, box.name + "/edges", "has no sample at or before the step")
    edges = np.asarray(edges, dtype=np.float64)
    if edges.shape == (dimension,):
        edges = np.diag(edges)
    if edges.shape != (dimension, dimension):
        raise InputError(path, step, box.name + "/edges", f"has shape {edges.shape} in {dimension} dimensions")
    full = np.eye(3)
    full[:dimension, :dimension] = edges
    try:
        return Box(np.zeros(3), full, periodic)
    except ValueError as error:
        raise InputError(path, step, box.name + "/edges", str(error)) from None


def _same_steps(element, position):
    """Whether a time-dependent element shares the position's samples (hard-linked step datasets)."""
    return hasattr(element, "keys") and "step" in element and "step" in position \
        and element["step"] == position["step"]


def _fill_value(element):
    """The id that marks an empty row, when the file defines one."""
    import h5py
    dataset = element["value"] if hasattr(element, "keys") else element
    defined = dataset.id.get_create_plist().fill_value_defined() == h5py.h5d.FILL_VALUE_USER_DEFINED
    return dataset.fillvalue if defined else None


def read_frame(path, index, particles_group=None, group_by=None, topology=None):
    try:
        frame = _read_frame(path, index, particles_group, group_by)
        return frame if topology is None else topology(frame)
    except InputError:   # a ValueError too
        raise
    except DAMAGED as error:
        raise InputError(path, f"#{index} of the file", "-", f"the frame cannot be read ({error})") from None


def _read_frame(path, index, particles_group, group_by):
    group = _group(path, _file(path), particles_group)
    position = group["position"]
    timed = hasattr(position, "keys")
    step = int(_steps(path, position)[index]) if timed else 0
    values = np.asarray(position["value"][index] if timed else position[()])
    dimension = values.shape[-1] if values.ndim == 2 else 0
    if dimension not in (1, 2, 3):
        raise InputError(path, step, position.name, f"expected (particles, dimensions) per frame, "
                                                    f"got shape {values.shape}")
    rows = len(values)

    def at(name):
        element = group[name]
        data = _sample(path, element, step, index if timed and _same_steps(element, position) else None)
        if data is not None and (np.ndim(data) == 0 or len(data) != rows):
            raise InputError(path, step, element.name, f"has shape {np.shape(data)} where "
                                                       f"position has {rows} particles")
        return data

    def padded(data):
        if dimension == 3:
            return np.asarray(data, dtype=np.float64)
        full = np.zeros((rows, 3))
        full[:, :dimension] = data
        return full

    ids, present = np.arange(1, rows + 1), slice(None)
    if "id" in group:
        ids = at("id")
        if ids is None:
            raise InputError(path, step, group["id"].name, "has no sample at the step of the positions")
        fill = _fill_value(group["id"])
        if fill is not None:
            present = ids != fill
    positions = padded(values)[present]
    box = _box(path, group, step, index if timed else None, dimension)
    images = at("image") if "image" in group else None
    if images is not None and box is not None:
        images = padded(images)[present]
        images[:, ~box.periodic] = 0.0
        positions = box.unwrap(positions, images)
    columns = {"id": column(ids[present])}
    for name in group:
        data = None if name in SPECIAL else at(name)
        if data is not None:
            data = np.asarray(data)
            if name in ("velocity", "force") and dimension < 3 and data.ndim == 2 and data.shape[1] == dimension:
                # Of a two-dimensional file, as its positions: z 0, so that temperatures and momenta count.
                data = padded(data)
            columns[name] = column(data[present])
    default = group_by or next((name for name in GROUP_COLUMNS if name in columns), GROUP_COLUMNS[0])
    frame = particles_frame(path, index, step, positions, columns, box, wrapped=images is None,
                            default_group=default)
    times = _steps(path, position, "time") if timed else None
    if times is not None:
        frame.time = float(times[index])
    frame.dimension = dimension if dimension in (2, 3) else None
    return frame
