// RigidVector layout and printing.
#include <sstream>

#include <gtest/gtest.h>

#include "quill20/vectors/RigidVector.h"

namespace {

using quill20::mtm::RigidVector;

template <class V>
std::string printed(const V& p_Value)
{
  std::ostringstream stream;
  stream << p_Value;
  return stream.str();
}

TEST(RigidVector, IsExactlyItsComponents)
{
  static_assert(sizeof(RigidVector<3, double>) == 24);
  static_assert(sizeof(RigidVector<4, unsigned short>) == 8);
  static_assert(sizeof(RigidVector<9, bool>) == 9);
  static_assert(std::is_trivially_copyable_v<RigidVector<3, double>>);
  const RigidVector<3, double> zero{};
  EXPECT_EQ(zero, (RigidVector<3, double>(0, 0, 0)));
  RigidVector<3, int> v(1, 2, 3);
  v[1] = -5;
  EXPECT_EQ(v, (RigidVector<3, int>(1, -5, 3)));
  EXPECT_NE(v, (RigidVector<3, int>(1, 5, 3)));
}

TEST(RigidVector, PrintsOnOneLineWithUnsignedComponentsInDecimal)
{
  EXPECT_EQ(printed(RigidVector<2, unsigned int>(0u, 4294967295u)), "[0, 4294967295]");
  EXPECT_EQ(printed(RigidVector<3, unsigned short>(1, 2, 3)), "[1, 2, 3]");
  EXPECT_EQ(printed(RigidVector<2, signed char>(-1, 7)), "[-1, 7]");
}

TEST(RigidVector, SharedPrinterBreaksAfterEveryFullRowButTheLast)
{
  const unsigned matrix[] = {1, 2, 3, 4};
  std::ostringstream stream;
  quill20::mtm::print_components(stream, matrix, 4, 2);
  EXPECT_EQ(stream.str(), "[1, 2,\n3, 4]");
}

}  // namespace
