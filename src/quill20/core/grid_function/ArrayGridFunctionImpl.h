// ArrayGridFunctionImpl: grid-function values held in an Array<T,1>, one per element, indexed by
// the element's Handle1.
#pragma once

#include <cstdint>
#include <type_traits>

#include <boost/shared_ptr.hpp>

#include "quill20/core/array/Array1D.h"
#include "quill20/core/handle/Handles.h"

namespace quill20 {
namespace core {

template <class A>
struct ArrayTraits;

template <class T>
struct ArrayTraits<Array<T, 1>> {
  using value_type = T;
  // Vector elements are read by reference, scalars by value; the grid functions of vector values
  // therefore implement ITypeGridFunction<const T&>, the form the conversion registry lists.
  using result_type = std::conditional_t<mtm::is_rigid_vector<T>::value, const T&, T>;
};

template <class A, class Traits = ArrayTraits<A>>
class ArrayGridFunctionImpl {
 public:
  using array_type = A;
  using value_type = typename Traits::value_type;
  using result_type = typename Traits::result_type;
  using accepted_handles = GenAcceptableHandlesTraitPlusHandle1<InvalidHandle>;

  ArrayGridFunctionImpl() = default;
  explicit ArrayGridFunctionImpl(boost::shared_ptr<IArrayImpl> p_Storage) : m_Array(std::move(p_Storage)) {}

  result_type get_unchecked(handle_t p_Handle) const { return m_Array[p_Handle]; }
  // The array's bounds check: OutOfRangeError outside the array.
  result_type get_checked(handle_t p_Handle) const { return m_Array.at(static_cast<std::int64_t>(p_Handle)); }
  void set(handle_t p_Handle, const value_type& p_Value) { m_Array[p_Handle] = p_Value; }
  handle_t number_of_elements() const { return m_Array.size(); }
  void make_unique() { m_Array.make_unique(); }

  A* array() { return &m_Array; }
  const A* array() const { return &m_Array; }

 private:
  A m_Array;
};

}  // namespace core
}  // namespace quill20
