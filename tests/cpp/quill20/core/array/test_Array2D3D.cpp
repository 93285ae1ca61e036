// Array<T,2> and Array<T,3>: shapes that follow the size, and arrays that a storage of
// multi-dimensional shape creates on itself. Rejected calls are in test_ArrayRejections.cpp.
#include <memory>

#include <boost/smart_ptr/bad_weak_ptr.hpp>

#include "ArrayTestSupport.h"

namespace {

using namespace array_testing;

TEST(MultiDimensionalArrays, LastExtentFollowsTheSizeAndCopiesTakeTheFixedExtents)
{
  auto storage = vector_storage<int>(12);
  Array<int, 2> grid(storage, 3);
  Array<int, 3> cube(storage, ElementShape(2u, 3u));
  EXPECT_EQ(grid.get_shape().get<Handle2>(), Handle2(3u, 4u));
  EXPECT_EQ(cube.get_shape().get<Handle3>(), Handle3(2, 3, 2));
  grid.resize(30);
  EXPECT_EQ(grid.shape(), Handle2(3u, 10u));
  EXPECT_EQ(cube.shape(), Handle3(2, 3, 5));

  Array<int, 2> assigned(vector_storage<int>(8), 2);
  Array<int, 3> cube_assigned(vector_storage<int>(1), ElementShape(1u, 1u));
  assigned = grid;
  cube_assigned = cube;
  EXPECT_EQ(assigned.shape(), Handle2(3u, 10u));
  EXPECT_EQ((Array<int, 2>(grid).shape()), Handle2(3u, 10u));
  EXPECT_EQ(cube_assigned.shape(), Handle3(2, 3, 5));
  EXPECT_EQ((Array<int, 3>(cube).ni_times_nj()), 6u);
  grid.resize(0);
  EXPECT_EQ(assigned.shape(), Handle2(3u, 0u));
  EXPECT_EQ(cube_assigned.shape(), Handle3(2, 3, 0));

  // Fixed extents: 0 stands for 1, and those of a 3-D array are narrowed to 16 bits.
  EXPECT_EQ((Array<int, 2>(vector_storage<int>(7), 0).shape()), Handle2(1u, 7u));
  EXPECT_EQ((Array<int, 3>(vector_storage<int>(5), ElementShape(0u, 0u)).shape()), Handle3(1, 1, 5));
  const Array<int, 3> wrapped(vector_storage<int>(12), ElementShape(65536u + 3u, 65536u));
  EXPECT_EQ(wrapped.shape(), Handle3(3, 1, 4));
  EXPECT_EQ(wrapped.ni_times_nj(), 3u);
}

TEST(IArrayImpl, CreateArrayFollowsTheShapeTheStorageReports)
{
  boost::shared_ptr<IArrayImpl> planar(new ShapedStorage<int>(AnyHandle(Handle2(3u, 4u))));
  std::unique_ptr<IArray> grid(planar->create_array());
  auto* typed_grid = dynamic_cast<Array<int, 2>*>(grid.get());
  ASSERT_NE(typed_grid, nullptr);
  EXPECT_EQ(typed_grid->shape(), Handle2(3u, 4u));
  EXPECT_EQ(typed_grid->raw_data(), storage_data(*planar));
  EXPECT_EQ(planar.use_count(), 2);

  boost::shared_ptr<IArrayImpl> solid(new ShapedStorage<RigidVector<2, double>>(AnyHandle(Handle3(2, 3, 4))));
  std::unique_ptr<IArray> cube(solid->create_array());
  auto* typed_cube = dynamic_cast<Array<RigidVector<2, double>, 3>*>(cube.get());
  ASSERT_NE(typed_cube, nullptr);
  EXPECT_EQ(typed_cube->shape(), Handle3(2, 3, 4));

  VectorArrayImpl<short> unowned(4);
  EXPECT_THROW(unowned.create_array(), boost::bad_weak_ptr);
}

}  // namespace
