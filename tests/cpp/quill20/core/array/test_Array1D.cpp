// Array<T,1> on shared storage: co-owners, the fixed-shape latch, equality, element-wise operations
// and checked access. Rejected calls are in test_ArrayRejections.cpp.
#include <cmath>
#include <limits>

#include <boost/weak_ptr.hpp>

#include "ArrayTestSupport.h"
#include "quill20/core/Quill20Error.h"
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

TEST(Array1D, ElementsOfNoScalarsAreDescribedAsSuch)
{
  Array<FullNaturalPoint<double, 3>, 1> points(2);
  EXPECT_EQ(points.scalar_type(), stNotAScalar);
  EXPECT_EQ(points.element_shape(), ElementShape(1u, 1u));
  EXPECT_EQ(&points.factory(), &vector_array_impl_factory());
}

TEST(IArrayImpl, MaxSizeLeavesRoomBelowTheVectorLimit)
{
  EXPECT_EQ(vector_storage<unsigned char>(0)->max_size(), 0x7FFFFFFFFFFFFEFFULL);
  EXPECT_EQ(vector_storage<float>(0)->max_size(), 0x3FFFFFFFFFFFFFBFULL);
  EXPECT_EQ(vector_storage<double>(0)->max_size(), 0x1FFFFFFFFFFFFFDFULL);
  EXPECT_EQ((vector_storage<RigidVector<3, double>>(0)->max_size()), 0x0AAAAAAAAAAAAA9FULL);
}

}  // namespace
