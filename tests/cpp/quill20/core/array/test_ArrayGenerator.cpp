// ArrayGenerator: capacity growth, reservation, and the one-time hand-over of exactly what was appended.
#include <gtest/gtest.h>

#include "ArrayTestSupport.h"
#include "quill20/core/array/ArrayGenerator.h"
#include "quill20/core/array/VectorArrayImplFactory.h"
#include "support/ExpectFailure.h"

namespace {

using namespace array_testing;
using Generator = ArrayGenerator<Array<unsigned long long, 1>>;

TEST(ArrayGenerator, GrowsFromTwelveByDoublingAndHandsOverExactlyTheValues)
{
  Generator generator(VectorArrayImplFactory::instance());
  EXPECT_EQ(generator.capacity(), 12u);
  EXPECT_FALSE(generator.already_created());
  for (unsigned long long v = 0; v < 12; ++v) generator.push_back(v * v);
  EXPECT_EQ(generator.capacity(), 12u);
  generator.push_back(144);
  EXPECT_EQ(generator.capacity(), 24u);
  for (unsigned long long v = 13; v < 25; ++v) generator.push_back(v * v);
  EXPECT_EQ(generator.capacity(), 48u);
  EXPECT_EQ(generator.count(), 25u);

  Array<unsigned long long, 1> result = generator.create_array();
  EXPECT_TRUE(generator.already_created());
  ASSERT_EQ(result.size(), 25u);
  for (unsigned long long v = 0; v < 25; ++v) EXPECT_EQ(result[v], v * v);
  EXPECT_TRUE(result.is_implementation_unique());
  EXPECT_EQ(observer_count(result.get_implementation()), 1u);
  EXPECT_NE(dynamic_cast<VectorArrayImpl<unsigned long long>*>(result.get_implementation().get()), nullptr);

  EXPECT_PRECONDITION_FAILURE(generator.create_array(), "!this->already_created()",
                              "Using an ArrayGenerator that have already created the array!",
                              "quill20/core/array/ArrayGenerator");
  EXPECT_EQ(result.size(), 25u);
}

TEST(ArrayGenerator, ReservesAPowerOfTwoAboveTheCapacityOnly)
{
  const struct {
    std::uint64_t requested, capacity;
  } cases[] = {{0, 12}, {5, 12}, {12, 12}, {13, 16}, {100, 128}, {1024, 1024}, {1025, 2048}};
  for (const auto& c : cases) {
    Generator generator(VectorArrayImplFactory::instance());
    generator.reserve(c.requested);
    EXPECT_EQ(generator.capacity(), c.capacity) << c.requested;
  }
}

TEST(ArrayGenerator, ReservedRoomKeepsAppendedValues)
{
  Generator generator(VectorArrayImplFactory::instance());
  generator.push_back(7);
  generator.reserve(100);
  for (unsigned long long v = 0; v < 99; ++v) generator.push_back(v);
  EXPECT_EQ(generator.capacity(), 128u);
  const Array<unsigned long long, 1> result = generator.create_array();
  ASSERT_EQ(result.size(), 100u);
  EXPECT_EQ(result[0], 7u);
  EXPECT_EQ(result[99], 98u);
}

TEST(ArrayGenerator, WithoutValuesHandsOverAnEmptyArray)
{
  Generator generator(VectorArrayImplFactory::instance());
  const Array<unsigned long long, 1> result = generator.create_array();
  EXPECT_EQ(result.size(), 0u);
  EXPECT_EQ(result.data(), nullptr);
  EXPECT_TRUE(result.is_implementation_unique());
}

}  // namespace
