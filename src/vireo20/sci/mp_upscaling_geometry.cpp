// The upscaled particles as cells and points: their topology, their geometry and its points source.
#include <algorithm>

#include "quill20/vtk/VtkArrayImpl.h"
#include "vireo20/sci/mp_upscaling.h"
#include "vireo20/sci/ordered_driver.h"

using vireo20::ups::held;
using vireo20::ups::refuse;

boost::shared_ptr<MPUpscaling::Topology> MPUpscaling::create_particles_topology()
{
  // The arrays a builder makes from one add_cell({i}) per particle (cells index 0, 2, 4, ...;
  // connectivity 1, 0, 1, 1, ...), written in one pass into VTK storage of their final size: no call,
  // growth or trim per cell, about four times faster on millions of particles.
  using Index = unsigned long long;
  const std::uint64_t total = static_cast<std::uint64_t>(std::max<std::int32_t>(0, number_of_enabled_particles()));
  const boost::shared_ptr<quill20::core::Array<Index, 1>> cells_index = quill20::vtkex::make_vtk_array<Index>(total);
  const boost::shared_ptr<quill20::core::Array<Index, 1>> connectivity = quill20::vtkex::make_vtk_array<Index>(2 * total);
  Index* cells = cells_index->data();
  Index* records = connectivity->data();
  for (std::uint64_t i = 0; i < total; ++i) {
    cells[i] = 2 * i;
    records[2 * i] = 1;
    records[2 * i + 1] = i;
  }
  const boost::shared_ptr<Topology> topology(new Topology());
  topology->set_cells_index(*cells_index);
  topology->set_connectivity(*connectivity);
  topology->finalize_built_connectivity(total);
  return topology;
}

boost::shared_ptr<MPUpscaling::ParticlesGeometry> MPUpscaling::create_particles_geometry(
    boost::shared_ptr<Topology> p_Topology, boost::shared_ptr<ParticlePointsArray> p_Points,
    boost::shared_ptr<DoubleArray> p_Masses)
{
  if (!p_Topology) refuse("CreateParticlesGeometry", "topology is None; pass the result of CreateParticlesTopology");
  if (!p_Points) refuse("CreateParticlesGeometry", "points is None; pass a quill20.ParticlePointsArray");
  boost::shared_ptr<ParticlePointsArray> points(new ParticlePointsArray(*p_Points));
  if (p_Points->m_Coordinates) {
    const boost::shared_ptr<CoordinateArray> averaged = weighted_average(p_Points->m_Coordinates, p_Masses);
    points->m_PreviousCoordinates = points->m_Coordinates;
    points->m_Coordinates = averaged;
    points->m_LeadingCount = static_cast<std::int32_t>(averaged->size()) - points->m_TrailingCount;
    points->m_UpscaledTopology = m_Topology;
  }
  return quill20::core::make_geometry(std::move(p_Topology), points);
}

ParticlePointsArray::ParticlePointsArray() : ParticlePointsArray(nullptr, 0) {}

ParticlePointsArray::ParticlePointsArray(boost::shared_ptr<CoordinateArray> p_Coordinates, std::int32_t p_TrailingCount)
    : m_LeadingCount(static_cast<std::int32_t>(p_Coordinates ? p_Coordinates->size() : 0) - p_TrailingCount),
      m_TrailingCount(p_TrailingCount),
      m_Word(0),
      m_Coordinates(std::move(p_Coordinates))
{
}

ParticlePointsArray::ParticlePointsArray(const ParticlePointsArray& p_Other) = default;
ParticlePointsArray::~ParticlePointsArray() = default;

std::uint64_t ParticlePointsArray::number_of_points() const { return m_Coordinates ? held(*m_Coordinates) : 0; }

quill20::mtm::RigidVector<3, double> ParticlePointsArray::point(std::uint64_t p_Index) const
{
  return m_Coordinates->data()[p_Index];
}

const double* ParticlePointsArray::raw_data() const
{
  return m_Coordinates && m_Coordinates->data() ? m_Coordinates->data()->data() : nullptr;
}
