// The shared VTK storage behaviour for the VTK classes 0 to 3 of the list, all tuple sizes.
#include "quill20/vtk/VtkStorageTypedTests.h"

namespace vtk_storage_tests {
using Part1Classes = VtkClassSlice<0, 4>;
INSTANTIATE_TYPED_TEST_SUITE_P(Part1, VtkStorage, Part1Classes);
}  // namespace vtk_storage_tests
