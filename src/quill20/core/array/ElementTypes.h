// The element type lists, written once. They drive the explicit instantiations, the extern
// template declarations, the dispatch tables and the typed tests.
#pragma once

#include <cstddef>

#include <boost/mp11/algorithm.hpp>
#include <boost/mp11/list.hpp>

#include "quill20/core/array/ScalarType.h"

// X(index, component type, ScalarType enumerator, display name, NumPy type string of one component,
// vector sizes of its arrays, extra...), in the order of the enumeration; the index equals the
// enumerator's value. The names and type strings reach Python from here (quill20.SCALAR_TYPES).
#define QUILL20_COMPONENT_TYPES(X, ...)                                                         \
  X(0, float, stFloat32, "float32", "<f4", QUILL20_ALL_VECTOR_SIZES, __VA_ARGS__)               \
  X(1, double, stFloat64, "float64", "<f8", QUILL20_ALL_VECTOR_SIZES, __VA_ARGS__)              \
  X(2, signed char, stInt8, "int8", "|i1", QUILL20_ALL_VECTOR_SIZES, __VA_ARGS__)               \
  X(3, short, stInt16, "int16", "<i2", QUILL20_ALL_VECTOR_SIZES, __VA_ARGS__)                   \
  X(4, int, stInt32, "int32", "<i4", QUILL20_ALL_VECTOR_SIZES, __VA_ARGS__)                     \
  X(5, long long, stInt64, "int64", "<i8", QUILL20_ALL_VECTOR_SIZES, __VA_ARGS__)               \
  X(6, unsigned char, stUInt8, "uint8", "|u1", QUILL20_ALL_VECTOR_SIZES, __VA_ARGS__)           \
  X(7, unsigned short, stUInt16, "uint16", "<u2", QUILL20_ALL_VECTOR_SIZES, __VA_ARGS__)        \
  X(8, unsigned int, stUInt32, "uint32", "<u4", QUILL20_ALL_VECTOR_SIZES, __VA_ARGS__)          \
  X(9, unsigned long long, stUInt64, "uint64", "<u8", QUILL20_ALL_VECTOR_SIZES, __VA_ARGS__)    \
  X(10, bool, stBool, "bool", "|b1", QUILL20_STORAGE_VECTOR_SIZES, __VA_ARGS__)

// Vector sizes: arrays of numeric vectors exist for 2 to 9 components; in-memory storages and
// bool vectors for 2, 3, 4 and 9.
#define QUILL20_ALL_VECTOR_SIZES(M, ...) \
  M(2, __VA_ARGS__) M(3, __VA_ARGS__) M(4, __VA_ARGS__) M(5, __VA_ARGS__) \
  M(6, __VA_ARGS__) M(7, __VA_ARGS__) M(8, __VA_ARGS__) M(9, __VA_ARGS__)
#define QUILL20_STORAGE_VECTOR_SIZES(M, ...) M(2, __VA_ARGS__) M(3, __VA_ARGS__) M(4, __VA_ARGS__) M(9, __VA_ARGS__)

#define QUILL20_DETAIL_RIGID(N, X, C) X(::quill20::mtm::RigidVector<N, C>)

// X(element type) for every array element type with components C.
#define QUILL20_ARRAY_ELEMENTS_OF(C, SIZES, X) X(C) SIZES(QUILL20_DETAIL_RIGID, X, C)
// X(element type) for every in-memory storage element type with components C.
#define QUILL20_STORAGE_ELEMENTS_OF(C, X) X(C) QUILL20_STORAGE_VECTOR_SIZES(QUILL20_DETAIL_RIGID, X, C)

#define QUILL20_DETAIL_ARRAY_ENTRY(index, C, st, name, typestr, SIZES, X) QUILL20_ARRAY_ELEMENTS_OF(C, SIZES, X)
#define QUILL20_DETAIL_STORAGE_ENTRY(index, C, st, name, typestr, SIZES, X) QUILL20_STORAGE_ELEMENTS_OF(C, X)

// X(element type) for the 95 element types of Array<T,1>, Array<T,2> and Array<T,3>.
#define QUILL20_ARRAY_ELEMENT_TYPES(X) QUILL20_COMPONENT_TYPES(QUILL20_DETAIL_ARRAY_ENTRY, X)
// X(element type) for the 55 element types of VectorArrayImpl<T>.
#define QUILL20_STORAGE_ELEMENT_TYPES(X) QUILL20_COMPONENT_TYPES(QUILL20_DETAIL_STORAGE_ENTRY, X)

// The type strings say little-endian ("<"), as NumPy writes them on this platform.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "NumPy type strings of the list are little-endian");

namespace quill20 {
namespace core {

#define QUILL20_DETAIL_CHECK_INDEX(index, C, st, name, typestr, ...)                                  \
  static_assert(index == st && element_traits<C>::scalar_type == st, "component list out of order"); \
  static_assert(sizeof(C) == std::size_t(typestr[2] - '0'), "a NumPy type string names another size");
#define QUILL20_DETAIL_SCALAR_TRAITS(index, C, st, ...)   \
  template <>                                             \
  struct element_traits<C> {                              \
    using component_type = C;                             \
    static constexpr ScalarType scalar_type = st;         \
    static constexpr unsigned int components = 1;         \
  };
QUILL20_COMPONENT_TYPES(QUILL20_DETAIL_SCALAR_TRAITS)
QUILL20_COMPONENT_TYPES(QUILL20_DETAIL_CHECK_INDEX)
#undef QUILL20_DETAIL_SCALAR_TRAITS
#undef QUILL20_DETAIL_CHECK_INDEX

// The same lists as type lists, for typed tests and compile-time dispatch.
#define QUILL20_DETAIL_LIST_ITEM(...) , __VA_ARGS__
using ArrayElementTypes = boost::mp11::mp_pop_front<boost::mp11::mp_list<void QUILL20_ARRAY_ELEMENT_TYPES(QUILL20_DETAIL_LIST_ITEM)>>;
using StorageElementTypes = boost::mp11::mp_pop_front<boost::mp11::mp_list<void QUILL20_STORAGE_ELEMENT_TYPES(QUILL20_DETAIL_LIST_ITEM)>>;
#define QUILL20_DETAIL_COMPONENT_ITEM(index, C, ...) , C
using ScalarTypes = boost::mp11::mp_pop_front<boost::mp11::mp_list<void QUILL20_COMPONENT_TYPES(QUILL20_DETAIL_COMPONENT_ITEM)>>;
#undef QUILL20_DETAIL_COMPONENT_ITEM
#undef QUILL20_DETAIL_LIST_ITEM

static_assert(boost::mp11::mp_size<ArrayElementTypes>::value == 95, "95 element types, 285 array classes");
static_assert(boost::mp11::mp_size<StorageElementTypes>::value == 55, "55 in-memory storages");
static_assert(boost::mp11::mp_size<ScalarTypes>::value == 11, "eleven scalar types");

// Calls p_Function(type_tag<C>{}) with the component type C of a scalar type; stNotAScalar and
// values outside the enumeration call p_Otherwise().
template <class F, class G>
decltype(auto) dispatch_scalar_type(ScalarType p_ScalarType, F&& p_Function, G&& p_Otherwise)
{
  switch (p_ScalarType) {
#define QUILL20_DETAIL_CASE(index, C, st, ...) \
  case st: return p_Function(type_tag<C>{});
    QUILL20_COMPONENT_TYPES(QUILL20_DETAIL_CASE)
#undef QUILL20_DETAIL_CASE
    default: return p_Otherwise();
  }
}

}  // namespace core
}  // namespace quill20
