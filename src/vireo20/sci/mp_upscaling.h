// The upscaling engine: gathers the enabled source particles of a time step into one upscaled particle
// per distinct parent, and keeps that grouping for the queries and reductions of the step.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "quill20/core/array/Array1D.h"
#include "quill20/core/geometry/GenGeometry.h"
#include "quill20/core/grid_function/GridFunctionTypes.h"
#include "quill20/core/topology/UnstructuredTopology.h"
#include "vireo20/Export.h"

// The grouping of one time step: upscaled particle e owns positions[first, first + count) of the
// enabled positions, which ascend within a block; the blocks tile positions in upscaled-particle order.
struct VIREO20_API UpscaledParticlesTopology {
  // p_NumberOfUpscaledParticles blocks (-1, 0) and p_NumberOfEnabledPositions zero positions.
  UpscaledParticlesTopology(std::int32_t p_NumberOfUpscaledParticles, std::int32_t p_NumberOfEnabledPositions);

  std::vector<std::pair<std::int32_t, std::int32_t>> ranges;
  std::vector<std::int32_t> positions;
};

class ParticlePointsArray;

class VIREO20_API MPUpscaling {
 public:
  using IntArray = quill20::core::Array<int, 1>;

  // p_Parents is shared, never copied: for each source particle its parent, or a negative value when
  // the particle is its own parent. An empty pointer means there are no source particles.
  explicit MPUpscaling(boost::shared_ptr<IntArray> p_Parents);

  // Groups the enabled particles of a time step. Bad input (an entry that names no source particle, a
  // parent outside the table, a negative trailing count, counts beyond 32 bits) throws
  // std::runtime_error and leaves the previous grouping in place.
  void setup(std::int32_t p_TimestepIndex, boost::shared_ptr<IntArray> p_EnabledIndexes,
             std::int32_t p_NumberOfTrailingEntries);

  // Upscaled particles plus trailing entries: the length of every upscaled output.
  std::int32_t number_of_enabled_particles() const;

  // For each input entry (enabled position, then trailing entry) the output entry it goes to.
  boost::shared_ptr<IntArray> get_element_particles_indexes();

  using DoubleArray = quill20::core::Array<double, 1>;
  using CoordinateArray = quill20::core::Array<quill20::mtm::RigidVector<3, double>, 1>;
  using IntGridFunction = quill20::core::ArrayGridFunction<int>;
  using DoubleGridFunction = quill20::core::ArrayGridFunction<double>;
  using GridFunctionPtr = boost::shared_ptr<quill20::core::IGridFunction>;
  using Topology = quill20::core::UnstructuredTopology<0>;
  using ParticlesGeometry = quill20::core::PointGeometry;
  // The grouping and checked inputs a reduction or query reads (defined with the ordered driver).
  struct Frame;

  // Per upscaled particle (then the trailing entries passed through): the sum of the values of its
  // enabled positions, in ascending position order.
  boost::shared_ptr<DoubleGridFunction> sum(boost::shared_ptr<DoubleGridFunction> p_Values);
  // The value at the last enabled position of each upscaled particle; float64 or int32 values.
  GridFunctionPtr take_any(GridFunctionPtr p_Values);
  // Mass-weighted averages; masses are indexed by source particle, values by enabled position.
  boost::shared_ptr<DoubleGridFunction> weighted_average(boost::shared_ptr<DoubleGridFunction> p_Values,
                                                         boost::shared_ptr<DoubleArray> p_Masses);
  boost::shared_ptr<CoordinateArray> weighted_average(boost::shared_ptr<CoordinateArray> p_Coordinates,
                                                      boost::shared_ptr<DoubleArray> p_Masses);

  // The parent id of each upscaled particle; trailing entry j gets N + j.
  boost::shared_ptr<IntGridFunction> get_particle_ids();
  // Maps, in place, every id that names a source particle to its parent id (for the "to" side only
  // where the contact kind is 0); returns p_Ids itself.
  boost::shared_ptr<IntGridFunction> get_contact_parent_id_from(GridFunctionPtr p_Ids);
  boost::shared_ptr<IntGridFunction> get_contact_parent_id_to(GridFunctionPtr p_Ids, GridFunctionPtr p_Kinds);

