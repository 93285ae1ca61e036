// The rare forms of dump numbers: underscores between digits, long digit strings, and whole numbers
// written as reals in integer columns.
#include "vireo20/io/numbers.h"

#include <algorithm>
#include <cstring>

namespace vireo20 {
namespace io {
namespace {

// Longer values than this are not numbers any dump writes; they are refused rather than copied.
constexpr std::size_t longest_value = 400;

bool is_digit(char p_Char) { return static_cast<unsigned char>(p_Char - '0') < 10; }

// The value copied to p_Copy without its underscores and closed by a newline, after checking
// Python's rule for them (each one between two digits). Answers the copy's length, or -1 when the
// rule is broken or the value is too long to be a number.
long copy_value(const char* p_Text, const char* p_End, char* p_Copy, bool& p_HadUnderscores)
{
  if (static_cast<std::size_t>(p_End - p_Text) > longest_value) return -1;
  long written = 0;
  p_HadUnderscores = false;
  for (const char* c = p_Text; c != p_End; ++c) {
    if (*c == '_') {
      if (c == p_Text || !is_digit(c[-1]) || c + 1 == p_End || !is_digit(c[1])) return -1;
      p_HadUnderscores = true;
      continue;
    }
    p_Copy[written++] = *c;
  }
  p_Copy[written] = '\n';
  return written;
}

// Sign and decimal digits only (no underscores), as int() reads them, within 64 bits. `rounded`: a
// whole real in exponent form with fewer significant digits than the integer has.
enum class Whole { yes, no, too_large, rounded };

Whole exact_integer(const char* p_Text, const char* p_End, std::int64_t& p_Value)
{
  const char* c = p_Text;
  const bool negative = *c == '-';
  if (negative || *c == '+') ++c;
  if (c == p_End) return Whole::no;
  for (const char* d = c; d != p_End; ++d) {
    if (!is_digit(*d)) return Whole::no;
  }
  while (c + 1 < p_End && *c == '0') ++c;
  if (p_End - c > 19) return Whole::too_large;
  std::uint64_t magnitude = 0;
  for (; c != p_End; ++c) magnitude = magnitude * 10 + static_cast<unsigned char>(*c - '0');
  const std::uint64_t limit = negative ? std::uint64_t(1) << 63 : (std::uint64_t(1) << 63) - 1;
  if (magnitude > limit) return Whole::too_large;
  p_Value = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
  return Whole::yes;
}

// A real whose value is whole and within 64 bits; p_Text holds p_Length characters and a newline.
Whole whole_real(const char* p_Text, long p_Length, std::int64_t& p_Value)
{
  double real = 0.0;
  if (parse_real(p_Text, p_Text + p_Length + 1, real) != p_Text + p_Length) return Whole::no;
  if (!std::isfinite(real) || std::trunc(real) != real) return Whole::no;
  // 2^63 is exact in a double; every whole double below it in magnitude fits.
  if (real < -9223372036854775808.0 || real >= 9223372036854775808.0) return Whole::too_large;
  p_Value = static_cast<std::int64_t>(real);
  // printf's %g writes 1234567 as 1.23457e+06, which reads back as another whole number: LAMMPS's
  // dump local writes atom ids so by default. An exponent with fewer digits before it than the
  // integer has cannot tell its last digits.
  const char* exponent = std::find_if(p_Text, p_Text + p_Length, [](char c) { return c == 'e' || c == 'E'; });
  if (exponent != p_Text + p_Length) {
    int written = 0;
    bool leading = true;
    for (const char* c = p_Text; c != exponent; ++c) {
      if (!is_digit(*c) || (leading && *c == '0')) continue;
      leading = false;
      ++written;
    }
    int digits = 0;
    for (std::uint64_t left = p_Value < 0 ? 0 - static_cast<std::uint64_t>(p_Value) : static_cast<std::uint64_t>(p_Value);
         left != 0; left /= 10)
      ++digits;
    if (written < digits) return Whole::rounded;
  }
  return Whole::yes;
}

Whole read_integer(const char* p_Text, std::int64_t& p_Value, bool p_WholeReals)
{
  char copy[longest_value + 2];
  bool had_underscores = false;
  const long length = copy_value(p_Text, value_end(p_Text), copy, had_underscores);
  if (length <= 0) return Whole::no;
  const Whole exact = exact_integer(copy, copy + length, p_Value);
  return exact != Whole::no || !p_WholeReals ? exact : whole_real(copy, length, p_Value);
}

}  // namespace

const char* parse_real_slow(const char* p_Text, double& p_Value)
{
  const char* end = value_end(p_Text);
  char copy[longest_value + 2];
  bool had_underscores = false;
  const long length = copy_value(p_Text, end, copy, had_underscores);
  // Without underscores the fast path has already said all there is to say.
  if (length <= 0 || !had_underscores) return nullptr;
  return parse_real(copy, copy + length + 1, p_Value) == copy + length ? end : nullptr;
}

const char* parse_integer_slow(const char* p_Text, std::int64_t& p_Value, bool p_WholeReals)
{
  return read_integer(p_Text, p_Value, p_WholeReals) == Whole::yes ? value_end(p_Text) : nullptr;
}

const char* refusal(const char* p_Text, bool p_Integer)
{
  if (!p_Integer) return "is not a number";
  std::int64_t ignored = 0;
  switch (read_integer(p_Text, ignored, true)) {
    case Whole::too_large:
      return "is beyond the 64-bit integer range";
    case Whole::rounded:
      return "may have lost its last digits (written with fewer significant digits than the integer has, as "
             "printf's %g writes a number of 7 digits or more): write the column with all its digits "
             "(dump_modify format)";
    default:
      return "is not an integer";
  }
}

}  // namespace io
}  // namespace vireo20
