// The point geometry: positions and centres from the coordinate source, failing measures for every
// extended-cell quantity.
#include "quill20/core/geometry/GenGeometry.h"

#include <cstdlib>

#include <boost/type_traits/is_same.hpp>

#include "kernos50/Check.h"
#include "quill20/core/IAvailabilityException.h"
#include "quill20/core/array/VectorArrayImplFactory.h"
#include "quill20/core/pattern/PointerCast.h"

namespace quill20 {
namespace core {

template class GridFunctionCommon<PassHandleMapper, ITypeGridFunction<mtm::RigidVector<3, double>>,
                                  GeometryFunctorImpl<mtm::RigidVector<3, double>>, is::Const, mtm::RigidVector<3, double>>;
template class GridFunction<GeometryFunctorImpl<mtm::RigidVector<3, double>>, PassHandleMapper, is::Const>;
template class GridFunctionCommon<PassHandleMapper, ITypeGridFunction<double>, GeometryFunctorImpl<double>, is::Const, double>;
template class GridFunction<GeometryFunctorImpl<double>, PassHandleMapper, is::Const>;

namespace {

using cell_handle = handle_t;
using face_handle = handle_t;

template <class CellHandle_>
[[noreturn]] void reject_cell_handle(const CellHandle_& p_Handle)
{
  KERNOS50_PRECONDITION((boost::is_same<CellHandle_, cell_handle>::value),
                        "Invalid cell handle passed to get_cell_points: " << AnyHandle(p_Handle));
  std::abort();
}

template <class FaceHandle_>
[[noreturn]] void reject_face_handle(const FaceHandle_& p_Handle)
{
  KERNOS50_PRECONDITION((boost::is_same<FaceHandle_, face_handle>::value),
                        "Invalid face handle passed to get_face_points: " << AnyHandle(p_Handle));
  std::abort();
}

template <class R>
boost::shared_ptr<GeometryGridFunction<R>> make_function(const PointGeometry* p_Geometry,
                                                         R (PointGeometry::*p_Member)(handle_t) const,
                                                         LocationType p_Location)
{
  return boost::shared_ptr<GeometryGridFunction<R>>(
      new GeometryGridFunction<R>(GeometryFunctorImpl<R>(p_Geometry, p_Member), p_Location));
}

}  // namespace

PointGeometry::Geometry(boost::shared_ptr<UnstructuredTopology<0>> p_Topology)
    : VirtualGeometryImpl(std::move(p_Topology))
{
  KERNOS50_PRECONDITION(m_Topology, "A geometry needs a topology.");
  create_grid_functions();
}

PointGeometry::Geometry(const Geometry& p_Source, boost::shared_ptr<UnstructuredTopology<0>> p_Topology)
    : VirtualGeometryImpl(std::move(p_Topology))
{
  KERNOS50_PRECONDITION(m_Topology, "A geometry needs a topology.");
  m_Points = p_Source.m_Points;
  create_grid_functions();
}

PointGeometry::~Geometry() = default;

void PointGeometry::create_grid_functions()
{
  m_Point = make_function(this, &Geometry::point, onVertex);
  m_RawPoint = make_function(this, &Geometry::raw_point, onVertex);
  m_SharedPoint = make_function(this, &Geometry::shared_point, onSharedVertex);
  m_CellCenter = make_function(this, &Geometry::cell_center, onCell);
  m_Volume = make_function(this, &Geometry::volume, onCell);
  m_FaceArea = make_function(this, &Geometry::face_area, onFace);
  m_CellArea = make_function(this, &Geometry::cell_area, onCell);
  m_Dx = make_function(this, &Geometry::dx, onCell);
  m_Dy = make_function(this, &Geometry::dy, onCell);
  m_Dz = make_function(this, &Geometry::dz, onCell);
  m_TopZ = make_function(this, &Geometry::top_z, onCell);
  m_BottomZ = make_function(this, &Geometry::bottom_z, onCell);
  m_CellDeltas = make_function(this, &Geometry::cell_deltas, onCell);
  m_CellLength = make_function(this, &Geometry::cell_length, onCell);
}

boost::shared_ptr<IGeometry> PointGeometry::copy_with_topology(boost::shared_ptr<ITopology> p_Topology) const
{
  return boost::shared_ptr<IGeometry>(new Geometry(*this, checked_pointer_cast<UnstructuredTopology<0>>(p_Topology)));
}

// The coordinate source reads without a bounds check; from here every read is checked first.
PointGeometry::point_type PointGeometry::raw_point(handle_t p_Vertex) const
{
  KERNOS50_PRECONDITION(m_Points, "This geometry has no points source.");
  const std::uint64_t count = m_Points->number_of_points();
  KERNOS50_PRECONDITION(p_Vertex < count, "Vertex " << p_Vertex << " has no point: the points source holds " << count
                                                    << " points.");
  return m_Points->point(p_Vertex);
}

PointGeometry::point_type PointGeometry::point(handle_t p_Vertex) const
{
  const boost::shared_ptr<UnstructuredTopology<0>> keep = m_Topology;
  return raw_point(p_Vertex);
}

PointGeometry::point_type PointGeometry::shared_point(handle_t p_Vertex) const
{
  const boost::shared_ptr<UnstructuredTopology<0>> keep = m_Topology;
  return point(p_Vertex);
}

std::uint64_t PointGeometry::cell_record(handle_t p_Cell, std::uint64_t& p_First) const
{
  const UnstructuredTopology<0>& topology = *m_Topology;
  const std::uint64_t cells = topology.number_of_cells();
  KERNOS50_PRECONDITION(p_Cell < cells, "Cell " << p_Cell << " is not a cell of this topology of " << cells << " cells.");
  const std::uint64_t start = topology.cells_index()[p_Cell];
  const std::uint64_t length = topology.connectivity().size();
  KERNOS50_PRECONDITION(start < length && topology.connectivity()[start] < length - start,
                        "Cell " << p_Cell << " starts at position " << start
                                << ", which holds no record of the connectivity list.");
  p_First = start + 1;
  return topology.connectivity()[start];
}

PointGeometry::point_type PointGeometry::cell_center(handle_t p_cell_handle) const
{
  std::uint64_t first = 0;
  const std::uint64_t n = cell_record(p_cell_handle, first);
  const unsigned long long* ids = m_Topology->connectivity().data() + first;
  point_type sum(0.0, 0.0, 0.0);
  for (std::uint64_t k = 0; k < n; ++k) {
    const point_type p = raw_point(ids[k]);
    for (int c = 0; c < 3; ++c) sum[c] += p[c];
  }
  for (int c = 0; c < 3; ++c) sum[c] /= static_cast<double>(n);
  return sum;
}

double PointGeometry::volume(handle_t p_cell_handle) const
{
  KERNOS50_PRECONDITION(0, "Cell type not supported in volume grid function: "
                               << element_type_name(this->topology()->cell_type(p_cell_handle)));
  std::abort();
}

double PointGeometry::face_area(handle_t p_Face) const
{
  m_Topology->from_continuous(on::Face(), p_Face);
  std::abort();
}

double PointGeometry::cell_area(handle_t p_cell_handle) const
{
  KERNOS50_PRECONDITION(0, "Cell type not supported in area grid function: "
                               << element_type_name(this->topology()->cell_type(p_cell_handle)));
  std::abort();
}

double PointGeometry::cell_length(handle_t p_cell_handle) const
{
  KERNOS50_PRECONDITION(this->topology()->cell_type(p_cell_handle) == etBar,
                        "Cell type not supported in area grid function: "
                            << element_type_name(this->topology()->cell_type(p_cell_handle)));
  return 0.0;
}

#define QUILL20_DETAIL_HEXA_ONLY(name, result, wording)                                                          \
  result PointGeometry::name(handle_t p_cell_handle) const                                                       \
  {                                                                                                              \
    KERNOS50_PRECONDITION(this->topology()->cell_type(p_cell_handle) == etHexa,                                  \
                          "This geometry function (" wording ") is only available for Hexahedra.");              \
    return result{};                                                                                             \
  }
QUILL20_DETAIL_HEXA_ONLY(dx, double, "dx")
QUILL20_DETAIL_HEXA_ONLY(dy, double, "dy")
QUILL20_DETAIL_HEXA_ONLY(dz, double, "dz")
QUILL20_DETAIL_HEXA_ONLY(top_z, double, "dz")
QUILL20_DETAIL_HEXA_ONLY(bottom_z, double, "dz")
QUILL20_DETAIL_HEXA_ONLY(cell_deltas, PointGeometry::point_type, "cell_deltas")
#undef QUILL20_DETAIL_HEXA_ONLY

bool PointGeometry::do_is_equal(const IGeometry& p_Other) const
{
  const auto* other = dynamic_cast<const Geometry*>(&p_Other);
  if (!other) return false;
  return equals(*other);
}

boost::shared_ptr<IArray> PointGeometry::do_interpolate_points(Array<FullNaturalPoint<double, 3>, 1>,
                                                               boost::shared_ptr<IGridFunction>,
                                                               const IArrayImplFactory&)
{
  QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, "");
}

Array<FullNaturalPoint<double, 3>, 1> PointGeometry::do_physical_to_natural_points(
    boost::shared_ptr<IGeometry> p_Other, boost::shared_ptr<IDimCellLocator<double, 3>> p_Locator,
    Array<unsigned long long, 1> p_Cells)
{
  const boost::shared_ptr<Geometry> other = checked_pointer_cast<Geometry>(p_Other);
  KERNOS50_PRECONDITION(other, "Converting the points of no geometry.");
  const boost::shared_ptr<IArray> converted =
      other->topology()->create_array(*other->get_point_function(), VectorArrayImplFactory::instance());
  const boost::shared_ptr<Array<point_type, 1>> points = checked_pointer_cast<Array<point_type, 1>>(converted);
  return do_physical_to_natural_points(*points, std::move(p_Locator), std::move(p_Cells));
}

Array<FullNaturalPoint<double, 3>, 1> PointGeometry::do_physical_to_natural_points(
    const Array<point_type, 1>&, boost::shared_ptr<IDimCellLocator<double, 3>>, Array<unsigned long long, 1>)
{
  QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, "");
}

