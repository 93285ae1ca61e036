// Display names of the cell types.
#include "quill20/core/topology/ElementType.h"

namespace quill20 {
namespace core {

std::string element_type_name(ElementType p_Type)
{
  static const char* const names[] = {"Point", "Bar", "Tri", "Quad", "Tetra", "Pyra", "Wedge", "INVALID", "Hexa"};
  const auto index = static_cast<std::uint32_t>(p_Type);
  return index < sizeof(names) / sizeof(names[0]) ? names[index] : "INVALID";
}

}  // namespace core
}  // namespace quill20
