// ITypeGeometry<T, Topology, Dim>: binds the topology type; the failing defaults of the measures and
// conversions that only some geometries offer.
#pragma once

#include "quill20/core/IAvailabilityException.h"
#include "quill20/core/geometry/IGeometry.h"

namespace quill20 {
namespace core {

template <class T, class Topology, int Dim>
class ITypeGeometry : public IDimGeometry<T, Dim> {
 public:
  using topology_type = Topology;
  using typename IDimGeometry<T, Dim>::point_type;
  using typename IDimGeometry<T, Dim>::BasisType;

  bool has_basis() const override { return false; }

 protected:
  boost::shared_ptr<IGridFunction> do_get_cell_top_z_function() const override
  {
    QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, "");
  }
  boost::shared_ptr<IGridFunction> do_get_cell_bottom_z_function() const override
  {
    QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, "");
  }
  BasisType& do_get_basis() override { QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, ""); }
  boost::shared_ptr<IGridFunction> do_get_cell_length_function() const override
  {
    QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, "");
  }
  point_type do_posc_conversion(double, double, double, double) override
  {
    QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, "");
  }
};

}  // namespace core
}  // namespace quill20
