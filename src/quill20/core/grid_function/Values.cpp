// Value records of the generic grid-function reads.
#include "quill20/core/grid_function/Values.h"

namespace quill20 {
namespace core {

namespace {

std::size_t component_size(ScalarType p_ScalarType)
{
  return dispatch_scalar_type(
      p_ScalarType, [](auto tag) { return sizeof(typename decltype(tag)::type); }, [] { return std::size_t(0); });
}

}  // namespace

double ScalarValue::as_double() const
{
  return dispatch_scalar_type(
      scalar_type(), [this](auto tag) { return static_cast<double>(value<typename decltype(tag)::type>()); },
      [] { return 0.0; });
}

ElementValue::ElementValue(ScalarType p_ScalarType, unsigned p_Rows, unsigned p_Columns, std::size_t p_Bytes)
    : m_Buffer(new unsigned char[p_Bytes]),
      m_ScalarType(p_ScalarType),
      m_Rows(static_cast<std::uint8_t>(p_Rows)),
      m_Columns(static_cast<std::uint8_t>(p_Columns)),
      m_Flags(0)
{
  // The two low flag bits start cleared; the others carry nothing here.
  m_Flags &= static_cast<std::uint8_t>(~3u);
}

ElementValue::ElementValue(const ElementValue& p_Other)
    : m_Buffer(new unsigned char[p_Other.byte_size()]),
      m_ScalarType(p_Other.m_ScalarType),
      m_Rows(p_Other.m_Rows),
      m_Columns(p_Other.m_Columns),
      m_Flags(p_Other.m_Flags)
{
  std::memcpy(m_Buffer.get(), p_Other.m_Buffer.get(), p_Other.byte_size());
}

ElementValue& ElementValue::operator=(const ElementValue& p_Other)
{
  if (this != &p_Other) *this = ElementValue(p_Other);
  return *this;
}

ElementValue::~ElementValue() = default;

std::size_t ElementValue::byte_size() const
{
  return component_size(scalar_type()) * m_Rows * m_Columns;
}

}  // namespace core
}  // namespace quill20
