// Explicit instantiation of the array-held grid functions of the type list.
#include "quill20/core/grid_function/GridFunctionTypes.h"

namespace quill20 {
namespace core {

#define QUILL20_DETAIL_INSTANTIATE_GRID_FUNCTION(...)                              \
  template class GridFunctionCommon<                                               \
      PassHandleMapper, grid_function_interface_t<ArrayGridFunctionImpl<Array<__VA_ARGS__, 1>>, is::Writable>, \
      ArrayGridFunctionImpl<Array<__VA_ARGS__, 1>>, is::Writable,                  \
      typename ArrayGridFunctionImpl<Array<__VA_ARGS__, 1>>::result_type>;         \
  template class GridFunction<ArrayGridFunctionImpl<Array<__VA_ARGS__, 1>>, PassHandleMapper, is::Writable>;
QUILL20_ARRAY_GRID_FUNCTION_TYPES(QUILL20_DETAIL_INSTANTIATE_GRID_FUNCTION)
#undef QUILL20_DETAIL_INSTANTIATE_GRID_FUNCTION

}  // namespace core
}  // namespace quill20

#include "quill20/core/grid_function/StaticConstantGridFunctionImpl.h"

namespace quill20 {
namespace core {

template class GridFunctionCommon<PassHandleMapper, ITypeGridFunction<int>, StaticConstantGridFunctionImpl<int, 1>,
                                  is::Const, int>;
template class GridFunction<StaticConstantGridFunctionImpl<int, 1>, PassHandleMapper, is::Const>;

}  // namespace core
}  // namespace quill20
