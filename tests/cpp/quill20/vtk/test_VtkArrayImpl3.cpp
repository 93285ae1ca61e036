// The shared VTK storage behaviour for the VTK classes 8 to 10 of the list, all tuple sizes.
#include "quill20/vtk/VtkStorageTypedTests.h"

namespace vtk_storage_tests {
using Part3Classes = VtkClassSlice<8, 11>;
INSTANTIATE_TYPED_TEST_SUITE_P(Part3, VtkStorage, Part3Classes);
}  // namespace vtk_storage_tests
