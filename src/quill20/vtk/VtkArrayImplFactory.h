// The factory of VTK-backed storages, a process-wide singleton.
#pragma once

#include "kernos50singleton/Singleton.h"
#include "quill20/Export.h"
#include "quill20/core/array/IArrayImplFactory.h"

namespace quill20 {
namespace vtkex {

class QUILL20_API VtkArrayImplFactory final : public core::IArrayImplFactory,
                                              public kernos50::Singleton<VtkArrayImplFactory> {
 public:
  // Element shapes {1,1}, {2,1}, {3,1}, {4,1} and {9,1}; p_Size tuples, values as VTK allocates them.
  core::IArrayImpl* create(core::ScalarType p_scalar_type, core::ElementShape p_ElementShape,
                           std::uint64_t p_Size) const override;
  // Element shapes {1,1} to {9,1}.
  core::IArrayImpl* create(core::ScalarType p_scalar_type, core::ElementShape p_ElementShape) const override;

 private:
  friend class kernos50::Singleton<VtkArrayImplFactory>;
  VtkArrayImplFactory() = default;
  ~VtkArrayImplFactory() = default;
};

// The VTK factory, as every VTK storage reports it.
QUILL20_API core::IArrayImplFactory& vtk_array_impl_factory();

}  // namespace vtkex
}  // namespace quill20
