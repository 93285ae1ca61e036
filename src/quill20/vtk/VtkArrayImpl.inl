// Bodies of VtkArrayImpl<V,N>; included only by the instantiating sources.
#include <memory>
#include <type_traits>

#include <vtkCharArray.h>
#include <vtkDataArray.h>
#include <vtkDoubleArray.h>
#include <vtkFloatArray.h>
#include <vtkIdTypeArray.h>
#include <vtkIntArray.h>
#include <vtkShortArray.h>
#include <vtkSignedCharArray.h>
#include <vtkUnsignedCharArray.h>
#include <vtkUnsignedIntArray.h>
#include <vtkUnsignedLongLongArray.h>
#include <vtkUnsignedShortArray.h>

#include "quill20/vtk/VtkArrayImpl.h"

namespace quill20 {
namespace vtkex {

template <class V, int N>
VtkArrayImpl<V, N>::VtkArrayImpl()
{
  // vtkCharArray's values are plain char, which we present as signed char.
  using C = typename vtk_component<V>::type;
  using Value = typename V::ValueType;
  static_assert(std::is_same_v<Value, C> || (std::is_same_v<Value, char> && std::is_same_v<C, signed char>),
                "the component type of a VTK class in the list does not match the class");
  V* array = V::New();
  this->initialize(array, N);
  // The reference taken by initialize is now the only one.
  array->Delete();
}

template <class V, int N>
VtkArrayImpl<V, N>::VtkArrayImpl(std::uint64_t p_Size) : VtkArrayImpl()
{
  this->set_number_of_tuples(p_Size);
}

template <class V, int N>
core::IArrayImpl* VtkArrayImpl<V, N>::clone() const
{
  std::unique_ptr<VtkArrayImpl> copy(new VtkArrayImpl());
  this->deep_copy_into(*copy);
  return copy.release();
}

}  // namespace vtkex
}  // namespace quill20
