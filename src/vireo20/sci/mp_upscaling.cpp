// The upscaling engine's state, the grouping of a time step's enabled particles and the index query.
#include "vireo20/sci/mp_upscaling.h"
#include "vireo20/sci/grouping.h"
#include "vireo20/sci/parallel.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>
#include <sstream>
#include <stdexcept>
#include <string>

#include <boost/assert/source_location.hpp>
#include <boost/throw_exception.hpp>

#include "kernos50/Check.h"
#include "kernos50/TypeName.h"
#include "quill20/core/array/HugePages.h"
#include "quill20/vtk/VtkArrayImpl.h"
#include "quill20/vtk/VtkArrayImplFactory.h"

namespace {

constexpr std::int64_t largest_count = std::numeric_limits<std::int32_t>::max();

// Bad input reaches the user as the text of a RuntimeError; every text says which call refused it.
[[noreturn]] void reject(const std::string& p_Text)
{
  throw std::runtime_error("SetParticlesEnabledIndexes: " + p_Text);
}

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
    const boost::shared_ptr<std::int32_t> written(
        static_cast<std::int32_t*>(quill20::core::allocate_advised(sizeof(std::int32_t) * std::size_t(e_count))),
        std::free);
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

// ---- Reductions, id queries, the particles topology and geometry --------------------------------
// Every result lives in VTK storage. Loops read through the arrays' raw data pointers. Within each
// upscaled particle the additions come in ascending position order, whether a loop walks its block
// or all positions in order. E always comes from the grouping, never from the caller's enabled array.

namespace {

using quill20::core::Array;
using quill20::core::IGridFunction;
using Vector3 = quill20::mtm::RigidVector<3, double>;

// This file's text, as its checks report it; kept for the life of the process, as source locations need.
const char* kernos50_file_text_mp_upscaling()
{
  static const std::string text = kernos50::detail::file_text(__FILE__);
  return text.c_str();
}

// A caller's argument that cannot be used: the text names the method, the argument and the problem.
[[noreturn]] void refuse(const char* p_Method, const std::string& p_Text)
{
  throw std::runtime_error(std::string(p_Method) + ": " + p_Text);
}

// The elements an array really holds: an array without storage holds none, whatever size it records.
template <class T>
std::uint64_t held(const Array<T, 1>& p_Array)
{
  return p_Array.data() ? p_Array.size() : 0;
}

// A result of p_Size entries in VTK storage, left unfilled, for reductions that write each entry once.
template <class T>
boost::shared_ptr<Array<T, 1>> vtk_result(std::int32_t p_Size)
{
  return quill20::vtkex::make_vtk_array<T>(static_cast<std::uint64_t>(p_Size));
}

// The same with every entry 0.0, for sums built by adding into the result.
template <class T>
boost::shared_ptr<Array<T, 1>> vtk_zeroed_result(std::int32_t p_Size)
{
  return quill20::vtkex::make_zeroed_vtk_array<T>(static_cast<std::uint64_t>(p_Size));
}

template <class GF, class T>
boost::shared_ptr<GF> grid_function_over(const boost::shared_ptr<Array<T, 1>>& p_Values)
{
  boost::shared_ptr<GF> result(new GF());
  if (p_Values) result->array() = *p_Values;
  return result;
}

// Random reads are asked for a fixed distance ahead, so that many are in flight at once instead of
// one per addition (about twice the throughput on ten million values). At 64 entries ahead a gather
// of ten million values ran a fifth faster than at 24; beyond, it gained nothing.
constexpr std::int32_t prefetch_distance = 64;

// Gathering through the blocks, which tile the positions in order, a weighted member costs three
// random reads: its value, its enabled entry and, through that entry, its mass. The first two are
// asked for twice the distance ahead and the mass once the enabled entry has had time to arrive, so
// the chain's misses overlap instead of following one another. The enabled entries were checked
// before the pass, so the mass address is in range.
template <class T>
inline void prefetch_weighted(const T* p_Values, const std::int32_t* p_Enabled, const double* p_Masses,
                              const std::int32_t* p_Positions, std::int32_t p_Current, std::int32_t p_End)
{
  if (p_Current + 2 * prefetch_distance < p_End) {
    const std::int32_t i = p_Positions[p_Current + 2 * prefetch_distance];
    __builtin_prefetch(p_Values + i);
    // A value wider than 8 bytes may straddle two lines.
    if (sizeof(T) > 8) __builtin_prefetch(reinterpret_cast<const char*>(p_Values + i + 1) - 1);
    __builtin_prefetch(p_Enabled + i);
  }
  if (p_Current + prefetch_distance < p_End)
    __builtin_prefetch(p_Masses + p_Enabled[p_Positions[p_Current + prefetch_distance]]);
}

std::string scalar_type_of(const IGridFunction& p_gf)
{
  return quill20::core::scalar_type_name(p_gf.result_scalar_type());
}

}  // namespace

// What a reduction reads: the grouping, the enabled entries and the per-entry values. Checks that
// every read stays inside its buffer, since the caller may have changed or resized the shared
// arrays since the setup.
struct MPUpscaling::Frame {
  std::int32_t u = 0, t = 0, e = 0;
  const std::pair<std::int32_t, std::int32_t>* ranges = nullptr;
  const std::int32_t* positions = nullptr;
  const std::int32_t* labels = nullptr;
  const int* enabled = nullptr;

