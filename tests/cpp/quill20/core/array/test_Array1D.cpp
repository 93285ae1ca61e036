// Array<T,1> on shared storage: attaching, resizing through co-owners, the fixed-shape latch,
// equality, element-wise operations, checked access and the storage's guarded resize.
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include <boost/make_shared.hpp>
#include <boost/smart_ptr/bad_weak_ptr.hpp>
#include <boost/weak_ptr.hpp>
#include <gtest/gtest.h>

#include "ArrayTestSupport.h"
#include "quill20/core/Quill20Error.h"
#include "quill20/core/array/VectorArrayImplFactory.h"
#include "support/ExpectFailure.h"

namespace {

using namespace array_testing;

const char* const array_inl = "quill20/core/array/Array1D.inl";
const char* const array_ext = "quill20/core/array/Array1D.ext";
const char* const fixed_reset = "Trying to reset an array with fixed shape.";
const char* const shared_resize_condition = "old_size == 0 || !m_IsFixedShape || m_Size == old_size || m_Size == 0";
const char* const shared_resize_message =
    "An Array was resized, but it was sharing the same implementation with another array that had fixed shape.";

template <class T>
std::vector<T> values_of(const Array<T, 1>& p_Array)
{
  return std::vector<T>(p_Array.data(), p_Array.data() + p_Array.size());
}

TEST(Array1D, DefaultArrayHasNoStorageAndOnlyRecordsASize)
{
  Array<int, 1> a;
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(a.data(), nullptr);
  EXPECT_FALSE(a.get_implementation());
  EXPECT_EQ(a.implementation_use_count(), 0u);
  EXPECT_FALSE(a.is_implementation_unique());
  EXPECT_PRECONDITION_FAILURE(a.factory(), "m_Impl", "This array does not have an internal implementation.", array_inl);

  a.resize(5);
  EXPECT_EQ(a.size(), 5u);
  EXPECT_EQ(a.data(), nullptr);
  EXPECT_EQ(a.get_shape().get<Handle1>(), 5u);
  a.make_unique();
  EXPECT_FALSE(a.get_implementation());
}

TEST(Array1D, CountConstructorMakesAZeroedInMemoryStorage)
{
  Array<int, 1> a(4);
  EXPECT_EQ(values_of(a), (std::vector<int>{0, 0, 0, 0}));
  EXPECT_NE(dynamic_cast<VectorArrayImpl<int>*>(a.get_implementation().get()), nullptr);
  EXPECT_EQ(&a.factory(), static_cast<IArrayImplFactory*>(&VectorArrayImplFactory::instance()));
  EXPECT_EQ(a.implementation_use_count(), 1u);
  EXPECT_TRUE(a.is_implementation_unique());
  EXPECT_EQ(a.raw_data(), static_cast<void*>(a.data()));
  EXPECT_EQ(a.number_of_dimensions(), 1u);
  EXPECT_EQ(a.get_shape().type(), htHandle1);
  EXPECT_EQ(a.scalar_type(), stInt32);
  EXPECT_EQ(a.element_shape(), ElementShape(1u, 1u));
}

TEST(Array1D, StorageOfAnotherElementSizeIsRejectedAndSameSizeReinterpreted)
{
  auto ints = vector_storage<int>(3);
  EXPECT_PRECONDITION_FAILURE((Array<double, 1>(ints)), "p_ArrayImplementation->element_size() == sizeof(value_type)",
                              "\nArray implementation have a different element type (or tuple size).\n"
                              "Element size for Array: 8\nElement size for Array Implementation: 4.",
                              array_inl);
  EXPECT_EQ(observer_count(ints), 0u);
  EXPECT_EQ(ints.use_count(), 1);

  Array<double, 1> over_long_long(vector_storage<long long>(2));
  EXPECT_EQ(over_long_long.size(), 2u);
  Array<double, 1> over_float_pairs(vector_storage<RigidVector<2, float>>(3));
  EXPECT_EQ(over_float_pairs.size(), 3u);
  Array<float, 1> over_ints(ints);
  EXPECT_EQ(over_ints.raw_data(), storage_data(ints));
  Array<RigidVector<3, double>, 1> points(vector_storage<RigidVector<3, double>>(2));
  EXPECT_EQ(points.get_implementation()->element_size(), 24u);
}

TEST(Array1D, ResizeThroughAnyCoOwnerReachesEveryArrayOnTheStorage)
{
  auto storage = vector_storage<int>(4);
  Array<int, 1> a(storage), b(storage);
  Array<int, 1> c(a);
  Array<int, 1> d;
  d = b;
  a[3] = 7;
  EXPECT_EQ(a.implementation_use_count(), 5u);

  b.resize(1000);
  for (const Array<int, 1>* array : {&a, &b, &c, &d}) {
    EXPECT_EQ(array->size(), 1000u);
    EXPECT_EQ(array->data(), storage_data(storage));
  }
  EXPECT_EQ(c[3], 7);
  EXPECT_EQ(c[999], 0);

  storage->resize(2);
  for (const Array<int, 1>* array : {&a, &b, &c, &d}) EXPECT_EQ(array->size(), 2u);
}

TEST(Array1D, FixedShapeArrayKeepsItsSize)
{
  Array<int, 1> a(3);
  a.set_fixed_shape();
  EXPECT_TRUE(a.is_fixed_shape());
  const int* before = a.data();
  a.resize(3);
  EXPECT_EQ(a.data(), before);
  EXPECT_PRECONDITION_FAILURE(a.resize(4), "!m_IsFixedShape", "Trying to resize an array with fixed shape.", array_ext);
  EXPECT_EQ(a.size(), 3u);
  EXPECT_EQ(storage_data(a.get_implementation()), before);

  // Exchanging the storage for one of the same count is allowed, another count is not.
  auto same = vector_storage<int>(3), other = vector_storage<int>(4);
  a.set_implementation(same);
  EXPECT_EQ(a.get_implementation(), same);
  EXPECT_PRECONDITION_FAILURE(a.set_implementation(other), "!this->m_IsFixedShape || new_size == this->m_Size",
                              fixed_reset, array_inl);
  Array<int, 1> four(other);
  EXPECT_PRECONDITION_FAILURE(a = four, "!this->m_IsFixedShape || new_size == this->m_Size", fixed_reset, array_inl);
  EXPECT_EQ(a.get_implementation(), same);
  EXPECT_EQ(observer_count(other), 1u);
  EXPECT_EQ(observer_count(same), 1u);
  a.make_unique();
  EXPECT_NE(a.get_implementation(), same);

  // Emptying is refused while the array holds elements, allowed once a co-owner cleared them.
  Array<int, 1> co_owner(a);
  EXPECT_PRECONDITION_FAILURE(a.reset(), "!this->m_IsFixedShape || this->size() == 0", fixed_reset, array_inl);
  EXPECT_PRECONDITION_FAILURE(a.set_implementation(nullptr), "!this->m_IsFixedShape || this->size() == 0",
                              fixed_reset, array_inl);
  co_owner.resize(0);
  a.reset();
  EXPECT_FALSE(a.get_implementation());
  EXPECT_EQ(co_owner.implementation_use_count(), 1u);
}

TEST(Array1D, SharedResizeAgainstAFixedShapeCoOwnerFailsAfterTheStorageChanged)
{
  auto storage = vector_storage<double>(4);
  Array<double, 1> a(storage), fixed(storage);
  fixed.set_fixed_shape();
  EXPECT_PRECONDITION_FAILURE(a.resize(10), shared_resize_condition, shared_resize_message, array_ext);
  EXPECT_EQ(storage_size(storage), 10u);
  EXPECT_EQ(a.size(), 10u);
  EXPECT_EQ(fixed.size(), 10u);
  EXPECT_EQ(fixed.data(), storage_data(storage));
}

TEST(Array1D, FirstFillAndClearingPassAFixedShapeCoOwner)
{
  auto storage = vector_storage<double>(0);
  Array<double, 1> a(storage), fixed(storage);
  fixed.set_fixed_shape();
  a.resize(6);
  EXPECT_EQ(fixed.size(), 6u);
  EXPECT_EQ(fixed.data(), a.data());
  a.resize(0);
  EXPECT_EQ(fixed.size(), 0u);
  EXPECT_EQ(fixed.data(), nullptr);
}

// Whichever observer rejects the change, every array on the storage ends up viewing the moved elements.
TEST(Array1D, RejectedSharedResizeStillRefreshesEveryArray)
{
  for (int fixed_position = 0; fixed_position < 3; ++fixed_position) {
    SCOPED_TRACE(fixed_position);
    auto storage = vector_storage<int>(4);
    Array<int, 1> arrays[3] = {Array<int, 1>(storage), Array<int, 1>(storage), Array<int, 1>(storage)};
    arrays[fixed_position].set_fixed_shape();
    Array<int, 1>& resizer = arrays[(fixed_position + 1) % 3];
    EXPECT_PRECONDITION_FAILURE(resizer.resize(100000), shared_resize_condition, shared_resize_message, array_ext);
    for (const auto& array : arrays) {
      EXPECT_EQ(array.data(), storage_data(storage));
      EXPECT_EQ(array.size(), 100000u);
    }
    EXPECT_PRECONDITION_FAILURE(storage->resize(3), shared_resize_condition, shared_resize_message, array_ext);
    for (const auto& array : arrays) {
      EXPECT_EQ(array.data(), storage_data(storage));
      EXPECT_EQ(array.size(), 3u);
    }
  }
}

TEST(Array1D, MakeUniqueGivesAPrivateCopyAndLeavesCoOwnersAlone)
{
  auto storage = vector_storage<int>(3);
  Array<int, 1> a(storage), b(storage);
  a[0] = 1, a[1] = 2, a[2] = 3;
  a.make_unique();
  EXPECT_NE(a.get_implementation(), storage);
  EXPECT_EQ(b.get_implementation(), storage);
  EXPECT_NE(dynamic_cast<VectorArrayImpl<int>*>(a.get_implementation().get()), nullptr);
  EXPECT_TRUE(a.is_implementation_unique());
  EXPECT_EQ(b.implementation_use_count(), 2u);
  EXPECT_TRUE(a == b);
  a[0] = 9;
  b.resize(5);
  EXPECT_EQ(values_of(a), (std::vector<int>{9, 2, 3}));
  EXPECT_EQ(values_of(b), (std::vector<int>{1, 2, 3, 0, 0}));
  EXPECT_EQ(observer_count(storage), 1u);
}

TEST(Array1D, EqualityComparesTheBytesOfTheSameElementType)
{
  Array<double, 1> a(2), b(2);
  const double quiet_nan = std::numeric_limits<double>::quiet_NaN();
  a[0] = b[0] = quiet_nan;
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a != b);
  std::uint64_t bits;
  std::memcpy(&bits, &quiet_nan, sizeof bits);
  bits |= 1;
  std::memcpy(&b[0], &bits, sizeof bits);
  EXPECT_TRUE(std::isnan(b[0]));
  EXPECT_FALSE(a == b);
  EXPECT_TRUE(a != b);

