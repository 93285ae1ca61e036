// ArrayGenerator: capacity growth, reservation, and the one-time hand-over of exactly what was appended.
#include "ArrayTestSupport.h"
#include "quill20/core/array/ArrayGenerator.h"
#include "quill20/core/array/VectorArrayImplFactory.h"

namespace {

using namespace array_testing;
using Generator = ArrayGenerator<Array<unsigned long long, 1>>;

TEST(ArrayGenerator, GrowsByDoublingAndHandsOverExactlyTheValuesOnce)
{
  Generator generator(VectorArrayImplFactory::instance());
  EXPECT_EQ(generator.capacity(), 12u);
  for (unsigned long long v = 0; v < 25; ++v) {
    generator.push_back(v * v);
    EXPECT_EQ(generator.capacity(), v < 12 ? 12u : v < 24 ? 24u : 48u) << v;
  }
  Array<unsigned long long, 1> result = generator.create_array();
  ASSERT_EQ(result.size(), 25u);
  for (unsigned long long v = 0; v < 25; ++v) EXPECT_EQ(result[v], v * v);
  EXPECT_TRUE(result.is_implementation_unique());
  EXPECT_EQ(observer_count(result.get_implementation()), 1u);
}

TEST(ArrayGenerator, ReservesAPowerOfTwoAboveTheCapacityAndKeepsTheValues)
{
  const std::uint64_t cases[][2] = {{0, 12}, {5, 12}, {12, 12}, {13, 16}, {100, 128}, {1024, 1024}, {1025, 2048}};
  for (const auto& c : cases) {
    Generator generator(VectorArrayImplFactory::instance());
    generator.push_back(7);
    generator.reserve(c[0]);
    EXPECT_EQ(generator.capacity(), c[1]) << c[0];
    const Array<unsigned long long, 1> result = generator.create_array();
    ASSERT_EQ(result.size(), 1u);
    EXPECT_EQ(result[0], 7u);
  }
  Generator empty(VectorArrayImplFactory::instance());
  EXPECT_EQ(empty.create_array().data(), nullptr);
}

}  // namespace
