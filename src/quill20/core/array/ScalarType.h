// Element types: the component type of an array's elements, its display name, and element traits.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "quill20/Export.h"
#include "quill20/vectors/RigidVector.h"

namespace quill20 {
namespace core {

enum ScalarType {
  stFloat32 = 0,
  stFloat64 = 1,
  stInt8 = 2,
  stInt16 = 3,
  stInt32 = 4,
  stInt64 = 5,
  stUInt8 = 6,
  stUInt16 = 7,
  stUInt32 = 8,
  stUInt64 = 9,
  stBool = 10,
  stNotAScalar = 11
};

// "float32", "int32", ...; "<unknown scalar type>" for stNotAScalar and values outside the enumeration.
QUILL20_API std::string scalar_type_name(ScalarType p_ScalarType);
// NumPy's type string of one component ("<f8", "|b1", ...); null for stNotAScalar and values outside.
QUILL20_API const char* numpy_type_string(ScalarType p_ScalarType);

// The shape of one element: {number of components, 1}.
using ElementShape = mtm::RigidVector<2, unsigned int>;

template <class T>
struct type_tag {
  using type = T;
};

// Scalar type and component count of an element type; anything unknown is not a scalar.
template <class T>
struct element_traits {
  using component_type = T;
  static constexpr ScalarType scalar_type = stNotAScalar;
  static constexpr unsigned int components = 1;
};

template <int N, class C>
struct element_traits<mtm::RigidVector<N, C>> {
  using component_type = C;
  static constexpr ScalarType scalar_type = element_traits<C>::scalar_type;
  static constexpr unsigned int components = N;
};

template <class T>
constexpr ElementShape element_shape_of()
{
  return ElementShape(element_traits<T>::components, 1u);
}

// The eleven scalar element types.
template <class T>
struct is_scalar_type : std::bool_constant<!mtm::is_rigid_vector<T>::value &&
                                           element_traits<T>::scalar_type != stNotAScalar> {};

// Elements whose components are signed numbers (scalars or vectors of them).
template <class T>
struct is_not_unsigned
    : std::bool_constant<element_traits<T>::scalar_type != stNotAScalar &&
                         std::is_signed_v<typename element_traits<T>::component_type>> {};

}  // namespace core
}  // namespace quill20

// After the traits: the lists name the enumerators.
#include "quill20/core/array/ElementTypes.h"