  a[0] = 0.0, b[0] = -0.0;
  EXPECT_FALSE(a == b);
  b[0] = 0.0;
  EXPECT_TRUE(a == b);

  b.resize(3);
  EXPECT_FALSE(a == b);
  EXPECT_TRUE(a == a);
  Array<double, 1> same_storage(a);
  EXPECT_TRUE(same_storage == a);

  // A 2-D view of the same element type passes the type test; another element type never does.
  Array<double, 2> grid(a.get_implementation(), 1);
  Array<double, 1> copy(a);
  copy.make_unique();
  EXPECT_TRUE(copy == grid);
  Array<int, 1> ints(3);
  Array<unsigned int, 1> unsigneds(3);
  EXPECT_FALSE(ints == unsigneds);
  EXPECT_TRUE(ints != unsigneds);
  EXPECT_TRUE((Array<int, 1>() == Array<int, 1>()));
}

TEST(Array1D, NegateFlipsSignedComponentsOnly)
{
  Array<int, 1> ints(3);
  ints[0] = 5, ints[1] = std::numeric_limits<int>::min(), ints[2] = 0;
  ints.negate();
  EXPECT_EQ(values_of(ints), (std::vector<int>{-5, std::numeric_limits<int>::min(), 0}));

  Array<double, 1> doubles(3);
  doubles[0] = 0.0, doubles[1] = -std::numeric_limits<double>::quiet_NaN(), doubles[2] = -1.5;
  doubles.negate();
  EXPECT_TRUE(std::signbit(doubles[0]));
  EXPECT_FALSE(std::signbit(doubles[1]));
  EXPECT_EQ(doubles[2], 1.5);

  Array<RigidVector<3, double>, 1> points(1);
  points[0] = RigidVector<3, double>(1.0, -2.0, 3.0);
  points.negate();
  EXPECT_EQ(points[0], (RigidVector<3, double>(-1.0, 2.0, -3.0)));

  Array<unsigned int, 1> unsigneds(1);
  unsigneds[0] = 4;
  EXPECT_PRECONDITION_FAILURE(unsigneds.negate(), "is_not_unsigned<T_>::value",
                              "Error: trying to negate an unsigned array or an array that is not scalar.", array_inl);
  EXPECT_EQ(unsigneds[0], 4u);
  Array<bool, 1> bools(1);
  bools[0] = true;
  EXPECT_THROW(bools.negate(), kernos50::IPreconditionException);
  EXPECT_TRUE(bools[0]);
}

