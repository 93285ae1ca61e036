"""VTK output: a step as vtkPolyData (points, vertex and line cells, arrays), its XML file written and
checked, and the .pvd collection of a series.
"""
import functools
import math
import os

import numpy as np
from vtkmodules.util import numpy_support
from vtkmodules.vtkCommonCore import vtkDataArray, vtkPoints
from vtkmodules.vtkCommonMisc import vtkErrorCode
from vtkmodules.vtkCommonDataModel import vtkCellArray, vtkPolyData

from .upscale import component_names


# The field array of every step: the upscaled particle of each input entry.
ELEMENT_MAP = "element_particle_index"
FILE_END = b"</VTKFile>\n"
_ID_TYPE = numpy_support.vtkConstants.VTK_ID_TYPE


def vtk_array(values, name, keep):
    """A VTK data array over `values` without copying them.

    An engine result on VTK storage hands over the VTK array it owns; anything else NumPy can view is
    wrapped in place, and `keep` holds the NumPy memory for as long as the data set is used.
    """
    held = getattr(values, "array", values)
    if getattr(held, "storage", None) == "vtk":
        data = held.to_vtk()
    else:
        view = values.to_numpy() if hasattr(values, "to_numpy") else np.asarray(values)
        if view.dtype == np.bool_:
            view = view.astype(np.int8)
        data = _wrapped(view)
        keep.append(data)
    data.SetName(name)
    return data


@functools.lru_cache(maxsize=None)
def _vtk_type(dtype):
    return numpy_support.get_vtk_array_type(dtype)


def _wrapped(values, vtk_type=None):
    """`numpy_support.numpy_to_vtk(values, deep=False)` for arrays of one or two dimensions, whose
    type lookup (a dozen `issubdtype` calls an array) took a third of a small step's writing."""
    values = np.ascontiguousarray(values)
    data = vtkDataArray.CreateDataArray(vtk_type or _vtk_type(values.dtype))
    data.SetNumberOfComponents(1 if values.ndim == 1 else values.shape[1])
    flat = values.reshape(-1)
    data.SetVoidArray(flat, len(flat), 1)  # 1: the memory stays NumPy's
    data._numpy_reference = values
    return data


def _cells(offsets, connectivity, keep):
    """Cells over the two index arrays, read where NumPy made them: `keep` holds their VTK arrays,
    which hold the NumPy memory."""
    parts = [_wrapped(np.asarray(part, np.int64), _ID_TYPE) for part in (offsets, connectivity)]
    keep.extend(parts)
    cells = vtkCellArray()
    cells.SetData(*parts)
    return cells


def polydata(result):
    """The data set of one step: the upscaled particles' centres (then the periodic images that contact
    lines end at) as points with a vertex cell each, the contact lines, point arrays (mass, parent_id,
    group_id, every value and physics array, `image_of` in a periodic box), cell arrays of the lines
    and the field array `element_particle_index`."""
    keep = []
    data = vtkPolyData()
    points = vtkPoints()
    points.SetData(vtk_array(result.points, "Points", keep))
    data.SetPoints(points)
    own = len(result.centres)
    images = result.image_of[own:]
    data.SetVerts(_cells(np.arange(own + 1), np.arange(own), keep))
    lines = np.asarray(result.lines, dtype=np.int64).reshape(-1, 2)
    data.SetLines(_cells(np.arange(0, 2 * len(lines) + 1, 2), lines.reshape(-1), keep))
    arrays = dict(result.arrays)
    if result.box is not None and result.box.any_periodic:
        arrays["image_of"] = result.image_of
    for name, values in arrays.items():
        if len(images) and name != "image_of":
            values = np.asarray(values)
            values = np.concatenate([values, values[images]])
        array = vtk_array(values, name, keep)
        if array.GetNumberOfComponents() > 1:
            # ParaView's colour menu then offers "gyration_shape anisotropy" rather than "5".
            for k, part in enumerate(component_names(name, array.GetNumberOfComponents())):
                array.SetComponentName(k, part)
        data.GetPointData().AddArray(array)
    for name, values in result.line_values.items():
        values = np.asarray(values)
        # Cell arrays cover the vertex cells first: they have no contacts.
        values = np.concatenate([np.zeros((own,) + values.shape[1:], values.dtype), values])
        data.GetCellData().AddArray(vtk_array(values, name, keep))
    data.GetFieldData().AddArray(vtk_array(result.element, ELEMENT_MAP, keep))
    # The NumPy memory the arrays point into lives as long as the data set's Python object. The
    # arrays' own Python objects are held with it: let go while the data set still held their VTK
    # arrays, each would leave VTK a ghost of its NumPy reference, freed only when the next VTK
    # object is wrapped, so a step's memory would outlive it into the next step.
    data._vireo20_memory = keep
    return data


