// One unit of array registrations: the element types whose component index falls in this unit.
#include <boost/preprocessor/arithmetic/mod.hpp>
#include <boost/preprocessor/cat.hpp>
#include <boost/preprocessor/comparison/equal.hpp>
#include <boost/preprocessor/control/iif.hpp>
#include <boost/preprocessor/tuple/eat.hpp>

#include "wrap_array.inl"

namespace quill20 {
namespace bindings {

#define QUILL20_DETAIL_WRAP(...) wrap_array<__VA_ARGS__>();
#define QUILL20_DETAIL_WRAP_COMPONENT(C, SIZES) QUILL20_ARRAY_ELEMENTS_OF(C, SIZES, QUILL20_DETAIL_WRAP)
#define QUILL20_DETAIL_UNIT_ENTRY(index, C, st, name, typestr, SIZES, ...)                       \
  BOOST_PP_IIF(BOOST_PP_EQUAL(BOOST_PP_MOD(index, QUILL20_BINDING_UNITS), QUILL20_BINDING_UNIT), \
               QUILL20_DETAIL_WRAP_COMPONENT, BOOST_PP_TUPLE_EAT(2))                             \
  (C, SIZES)

void BOOST_PP_CAT(wrap_array_unit_, QUILL20_BINDING_UNIT)()
{
  QUILL20_COMPONENT_TYPES(QUILL20_DETAIL_UNIT_ENTRY)
}

#undef QUILL20_DETAIL_UNIT_ENTRY
#undef QUILL20_DETAIL_WRAP_COMPONENT
#undef QUILL20_DETAIL_WRAP

}  // namespace bindings
}  // namespace quill20
