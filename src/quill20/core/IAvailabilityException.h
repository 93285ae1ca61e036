// Failures of interface operations that a concrete class does not offer.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <typeinfo>

#include "kernos50/Check.h"
#include "kernos50/Exceptions.h"
#include "kernos50/TypeName.h"
#include "quill20/Export.h"

namespace quill20 {
namespace core {

class QUILL20_API IAvailabilityException : public kernos50::IHeaderException {
 public:
  IAvailabilityException(const std::string& p_Message, const std::string& p_File, std::uint64_t p_Line);
  IAvailabilityException(const IAvailabilityException& p_Other);
  ~IAvailabilityException() override;
};

// The two wordings of an availability failure.
constexpr const char* not_available_wording = " is not available for ";
constexpr const char* not_implemented_wording = " is not implemented yet for ";

}  // namespace core
}  // namespace quill20

// Raises IAvailabilityException: the signature of the calling operation, the wording, the run-time
// type name of p_Object, then the optional tail (a stream expression, may be "").
#define QUILL20_AVAILABILITY_FAILURE(wording, object, tail)                                        \
  do {                                                                                            \
    ::std::ostringstream quill20_message_;                                                        \
    quill20_message_ << __PRETTY_FUNCTION__ << (wording) << ::kernos50::type_name(typeid(object)) \
                     << tail;                                                                     \
    throw ::quill20::core::IAvailabilityException(                                                \
        quill20_message_.str(), ::kernos50::detail::file_text(__FILE__),                          \
        static_cast<::std::uint64_t>(__LINE__));                                                  \
  } while (false)
