// Display names of the scalar types.
#include "quill20/core/array/ScalarType.h"

namespace quill20 {
namespace core {

std::string scalar_type_name(ScalarType p_ScalarType)
{
  static const char* const names[] = {"float32", "float64", "int8",   "int16",  "int32", "int64",
                                      "uint8",   "uint16",  "uint32", "uint64", "bool"};
  std::string name = "<unknown scalar type>";
  if (p_ScalarType >= stFloat32 && p_ScalarType <= stBool) name = names[p_ScalarType];
  return name;
}

}  // namespace core
}  // namespace quill20
