// A grid function whose value is the same constant everywhere; AlwaysOneGridFunction counts elements.
#pragma once

#include "quill20/core/grid_function/GenGridFunction.h"

namespace quill20 {
namespace core {

template <class T, int Value>
class StaticConstantGridFunctionImpl {
 public:
  using value_type = T;
  using result_type = T;
  using accepted_handles = GenAcceptableHandlesTraitPlusHandle1<InvalidHandle>;

  T get_unchecked(handle_t) const { return T(Value); }
  T get_checked(handle_t) const { return T(Value); }
  // Defined everywhere.
  handle_t number_of_elements() const { return Inf<handle_t>(); }
};

using AlwaysOneGridFunction = GridFunction<StaticConstantGridFunctionImpl<int, 1>, PassHandleMapper, is::Const>;

extern template class QUILL20_API GridFunctionCommon<PassHandleMapper, ITypeGridFunction<int>,
                                                     StaticConstantGridFunctionImpl<int, 1>, is::Const, int>;
extern template class QUILL20_API GridFunction<StaticConstantGridFunctionImpl<int, 1>, PassHandleMapper, is::Const>;

}  // namespace core
}  // namespace quill20
