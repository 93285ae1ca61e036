"""VTK XML output: a PolyData file per step (points, vertex and line cells, arrays) and the .pvd series."""
import os
import xml.sax.saxutils

import numpy as np
from vtkmodules.util import numpy_support
from vtkmodules.vtkCommonCore import vtkPoints
from vtkmodules.vtkCommonDataModel import vtkCellArray, vtkPolyData
from vtkmodules.vtkIOXML import vtkXMLPolyDataWriter


def vtk_array(values, name):
    """A VTK data array over `values` without copying them.

    A quill20 array or grid function on VTK storage hands over the VTK array it owns; anything
    else NumPy can view is wrapped in place (VTK keeps a reference to the NumPy memory).
    """
    held = getattr(values, "array", values)
    if getattr(held, "storage", None) == "vtk":
        data = held.to_vtk()
    else:
        view = values.to_numpy() if hasattr(values, "to_numpy") else np.asarray(values)
        if view.dtype == np.bool_:
            view = view.astype(np.int8)
        data = numpy_support.numpy_to_vtk(np.ascontiguousarray(view), deep=False)
    data.SetName(name)
    return data


def _cells(offsets, connectivity):
    cells = vtkCellArray()
    cells.SetData(numpy_support.numpy_to_vtkIdTypeArray(np.ascontiguousarray(offsets, np.int64), deep=True),
                  numpy_support.numpy_to_vtkIdTypeArray(np.ascontiguousarray(connectivity, np.int64), deep=True))
    return cells


def write_polydata(path, points, vertices, lines, point_arrays, field_arrays=None):
    """Points (n, 3), one vertex cell per entry of `vertices`, line cells from pairs (L, 2)."""
    polydata = vtkPolyData()
    vtk_points = vtkPoints()
    vtk_points.SetData(vtk_array(points, "Points"))
    polydata.SetPoints(vtk_points)
    polydata.SetVerts(_cells(np.arange(len(vertices) + 1), vertices))
    lines = np.asarray(lines).reshape(-1, 2)
    polydata.SetLines(_cells(np.arange(0, 2 * len(lines) + 1, 2), lines.reshape(-1)))
    for name, values in point_arrays.items():
        polydata.GetPointData().AddArray(vtk_array(values, name))
    for name, values in (field_arrays or {}).items():
        polydata.GetFieldData().AddArray(vtk_array(values, name))
    writer = vtkXMLPolyDataWriter()
    writer.SetFileName(str(path))
    writer.SetInputData(polydata)
    writer.SetDataModeToAppended()
    writer.EncodeAppendedDataOff()
    writer.SetCompressorTypeToNone()
    writer.SetHeaderTypeToUInt64()
    if writer.Write() != 1:
        raise OSError(f"VTK could not write {path}")


def write_pvd(path, series):
    """The collection of (time, file) pairs; written to a side file and renamed, so it is always whole."""
    rows = "".join(f'    <DataSet timestep="{time}" group="" part="0" '
                   f'file={xml.sax.saxutils.quoteattr(name)}/>\n' for time, name in series)
    text = ('<?xml version="1.0"?>\n'
            '<VTKFile type="Collection" version="0.1" byte_order="LittleEndian">\n'
            f"  <Collection>\n{rows}  </Collection>\n</VTKFile>\n")
    temporary = f"{path}.part"
    with open(temporary, "w") as out:
        out.write(text)
    os.replace(temporary, path)
