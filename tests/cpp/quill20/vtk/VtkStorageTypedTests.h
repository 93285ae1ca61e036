// What every VTK storage must do, as type-parametrised tests. The checks themselves are compiled
// once (VtkStorageChecks.cpp); each test source instantiates the thin typed layer over a slice of the
// VTK classes, so no single source is slow to compile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <typeinfo>

#include <boost/mp11/algorithm.hpp>
#include <boost/mp11/list.hpp>
#include <boost/shared_ptr.hpp>
#include <gtest/gtest.h>

#include "quill20/vtk/VtkArrayImpl.h"

namespace vtk_storage_tests {

using quill20::core::IArrayImpl;

// What a storage class promises: its tuple size, its component size and its own type.
struct Expected {
  int components;
  std::size_t component_size;
  const std::type_info& type;
};

template <class S>
Expected expected()
{
  using traits = quill20::core::element_traits<typename S::value_type>;
  return {static_cast<int>(traits::components), sizeof(typename traits::component_type), typeid(S)};
}

void check_starts_empty(IArrayImpl& p_Storage, const Expected& p_Expected);
void check_resize_keeps_values(const boost::shared_ptr<IArrayImpl>& p_StorageOfTwo, const Expected& p_Expected);
void check_clone_is_independent(const boost::shared_ptr<IArrayImpl>& p_StorageOfThree, const Expected& p_Expected);
// Takes the only owner of the storage and lets it go.
void check_releases_its_own_reference(boost::shared_ptr<IArrayImpl> p_Storage);
void check_create_with_shape_fails(const IArrayImpl& p_Storage, const Expected& p_Expected);

// Runs p_Check(type_tag<VtkArrayImpl<V, N>>) for every tuple size N of the list.
template <class V, class F>
void for_each_tuple_size(F&& p_Check)
{
  boost::mp11::mp_for_each<quill20::vtkex::VtkTupleSizes>([&](auto p_Size) {
    SCOPED_TRACE(::testing::Message() << "tuple size " << decltype(p_Size)::value);
    p_Check(quill20::core::type_tag<quill20::vtkex::VtkArrayImpl<V, decltype(p_Size)::value>>{});
  });
}

template <class S>
boost::shared_ptr<IArrayImpl> make(std::uint64_t p_Size)
{
  return boost::shared_ptr<IArrayImpl>(new S(p_Size));
}

// The VTK classes [First, Last) of the list, as gtest types. They are tagged: gtest names its types,
// and the classes are only declared here.
template <std::size_t First, std::size_t Last>
using VtkClassSlice = boost::mp11::mp_rename<
    boost::mp11::mp_transform<quill20::core::type_tag,
                              boost::mp11::mp_take_c<boost::mp11::mp_drop_c<quill20::vtkex::VtkArrayClasses, First>,
                                                     Last - First>>,
    ::testing::Types>;

// Typed over the VTK classes; every test covers the nine tuple sizes of its class.
template <class Tag>
class VtkStorage : public ::testing::Test {};
TYPED_TEST_SUITE_P(VtkStorage);

TYPED_TEST_P(VtkStorage, StartsEmptyOnItsOwnVtkArray)
{
  for_each_tuple_size<typename TypeParam::type>([](auto p_Storage) {
    using S = typename decltype(p_Storage)::type;
    S storage;
    check_starts_empty(storage, expected<S>());
  });
}

TYPED_TEST_P(VtkStorage, ResizeKeepsValuesAndVtkFollows)
{
  for_each_tuple_size<typename TypeParam::type>([](auto p_Storage) {
    using S = typename decltype(p_Storage)::type;
    check_resize_keeps_values(make<S>(2), expected<S>());
  });
}

TYPED_TEST_P(VtkStorage, CloneIsIndependent)
{
  for_each_tuple_size<typename TypeParam::type>([](auto p_Storage) {
    using S = typename decltype(p_Storage)::type;
    check_clone_is_independent(make<S>(3), expected<S>());
  });
}

TYPED_TEST_P(VtkStorage, ReleasesExactlyItsOwnReference)
{
  for_each_tuple_size<typename TypeParam::type>([](auto p_Storage) {
    using S = typename decltype(p_Storage)::type;
    check_releases_its_own_reference(make<S>(4));
  });
}

TYPED_TEST_P(VtkStorage, CreatingWithAShapeIsNotImplemented)
{
  for_each_tuple_size<typename TypeParam::type>([](auto p_Storage) {
    using S = typename decltype(p_Storage)::type;
    const S storage;
    check_create_with_shape_fails(storage, expected<S>());
  });
}

REGISTER_TYPED_TEST_SUITE_P(VtkStorage, StartsEmptyOnItsOwnVtkArray, ResizeKeepsValuesAndVtkFollows, CloneIsIndependent,
                            ReleasesExactlyItsOwnReference, CreatingWithAShapeIsNotImplemented);

}  // namespace vtk_storage_tests
