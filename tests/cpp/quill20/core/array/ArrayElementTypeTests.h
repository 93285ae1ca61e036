// Behaviour every array element type must show, written once and instantiated over halves of the
// element list by the test_ArrayElementTypes sources.
#pragma once

#include <memory>
#include <string>
#include <type_traits>

#include "ArrayTestSupport.h"
#include "quill20/core/array/VectorArrayImplFactory.h"

namespace array_testing {

template <class T>
class ArrayElementType : public ::testing::Test {};
TYPED_TEST_SUITE_P(ArrayElementType);

TYPED_TEST_P(ArrayElementType, DescribesItselfInEveryDimensionAndMakesStoragesOfItsKind)
{
  using T = TypeParam;
  using C = typename components_of<T>::type;
  Array<T, 1> line(6);
  EXPECT_TRUE(all_zero(bytes_of(line.data(), 6)));
  EXPECT_EQ(line.get_implementation()->element_size(), sizeof(T));
  Array<T, 2> grid(line.get_implementation(), 2);
  Array<T, 3> cube(line.get_implementation(), ElementShape(1u, 2u));
  IArray* arrays[] = {&line, &grid, &cube};
  for (unsigned int d = 0; d < 3; ++d) {
    EXPECT_EQ(arrays[d]->number_of_dimensions(), d + 1u);
    EXPECT_EQ(arrays[d]->get_shape().type(), static_cast<HandleType>(d));
    EXPECT_EQ(arrays[d]->scalar_type(), static_cast<ScalarType>(boost::mp11::mp_find<ScalarTypes, C>::value));
    EXPECT_EQ(arrays[d]->element_shape(), ElementShape(components_of<T>::count, 1u));
    EXPECT_EQ(arrays[d]->raw_data(), line.data());
  }
  std::unique_ptr<IArray> created(line.get_implementation()->create_array());
  EXPECT_NE((dynamic_cast<Array<T, 1>*>(created.get())), nullptr);
  EXPECT_EQ(line.implementation_use_count(), 4u);
  const std::unique_ptr<IArrayImpl> fresh(line.get_implementation()->create_new_with_shape(AnyHandle(handle_t(3))));
  EXPECT_NE(dynamic_cast<VectorArrayImpl<T>*>(fresh.get()), nullptr);
  std::uint64_t fresh_size = 0;
  storage_data(*fresh, &fresh_size);
  EXPECT_EQ(fresh_size, 3u);
  // The in-memory factory makes storages of one to four and nine components, empty ones of up to four.
  constexpr unsigned int n = components_of<T>::count;
  const IArrayImplFactory& factory = VectorArrayImplFactory::instance();
  for (const bool sized : {true, false})
    if (n <= 4 || (sized && n == 9)) {
      const std::unique_ptr<IArrayImpl> made(sized ? factory.create(line.scalar_type(), ElementShape(n, 1u), 3)
                                                   : factory.create(line.scalar_type(), ElementShape(n, 1u)));
      EXPECT_NE(dynamic_cast<VectorArrayImpl<T>*>(made.get()), nullptr) << sized;
      storage_data(*made, &fresh_size);
      EXPECT_EQ(fresh_size, sized ? 3u : 0u);
    }

  using Other = std::conditional_t<sizeof(T) == 1, short, unsigned char>;
  EXPECT_PRECONDITION_FAILURE(
      (Array<T, 1>(vector_storage<Other>(2))), "p_ArrayImplementation->element_size() == sizeof(value_type)",
      "\nArray implementation have a different element type (or tuple size).\nElement size for Array: " +
          std::to_string(sizeof(T)) + "\nElement size for Array Implementation: " + std::to_string(sizeof(Other)) + ".",
      "quill20/core/array/Array1D.inl");
}

TYPED_TEST_P(ArrayElementType, SharesElementsUntilMadeUniqueAndNegatesOrScalesOnlyWhatItMay)
{
  using T = TypeParam;
  using C = typename components_of<T>::type;
  Array<T, 1> a(4);
  fill_pattern(a.data(), 4);
  auto filled = bytes_of(a.data(), 4);
  Array<T, 1> b(a);
  a.resize(40);
  EXPECT_EQ(b.size(), 40u);
  EXPECT_EQ(b.data(), a.data());
  EXPECT_EQ(bytes_of(b.data(), 4), filled);
  EXPECT_TRUE(all_zero(bytes_of(b.data() + 4, 36)));
  // Regrowth inside the old capacity must zero the elements again.
  fill_pattern(a.data(), 40);
  a.resize(1);
  a.resize(40);
  EXPECT_TRUE(all_zero(bytes_of(b.data() + 1, 39)));

  b.make_unique();  // a deep copy through the storage's clone
  EXPECT_NE(b.data(), a.data());
  EXPECT_TRUE(a == b);
  reinterpret_cast<C*>(b.data() + 39)[0] = static_cast<C>(1);
  EXPECT_TRUE(a != b);
  EXPECT_EQ(a.implementation_use_count(), 1u);
  a.resize(3);
  EXPECT_EQ(b.size(), 40u);

  fill_pattern(a.data(), 3);
  filled = bytes_of(a.data(), 3);
  const char* const file = "quill20/core/array/Array1D.inl";
  if constexpr (std::is_signed_v<C>) {
    a.negate();
    const C* components = reinterpret_cast<const C*>(a.data());
    for (unsigned int i = 0; i < 3 * components_of<T>::count; ++i)
      EXPECT_EQ(components[i], static_cast<C>(-static_cast<C>(i + 1))) << i;
    fill_pattern(a.data(), 3);
  } else {
    EXPECT_PRECONDITION_FAILURE(a.negate(), "is_not_unsigned<T_>::value",
                                "Error: trying to negate an unsigned array or an array that is not scalar.", file);
    EXPECT_EQ(bytes_of(a.data(), 3), filled);
  }
  if constexpr (std::is_same_v<T, C>) {
    a.scale(-2.0);  // negative products wrap in unsigned types
    for (int i = 0; i < 3; ++i) EXPECT_EQ(a[i], static_cast<T>(-2 * (i + 1))) << i;
  } else {
    EXPECT_PRECONDITION_FAILURE(a.scale(2.0), "is_scalar_type<T_>::value",
                                "Error: trying to scale an array that is not scalar.", file);
    EXPECT_EQ(bytes_of(a.data(), 3), filled);
  }
}

REGISTER_TYPED_TEST_SUITE_P(ArrayElementType, DescribesItselfInEveryDimensionAndMakesStoragesOfItsKind,
                            SharesElementsUntilMadeUniqueAndNegatesOrScalesOnlyWhatItMay);

// The element list is split here so that each half compiles in its own source.
constexpr std::size_t first_half = boost::mp11::mp_size<ArrayElementTypes>::value / 2;

}  // namespace array_testing