  // One point cell per upscaled particle and trailing entry, in VTK storage.
  boost::shared_ptr<Topology> create_particles_topology();
  // A geometry over p_Topology whose points are the mass-weighted centres of the upscaled particles.
  boost::shared_ptr<ParticlesGeometry> create_particles_geometry(boost::shared_ptr<Topology> p_Topology,
                                                                 boost::shared_ptr<ParticlePointsArray> p_Points,
                                                                 boost::shared_ptr<DoubleArray> p_Masses);

  std::int32_t number_of_upscaled_particles() const { return m_NumberOfUpscaledParticles; }
  // N, the length of the parent table: what arrays indexed by source particle must hold.
  std::uint64_t number_of_source_particles() const { return m_Parents && m_Parents->data() ? m_Parents->size() : 0; }
  std::int32_t number_of_trailing_entries() const { return m_NumberOfTrailingEntries; }
  const boost::shared_ptr<IntArray>& enabled_indexes() const { return m_EnabledIndexes; }
  // Empty when the last setup had no enabled particles, or before the first setup.
  const boost::shared_ptr<UpscaledParticlesTopology>& topology() const { return m_Topology; }

 protected:
  // Calls p_Visitor(enabled position, source particle, parent id) for every entry of p_Enabled in order,
  // after checking that the entry and its parent are source particles, so a visitor may index by parent
  // id without checks of its own. Defined with the setup and inlined there: no call per element goes
  // through a std::function.
  template <class Visitor>
  void visit_enabled_particles(const IntArray& p_Enabled, Visitor&& p_Visitor) const;

  boost::shared_ptr<IntArray> m_Parents;
  std::int32_t m_NumberOfUpscaledParticles;
  std::int32_t m_NumberOfTrailingEntries;
  boost::shared_ptr<IntArray> m_EnabledIndexes;
  boost::shared_ptr<UpscaledParticlesTopology> m_Topology;
  // The upscaled particle of each enabled position (the blocks inverted), one per position of
  // m_Topology: element indexes copy it and sums stream through it. Empty without a grouping.
  boost::shared_ptr<const std::int32_t> m_Labels;
};

// A points source over a coordinate array: the points of a particles geometry. After an upscaling it
// also keeps the coordinates that came in and the grouping behind the current ones.
class VIREO20_API ParticlePointsArray : public quill20::core::VirtualPointsArray {
 public:
  using CoordinateArray = quill20::core::Array<quill20::mtm::RigidVector<3, double>, 1>;

  ParticlePointsArray();
  // The leading count starts as the number of coordinates minus the trailing count.
  ParticlePointsArray(boost::shared_ptr<CoordinateArray> p_Coordinates, std::int32_t p_TrailingCount);
  ParticlePointsArray(const ParticlePointsArray& p_Other);
  ~ParticlePointsArray() override;

  std::uint64_t number_of_points() const override;
  quill20::mtm::RigidVector<3, double> point(std::uint64_t p_Index) const override;
  const double* raw_data() const override;

  std::int32_t m_LeadingCount;
  std::int32_t m_TrailingCount;
  // Carried along for the producers of such objects; not interpreted here.
  std::uint64_t m_Word;
  boost::shared_ptr<CoordinateArray> m_Coordinates;
  boost::shared_ptr<CoordinateArray> m_PreviousCoordinates;
  boost::shared_ptr<UpscaledParticlesTopology> m_UpscaledTopology;
  boost::shared_ptr<void> m_Extra1;
  boost::shared_ptr<void> m_Extra2;
  boost::shared_ptr<void> m_Extra3;
  std::shared_ptr<void> m_StdExtra1;
  std::shared_ptr<void> m_StdExtra2;
};
