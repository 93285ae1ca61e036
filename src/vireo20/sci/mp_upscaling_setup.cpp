// The engine's state: the grouping of a time step's enabled particles and the element map it keeps.
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>

#include "quill20/core/array/HugePages.h"
#include "vireo20/sci/grouping.h"
#include "vireo20/sci/mp_upscaling.h"
#include "vireo20/sci/ordered_driver.h"

namespace {

constexpr std::int64_t largest_count = std::numeric_limits<std::int32_t>::max();

// Bad input to a setup: every text says which call refused it.
[[noreturn]] void reject(const std::string& p_Text) { vireo20::ups::refuse("SetParticlesEnabledIndexes", p_Text); }

std::string particle_range(const boost::shared_ptr<quill20::core::Array<int, 1>>& p_Parents)
{
  if (!p_Parents) {
    return "the particle range, which is empty: the generator was given no parent table (None)";
  }
  const std::uint64_t n = p_Parents->size();
  if (n == 0) {
    return "the particle range, which is empty: the parent table has no entries";
  }
  std::ostringstream text;
  text << "the particle range 0.." << n - 1 << " (" << n << " particles)";
  return text.str();
}

}  // namespace

UpscaledParticlesTopology::UpscaledParticlesTopology(std::int32_t p_NumberOfUpscaledParticles,
                                                     std::int32_t p_NumberOfEnabledPositions)
    : ranges(static_cast<std::size_t>(p_NumberOfUpscaledParticles), std::make_pair(-1, 0)),
      positions(static_cast<std::size_t>(p_NumberOfEnabledPositions), 0)
{
}

MPUpscaling::MPUpscaling(boost::shared_ptr<IntArray> p_Parents)
    : m_Parents(std::move(p_Parents)), m_NumberOfUpscaledParticles(0), m_NumberOfTrailingEntries(0)
{
}

template <class Visitor>
void MPUpscaling::visit_enabled_particles(const IntArray& p_Enabled, Visitor&& p_Visitor) const
{
  const std::uint64_t n = m_Parents ? m_Parents->size() : 0;
  const int* parents = m_Parents ? m_Parents->data() : nullptr;
  const int* enabled = p_Enabled.data();
  const std::int32_t e_count = static_cast<std::int32_t>(p_Enabled.size());
  for (std::int32_t i = 0; i < e_count; ++i) {
    std::int32_t p = enabled[i];
    if (p < 0 || static_cast<std::uint64_t>(p) >= n) {
      std::ostringstream text;
      text << "enabled_indexes[" << i << "] = " << p << " is outside " << particle_range(m_Parents);
      reject(text.str());
    }
    std::int32_t q = parents[p];
    if (q < 0) {
      q = p;
    } else if (static_cast<std::uint64_t>(q) >= n) {
      std::ostringstream text;
      text << "parents[" << p << "] = " << q << ", the parent of enabled_indexes[" << i << "], is outside "
           << particle_range(m_Parents);
      reject(text.str());
    }
    p_Visitor(i, p, q);
  }
}

void MPUpscaling::setup(std::int32_t /*p_TimestepIndex*/, boost::shared_ptr<IntArray> p_EnabledIndexes,
                        std::int32_t p_NumberOfTrailingEntries)
{
  // Everything is checked and built aside; the state changes only once nothing can fail any more.
  if (p_NumberOfTrailingEntries < 0) {
    std::ostringstream text;
    text << "trailing_count = " << p_NumberOfTrailingEntries << " is negative; it must be 0 or more";
    reject(text.str());
  }
  const std::uint64_t e_size = p_EnabledIndexes ? p_EnabledIndexes->size() : 0;
  if (e_size > static_cast<std::uint64_t>(largest_count)) {
    std::ostringstream text;
    text << "enabled_indexes has " << e_size << " entries, more than the largest count " << largest_count;
    reject(text.str());
  }
  const std::int32_t e_count = static_cast<std::int32_t>(e_size);
  if (static_cast<std::int64_t>(e_count) + p_NumberOfTrailingEntries > largest_count) {
    std::ostringstream text;
    text << "trailing_count = " << p_NumberOfTrailingEntries << " with " << e_count << " enabled entries makes "
         << static_cast<std::int64_t>(e_count) + p_NumberOfTrailingEntries
         << " entries, more than the largest count " << largest_count;
    reject(text.str());
  }

  boost::shared_ptr<UpscaledParticlesTopology> topology;
  boost::shared_ptr<const std::int32_t> labels;
  std::int32_t u_count = 0;
  if (e_count > 0) {
    topology.reset(new UpscaledParticlesTopology(0, 0));
    const std::uint64_t n = m_Parents ? m_Parents->size() : 0;
    if (!vireo20::ups::group_by_parent(m_Parents ? m_Parents->data() : nullptr, n, p_EnabledIndexes->data(), e_count,
                                       topology->ranges, topology->positions)) {
      // The fast grouping only knows that some entry is bad; the checks in list order name the first.
      visit_enabled_particles(*p_EnabledIndexes, [](std::int32_t, std::int32_t, std::int32_t) {});
    }
    u_count = static_cast<std::int32_t>(topology->ranges.size());
    // Uninitialised: every position gets its label.
    const std::size_t label_bytes = sizeof(std::int32_t) * std::size_t(e_count);
    const boost::shared_ptr<std::int32_t> written(
        static_cast<std::int32_t*>(quill20::core::allocate_advised(label_bytes)),
        [label_bytes](std::int32_t* p_Labels) { quill20::core::free_advised(p_Labels, label_bytes); });
    vireo20::ups::label_positions(topology->ranges, topology->positions, written.get());
    labels = written;
  }

  m_NumberOfUpscaledParticles = u_count;
  m_NumberOfTrailingEntries = p_NumberOfTrailingEntries;
  m_EnabledIndexes = std::move(p_EnabledIndexes);
  m_Topology = std::move(topology);
  m_Labels = std::move(labels);
}

std::int32_t MPUpscaling::number_of_enabled_particles() const
{
  return m_NumberOfUpscaledParticles + m_NumberOfTrailingEntries;
}

boost::shared_ptr<MPUpscaling::IntArray> MPUpscaling::get_element_particles_indexes()
{
  // The grouping, not the enabled array, fixes E: the caller may have resized that array since.
  const Frame frame(*this);
  boost::shared_ptr<IntArray> result(new IntArray(static_cast<std::uint64_t>(frame.e + frame.t)));
  int* out = result->data();
  if (frame.e > 0) std::memcpy(out, frame.labels, sizeof(std::int32_t) * std::size_t(frame.e));
  for (std::int32_t j = 0; j < frame.t; ++j) out[frame.e + j] = frame.u + j;
  return result;
}
