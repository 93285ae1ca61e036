// The text of a read or write with a handle kind that a grid function does not accept.
#pragma once

#include <ostream>

#include "quill20/core/handle/Handles.h"

namespace quill20 {
namespace core {
namespace detail {

template <class H>
struct WrongHandleMessage {
  const H& handle;
  AcceptedHandles accepted;
};

template <class H>
std::ostream& operator<<(std::ostream& p_Stream, const WrongHandleMessage<H>& p_Message)
{
  return p_Stream << std::endl
                  << "Trying to access a grid function with the wrong handle type." << std::endl
                  << "Handle passed: " << AnyHandle(p_Message.handle) << " (" << handle_name<H>() << ")" << std::endl
                  << "Accepted handles: (" << p_Message.accepted << ")" << std::endl;
}

}  // namespace detail
}  // namespace core
}  // namespace quill20
