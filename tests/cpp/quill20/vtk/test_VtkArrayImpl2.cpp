// The shared VTK storage behaviour for the VTK classes 4 to 7 of the list, all tuple sizes.
#include "quill20/vtk/VtkStorageTypedTests.h"

namespace vtk_storage_tests {
using Part2Classes = VtkClassSlice<4, 8>;
INSTANTIATE_TYPED_TEST_SUITE_P(Part2, VtkStorage, Part2Classes);
}  // namespace vtk_storage_tests
