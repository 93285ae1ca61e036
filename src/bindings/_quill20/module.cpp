// The quill20 Python wrapper: registers the library's classes and their shared-pointer converters.
// Import it before any module that takes or returns quill20 objects.
#include <boost/python.hpp>

#include "array_binding_units.h"
#include "wrap_array.h"
#include "wrap_grid_function.h"

#define QUILL20_DETAIL_DECLARE_UNIT(unit) void wrap_array_unit_##unit();
namespace quill20 {
namespace bindings {
QUILL20_ARRAY_BINDING_UNITS(QUILL20_DETAIL_DECLARE_UNIT)
}
}  // namespace quill20
#undef QUILL20_DETAIL_DECLARE_UNIT

BOOST_PYTHON_MODULE(_quill20)
{
  using namespace quill20::bindings;
  wrap_iarray();
  wrap_memory_export();
#define QUILL20_DETAIL_CALL_UNIT(unit) wrap_array_unit_##unit();
  QUILL20_ARRAY_BINDING_UNITS(QUILL20_DETAIL_CALL_UNIT)
#undef QUILL20_DETAIL_CALL_UNIT
  wrap_grid_functions();
  wrap_topology_and_geometry();
  wrap_vtk_access();
  wrap_numpy_storage();
}
