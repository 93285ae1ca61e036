// Printed description of named data objects.
#include "quill20/core/pattern/ISciObject.h"

#include <sstream>

#include "kernos50/TypeName.h"

namespace quill20 {
namespace core {

IInformation::~IInformation() = default;

boost::shared_ptr<IInformation> ISciObject::get_information() const { return m_Information; }

void ISciObject::set_information(boost::shared_ptr<IInformation> p_Information)
{
  m_Information = std::move(p_Information);
}

std::string ISciObject::get_name() const { return m_Name; }

void ISciObject::set_name(const std::string& p_Name)
{
  if (&p_Name != &m_Name) m_Name = p_Name;
}

std::string ISciObject::get_type_name() const { return kernos50::dynamic_type_name(*this); }

std::string ISciObject::str() const
{
  std::ostringstream stream;
  print(stream, std::string(), std::string());
  return stream.str();
}

ISciObject::~ISciObject() = default;

void ISciObject::print(std::ostream& p_Stream, const std::string& p_Indent, const std::string& p_Label) const
{
  p_Stream << p_Indent << (p_Label.empty() ? "SciObject" : p_Label) << std::endl;
  p_Stream << p_Indent << "  Name: ";
  if (m_Name.empty())
    p_Stream << "(anonymous)";
  else
    p_Stream << '"' << m_Name << '"';
  p_Stream << std::endl;
  p_Stream << p_Indent << "  C++ Type: " << get_type_name() << std::endl;
  // The stream keeps showing the base afterwards, as callers of this description expect.
  p_Stream << p_Indent << "  Mem. Location: " << std::showbase << dynamic_cast<const void*>(this) << std::endl;
  p_Stream << p_Indent << "  Information: " << (m_Information ? m_Information->str() : "<null>") << std::endl;
}

}  // namespace core
}  // namespace quill20
