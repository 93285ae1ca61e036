// Array<T,2> and Array<T,3>: shapes that follow the size, the divisibility failures, and arrays that
// a storage of multi-dimensional shape creates on itself.
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "ArrayTestSupport.h"
#include "quill20/core/array/IArrayImplType.h"
#include "support/ExpectFailure.h"

namespace {

using namespace array_testing;

const char* const indivisible_2d = "Trying to resize a 2D array to a size that is not multiple to its dimensions.";
const char* const indivisible_3d = "Trying to resize a 3D array to a size that is not multiple to its dimensions.";
const char* const condition_2d = "this->size() % m_shape[I] == 0";
const char* const condition_3d = "this->size() % m_NI_times_NJ == 0";
const char* const file_2d = "quill20/core/array/Array2D.inl";
const char* const file_3d = "quill20/core/array/Array3D.inl";

// A storage that reports whatever shape it was given over shape.element_count() elements.
template <class T>
class ShapedStorage : public IArrayImplType<T, IArrayImpl> {
 public:
  explicit ShapedStorage(const AnyHandle& p_Shape) : m_Shape(p_Shape), m_Values(p_Shape.element_count()) {}

  void* get_data(AnyHandle& p_Shape) override
  {
    p_Shape = m_Shape;
    return m_Values.empty() ? nullptr : m_Values.data();
  }
  IArrayImpl* clone() const override { return new ShapedStorage(m_Shape); }
  IArrayImplFactory& factory() const override { return vector_array_impl_factory(); }

 protected:
  void do_resize(std::uint64_t p_NewSize) override
  {
    m_Values.resize(p_NewSize);
    m_Shape = AnyHandle(handle_t(p_NewSize));
  }
  IArrayImpl* do_create_new_with_shape(const AnyHandle& p_Shape) const override { return new ShapedStorage(p_Shape); }

