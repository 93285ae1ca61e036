// Python classes of the one-dimensional arrays, one per element type, stamped out from the lists.
#pragma once

#include <string>

namespace quill20 {
namespace bindings {

// The Python name of the class of Array<E,1>: Array_float64, Array_int32x3, ...
template <class E>
std::string array_class_name();

void wrap_iarray();
void wrap_memory_export();

}  // namespace bindings
}  // namespace quill20
