// IHandleMapper: translates a handle a caller passes into the handle its data is stored under, for
// every pair of handle kinds; unchecked first, then checked.
#pragma once

#include "quill20/Export.h"
#include "quill20/core/handle/Handles.h"

namespace quill20 {
namespace core {

// X(input kind, output kind) for the sixteen pairs, inputs and outputs each from Handle4 to Handle1.
#define QUILL20_DETAIL_MAPPER_OUTPUTS(X, In) X(In, ::quill20::core::Handle4) X(In, ::quill20::core::Handle3) \
  X(In, ::quill20::core::Handle2) X(In, ::quill20::core::handle_t)
#define QUILL20_HANDLE_MAPPINGS(X)                                   \
  QUILL20_DETAIL_MAPPER_OUTPUTS(X, ::quill20::core::Handle4)         \
  QUILL20_DETAIL_MAPPER_OUTPUTS(X, ::quill20::core::Handle3)         \
  QUILL20_DETAIL_MAPPER_OUTPUTS(X, ::quill20::core::Handle2)         \
  QUILL20_DETAIL_MAPPER_OUTPUTS(X, ::quill20::core::handle_t)

class QUILL20_API IHandleMapper {
 public:
  virtual ~IHandleMapper();

#define QUILL20_DETAIL_DECLARE_UNCHECKED(In, Out) virtual void map_unchecked(const In& p_Input, Out& p_Output) const = 0;
#define QUILL20_DETAIL_DECLARE_CHECKED(In, Out) virtual void map(const In& p_Input, Out& p_Output) const = 0;
  QUILL20_HANDLE_MAPPINGS(QUILL20_DETAIL_DECLARE_UNCHECKED)
  QUILL20_HANDLE_MAPPINGS(QUILL20_DETAIL_DECLARE_CHECKED)
#undef QUILL20_DETAIL_DECLARE_CHECKED
#undef QUILL20_DETAIL_DECLARE_UNCHECKED
};

namespace detail {

// The failures of a pair a mapper does not support.
[[noreturn]] QUILL20_API void raise_unsupported_unchecked_mapping();
[[noreturn]] QUILL20_API void raise_unsupported_mapping();

}  // namespace detail

}  // namespace core
}  // namespace quill20
