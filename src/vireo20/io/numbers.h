// Numbers of a dump's data lines read in place, each exactly as Python's float() and int() read its
// text: the fast paths inline for the parsing loops, the rare forms (underscores, whole numbers
// written as floats, long digit strings) out of line.
#pragma once

#include <cmath>
#include <cstdint>
#include <system_error>

#include <fast_float/fast_float.h>

#include "vireo20/Export.h"

namespace vireo20 {
namespace io {

// Blanks separate values (as Python's split() and float() strip them); a newline ends a line. Every
// text the parsers read ends with a newline, so no loop needs a bound besides it.
struct CharClasses {
  unsigned char of[256];
  constexpr CharClasses() : of()
  {
    of[static_cast<unsigned char>(' ')] = 1;
    of[static_cast<unsigned char>('\t')] = 1;
    of[static_cast<unsigned char>('\r')] = 1;
    of[static_cast<unsigned char>('\v')] = 1;
    of[static_cast<unsigned char>('\f')] = 1;
    of[static_cast<unsigned char>('\n')] = 2;
  }
};
inline constexpr CharClasses char_classes{};

inline bool is_blank(char p_Char) { return char_classes.of[static_cast<unsigned char>(p_Char)] == 1; }
inline bool ends_value(char p_Char) { return char_classes.of[static_cast<unsigned char>(p_Char)] != 0; }

// The end of the value starting at p_Text (the first blank or newline after it).
inline const char* value_end(const char* p_Text)
{
  while (!ends_value(*p_Text)) ++p_Text;
  return p_Text;
}

// The rare forms; each answers the end of the value, or null when Python would refuse its text.
VIREO20_API const char* parse_real_slow(const char* p_Text, double& p_Value);
VIREO20_API const char* parse_integer_slow(const char* p_Text, std::int64_t& p_Value, bool p_WholeReals);

// The value starting at p_Text (not a blank) as float() reads it: signs, exponents, "inf",
// "infinity" and "nan" in any case, underscores between digits. p_Last bounds the text.
inline const char* parse_real(const char* p_Text, const char* p_Last, double& p_Value)
{
  const char* first = p_Text;
  if (*first == '+') {
    ++first;
    if (*first == '+' || *first == '-') return nullptr;
  }
  const fast_float::from_chars_result read = fast_float::from_chars(first, p_Last, p_Value);
  if (read.ec == std::errc() && ends_value(*read.ptr)) {
    // fast_float also takes C's "nan(chars)", which Python does not.
    if (std::isnan(p_Value) && read.ptr - (first + (*first == '-')) != 3) return nullptr;
    return read.ptr;
  }
  return parse_real_slow(p_Text, p_Value);
}

// The value starting at p_Text as int() reads it; with p_WholeReals, also a real number text whose
// value is a whole number within 64 bits ("3.0", "1e+06", as a float format writes integers).
inline const char* parse_integer(const char* p_Text, std::int64_t& p_Value, bool p_WholeReals = true)
{
  const char* next = p_Text;
  const bool negative = *next == '-';
  if (negative || *next == '+') ++next;
  const char* digits = next;
  std::uint64_t magnitude = 0;
  while (static_cast<unsigned char>(*next - '0') < 10) {
    magnitude = magnitude * 10 + static_cast<unsigned char>(*next - '0');
    ++next;
  }
  // Up to 18 digits cannot overflow; longer ones go the careful way.
  if (next != digits && next - digits <= 18 && ends_value(*next)) {
    p_Value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    return next;
  }
  return parse_integer_slow(p_Text, p_Value, p_WholeReals);
}

// Why a value was refused, in words for an error message: "is not a number", "is not an integer"
// or "is beyond the 64-bit integer range".
VIREO20_API const char* refusal(const char* p_Text, bool p_Integer);

}  // namespace io
}  // namespace vireo20
