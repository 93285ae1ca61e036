// Display names and NumPy type strings of the scalar types, from the one list in ElementTypes.h.
#include "quill20/core/array/ElementTypes.h"

namespace quill20 {
namespace core {

std::string scalar_type_name(ScalarType p_ScalarType)
{
  switch (p_ScalarType) {
#define QUILL20_DETAIL_NAME(index, C, st, name, ...) \
  case st: return name;
    QUILL20_COMPONENT_TYPES(QUILL20_DETAIL_NAME)
#undef QUILL20_DETAIL_NAME
    default: return "<unknown scalar type>";
  }
}

const char* numpy_type_string(ScalarType p_ScalarType)
{
  switch (p_ScalarType) {
#define QUILL20_DETAIL_TYPESTR(index, C, st, name, typestr, ...) \
  case st: return typestr;
    QUILL20_COMPONENT_TYPES(QUILL20_DETAIL_TYPESTR)
#undef QUILL20_DETAIL_TYPESTR
    default: return nullptr;
  }
}

}  // namespace core
}  // namespace quill20
