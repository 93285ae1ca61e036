// The checks behind the typed VTK storage tests; they see a storage only through its interfaces,
// so they are compiled once for all 99 storages.
#include <cstring>
#include <memory>
#include <string>

#include <vtkDataArray.h>

#include "kernos50/TypeName.h"
#include "quill20/vtk/VtkArrayImplFactory.h"
#include "quill20/vtk/VtkStorageTypedTests.h"

namespace vtk_storage_tests {

using quill20::core::AnyHandle;
using quill20::core::Handle1;
using quill20::core::IArray;
using quill20::core::handle_t;
using quill20::vtkex::VtkArrayImplBase;

namespace {

vtkDataArray* vtk_of(const IArrayImpl& p_Storage)
{
  return dynamic_cast<const VtkArrayImplBase&>(p_Storage).vtk_array();
}

// Writes a byte pattern that differs per seed and per byte, whatever the element type.
void fill(IArray& p_Array, std::size_t p_ElementSize, unsigned char p_Seed)
{
  auto* bytes = static_cast<unsigned char*>(p_Array.raw_data());
  for (std::size_t i = 0; i < p_Array.size() * p_ElementSize; ++i) bytes[i] = static_cast<unsigned char>(p_Seed + 7 * i);
}

bool holds(IArray& p_Array, std::size_t p_ElementSize, unsigned char p_Seed, std::size_t p_Count)
{
  const auto* bytes = static_cast<const unsigned char*>(p_Array.raw_data());
  for (std::size_t i = 0; i < p_Count * p_ElementSize; ++i)
    if (bytes[i] != static_cast<unsigned char>(p_Seed + 7 * i)) return false;
  return true;
}

}  // namespace

void check_starts_empty(IArrayImpl& p_Storage, const Expected& p_Expected)
{
  AnyHandle shape(handle_t(7));
  EXPECT_EQ(p_Storage.get_data(shape), nullptr);
  EXPECT_EQ(shape.get<Handle1>(), 0u);
  vtkDataArray* vtk = vtk_of(p_Storage);
  ASSERT_NE(vtk, nullptr);
  EXPECT_EQ(vtk->GetReferenceCount(), 1);
  EXPECT_EQ(vtk->GetNumberOfComponents(), p_Expected.components);
  EXPECT_EQ(vtk->GetNumberOfTuples(), 0);
  EXPECT_EQ(static_cast<std::size_t>(vtk->GetDataTypeSize()), p_Expected.component_size);
  EXPECT_EQ(p_Storage.element_size(), p_Expected.components * p_Expected.component_size);
  EXPECT_EQ(p_Storage.max_size(), quill20::core::storage_max_size(p_Storage.element_size()));
  EXPECT_EQ(&p_Storage.factory(), &quill20::vtkex::VtkArrayImplFactory::instance());
}

void check_resize_keeps_values(const boost::shared_ptr<IArrayImpl>& p_StorageOfTwo, const Expected& p_Expected)
{
  const std::size_t element_size = p_StorageOfTwo->element_size();
  vtkDataArray* vtk = vtk_of(*p_StorageOfTwo);
  std::unique_ptr<IArray> array(p_StorageOfTwo->create_array());
  std::unique_ptr<IArray> other(p_StorageOfTwo->create_array());
  EXPECT_EQ(vtk->GetMaxId() + 1, 2 * p_Expected.components);
  EXPECT_EQ(array->size(), 2u);
  EXPECT_EQ(array->raw_data(), vtk->GetVoidPointer(0));
  EXPECT_EQ(array->implementation_use_count(), 3u);
  fill(*array, element_size, 3);
  p_StorageOfTwo->resize(4);
  EXPECT_EQ(vtk->GetNumberOfTuples(), 4);
  EXPECT_EQ(vtk->GetNumberOfComponents(), p_Expected.components);
  EXPECT_EQ(array->size(), 4u);
  EXPECT_EQ(array->raw_data(), vtk->GetVoidPointer(0));
  EXPECT_TRUE(holds(*array, element_size, 3, 2));
  EXPECT_EQ(other->size(), 4u);
  EXPECT_EQ(other->raw_data(), array->raw_data());
  p_StorageOfTwo->resize(1);
  EXPECT_EQ(vtk->GetNumberOfTuples(), 1);
  EXPECT_TRUE(holds(*other, element_size, 3, 1));
  p_StorageOfTwo->resize(0);
  EXPECT_EQ(vtk->GetNumberOfTuples(), 0);
  EXPECT_EQ(other->size(), 0u);
  EXPECT_EQ(other->raw_data(), nullptr);
}

void check_clone_is_independent(const boost::shared_ptr<IArrayImpl>& p_StorageOfThree, const Expected& p_Expected)
{
  const std::size_t element_size = p_StorageOfThree->element_size();
  std::unique_ptr<IArray> original(p_StorageOfThree->create_array());
  fill(*original, element_size, 11);
  boost::shared_ptr<IArrayImpl> copy(p_StorageOfThree->clone());
  EXPECT_EQ(typeid(*copy), p_Expected.type);
  vtkDataArray* copy_vtk = vtk_of(*copy);
  EXPECT_NE(copy_vtk, vtk_of(*p_StorageOfThree));
  EXPECT_EQ(copy_vtk->GetReferenceCount(), 1);
  EXPECT_EQ(copy_vtk->GetNumberOfComponents(), p_Expected.components);
  std::unique_ptr<IArray> copied(copy->create_array());
  ASSERT_EQ(copied->size(), 3u);
  EXPECT_TRUE(holds(*copied, element_size, 11, 3));
  fill(*copied, element_size, 40);
  EXPECT_TRUE(holds(*original, element_size, 11, 3));
}

void check_releases_its_own_reference(boost::shared_ptr<IArrayImpl> p_Storage)
{
  vtkDataArray* vtk = vtk_of(*p_Storage);
  vtk->Register(nullptr);  // keeps the VTK array alive past the storage
  ASSERT_EQ(vtk->GetReferenceCount(), 2);
  {
    std::unique_ptr<IArray> array(p_Storage->create_array());
    std::unique_ptr<IArray> other(p_Storage->create_array());
    p_Storage.reset();
    EXPECT_EQ(vtk->GetReferenceCount(), 2);
  }
  EXPECT_EQ(vtk->GetReferenceCount(), 1);
  vtk->Delete();
}

void check_create_with_shape_fails(const IArrayImpl& p_Storage, const Expected& p_Expected)
{
  try {
    delete p_Storage.create_new_with_shape(AnyHandle(handle_t(2)));
    ADD_FAILURE() << "no failure";
  } catch (const quill20::core::IAvailabilityException& failure) {
    const std::string tail = std::string(" is not implemented yet for ") + kernos50::type_name(p_Expected.type);
    const std::string& message = failure.message();
    EXPECT_TRUE(message.size() > tail.size() && message.compare(message.size() - tail.size(), tail.size(), tail) == 0)
        << message;
    EXPECT_NE(message.find("VtkArrayImpl<V, N>::do_create_new_with_shape"), std::string::npos) << message;
    EXPECT_EQ(failure.file(), "quill20/vtk/VtkArrayImpl");
  }
}

}  // namespace vtk_storage_tests
