// Arrays on shared storage: co-owners, the fixed-shape latch, equality, element-wise operations, checked
// access, shapes of two- and three-dimensional arrays, arrays that a storage creates on itself, and
// the generator's growth and one-time hand-over. Rejected calls are in test_ArrayRejections.cpp.
#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include <boost/smart_ptr/bad_weak_ptr.hpp>
#include <boost/weak_ptr.hpp>

#include "ArrayTestSupport.h"
#include "quill20/core/Quill20Error.h"
#include "quill20/core/array/ArrayGenerator.h"
#include "quill20/core/array/MemoryExport.h"
#include "quill20/core/array/VectorArrayImplFactory.h"
#include "quill20/core/geometry/FullNaturalPoint.h"

namespace {

using namespace array_testing;

template <class T>
T scaled(T p_Value, double p_Factor)
{
  Array<T, 1> a(1);
  a[0] = p_Value;
  a.scale(p_Factor);
  return a[0];
}

TEST(Array1D, CoOwnersFollowEveryResizeWhileTheyHoldTheStorage)
{
  auto storage = vector_storage<int>(4), other = vector_storage<int>(2);
  boost::weak_ptr<IArrayImpl> watch(storage);
  {
    Array<int, 1> a(storage), b(a), c;
    c = b;
    a[3] = 7;
    c.resize(1000);
    for (const Array<int, 1>* array : {&a, &b, &c}) {
      EXPECT_EQ(array->size(), 1000u);
      EXPECT_EQ(array->data(), storage_data(*storage));
    }
    EXPECT_EQ(b[3], 7);
    b.set_implementation(other);
    c.reset();
    EXPECT_EQ(observer_count(storage), 1u);
    a.initialize(VectorArrayImplFactory::instance(), 5);  // a fresh storage; the old one loses its last array
    EXPECT_EQ(a.size(), 5u);
    EXPECT_EQ(observer_count(storage), 0u);
    a = b;
    { const MemoryExport released(a.get_implementation()); }
    a.resize(3);  // a released export no longer pins the storage
    EXPECT_EQ(b.size(), 3u);
  }
  EXPECT_EQ(observer_count(other), 0u);
  storage.reset();
  EXPECT_TRUE(watch.expired());
  Array<int, 1> without_storage;
  without_storage.resize(5);
  EXPECT_EQ(without_storage.size(), 5u);
}

// Each of these calls would fail if the latch refused it.
TEST(Array1D, FixedShapeAllowsWhatKeepsTheSize)
{
  Array<int, 1> a(3);
  a.set_fixed_shape();
  a.resize(3);
  a.set_implementation(vector_storage<int>(3));
  a.make_unique();
  a.initialize(VectorArrayImplFactory::instance(), 3);
  Array<int, 1> co_owner(a);
  co_owner.resize(0);  // a co-owner may clear the elements,
  EXPECT_EQ(a.data(), nullptr);
  a.reset();  // and the emptied array may drop its storage
  EXPECT_FALSE(a.get_implementation());
  // The first fill of an empty storage passes a fixed-shape co-owner too.
  auto empty = vector_storage<double>(0);
  Array<double, 1> b(empty), fixed(empty);
  fixed.set_fixed_shape();
  b.resize(6);
  EXPECT_EQ(fixed.size(), 6u);
}

TEST(Array1D, EqualityComparesTheBytesOfOneElementType)
{
  Array<double, 1> a(2), b(2);
  a[0] = b[0] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(a == b);
  a[0] = 0.0, b[0] = -0.0;
  EXPECT_TRUE(a != b);
  b[0] = 0.0;
  EXPECT_TRUE(a == (Array<double, 2>(b.get_implementation(), 1)));
  b.resize(3);
  EXPECT_FALSE(a == b);
  EXPECT_FALSE((Array<int, 1>(3) == Array<unsigned int, 1>(3)));
  EXPECT_TRUE((Array<int, 1>() == Array<int, 1>()));
}

TEST(Array1D, NegateAndScaleWorkInTheElementsOwnWidth)
{
  Array<int, 1> ints(1);
  ints[0] = std::numeric_limits<int>::min();
  ints.negate();
  EXPECT_EQ(ints[0], std::numeric_limits<int>::min());
  Array<double, 1> doubles(2);
  doubles[0] = 0.0, doubles[1] = -std::numeric_limits<double>::quiet_NaN();
  doubles.negate();
  EXPECT_TRUE(std::signbit(doubles[0]));
  EXPECT_FALSE(std::signbit(doubles[1]));

  // The product is taken in double, then truncated toward zero keeping the low bits, rounded once
  // (float) or tested against zero (bool).
  EXPECT_EQ(scaled(-7, 2.5), -17);
  EXPECT_EQ(scaled<unsigned char>(200, 2.0), 144);
  EXPECT_EQ(scaled<signed char>(100, 2.0), -56);
  EXPECT_EQ(scaled(1ULL << 63, 1.5), 0xC000000000000000ULL);
  EXPECT_EQ(scaled(1LL << 62, 4.0), 0);
  EXPECT_EQ(scaled(0.1f, 3.0), static_cast<float>(static_cast<double>(0.1f) * 3.0));
  EXPECT_TRUE(scaled(true, 0.5));
  EXPECT_FALSE(scaled(true, 0.0));
}

TEST(Array1D, AtChecksTheBounds)
{
  Array<int, 1> a(3);
  EXPECT_EQ((&static_cast<const Array<int, 1>&>(a).at(2)), a.data() + 2);
  EXPECT_THROW(a.at(-1), OutOfRangeError);
  EXPECT_STREQ(testing_support::expect_throw<OutOfRangeError>([&] { a.at(3); }).what(),
               "Index (3) out of range (0 <= index < 3).");
}

TEST(Array1D, DestructorReportsAFailedDetachInsteadOfThrowing)
{
  auto storage = vector_storage<int>(1);
  ::testing::internal::CaptureStderr();
  {
    Array<int, 1> a(storage);
    remove_observation(storage.get(), &a);
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr().rfind("Exception thrown while destroying Array:\n", 0), 0u);
  EXPECT_EQ(storage.use_count(), 1);
}

TEST(MultiDimensionalArrays, LastExtentFollowsTheSizeAndCopiesTakeTheFixedExtents)
{
  auto storage = vector_storage<int>(12);
  Array<int, 2> grid(storage, 3);
  Array<int, 3> cube(storage, ElementShape(2u, 3u));
  EXPECT_EQ(grid.get_shape().get<Handle2>(), Handle2(3u, 4u));
  EXPECT_EQ(cube.get_shape().get<Handle3>(), Handle3(2, 3, 2));
  grid.resize(30);
  EXPECT_EQ(grid.shape(), Handle2(3u, 10u));
  EXPECT_EQ(cube.shape(), Handle3(2, 3, 5));

  Array<int, 2> assigned(vector_storage<int>(8), 2);
  Array<int, 3> cube_assigned(vector_storage<int>(1), ElementShape(1u, 1u));
  assigned = grid;
  cube_assigned = cube;
  EXPECT_EQ(assigned.shape(), Handle2(3u, 10u));
  EXPECT_EQ((Array<int, 2>(grid).shape()), Handle2(3u, 10u));
  EXPECT_EQ(cube_assigned.shape(), Handle3(2, 3, 5));
  EXPECT_EQ((Array<int, 3>(cube).ni_times_nj()), 6u);
  grid.resize(0);
  EXPECT_EQ(assigned.shape(), Handle2(3u, 0u));
  EXPECT_EQ(cube_assigned.shape(), Handle3(2, 3, 0));

  // Fixed extents: 0 stands for 1, and those of a 3-D array are narrowed to 16 bits.
  EXPECT_EQ((Array<int, 2>(vector_storage<int>(7), 0).shape()), Handle2(1u, 7u));
  EXPECT_EQ((Array<int, 3>(vector_storage<int>(5), ElementShape(0u, 0u)).shape()), Handle3(1, 1, 5));
  const Array<int, 3> wrapped(vector_storage<int>(12), ElementShape(65536u + 3u, 65536u));
  EXPECT_EQ(wrapped.shape(), Handle3(3, 1, 4));
  EXPECT_EQ(wrapped.ni_times_nj(), 3u);
}

TEST(IArrayImpl, CreateArrayFollowsTheShapeTheStorageReports)
{
  boost::shared_ptr<IArrayImpl> planar(new ShapedStorage<int>(AnyHandle(Handle2(3u, 4u))));
  std::unique_ptr<IArray> grid(planar->create_array());
  auto* typed_grid = dynamic_cast<Array<int, 2>*>(grid.get());
  ASSERT_NE(typed_grid, nullptr);
  EXPECT_EQ(typed_grid->shape(), Handle2(3u, 4u));
  EXPECT_EQ(typed_grid->raw_data(), storage_data(*planar));
  EXPECT_EQ(planar.use_count(), 2);

  boost::shared_ptr<IArrayImpl> solid(new ShapedStorage<RigidVector<2, double>>(AnyHandle(Handle3(2, 3, 4))));
  std::unique_ptr<IArray> cube(solid->create_array());
  auto* typed_cube = dynamic_cast<Array<RigidVector<2, double>, 3>*>(cube.get());
  ASSERT_NE(typed_cube, nullptr);
  EXPECT_EQ(typed_cube->shape(), Handle3(2, 3, 4));

  VectorArrayImpl<short> unowned(4);
  EXPECT_THROW(unowned.create_array(), boost::bad_weak_ptr);
}

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

// The names of the scalar types are checked from Python, through every array's scalar_type.
TEST(ScalarTypeName, ElementsOfNoScalarsHaveNone)
{
  EXPECT_EQ(scalar_type_name(Array<FullNaturalPoint<double, 3>, 1>(2).scalar_type()), "<unknown scalar type>");
}

}  // namespace
