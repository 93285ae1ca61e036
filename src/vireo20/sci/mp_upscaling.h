// The upscaling engine: gathers the enabled source particles of a time step into one upscaled particle
// per distinct parent, and keeps that grouping for the queries and reductions of the step.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "quill20/core/array/Array1D.h"
#include "vireo20/Export.h"

// The grouping of one time step: upscaled particle e owns positions[first, first + count) of the
// enabled positions, which ascend within a block; the blocks tile positions in upscaled-particle order.
struct VIREO20_API UpscaledParticlesTopology {
  // p_NumberOfUpscaledParticles blocks (-1, 0) and p_NumberOfEnabledPositions zero positions.
  UpscaledParticlesTopology(std::int32_t p_NumberOfUpscaledParticles, std::int32_t p_NumberOfEnabledPositions);

  std::vector<std::pair<std::int32_t, std::int32_t>> ranges;
  std::vector<std::int32_t> positions;
};

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

  std::int32_t number_of_upscaled_particles() const { return m_NumberOfUpscaledParticles; }
  std::int32_t number_of_trailing_entries() const { return m_NumberOfTrailingEntries; }
  const boost::shared_ptr<IntArray>& enabled_indexes() const { return m_EnabledIndexes; }
  // Empty when the last setup had no enabled particles, or before the first setup.
  const boost::shared_ptr<UpscaledParticlesTopology>& topology() const { return m_Topology; }

 protected:
  // Calls p_Visitor(enabled position, source particle, parent id) for every entry of p_Enabled in order,
  // after checking that the entry and its parent are source particles, so a visitor may index by parent
  // id without checks of its own. Defined in mp_upscaling.cpp and inlined there: no call per element
  // goes through a std::function.
  template <class Visitor>
  void visit_enabled_particles(const IntArray& p_Enabled, Visitor&& p_Visitor) const;

  boost::shared_ptr<IntArray> m_Parents;
  std::int32_t m_NumberOfUpscaledParticles;
  std::int32_t m_NumberOfTrailingEntries;
  boost::shared_ptr<IntArray> m_EnabledIndexes;
  boost::shared_ptr<UpscaledParticlesTopology> m_Topology;
};