  Frame(const MPUpscaling& p_Engine)
      : u(p_Engine.m_Topology ? p_Engine.m_NumberOfUpscaledParticles : 0), t(p_Engine.m_NumberOfTrailingEntries)
  {
    if (p_Engine.m_Topology) {
      e = static_cast<std::int32_t>(p_Engine.m_Topology->positions.size());
      ranges = p_Engine.m_Topology->ranges.data();
      positions = p_Engine.m_Topology->positions.data();
      labels = p_Engine.m_Labels.get();
    }
  }
  std::int32_t total() const { return u + t; }

  void require_values(const char* p_Method, const char* p_Argument, std::uint64_t p_Length) const
  {
    if (p_Length < static_cast<std::uint64_t>(e) + static_cast<std::uint64_t>(t)) {
      std::ostringstream text;
      text << p_Argument << " has " << p_Length << " entries; it needs at least " << static_cast<std::int64_t>(e) + t
           << " (" << e << " enabled positions, then " << t << " trailing entries)";
      refuse(p_Method, text.str());
    }
  }

  // The enabled entries, each a source particle below p_SourceCount (the length of the masses).
  void require_enabled(const char* p_Method, const MPUpscaling& p_Engine, std::uint64_t p_SourceCount)
  {
    attach_enabled(p_Method, p_Engine);
    check_enabled(p_Method, p_SourceCount);
  }

  // The enabled list, as long as the grouping needs.
  void attach_enabled(const char* p_Method, const MPUpscaling& p_Engine)
  {
    if (e == 0) return;
    const IntArray* list = p_Engine.m_EnabledIndexes.get();
    const std::uint64_t length = list ? held(*list) : 0;
    if (length < static_cast<std::uint64_t>(e)) {
      std::ostringstream text;
      text << "the enabled list given to SetParticlesEnabledIndexes now has " << length << " entries, fewer than the "
           << e << " it was grouped with; call SetParticlesEnabledIndexes again";
      refuse(p_Method, text.str());
    }
    enabled = list->data();
  }

