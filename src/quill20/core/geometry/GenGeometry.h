// Geometry: a point topology with coordinates from a VirtualPointsArray, and the fourteen read-only
// grid functions derived from them. Every cell is a point, so positions and centres work and the
// measures of extended cells fail.
#pragma once

#include <cstdint>

#include <boost/shared_ptr.hpp>

#include "quill20/Export.h"
#include "quill20/core/geometry/VirtualGeometry.h"
#include "quill20/core/grid_function/GenGridFunction.h"

namespace quill20 {
namespace core {

template <class Impl, class Topology>
class Geometry;

using PointGeometry = Geometry<VirtualGeometryImpl<double, UnstructuredTopology<0>, 3>, UnstructuredTopology<0>>;

// Evaluates one member of a geometry per handle. The pointer does not own the geometry: the geometry
// owns its grid functions, which must not outlive it.
template <class R>
class GeometryFunctorImpl {
 public:
  using value_type = grid_value_t<R>;
  using result_type = R;
  using accepted_handles = GenAcceptableHandlesTraitPlusHandle1<InvalidHandle>;
  using Member = R (PointGeometry::*)(handle_t) const;

  GeometryFunctorImpl(const PointGeometry* p_Geometry, Member p_Member) : m_Geometry(p_Geometry), m_Member(p_Member) {}

  R get_unchecked(handle_t p_Handle) const { return (m_Geometry->*m_Member)(p_Handle); }
  R get_checked(handle_t p_Handle) const { return (m_Geometry->*m_Member)(p_Handle); }
  // Computed on demand for any element.
  handle_t number_of_elements() const { return Inf<handle_t>(); }

