// The one printer of C++ type names used by every message and description.
#pragma once

#include <string>
#include <typeinfo>

#include "kernos50/Export.h"

namespace kernos50 {

// Demangled name of a type, with namespaces and template arguments.
KERNOS50_VISIBLE std::string type_name(const std::type_info& p_Type);

template <class T>
std::string type_name()
{
  return type_name(typeid(T));
}

// Run-time name of the most-derived class of a polymorphic object.
template <class T>
std::string dynamic_type_name(const T& p_Object)
{
  return type_name(typeid(p_Object));
}

}  // namespace kernos50
