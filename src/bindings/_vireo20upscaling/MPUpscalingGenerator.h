// MPUpscalingGenerator: the upscaling engine as Python sees it, with the index of the current time step.
// Native code of other modules may include this header to take generators by shared pointer.
#pragma once

#include <cstdint>
#include <utility>

#include <boost/shared_ptr.hpp>

#include "vireo20/Export.h"
#include "vireo20/sci/mp_upscaling.h"

namespace vireo20 {
namespace ups {

// Exported so that the type, and with it the converters that the module registers, is one type for
// every module that includes this header.
class VIREO20_API MPUpscalingGenerator : public MPUpscaling {
 public:
  // Python None gives an empty parent table: a generator without source particles.
  explicit MPUpscalingGenerator(boost::shared_ptr<IntArray> p_Parents)
      : MPUpscaling(std::move(p_Parents)), m_TimestepIndex(-1)
  {
  }

  // The time step is taken only once setup has accepted the step, so a refused call keeps the old one.
  void SetParticlesEnabledIndexes(int p_TimestepIndex, boost::shared_ptr<IntArray> p_EnabledIndexes,
                                  int p_NumberOfTrailingEntries)
  {
    setup(p_TimestepIndex, std::move(p_EnabledIndexes), p_NumberOfTrailingEntries);
    m_TimestepIndex = p_TimestepIndex;
  }

  int GetCurrentTimestepIndex() const { return m_TimestepIndex; }
  boost::shared_ptr<IntArray> GetElementParticlesIndexes() { return get_element_particles_indexes(); }
  int GetNumberOfEnabledParticles() const { return number_of_enabled_particles(); }

 protected:
  std::int32_t m_TimestepIndex;
};

}  // namespace ups
}  // namespace vireo20
