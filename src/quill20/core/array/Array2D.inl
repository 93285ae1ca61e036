// Bodies of Array<T,2>; included only by the instantiating sources.
#include <exception>

#include "kernos50/Check.h"
#include "quill20/core/array/Array2D.h"

namespace quill20 {
namespace core {

template <class T_>
Array<T_, 2>::Array(boost::shared_ptr<IArrayImpl> p_ArrayImplementation, unsigned int p_NI)
    : Array<T_, 1>(), m_shape(p_NI == 0 ? 1u : p_NI, 0u)
{
  this->set_implementation(std::move(p_ArrayImplementation));
}

template <class T_>
Array<T_, 2>::Array(const Array& p_Other) : Array<T_, 1>(), m_shape(p_Other.m_shape[I], 0u)
{
  this->set_implementation(p_Other.m_Impl);
}

template <class T_>
Array<T_, 2>& Array<T_, 2>::operator=(const Array& p_Other)
{
  if (this != &p_Other) {
    // A rejected exchange keeps the old storage, so it keeps the old shape as well.
    const Handle2 previous = m_shape;
    m_shape = Handle2(p_Other.m_shape[I], 0u);
    try {
      this->set_implementation(p_Other.m_Impl);
    } catch (...) {
      if (this->m_Impl != p_Other.m_Impl) m_shape = previous;
      throw;
    }
  }
  return *this;
}

template <class T_>
Array<T_, 2>::~Array() = default;

template <class T_>
std::uint64_t Array<T_, 2>::number_of_dimensions() const
{
  return 2;
}

template <class T_>
AnyHandle Array<T_, 2>::get_shape() const
{
  return AnyHandle(m_shape);
}

template <class T_>
void Array<T_, 2>::update()
{
  // nj follows the new size even when the flat refresh reports a fixed-shape conflict.
  std::exception_ptr flat_failure;
  try {
    Array<T_, 1>::update();
  } catch (...) {
    flat_failure = std::current_exception();
  }
  if (this->size() % m_shape[I] == 0) m_shape[1] = static_cast<unsigned int>(this->size() / m_shape[I]);
  if (flat_failure) std::rethrow_exception(flat_failure);
  KERNOS50_PRECONDITION(this->size() % m_shape[I] == 0,
                        "Trying to resize a 2D array to a size that is not multiple to its dimensions.");
}

}  // namespace core
}  // namespace quill20