TEST(Array1D, ScaleConvertsThroughDoubleInTheElementsWidth)
{
  Array<int, 1> ints(3);
  ints[0] = 1, ints[1] = -3, ints[2] = -7;
  ints.scale(2.5);
  EXPECT_EQ(values_of(ints), (std::vector<int>{2, -7, -17}));

  Array<bool, 1> bools(2);
  bools[0] = true;
  bools.scale(0.5);
  EXPECT_TRUE(bools[0]);
  EXPECT_FALSE(bools[1]);
  bools.scale(0.0);
  EXPECT_FALSE(bools[0]);

  // Integers keep the low bits of the truncated product.
  Array<unsigned char, 1> bytes(2);
  bytes[0] = 200, bytes[1] = 3;
  bytes.scale(2.0);
  EXPECT_EQ(bytes[0], 144);
  bytes.scale(-1.0);
  EXPECT_EQ(bytes[1], 250);
  Array<signed char, 1> small(1);
  small[0] = 100;
  small.scale(2.0);
  EXPECT_EQ(small[0], -56);
  Array<unsigned long long, 1> wide(2);
  wide[0] = 1ULL << 63, wide[1] = 1ULL << 62;
  wide.scale(1.5);
  EXPECT_EQ(wide[0], 0xC000000000000000ULL);
  EXPECT_EQ(wide[1], 0x6000000000000000ULL);
  Array<long long, 1> longs(1);
  longs[0] = 1LL << 62;
  longs.scale(4.0);
  EXPECT_EQ(longs[0], 0);

  // A float is multiplied in double and rounded once.
  Array<float, 1> floats(1);
  floats[0] = 0.1f;
  floats.scale(3.0);
  EXPECT_EQ(floats[0], static_cast<float>(static_cast<double>(0.1f) * 3.0));

  Array<RigidVector<2, double>, 1> pairs(1);
  pairs[0] = RigidVector<2, double>(1.0, 2.0);
  EXPECT_PRECONDITION_FAILURE(pairs.scale(2.0), "is_scalar_type<T_>::value",
                              "Error: trying to scale an array that is not scalar.", array_inl);
  EXPECT_EQ(pairs[0], (RigidVector<2, double>(1.0, 2.0)));
}

