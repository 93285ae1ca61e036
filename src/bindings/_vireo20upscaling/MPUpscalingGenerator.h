// MPUpscalingGenerator: the upscaling engine as Python sees it, with the index of the current time step.
// Native code of other modules may include this header to take generators by shared pointer.
#pragma once

#include <cstdint>
#include <stdexcept>
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

  boost::shared_ptr<IntGridFunction> GetContactParentIDFrom(GridFunctionPtr p_Ids)
  {
    return get_contact_parent_id_from(std::move(p_Ids));
  }
  boost::shared_ptr<IntGridFunction> GetContactParentIDTo(GridFunctionPtr p_Ids, GridFunctionPtr p_Kinds)
  {
    return get_contact_parent_id_to(std::move(p_Ids), std::move(p_Kinds));
  }
  boost::shared_ptr<Topology> CreateParticlesTopology() { return create_particles_topology(); }
  boost::shared_ptr<ParticlesGeometry> CreateParticlesGeometry(boost::shared_ptr<Topology> p_Topology,
                                                               boost::shared_ptr<ParticlePointsArray> p_Points,
                                                               boost::shared_ptr<DoubleArray> p_Masses)
  {
    return create_particles_geometry(std::move(p_Topology), std::move(p_Points), std::move(p_Masses));
  }
  boost::shared_ptr<CoordinateArray> CoordsWeightedAverage(boost::shared_ptr<CoordinateArray> p_Coordinates,
                                                           boost::shared_ptr<DoubleArray> p_Masses)
  {
    return weighted_average(std::move(p_Coordinates), std::move(p_Masses));
  }
  boost::shared_ptr<DoubleGridFunction> WeightedAverage(boost::shared_ptr<DoubleGridFunction> p_Values,
                                                        boost::shared_ptr<DoubleArray> p_Masses)
  {
    return weighted_average(std::move(p_Values), std::move(p_Masses));
  }
  boost::shared_ptr<DoubleGridFunction> Sum(boost::shared_ptr<DoubleGridFunction> p_Values) { return sum(std::move(p_Values)); }
  GridFunctionPtr TakeAny(GridFunctionPtr p_Values) { return take_any(std::move(p_Values)); }
  boost::shared_ptr<IntGridFunction> GetParticleIds() { return get_particle_ids(); }

  // Calls that read the step without the interpreter lock (the job's group moments and spreads) count
  // themselves here for their length. A new step, set under that lock, is refused meanwhile rather
  // than made to wait: the threads it would wait for may be waiting for the lock it holds.
  class Reading {
   public:
    explicit Reading(const MPUpscalingGenerator& p_Generator) : m_Generator(p_Generator) { ++p_Generator.m_Readers; }
    ~Reading() { --m_Generator.m_Readers; }
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;

   private:
    const MPUpscalingGenerator& m_Generator;
  };
  void refuse_new_step_while_read() const
  {
    if (m_Readers > 0) throw std::runtime_error("the generator is in use: another thread is reducing its current step");
  }

 protected:
  std::int32_t m_TimestepIndex;

 private:
  mutable int m_Readers = 0;
};

}  // namespace ups
}  // namespace vireo20
