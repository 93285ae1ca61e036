// The value records of the generic reads: one scalar, or one element copied with its shape.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

#include "quill20/Export.h"
#include "quill20/core/array/ElementTypes.h"

namespace quill20 {
namespace core {

class QUILL20_API ScalarValue {
 public:
  template <class T>
  static ScalarValue make(T p_Value)
  {
    static_assert(is_scalar_type<T>::value && sizeof(T) <= 8, "a ScalarValue holds one scalar");
    ScalarValue result;
    result.m_ScalarType = element_traits<T>::scalar_type;
    std::memcpy(result.m_Value, &p_Value, sizeof(T));
    return result;
  }

  ScalarType scalar_type() const { return static_cast<ScalarType>(m_ScalarType); }

  // The value as the type it was stored with.
  template <class T>
  T value() const
  {
    T result;
    std::memcpy(&result, m_Value, sizeof(T));
    return result;
  }

  // The value converted to double; 0 for a record of no known scalar type.
  double as_double() const;

 private:
  ScalarValue() : m_ScalarType(stNotAScalar), m_Value{} {}

  std::uint32_t m_ScalarType;
  alignas(8) unsigned char m_Value[8];
};

class QUILL20_API ElementValue {
 public:
  template <class T>
  static ElementValue make(const T& p_Value)
  {
    ElementValue result(element_traits<T>::scalar_type, element_traits<T>::components, 1, sizeof(T));
    std::memcpy(result.m_Buffer.get(), &p_Value, sizeof(T));
    return result;
  }

  ElementValue(const ElementValue& p_Other);
  ElementValue& operator=(const ElementValue& p_Other);
  ElementValue(ElementValue&&) noexcept = default;
  ElementValue& operator=(ElementValue&&) noexcept = default;
  ~ElementValue();

  ScalarType scalar_type() const { return static_cast<ScalarType>(m_ScalarType); }
  unsigned rows() const { return m_Rows; }
  unsigned columns() const { return m_Columns; }
  std::uint8_t flags() const { return m_Flags; }
  std::size_t byte_size() const;
  const void* data() const { return m_Buffer.get(); }

  // Component i as the type the element's components have.
  template <class C>
  C component(std::size_t p_Index) const
  {
    C result;
    std::memcpy(&result, m_Buffer.get() + p_Index * sizeof(C), sizeof(C));
    return result;
  }

 private:
  ElementValue(ScalarType p_ScalarType, unsigned p_Rows, unsigned p_Columns, std::size_t p_Bytes);

  std::unique_ptr<unsigned char[]> m_Buffer;
  std::uint32_t m_ScalarType;
  std::uint8_t m_Rows;
  std::uint8_t m_Columns;
  std::uint8_t m_Flags;
};

}  // namespace core
}  // namespace quill20