TEST(Array1D, AtChecksTheBoundsAndReportsThemAsHandles)
{
  Array<int, 1> a(3);
  a.at(2) = 8;
  EXPECT_EQ(a[2], 8);
  EXPECT_EQ((&static_cast<const Array<int, 1>&>(a).at(0)), a.data());
  for (std::int64_t index : {std::int64_t(-1), std::int64_t(3)}) {
    try {
      a.at(index);
      ADD_FAILURE() << "no failure at " << index;
    } catch (const OutOfRangeError& e) {
      EXPECT_EQ(e.index().get<Handle1>(), static_cast<handle_t>(index));
      EXPECT_EQ(e.lower().get<Handle1>(), 0u);
      EXPECT_EQ(e.upper().get<Handle1>(), 3u);
      EXPECT_STREQ(e.what(), index < 0 ? "Index (18446744073709551615) out of range (0 <= index < 3)."
                                       : "Index (3) out of range (0 <= index < 3).");
    }
  }
  EXPECT_THROW((static_cast<const Array<int, 1>&>(Array<int, 1>()).at(0)), OutOfRangeError);
}

TEST(Array1D, ObservationLastsExactlyAsLongAsTheStorageIsHeld)
{
  auto storage = vector_storage<int>(2), other = vector_storage<int>(2);
  boost::weak_ptr<IArrayImpl> watch(storage);
  {
    Array<int, 1> a(storage);
    EXPECT_EQ(observer_count(storage), 1u);
    a.set_implementation(other);
    EXPECT_EQ(observer_count(storage), 0u);
    EXPECT_EQ(observer_count(other), 1u);
    Array<int, 1> b(storage);
    b.reset();
    EXPECT_EQ(observer_count(storage), 0u);
    EXPECT_EQ(b.size(), 0u);
    b = a;
  }
  EXPECT_EQ(observer_count(other), 0u);
  storage.reset();
  EXPECT_TRUE(watch.expired());
  other->resize(5);  // nobody left to tell
}

