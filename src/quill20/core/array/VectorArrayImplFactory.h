// The in-memory storage factory, a process-wide singleton.
#pragma once

#include "kernos50singleton/Singleton.h"
#include "quill20/Export.h"
#include "quill20/core/array/IArrayImplFactory.h"

namespace quill20 {
namespace core {

class QUILL20_API VectorArrayImplFactory final : public IArrayImplFactory,
                                           public kernos50::Singleton<VectorArrayImplFactory> {
 public:
  // Element shapes {1,1}, {2,1}, {3,1}, {4,1} and {9,1}.
  IArrayImpl* create(ScalarType p_scalar_type, ElementShape p_ElementShape, std::uint64_t p_Size) const override;
  // Element shapes {1,1} to {4,1}.
  IArrayImpl* create(ScalarType p_scalar_type, ElementShape p_ElementShape) const override;

 private:
  friend class kernos50::Singleton<VectorArrayImplFactory>;
  VectorArrayImplFactory() = default;
  ~VectorArrayImplFactory() = default;
};

}  // namespace core
}  // namespace quill20
