// The VTK factory's storage selection and the failures of the VTK storages.
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include <gtest/gtest.h>
#include <vtkDataArray.h>
#include <vtkDoubleArray.h>
#include <vtkObject.h>

#include "quill20/vtk/VtkArrayImpl.h"
#include "quill20/vtk/VtkArrayImplFactory.h"
#include "support/ExpectFailure.h"

namespace {

using namespace quill20::core;
using quill20::mtm::RigidVector;
using quill20::vtkex::make_vtk_array;
using quill20::vtkex::VtkArrayImpl;
using quill20::vtkex::VtkArrayImplBase;
using quill20::vtkex::VtkArrayImplFactory;
using quill20::vtkex::vtk_storage_for;

const char* const vtk_file = "quill20/vtk/VtkArrayImpl";
const std::string shape_message = "FromVectorArrayFactory: Can not create array whose element has this shape: ";

// The VTK class each scalar type is stored in.
const std::pair<ScalarType, const char*> vtk_class_of[] = {
    {stFloat32, "vtkFloatArray"},       {stFloat64, "vtkDoubleArray"},       {stInt8, "vtkSignedCharArray"},
    {stInt16, "vtkShortArray"},         {stInt32, "vtkIntArray"},            {stInt64, "vtkIdTypeArray"},
    {stUInt8, "vtkUnsignedCharArray"},  {stUInt16, "vtkUnsignedShortArray"}, {stUInt32, "vtkUnsignedIntArray"},
    {stUInt64, "vtkUnsignedLongLongArray"}, {stBool, "vtkCharArray"}};

const VtkArrayImplFactory& factory()
{
  return VtkArrayImplFactory::instance();
}

vtkDataArray* vtk_of(const IArrayImpl& p_Storage)
{
  return dynamic_cast<const VtkArrayImplBase&>(p_Storage).vtk_array();
}

TEST(VtkArrayImplFactory, SizedCreateStoresEachScalarTypeInItsVtkClass)
{
  for (const auto& [scalar_type, vtk_class] : vtk_class_of) {
    for (unsigned int components : {1u, 2u, 3u, 4u, 9u}) {
      SCOPED_TRACE(std::string(vtk_class) + " x " + std::to_string(components));
      std::unique_ptr<IArrayImpl> storage(factory().create(scalar_type, ElementShape(components, 1u), 3));
      vtkDataArray* vtk = vtk_of(*storage);
      EXPECT_STREQ(vtk->GetClassName(), vtk_class);
      EXPECT_EQ(vtk->GetNumberOfComponents(), static_cast<int>(components));
      EXPECT_EQ(vtk->GetNumberOfTuples(), 3);
      EXPECT_EQ(storage->element_size(), components * static_cast<unsigned int>(vtk->GetDataTypeSize()));
    }
  }
}

TEST(VtkArrayImplFactory, EmptyCreateTakesOneToNineComponents)
{
  for (const auto& [scalar_type, vtk_class] : vtk_class_of) {
    for (unsigned int components = 1; components <= 9; ++components) {
      SCOPED_TRACE(std::string(vtk_class) + " x " + std::to_string(components));
      std::unique_ptr<IArrayImpl> storage(factory().create(scalar_type, ElementShape(components, 1u)));
      vtkDataArray* vtk = vtk_of(*storage);
      EXPECT_STREQ(vtk->GetClassName(), vtk_class);
      EXPECT_EQ(vtk->GetNumberOfComponents(), static_cast<int>(components));
      EXPECT_EQ(vtk->GetNumberOfTuples(), 0);
    }
  }
  std::unique_ptr<IArrayImpl> shorts(factory().create(stInt16, ElementShape(5u, 1u)));
  EXPECT_EQ(typeid(*shorts), typeid(VtkArrayImpl<vtkShortArray, 5>));
}

TEST(VtkArrayImplFactory, RejectsOtherShapesAndNonScalars)
{
  EXPECT_PRECONDITION_FAILURE(delete factory().create(stInt16, ElementShape(5u, 1u), 2), "0",
                              shape_message + "[5, 1]\n", vtk_file);
  EXPECT_PRECONDITION_FAILURE(delete factory().create(stInt32, ElementShape(8u, 1u), 2), "0",
                              shape_message + "[8, 1]\n", vtk_file);
  EXPECT_PRECONDITION_FAILURE(delete factory().create(stFloat64, ElementShape(3u, 2u), 2), "0",
                              shape_message + "[3, 2]\n", vtk_file);
  EXPECT_PRECONDITION_FAILURE(delete factory().create(stFloat64, ElementShape(10u, 1u)), "0",
                              shape_message + "[10, 1]\n", vtk_file);
  EXPECT_PRECONDITION_FAILURE(delete factory().create(stUInt8, ElementShape(0u, 1u)), "0",
                              shape_message + "[0, 1]\n", vtk_file);
  EXPECT_PRECONDITION_FAILURE(delete factory().create(stNotAScalar, ElementShape(1u, 1u), 1),
                              "p_scalar_type != stNotAScalar",
                              "Cannot make an Array of non-scalars from a generic Factory!", vtk_file);
  EXPECT_PRECONDITION_FAILURE(delete factory().create(stNotAScalar, ElementShape(3u, 1u)),
                              "p_scalar_type != stNotAScalar",
                              "Cannot make an Array of non-scalars from a generic Factory!", vtk_file);
}

TEST(VtkArrayImplFactory, BoolArraysLiveInCharArrays)
{
  boost::shared_ptr<IArrayImpl> storage(factory().create(stBool, ElementShape(1u, 1u), 3));
  EXPECT_EQ(storage->element_size(), 1u);
  Array<bool, 1> flags(storage);
  ASSERT_EQ(flags.size(), 3u);
  flags[0] = true;
  flags[1] = false;
  flags[2] = true;
  EXPECT_EQ(static_cast<const signed char*>(vtk_of(*storage)->GetVoidPointer(0))[2], 1);

  Array<bool, 1> initialized;
  initialized.initialize(factory(), 2);
  EXPECT_EQ(initialized.size(), 2u);
  EXPECT_EQ(typeid(*initialized.get_implementation()), typeid(VtkArrayImpl<vtkCharArray, 1>));
}

TEST(VtkArrayImpl, SecondInitializeFailsAndKeepsTheFirstVtkArray)
{
  VtkArrayImpl<vtkDoubleArray, 3> storage(2);
  vtkDataArray* first = storage.vtk_array();
  vtkDoubleArray* second = vtkDoubleArray::New();
  EXPECT_PRECONDITION_FAILURE(storage.initialize(second, 1), "m_vtk_array == 0",
                              "Trying to initialize a VtkArrayImpl already initialized.", vtk_file);
  EXPECT_EQ(storage.vtk_array(), first);
  EXPECT_EQ(first->GetNumberOfComponents(), 3);
  EXPECT_EQ(first->GetNumberOfTuples(), 2);
  EXPECT_EQ(second->GetReferenceCount(), 1);
  EXPECT_EQ(second->GetNumberOfComponents(), 1);
  second->Delete();
}

TEST(VtkArrayImpl, CreatingWithAShapeNamesTheFullSignature)
{
  const VtkArrayImpl<vtkDoubleArray, 3> storage;
  try {
    delete storage.create_new_with_shape(AnyHandle(handle_t(4)));
    ADD_FAILURE() << "no failure";
  } catch (const IAvailabilityException& failure) {
    EXPECT_EQ(failure.message(),
              "quill20::core::IArrayImpl* quill20::vtkex::VtkArrayImpl<V, N>::do_create_new_with_shape(const "
              "quill20::core::AnyHandle&) const [with V = vtkDoubleArray; int N = 3] is not implemented yet for "
              "quill20::vtkex::VtkArrayImpl<vtkDoubleArray, 3>");
    EXPECT_EQ(failure.file(), vtk_file);
  }
}

TEST(VtkArrayImpl, ResizeThatVtkCannotAllocateChangesNothing)
{
  const int warnings = vtkObject::GetGlobalWarningDisplay();
  vtkObject::GlobalWarningDisplayOff();  // VTK reports the failed allocation before throwing
  boost::shared_ptr<IArrayImpl> storage(new VtkArrayImpl<vtkDoubleArray, 1>(2));
  Array<double, 1> values(storage);
  values[0] = 1.5;
  values[1] = -2.0;
  const double* data = values.data();
  EXPECT_THROW(values.resize(std::uint64_t(1) << 50), std::bad_alloc);  // more than the address space
  EXPECT_THROW(values.resize(std::uint64_t(1) << 60), std::bad_alloc);  // more than VTK can count in bytes
  EXPECT_EQ(values.size(), 2u);
  EXPECT_EQ(values.data(), data);
  EXPECT_EQ(values[1], -2.0);
  EXPECT_EQ(vtk_of(*storage)->GetNumberOfTuples(), 2);

  boost::shared_ptr<IArrayImpl> pairs(new VtkArrayImpl<vtkCharArray, 2>());
  EXPECT_THROW(pairs->resize(pairs->max_size()), std::bad_alloc);
  EXPECT_EQ(vtk_of(*pairs)->GetNumberOfTuples(), 0);
  EXPECT_THROW((VtkArrayImpl<vtkIntArray, 4>(std::uint64_t(1) << 61)), std::bad_alloc);
  vtkObject::SetGlobalWarningDisplay(warnings);
}

TEST(MakeVtkArray, BuildsTheStorageOfTheElementType)
{
  static_assert(std::is_same_v<vtk_storage_for<double>::type, VtkArrayImpl<vtkDoubleArray, 1>>);
  static_assert(std::is_same_v<vtk_storage_for<RigidVector<3, double>>::type, VtkArrayImpl<vtkDoubleArray, 3>>);
  static_assert(std::is_same_v<vtk_storage_for<int>::type, VtkArrayImpl<vtkIntArray, 1>>);
  static_assert(std::is_same_v<vtk_storage_for<bool>::type, VtkArrayImpl<vtkCharArray, 1>>);
  static_assert(std::is_same_v<vtk_storage_for<long long>::type, VtkArrayImpl<vtkIdTypeArray, 1>>);
  static_assert(std::is_same_v<vtk_storage_for<signed char>::type, VtkArrayImpl<vtkSignedCharArray, 1>>);

  boost::shared_ptr<Array<RigidVector<3, double>, 1>> points = make_vtk_array<RigidVector<3, double>>(4);
  ASSERT_EQ(points->size(), 4u);
  vtkDataArray* vtk = vtk_of(*points->get_implementation());
  EXPECT_STREQ(vtk->GetClassName(), "vtkDoubleArray");
  EXPECT_EQ(vtk->GetNumberOfComponents(), 3);
  EXPECT_EQ(points->data(), vtk->GetVoidPointer(0));

  boost::shared_ptr<Array<bool, 1>> flags = make_vtk_array<bool>(2);
  EXPECT_EQ(flags->size(), 2u);
  EXPECT_STREQ(vtk_of(*flags->get_implementation())->GetClassName(), "vtkCharArray");
  EXPECT_EQ(make_vtk_array<int>(0)->size(), 0u);
}

}  // namespace
