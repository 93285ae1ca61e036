// The element-type-independent face of arrays, and the export of their memory to NumPy views.
#include <boost/python.hpp>

#include "quill20/core/array/Array.h"
#include "quill20/core/array/MemoryExport.h"
#include "wrap_array.h"

namespace quill20 {
namespace bindings {

namespace py = boost::python;

void wrap_iarray()
{
  using core::IArray;
  py::class_<IArray, boost::shared_ptr<IArray>, boost::noncopyable>("IArray", py::no_init)
      .def("__len__", &IArray::size)
      .def("number_of_dimensions", &IArray::number_of_dimensions)
      .add_property("scalar_type", +[](const IArray& p_Array) { return core::scalar_type_name(p_Array.scalar_type()); })
      .def("make_unique", &IArray::make_unique)
      .def("negate", &IArray::negate)
      .def("scale", &IArray::scale, py::arg("factor"))
      .def("set_fixed_shape", &IArray::set_fixed_shape)
      .def("implementation_use_count", &IArray::implementation_use_count)
      .def("equals", +[](const IArray& p_Array, const IArray& p_Other) { return p_Array == p_Other; });
}

void wrap_memory_export()
{
  using core::MemoryExport;
  py::class_<MemoryExport, boost::shared_ptr<MemoryExport>, boost::noncopyable>("MemoryExport", py::no_init)
      .add_property("address", +[](const MemoryExport& p_Export) { return reinterpret_cast<std::uintptr_t>(p_Export.data()); })
      .add_property("size", &MemoryExport::size);
}

}  // namespace bindings
}  // namespace quill20
