// The coordinate source and the storage of virtual geometries.
#include "quill20/core/geometry/VirtualGeometry.h"

namespace quill20 {
namespace core {

VirtualPointsArray::~VirtualPointsArray() = default;

VirtualGeometryImpl<double, UnstructuredTopology<0>, 3>::VirtualGeometryImpl(
    boost::shared_ptr<UnstructuredTopology<0>> p_Topology)
    : m_Topology(std::move(p_Topology))
{
}

VirtualGeometryImpl<double, UnstructuredTopology<0>, 3>::~VirtualGeometryImpl() = default;

bool VirtualGeometryImpl<double, UnstructuredTopology<0>, 3>::equals(const VirtualGeometryImpl&) const
{
  QUILL20_AVAILABILITY_FAILURE(not_implemented_wording, *this, "");
}

}  // namespace core
}  // namespace quill20
