// Messages of the library's data errors and availability failures.
#include "quill20/core/Quill20Error.h"

#include "quill20/core/IAvailabilityException.h"

namespace quill20 {
namespace core {

IAvailabilityException::IAvailabilityException(const std::string& p_Message, const std::string& p_File,
                                               std::uint64_t p_Line)
    : kernos50::IHeaderException(p_Message, p_File, p_Line)
{
}
IAvailabilityException::IAvailabilityException(const IAvailabilityException& p_Other) = default;
IAvailabilityException::~IAvailabilityException() = default;

Quill20Error::~Quill20Error() = default;

const char* Quill20Error::message_or_fallback(const char* p_CaughtText, const char* p_NullText) const noexcept
{
  try {
    if (const char* text = obtain_message()) return text;
    return p_NullText;
  } catch (...) {
    return p_CaughtText;
  }
}

OutOfRangeError::OutOfRangeError(const AnyHandle& p_Index, const AnyHandle& p_Lower, const AnyHandle& p_Upper)
    : m_Index(p_Index), m_Lower(p_Lower), m_Upper(p_Upper)
{
}
OutOfRangeError::OutOfRangeError(const OutOfRangeError& p_Other) = default;
OutOfRangeError::~OutOfRangeError() = default;

const char* OutOfRangeError::what() const noexcept { return message_or_fallback("Caught exception while generating the message for exception OutOfRangeError",
                              "Generated null message for exception OutOfRangeError"); }

void OutOfRangeError::generate_message() const
{
  message_stream() << "Index (" << m_Index << ") out of range (" << m_Lower << " <= index < " << m_Upper
                   << ").";
}

WrongNumberOfVerticesError::WrongNumberOfVerticesError(std::uint64_t p_Index, std::uint64_t p_Count)
    : m_Index(p_Index), m_Count(p_Count)
{
}
WrongNumberOfVerticesError::WrongNumberOfVerticesError(const WrongNumberOfVerticesError& p_Other) = default;
WrongNumberOfVerticesError::~WrongNumberOfVerticesError() = default;

const char* WrongNumberOfVerticesError::what() const noexcept
{
  return message_or_fallback("Caught exception while generating the message for exception WrongNumberOfVerticesError",
                              "Generated null message for exception WrongNumberOfVerticesError");
}

void WrongNumberOfVerticesError::generate_message() const
{
  message_stream() << "Number of vertices specified at index " << m_Index << " (" << m_Count
                   << ") is invalid.";
}

}  // namespace core
}  // namespace quill20