 private:
  AnyHandle m_Shape;
  std::vector<T> m_Values;
};

template <class T>
boost::shared_ptr<IArrayImpl> shaped_storage(const AnyHandle& p_Shape)
{
  return boost::shared_ptr<IArrayImpl>(new ShapedStorage<T>(p_Shape));
}

TEST(Array2D, NjFollowsTheSizeAndIndivisibleSizesFail)
{
  auto storage = vector_storage<int>(12);
  Array<int, 2> grid(storage, 3);
  EXPECT_EQ(grid.shape(), Handle2(3u, 4u));
  EXPECT_EQ(grid.get_shape().get<Handle2>(), Handle2(3u, 4u));
  grid.resize(15);
  EXPECT_EQ(grid.shape(), Handle2(3u, 5u));
  EXPECT_PRECONDITION_FAILURE(grid.resize(10), condition_2d, indivisible_2d, file_2d);
  EXPECT_EQ(grid.size(), 10u);
  EXPECT_EQ(grid.data(), storage_data(storage));
  EXPECT_EQ(grid.shape(), Handle2(3u, 5u));
  grid.resize(0);
  EXPECT_EQ(grid.shape(), Handle2(3u, 0u));

  Array<int, 2> any_size(vector_storage<int>(7), 0);
  EXPECT_EQ(any_size.shape(), Handle2(1u, 7u));
  any_size.resize(13);
  EXPECT_EQ(any_size.shape(), Handle2(1u, 13u));
}

TEST(Array3D, NkFollowsTheSizeAndIndivisibleSizesFail)
{
  auto storage = vector_storage<double>(24);
  Array<double, 3> cube(storage, ElementShape(2u, 3u));
  EXPECT_EQ(cube.shape(), Handle3(2, 3, 4));
  EXPECT_EQ(cube.ni_times_nj(), 6u);
  EXPECT_EQ(cube.get_shape().get<Handle3>(), Handle3(2, 3, 4));
  cube.resize(30);
  EXPECT_EQ(cube.shape(), Handle3(2, 3, 5));
  EXPECT_PRECONDITION_FAILURE(cube.resize(25), condition_3d, indivisible_3d, file_3d);
  EXPECT_EQ(cube.size(), 25u);
  EXPECT_EQ(cube.shape(), Handle3(2, 3, 5));
  cube.resize(0);
  EXPECT_EQ(cube.shape(), Handle3(2, 3, 0));

  Array<double, 3> empty(vector_storage<double>(0), ElementShape(4u, 4u));
  EXPECT_EQ(empty.shape(), Handle3(4, 4, 0));
}

TEST(Array3D, ExtentsAreNarrowedToSixteenBitsAndZeroStandsForOne)
{
  Array<int, 3> zeros(vector_storage<int>(5), ElementShape(0u, 0u));
  EXPECT_EQ(zeros.shape(), Handle3(1, 1, 5));
  EXPECT_EQ(zeros.ni_times_nj(), 1u);
  Array<int, 3> wrapped(vector_storage<int>(12), ElementShape(65536u + 3u, 65536u));
  EXPECT_EQ(wrapped.shape(), Handle3(3, 1, 4));
  EXPECT_EQ(wrapped.ni_times_nj(), 3u);
}

TEST(MultiDimensionalArrays, FailedConstructionLeavesNoObserverBehind)
{
  auto storage = vector_storage<int>(10);
  EXPECT_PRECONDITION_FAILURE((Array<int, 2>(storage, 3)), condition_2d, indivisible_2d, file_2d);
  EXPECT_PRECONDITION_FAILURE((Array<int, 3>(storage, ElementShape(2u, 3u))), condition_3d, indivisible_3d, file_3d);
  EXPECT_EQ(observer_count(storage), 0u);
  EXPECT_EQ(storage.use_count(), 1);
  storage->resize(11);
}

TEST(MultiDimensionalArrays, CopyKeepsTheShapeAndARejectedAssignmentChangesNothing)
{
  auto storage = vector_storage<int>(12);
  Array<int, 2> grid(storage, 3);
  Array<int, 2> copy(grid);
  EXPECT_EQ(copy.shape(), Handle2(3u, 4u));
  Array<int, 2> other(vector_storage<int>(8), 2);
  other = grid;
  EXPECT_EQ(other.shape(), Handle2(3u, 4u));
  EXPECT_EQ(other.get_implementation(), storage);

  Array<int, 2> fixed(vector_storage<int>(8), 4);
  fixed.set_fixed_shape();
  EXPECT_PRECONDITION_FAILURE(fixed = grid, "!this->m_IsFixedShape || new_size == this->m_Size",
                              "Trying to reset an array with fixed shape.", "quill20/core/array/Array1D.inl");
  EXPECT_EQ(fixed.shape(), Handle2(4u, 2u));
  EXPECT_EQ(fixed.size(), 8u);

  Array<int, 3> cube(storage, ElementShape(2u, 2u));
  Array<int, 3> cube_copy(vector_storage<int>(1), ElementShape(1u, 1u));
  cube_copy = cube;
  EXPECT_EQ(cube_copy.shape(), Handle3(2, 2, 3));
  Array<int, 3> fixed_cube(vector_storage<int>(8), ElementShape(2u, 2u));
  fixed_cube.set_fixed_shape();
  EXPECT_THROW(fixed_cube = cube, kernos50::IPreconditionException);
  EXPECT_EQ(fixed_cube.shape(), Handle3(2, 2, 2));
  EXPECT_EQ(fixed_cube.ni_times_nj(), 4u);
}

// A shape failure inside the notification must not leave later arrays on stale elements.
TEST(MultiDimensionalArrays, IndivisibleSharedResizeStillRefreshesEveryArray)
{
  auto storage = vector_storage<int>(12);
  Array<int, 1> first(storage);
  Array<int, 2> grid(storage, 3);
  Array<int, 3> cube(storage, ElementShape(2u, 2u));
  Array<int, 1> last(storage);
  EXPECT_PRECONDITION_FAILURE(first.resize(100001), condition_2d, indivisible_2d, file_2d);
  const Array<int, 1>* arrays[] = {&first, &grid, &cube, &last};
  for (const Array<int, 1>* array : arrays) {
    EXPECT_EQ(array->data(), storage_data(storage));
    EXPECT_EQ(array->size(), 100001u);
  }
  EXPECT_EQ(grid.shape(), Handle2(3u, 4u));
  EXPECT_EQ(cube.shape(), Handle3(2, 2, 3));

  last.resize(24);
  EXPECT_EQ(grid.shape(), Handle2(3u, 8u));
  EXPECT_EQ(cube.shape(), Handle3(2, 2, 6));
}

TEST(MultiDimensionalArrays, FixedShapeConflictIsReportedBeforeTheShape)
{
  auto storage = vector_storage<int>(4);
  Array<int, 1> line(storage);
  Array<int, 2> grid(storage, 2);
  grid.set_fixed_shape();
  EXPECT_PRECONDITION_FAILURE(line.resize(7), "old_size == 0 || !m_IsFixedShape || m_Size == old_size || m_Size == 0",
                              "An Array was resized, but it was sharing the same implementation with another array "
                              "that had fixed shape.",
                              "quill20/core/array/Array1D.ext");
  EXPECT_EQ(grid.data(), storage_data(storage));
  EXPECT_EQ(grid.size(), 7u);
}

TEST(MultiDimensionalArrays, DimensionsAndShapeKindsPerArray)
{
  auto storage = vector_storage<RigidVector<9, float>>(6);
  const Array<RigidVector<9, float>, 1> line(storage);
  const Array<RigidVector<9, float>, 2> grid(storage, 2);
  const Array<RigidVector<9, float>, 3> cube(storage, ElementShape(3u, 2u));
  const IArray* arrays[] = {&line, &grid, &cube};
  const HandleType kinds[] = {htHandle1, htHandle2, htHandle3};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(arrays[i]->number_of_dimensions(), std::uint64_t(i + 1));
    EXPECT_EQ(arrays[i]->get_shape().type(), kinds[i]);
    EXPECT_EQ(arrays[i]->get_shape().element_count(), 6u);
    EXPECT_EQ(arrays[i]->element_shape(), ElementShape(9u, 1u));
    EXPECT_EQ(arrays[i]->scalar_type(), stFloat32);
  }
}

