// The VTK factory: its storage selection lives with the storages, in VtkArrayImpl.cpp.
#include "quill20/vtk/VtkArrayImplFactory.h"

#include "quill20/vtk/VtkArrayImpl.h"

namespace quill20 {
namespace vtkex {

core::IArrayImpl* VtkArrayImplFactory::create(core::ScalarType p_scalar_type, core::ElementShape p_ElementShape,
                                              std::uint64_t p_Size) const
{
  return detail::create_vtk_storage(p_scalar_type, p_ElementShape, p_Size, true);
}

core::IArrayImpl* VtkArrayImplFactory::create(core::ScalarType p_scalar_type, core::ElementShape p_ElementShape) const
{
  return detail::create_vtk_storage(p_scalar_type, p_ElementShape, 0, false);
}

core::IArrayImplFactory& vtk_array_impl_factory()
{
  static VtkArrayImplFactory& factory = VtkArrayImplFactory::instance();
  return factory;
}

namespace {
// Obtained while the library loads, as the storages report it from then on.
[[maybe_unused]] const core::IArrayImplFactory& g_loaded_factory = vtk_array_impl_factory();
}  // namespace

}  // namespace vtkex
}  // namespace quill20
