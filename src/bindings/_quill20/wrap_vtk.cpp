// Hands the VTK data array behind an array on VTK storage to VTK's own Python wrappers.
#include <cstdint>
#include <cstdio>
#include <string>

#include <boost/python.hpp>

#include <vtkDataArray.h>

#include "quill20/core/array/IArray.h"
#include "quill20/core/array/IArrayImpl.h"
#include "quill20/vtk/VtkArrayImpl.h"
#include "wrap_array.h"
#include "wrap_grid_function.h"

namespace quill20 {
namespace bindings {

namespace py = boost::python;

// VTK's Python layer builds a wrapper around an existing object from its address and class name,
// taking a reference of its own.
py::object vtk_array_object(const core::IArray& p_Array)
{
  const boost::shared_ptr<core::IArrayImpl> storage = p_Array.get_implementation();
  const auto* vtk_storage = dynamic_cast<const vtkex::VtkArrayImplBase*>(storage.get());
  if (!vtk_storage) {
    const std::string kind = !storage ? "no" : is_buffer_storage(*storage) ? "NumPy buffer (\"numpy\")" : "in-memory (\"vector\")";
    raise(PyExc_TypeError, "to_vtk() needs an array on VTK storage (storage=\"vtk\"); this array has " + kind +
                               " storage. Copy it with quill20.array(a, storage=\"vtk\").");
  }
  vtkDataArray* array = vtk_storage->vtk_array();
  const std::string class_name = array->GetClassName();
  char pointer_text[64];
  std::snprintf(pointer_text, sizeof(pointer_text), "_%016llx_p_", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(array)));
  return py::import("vtkmodules.vtkCommonCore").attr(class_name.c_str())(std::string(pointer_text) + class_name);
}

void wrap_vtk_access()
{
  py::def("live_vtk_storages", &vtkex::VtkArrayImplBase::live_count,
          "Returns the number of VTK-backed storages alive in the process, each holding one VTK data array.\n\n"
          "Example: quill20.live_vtk_storages() is 0 once every array on VTK storage is gone.");
}

}  // namespace bindings
}  // namespace quill20
