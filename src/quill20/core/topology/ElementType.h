// Cell types of a topology and their display names.
#pragma once

#include <cstdint>
#include <string>

#include "quill20/Export.h"

namespace quill20 {
namespace core {

// 7 is the invalid marker; hexahedra come after it.
enum ElementType : std::int32_t {
  etPoint = 0,
  etBar = 1,
  etTri = 2,
  etQuad = 3,
  etTetra = 4,
  etPyra = 5,
  etWedge = 6,
  etInvalid = 7,
  etHexa = 8
};

// "Point", "Bar", ..., "INVALID", "Hexa"; values outside 0..8 print as "INVALID".
QUILL20_API std::string element_type_name(ElementType p_Type);

namespace et {
struct Tri {};
struct Quad {};
}  // namespace et

}  // namespace core
}  // namespace quill20
