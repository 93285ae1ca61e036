// Bodies of Array<T,1>: attaching and detaching storage, element-wise operations, checked access.
// Included only by the instantiating sources.
#include <cmath>
#include <cstring>
#include <exception>
#include <iostream>
#include <type_traits>

#include "kernos50/Check.h"
#include "quill20/core/Quill20Error.h"
#include "quill20/core/array/Array1D.h"
#include "quill20/core/array/IArrayImplFactory.h"
#include "quill20/core/array/NumericConversions.h"
#include "quill20/core/array/VectorArrayImpl.h"

namespace quill20 {
namespace core {

namespace detail {

// Two's-complement negation for integers (no overflow trap), sign flip for floating values.
template <class C>
C negated(C p_Value)
{
  if constexpr (std::is_floating_point_v<C>)
    return -p_Value;
  else
    return static_cast<C>(static_cast<std::make_unsigned_t<C>>(0) - static_cast<std::make_unsigned_t<C>>(p_Value));
}

template <class T>
T scaled(T p_Value, double p_Factor)
{
  if constexpr (std::is_same_v<T, bool>)
    return static_cast<double>(p_Value) * p_Factor != 0.0;
  else if constexpr (std::is_same_v<T, float>)
    return static_cast<float>(static_cast<double>(p_Value) * p_Factor);
  else if constexpr (std::is_same_v<T, double>)
    return p_Value * p_Factor;
  else
    return truncated_wrapping<T>(static_cast<double>(p_Value) * p_Factor);
}

}  // namespace detail

template <class T_>
Array<T_, 1>::Array() : m_Data(nullptr), m_Size(0), m_IsFixedShape(false), m_Margin(0)
{
}

template <class T_>
Array<T_, 1>::Array(std::uint64_t p_Size) : Array()
{
  set_implementation(boost::shared_ptr<IArrayImpl>(new VectorArrayImpl<T_>(p_Size)));
}

template <class T_>
Array<T_, 1>::Array(boost::shared_ptr<IArrayImpl> p_ArrayImplementation) : Array()
{
  using value_type = T_;
  KERNOS50_PRECONDITION(p_ArrayImplementation, "Cannot view an empty array implementation.");
  KERNOS50_PRECONDITION(p_ArrayImplementation->element_size() == sizeof(value_type),
                        std::endl
                            << "Array implementation have a different element type (or tuple size)." << std::endl
                            << "Element size for Array: " << sizeof(T_) << "\n"
                            << "Element size for Array Implementation: " << p_ArrayImplementation->element_size()
                            << ".");
  m_Impl = std::move(p_ArrayImplementation);
  add_observation(m_Impl.get(), this);
  update();
}

template <class T_>
Array<T_, 1>::Array(const Array& p_Other) : Array()
{
  set_implementation(p_Other.m_Impl);
}

template <class T_>
Array<T_, 1>& Array<T_, 1>::operator=(const Array& p_Other)
{
  set_implementation(p_Other.m_Impl);
  return *this;
}

template <class T_>
Array<T_, 1>::~Array()
{
  if (m_Impl) {
    try {
      remove_observation(m_Impl.get(), this);
      m_Impl.reset();
    } catch (const std::exception& e) {
      std::cerr << "Exception thrown while destroying Array:" << std::endl << e.what();
    } catch (...) {
      std::cerr << "Unknown exception thrown while destroying Array." << std::endl;
    }
  }
  m_Data = nullptr;
}

template <class T_>
std::uint64_t Array<T_, 1>::number_of_dimensions() const
{
  return 1;
}

template <class T_>
ScalarType Array<T_, 1>::scalar_type() const
{
  return element_traits<T_>::scalar_type;
}

template <class T_>
AnyHandle Array<T_, 1>::get_shape() const
{
  return AnyHandle(handle_t(m_Size));
}

template <class T_>
bool Array<T_, 1>::operator==(const IArray& p_Other) const
{
  if (this == &p_Other) return true;
  const auto* other = dynamic_cast<const Array<T_, 1>*>(&p_Other);
  if (!other || other->size() != size()) return false;
  if (other->m_Data == m_Data) return true;
  return std::memcmp(m_Data, other->m_Data, size() * sizeof(T_)) == 0;
}

template <class T_>
bool Array<T_, 1>::operator!=(const IArray& p_Other) const
{
  return !(*this == p_Other);
}

template <class T_>
void Array<T_, 1>::make_unique()
{
  if (m_Impl) set_implementation(boost::shared_ptr<IArrayImpl>(m_Impl->clone()));
}

template <class T_>
void Array<T_, 1>::set_fixed_shape()
{
  m_IsFixedShape = true;
}

template <class T_>
void Array<T_, 1>::set_implementation(boost::shared_ptr<IArrayImpl> p_Implementation)
{
  if (!p_Implementation) {
    reset();
    return;
  }
  AnyHandle shape(handle_t(0));
  p_Implementation->get_data(shape);
  const std::uint64_t new_size = shape.element_count() - 2 * std::uint64_t(m_Margin);
  KERNOS50_PRECONDITION(!this->m_IsFixedShape || new_size == this->m_Size, "Trying to reset an array with fixed shape.");
  release();
  m_Impl = std::move(p_Implementation);
  add_observation(m_Impl.get(), this);
  update();
}

template <class T_>
void Array<T_, 1>::release()
{
  if (!m_Impl && !m_Data) return;
  if (m_Impl) remove_observation(m_Impl.get(), this);
  m_Impl.reset();
  m_Data = nullptr;
  m_Size = 0;
  m_Margin = 0;
}

template <class T_>
void Array<T_, 1>::reset()
{
  KERNOS50_PRECONDITION(!this->m_IsFixedShape || this->size() == 0, "Trying to reset an array with fixed shape.");
  release();
}

template <class T_>
boost::shared_ptr<IArrayImpl> Array<T_, 1>::get_implementation() const
{
  return m_Impl;
}

template <class T_>
boost::shared_ptr<IArrayImpl> Array<T_, 1>::get_implementation()
{
  return m_Impl;
}

template <class T_>
void Array<T_, 1>::negate()
{
  KERNOS50_PRECONDITION(is_not_unsigned<T_>::value,
                        "Error: trying to negate an unsigned array or an array that is not scalar.");
  if constexpr (is_not_unsigned<T_>::value) {
    using C = typename element_traits<T_>::component_type;
    C* components = reinterpret_cast<C*>(m_Data);
    const std::uint64_t count = m_Size * element_traits<T_>::components;
    for (std::uint64_t i = 0; i < count; ++i) components[i] = detail::negated(components[i]);
  }
}

template <class T_>
void Array<T_, 1>::scale(double p_Factor)
{
  KERNOS50_PRECONDITION(is_scalar_type<T_>::value, "Error: trying to scale an array that is not scalar.");
  if constexpr (is_scalar_type<T_>::value) {
    T_* values = m_Data;
    for (std::uint64_t i = 0; i < m_Size; ++i) values[i] = detail::scaled(values[i], p_Factor);
  }
}

template <class T_>
IArrayImplFactory& Array<T_, 1>::factory() const
{
  KERNOS50_PRECONDITION(m_Impl, "This array does not have an internal implementation.");
  return m_Impl->factory();
}

template <class T_>
unsigned int Array<T_, 1>::implementation_use_count() const
{
  return static_cast<unsigned int>(m_Impl.use_count());
}

template <class T_>
bool Array<T_, 1>::is_implementation_unique() const
{
  return implementation_use_count() == 1;
}

template <class T_>
ElementShape Array<T_, 1>::element_shape() const
{
  return element_shape_of<T_>();
}

template <class T_>
void Array<T_, 1>::initialize(const IArrayImplFactory& p_Factory, std::uint64_t p_InitialSize)
{
  KERNOS50_PRECONDITION(!this->m_IsFixedShape || p_InitialSize == this->m_Size,
                        "Trying to reset an array with fixed shape.");
  set_implementation(boost::shared_ptr<IArrayImpl>(
      p_Factory.create(element_traits<T_>::scalar_type, element_shape_of<T_>(), p_InitialSize)));
}

template <class T_>
T_& Array<T_, 1>::at(std::int64_t p_Index)
{
  const std::int64_t margin = m_Margin;
  if (p_Index < -margin || p_Index >= static_cast<std::int64_t>(m_Size) + margin)
    throw OutOfRangeError(handle_t(p_Index), handle_t(-margin), handle_t(m_Size + m_Margin));
  return m_Data[p_Index];
}

template <class T_>
const T_& Array<T_, 1>::at(std::int64_t p_Index) const
{
  return const_cast<Array&>(*this).at(p_Index);
}

}  // namespace core
}  // namespace quill20
