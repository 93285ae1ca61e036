// RigidVector printing: one line, components as numbers (also unsigned and char ones), matrices broken
// after every full row. Its layout is what the NumPy views of vector arrays in the Python tests rely on.
#include <gtest/gtest.h>

#include "quill20/vectors/RigidVector.h"
#include "support/ExpectFailure.h"

namespace {

using quill20::mtm::RigidVector;
using testing_support::printed;

TEST(RigidVector, PrintsComponentsAsNumbersAndBreaksMatricesAfterFullRows)
{
  EXPECT_EQ(printed(RigidVector<2, unsigned int>(0u, 4294967295u)), "[0, 4294967295]");
  EXPECT_EQ(printed(RigidVector<2, signed char>(-1, 7)), "[-1, 7]");
  const unsigned matrix[] = {1, 2, 3, 4};
  std::ostringstream stream;
  quill20::mtm::print_components(stream, matrix, 4, 2);
  EXPECT_EQ(stream.str(), "[1, 2,\n3, 4]");
}

}  // namespace
