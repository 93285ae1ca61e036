// GenHandleMapper<Impl, Traits>: all 32 mapper operations from an implementation and the traits
// that say which pairs it maps; the other pairs fail. The pass mapper returns handles unchanged.
#pragma once

#include <type_traits>

#include "quill20/core/mapper/IHandleMapper.h"

namespace quill20 {
namespace core {

template <class Impl, class Traits>
class GenHandleMapper : public IHandleMapper, public Impl {
 public:
  using Impl::Impl;
  GenHandleMapper() = default;

#define QUILL20_DETAIL_DEFINE_MAPPING(In, Out)                                               \
  void map_unchecked(const In& p_Input, Out& p_Output) const override                          \
  {                                                                                            \
    if constexpr (Traits::template supports<In, Out>::value)                                   \
      Impl::map_unchecked(p_Input, p_Output);                                                  \
    else                                                                                       \
      detail::raise_unsupported_unchecked_mapping();                                           \
  }                                                                                            \
  void map(const In& p_Input, Out& p_Output) const override                                    \
  {                                                                                            \
    if constexpr (Traits::template supports<In, Out>::value)                                   \
      Impl::map(p_Input, p_Output);                                                            \
    else                                                                                       \
      detail::raise_unsupported_mapping();                                                     \
  }
  QUILL20_HANDLE_MAPPINGS(QUILL20_DETAIL_DEFINE_MAPPING)
#undef QUILL20_DETAIL_DEFINE_MAPPING
};

struct PassHandleMapperImpl {
  template <class H>
  void map_unchecked(const H& p_Input, H& p_Output) const
  {
    p_Output = p_Input;
  }
  template <class H>
  void map(const H& p_Input, H& p_Output) const
  {
    p_Output = p_Input;
  }
};

// Each kind to itself.
struct PassAcceptableHandleMappingsTrait {
  template <class In, class Out>
  using supports = std::is_same<In, Out>;
};

using PassHandleMapper = GenHandleMapper<PassHandleMapperImpl, PassAcceptableHandleMappingsTrait>;

}  // namespace core
}  // namespace quill20
