#include "vireo20/io/TextValues.h"

#include <system_error>

#include "vireo20/io/numbers.h"

namespace vireo20 {
namespace io {

const char* read_text_values(const char* p_Text, const char* p_End, std::int64_t p_Count, TextValueKind p_Kind,
                             void* p_Out, std::int64_t& p_Read)
{
  const char* at = p_Text;
  for (p_Read = 0; p_Read < p_Count; ++p_Read) {
    while (at < p_End && ends_value(*at)) ++at;
    if (at == p_End) return nullptr;
    const char* next = nullptr;
    switch (p_Kind) {
      case TextValueKind::real64:
        next = parse_real(at, p_End, static_cast<double*>(p_Out)[p_Read]);
        break;
      case TextValueKind::real32: {
        // Rounded once, from the text, as strtof does: through a double it could round twice.
        float value;
        const fast_float::from_chars_result read = fast_float::from_chars(at + (*at == '+'), p_End, value);
        next = read.ec == std::errc() && ends_value(*read.ptr) ? read.ptr : nullptr;
        if (next != nullptr) static_cast<float*>(p_Out)[p_Read] = value;
        break;
      }
      case TextValueKind::int64:
        next = parse_integer(at, static_cast<std::int64_t*>(p_Out)[p_Read], false);
        break;
      case TextValueKind::skip:
        next = value_end(at);
        break;
    }
    if (next == nullptr) return nullptr;
    at = next;
  }
  return at;
}

}  // namespace io
}  // namespace vireo20
