// Hands the VTK data array behind an array on VTK storage to VTK's own Python wrappers.
#include <boost/python.hpp>

#include <vtkDataArray.h>

#include "quill20/core/array/IArray.h"
#include "quill20/core/array/IArrayImpl.h"
#include "quill20/vtk/VtkArrayImpl.h"
#include "wrap_grid_function.h"

namespace quill20 {
namespace bindings {

namespace py = boost::python;

namespace {

// VTK's Python layer builds a wrapper around an existing object from its address and class name,
// taking a reference of its own: (address, class name) is all it needs.
py::tuple vtk_array_of(const core::IArray& p_Array)
{
  const boost::shared_ptr<core::IArrayImpl> storage = p_Array.get_implementation();
  const auto* vtk_storage = dynamic_cast<const vtkex::VtkArrayImplBase*>(storage.get());
  if (!vtk_storage) {
    const std::string kind = storage ? "in-memory (\"vector\")" : "no";
    PyErr_SetString(PyExc_TypeError, ("to_vtk() needs an array on VTK storage (storage=\"vtk\"); this array has " + kind +
                                      " storage. Copy it with quill20.array(a, storage=\"vtk\").")
                                         .c_str());
    py::throw_error_already_set();
  }
  vtkDataArray* array = vtk_storage->vtk_array();
  return py::make_tuple(reinterpret_cast<std::uintptr_t>(array), std::string(array->GetClassName()));
}

}  // namespace

void wrap_vtk_access()
{
  py::def("_vtk_array_of", &vtk_array_of, py::arg("array"),
          "(address, VTK class name) of the VTK data array behind an array on VTK storage.");
  py::def("live_vtk_storages", &vtkex::VtkArrayImplBase::live_count,
          "Number of VTK-backed storages alive in the process, each holding one VTK data array.");
}

}  // namespace bindings
}  // namespace quill20
