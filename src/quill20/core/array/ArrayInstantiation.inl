// Explicit instantiation of the array families for the component types of one unit: the element
// list is split over QUILL20_INSTANTIATION_UNITS sources by component index.
#include <boost/preprocessor/arithmetic/mod.hpp>
#include <boost/preprocessor/comparison/equal.hpp>
#include <boost/preprocessor/control/iif.hpp>
#include <boost/preprocessor/tuple/eat.hpp>

#include "quill20/core/array/Array1D.ext"
#include "quill20/core/array/Array1D.inl"
#include "quill20/core/array/Array2D.inl"
#include "quill20/core/array/Array3D.inl"
#include "quill20/core/array/VectorArrayImpl.inl"

namespace quill20 {
namespace core {

#define QUILL20_DETAIL_INSTANTIATE_ARRAYS(...) \
  template class Array<__VA_ARGS__, 1>;         \
  template class Array<__VA_ARGS__, 2>;         \
  template class Array<__VA_ARGS__, 3>;
#define QUILL20_DETAIL_INSTANTIATE_STORAGE(...) template class VectorArrayImpl<__VA_ARGS__>;
#define QUILL20_DETAIL_INSTANTIATE_COMPONENT(C, SIZES)                        \
  QUILL20_ARRAY_ELEMENTS_OF(C, SIZES, QUILL20_DETAIL_INSTANTIATE_ARRAYS) \
  QUILL20_STORAGE_ELEMENTS_OF(C, QUILL20_DETAIL_INSTANTIATE_STORAGE)
#define QUILL20_DETAIL_UNIT_ENTRY(index, C, st, name, typestr, SIZES, ...)                                   \
  BOOST_PP_IIF(BOOST_PP_EQUAL(BOOST_PP_MOD(index, QUILL20_INSTANTIATION_UNITS), QUILL20_INSTANTIATION_UNIT), \
               QUILL20_DETAIL_INSTANTIATE_COMPONENT, BOOST_PP_TUPLE_EAT(2))                                  \
  (C, SIZES)

QUILL20_COMPONENT_TYPES(QUILL20_DETAIL_UNIT_ENTRY)

#undef QUILL20_DETAIL_UNIT_ENTRY
#undef QUILL20_DETAIL_INSTANTIATE_COMPONENT
#undef QUILL20_DETAIL_INSTANTIATE_STORAGE
#undef QUILL20_DETAIL_INSTANTIATE_ARRAYS

}  // namespace core
}  // namespace quill20