def run_writer(writer, path):
    """Runs a VTK writer and raises OSError if it failed. VTK's own error texts are caught, not
    printed: the job reports a failure in one line."""
    heard = []
    for source in (writer, writer.GetExecutive()):
        source.AddObserver("ErrorEvent", lambda caller, event: heard.append(event))
    done = writer.Write()  # image writers answer nothing; the error code tells
    _check_written(path, done, writer.GetErrorCode(), bool(heard))


def _check_written(path, done, code, heard):
    if done not in (None, 1) or code != 0 or heard:
        text = vtkErrorCode.GetStringFromErrorCode(code) if code else "VTK reported an error"
        raise OSError(f"could not write {path}: {text}")


def write_polydata(path, data):
    """Writes the data set to `path` (raw appended data, 64-bit headers) without holding the
    interpreter lock, raising OSError on VTK's error code. Returns (size, crc32) of the bytes written,
    or None where the writer could not tell; `filesafe.checked_file(path, FILE_END, that)` then checks
    what reached the disk."""
    from ._lammpsdump import write_step_file
    done, code, heard, written = write_step_file(data, os.fspath(path))
    _check_written(path, done, code, heard)
    return written


def read_step_file(path):
    """(points, point arrays by name, the upscaled particle of each input entry) of a step file this
    job wrote, its own points only: the periodic images contact lines end at follow them."""
    from vtkmodules.vtkIOXML import vtkXMLPolyDataReader
    reader = vtkXMLPolyDataReader()
    reader.SetFileName(str(path))
    reader.Update()
    data = reader.GetOutput()
    point_data = data.GetPointData()
    arrays = {point_data.GetArrayName(k): numpy_support.vtk_to_numpy(point_data.GetArray(k))
              for k in range(point_data.GetNumberOfArrays())}
    own = arrays.pop("image_of", None)
    own = slice(None) if own is None else own == -1
    points = numpy_support.vtk_to_numpy(data.GetPoints().GetData()) if data.GetNumberOfPoints() else np.zeros((0, 3))
    element = data.GetFieldData().GetArray(ELEMENT_MAP)
    element = numpy_support.vtk_to_numpy(element) if element is not None else np.zeros(0, np.int32)
    return points[own], {name: values[own] for name, values in arrays.items()}, element


def _quoted(value):
    """`value` as an XML attribute value, quotes included: the text of `xml.sax.saxutils.quoteattr`,
    whose module would pull in urllib, http and ssl (30 ms at the job's start)."""
    for plain, escaped in (("&", "&amp;"), (">", "&gt;"), ("<", "&lt;"), ("\n", "&#10;"), ("\r", "&#13;"),
                           ("\t", "&#9;")):
        value = value.replace(plain, escaped)
    if '"' not in value:
        return f'"{value}"'
    if "'" not in value:
        return f"'{value}'"
    return '"{}"'.format(value.replace('"', "&quot;"))


def pvd_text(series, times=None):
    """The collection of (timestep, file) pairs ParaView opens as one time series; its time axis is
    `times`, the simulation's time of each step, where every step has one (a LAMMPS dump's ITEM: TIME)
    and they go forward, else the timesteps (times that stand still, as a writer that stored none
    leaves them, would lay every step at one time)."""
    if times is not None and len(times) == len(series) and None not in times and \
            all(a < b for a, b in zip(times, times[1:])):
        series = [(time, name) for time, (_, name) in zip(times, series)]
    rows = []
    for timestep, name in series:
        value = float(timestep)
        if not math.isfinite(value):
            raise ValueError(f"timestep {timestep!r} is not a finite number")
        rows.append(f'    <DataSet timestep={_quoted(str(timestep))} group="" part="0" '
                    f'file={_quoted(os.path.basename(name))}/>\n')
    return ('<?xml version="1.0"?>\n'
            '<VTKFile type="Collection" version="0.1" byte_order="LittleEndian">\n'
            f"  <Collection>\n{''.join(rows)}  </Collection>\n</VTKFile>\n")