TEST(Array1D, DestructorReportsAFailedDetachInsteadOfThrowing)
{
  auto storage = vector_storage<int>(1);
  ::testing::internal::CaptureStderr();
  {
    Array<int, 1> a(storage);
    remove_observation(storage.get(), &a);
  }
  const std::string printed = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(printed.rfind("Exception thrown while destroying Array:\n", 0), 0u) << printed;
  EXPECT_NE(printed.find("Trying to remove an invalid observation"), std::string::npos) << printed;
  EXPECT_EQ(storage.use_count(), 1);
}

TEST(IArrayImpl, MaxSizeLeavesRoomBelowTheVectorLimit)
{
  EXPECT_EQ(vector_storage<unsigned char>(0)->max_size(), 0x7FFFFFFFFFFFFEFFULL);
  EXPECT_EQ(vector_storage<float>(0)->max_size(), 0x3FFFFFFFFFFFFFBFULL);
  EXPECT_EQ(vector_storage<double>(0)->max_size(), 0x1FFFFFFFFFFFFFDFULL);
  EXPECT_EQ((vector_storage<RigidVector<3, double>>(0)->max_size()), 0x0AAAAAAAAAAAAA9FULL);
}

TEST(IArrayImpl, ResizeBeyondMaxSizeFailsAndChangesNothing)
{
  auto storage = vector_storage<int>(3);
  Array<int, 1> a(storage), b(storage);
  a[0] = 1, a[1] = 2, a[2] = 3;
  const int* before = a.data();
  const char* const message = "Trying to resize array to invalid size: 4611686018427387840 elements.\n"
                              "Maximum size is: 4611686018427387839";
  EXPECT_PRECONDITION_FAILURE(storage->resize(0x3FFFFFFFFFFFFFC0ULL), "p_NewSize <= this->max_size()", message,
                              "quill20/core/array/IArrayImpl.inl");
  EXPECT_PRECONDITION_FAILURE(b.resize(0x3FFFFFFFFFFFFFC0ULL), "p_NewSize <= this->max_size()", message,
                              "quill20/core/array/IArrayImpl.inl");
  EXPECT_EQ(storage_data(storage), before);
  for (const Array<int, 1>* array : {&a, &b}) {
    EXPECT_EQ(array->data(), before);
    EXPECT_EQ(values_of(*array), (std::vector<int>{1, 2, 3}));
  }
}

TEST(IArrayImpl, CreateArrayCoOwnsAStorageHeldBySharedPointer)
{
  auto storage = vector_storage<short>(4);
  std::unique_ptr<IArray> created(storage->create_array());
  auto* typed = dynamic_cast<Array<short, 1>*>(created.get());
  ASSERT_NE(typed, nullptr);
  EXPECT_EQ(typed->number_of_dimensions(), 1u);
  EXPECT_EQ(typed->size(), 4u);
  EXPECT_EQ(storage.use_count(), 2);
  typed->resize(9);
  EXPECT_EQ(storage_data(storage), typed->raw_data());

  VectorArrayImpl<short> unowned(4);
  EXPECT_THROW(unowned.create_array(), boost::bad_weak_ptr);
}

}  // namespace
