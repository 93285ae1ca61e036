// Every in-memory storage element type, the scale rule for every scalar type, and the one array whose
// element is not made of scalars.
#include <cmath>
#include <cstdint>
#include <memory>

#include <gtest/gtest.h>

#include "ArrayTestSupport.h"
#include "quill20/core/array/VectorArrayImplFactory.h"
#include "quill20/core/geometry/FullNaturalPoint.h"
#include "support/ExpectFailure.h"

namespace {

using namespace array_testing;

template <class T>
class StorageElementType : public ::testing::Test {};
TYPED_TEST_SUITE(StorageElementType, GTestTypes<StorageElementTypes>, ElementTypeNames);

TYPED_TEST(StorageElementType, ZeroesNewElementsAndCopiesOrRecreatesItself)
{
  using T = TypeParam;
  auto storage = vector_storage<T>(5);
  EXPECT_EQ(storage->element_size(), sizeof(T));
  EXPECT_EQ(storage_size(storage), 5u);
  Array<T, 1> view(storage);
  EXPECT_TRUE(all_zero(bytes_of(view.data(), 5)));

  fill_pattern(view.data(), 5);
  const auto filled = bytes_of(view.data(), 5);
  std::unique_ptr<IArrayImpl> copy(storage->clone());
  ASSERT_NE(dynamic_cast<VectorArrayImpl<T>*>(copy.get()), nullptr);
  AnyHandle shape(handle_t(0));
  const T* copied = static_cast<const T*>(copy->get_data(shape));
  EXPECT_EQ(shape.get<Handle1>(), 5u);
  EXPECT_NE(copied, view.data());
  EXPECT_EQ(bytes_of(copied, 5), filled);

  storage->resize(1);
  storage->resize(5);
  EXPECT_TRUE(all_zero(bytes_of(view.data() + 1, 4)));
  storage->resize(0);
  EXPECT_EQ(storage_data(storage), nullptr);
  EXPECT_EQ(view.data(), nullptr);

  std::unique_ptr<IArrayImpl> fresh(storage->create_new_with_shape(AnyHandle(handle_t(3))));
  ASSERT_NE(dynamic_cast<VectorArrayImpl<T>*>(fresh.get()), nullptr);
  EXPECT_TRUE(all_zero(bytes_of(static_cast<const T*>(fresh->get_data(shape)), 3)));
  EXPECT_EQ(&fresh->factory(), &vector_array_impl_factory());
}

template <class C>
class ScalarElementType : public ::testing::Test {};
TYPED_TEST_SUITE(ScalarElementType, GTestTypes<ScalarTypes>, ElementTypeNames);

// The product is taken in double, then rounded (float), tested against zero (bool) or truncated
// toward zero with the low bits kept (integers).
TYPED_TEST(ScalarElementType, ScaleGoesThroughDouble)
{
  using C = TypeParam;
  const C values[] = {C(0), C(1), C(3), C(100)};
  for (double factor : {-2.5, 0.5, 1e-3}) {
    Array<C, 1> a(4);
    for (int i = 0; i < 4; ++i) a[i] = values[i];
    a.scale(factor);
    for (int i = 0; i < 4; ++i) {
      const double product = static_cast<double>(values[i]) * factor;
      C expected;
      if constexpr (std::is_same_v<C, bool>)
        expected = product != 0.0;
      else if constexpr (std::is_floating_point_v<C>)
        expected = static_cast<C>(product);
      else
        expected = static_cast<C>(static_cast<std::int64_t>(std::trunc(product)));
      EXPECT_EQ(a[i], expected) << values[i] << " * " << factor;
    }
  }
}

TEST(FullNaturalPointArray, IsANonScalarOneDimensionalArray)
{
  using Point = FullNaturalPoint<double, 3>;
  Array<Point, 1> points(2);
  EXPECT_EQ(points.get_implementation()->element_size(), 32u);
  EXPECT_EQ(points.scalar_type(), stNotAScalar);
  EXPECT_EQ(points.element_shape(), ElementShape(1u, 1u));
  EXPECT_EQ(points.number_of_dimensions(), 1u);
  EXPECT_EQ(&points.factory(), &vector_array_impl_factory());
  points[1].natural = RigidVector<3, double>(1.0, -2.0, 3.0);
  points[1].cell = 7;
  const auto before = bytes_of(points.data(), 2);
  EXPECT_PRECONDITION_FAILURE(points.negate(), "is_not_unsigned<T_>::value",
                              "Error: trying to negate an unsigned array or an array that is not scalar.",
                              "quill20/core/array/Array1D.inl");
  EXPECT_PRECONDITION_FAILURE(points.scale(2.0), "is_scalar_type<T_>::value",
                              "Error: trying to scale an array that is not scalar.", "quill20/core/array/Array1D.inl");
  EXPECT_EQ(bytes_of(points.data(), 2), before);

  std::unique_ptr<IArray> created(points.get_implementation()->create_array());
  EXPECT_NE((dynamic_cast<Array<Point, 1>*>(created.get())), nullptr);
  Array<Point, 1> copy(points);
  copy.make_unique();
  EXPECT_TRUE(copy == points);
}

}  // namespace
