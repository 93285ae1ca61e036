// File texts of checks.
#include "kernos50/Check.h"

#include <cstring>

namespace kernos50 {
namespace detail {

std::string file_text(const char* p_Path)
{
  std::string text(p_Path ? p_Path : "");
  for (const char* suffix : {".h", ".cpp"}) {
    const std::size_t n = std::strlen(suffix);
    if (text.size() > n && text.compare(text.size() - n, n, suffix) == 0) {
      text.erase(text.size() - n);
      break;
    }
  }
  return text;
}

}  // namespace detail
}  // namespace kernos50
