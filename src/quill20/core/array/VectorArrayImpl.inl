// Bodies of VectorArrayImpl<T>; included only by the instantiating sources.
#include "quill20/core/array/VectorArrayImpl.h"

namespace quill20 {
namespace core {

template <class T>
VectorArrayImpl<T>::VectorArrayImpl() = default;

template <class T>
VectorArrayImpl<T>::VectorArrayImpl(std::uint64_t p_Size) : m_Values(p_Size)
{
}

template <class T>
VectorArrayImpl<T>::~VectorArrayImpl() = default;

template <class T>
void* VectorArrayImpl<T>::get_data(AnyHandle& p_Shape)
{
  p_Shape = AnyHandle(handle_t(m_Values.size()));
  return m_Values.empty() ? nullptr : m_Values.data();
}

template <class T>
IArrayImpl* VectorArrayImpl<T>::clone() const
{
  auto* copy = new VectorArrayImpl<T>();
  copy->m_Values = m_Values;
  return copy;
}

template <class T>
IArrayImplFactory& VectorArrayImpl<T>::factory() const
{
  return vector_array_impl_factory();
}

template <class T>
void VectorArrayImpl<T>::do_resize(std::uint64_t p_NewSize)
{
  m_Values.resize(p_NewSize);
}

template <class T>
IArrayImpl* VectorArrayImpl<T>::do_create_new_with_shape(const AnyHandle& p_Shape) const
{
  return new VectorArrayImpl<T>(p_Shape.get<Handle1>());
}

}  // namespace core
}  // namespace quill20
