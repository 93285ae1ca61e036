// Grid functions and handle mappers: every failure with its exact texts, the conversions, the
// description, sharing of the value storage, the selection mappers both ways, and the typed face of
// every array-held grid function of the type list.
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <typeinfo>

#include <boost/mp11/algorithm.hpp>
#include <gtest/gtest.h>

#include "quill20/core/IAvailabilityException.h"
#include "quill20/core/Quill20Error.h"
#include "quill20/core/array/VectorArrayImpl.h"
#include "quill20/core/array/VectorArrayImplFactory.h"
#include "quill20/core/grid_function/GridFunctionTypes.h"
#include "quill20/core/grid_function/StaticConstantGridFunctionImpl.h"
#include "quill20/core/mapper/HandleMapperSet.h"
#include "quill20/vtk/VtkArrayImplFactory.h"
#include "support/ExpectFailure.h"

namespace {

using namespace quill20::core;
using quill20::mtm::RigidVector;
using V3 = RigidVector<3, double>;

template <class T>
ArrayGridFunction<T> filled(std::initializer_list<T> p_Values)
{
  ArrayGridFunction<T> gf;
  gf.array().initialize(VectorArrayImplFactory::instance(), p_Values.size());
  std::copy(p_Values.begin(), p_Values.end(), gf.array().data());
  return gf;
}

const std::string read_file = "quill20/core/grid_function/GenGridFunction";
const std::string write_file = "quill20/core/grid_function/GenWritableGridFunction";
const std::string mapper_file = "quill20/core/mapper/IHandleMapper";
const std::string invalid_location = "Trying to access an inactive/invalid location. \nLocation: 18446744073709551615.\n";

std::string wrong_kind(const std::string& p_Handle, const std::string& p_Kind)
{
  return "\nTrying to access a grid function with the wrong handle type.\nHandle passed: " + p_Handle + " (" + p_Kind +
         ")\nAccepted handles: (Handle1)\n";
}

struct Failure {
  const char* name;
  std::function<void()> call;
  std::string condition, message, file;
};

TEST(GridFunction, EveryFailureHasItsExactTextsAndChangesNothing)
{
  ArrayGridFunction<int> ints = filled<int>({1, 2, 3});
  ArrayGridFunction<V3> points = filled<V3>({V3(1, 2, 3)});
  AlwaysOneGridFunction one;
  PassHandleMapper pass;
  OriginalToSelectionMapper<1, hmt::CellHandleMapper> cells;
  cells.array().initialize(VectorArrayImplFactory::instance(), 2);
  const Handle2 h2(1u, 2u);
  const Handle3 h3(1, 2, 3);
  const Handle4 h4(4, 3, 2, 1);
  Handle2 out2(0u, 0u);
  const Failure failures[] = {
      {"get Handle2", [&] { ints.get(h2); }, "accepts<HandleType_>::value", wrong_kind("[1, 2]", "Handle2"), read_file},
      {"get_unchecked Handle4", [&] { ints.get_unchecked(h4); }, "accepts<HandleType_>::value", wrong_kind("[4, 3, 2, 1]", "Handle4"), read_file},
      {"get_as_double Handle3", [&] { ints.get_as_double(h3); }, "accepts<HandleType_>::value", wrong_kind("[1, 2, 3]", "Handle3"), read_file},
      {"get_scalar Handle2", [&] { ints.get_scalar(h2); }, "accepts<HandleType_>::value", wrong_kind("[1, 2]", "Handle2"), read_file},
      {"set Handle3", [&] { ints.set(h3, 5); }, "accepts<HandleType_>::value", wrong_kind("[1, 2, 3]", "Handle3"), write_file},
      {"set_from_double Handle2", [&] { ints.set_from_double(h2, 5.0); }, "accepts<HandleType_>::value", wrong_kind("[1, 2]", "Handle2"), write_file},
      {"write under Const", [&] { one.set_from_double(handle_t(0), 1.0); }, "0", "Can't set values on this grid function, because is not Writable!", read_file},
      {"Const wrong kind", [&] { one.set_from_double(h2, 1.0); }, "0", "Can't set values on this grid function, because is not Writable!", read_file},
      {"get_array without array", [&] { one.get_array(); }, "arr", "Can't get array: this Grid Function does not hold an array.", read_file},
      {"invalid handle", [&] { ints.get(Inf<handle_t>()); }, "is_valid_handle(mapped_handle)", invalid_location, read_file},
      {"scalar of a vector", [&] { points.get_scalar(handle_t(0)); }, "0", "\nCannot convert object of type quill20::mtm::RigidVector<3, double> to a scalar.\n", "quill20/core/grid_function/ITypeGridFunction"},
      {"int of a vector", [&] { points.get_as_int(handle_t(0)); }, "0", "Actual value_type (quill20::mtm::RigidVector<3, double>) is not convertible to int32.", read_file},
      {"bool of a vector", [&] { points.get_as_bool(handle_t(0)); }, "0", "Actual value_type (quill20::mtm::RigidVector<3, double>) is not convertible to bool.", read_file},
      {"double of a vector", [&] { points.get_as_double(handle_t(0)); }, "0", "Actual value_type (quill20::mtm::RigidVector<3, double>) is not convertible to float64.", read_file},
      {"pass 1 to 2 unchecked", [&] { pass.map_unchecked(handle_t(1), out2); }, "0", "Mapper don't know how to map, etc, etc, etc", mapper_file},
      {"pass 1 to 2 checked", [&] { pass.map(handle_t(1), out2); }, "0", "Mapper doesn't know how to map the given handles.", mapper_file},
      {"cell mapper Handle2", [&] { cells.map(h2, out2); }, "0", "Mapper doesn't know how to map the given handles.", mapper_file},
      {"cell mapper invalid", [&] { handle_t o; cells.map(Inf<handle_t>(), o); }, "is_valid_handle(mapped_handle)", invalid_location, read_file},
  };
  for (const Failure& failure : failures) {
    SCOPED_TRACE(failure.name);
    EXPECT_PRECONDITION_FAILURE(failure.call(), failure.condition, failure.message, failure.file);
    EXPECT_EQ(ints.array()[0] + ints.array()[1] + ints.array()[2], 6);
    EXPECT_EQ(ints.array().size(), 3u);
  }
  EXPECT_EQ(out2, Handle2(0u, 0u)) << "a failed map leaves the output untouched";
}

TEST(GridFunction, ReadsPastTheEndAndLocationChangesFail)
{
  ArrayGridFunction<double> values = filled<double>({1.0, 2.0, 3.0});
  EXPECT_STREQ(testing_support::expect_throw<OutOfRangeError>([&] { values.get(handle_t(3)); }).what(),
               "Index (3) out of range (0 <= index < 3).");
  const auto failure = testing_support::expect_throw<IAvailabilityException>([&] { values.change_location(onVertex); });
  EXPECT_EQ(failure.message(),
            "virtual bool quill20::core::IGridFunction::do_change_location(quill20::core::LocationType) is not "
            "available for " + kernos50::type_name(typeid(values)) + ": \nCan't change this GridFunction location.");
  EXPECT_EQ(failure.file(), "quill20/core/grid_function/IGridFunction");
  EXPECT_EQ(values.location(), onCell);
}

TEST(GridFunction, ConversionsTruncateTowardZeroAndNaNIsTrue)
{
  ArrayGridFunction<double> values = filled<double>({std::nan(""), 2.9, -2.9, 0.0});
  EXPECT_TRUE(values.get_as_bool(handle_t(0)));
  EXPECT_EQ(values.get_as_int(handle_t(1)), 2);
  EXPECT_EQ(values.get_as_int(handle_t(2)), -2);
  EXPECT_FALSE(values.get_as_bool(handle_t(3)));
  EXPECT_EQ(values.get_scalar(handle_t(1)).value<double>(), 2.9);
  ArrayGridFunction<int> ints = filled<int>({0, 0});
  ints.set_from_double(handle_t(0), 3.99);
  ints.set_from_double(handle_t(1), -3.99);
  EXPECT_EQ(ints.get(handle_t(0)), 3);
  EXPECT_EQ(ints.get(handle_t(1)), -3);
  EXPECT_EQ(ints.get_as_double(handle_t(1)), -3.0);
}

TEST(GridFunction, EmptyIntGridFunctionPrintsItsDescription)
{
  ArrayGridFunction<int> empty;
  const std::string text = empty.str();
  const std::string type = kernos50::type_name(typeid(empty));
  const std::string expected_tail = "  Information: <null>\n  Accepted Handles: Handle1\n  Location: 1\n"
                                    "  Result Scalar Type: int32\n  Result Shape: [1, 1]\n  Number of Elements: 0\n";
  EXPECT_EQ(text.substr(0, text.find("  Mem. Location: ")),
            "GridFunction\n  Name: (anonymous)\n  C++ Type: " + type + "\n");
  EXPECT_EQ(text.substr(text.size() - expected_tail.size()), expected_tail);
  EXPECT_NE(AlwaysOneGridFunction().str().find("  Number of Elements: (infinity)\n"), std::string::npos);
}

TEST(GridFunction, CloneSharesTheValuesAndForgetsNameAndLocation)
{
  ArrayGridFunction<int> values = filled<int>({1, 2});
  values.set_name("ids");
  const auto shallow = boost::dynamic_pointer_cast<ArrayGridFunction<int>>(values.clone());
  const auto deep = boost::dynamic_pointer_cast<ArrayGridFunction<int>>(values.clone_deep());
  ASSERT_TRUE(shallow && deep);
  values.set(handle_t(0), 7);
  EXPECT_EQ(shallow->get(handle_t(0)), 7);
  EXPECT_EQ(deep->get(handle_t(0)), 1);
  EXPECT_EQ(shallow->get_name(), "");
  EXPECT_EQ(shallow->location(), onCell);
  EXPECT_EQ(values.create_new()->number_of_elements(), 0u);
  const auto array = boost::dynamic_pointer_cast<Array<int, 1>>(values.get_array());
  ASSERT_TRUE(array);
  EXPECT_EQ(array->data(), values.array().data());
  EXPECT_EQ(ArrayGridFunction<int>().clone()->number_of_elements(), 0u);
}

TEST(HandleMapper, PassMapperHandsOnItsInputAndSelectionMappersLookUpTheirTables)
{
  Handle3 h3(0, 0, 0);
  PassHandleMapper().map(Handle3(1, 2, 3), h3);
  EXPECT_EQ(h3, Handle3(1, 2, 3));
  // Original cells 0..3, of which 1 and 3 are selected as 0 and 1.
  OriginalToSelectionMapperSet<1> to_selection;
  SelectionToOriginalMapperSet<1> to_original;
  to_selection.cells().array().initialize(VectorArrayImplFactory::instance(), 4);
  unsigned long long* forward = to_selection.cells().array().data();
  forward[0] = forward[2] = Inf<handle_t>();
  forward[1] = 0;
  forward[3] = 1;
  to_original.cells().array().initialize(VectorArrayImplFactory::instance(), 2);
  to_original.cells().set(handle_t(0), 1ull);
  to_original.cells().set(handle_t(1), 3ull);
  handle_t mapped = 0;
  to_selection.cell_mapper().map(handle_t(3), mapped);
  EXPECT_EQ(mapped, 1u);
  to_original.cell_mapper().map(handle_t(1), mapped);
  EXPECT_EQ(mapped, 3u);
  to_selection.cell_mapper().map(handle_t(2), mapped);
  EXPECT_EQ(mapped, Inf<handle_t>()) << "no image: the marker is handed on";
  EXPECT_THROW(to_selection.cell_mapper().map(Inf<handle_t>(), mapped), kernos50::IPreconditionException);
  EXPECT_THROW(to_original.cell_mapper().map(handle_t(2), mapped), OutOfRangeError);

  to_selection.local_1().array().initialize(VectorArrayImplFactory::instance(), 3);
  to_selection.local_1().set(handle_t(2), 0x100000005ull);
  Handle2 local(0u, 0u);
  to_selection.local_mapper_1().map(Handle2(2u, 7u), local);
  EXPECT_EQ(local, Handle2(5u, 7u));
  EXPECT_THROW(to_selection.local_mapper_1().map(Handle2(3u, 7u), local), OutOfRangeError);

  OriginalToSelectionMapperSet<1> copy;
  copy.assign(to_selection);
  copy.cell_mapper().map(handle_t(3), mapped);
  EXPECT_EQ(mapped, 1u);
  EXPECT_THROW(copy.assign(to_original), std::bad_cast);
}

// The virtual operations of the storage interface keep their documented order: the vtable slot of a
// virtual member is encoded in its member-function pointer (Itanium C++ ABI).
struct StorageSlots : IArrayImpl {
  template <class M>
  static std::ptrdiff_t slot(M p_Member)
  {
    std::ptrdiff_t raw;
    std::memcpy(&raw, &p_Member, sizeof(raw));
    return (raw - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
  }
  static std::vector<std::ptrdiff_t> slots()
  {
    return {slot(&StorageSlots::get_data), slot(&StorageSlots::do_resize), slot(&StorageSlots::clone),
            slot(&StorageSlots::element_size), slot(&StorageSlots::factory), slot(&StorageSlots::max_size),
            slot(&StorageSlots::create_array), slot(&StorageSlots::do_create_new_with_shape)};
  }
};

TEST(IArrayImpl, VirtualOperationsKeepTheirOrder)
{
  const std::vector<std::ptrdiff_t> slots = StorageSlots::slots();
  for (std::size_t k = 1; k < slots.size(); ++k) EXPECT_EQ(slots[k], slots[0] + static_cast<std::ptrdiff_t>(k)) << k;
  EXPECT_EQ(slots[0], 2) << "right after the two destructor entries";
}

// Every array-held grid function of the list reads, writes and reports its type alike.
template <class T>
class ArrayHeldGridFunction : public ::testing::Test {};
using AllArrayHeld = boost::mp11::mp_rename<ArrayGridFunctionTypes, ::testing::Types>;
TYPED_TEST_SUITE(ArrayHeldGridFunction, AllArrayHeld);

TYPED_TEST(ArrayHeldGridFunction, ReadsWritesAndDescribesItsValues)
{
  using T = TypeParam;
  // VTK storage holds every element type of the list (in memory, vectors of 6 have none).
  ArrayGridFunction<T> gf(boost::shared_ptr<IArrayImpl>(quill20::vtkex::VtkArrayImplFactory::instance().create(
      element_traits<T>::scalar_type, element_shape_of<T>())));
  gf.array().resize(2);
  T value{};
  std::memset(static_cast<void*>(&value), 1, sizeof(T));
  gf.set(handle_t(1), value);
  EXPECT_TRUE(gf.get(handle_t(1)) == value);
  EXPECT_TRUE(gf.get_unchecked(handle_t(1)) == value);
  EXPECT_EQ(gf.number_of_elements(), 2u);
  EXPECT_EQ(gf.result_scalar_type(), element_traits<T>::scalar_type);
  EXPECT_EQ(gf.result_shape(), element_shape_of<T>());
  EXPECT_TRUE(gf.is_writable());
  const ElementValue element = gf.get_element(handle_t(1));
  EXPECT_EQ(element.rows(), element_traits<T>::components);
  EXPECT_EQ(element.columns(), 1u);
  EXPECT_EQ(std::memcmp(element.data(), &value, sizeof(T)), 0);
  EXPECT_EQ(element.flags() & 3u, 0u);
  EXPECT_TRUE(boost::dynamic_pointer_cast<ArrayGridFunction<T>>(gf.clone()));
}

}  // namespace
