// RigidVector<N,T>: exactly N components of T, stored contiguously, no heap, no virtual operations.
#pragma once

#include <cstddef>
#include <cstdio>
#include <ostream>
#include <type_traits>

#include "quill20/Export.h"

namespace quill20 {
namespace mtm {

// Visible from every module, so that templates instantiated over it keep one identity process-wide.
template <int N, class T>
class QUILL20_API RigidVector {
  static_assert(N > 0, "a RigidVector has at least one component");

 public:
  using value_type = T;
  static constexpr int static_size = N;

  // Components are left as they are; `RigidVector<N,T>{}` (value-initialisation) zeroes them.
  RigidVector() = default;

  template <class... U, std::enable_if_t<sizeof...(U) == N && (std::is_arithmetic_v<U> && ...), int> = 0>
  constexpr RigidVector(U... p_Values) : m_Data{static_cast<T>(p_Values)...}
  {
  }

  constexpr T& operator[](std::size_t p_Index) { return m_Data[p_Index]; }
  constexpr const T& operator[](std::size_t p_Index) const { return m_Data[p_Index]; }

  T* data() { return m_Data; }
  const T* data() const { return m_Data; }
  static constexpr std::size_t size() { return N; }

  friend bool operator==(const RigidVector& a, const RigidVector& b)
  {
    for (int i = 0; i < N; ++i)
      if (!(a.m_Data[i] == b.m_Data[i])) return false;
    return true;
  }
  friend bool operator!=(const RigidVector& a, const RigidVector& b) { return !(a == b); }

 private:
  T m_Data[N];
};

namespace detail {

template <class T>
void print_component(std::ostream& p_Stream, const T& p_Value)
{
  if constexpr (std::is_integral_v<T> && std::is_unsigned_v<T> && !std::is_same_v<T, bool>) {
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%llu", static_cast<unsigned long long>(p_Value));
    p_Stream << buffer;
  } else if constexpr (std::is_integral_v<T>) {
    p_Stream << static_cast<long long>(p_Value);
  } else {
    p_Stream << p_Value;
  }
}

}  // namespace detail

// Prints rows of p_RowLength components; shared by vectors and matrices. A full row that is not
// the last ends with "," and a line end, so a vector prints on one line: [1, 2, 3].
template <class T>
void print_components(std::ostream& p_Stream, const T* p_Components, std::size_t p_Count,
                      std::size_t p_RowLength)
{
  p_Stream << "[";
  for (std::size_t i = 0; i < p_Count; ++i) {
    detail::print_component(p_Stream, p_Components[i]);
    if (i + 1 == p_Count) break;
    if ((i + 1) % p_RowLength == 0)
      p_Stream << "," << std::endl;
    else
      p_Stream << ", ";
  }
  p_Stream << "]";
}

template <int N, class T>
std::ostream& operator<<(std::ostream& p_Stream, const RigidVector<N, T>& p_Vector)
{
  print_components(p_Stream, p_Vector.data(), N, N);
  return p_Stream;
}

template <class T>
struct is_rigid_vector : std::false_type {};
template <int N, class T>
struct is_rigid_vector<RigidVector<N, T>> : std::true_type {};

}  // namespace mtm
}  // namespace quill20
