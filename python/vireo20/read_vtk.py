"""Input from VTK particle files, as DEM codes write them (LIGGGHTS `dump custom/vtk`, MercuryDPM,
Yade's VTKRecorder), read with VTK's own readers.

The input is a `.pvd` series (its DataSets in order, the timestep of each its `timestep` attribute;
the files of one timestep are the parts of its step, joined in the order of their `part` attribute,
as ParaView writes a data set saved by several processes; where the DataSets carry several `group`
attributes, option `stem` names the particles' group), a folder of `.vtu`, `.vtp`, `.pvtu`, `.pvtp`
or legacy `.vtk` files (in natural name order; LIGGGHTS's `*_boundingBox*` files left out; option
`stem` picks one series where several share the folder), such files listed or matched by a quoted
pattern (`"post/dump*.vtk"`), or one such file. Outside a `.pvd`, the timestep is the number that ends each
file's name (`dump_2000.vtu`), or the file's position when the names carry none.

Positions are the points (but the periodic images at which the contact lines of a series this job
wrote end, `image_of` >= 0: its upscaled particles are read back as they were). Every point array
becomes a column (vectors stay (E, 3)), the common
names under the job's names: `id`/`ID`/`Id`/`ids` as `id` (else the point's index + 1),
`v`/`vel`/`Velocity`/`linVelVec` (Yade's) as `velocity`, `f`/`Force`/`forceVec` as `force`,
`omega`/`AngularVelocity`/`angVelVec` as `omega`, `tq`/`Torque`/`torqueVec` as `tq`,
`radius`/`Radius`/`radii` as `radius`, `Diameter` as `diameter`, `Mass` as `mass`, `Density` as
`density` and `Type` or `speciesType` (MercuryDPM's, reals of whole numbers) as `type`, an integer
column where its values are whole; any other array keeps its name. Scalar arrays written as a LAMMPS
dump's triplets become one vector: `vx vy vz` as `velocity`, `fx fy fz` as `force`, `omegax omegay
omegaz` as `omega`, `tqx tqy tqz` as `tq`, `c_X[1] c_X[2] c_X[3]` as `c_X`, and so do LAMMPS's
dump vtk's vectors of a compute's columns (`c_X[1-3]`, then `c_X[4-6]`); its image flags, the vector
`i`, are `ix iy iz`. The default group
column is the first of `mol`, `id_multisphere` (LIGGGHTS multisphere bodies), `body`, `clump`,
`clumpId` (Yade; -1 for no clump) and `cluster` that the file has.

Contacts: option `contacts` names a LAMMPS dump local written beside the files (LIGGGHTS's `dump
local` of `compute pair/gran/local`), whose frames go to the steps of their timesteps, or LIGGGHTS's
`dump local/gran/vtk` files; those among the files (a folder or list of two series, one of them
contact files) are taken as the other's contacts.

VTK files hold no periodic box: option `box` (a `Box`) gives one. Without it, the box LAMMPS's and
LIGGGHTS's dump vtk write beside each step file (`NAME_boundingBox.vtk`, `.vtr` beside XML files, a
hexahedron `.vtu` for a tilted box) is the step's, periodic along the axes option `periodic` names
(default none: such a file does not say). Positions are then unwrapped with the image flags where
the file has `ix iy iz` arrays, else taken as wrapped in its periodic directions; arrays `xu yu zu`
(a dump vtk of them) are the positions themselves, unwrapped.
"""
import os
import re
import xml.etree.ElementTree as ElementTree

import numpy as np

from .frames import InputError
from .reading import (FrameLoader, Loaders, column, file_number, missing_library, named_frame, natural_key,
                      numbered_files, series_in_folder)

EXTENSIONS = (".vtu", ".vtp", ".pvtu", ".pvtp", ".vtk")


def _series_files(folder):
    return [name for name in os.listdir(folder)
            if name.endswith(EXTENSIONS) and "boundingBox" not in name]


# A series may be given as its files.
READS_SEVERAL_FILES = True


def sniff(path, head):
    if os.path.isdir(path):
        return bool(_series_files(path))
    return str(path).endswith((".pvd",) + EXTENSIONS) or b"<VTKFile" in head or head.startswith(b"# vtk DataFile")


def _folder(path, stem):
    return numbered_files(series_in_folder(path, _series_files(path), stem,
                                           f"VTK particle files ({', '.join(EXTENSIONS)})", ", or give its .pvd"))