 private:
  const PointGeometry* m_Geometry;
  Member m_Member;
};

template <class R>
using GeometryGridFunction = GridFunction<GeometryFunctorImpl<R>, PassHandleMapper, is::Const>;
using PointGridFunction = GeometryGridFunction<mtm::RigidVector<3, double>>;
using MeasureGridFunction = GeometryGridFunction<double>;

// Instantiated in the library, in GenGeometry.
extern template class QUILL20_API GridFunctionCommon<PassHandleMapper, ITypeGridFunction<mtm::RigidVector<3, double>>,
                                                     GeometryFunctorImpl<mtm::RigidVector<3, double>>, is::Const,
                                                     mtm::RigidVector<3, double>>;
extern template class QUILL20_API GridFunction<GeometryFunctorImpl<mtm::RigidVector<3, double>>, PassHandleMapper, is::Const>;
extern template class QUILL20_API GridFunctionCommon<PassHandleMapper, ITypeGridFunction<double>, GeometryFunctorImpl<double>,
                                                     is::Const, double>;
extern template class QUILL20_API GridFunction<GeometryFunctorImpl<double>, PassHandleMapper, is::Const>;


template <>
class QUILL20_API Geometry<VirtualGeometryImpl<double, UnstructuredTopology<0>, 3>, UnstructuredTopology<0>>
    : public VirtualGeometryImpl<double, UnstructuredTopology<0>, 3> {
 public:
  using point_type = mtm::RigidVector<3, double>;

  explicit Geometry(boost::shared_ptr<UnstructuredTopology<0>> p_Topology);
  // Shares p_Source's coordinate source, over another topology.
  Geometry(const Geometry& p_Source, boost::shared_ptr<UnstructuredTopology<0>> p_Topology);
  ~Geometry() override;

  int dimension() const override { return 3; }
  boost::shared_ptr<IGeometry> copy_with_topology(boost::shared_ptr<ITopology> p_Topology) const override;

  // The members the grid functions evaluate.
  point_type point(handle_t p_Vertex) const;
  point_type raw_point(handle_t p_Vertex) const;
  point_type shared_point(handle_t p_Vertex) const;
  point_type cell_center(handle_t p_cell_handle) const;
  double volume(handle_t p_cell_handle) const;
  double face_area(handle_t p_Face) const;
  double cell_area(handle_t p_cell_handle) const;
  double cell_length(handle_t p_cell_handle) const;
  double dx(handle_t p_cell_handle) const;
  double dy(handle_t p_cell_handle) const;
  double dz(handle_t p_cell_handle) const;
  double top_z(handle_t p_cell_handle) const;
  double bottom_z(handle_t p_cell_handle) const;
  point_type cell_deltas(handle_t p_cell_handle) const;

  const PointGridFunction& point_function() const { return *m_Point; }
  const PointGridFunction& cell_center_function() const { return *m_CellCenter; }

 protected:
  boost::shared_ptr<IGridFunction> do_get_point_function() const override { return m_Point; }
  boost::shared_ptr<IGridFunction> do_get_cell_area_function() const override { return m_CellArea; }
  boost::shared_ptr<IGridFunction> do_get_face_area_function() const override { return m_FaceArea; }
  boost::shared_ptr<IGridFunction> do_get_volume_function() const override { return m_Volume; }
  boost::shared_ptr<IGridFunction> do_get_cell_center_function() const override { return m_CellCenter; }
  boost::shared_ptr<IGridFunction> do_get_dx_function() const override { return m_Dx; }
  boost::shared_ptr<IGridFunction> do_get_dy_function() const override { return m_Dy; }
  boost::shared_ptr<IGridFunction> do_get_dz_function() const override { return m_Dz; }
  boost::shared_ptr<IGridFunction> do_get_cell_top_z_function() const override { return m_TopZ; }
  boost::shared_ptr<IGridFunction> do_get_cell_bottom_z_function() const override { return m_BottomZ; }
  boost::shared_ptr<IGridFunction> do_get_cell_deltas_function() const override { return m_CellDeltas; }
  bool do_is_equal(const IGeometry& p_Other) const override;
  boost::shared_ptr<IGridFunction> do_get_cell_length_function() const override { return m_CellLength; }
  boost::shared_ptr<IGridFunction> do_get_shared_point_function() const override { return m_SharedPoint; }
  boost::shared_ptr<IGridFunction> do_get_raw_point_function() const override { return m_RawPoint; }

 public:
  boost::shared_ptr<IArray> do_interpolate_points(Array<FullNaturalPoint<double, 3>, 1> p_Points,
                                                  boost::shared_ptr<IGridFunction> p_Values,
                                                  const IArrayImplFactory& p_Factory) override;
  Array<FullNaturalPoint<double, 3>, 1> do_physical_to_natural_points(
      boost::shared_ptr<IGeometry> p_Other, boost::shared_ptr<IDimCellLocator<double, 3>> p_Locator,
      Array<unsigned long long, 1> p_Cells) override;
  Array<FullNaturalPoint<double, 3>, 1> do_physical_to_natural_points(
      const Array<point_type, 1>& p_Points, boost::shared_ptr<IDimCellLocator<double, 3>> p_Locator,
      Array<unsigned long long, 1> p_Cells) override;
  std::int32_t do_get_cell_points(mtm::RigidVector<3, unsigned short> p_Cell, CellPoints& p_Points) const override;
  std::int32_t do_get_cell_points(mtm::RigidVector<2, unsigned int> p_Cell, CellPoints& p_Points) const override;
  std::int32_t do_get_cell_points(handle_t p_Cell, CellPoints& p_Points) const override;
  void do_get_face_points(et::Quad, mtm::RigidVector<4, unsigned short> p_Face, point_type (&p_Points)[4]) const override;
  void do_get_face_points(et::Tri, mtm::RigidVector<4, unsigned short> p_Face, point_type (&p_Points)[3]) const override;

 private:
  void create_grid_functions();
  // The record of cell c in the connectivity list: its vertex count and the position of its first id.
  std::uint64_t cell_record(handle_t p_Cell, std::uint64_t& p_First) const;

  boost::shared_ptr<PointGridFunction> m_Point;
  boost::shared_ptr<PointGridFunction> m_RawPoint;
  boost::shared_ptr<PointGridFunction> m_SharedPoint;
  boost::shared_ptr<PointGridFunction> m_CellCenter;
  boost::shared_ptr<MeasureGridFunction> m_Volume;
  boost::shared_ptr<MeasureGridFunction> m_FaceArea;
  boost::shared_ptr<MeasureGridFunction> m_CellArea;
  boost::shared_ptr<MeasureGridFunction> m_Dx;
  boost::shared_ptr<MeasureGridFunction> m_Dy;
  boost::shared_ptr<MeasureGridFunction> m_Dz;
  boost::shared_ptr<MeasureGridFunction> m_TopZ;
  boost::shared_ptr<MeasureGridFunction> m_BottomZ;
  boost::shared_ptr<PointGridFunction> m_CellDeltas;
  boost::shared_ptr<MeasureGridFunction> m_CellLength;
};

// A geometry over p_Topology whose points come from p_Points.
QUILL20_API boost::shared_ptr<PointGeometry> make_geometry(boost::shared_ptr<UnstructuredTopology<0>> p_Topology,
                                                           boost::shared_ptr<VirtualPointsArray> p_Points);

}  // namespace core
}  // namespace quill20
