// The VTK storages: what every storage class does (typed over the VTK classes, each with its nine
// tuple sizes), the factory's choice of storage, and the refused calls that leave a storage as it was.
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include <boost/mp11/algorithm.hpp>
#include <gtest/gtest.h>
#include <vtkDataArray.h>
#include <vtkDoubleArray.h>
#include <vtkObject.h>

#include "quill20/core/array/HugePages.h"
#include "quill20/vtk/VtkArrayImpl.h"
#include "quill20/vtk/VtkArrayImplFactory.h"
#include "support/ExpectFailure.h"

namespace {

using namespace quill20::core;
using namespace quill20::vtkex;

const char* const vtk_file = "quill20/vtk/VtkArrayImpl";

vtkDataArray* vtk_of(const IArrayImpl& p_Storage)
{
  return dynamic_cast<const VtkArrayImplBase&>(p_Storage).vtk_array();
}

// Writes (or, with p_Check, compares) a byte pattern that differs per seed and per byte, whatever the type.
bool pattern(IArray& p_Array, std::size_t p_Bytes, unsigned char p_Seed, bool p_Check)
{
  auto* bytes = static_cast<unsigned char*>(p_Array.raw_data());
  for (std::size_t i = 0; i < p_Bytes; ++i) {
    const auto expected = static_cast<unsigned char>(p_Seed + 7 * i);
    if (p_Check && bytes[i] != expected) return false;
    bytes[i] = expected;
  }
  return true;
}

// One storage class of two elements, seen only through its interfaces (so compiled once for all 99 classes).
void check_storage(IArrayImpl* p_OfTwo, int p_Components, std::size_t p_ComponentSize, const std::type_info& p_Type)
{
  boost::shared_ptr<IArrayImpl> storage(p_OfTwo);
  const std::size_t element_size = p_Components * p_ComponentSize;
  vtkDataArray* vtk = vtk_of(*storage);
  EXPECT_EQ(vtk->GetReferenceCount(), 1);
  EXPECT_EQ(vtk->GetMaxId() + 1, 2 * p_Components);
  EXPECT_EQ(vtk->GetNumberOfComponents(), p_Components);
  EXPECT_EQ(static_cast<std::size_t>(vtk->GetDataTypeSize()), p_ComponentSize);
  EXPECT_EQ(storage->element_size(), element_size);
  EXPECT_EQ(storage->max_size(), storage_max_size(element_size));
  EXPECT_EQ(&storage->factory(), &VtkArrayImplFactory::instance());
  const std::string v = vtk->GetClassName(), n = std::to_string(p_Components);
  const auto failure = testing_support::expect_throw<IAvailabilityException>(
      [&] { delete storage->create_new_with_shape(AnyHandle(handle_t(2))); });
  EXPECT_EQ(failure.message(),
            "quill20::core::IArrayImpl* quill20::vtkex::VtkArrayImpl<V, N>::do_create_new_with_shape(const "
            "quill20::core::AnyHandle&) const [with V = " + v + "; int N = " + n +
                "] is not implemented yet for quill20::vtkex::VtkArrayImpl<" + v + ", " + n + ">");
  EXPECT_EQ(failure.file(), vtk_file);
  std::unique_ptr<IArray> array(storage->create_array()), other(storage->create_array());
  pattern(*array, 2 * element_size, 3, false);
  // A clone owns a deep copy of the values on a VTK array of its own.
  const boost::shared_ptr<IArrayImpl> copy(storage->clone());
  EXPECT_EQ(typeid(*copy), p_Type);
  EXPECT_EQ(vtk_of(*copy)->GetReferenceCount(), 1);
  const std::unique_ptr<IArray> copied(copy->create_array());
  ASSERT_EQ(copied->size(), 2u);
  EXPECT_TRUE(pattern(*copied, 2 * element_size, 3, true));
  pattern(*copied, 2 * element_size, 40, false);
  EXPECT_TRUE(pattern(*array, 2 * element_size, 3, true));
  // A resize of the storage reaches every array on it, keeps the values, and VTK's tuple count follows.
  storage->resize(4);
  EXPECT_EQ(vtk->GetNumberOfTuples(), 4);
  EXPECT_EQ(other->size(), 4u);
  EXPECT_EQ(other->raw_data(), vtk->GetVoidPointer(0));
  EXPECT_TRUE(pattern(*other, 2 * element_size, 3, true));
  storage->resize(1);
  EXPECT_EQ(vtk->GetNumberOfTuples(), 1);
  EXPECT_TRUE(pattern(*other, element_size, 3, true));
  storage->resize(0);
  EXPECT_EQ(vtk->GetNumberOfTuples(), 0);
  EXPECT_EQ(other->size(), 0u);
  EXPECT_EQ(other->raw_data(), nullptr);
  // The storage drops exactly its own VTK reference, once the last array on it goes.
  vtk->Register(nullptr);
  storage.reset();
  EXPECT_EQ(vtk->GetReferenceCount(), 2);
  array.reset();
  other.reset();
  EXPECT_EQ(vtk->GetReferenceCount(), 1);
  vtk->Delete();
}

// Tagged: gtest names its types, and the VTK classes are only declared.
template <class Tag>
class VtkStorage : public ::testing::Test {};
using VtkClassTags = boost::mp11::mp_rename<boost::mp11::mp_transform<type_tag, VtkArrayClasses>, ::testing::Types>;
TYPED_TEST_SUITE(VtkStorage, VtkClassTags);

TYPED_TEST(VtkStorage, OwnsSharesResizesClonesAndReleasesItsVtkArray)
{
  boost::mp11::mp_for_each<VtkTupleSizes>([](auto p_Size) {
    using S = VtkArrayImpl<typename TypeParam::type, decltype(p_Size)::value>;
    using traits = element_traits<typename S::value_type>;
    SCOPED_TRACE(::testing::Message() << "tuple size " << decltype(p_Size)::value);
    check_storage(new S(2), static_cast<int>(traits::components), sizeof(typename traits::component_type), typeid(S));
  });
}

// The empty create takes one to nine components, the sized one {1..4, 9}; other shapes are refused.
TEST(VtkArrayImplFactory, StoresEachScalarTypeInItsVtkClassAndRefusesOtherShapes)
{
  const std::pair<ScalarType, const char*> vtk_class_of[] = {
      {stFloat32, "vtkFloatArray"},       {stFloat64, "vtkDoubleArray"},       {stInt8, "vtkSignedCharArray"},
      {stInt16, "vtkShortArray"},         {stInt32, "vtkIntArray"},            {stInt64, "vtkIdTypeArray"},
      {stUInt8, "vtkUnsignedCharArray"},  {stUInt16, "vtkUnsignedShortArray"}, {stUInt32, "vtkUnsignedIntArray"},
      {stUInt64, "vtkUnsignedLongLongArray"}, {stBool, "vtkCharArray"}};
  const VtkArrayImplFactory& factory = VtkArrayImplFactory::instance();
  const std::string shape = "FromVectorArrayFactory: Can not create array whose element has this shape: ";
  for (const auto& [scalar_type, vtk_class] : vtk_class_of)
    for (unsigned int n = 1; n <= 9; ++n) {
      SCOPED_TRACE(std::string(vtk_class) + " x " + std::to_string(n));
      const std::unique_ptr<IArrayImpl> empty(factory.create(scalar_type, ElementShape(n, 1u)));
      EXPECT_STREQ(vtk_of(*empty)->GetClassName(), vtk_class);
      EXPECT_EQ(vtk_of(*empty)->GetNumberOfComponents(), static_cast<int>(n));
      if (n <= 4 || n == 9) {
        const std::unique_ptr<IArrayImpl> sized(factory.create(scalar_type, ElementShape(n, 1u), 3));
        EXPECT_EQ(typeid(*sized), typeid(*empty));
        EXPECT_EQ(vtk_of(*sized)->GetNumberOfTuples(), 3);
      } else {
        EXPECT_PRECONDITION_FAILURE(delete factory.create(scalar_type, ElementShape(n, 1u), 3), "0",
                                    shape + "[" + std::to_string(n) + ", 1]\n", vtk_file);
      }
    }
  const std::string non_scalar = "Cannot make an Array of non-scalars from a generic Factory!";
  struct Refused { ScalarType type; ElementShape shape; bool sized; const char* condition; std::string message; };
  const Refused refused[] = {{stFloat64, ElementShape(3u, 2u), true, "0", shape + "[3, 2]\n"},
                             {stFloat64, ElementShape(10u, 1u), false, "0", shape + "[10, 1]\n"},
                             {stUInt8, ElementShape(0u, 1u), false, "0", shape + "[0, 1]\n"},
                             {stNotAScalar, ElementShape(1u, 1u), true, "p_scalar_type != stNotAScalar", non_scalar},
                             {stNotAScalar, ElementShape(3u, 1u), false, "p_scalar_type != stNotAScalar", non_scalar}};
  for (const auto& r : refused)
    EXPECT_PRECONDITION_FAILURE(delete (r.sized ? factory.create(r.type, r.shape, 2) : factory.create(r.type, r.shape)),
                                r.condition, r.message, vtk_file);
}

TEST(VtkArrayImpl, RefusedInitializeOrAllocationChangesNothing)
{
  auto* storage = new VtkArrayImpl<vtkDoubleArray, 1>(2);
  Array<double, 1> values{boost::shared_ptr<IArrayImpl>(storage)};
  vtkDataArray* first = storage->vtk_array();
  values[1] = -2.0;
  const double* data = values.data();
  vtkDoubleArray* second = vtkDoubleArray::New();
  EXPECT_PRECONDITION_FAILURE(storage->initialize(second, 4), "m_vtk_array == 0",
                              "Trying to initialize a VtkArrayImpl already initialized.", vtk_file);
  EXPECT_EQ(second->GetReferenceCount(), 1);
  EXPECT_EQ(second->GetNumberOfComponents(), 1);
  second->Delete();
  const int warnings = vtkObject::GetGlobalWarningDisplay();
  vtkObject::GlobalWarningDisplayOff();  // VTK reports a failed allocation before throwing
  EXPECT_THROW(values.resize(std::uint64_t(1) << 50), std::bad_alloc);  // more than the address space
  EXPECT_THROW(values.resize(std::uint64_t(1) << 60), std::bad_alloc);  // more than VTK can count in bytes
  EXPECT_THROW((VtkArrayImpl<vtkIntArray, 4>(std::uint64_t(1) << 61)), std::bad_alloc);
  vtkObject::SetGlobalWarningDisplay(warnings);
  EXPECT_EQ(storage->vtk_array(), first);
  EXPECT_EQ(first->GetNumberOfTuples(), 2);
  EXPECT_EQ(values.size(), 2u);
  EXPECT_EQ(values.data(), data);
  EXPECT_EQ(values[1], -2.0);
}

// Code given the VTK array (Python's to_vtk()) may resize, reallocate or empty it through VTK: the
// memory the arrays saw stays theirs, every later use of the storage says what happened, and nothing
// is freed twice or kept (the sanitizer build checks both).
TEST(VtkArrayImpl, ChangesThroughVtkFreeNothingArraysSeeAndAreRefused)
{
  const std::vector<std::function<void(vtkDataArray*)>> changes = {
      [](vtkDataArray* v) { v->Initialize(); }, [](vtkDataArray* v) { v->SetNumberOfTuples(100000); },
      [](vtkDataArray* v) { v->Resize(100000); }, [](vtkDataArray* v) { v->SetNumberOfTuples(1); },
      [](vtkDataArray* v) { v->SetNumberOfComponents(3); }};
  for (const auto& change : changes) {
    auto values = make_vtk_array<double>(3);
    Array<double, 1> sharing(values->get_implementation());
    (*values)[2] = 7.0;
    const double* seen = &(*values)[0];
    vtkDataArray* vtk = vtk_of(*values->get_implementation());
    vtk->Register(nullptr);  // held outside, as by a VTK Python object
    change(vtk);
    EXPECT_EQ(seen[2], 7.0);
    const auto failure = testing_support::expect_throw<kernos50::IPreconditionException>([&] { values->data(); });
    EXPECT_NE(failure.message().find("changed through VTK, not through quill20"), std::string::npos);
    EXPECT_EQ(failure.file(), vtk_file);
    EXPECT_THROW(sharing.resize(5), kernos50::IPreconditionException);
    EXPECT_THROW(sharing.make_unique(), kernos50::IPreconditionException);
    EXPECT_EQ(sharing.size(), 3u);
    values.reset();
    sharing.reset();
    vtk->Delete();
  }
  // A storage that goes first leaves its memory to VTK, which frees it with the array.
  auto kept = make_vtk_array<double>(2);
  (*kept)[1] = 5.0;
  vtkDataArray* vtk = vtk_of(*kept->get_implementation());
  vtk->Register(nullptr);
  kept.reset();
  EXPECT_EQ(vtk->GetComponent(1, 0), 5.0);
  vtk->Resize(50);  // VTK's own now: grows in place
  EXPECT_EQ(vtk->GetComponent(1, 0), 5.0);
  vtk->Delete();
}

// Large arrays live on kept blocks during a run: given back by the storage or, once the storage is
// gone, by VTK; memory VTK resized is its own and is freed, never kept.
TEST(MakeVtkArray, LargeArraysGiveTheirMemoryToTheNextOfTheirSizeDuringARun)
{
  const std::uint64_t tuples = smallest_kept_block / sizeof(double) * 2;
  hold_freed_blocks();
  auto values = make_vtk_array<double>(tuples);
  const void* memory = values->data();
  values.reset();
  ASSERT_EQ(freed_blocks_kept(), 1u);
  auto zeroed = make_zeroed_vtk_array<double>(tuples);
  EXPECT_EQ(zeroed->data(), memory);
  EXPECT_EQ((*zeroed)[tuples - 1], 0.0);
  vtkDataArray* vtk = vtk_of(*zeroed->get_implementation());
  vtk->Register(nullptr);
  zeroed.reset();
  EXPECT_EQ(freed_blocks_kept(), 0u);
  vtk->Delete();  // VTK lets go last
  EXPECT_EQ(freed_blocks_kept(), 1u);
  auto resized = make_vtk_array<double>(tuples);
  resized->resize(tuples * 3);
  resized.reset();
  EXPECT_EQ(freed_blocks_kept(), 0u);
  let_go_of_freed_blocks();
}

TEST(MakeVtkArray, BuildsTheStorageOfTheElementTypeAndSharesItsData)
{
  const auto points = make_vtk_array<quill20::mtm::RigidVector<3, double>>(4);
  ASSERT_EQ(points->size(), 4u);
  vtkDataArray* vtk = vtk_of(*points->get_implementation());
  EXPECT_STREQ(vtk->GetClassName(), "vtkDoubleArray");
  EXPECT_EQ(vtk->GetNumberOfComponents(), 3);
  EXPECT_EQ(points->data(), vtk->GetVoidPointer(0));
  const auto flags = make_vtk_array<bool>(3);  // one byte per bool, in a vtkCharArray
  (*flags)[1] = true;
  vtk = vtk_of(*flags->get_implementation());
  EXPECT_STREQ(vtk->GetClassName(), "vtkCharArray");
  EXPECT_EQ(static_cast<const signed char*>(vtk->GetVoidPointer(0))[1], 1);
}

// VTK counts the memory it is handed in values, not tuples; and it must stay resizable.
TEST(MakeVtkArray, ZeroedArraysHoldZeroTuplesAndStayResizable)
{
  const auto points = quill20::vtkex::make_zeroed_vtk_array<quill20::mtm::RigidVector<3, double>>(5);
  ASSERT_EQ(points->size(), 5u);
  vtkDataArray* vtk = vtk_of(*points->get_implementation());
  EXPECT_EQ(vtk->GetNumberOfTuples(), 5);
  EXPECT_EQ(points->data(), vtk->GetVoidPointer(0));
  for (std::uint64_t i = 0; i < 5; ++i)
    for (int k = 0; k < 3; ++k) EXPECT_EQ((*points)[i][k], 0.0);
  points->resize(7);
  EXPECT_EQ(vtk_of(*points->get_implementation())->GetNumberOfTuples(), 7);
  EXPECT_EQ(quill20::vtkex::make_zeroed_vtk_array<int>(0)->size(), 0u);
}

}  // namespace