def _pvd(path, group=None):
    """(files, timestep) of each step of a .pvd: the files of a step are its parts, in part order."""
    try:
        root = ElementTree.parse(path).getroot()
    except (ElementTree.ParseError, OSError) as error:
        raise InputError(path, "-", "-", f"not a readable .pvd file ({error})") from None
    datasets = list(root.iter("DataSet"))
    groups = sorted({dataset.get("group", "") for dataset in datasets})
    if group is not None:
        if group not in groups:
            raise InputError(path, "-", "DataSet", f"the series has no group {group!r} "
                                                   f"(its groups: {', '.join(map(repr, groups))})")
        groups = [group]
    elif len(groups) > 1:
        raise InputError(path, "-", "DataSet", f"the series holds several groups ({', '.join(map(repr, groups))}): "
                                               "name the particles' one with --stem (the option stem)")
    steps = {}
    for k, dataset in enumerate(datasets):
        if dataset.get("group", "") != groups[0]:
            continue
        name = dataset.get("file")
        if name is None:
            raise InputError(path, f"#{k} of the file", "DataSet", "has no file attribute")
        try:
            timestep = float(dataset.get("timestep", k))
        except ValueError:
            raise InputError(path, f"#{k} of the file", "timestep", f"{dataset.get('timestep')!r} is not "
                                                                    "a number") from None
        timestep = int(timestep) if timestep.is_integer() else timestep
        part = dataset.get("part", "0")
        parts = steps.setdefault(timestep, {})
        if part in parts:
            raise InputError(path, timestep, "DataSet", f"a second file at the same timestep as part {part}")
        parts[part] = os.path.join(os.path.dirname(path), name)
    if not steps:
        raise InputError(path, "-", "DataSet", "the series lists no files")
    # ParaView numbers the parts of a step from 0 as the processes that wrote them.
    return [(tuple(parts[p] for p in sorted(parts, key=natural_key)), timestep)
            for timestep, parts in steps.items()]


def open_series(path, box=None, group_by=None, stem=None, contacts=None, contact_ids=None, periodic=None):
    """The frames of a .pvd, a folder or list of VTK files or one file; see the module's text for `box`.
    `contacts`: a LAMMPS dump local written beside them (LIGGGHTS's `dump local` of
    `compute pair/gran/local`), its pairs in the columns `contact_ids` (default the first two)."""
    if isinstance(path, (list, tuple)):
        # A pattern's files: dump vtk's boxes beside them are no steps.
        path = [name for name in path if "_boundingBox." not in os.path.basename(name)] or path
    if contacts is None and stem is None and (isinstance(path, (list, tuple)) or os.path.isdir(path)):
        # LIGGGHTS writes its particles and their force chains into one folder: the series of
        # contact files among two goes with the other as its contacts.
        files = list(path) if isinstance(path, (list, tuple)) else \
            [os.path.join(path, name) for name in _series_files(path)]
        split = _particles_and_contacts(files)
        if split is not None:
            path, contacts = split
    if isinstance(path, (list, tuple)):
        entries = numbered_files(path)
        path = entries[0][0]
    elif os.path.isdir(path):
        entries = _folder(path, stem)
    elif str(path).endswith(".pvd"):
        entries = _pvd(path, stem)
    else:
        number = file_number(path)
        entries = [(path, 0 if number is None else number)]
    if periodic is not None and box is not None:
        raise InputError(path, "-", "periodic", "a box given names its own periodic directions")
    if periodic is not None and set(periodic) - set("xyz"):
        raise InputError(path, "-", "periodic", f"{periodic!r}: the periodic axes take the letters x, y and z")
    series = Loaders(path, (FrameLoader(read_frame, file, i, {"timestep": t, "box": box, "group_by": group_by,
                                                              "periodic": periodic})
                            for i, (file, t) in enumerate(entries)))
    from .read_lammps import with_contacts
    return with_contacts(series, contacts, contact_ids)


def _reader(path):
    from vtkmodules.vtkIOXML import vtkXMLPPolyDataReader, vtkXMLPUnstructuredGridReader, \
        vtkXMLPolyDataReader, vtkXMLRectilinearGridReader, vtkXMLUnstructuredGridReader
    from vtkmodules.vtkIOLegacy import vtkGenericDataObjectReader
    readers = {".vtu": vtkXMLUnstructuredGridReader, ".vtp": vtkXMLPolyDataReader,
               ".pvtu": vtkXMLPUnstructuredGridReader, ".pvtp": vtkXMLPPolyDataReader,
               ".vtr": vtkXMLRectilinearGridReader}
    reader = readers.get(os.path.splitext(path)[1], vtkGenericDataObjectReader)()
    if isinstance(reader, vtkGenericDataObjectReader):
        # A legacy file may hold several SCALARS and VECTORS blocks (files written by hand, as
        # LIGGGHTS's are): VTK reads only the first of each unless asked, as ParaView asks.
        for kind in ("Scalars", "Vectors", "Normals", "Tensors", "ColorScalars", "TCoords", "Fields"):
            getattr(reader, f"ReadAll{kind}On")()
    return reader


