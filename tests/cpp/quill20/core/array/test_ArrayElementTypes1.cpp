// Element-type behaviour for the first half of the array element list.
#include "ArrayElementTypeTests.h"

namespace array_testing {

using FirstHalfTypes = GTestTypes<boost::mp11::mp_take_c<ArrayElementTypes, first_half>>;
INSTANTIATE_TYPED_TEST_SUITE_P(FirstHalf, ArrayElementType, FirstHalfTypes);

}  // namespace array_testing
