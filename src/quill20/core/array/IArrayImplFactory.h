// Storage factories: a storage for a scalar type and an element shape, in memory or in VTK.
#pragma once

#include <cstdint>

#include "quill20/Export.h"
#include "quill20/core/array/ScalarType.h"

namespace quill20 {
namespace core {

class IArrayImpl;

// Factories are singletons and are never deleted through this interface.
class QUILL20_API IArrayImplFactory {
 public:
  // A new storage of p_Size elements, owned by the caller.
  virtual IArrayImpl* create(ScalarType p_scalar_type, ElementShape p_ElementShape, std::uint64_t p_Size) const = 0;
  // A new empty storage, owned by the caller.
  virtual IArrayImpl* create(ScalarType p_scalar_type, ElementShape p_ElementShape) const = 0;

 protected:
  ~IArrayImplFactory() = default;
};

}  // namespace core
}  // namespace quill20
