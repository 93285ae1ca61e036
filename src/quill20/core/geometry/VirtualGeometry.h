// A geometry whose vertex coordinates are read on demand from a VirtualPointsArray.
#pragma once

#include <cstdint>

#include <boost/shared_ptr.hpp>

#include "quill20/Export.h"
#include "quill20/core/geometry/ITypeGeometry.h"
#include "quill20/core/topology/UnstructuredTopology.h"

namespace quill20 {
namespace core {

// The source of a geometry's coordinates: three doubles per point, points consecutive.
class QUILL20_API VirtualPointsArray {
 public:
  virtual ~VirtualPointsArray();
  virtual std::uint64_t number_of_points() const = 0;
  // Point i, read without a bounds check.
  virtual mtm::RigidVector<3, double> point(std::uint64_t p_Index) const = 0;
  virtual const double* raw_data() const = 0;
};

template <class T, class Topology, int Dim>
class VirtualGeometryImpl;

template <>
class QUILL20_API VirtualGeometryImpl<double, UnstructuredTopology<0>, 3>
    : public ITypeGeometry<double, UnstructuredTopology<0>, 3> {
 public:
  ~VirtualGeometryImpl() override;

  boost::shared_ptr<ITopology> topology() const override { return m_Topology; }
  const boost::shared_ptr<UnstructuredTopology<0>>& unstructured_topology() const { return m_Topology; }
  const boost::shared_ptr<VirtualPointsArray>& points() const { return m_Points; }
  void set_points(boost::shared_ptr<VirtualPointsArray> p_Points) { m_Points = std::move(p_Points); }

 protected:
  explicit VirtualGeometryImpl(boost::shared_ptr<UnstructuredTopology<0>> p_Topology);
  // Geometries of this kind are not compared yet.
  bool equals(const VirtualGeometryImpl& p_Other) const;

  boost::shared_ptr<UnstructuredTopology<0>> m_Topology;
  boost::shared_ptr<VirtualPointsArray> m_Points;
};

}  // namespace core
}  // namespace quill20
