// The in-memory factory's storage selection and failures, initialisation of an array from a factory,
// the in-memory storage's own operations, and the scalar-type names.
#include <memory>
#include <string>

#include <boost/mp11/algorithm.hpp>
#include <gtest/gtest.h>

#include "ArrayTestSupport.h"
#include "quill20/core/array/VectorArrayImplFactory.h"
#include "quill20/core/geometry/FullNaturalPoint.h"
#include "support/ExpectFailure.h"

namespace {

using namespace array_testing;

const char* const factory_file = "quill20/core/array/VectorArrayImplFactory";
const char* const not_a_scalar = "Cannot make an Array of non-scalars from a generic Factory!";
const std::string bad_shape = "FromVectorArrayFactory: Can not create array whose element has this shape: ";

const IArrayImplFactory& factory() { return VectorArrayImplFactory::instance(); }

// Checks that p_Created is a VectorArrayImpl<E> of p_Size zero elements, and takes ownership.
template <class E>
void expect_storage_of(IArrayImpl* p_Created, std::uint64_t p_Size)
{
  std::unique_ptr<IArrayImpl> owned(p_Created);
  ASSERT_NE(dynamic_cast<VectorArrayImpl<E>*>(owned.get()), nullptr) << kernos50::type_name<E>();
  EXPECT_EQ(owned->element_size(), sizeof(E));
  AnyHandle shape(handle_t(0));
  void* first = owned->get_data(shape);
  EXPECT_EQ(shape.get<Handle1>(), p_Size);
  if (p_Size == 0)
    EXPECT_EQ(first, nullptr);
  else
    EXPECT_TRUE(all_zero(bytes_of(static_cast<const E*>(first), p_Size)));
}

TEST(VectorArrayImplFactory, SelectsTheStorageByScalarTypeAndElementShape)
{
  boost::mp11::mp_for_each<ScalarTypes>([](auto p_Component) {
    using C = decltype(p_Component);
    const auto st = static_cast<ScalarType>(boost::mp11::mp_find<ScalarTypes, C>::value);
    SCOPED_TRACE(scalar_type_name(st));
    expect_storage_of<C>(factory().create(st, ElementShape(1u, 1u), 4), 4);
    expect_storage_of<C>(factory().create(st, ElementShape(1u, 1u)), 0);
    boost::mp11::mp_for_each<boost::mp11::mp_list_c<int, 2, 3, 4, 9>>([&](auto p_Count) {
      constexpr int n = decltype(p_Count)::value;
      expect_storage_of<RigidVector<n, C>>(factory().create(st, ElementShape(n, 1u), 3), 3);
      if (n != 9) expect_storage_of<RigidVector<n, C>>(factory().create(st, ElementShape(n, 1u)), 0);
    });
  });
  std::unique_ptr<IArrayImpl> points(factory().create(stFloat64, ElementShape(3u, 1u), 4));
  EXPECT_EQ(points->element_size(), 24u);
}

TEST(VectorArrayImplFactory, RejectsNinesWhenEmptyAndOtherShapesAlways)
{
  EXPECT_PRECONDITION_FAILURE(factory().create(stInt32, ElementShape(9u, 1u)), "0", bad_shape + "[9, 1]\n",
                              factory_file);
  for (const ElementShape& shape : {ElementShape(5u, 1u), ElementShape(0u, 1u), ElementShape(3u, 2u)}) {
    const std::string printed =
        "[" + std::to_string(shape[0]) + ", " + std::to_string(shape[1]) + "]\n";
    EXPECT_PRECONDITION_FAILURE(factory().create(stInt32, shape, 2), "0", bad_shape + printed, factory_file);
    EXPECT_PRECONDITION_FAILURE(factory().create(stBool, shape), "0", bad_shape + printed, factory_file);
  }
  for (const ElementShape& shape : {ElementShape(1u, 1u), ElementShape(5u, 1u)}) {
    EXPECT_PRECONDITION_FAILURE(factory().create(stNotAScalar, shape, 2), "p_scalar_type != stNotAScalar",
                                not_a_scalar, factory_file);
    EXPECT_PRECONDITION_FAILURE(factory().create(stNotAScalar, shape), "p_scalar_type != stNotAScalar",
                                not_a_scalar, factory_file);
  }
}

TEST(VectorArrayImplFactory, IsOneSingletonThatEveryInMemoryStorageReports)
{
  EXPECT_EQ(&VectorArrayImplFactory::instance(), &VectorArrayImplFactory::instance());
  EXPECT_EQ(&vector_array_impl_factory(), static_cast<IArrayImplFactory*>(&VectorArrayImplFactory::instance()));
  EXPECT_EQ(&vector_storage<bool>(1)->factory(), &vector_array_impl_factory());
  EXPECT_EQ((&Array<RigidVector<9, unsigned short>, 1>(2).factory()), &vector_array_impl_factory());
}

TEST(ArrayInitialize, ReplacesTheStorageWithOneFromTheFactory)
{
  Array<double, 1> a(2), co_owner;
  co_owner = a;
  a.initialize(factory(), 5);
  EXPECT_EQ(a.size(), 5u);
  EXPECT_NE(dynamic_cast<VectorArrayImpl<double>*>(a.get_implementation().get()), nullptr);
  EXPECT_TRUE(a.is_implementation_unique());
  EXPECT_EQ(co_owner.size(), 2u);

  Array<RigidVector<9, float>, 1> nines;
  nines.initialize(factory(), 3);
  EXPECT_NE((dynamic_cast<VectorArrayImpl<RigidVector<9, float>>*>(nines.get_implementation().get())), nullptr);
}

TEST(ArrayInitialize, FailureLeavesThePreviousStorageInPlace)
{
  Array<int, 1> fixed(3);
  const auto previous = fixed.get_implementation();
  fixed.set_fixed_shape();
  EXPECT_PRECONDITION_FAILURE(fixed.initialize(factory(), 4), "!this->m_IsFixedShape || p_InitialSize == this->m_Size",
                              "Trying to reset an array with fixed shape.", "quill20/core/array/Array1D.inl");
  EXPECT_EQ(fixed.get_implementation(), previous);
  fixed.initialize(factory(), 3);
  EXPECT_NE(fixed.get_implementation(), previous);

  Array<RigidVector<5, int>, 1> fives(2);
  const auto kept = fives.get_implementation();
  EXPECT_PRECONDITION_FAILURE(fives.initialize(factory(), 2), "0", bad_shape + "[5, 1]\n", factory_file);
  EXPECT_EQ(fives.get_implementation(), kept);

  Array<FullNaturalPoint<double, 3>, 1> points(1);
  EXPECT_PRECONDITION_FAILURE(points.initialize(factory(), 1), "p_scalar_type != stNotAScalar", not_a_scalar,
                              factory_file);
  EXPECT_EQ(points.size(), 1u);
}

TEST(VectorArrayImpl, ClonesDeeplyAndCreatesNewStoragesFromAFlatShape)
{
  auto storage = vector_storage<short>(3);
  Array<short, 1> a(storage);
  a[0] = 4, a[2] = -6;
  std::unique_ptr<IArrayImpl> copy(storage->clone());
  ASSERT_NE(dynamic_cast<VectorArrayImpl<short>*>(copy.get()), nullptr);
  AnyHandle shape(handle_t(0));
  const auto* copied = static_cast<const short*>(copy->get_data(shape));
  EXPECT_EQ(shape.get<Handle1>(), 3u);
  EXPECT_NE(copied, a.data());
  EXPECT_EQ(bytes_of(copied, 3), bytes_of(a.data(), 3));

  expect_storage_of<short>(storage->create_new_with_shape(AnyHandle(handle_t(6))), 6);
  try {
    storage->create_new_with_shape(AnyHandle(Handle2(2u, 3u)));
    ADD_FAILURE() << "a Handle2 shape was accepted";
  } catch (const kernos50::IPreconditionException& e) {
    EXPECT_EQ(e.file(), "quill20/core/handle/Handles");
    EXPECT_NE(e.message().find("Getting the wrong type"), std::string::npos) << e.message();
  }
}

TEST(ScalarTypeName, NamesEveryValue)
{
  const char* const names[] = {"float32", "float64", "int8",   "int16",  "int32", "int64",
                               "uint8",   "uint16",  "uint32", "uint64", "bool",  "<unknown scalar type>"};
  for (int value = stFloat32; value <= stNotAScalar; ++value)
    EXPECT_EQ(scalar_type_name(static_cast<ScalarType>(value)), names[value]);
}

}  // namespace