TEST(IArrayImpl, CreateArrayFollowsTheShapeTheStorageReports)
{
  auto flat = shaped_storage<int>(AnyHandle(handle_t(5)));
  std::unique_ptr<IArray> line(flat->create_array());
  EXPECT_EQ((dynamic_cast<Array<int, 2>*>(line.get())), nullptr);
  ASSERT_NE((dynamic_cast<Array<int, 1>*>(line.get())), nullptr);
  EXPECT_EQ(line->size(), 5u);

  auto planar = shaped_storage<int>(AnyHandle(Handle2(3u, 4u)));
  std::unique_ptr<IArray> grid(planar->create_array());
  auto* typed_grid = dynamic_cast<Array<int, 2>*>(grid.get());
  ASSERT_NE(typed_grid, nullptr);
  EXPECT_EQ(typed_grid->shape(), Handle2(3u, 4u));
  EXPECT_EQ(typed_grid->raw_data(), storage_data(planar));
  EXPECT_EQ(planar.use_count(), 2);

  auto solid = shaped_storage<RigidVector<2, double>>(AnyHandle(Handle3(2, 3, 4)));
  std::unique_ptr<IArray> cube(solid->create_array());
  auto* typed_cube = dynamic_cast<Array<RigidVector<2, double>, 3>*>(cube.get());
  ASSERT_NE(typed_cube, nullptr);
  EXPECT_EQ(typed_cube->shape(), Handle3(2, 3, 4));
  EXPECT_EQ(typed_cube->ni_times_nj(), 6u);

  auto four = shaped_storage<int>(AnyHandle(Handle4(1, 2, 3, 4)));
  try {
    four->create_array();
    ADD_FAILURE() << "a Handle4 shape was accepted";
  } catch (const kernos50::IPreconditionException& e) {
    EXPECT_EQ(e.file(), "quill20/core/handle/Handles");
  }
  EXPECT_EQ(four.use_count(), 1);
  EXPECT_EQ(observer_count(four), 0u);
}

}  // namespace