std::int32_t PointGeometry::do_get_cell_points(mtm::RigidVector<3, unsigned short> p_Cell, CellPoints&) const
{
  reject_cell_handle(p_Cell);
}

std::int32_t PointGeometry::do_get_cell_points(mtm::RigidVector<2, unsigned int> p_Cell, CellPoints&) const
{
  reject_cell_handle(p_Cell);
}

std::int32_t PointGeometry::do_get_cell_points(handle_t p_Cell, CellPoints& p_Points) const
{
  std::uint64_t first = 0;
  const std::uint64_t n = cell_record(p_Cell, first);
  KERNOS50_PRECONDITION(n <= 8, "Cell " << p_Cell << " has " << n << " points; at most 8 are written.");
  const unsigned long long* ids = m_Topology->connectivity().data() + first;
  for (std::uint64_t k = 0; k < n; ++k) p_Points[k] = raw_point(ids[k]);
  return static_cast<std::int32_t>(n);
}

void PointGeometry::do_get_face_points(et::Quad, mtm::RigidVector<4, unsigned short> p_Face, point_type (&)[4]) const
{
  reject_face_handle(p_Face);
}

void PointGeometry::do_get_face_points(et::Tri, mtm::RigidVector<4, unsigned short> p_Face, point_type (&)[3]) const
{
  reject_face_handle(p_Face);
}

boost::shared_ptr<PointGeometry> make_geometry(boost::shared_ptr<UnstructuredTopology<0>> p_Topology,
                                               boost::shared_ptr<VirtualPointsArray> p_Points)
{
  boost::shared_ptr<PointGeometry> geometry(new PointGeometry(std::move(p_Topology)));
  geometry->set_points(std::move(p_Points));
  return geometry;
}

}  // namespace core
}  // namespace quill20
