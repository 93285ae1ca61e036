// Conversions between element types that are defined for every input: C++ leaves a floating value
// outside the target's range undefined, and results here must be the same on every run.
#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>

namespace quill20 {
namespace core {

// Truncates toward zero and keeps the low bits of the integer in the width of I; NaN and infinities
// give 0.
template <class I>
I truncated_wrapping(double p_Value)
{
  if (!std::isfinite(p_Value)) return I(0);
  constexpr double two_63 = 9223372036854775808.0;
  constexpr double two_64 = 18446744073709551616.0;
  double whole = std::fmod(std::trunc(p_Value), two_64);
  if (whole >= two_63) return static_cast<I>(static_cast<std::uint64_t>(whole - two_63) + (std::uint64_t(1) << 63));
  if (whole < -two_63) whole += two_64;
  return static_cast<I>(static_cast<std::uint64_t>(static_cast<std::int64_t>(whole)));
}

// A double stored into an element of type T: truncation toward zero for integers, != 0 for bool
// (NaN is true).
template <class T>
T from_double(double p_Value)
{
  if constexpr (std::is_same_v<T, bool>)
    return p_Value != 0.0;
  else if constexpr (std::is_floating_point_v<T>)
    return static_cast<T>(p_Value);
  else
    return truncated_wrapping<T>(p_Value);
}

// A scalar element read as a 32-bit int: floating values truncate toward zero.
template <class T>
int to_int32(T p_Value)
{
  if constexpr (std::is_floating_point_v<T>)
    return truncated_wrapping<int>(static_cast<double>(p_Value));
  else
    return static_cast<int>(p_Value);
}

}  // namespace core
}  // namespace quill20
