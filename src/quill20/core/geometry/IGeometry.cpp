// The failing defaults of IGeometry.
#include "quill20/core/geometry/IGeometry.h"

#include "quill20/core/IAvailabilityException.h"
#include "quill20/core/grid_function/IGridFunction.h"

namespace quill20 {
namespace core {

IGeometry::~IGeometry() = default;
IDimGeometry<double, 3>::~IDimGeometry() = default;

boost::shared_ptr<IGridFunction> IGeometry::do_get_face_center_function() const
{
  QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, "");
}

boost::shared_ptr<IGridFunction> IGeometry::do_get_edge_center_function() const
{
  QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, "");
}

bool IGeometry::do_is_equal(const IGeometry&) const
{
  QUILL20_AVAILABILITY_FAILURE(not_available_wording, *this, "");
}

}  // namespace core
}  // namespace quill20
