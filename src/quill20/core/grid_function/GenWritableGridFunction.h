// The write side of the generic grid function: a write with a handle kind it does not accept.
#pragma once

#include <cstdlib>

#include "kernos50/Check.h"
#include "quill20/core/grid_function/WrongHandle.h"

namespace quill20 {
namespace core {
namespace detail {

template <class Accepted>
struct WritableHandleCheck {
  template <class H>
  using accepts = typename Accepted::template accepts<H>;

  // Reached only for kinds outside Accepted.
  template <class HandleType_>
  [[noreturn]] static void reject(const HandleType_& p_Handle)
  {
    KERNOS50_PRECONDITION(accepts<HandleType_>::value,
                          (WrongHandleMessage<HandleType_>{p_Handle, AcceptedHandles{Accepted::value}}));
    std::abort();
  }
};

}  // namespace detail
}  // namespace core
}  // namespace quill20
