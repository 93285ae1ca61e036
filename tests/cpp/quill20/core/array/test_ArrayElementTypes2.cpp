// Element-type behaviour for the second half of the array element list.
#include "ArrayElementTypeTests.h"

namespace array_testing {

using SecondHalfTypes = GTestTypes<boost::mp11::mp_drop_c<ArrayElementTypes, first_half>>;
INSTANTIATE_TYPED_TEST_SUITE_P(SecondHalf, ArrayElementType, SecondHalfTypes);

}  // namespace array_testing
