// Explicit instantiation of the VTK storages of one unit: the VTK classes are split over
// QUILL20_VTK_INSTANTIATION_UNITS sources by their index in the list, each with its nine tuple sizes.
#include <boost/preprocessor/arithmetic/mod.hpp>
#include <boost/preprocessor/comparison/equal.hpp>
#include <boost/preprocessor/control/iif.hpp>
#include <boost/preprocessor/tuple/eat.hpp>

#include "quill20/vtk/VtkArrayImpl.inl"

namespace quill20 {
namespace vtkex {

#define QUILL20_DETAIL_INSTANTIATE_VTK(N, V) template class VtkArrayImpl<::V, N>;
#define QUILL20_DETAIL_VTK_UNIT_ENTRY(index, V, C, st, ...)                                                   \
  BOOST_PP_IIF(BOOST_PP_EQUAL(BOOST_PP_MOD(index, QUILL20_VTK_INSTANTIATION_UNITS), QUILL20_VTK_INSTANTIATION_UNIT), \
               QUILL20_VTK_TUPLE_SIZES, BOOST_PP_TUPLE_EAT(2))                                                \
  (QUILL20_DETAIL_INSTANTIATE_VTK, V)

QUILL20_VTK_ARRAY_CLASSES(QUILL20_DETAIL_VTK_UNIT_ENTRY)

#undef QUILL20_DETAIL_VTK_UNIT_ENTRY
#undef QUILL20_DETAIL_INSTANTIATE_VTK

}  // namespace vtkex
}  // namespace quill20
