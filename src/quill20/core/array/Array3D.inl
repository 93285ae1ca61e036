// Bodies of Array<T,3>; included only by the instantiating sources.
#include <exception>

#include "kernos50/Check.h"
#include "quill20/core/array/Array3D.h"

namespace quill20 {
namespace core {

namespace detail {

inline unsigned short shape_extent(unsigned int p_Value)
{
  const auto narrowed = static_cast<unsigned short>(p_Value);
  return narrowed == 0 ? 1 : narrowed;
}

}  // namespace detail

template <class T_>
Array<T_, 3>::Array(boost::shared_ptr<IArrayImpl> p_ArrayImplementation, ElementShape p_NI_NJ)
    : Array<T_, 1>(),
      m_NI_times_NJ(0),
      m_shape(detail::shape_extent(p_NI_NJ[0]), detail::shape_extent(p_NI_NJ[1]), 0)
{
  m_NI_times_NJ = std::uint64_t(m_shape[0]) * m_shape[1];
  this->set_implementation(std::move(p_ArrayImplementation));
}

template <class T_>
Array<T_, 3>::Array(const Array& p_Other)
    : Array<T_, 1>(), m_NI_times_NJ(p_Other.m_NI_times_NJ), m_shape(p_Other.m_shape[0], p_Other.m_shape[1], 0)
{
  this->set_implementation(p_Other.m_Impl);
}

template <class T_>
Array<T_, 3>& Array<T_, 3>::operator=(const Array& p_Other)
{
  if (this != &p_Other) {
    // A rejected exchange keeps the old storage, so it keeps the old shape as well.
    const std::uint64_t previous_ni_times_nj = m_NI_times_NJ;
    const Handle3 previous = m_shape;
    m_NI_times_NJ = p_Other.m_NI_times_NJ;
    m_shape = Handle3(p_Other.m_shape[0], p_Other.m_shape[1], 0);
    try {
      this->set_implementation(p_Other.m_Impl);
    } catch (...) {
      if (this->m_Impl != p_Other.m_Impl) {
        m_NI_times_NJ = previous_ni_times_nj;
        m_shape = previous;
      }
      throw;
    }
  }
  return *this;
}

template <class T_>
Array<T_, 3>::~Array() = default;

template <class T_>
std::uint64_t Array<T_, 3>::number_of_dimensions() const
{
  return 3;
}

template <class T_>
AnyHandle Array<T_, 3>::get_shape() const
{
  return AnyHandle(m_shape);
}

template <class T_>
void Array<T_, 3>::update()
{
  // nk follows the new size even when the flat refresh reports a fixed-shape conflict.
  std::exception_ptr flat_failure;
  try {
    Array<T_, 1>::update();
  } catch (...) {
    flat_failure = std::current_exception();
  }
  if (this->size() % m_NI_times_NJ == 0) m_shape[2] = static_cast<unsigned short>(this->size() / m_NI_times_NJ);
  if (flat_failure) std::rethrow_exception(flat_failure);
  KERNOS50_PRECONDITION(this->size() % m_NI_times_NJ == 0,
                        "Trying to resize a 3D array to a size that is not multiple to its dimensions.");
}

}  // namespace core
}  // namespace quill20
