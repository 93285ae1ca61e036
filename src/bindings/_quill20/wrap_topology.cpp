// Python classes of the point topology, the point geometry and its points source.
#include <boost/python.hpp>

#include "quill20/core/geometry/GenGeometry.h"
#include "quill20/core/topology/UnstructuredTopology.h"
#include "vireo20/sci/mp_upscaling.h"
#include "wrap_array.h"
#include "wrap_grid_function.h"

namespace quill20 {
namespace bindings {

namespace py = boost::python;

namespace {

using core::PointGeometry;
using Topology = core::UnstructuredTopology<0>;
using IndexArray = core::Array<unsigned long long, 1>;
using CoordinateArray = core::Array<mtm::RigidVector<3, double>, 1>;
using Vector3 = mtm::RigidVector<3, double>;

boost::shared_ptr<IndexArray> shared(const IndexArray& p_Array) { return boost::shared_ptr<IndexArray>(new IndexArray(p_Array)); }

py::tuple as_tuple(const Vector3& p_Point) { return py::make_tuple(p_Point[0], p_Point[1], p_Point[2]); }

std::uint64_t element_index(const py::object& p_Index, std::uint64_t p_Count, const char* p_What)
{
  const std::int64_t index = signed_argument(p_Index, p_What, std::numeric_limits<std::int64_t>::min(),
                                             std::numeric_limits<std::int64_t>::max());
  if (index < 0 || static_cast<std::uint64_t>(index) >= p_Count) {
    PyErr_Format(PyExc_IndexError, "%s %lld is not in 0..%lld", p_What, static_cast<long long>(index),
                 static_cast<long long>(p_Count) - 1);
    py::throw_error_already_set();
  }
  return static_cast<std::uint64_t>(index);
}

int cell_type(const Topology& p_Topology, const py::object& p_Cell)
{
  return static_cast<int>(p_Topology.cell_type(element_index(p_Cell, p_Topology.number_of_cells(), "cell")));
}

// Every vertex's point, in a new in-memory array (the geometry computes them on demand).
boost::shared_ptr<CoordinateArray> points_array(const PointGeometry& p_Geometry)
{
  const std::uint64_t count = p_Geometry.unstructured_topology()->number_of_vertices();
  boost::shared_ptr<CoordinateArray> result(new CoordinateArray(count));
  Vector3* out = result->data();
  for (std::uint64_t v = 0; v < count; ++v) out[v] = p_Geometry.raw_point(v);
  return result;
}

boost::shared_ptr<ParticlePointsArray> make_points(const py::object& p_Coordinates, const py::object& p_TrailingCount)
{
  boost::shared_ptr<CoordinateArray> coordinates;
  if (!p_Coordinates.is_none()) coordinates = shared_argument<CoordinateArray>(p_Coordinates);
  const auto trailing = static_cast<std::int32_t>(
      signed_argument(p_TrailingCount, "trailing_count", 0, std::numeric_limits<std::int32_t>::max()));
  return boost::shared_ptr<ParticlePointsArray>(new ParticlePointsArray(std::move(coordinates), trailing));
}

}  // namespace

void wrap_topology_and_geometry()
{
  py::class_<Topology, boost::shared_ptr<Topology>, boost::noncopyable>(
      "UnstructuredTopology",
      "A point topology: numbered cells, each a record of vertex ids in the connectivity list. "
      "Made by MPUpscalingGenerator.CreateParticlesTopology (one point cell per upscaled particle).\n\n"
      "Example:\n"
      "    >>> topology = generator.CreateParticlesTopology()\n"
      "    >>> topology.number_of_cells(), topology.cell_type(0)\n"
      "    (2, 0)",
      py::no_init)
      .def("number_of_cells", &Topology::number_of_cells, "Returns the number of cells, an int.")
      .def("number_of_vertices", &Topology::number_of_vertices, "Returns one more than the largest vertex id used, an int.")
      .add_property("cells_index", +[](const Topology& p_Topology) { return shared(p_Topology.cells_index()); },
                    "A uint64 array object: where each cell's record starts in the connectivity list (shared, not copied).")
      .add_property("connectivity", +[](const Topology& p_Topology) { return shared(p_Topology.connectivity()); },
                    "A uint64 array object: the records, each a vertex count followed by the vertex ids (shared).")
      .def("cell_type", &cell_type, py::arg("cell"), "Returns the element type of cell `cell` (an index, negative counts from the end), an int: 0 = point.")
      .def("__str__", +[](const Topology& p_Topology) { return p_Topology.str(); }, "str(topology): the printed description.");

  py::class_<PointGeometry, boost::shared_ptr<PointGeometry>, boost::noncopyable>(
      "Geometry",
      "A point topology placed in space: the points come from a points source. Made by "
      "MPUpscalingGenerator.CreateParticlesGeometry.\n\n"
      "Example:\n"
      "    >>> geometry = generator.CreateParticlesGeometry(topology, quill20.ParticlePointsArray(xyz), masses)\n"
      "    >>> geometry.points().shape == (geometry.topology.number_of_vertices(), 3)\n"
      "    True",
      py::no_init)
      .add_property("topology", +[](const PointGeometry& p_Geometry) { return p_Geometry.unstructured_topology(); },
                    "The UnstructuredTopology the geometry lies on.")
      .add_property("points_source",
                    +[](const PointGeometry& p_Geometry) {
                      return boost::dynamic_pointer_cast<ParticlePointsArray>(p_Geometry.points());
                    },
                    "The ParticlePointsArray the points come from.")
      .def("point", +[](const PointGeometry& p_Geometry, const py::object& p_Vertex) {
             return as_tuple(p_Geometry.point(element_index(p_Vertex, p_Geometry.unstructured_topology()->number_of_vertices(), "vertex")));
           },
           py::arg("vertex"), "Returns the point of vertex `vertex` (an int) as an (x, y, z) tuple of floats.")
      .def("cell_center", +[](const PointGeometry& p_Geometry, const py::object& p_Cell) {
             return as_tuple(p_Geometry.cell_center(element_index(p_Cell, p_Geometry.unstructured_topology()->number_of_cells(), "cell")));
           },
           py::arg("cell"), "Returns the centre of cell `cell` (an int) as an (x, y, z) tuple of floats.")
      .def("_points_array", &points_array, "Every vertex's point, in a new float64x3 array.")
      .def("__str__", +[](const PointGeometry& p_Geometry) { return p_Geometry.str(); }, "str(geometry): the printed description.");

  py::class_<ParticlePointsArray, boost::shared_ptr<ParticlePointsArray>, boost::noncopyable>(
      "ParticlePointsArray",
      "The points source of a particles geometry: a float64x3 coordinate array, the last "
      "`trailing_count` of them passed through unchanged.\n\n"
      "Example:\n"
      "    >>> points = quill20.ParticlePointsArray(numpy.zeros((4, 3)), trailing_count=1)\n"
      "    >>> points.number_of_points(), points.leading_count\n"
      "    (4, 3)",
      py::no_init)
      .def("__init__",
           py::make_constructor(&make_points, py::default_call_policies(),
                                (py::arg("coordinates") = py::object(), py::arg("trailing_count") = 0)),
           "Points over `coordinates` (a float64x3 array, shared) or none.")
      .add_property("coordinates", +[](const ParticlePointsArray& p_Points) { return p_Points.m_Coordinates; },
                    "The points (a float64x3 array), or None.")
      .add_property("previous_coordinates",
                    +[](const ParticlePointsArray& p_Points) { return p_Points.m_PreviousCoordinates; },
                    "The coordinates before the last upscaling, or None.")
      .add_property("leading_count", +[](const ParticlePointsArray& p_Points) { return p_Points.m_LeadingCount; },
                    "Number of points before the trailing ones.")
      .add_property("trailing_count", +[](const ParticlePointsArray& p_Points) { return p_Points.m_TrailingCount; },
                    "Number of trailing points.")
      .def("number_of_points", &ParticlePointsArray::number_of_points, "Returns the number of points, an int.");
}

}  // namespace bindings
}  // namespace quill20