  // One sequential scan, so that the gathers that follow need no check of their own.
  void check_enabled(const char* p_Method, std::uint64_t p_SourceCount) const
  {
    for (std::int32_t i = 0; i < e; ++i) {
      if (enabled[i] < 0 || static_cast<std::uint64_t>(enabled[i]) >= p_SourceCount) {
        std::ostringstream text;
        text << "enabled_indexes[" << i << "] = " << enabled[i] << " was changed after SetParticlesEnabledIndexes "
             << "and no longer names one of the " << p_SourceCount << " source particles";
        refuse(p_Method, text.str());
      }
    }
  }
};

namespace {

// Positions per chunk of gathered masses, and chunks gathered ahead: 512 KiB in all.
constexpr std::int32_t mass_chunk = 1 << 13;
constexpr std::int32_t mass_slots = 8;

// Calls p_Add(position, upscaled particle, mass) for every enabled position in ascending order, one
// call at a time, with the mass of its source particle (the enabled entries must have been checked),
// and p_Ahead(upscaled particle) a fixed distance ahead, so that p_Add's sums can be asked for early.
// Adding in position order keeps each particle's additions in ascending position order, as a pass
// over its block would, while values and labels are read front to back and only the sums are touched
// at random. The masses, one random read each through the enabled list, are gathered a few chunks
// ahead on the other core. On ten million values this takes about half the time of two cores each
// gathering value, enabled entry and mass through the blocks.
template <class Ahead, class Add>
void add_in_position_order(const MPUpscaling::Frame& p_Frame, const double* p_Masses, const Ahead& p_Ahead,
                           const Add& p_Add)
{
  const std::int32_t chunks = (p_Frame.e + mass_chunk - 1) / mass_chunk;
  if (chunks == 0) return;
  std::vector<double> ring(static_cast<std::size_t>(mass_chunk) * mass_slots);
  const int* enabled = p_Frame.enabled;
  const std::int32_t* labels = p_Frame.labels;
  const std::int32_t e_count = p_Frame.e;
  // Past two threads the in-order adding is the bottleneck.
  const unsigned threads = e_count >= (1 << 17) && std::thread::hardware_concurrency() > 1 ? 2 : 1;
  vireo20::ups::prepare_then_consume_in_order(
      threads, chunks, mass_slots,
      [&](std::int32_t p_Chunk, std::int32_t p_Slot) {
        const std::int32_t begin = p_Chunk * mass_chunk;
        const std::int32_t end = std::min(e_count, begin + mass_chunk);
        double* masses = &ring[static_cast<std::size_t>(p_Slot) * mass_chunk];
        for (std::int32_t i = begin; i < end; ++i) {
          if (i + prefetch_distance < e_count) __builtin_prefetch(p_Masses + enabled[i + prefetch_distance]);
          masses[i - begin] = p_Masses[enabled[i]];
        }
      },
      [&](std::int32_t p_Chunk, std::int32_t p_Slot) {
        const std::int32_t begin = p_Chunk * mass_chunk;
        const std::int32_t end = std::min(e_count, begin + mass_chunk);
        const double* masses = &ring[static_cast<std::size_t>(p_Slot) * mass_chunk];
        for (std::int32_t i = begin; i < end; ++i) {
          if (i + prefetch_distance < e_count) p_Ahead(labels[i + prefetch_distance]);
          p_Add(i, labels[i], masses[i - begin]);
        }
      });
}

}  // namespace

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

boost::shared_ptr<MPUpscaling::DoubleGridFunction> MPUpscaling::sum(boost::shared_ptr<DoubleGridFunction> p_Values)
{
  const Frame frame(*this);
  const std::int32_t total = frame.total();
  if (total == 0) return boost::shared_ptr<DoubleGridFunction>(new DoubleGridFunction());
  if (!p_Values) throw std::runtime_error("Invalid values data");
  frame.require_values("Sum", "values", held(p_Values->array()));

  const boost::shared_ptr<DoubleArray> result = vtk_zeroed_result<double>(total);
  const double* values = p_Values->array().data();
  double* out = result->data();
  // One pass in position order, each value added to its upscaled particle's running sum: within a
  // particle the additions still come in ascending position order, from 0.0, as in a pass over its
  // block, but the values and labels are read front to back and only the sums (a quarter of the
  // bytes, mostly in cache) are touched at random. On ten million values, one core this way takes
  // about half the time of two cores gathering each value through the blocks.
  const std::int32_t* labels = frame.labels;
  for (std::int32_t i = 0; i < frame.e; ++i) {
    if (i + prefetch_distance < frame.e) __builtin_prefetch(out + labels[i + prefetch_distance], 1);
    out[labels[i]] += values[i];
  }
  for (std::int32_t j = 0; j < frame.t; ++j) out[frame.u + j] = values[frame.e + j];
  return grid_function_over<DoubleGridFunction>(result);
}

namespace {

// The array-held grid function of values T behind p_Values, whose scalar type says it holds T.
template <class T>
boost::shared_ptr<IGridFunction> take_last(const MPUpscaling::Frame& p_Frame, const IGridFunction& p_Values)
{
  using GF = quill20::core::ArrayGridFunction<T>;
  const std::int32_t total = p_Frame.total();
  if (total == 0) return boost::shared_ptr<GF>(new GF());
  const auto* array_held = dynamic_cast<const GF*>(&p_Values);
  if (!array_held)
    refuse("TakeAny", "values is a " + scalar_type_of(p_Values) + " grid function that holds no value array (" +
                          kernos50::dynamic_type_name(p_Values) + "); pass one made by quill20.grid_function");
  p_Frame.require_values("TakeAny", "values", held(array_held->array()));
  const boost::shared_ptr<Array<T, 1>> result = vtk_result<T>(total);
  const T* values = array_held->array().data();
  T* out = result->data();
  // The last position of a block wins: positions ascend, so it is the block's last entry.
  const auto last_member = [&p_Frame](std::int32_t e) {
    return p_Frame.positions[p_Frame.ranges[e].first + p_Frame.ranges[e].second - 1];
  };
  vireo20::ups::for_ranges(p_Frame.u, [&](std::int32_t p_First, std::int32_t p_End) {
    for (std::int32_t e = p_First; e < p_End; ++e) {
      if (e + prefetch_distance < p_End) __builtin_prefetch(values + last_member(e + prefetch_distance));
      out[e] = values[last_member(e)];
    }
  });
  for (std::int32_t j = 0; j < p_Frame.t; ++j) out[p_Frame.u + j] = values[p_Frame.e + j];
  return grid_function_over<GF>(result);
}

}  // namespace

MPUpscaling::GridFunctionPtr MPUpscaling::take_any(GridFunctionPtr p_Values)
{
  if (!p_Values) throw std::runtime_error("Invalid values data");
  const Frame frame(*this);
  const quill20::core::ScalarType type = p_Values->result_scalar_type();
  if (type == quill20::core::stFloat64) return take_last<double>(frame, *p_Values);
  if (type == quill20::core::stInt32) return take_last<int>(frame, *p_Values);
  std::ostringstream message;
  message << "Grid function scalar type not supported: " << quill20::core::scalar_type_name(type);
  throw std::runtime_error(message.str());
}

boost::shared_ptr<MPUpscaling::DoubleGridFunction> MPUpscaling::weighted_average(
    boost::shared_ptr<DoubleGridFunction> p_Values, boost::shared_ptr<DoubleArray> p_Masses)
{
  Frame frame(*this);
  const std::int32_t total = frame.total();
  if (total == 0) return boost::shared_ptr<DoubleGridFunction>(new DoubleGridFunction());
  if (!p_Values || !p_Masses) throw std::runtime_error("Invalid values and mass data");
  const std::uint64_t n = m_Parents ? m_Parents->size() : 0;
  if (p_Masses->size() != n) {
    std::ostringstream message;
    message << "Invalid size mass array size: " << p_Masses->size() << " expecting: " << n;
    throw std::runtime_error(message.str());
  }
  frame.require_values("WeightedAverage", "values", held(p_Values->array()));
  frame.require_enabled("WeightedAverage", *this, held(*p_Masses));

  const boost::shared_ptr<DoubleArray> result = vtk_zeroed_result<double>(total);
  const double* values = p_Values->array().data();
  double* out = result->data();
  // The total mass of each upscaled particle: one double each besides the result.
  const quill20::core::Scratch<double> weights(static_cast<std::size_t>(frame.u), true);
  double* w = weights.data();
  add_in_position_order(
      frame, p_Masses->data(),
      [&](std::int32_t e) {
        __builtin_prefetch(out + e, 1);
        __builtin_prefetch(w + e, 1);
      },
      [&](std::int32_t i, std::int32_t e, double mass) {
        out[e] += values[i] * mass;
        w[e] += mass;
      });
  // No guard: a zero weight gives an IEEE infinity or NaN, as the plain division does.
  for (std::int32_t e = 0; e < frame.u; ++e) out[e] /= w[e];
  for (std::int32_t j = 0; j < frame.t; ++j) out[frame.u + j] = values[frame.e + j] / 1.0;
  return grid_function_over<DoubleGridFunction>(result);
}

boost::shared_ptr<MPUpscaling::CoordinateArray> MPUpscaling::weighted_average(
    boost::shared_ptr<CoordinateArray> p_Coordinates, boost::shared_ptr<DoubleArray> p_Masses)
{
  if (!p_Masses) refuse("CoordsWeightedAverage", "masses is None; pass a float64 array of one mass per source particle");
  const std::uint64_t n = m_Parents ? m_Parents->size() : 0;
  if (p_Masses->size() != n)
    boost::throw_exception(std::runtime_error("Invalid size."),
                           boost::source_location(kernos50_file_text_mp_upscaling(), __LINE__, __PRETTY_FUNCTION__));
  Frame frame(*this);
  const std::int32_t total = frame.total();
  if (total <= 0) return boost::shared_ptr<CoordinateArray>(new CoordinateArray());
  if (!p_Coordinates) refuse("CoordsWeightedAverage", "coordinates is None; pass a float64 array of shape (n, 3)");
  frame.require_values("CoordsWeightedAverage", "coordinates", held(*p_Coordinates));
  frame.require_enabled("CoordsWeightedAverage", *this, held(*p_Masses));

  const boost::shared_ptr<CoordinateArray> result = vtk_result<Vector3>(total);
  const Vector3* coordinates = p_Coordinates->data();
  const double* masses = p_Masses->data();
  Vector3* out = result->data();
  const std::int32_t* positions = frame.positions;
  vireo20::ups::for_ranges(frame.u, [&](std::int32_t p_First, std::int32_t p_End) {
    for (std::int32_t e = p_First; e < p_End; ++e) {
      const auto [first, count] = frame.ranges[e];
      double x = 0.0, y = 0.0, z = 0.0, w = 0.0;
      for (std::int32_t k = first; k < first + count; ++k) {
        prefetch_weighted(coordinates, frame.enabled, masses, positions, k, frame.e);
        const std::int32_t i = positions[k];
        const double mass = masses[frame.enabled[i]];
        x += coordinates[i][0] * mass;
        y += coordinates[i][1] * mass;
        z += coordinates[i][2] * mass;
        w += mass;
      }
      out[e] = Vector3(x / w, y / w, z / w);
    }
  });
  for (std::int32_t j = 0; j < frame.t; ++j) {
    const Vector3& c = coordinates[frame.e + j];
    out[frame.u + j] = Vector3(c[0] / 1.0, c[1] / 1.0, c[2] / 1.0);
  }
  return result;
}

boost::shared_ptr<MPUpscaling::IntGridFunction> MPUpscaling::get_particle_ids()
{
  Frame frame(*this);
  boost::shared_ptr<IntGridFunction> result(new IntGridFunction());
  const std::int32_t total = frame.total();
  if (total == 0) return result;
  const std::uint64_t n = m_Parents ? held(*m_Parents) : 0;
  frame.attach_enabled("GetParticleIds", *this);
  result->array().initialize(quill20::vtkex::VtkArrayImplFactory::instance(), static_cast<std::uint64_t>(total));
  int* out = result->array().data();
  const int* parents = m_Parents ? m_Parents->data() : nullptr;
  // Every member of a block has the same parent: the first stands for all. Only these members are
  // read, so only they are checked, in passing (one in four entries instead of a scan of all).
  const auto first_member = [&frame](std::int32_t e) { return frame.enabled[frame.positions[frame.ranges[e].first]]; };
  std::atomic<bool> refused(false);
  vireo20::ups::for_ranges(frame.u, [&](std::int32_t p_First, std::int32_t p_End) {
    for (std::int32_t e = p_First; e < p_End; ++e) {
      // Two dependent random reads per entry, each asked for ahead: the member's enabled entry, then
      // (once that entry has arrived) its parent.
      if (e + 2 * prefetch_distance < p_End)
        __builtin_prefetch(frame.enabled + frame.positions[frame.ranges[e + 2 * prefetch_distance].first]);
      if (e + prefetch_distance < p_End) __builtin_prefetch(parents + first_member(e + prefetch_distance));
      const int p = first_member(e);
      if (static_cast<std::uint64_t>(static_cast<std::uint32_t>(p)) >= n) {
        refused.store(true, std::memory_order_relaxed);
        return;
      }
      out[e] = parents[p] >= 0 ? parents[p] : p;
    }
  });
  // The scan in list order words the refusal by the first changed entry.
  if (refused.load()) frame.check_enabled("GetParticleIds", n);
  for (std::int32_t j = 0; j < frame.t; ++j)
    out[frame.u + j] = static_cast<int>(static_cast<std::int64_t>(m_Parents ? m_Parents->size() : 0) + j);
  return result;
}

namespace {

MPUpscaling::IntGridFunction& int_ids(const char* p_Method, const char* p_Argument, const IGridFunction& p_gf)
{
  auto* ids = dynamic_cast<MPUpscaling::IntGridFunction*>(const_cast<IGridFunction*>(&p_gf));
  if (!ids)
    refuse(p_Method, std::string(p_Argument) + " must be an int32 grid function (quill20.grid_function(..., dtype=\"int32\")), "
                         "not a " + scalar_type_of(p_gf) + " one (" + kernos50::dynamic_type_name(p_gf) + ")");
  return *ids;
}

// Replaces every id that names a source particle (0 <= v < N) by its parent id.
// Ids are independent, so they are shared out over the cores, and the parent of the id a fixed
// distance ahead is asked for early; unless the ids are the parent table itself (or part of it), when
// each replacement can change a later lookup and only the order of the plain loop gives its result.
void map_to_parents(int* p_Ids, const int* p_Kinds, std::uint64_t p_Count, const int* p_Parents, std::uint64_t p_N)
{
  const auto names_particle = [p_N](int p_Id) { return static_cast<std::uint64_t>(static_cast<unsigned int>(p_Id)) < p_N; };
  const auto address = [](const int* p_Value) { return reinterpret_cast<std::uintptr_t>(p_Value); };
  const bool shares_parents = p_N != 0 && p_Count != 0 && address(p_Ids) < address(p_Parents + p_N) &&
                              address(p_Parents) < address(p_Ids + p_Count);
  const auto map_range = [&](std::uint64_t p_First, std::uint64_t p_End) {
    for (std::uint64_t i = p_First; i < p_End; ++i) {
      if (i + prefetch_distance < p_End && names_particle(p_Ids[i + prefetch_distance]))
        __builtin_prefetch(p_Parents + p_Ids[i + prefetch_distance]);
      if (p_Kinds && p_Kinds[i] != 0) continue;
      const int v = p_Ids[i];
      if (names_particle(v)) {
        const int parent = p_Parents[v];
        p_Ids[i] = parent >= 0 ? parent : v;
      }
    }
  };
  if (shares_parents) {
    map_range(0, p_Count);
  } else {
    vireo20::ups::for_ranges(p_Count, map_range);
  }
}

}  // namespace

boost::shared_ptr<MPUpscaling::IntGridFunction> MPUpscaling::get_contact_parent_id_from(GridFunctionPtr p_Ids)
{
  if (!p_Ids) return {};
  IntGridFunction& ids = int_ids("GetContactParentIDFrom", "ids", *p_Ids);
  IntArray values(ids.array());
  const std::uint64_t n = m_Parents ? held(*m_Parents) : 0;
  map_to_parents(values.data(), nullptr, held(values), m_Parents ? m_Parents->data() : nullptr, n);
  return boost::shared_ptr<IntGridFunction>(p_Ids, &ids);
}

boost::shared_ptr<MPUpscaling::IntGridFunction> MPUpscaling::get_contact_parent_id_to(GridFunctionPtr p_Ids,
                                                                                       GridFunctionPtr p_Kinds)
{
  if (!p_Ids || !p_Kinds) return {};
  IntGridFunction& ids = int_ids("GetContactParentIDTo", "ids", *p_Ids);
  IntGridFunction& kinds = int_ids("GetContactParentIDTo", "kinds", *p_Kinds);
  IntArray values(ids.array());
  const IntArray kind_values(kinds.array());
  if (held(kind_values) < held(values)) {
    std::ostringstream text;
    text << "kinds has " << held(kind_values) << " entries, fewer than the " << held(values) << " ids";
    refuse("GetContactParentIDTo", text.str());
  }
  const std::uint64_t n = m_Parents ? held(*m_Parents) : 0;
  map_to_parents(values.data(), kind_values.data(), held(values), m_Parents ? m_Parents->data() : nullptr, n);
  return boost::shared_ptr<IntGridFunction>(p_Ids, &ids);
}

boost::shared_ptr<MPUpscaling::Topology> MPUpscaling::create_particles_topology()
{
  // The arrays a builder makes from one add_cell({i}) per particle (cells index 0, 2, 4, ...;
  // connectivity 1, 0, 1, 1, ...), written in one pass into VTK storage of their final size: no call,
  // growth or trim per cell, about four times faster on millions of particles.
  using Index = unsigned long long;
  const std::uint64_t total = static_cast<std::uint64_t>(std::max<std::int32_t>(0, number_of_enabled_particles()));
  const boost::shared_ptr<Array<Index, 1>> cells_index = quill20::vtkex::make_vtk_array<Index>(total);
  const boost::shared_ptr<Array<Index, 1>> connectivity = quill20::vtkex::make_vtk_array<Index>(2 * total);
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