def _read(path, timestep):
    """The data set of one file; VTK's complaints become one InputError instead of text on stderr."""
    try:
        from vtkmodules.vtkCommonCore import VTK_STRING, vtkLogger, vtkOutputWindow, vtkStringOutputWindow
        from vtkmodules.util.misc import calldata_type
        reader = _reader(path)
    except ImportError as error:
        raise missing_library(path, "VTK", "python3-vtk9", error) from None
    errors = []

    @calldata_type(VTK_STRING)
    def collect(_object, _event, message):
        errors.append(message)

    reader.AddObserver("ErrorEvent", collect)
    reader.GetExecutive().AddObserver("ErrorEvent", collect)
    reader.SetFileName(path)
    window, verbosity = vtkOutputWindow.GetInstance(), vtkLogger.GetCurrentVerbosityCutoff()
    text = vtkStringOutputWindow()
    vtkOutputWindow.SetInstance(text)
    vtkLogger.SetStderrVerbosity(vtkLogger.VERBOSITY_OFF)
    try:
        if not os.path.isfile(path):
            raise InputError(path, timestep, "-", "no such file")
        reader.Update()
    finally:
        vtkOutputWindow.SetInstance(window)
        vtkLogger.SetStderrVerbosity(verbosity)
    data = reader.GetOutput()
    if errors or getattr(reader, "GetErrorCode", lambda: 0)() or data is None or not hasattr(data, "GetPoints"):
        lines = [line for m in [text.GetOutput()] + errors for line in m.splitlines()
                 if line.strip() and not line.startswith("ERROR: In ")]
        raise InputError(path, timestep, "-", "not a readable VTK particle file"
                                              + (f" ({lines[0].split('): ', 1)[-1]})" if lines else ""))
    return data


def _point_data(path, timestep):
    """The positions and point arrays of one file: a legacy ASCII one read natively, the same values
    as VTK's, where it can be."""
    if path.endswith(".vtk"):
        from . import vtk_legacy
        read = vtk_legacy.read(path)
        if read is not None:
            return read
    return _vtk_point_data(path, timestep)


def _vtk_point_data(path, timestep):
    from vtkmodules.util.numpy_support import vtk_to_numpy
    data = _read(path, timestep)
    if all(data.GetCellData().HasArray(name) for name in CONTACT_IDS):
        raise InputError(path, timestep, "-", "holds contacts, not particles (a line per pair, its ids in id1 "
                                              "and id2, as LIGGGHTS's dump local/gran/vtk writes): give it with "
                                              "--contacts")
    points = data.GetPoints()
    positions = vtk_to_numpy(points.GetData()).reshape(-1, 3) if points is not None else np.zeros((0, 3))
    arrays = data.GetPointData()
    columns = {}
    for k in range(arrays.GetNumberOfArrays()):
        array = arrays.GetArray(k)   # None for string arrays
        if array is not None:
            values = column(vtk_to_numpy(array))
            if values is not None:
                columns.setdefault(array.GetName() or f"array{k}", values)
    return positions, columns


# LIGGGHTS's dump local/gran/vtk: a line per contact between the pair's positions, the pair's ids in
# the cell arrays id1 and id2; of its other cell arrays, those of each particle are no contact value.
CONTACT_IDS = ("id1", "id2")
PARTICLE_CELL_ARRAYS = ("pos1", "pos2", "vel1", "vel2")


def _particles_and_contacts(files):
    """(particle files, contact files) of files of two series (named alike but for their numbers) of
    which one holds contacts; None for others."""
    series = {}
    for file in files:
        series.setdefault(re.sub(r"\d+", "#", os.path.basename(file)), []).append(os.fspath(file))
    if len(series) != 2:
        return None
    contacts = [group for group in series.values() if _holds_contacts(group[0])]
    if len(contacts) != 1:
        return None
    return next(group for group in series.values() if group is not contacts[0]), contacts[0]


def _holds_contacts(path):
    try:
        data = _read(path, "-")
    except InputError:
        return False
    return all(data.GetCellData().HasArray(name) for name in CONTACT_IDS)


def is_contact_path(path):
    """Whether `path` (a file, their list or folder) names VTK files rather than a dump local."""
    if isinstance(path, (list, tuple)):
        return bool(path) and all(str(p).endswith(EXTENSIONS) for p in path)
    return os.path.isdir(path) and bool(_series_files(path)) or str(path).endswith(EXTENSIONS)


class ContactFiles:
    """The frames of contacts of VTK files written one per step, as a dump local's are read."""

    def __init__(self, path, contact_ids=None, stem=None):
        if isinstance(path, (list, tuple)):
            entries = numbered_files(path)
        elif os.path.isdir(path):
            entries = _folder(path, stem)
        else:
            number = file_number(path)
            entries = [(path, 0 if number is None else number)]
        self.entries, self.ids = entries, tuple(contact_ids or CONTACT_IDS)
        self.source, self.contact_paths = entries[0][0], [file for file, _ in entries]

    def _contact_parts(self):
        for file, timestep in sorted(self.entries, key=lambda entry: entry[1]):
            yield _ContactFile(file, timestep, self.ids)

    def read_in_order(self):
        return self

    def finish(self):
        pass

    def notes(self):
        return []


