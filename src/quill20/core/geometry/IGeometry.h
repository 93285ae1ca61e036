// IGeometry: a topology placed in space, with grid functions derived from the two (positions, cell
// centres, measures). IDimGeometry<T,Dim> adds what depends on the coordinate type and dimension.
#pragma once

#include <cstdint>

#include <boost/shared_ptr.hpp>

#include "quill20/Export.h"
#include "quill20/core/array/Array1D.h"
#include "quill20/core/geometry/FullNaturalPoint.h"
#include "quill20/core/pattern/ISciObject.h"
#include "quill20/core/topology/ElementType.h"

namespace quill20 {
namespace core {

class ITopology;
class IGridFunction;
class IArrayImplFactory;

template <class Point, class Coordinate, class Weight>
class Basis;
template <class T, int Dim>
class IDimCellLocator;

#define QUILL20_DETAIL_GEOMETRY_FUNCTION(name)                                              \
 public:                                                                                  \
  boost::shared_ptr<IGridFunction> get_##name##_function() const { return do_get_##name##_function(); } \
                                                                                          \
 protected:                                                                               \
  virtual boost::shared_ptr<IGridFunction> do_get_##name##_function() const

class QUILL20_API IGeometry : public ISciObject {
 public:
  ~IGeometry() override;

  virtual boost::shared_ptr<ITopology> topology() const = 0;
  virtual int dimension() const = 0;
  QUILL20_DETAIL_GEOMETRY_FUNCTION(point) = 0;
  QUILL20_DETAIL_GEOMETRY_FUNCTION(cell_area) = 0;
  QUILL20_DETAIL_GEOMETRY_FUNCTION(face_area) = 0;
  QUILL20_DETAIL_GEOMETRY_FUNCTION(volume) = 0;
  QUILL20_DETAIL_GEOMETRY_FUNCTION(cell_center) = 0;
  QUILL20_DETAIL_GEOMETRY_FUNCTION(face_center);
  QUILL20_DETAIL_GEOMETRY_FUNCTION(edge_center);
  QUILL20_DETAIL_GEOMETRY_FUNCTION(dx) = 0;
  QUILL20_DETAIL_GEOMETRY_FUNCTION(dy) = 0;
  QUILL20_DETAIL_GEOMETRY_FUNCTION(dz) = 0;
  QUILL20_DETAIL_GEOMETRY_FUNCTION(cell_top_z) = 0;
  QUILL20_DETAIL_GEOMETRY_FUNCTION(cell_bottom_z) = 0;
  QUILL20_DETAIL_GEOMETRY_FUNCTION(cell_deltas) = 0;

 public:
  bool is_equal(const IGeometry& p_Other) const { return do_is_equal(p_Other); }

 protected:
  virtual bool do_is_equal(const IGeometry& p_Other) const;

 public:
  virtual bool has_basis() const = 0;
};

template <class T, int Dim>
class IDimGeometry;

template <>
class QUILL20_API IDimGeometry<double, 3> : public IGeometry {
 public:
  using point_type = mtm::RigidVector<3, double>;
  using BasisType = Basis<point_type, double, double>;
  using CellPoints = point_type[8];

  ~IDimGeometry() override;

  BasisType& get_basis() { return do_get_basis(); }
  // A point from four coordinates (x, y, z and a weight); the geometries of this library do not offer
  // the conversion and fail as unavailable.
  point_type posc_conversion(double p_X, double p_Y, double p_Z, double p_W)
  {
    return do_posc_conversion(p_X, p_Y, p_Z, p_W);
  }
  std::int32_t get_cell_points(handle_t p_Cell, CellPoints& p_Points) const { return do_get_cell_points(p_Cell, p_Points); }

 protected:
  virtual BasisType& do_get_basis() = 0;
  QUILL20_DETAIL_GEOMETRY_FUNCTION(cell_length) = 0;
  virtual point_type do_posc_conversion(double p_X, double p_Y, double p_Z, double p_W) = 0;
  QUILL20_DETAIL_GEOMETRY_FUNCTION(shared_point) = 0;

 public:
  virtual boost::shared_ptr<IGeometry> copy_with_topology(boost::shared_ptr<ITopology> p_Topology) const = 0;
  QUILL20_DETAIL_GEOMETRY_FUNCTION(raw_point) = 0;
  virtual boost::shared_ptr<IArray> do_interpolate_points(Array<FullNaturalPoint<double, 3>, 1> p_Points,
                                                          boost::shared_ptr<IGridFunction> p_Values,
                                                          const IArrayImplFactory& p_Factory) = 0;
  virtual Array<FullNaturalPoint<double, 3>, 1> do_physical_to_natural_points(
      boost::shared_ptr<IGeometry> p_Other, boost::shared_ptr<IDimCellLocator<double, 3>> p_Locator,
      Array<unsigned long long, 1> p_Cells) = 0;
  virtual Array<FullNaturalPoint<double, 3>, 1> do_physical_to_natural_points(
      const Array<point_type, 1>& p_Points, boost::shared_ptr<IDimCellLocator<double, 3>> p_Locator,
      Array<unsigned long long, 1> p_Cells) = 0;
  virtual std::int32_t do_get_cell_points(mtm::RigidVector<3, unsigned short> p_Cell, CellPoints& p_Points) const = 0;
  virtual std::int32_t do_get_cell_points(mtm::RigidVector<2, unsigned int> p_Cell, CellPoints& p_Points) const = 0;
  virtual std::int32_t do_get_cell_points(handle_t p_Cell, CellPoints& p_Points) const = 0;
  virtual void do_get_face_points(et::Quad, mtm::RigidVector<4, unsigned short> p_Face, point_type (&p_Points)[4]) const = 0;
  virtual void do_get_face_points(et::Tri, mtm::RigidVector<4, unsigned short> p_Face, point_type (&p_Points)[3]) const = 0;
};

}  // namespace core
}  // namespace quill20
