// IArrayImpl: the storage that arrays view and share. Resizes go through the guarded resize, which
// tells every array on the storage.
#pragma once

#include <cstdint>

#include <boost/enable_shared_from_this.hpp>
#include <boost/shared_ptr.hpp>

#include "quill20/Export.h"
#include "quill20/core/handle/Handles.h"
#include "quill20/core/pattern/Observer.h"

namespace quill20 {
namespace core {

class IArray;
class IArrayImplFactory;

class QUILL20_API IArrayImpl : public ISubject, public boost::enable_shared_from_this<IArrayImpl> {
 public:
  ~IArrayImpl() override;

  // Writes the storage's shape; returns the first stored element, or null when there is none.
  virtual void* get_data(AnyHandle& p_Shape) = 0;

  // Changes the element count within max_size(), then notifies the arrays on this storage.
  void resize(std::uint64_t p_NewSize);

 protected:
  // Declared here, right after get_data: the virtual operations keep their documented order.
  virtual void do_resize(std::uint64_t p_NewSize) = 0;

 public:

  // A deep copy of the same kind, owned by the caller.
  virtual IArrayImpl* clone() const = 0;
  virtual std::uint64_t element_size() const = 0;
  virtual IArrayImplFactory& factory() const = 0;
  virtual std::uint64_t max_size() const = 0;
  // A new array that co-owns this storage; the storage must already be owned by a shared pointer.
  virtual IArray* create_array() = 0;

  IArrayImpl* create_new_with_shape(const AnyHandle& p_Shape) const { return do_create_new_with_shape(p_Shape); }

 protected:
  virtual IArrayImpl* do_create_new_with_shape(const AnyHandle& p_Shape) const = 0;
};

// Largest element count a storage accepts for elements of p_ElementSize bytes.
constexpr std::uint64_t storage_max_size(std::uint64_t p_ElementSize)
{
  const std::uint64_t vector_limit = ~std::uint64_t(0) / p_ElementSize;
  const std::uint64_t limit = vector_limit < 0x7FFFFFFFFFFFFFFFULL ? vector_limit : 0x7FFFFFFFFFFFFFFFULL;
  return limit - (256 + p_ElementSize - 1) / p_ElementSize;
}

}  // namespace core
}  // namespace quill20
