// VectorArrayImpl<T>: in-memory storage, one contiguous vector of elements.
#pragma once

#include <cstdint>

#include <boost/container/vector.hpp>

#include "quill20/Export.h"
#include "quill20/core/array/HugePages.h"
#include "quill20/core/array/IArrayImplType.h"

namespace quill20 {
namespace core {

template <class T>
class QUILL20_API VectorArrayImpl : public IArrayImplType<T, IArrayImpl> {
 public:
  VectorArrayImpl();
  // n elements, all bits zero.
  explicit VectorArrayImpl(std::uint64_t p_Size);
  ~VectorArrayImpl() override;

  void* get_data(AnyHandle& p_Shape) override;

 protected:
  void do_resize(std::uint64_t p_NewSize) override;

 public:
  IArrayImpl* clone() const override;
  IArrayImplFactory& factory() const override;

 protected:
  IArrayImpl* do_create_new_with_shape(const AnyHandle& p_Shape) const override;

 private:
  // boost's vector: a real vector of bool too, with a data pointer.
  boost::container::vector<T, HugePageAllocator<T>> m_Values;
};

// The in-memory factory, as every in-memory storage reports it.
QUILL20_API IArrayImplFactory& vector_array_impl_factory();

#define QUILL20_DETAIL_EXTERN_STORAGE(...) extern template class QUILL20_API VectorArrayImpl<__VA_ARGS__>;
QUILL20_STORAGE_ELEMENT_TYPES(QUILL20_DETAIL_EXTERN_STORAGE)
#undef QUILL20_DETAIL_EXTERN_STORAGE

}  // namespace core
}  // namespace quill20
