// The point topology, its builder, the histogram and the point geometry: the worked examples, every
// failure with its texts, and the order of the grid-function dispatch.
#include <cmath>
#include <string>
#include <typeinfo>
#include <vector>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "quill20/core/IAvailabilityException.h"
#include "quill20/core/Quill20Error.h"
#include "quill20/core/array/VectorArrayImplFactory.h"
#include "quill20/core/generator/UnstructuredTopologyBuilder.h"
#include "quill20/core/geometry/GenGeometry.h"
#include "quill20/core/grid_function/GridFunctionTypes.h"
#include "quill20/core/grid_function/StaticConstantGridFunctionImpl.h"
#include "quill20/core/pattern/PointerCast.h"
#include "quill20/vtk/VtkArrayImplFactory.h"
#include "support/ExpectFailure.h"

namespace {

using namespace quill20::core;
using quill20::mtm::RigidVector;
using V3 = RigidVector<3, double>;
using Ids = std::vector<unsigned long long>;

IArrayImplFactory& vectors() { return VectorArrayImplFactory::instance(); }
IArrayImplFactory& vtk() { return quill20::vtkex::VtkArrayImplFactory::instance(); }

boost::shared_ptr<UnstructuredTopology<0>> topology_of(std::initializer_list<std::initializer_list<std::uint64_t>> p_Cells)
{
  UnstructuredTopologyBuilder<0> builder(vectors());
  for (const auto& cell : p_Cells) builder.add_cell(cell);
  return builder.create_topology();
}

boost::shared_ptr<UnstructuredTopology<0>> points(std::uint64_t p_Count)
{
  UnstructuredTopologyBuilder<0> builder(vectors());
  for (std::uint64_t v = 0; v < p_Count; ++v) builder.add_cell({v});
  return builder.create_topology();
}

Ids ids(const Array<unsigned long long, 1>& p_Array) { return Ids(p_Array.data(), p_Array.data() + p_Array.size()); }

template <class T>
boost::shared_ptr<ArrayGridFunction<T>> grid_function(std::vector<T> p_Values, LocationType p_Location = onCell)
{
  boost::shared_ptr<ArrayGridFunction<T>> gf(new ArrayGridFunction<T>(
      ArrayGridFunctionImpl<Array<T, 1>>(boost::shared_ptr<IArrayImpl>(new VectorArrayImpl<T>(p_Values.size()))),
      p_Location));
  std::copy(p_Values.begin(), p_Values.end(), gf->array().data());
  return gf;
}

template <class F>
std::string availability_message(F&& p_Call)
{
  return testing_support::expect_throw<IAvailabilityException>(p_Call).message();
}

const std::string topology_file = "quill20/core/topology/UnstructuredTopology";

TEST(UnstructuredTopology, PointCellsGiveTheirIncidenceOnFirstUse)
{
  const auto topology = topology_of({{0}, {5}, {2}});
  EXPECT_EQ(topology->number_of_cells(), 3u);
  EXPECT_EQ(topology->number_of_vertices(), 6u);
  EXPECT_EQ(ids(topology->cells_index()), (Ids{0, 2, 4}));
  EXPECT_EQ(ids(topology->connectivity()), (Ids{1, 0, 1, 5, 1, 2}));
  EXPECT_FALSE(topology->incidence_built());
  EXPECT_EQ(ids(topology->used_vertices()), (Ids{0, 2, 5}));
  EXPECT_EQ(ids(topology->vertex_to_cells_index()), (Ids{0, 2, 3, 5, 6, 7}));
  EXPECT_EQ(ids(topology->vertex_to_cells()), (Ids{1, 0, 0, 1, 2, 0, 0, 1, 1}));
  EXPECT_TRUE(topology->incidence_built());
  EXPECT_EQ(topology->cell_type(42), etPoint);
  EXPECT_EQ(topology_of({})->number_of_cells() + topology_of({})->number_of_vertices(), 0u);
  EXPECT_EQ(topology_of({{3}, {7}})->number_of_vertices(), 8u);
}

TEST(UnstructuredTopology, BadRecordsAndMissingOperationsFail)
{
  UnstructuredTopologyBuilder<0> empty_cell(vectors());
  empty_cell.add_cell(nullptr, 0);
  const auto zero = testing_support::expect_throw<WrongNumberOfVerticesError>([&] { empty_cell.create_topology(); });
  EXPECT_EQ(zero.index(), 0u);
  EXPECT_EQ(zero.count(), 0u);
  UnstructuredTopology<0> past_end;
  Array<unsigned long long, 1> records(4);
  std::copy_n(Ids{1, 0, 3, 5}.begin(), 4, records.data());
  past_end.set_connectivity(records);
  const auto bad = testing_support::expect_throw<WrongNumberOfVerticesError>([&] { past_end.finalize_connectivity(); });
  EXPECT_STREQ(bad.what(), "Number of vertices specified at index 2 (3) is invalid.");
  EXPECT_EQ(past_end.number_of_vertices(), 0u);

  const auto topology = points(2);
  const std::string name = kernos50::type_name(typeid(*topology));
  const auto edges = testing_support::expect_throw<IAvailabilityException>([&] { topology->number_of_edges(); });
  EXPECT_EQ(edges.message(), "virtual uint64_t quill20::core::UnstructuredTopologyBase::number_of_edges() const is not "
                             "implemented yet for " + name);
  EXPECT_EQ(edges.file(), topology_file);
  HandleCollection found;
  EXPECT_NE(availability_message([&] { topology->get_elements_on(onCell, AnyHandle(handle_t(0)), onVertex, {}, found); })
                .find(" is not implemented yet for " + name), std::string::npos);
  EXPECT_THROW(topology->from_continuous(on::Face(), 0), IAvailabilityException);
  EXPECT_PRECONDITION_FAILURE(topology->local_element_type(AnyHandle(handle_t(0))), "(m_HandleType) == (htHandle2)",
                              "\nGetting the wrong type: data has type 'Handle1', but trying to get with type 'Handle2'.",
                              "quill20/core/handle/Handles");
}

TEST(UnstructuredTopology, CreateArraySharesOrCopiesAndChecksTheCount)
{
  const auto topology = points(3);
  const auto values = grid_function<double>({1.5, 2.5, 3.5});
  // Array-held grid functions come first in the dispatch: the fast path returns the very array,
  // which the typed-interface path (a copy) never would.
  const auto same = topology->create_array(*values, vectors());
  EXPECT_EQ(same.get(), static_cast<IArray*>(&values->array()));
  const auto copy = boost::dynamic_pointer_cast<Array<double, 1>>(topology->create_array(*values, vtk()));
  ASSERT_TRUE(copy);
  EXPECT_NE(copy->data(), values->array().data());
  EXPECT_EQ(copy->at(2), 3.5);

  const auto four = grid_function<int>({1, 2, 3, 4});
  EXPECT_PRECONDITION_FAILURE(topology->create_array(*four, vtk()),
      "p_gf.number_of_elements() == Inf<handle_t>() || this->shape() == p_gf.number_of_elements()",
      "Trying to create array for a grid function with an invalid number of elements:\n    Grid function has: 4 "
      "elements\n    Topology has: 3 cells.\n",
      topology_file);
  const auto on_vertices = grid_function<int>({1, 2}, onVertex);
  EXPECT_PRECONDITION_FAILURE(topology->create_array(*on_vertices, vtk()),
      "p_gf.number_of_elements() == Inf<handle_t>() || this->vertices_shape() == p_gf.number_of_elements()",
      "Trying to create array for a grid function with an invalid number of elements:\n    Grid function has: 2 "
      "elements\n    Topology has: 3 vertices.\n",
      topology_file);
  const auto on_faces = grid_function<int>({1, 2, 3}, onFace);
  EXPECT_NE(availability_message([&] { topology->create_array(*on_faces, vtk()); })
                .find(" is not available for " + kernos50::type_name(typeid(*topology))), std::string::npos);
  const auto wide = grid_function<long long>({1, 2, 3});
  EXPECT_PRECONDITION_FAILURE(topology->create_array(*wide, vectors()), "0",
                              "Can not convert this grid function, because there is no conversion registered for "
                              "its type: \n" + kernos50::type_name(typeid(*wide)), topology_file);
}

TEST(Histogram, CountsBinsUnderflowAndOverflow)
{
  const auto topology = points(8);
  const auto values = grid_function<double>({-1, 0, 1.99, 2, 9.99, 10, 11, std::nan("")});
  const AlwaysOneGridFunction one;
  auto entries = [](const boost::shared_ptr<Array<double, 1>>& p_Result) {
    return std::vector<double>(p_Result->data(), p_Result->data() + p_Result->size());
  };
  EXPECT_EQ(entries(topology->create_histogram(*values, 0, 10, 5, one, vectors(), false)),
            (std::vector<double>{1, 2, 1, 0, 0, 1, 3}));
  EXPECT_EQ(entries(values->create_histogram(*topology, 0, 10, 5, one, vectors(), true)),
            (std::vector<double>{1, 2, 1, 0, 0, 2, 2}));
  const auto halves = grid_function<double>({0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5});
  EXPECT_EQ(entries(topology->create_histogram(*values, 0, 10, 1, *halves, vectors(), false))[1], 2.0);
  const auto ints = grid_function<int>({0, 1, 2, 3, 4, 5, 6, 7});
  EXPECT_EQ(entries(topology->create_histogram(*ints, 0, 8, 2, one, vtk(), false)),
            (std::vector<double>{0, 4, 4, 0}));

  const std::string file = "quill20/core/algorithm/CreateHistogram";
  EXPECT_PRECONDITION_FAILURE(topology->create_histogram(*values, 0, 10, 0, one, vectors(), false), "p_bins >= 1",
                              "Must have at least 1 bin for histogram.", file);
  const auto vertex_weights = grid_function<double>({1, 1, 1, 1, 1, 1, 1, 1}, onVertex);
  EXPECT_PRECONDITION_FAILURE(
      topology->create_histogram(*values, 0, 10, 5, *vertex_weights, vectors(), false),
      "typeid(p_weight) == typeid(AlwaysOneGridFunction) || p_weight.location() == onCell",
      "Weight grid function location must be the same as of the main grid function location (onCell).", file);
  const auto faces = grid_function<double>({1}, onFace);
  EXPECT_PRECONDITION_FAILURE(topology->create_histogram(*faces, 0, 10, 5, one, vectors(), false), "0",
                              "Grid function location not supported on create_histogram.", file);
  const auto vectors_gf = grid_function<V3>({V3(1, 2, 3)});
  EXPECT_PRECONDITION_FAILURE(points(1)->create_histogram(*vectors_gf, 0, 10, 5, one, vectors(), false), "0",
                              "Actual value_type (quill20::mtm::RigidVector<3, double>) is not convertible to float64.",
                              "quill20/core/grid_function/GenGridFunction");
  const auto short_values = grid_function<double>({1, 2});
  EXPECT_THROW(topology->create_histogram(*short_values, 0, 10, 5, one, vectors(), false),
               kernos50::IPreconditionException);
}

TEST(UnstructuredTopologyBuilder, OffersOnlyTheTopologyAndBuildsOnce)
{
  UnstructuredTopologyBuilder<0> builder(vectors());
  const std::string name = kernos50::type_name(typeid(builder));
  const auto geometry = testing_support::expect_throw<IAvailabilityException>([&] { builder.create_geometry(); });
  EXPECT_NE(geometry.message().find("do_create_geometry() is not available for " + name), std::string::npos);
  EXPECT_EQ(geometry.file(), "quill20/core/generator/UnstructuredTopologyBuilder");
  const auto input = testing_support::expect_throw<IAvailabilityException>([&] { builder.set_input_topology({}); });
  EXPECT_EQ(input.file(), "quill20/core/generator/ITopologyGenerator");
  EXPECT_NE(input.message().find(" is not available for " + name), std::string::npos);

  builder.add_cell({0});
  builder.add_cell({1});
  // Typed for the builder's callers; the interface's form reaches the same build.
  const boost::shared_ptr<UnstructuredTopology<0>> first = builder.create_topology();
  ITopologyGenerator<ITopology, IGridFunction>& generator = builder;
  EXPECT_PRECONDITION_FAILURE(generator.create_topology(), "!this->already_created()",
                              "Using an ArrayGenerator that have already created the array!",
                              "quill20/core/array/ArrayGenerator");
  EXPECT_EQ(first->number_of_cells(), 2u);
}

// Coordinates held in a vector, read without a bounds check as every points source is.
struct TestPoints : VirtualPointsArray {
  std::vector<V3> coordinates;
  std::uint64_t number_of_points() const override { return coordinates.size(); }
  V3 point(std::uint64_t p_Index) const override { return coordinates[p_Index]; }
  const double* raw_data() const override { return coordinates.front().data(); }
};

TEST(Geometry, PointsAndCentresWorkAndExtendedMeasuresFail)
{
  auto source = boost::make_shared<TestPoints>();
  source->coordinates = {V3(0, 0, 0), V3(2, 4, 6), V3(1, 1, 1)};
  const auto geometry = make_geometry(topology_of({{1}, {0, 1}}), source);
  EXPECT_EQ(geometry->point_function().get(handle_t(1)), V3(2, 4, 6));
  EXPECT_EQ(geometry->raw_point(2), V3(1, 1, 1));
  EXPECT_EQ(geometry->shared_point(2), V3(1, 1, 1));
  EXPECT_EQ(geometry->cell_center(0), V3(2, 4, 6));
  EXPECT_EQ(geometry->cell_center_function().get(handle_t(1)), V3(1, 2, 3));
  IDimGeometry<double, 3>::CellPoints cell_points;
  EXPECT_EQ(geometry->get_cell_points(0, cell_points), 1);
  EXPECT_EQ(cell_points[0], V3(2, 4, 6));
  EXPECT_EQ(geometry->dimension(), 3);
  EXPECT_FALSE(geometry->has_basis());
  EXPECT_THROW(geometry->get_basis(), IAvailabilityException);
  EXPECT_THROW(geometry->posc_conversion(0, 0, 0, 1), IAvailabilityException);

  // A vertex grid function defined everywhere converts to one value per vertex.
  const auto converted = boost::dynamic_pointer_cast<Array<V3, 1>>(
      geometry->topology()->create_array(*geometry->get_point_function(), vectors()));
  ASSERT_TRUE(converted);
  EXPECT_EQ(converted->size(), 2u);
  EXPECT_EQ(converted->at(1), V3(2, 4, 6));

  const std::string file = "quill20/core/geometry/GenGeometry";
  const auto measure = [&](const char* p_Name) {
    return boost::dynamic_pointer_cast<MeasureGridFunction>(
        p_Name == std::string("volume") ? geometry->get_volume_function() : geometry->get_cell_top_z_function());
  };
  EXPECT_PRECONDITION_FAILURE(measure("volume")->get(handle_t(0)), "0",
                              "Cell type not supported in volume grid function: Point", file);
  EXPECT_PRECONDITION_FAILURE(measure("top_z")->get(handle_t(0)),
                              "this->topology()->cell_type(p_cell_handle) == etHexa",
                              "This geometry function (dz) is only available for Hexahedra.", file);
  EXPECT_PRECONDITION_FAILURE(geometry->cell_length(0), "this->topology()->cell_type(p_cell_handle) == etBar",
                              "Cell type not supported in area grid function: Point", file);
  EXPECT_PRECONDITION_FAILURE(geometry->do_get_cell_points(RigidVector<2, unsigned int>(1u, 2u), cell_points),
                              "(boost::is_same<CellHandle_, cell_handle>::value)",
                              "Invalid cell handle passed to get_cell_points: [1, 2]", file);
  EXPECT_THROW(geometry->get_face_area_function()->get_as_double(handle_t(0)), IAvailabilityException);
  EXPECT_THROW(geometry->point(3), kernos50::IPreconditionException) << "past the points source";

  const auto copy = boost::dynamic_pointer_cast<PointGeometry>(geometry->copy_with_topology(points(3)));
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->points(), geometry->points());
  const auto equal = testing_support::expect_throw<IAvailabilityException>([&] { geometry->is_equal(*copy); });
  EXPECT_EQ(equal.file(), "quill20/core/geometry/VirtualGeometry");
  EXPECT_NE(equal.message().find(" is not implemented yet for "), std::string::npos);

  const boost::shared_ptr<ISciObject> topology_object = points(1);
  EXPECT_FALSE(checked_pointer_cast<PointGeometry>(boost::shared_ptr<ISciObject>()));
  EXPECT_PRECONDITION_FAILURE(checked_pointer_cast<PointGeometry>(topology_object), "",
                              "Invalid pointer cast when trying to cast from \"quill20::core::ISciObject\" to \"" +
                                  kernos50::type_name<PointGeometry>() + "\".\nReal type: \"" +
                                  kernos50::type_name<UnstructuredTopology<0>>() + "\".\n",
                              "quill20/core/pattern/PointerCast");
}

}  // namespace
