// The one check macro: every precondition and postcondition failure of the system is raised here,
// with the condition text as written, a message built in a string stream, the file text and the line.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

#include "kernos50/Exceptions.h"
#include "kernos50/Export.h"

namespace kernos50 {
namespace detail {

// The file text of a check: its path under src/ (the build maps the prefix away), without a
// .h/.cpp suffix; .inl and .ext files keep theirs.
KERNOS50_VISIBLE std::string file_text(const char* p_Path);

}  // namespace detail
}  // namespace kernos50

// The message operand is a stream expression ("text" << value << std::endl ...), evaluated only on failure.
#define KERNOS50_RAISE_UNLESS(ExceptionType, condition_text, condition, message)                     \
  do {                                                                                              \
    if (!(condition)) {                                                                             \
      ::std::ostringstream kernos50_message_;                                                       \
      kernos50_message_ << message;                                                                 \
      throw ExceptionType(condition_text, kernos50_message_.str(),                                  \
                          ::kernos50::detail::file_text(__FILE__), static_cast<::std::uint64_t>(__LINE__)); \
    }                                                                                               \
  } while (false)

#define KERNOS50_PRECONDITION(condition, message) \
  KERNOS50_RAISE_UNLESS(::kernos50::IPreconditionException, #condition, condition, message)

#define KERNOS50_PRECONDITION_EQUAL(lhs, rhs, message)                                           \
  KERNOS50_RAISE_UNLESS(::kernos50::IPreconditionException, "(" #lhs ") == (" #rhs ")", (lhs) == (rhs), \
                        message)

#define KERNOS50_POSCONDITION(condition, message) \
  KERNOS50_RAISE_UNLESS(::kernos50::IPosconditionException, #condition, condition, message)
