// The grid-function type lists, written once. They drive the explicit instantiations, the extern
// template declarations, the topology's dispatch tables (array conversion and histogram, tried in
// list order) and the typed tests.
#pragma once

#include <boost/mp11/algorithm.hpp>
#include <boost/mp11/list.hpp>

#include "quill20/core/grid_function/ArrayGridFunctionImpl.h"
#include "quill20/core/grid_function/GenGridFunction.h"

// X(value type) of the array-held grid functions that the dispatch recognises, in dispatch order.
#define QUILL20_ARRAY_GRID_FUNCTION_DISPATCH_TYPES(X)                                        \
  X(double) X(float) X(int) X(unsigned int) X(short) X(unsigned short) X(signed char)        \
  X(unsigned char) X(::quill20::mtm::RigidVector<3, unsigned short>)                          \
  X(::quill20::mtm::RigidVector<3, double>) X(::quill20::mtm::RigidVector<4, unsigned short>) \
  X(::quill20::mtm::RigidVector<6, double>) X(::quill20::mtm::RigidVector<9, double>) X(bool)

// X(value type) of every array-held grid function built: the dispatched ones, the selection
// mapper tables (unsigned 64-bit) and int64, so that every scalar type has one.
#define QUILL20_ARRAY_GRID_FUNCTION_TYPES(X) \
  QUILL20_ARRAY_GRID_FUNCTION_DISPATCH_TYPES(X) X(unsigned long long) X(long long)

// X(read type) of the typed interfaces ITypeGridFunction<T> that the dispatch recognises after the
// array-held ones, in dispatch order.
#define QUILL20_TYPE_GRID_FUNCTION_DISPATCH_TYPES(X)                                                        \
  X(double) X(float) X(int) X(unsigned int) X(unsigned long long) X(short) X(unsigned short)                  \
  X(signed char) X(unsigned char) X(::quill20::mtm::RigidVector<3, double>)                                   \
  X(const ::quill20::mtm::RigidVector<3, double>&) X(::quill20::mtm::RigidVector<2, double>)                  \
  X(const ::quill20::mtm::RigidVector<2, double>&) X(const ::quill20::mtm::RigidVector<3, unsigned short>&)   \
  X(const ::quill20::mtm::RigidVector<4, unsigned short>&) X(::quill20::mtm::RigidVector<6, double>)          \
  X(const ::quill20::mtm::RigidVector<6, double>&) X(::quill20::mtm::RigidVector<9, double>)                  \
  X(const ::quill20::mtm::RigidVector<9, double>&) X(bool)

namespace quill20 {
namespace core {

// The writable array-held grid function of values T with the pass mapper.
template <class T>
using ArrayGridFunction =
    GridFunction<ArrayGridFunctionImpl<Array<T, 1>, ArrayTraits<Array<T, 1>>>, PassHandleMapper, is::Writable>;

template <class T>
using ArrayGridFunctionCommon =
    GridFunctionCommon<PassHandleMapper, grid_function_interface_t<ArrayGridFunctionImpl<Array<T, 1>>, is::Writable>,
                       ArrayGridFunctionImpl<Array<T, 1>>, is::Writable,
                       typename ArrayGridFunctionImpl<Array<T, 1>>::result_type>;

#define QUILL20_DETAIL_LIST_ITEM(...) , __VA_ARGS__
using ArrayGridFunctionDispatchTypes =
    boost::mp11::mp_pop_front<boost::mp11::mp_list<void QUILL20_ARRAY_GRID_FUNCTION_DISPATCH_TYPES(QUILL20_DETAIL_LIST_ITEM)>>;
using ArrayGridFunctionTypes =
    boost::mp11::mp_pop_front<boost::mp11::mp_list<void QUILL20_ARRAY_GRID_FUNCTION_TYPES(QUILL20_DETAIL_LIST_ITEM)>>;
using TypeGridFunctionDispatchTypes =
    boost::mp11::mp_pop_front<boost::mp11::mp_list<void QUILL20_TYPE_GRID_FUNCTION_DISPATCH_TYPES(QUILL20_DETAIL_LIST_ITEM)>>;
#undef QUILL20_DETAIL_LIST_ITEM

static_assert(boost::mp11::mp_size<ArrayGridFunctionDispatchTypes>::value == 14, "14 array-held dispatch types");
static_assert(boost::mp11::mp_size<TypeGridFunctionDispatchTypes>::value == 20, "20 typed-interface dispatch types");

// Whether the topology's dispatch knows GF: an array-held grid function or a typed interface of the lists.
template <class GF>
struct is_dispatched_grid_function : std::false_type {};
#define QUILL20_DETAIL_DISPATCHED(...) \
  template <>                          \
  struct is_dispatched_grid_function<__VA_ARGS__> : std::true_type {};
#define QUILL20_DETAIL_DISPATCHED_ARRAY(...) QUILL20_DETAIL_DISPATCHED(ArrayGridFunction<__VA_ARGS__>)
#define QUILL20_DETAIL_DISPATCHED_TYPED(...) QUILL20_DETAIL_DISPATCHED(ITypeGridFunction<__VA_ARGS__>)
QUILL20_ARRAY_GRID_FUNCTION_DISPATCH_TYPES(QUILL20_DETAIL_DISPATCHED_ARRAY)
QUILL20_TYPE_GRID_FUNCTION_DISPATCH_TYPES(QUILL20_DETAIL_DISPATCHED_TYPED)
#undef QUILL20_DETAIL_DISPATCHED_TYPED
#undef QUILL20_DETAIL_DISPATCHED_ARRAY
#undef QUILL20_DETAIL_DISPATCHED

// Instantiated in the library, in GridFunctionInstantiation.
#define QUILL20_DETAIL_EXTERN_GRID_FUNCTION(...)                                    \
  extern template class QUILL20_API GridFunctionCommon<                             \
      PassHandleMapper, grid_function_interface_t<ArrayGridFunctionImpl<Array<__VA_ARGS__, 1>>, is::Writable>, \
      ArrayGridFunctionImpl<Array<__VA_ARGS__, 1>>, is::Writable,                   \
      typename ArrayGridFunctionImpl<Array<__VA_ARGS__, 1>>::result_type>;          \
  extern template class QUILL20_API                                                 \
      GridFunction<ArrayGridFunctionImpl<Array<__VA_ARGS__, 1>>, PassHandleMapper, is::Writable>;
QUILL20_ARRAY_GRID_FUNCTION_TYPES(QUILL20_DETAIL_EXTERN_GRID_FUNCTION)
#undef QUILL20_DETAIL_EXTERN_GRID_FUNCTION

}  // namespace core
}  // namespace quill20