class _ContactFile:
    problem = False

    def __init__(self, path, timestep, ids):
        self.path, self.timestep, self.ids = path, timestep, ids

    def read(self):
        from vtkmodules.util.numpy_support import vtk_to_numpy
        cells = _read(self.path, self.timestep).GetCellData()
        arrays = {}
        for k in range(cells.GetNumberOfArrays()):
            array = cells.GetArray(k)
            values = column(vtk_to_numpy(array)) if array is not None else None
            if values is not None and array.GetName() not in PARTICLE_CELL_ARRAYS:
                arrays[array.GetName()] = values
        missing = [name for name in self.ids if name not in arrays or arrays[name].ndim != 1]
        if missing:
            raise InputError(self.path, self.timestep, missing[0], "no such cell array of contact ids (the cell "
                                                                   f"arrays: {', '.join(arrays) or 'none'})")
        pairs = np.stack([arrays.pop(name) for name in self.ids], axis=1)
        ids = pairs.astype(np.int64)
        if not np.array_equal(ids, pairs):
            raise InputError(self.path, self.timestep, self.ids[0], "contact ids that are not whole numbers")
        return {"contacts": ids, "contact_kinds": np.zeros(len(ids), np.int64), "contact_values": arrays}


def _joined(paths, timestep):
    """The parts of a step as one: their points one after the other, in part order."""
    parts = [_point_data(path, timestep) for path in paths]
    if len(parts) == 1:
        return parts[0]
    first = parts[0][1]
    for path, (_, columns) in zip(paths[1:], parts[1:]):
        differ = sorted(set(first) ^ set(columns))
        if differ:
            raise InputError(path, timestep, differ[0], f"is in {'this' if differ[0] in columns else 'the first'} "
                                                        f"but not the other of two parts of the step "
                                                        f"({os.path.basename(paths[0])})")
        for name, values in columns.items():
            if values.shape[1:] != first[name].shape[1:] or values.dtype != first[name].dtype:
                raise InputError(path, timestep, name, f"has {values.dtype} values of shape {values.shape[1:]} where "
                                                       f"the step's first part has {first[name].dtype} of "
                                                       f"shape {first[name].shape[1:]}")
    positions = np.concatenate([np.asarray(p, dtype=np.float64) for p, _ in parts])
    return positions, {name: np.concatenate([c[name] for _, c in parts]) for name in first}


def _bounding_box(path, timestep, periodic):
    """The box dump vtk writes beside a step file, periodic along `periodic`, or None."""
    stem, extension = os.path.splitext(path)
    names = [stem + "_boundingBox" + e for e in ((".vtk",) if extension == ".vtk" else (".vtr", ".vtu"))]
    found = next((name for name in names if os.path.isfile(name)), None)
    if found is None:
        return None
    from vtkmodules.util.numpy_support import vtk_to_numpy
    from .frames import Box
    data = _read(found, timestep)
    flags = [axis in (periodic or "") for axis in "xyz"]
    try:
        if data.IsA("vtkUnstructuredGrid") and data.GetNumberOfPoints() == 8:
            # A tilted box's hexahedron: its corners lo, lo + a, lo + a + b, lo + b, lo + c, ...
            corners = vtk_to_numpy(data.GetPoints().GetData()).astype(np.float64)
            return Box(corners[0], [corners[1] - corners[0], corners[3] - corners[0], corners[4] - corners[0]], flags)
        bounds = np.array(data.GetBounds(), dtype=np.float64)
        return Box.orthogonal(bounds[0::2], bounds[1::2], flags)
    except ValueError as error:
        raise InputError(found, timestep, "box", str(error)) from None


def read_frame(path, index, timestep=None, box=None, group_by=None, periodic=None):
    """Frame `index`: the file `path`, or the parts of a step given as a tuple of files."""
    timestep = index if timestep is None else timestep
    paths = path if isinstance(path, tuple) else (path,)
    positions, columns = _joined(paths, timestep)
    path = paths[0]
    if box is None:
        box = _bounding_box(path, timestep, periodic)
    # A series this job wrote: the periodic images its contact lines end at are no particles.
    images = columns.pop("image_of", None)
    if images is not None and images.ndim == 1 and images.dtype.kind == "i" and (images >= 0).any():
        own = images < 0
        positions, columns = positions[own], {name: values[own] for name, values in columns.items()}
    return named_frame(path, index, timestep, positions, columns, box, group_by)
