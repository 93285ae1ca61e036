// Every rejected call of the array core, in one table. Each call fails with exactly its condition,
// message and file text, and afterwards every array still views its storage's elements. A call
// rejected before the storage changed leaves every array exactly as it was; a call rejected while the
// arrays were being told of a resize has its own check of what they show.
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "ArrayTestSupport.h"
#include "quill20/core/array/ArrayGenerator.h"
#include "quill20/core/array/MemoryExport.h"
#include "quill20/core/array/VectorArrayImplFactory.h"
#include "quill20/core/geometry/FullNaturalPoint.h"

namespace {

using namespace array_testing;

const IArrayImplFactory& factory() { return VectorArrayImplFactory::instance(); }

// Arrays in every situation a call can be rejected in; each case gets a fresh world.
struct World {
  World()
  {
    for (int k = 0; k < 9; ++k) co[k].set_implementation(co_storage[k / 3]);
    // Storage k holds co[3k], co[3k+1] and co[3k+2]; co[4k] has fixed shape.
    for (Array<int, 1>* array : {&fixed, &co[0], &co[4], &co[8]}) array->set_fixed_shape();
    fixed_grid.set_fixed_shape();
    fixed_cube.set_fixed_shape();
    for (IArray* array : arrays()) {
      auto* bytes = static_cast<unsigned char*>(array->raw_data());
      const std::uint64_t count = array->size() * array->get_implementation()->element_size();
      for (std::uint64_t i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>(i + 1);
    }
  }
  std::vector<IArray*> arrays()
  {
    std::vector<IArray*> all = {&line,       &grid,          &cube,       &last,  &fixed,  &exported,
                                &fixed_grid, &grid_co_owner, &fixed_cube, &fives, &points, &generated};
    for (IArray& array : co) all.push_back(&array);
    return all;
  }
  std::string state()
  {
    std::ostringstream out;
    for (IArray* array : arrays()) {
      const auto storage = array->get_implementation();
      const auto* bytes = static_cast<const char*>(array->raw_data());
      out << storage.get() << observer_count(storage) << storage.use_count() << array->get_shape()
          << std::string(bytes, bytes + array->size() * storage->element_size()) << ';';
    }
    out << fixed_cube.ni_times_nj() << observer_count(ints) << ints.use_count() << observer_count(four)
        << four.use_count();
    return out.str();
  }

  boost::shared_ptr<IArrayImpl> ints = vector_storage<int>(10), shared = vector_storage<int>(12);
  boost::shared_ptr<IArrayImpl> co_storage[3] = {vector_storage<int>(4), vector_storage<int>(4),
                                                 vector_storage<int>(4)};
  boost::shared_ptr<IArrayImpl> four{new ShapedStorage<int>(AnyHandle(Handle4(1, 2, 3, 4)))};
  Array<int, 1> line{shared};
  Array<int, 2> grid{shared, 3};
  Array<int, 3> cube{shared, ElementShape(2u, 2u)};
  Array<int, 1> last{shared}, fixed{3}, exported{3}, co[9];
  Array<int, 2> fixed_grid{vector_storage<int>(8), 4};
  Array<int, 1> grid_co_owner{fixed_grid.get_implementation()};
  Array<int, 3> fixed_cube{vector_storage<int>(8), ElementShape(1u, 2u)};
  Array<RigidVector<5, int>, 1> fives{2};
  Array<FullNaturalPoint<double, 3>, 1> points{1};
  MemoryExport view{exported.get_implementation()}, second_view{exported.get_implementation()};
  ArrayGenerator<Array<unsigned long long, 1>> generator{factory()};
  Array<unsigned long long, 1> generated = (generator.push_back(5), generator.create_array());
};

struct Rejection {
  std::string name, condition, message, file;
  std::function<void(World&)> call;
  // For a call rejected after the storage changed: what the arrays show then.
  std::function<void(World&)> moved = nullptr;
};

std::vector<Rejection> rejections()
{
  const std::string inl = "quill20/core/array/Array1D.inl", ext = "quill20/core/array/Array1D.ext";
  const std::string storage_file = "quill20/core/array/IArrayImpl.inl";
  const std::string made = "quill20/core/array/VectorArrayImplFactory";
  const std::string fixed_reset = "Trying to reset an array with fixed shape.";
  const std::string other_count = "!this->m_IsFixedShape || new_size == this->m_Size";
  const std::string emptied = "!this->m_IsFixedShape || this->size() == 0";
  const std::string shared = "old_size == 0 || !m_IsFixedShape || m_Size == old_size || m_Size == 0";
  const std::string shared_message =
      "An Array was resized, but it was sharing the same implementation with another array that had fixed shape.";
  const std::string c2 = "this->size() % m_shape[I] == 0", f2 = "quill20/core/array/Array2D.inl";
  const std::string m2 = "Trying to resize a 2D array to a size that is not multiple to its dimensions.";
  const std::string c3 = "this->size() % m_NI_times_NJ == 0", f3 = "quill20/core/array/Array3D.inl";
  const std::string m3 = "Trying to resize a 3D array to a size that is not multiple to its dimensions.";
  const std::string too_big = "Trying to resize array to invalid size: 4611686018427387840 elements.\n"
                              "Maximum size is: 4611686018427387839";
  const std::string bad_shape = "FromVectorArrayFactory: Can not create array whose element has this shape: ";
  const std::string not_a_scalar = "Cannot make an Array of non-scalars from a generic Factory!";
  const std::string wrong_kind = "\nGetting the wrong type: data has type '", handles = "quill20/core/handle/Handles";
  std::vector<Rejection> cases = {
      {"factory without storage", "m_Impl", "This array does not have an internal implementation.", inl,
       [](World&) { Array<int, 1>().factory(); }},
      {"storage of another element size", "p_ArrayImplementation->element_size() == sizeof(value_type)",
       "\nArray implementation have a different element type (or tuple size).\nElement size for Array: 8\n"
       "Element size for Array Implementation: 4.",
       inl, [](World& w) { Array<double, 1> view(w.ints); }},
      {"resize of a fixed-shape array", "!m_IsFixedShape", "Trying to resize an array with fixed shape.", ext,
       [](World& w) { w.fixed.resize(4); }},
      {"fixed shape, storage of another count", other_count, fixed_reset, inl,
       [](World& w) { w.fixed.set_implementation(w.shared); }},
      {"fixed shape, assigned another count", other_count, fixed_reset, inl, [](World& w) { w.fixed = w.line; }},
      {"fixed shape, 2-D assignment", other_count, fixed_reset, inl, [](World& w) { w.fixed_grid = w.grid; }},
      {"fixed shape, 3-D assignment", other_count, fixed_reset, inl, [](World& w) { w.fixed_cube = w.cube; }},
      {"fixed shape, initialized to another count", "!this->m_IsFixedShape || p_InitialSize == this->m_Size",
       fixed_reset, inl, [](World& w) { w.fixed.initialize(factory(), 4); }},
      {"fixed shape, reset", emptied, fixed_reset, inl, [](World& w) { w.fixed.reset(); }},
      {"fixed shape, no storage", emptied, fixed_reset, inl, [](World& w) { w.fixed.set_implementation(nullptr); }},
      {"negating elements of no scalars", "is_not_unsigned<T_>::value",
       "Error: trying to negate an unsigned array or an array that is not scalar.", inl,
       [](World& w) { w.points.negate(); }},
      {"scaling elements of no scalars", "is_scalar_type<T_>::value",
       "Error: trying to scale an array that is not scalar.", inl, [](World& w) { w.points.scale(2.0); }},
      {"array resize beyond max_size", "p_NewSize <= this->max_size()", too_big, storage_file,
       [](World& w) { w.line.resize(0x3FFFFFFFFFFFFFC0ULL); }},
      {"storage resize beyond max_size", "p_NewSize <= this->max_size()", too_big, storage_file,
       [](World& w) { w.shared->resize(0x3FFFFFFFFFFFFFC0ULL); }},
      {"resize of exported memory", "exported_views == 0",
       "Trying to resize an array storage whose memory is exported to 2 live view(s).", storage_file,
       [](World& w) { w.exported.resize(4); }},
      {"2-D view of an indivisible storage", c2, m2, f2, [](World& w) { Array<int, 2> grid(w.ints, 3); }},
      {"3-D view of an indivisible storage", c3, m3, f3,
       [](World& w) { Array<int, 3> cube(w.ints, ElementShape(2u, 3u)); }},
      {"array on a storage of four extents", "(m_HandleType) == (htHandle1)",
       wrong_kind + "Handle4', but trying to get with type 'Handle1'.", handles,
       [](World& w) { std::unique_ptr<IArray>(w.four->create_array()); }},
      {"flat storage made with two extents", "(m_HandleType) == (htHandle1)",
       wrong_kind + "Handle2', but trying to get with type 'Handle1'.", handles,
       [](World& w) { std::unique_ptr<IArrayImpl>(w.ints->create_new_with_shape(AnyHandle(Handle2(2u, 3u)))); }},
      {"second hand-over of a generator", "!this->already_created()",
       "Using an ArrayGenerator that have already created the array!", "quill20/core/array/ArrayGenerator",
       [](World& w) { w.generator.create_array(); }},
      {"unknown scalar type", "p_scalar_type <= stNotAScalar", "Unknown scalar type 12.", made,
       [](World&) { factory().create(ScalarType(12), ElementShape(1u, 1u), 2); }},
      {"empty storage of nines", "0", bad_shape + "[9, 1]\n", made,
       [](World&) { factory().create(stInt32, ElementShape(9u, 1u)); }},
      {"initialized with an unknown element shape", "0", bad_shape + "[5, 1]\n", made,
       [](World& w) { w.fives.initialize(factory(), 2); }},
      {"initialized with elements of no scalars", "p_scalar_type != stNotAScalar", not_a_scalar, made,
       [](World& w) { w.points.initialize(factory(), 1); }},
      // A shape keeps its last extent while the size does not divide, and follows again once it does.
      {"indivisible shared resize", c2, m2, f2, [](World& w) { w.line.resize(100001); },
       [](World& w) {
         EXPECT_EQ(w.grid.shape(), Handle2(3u, 4u));
         EXPECT_EQ(w.cube.shape(), Handle3(2, 2, 3));
         w.last.resize(24);
         EXPECT_EQ(w.grid.shape(), Handle2(3u, 8u));
         EXPECT_EQ(w.cube.shape(), Handle3(2, 2, 6));
       }},
      {"indivisible 3-D resize", c3, m3, f3, [](World& w) { w.cube.resize(15); },
       [](World& w) {
         EXPECT_EQ(w.grid.shape(), Handle2(3u, 5u));
         EXPECT_EQ(w.cube.shape(), Handle3(2, 2, 3));
       }},
      // The fixed-shape conflict is reported before the indivisible shape.
      {"resize against a fixed-shape 2-D co-owner", shared, shared_message, ext,
       [](World& w) { w.grid_co_owner.resize(7); }, [](World& w) { EXPECT_EQ(w.fixed_grid.size(), 7u); }},
      {"storage resize against a fixed-shape co-owner", shared, shared_message, ext,
       [](World& w) { w.co_storage[0]->resize(3); }, [](World& w) { EXPECT_EQ(w.co[0].size(), 3u); }},
  };
  // Whichever array rejects the new size, every array on the storage ends up on the moved elements.
  for (int k = 0; k < 3; ++k)
    cases.push_back({"resize against a fixed-shape co-owner at " + std::to_string(k), shared, shared_message, ext,
                     [k](World& w) { w.co[3 * k + (k + 1) % 3].resize(100000); },
                     [k](World& w) { EXPECT_EQ(w.co[4 * k].size(), 100000u); }});
  for (const ElementShape& shape : {ElementShape(5u, 1u), ElementShape(0u, 1u), ElementShape(3u, 2u)}) {
    const std::string message = bad_shape + "[" + std::to_string(shape[0]) + ", " + std::to_string(shape[1]) + "]\n";
    cases.push_back({"unknown element shape", "0", message, made,
                     [shape](World&) { factory().create(stInt32, shape, 2); }});
    cases.push_back({"empty storage of an unknown element shape", "0", message, made,
                     [shape](World&) { factory().create(stBool, shape); }});
  }
  for (const ElementShape& shape : {ElementShape(1u, 1u), ElementShape(5u, 1u)}) {
    cases.push_back({"elements of no scalars", "p_scalar_type != stNotAScalar", not_a_scalar, made,
                     [shape](World&) { factory().create(stNotAScalar, shape, 2); }});
    cases.push_back({"empty storage of no scalars", "p_scalar_type != stNotAScalar", not_a_scalar, made,
                     [shape](World&) { factory().create(stNotAScalar, shape); }});
  }
  return cases;
}

TEST(ArrayRejections, EachCallFailsWithItsReasonAndLeavesEveryArrayOnItsStorage)
{
  for (const Rejection& c : rejections()) {
    SCOPED_TRACE(c.name);
    World w;
    const std::string before = w.state();
    EXPECT_PRECONDITION_FAILURE(c.call(w), c.condition, c.message, c.file);
    for (IArray* array : w.arrays()) {
      std::uint64_t size = 0;
      EXPECT_EQ(array->raw_data(), storage_data(*array->get_implementation(), &size));
      EXPECT_EQ(array->size(), size);
    }
    if (c.moved)
      c.moved(w);
    else
      EXPECT_TRUE(w.state() == before) << "a rejected call changed an array";
  }
}

}  // namespace
