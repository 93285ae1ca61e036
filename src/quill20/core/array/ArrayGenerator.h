// ArrayGenerator: appends values to a growing array and hands over exactly what was appended.
#pragma once

#include <cstdint>

#include "quill20/Export.h"
#include "quill20/core/array/Array1D.h"
#include "quill20/core/array/IArrayImplFactory.h"

namespace quill20 {
namespace core {

template <class ArrayType>
class ArrayGenerator;

template <class T>
class QUILL20_API ArrayGenerator<Array<T, 1>> {
 public:
  static constexpr std::uint64_t initial_capacity = 12;

  explicit ArrayGenerator(const IArrayImplFactory& p_Factory);

  void reserve(std::uint64_t p_Count);
  void push_back(const T& p_Value);
  // The finished array, holding exactly the appended values; only once.
  Array<T, 1> create_array();
  bool already_created() const { return m_AlreadyCreated; }

  std::uint64_t count() const { return m_Count; }
  std::uint64_t capacity() const { return m_Working.size(); }

 private:
  std::uint64_t m_Count;
  Array<T, 1> m_Working;
  bool m_AlreadyCreated;
};

extern template class ArrayGenerator<Array<unsigned long long, 1>>;

}  // namespace core
}  // namespace quill20
