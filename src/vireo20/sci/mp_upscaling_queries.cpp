// The id queries: the parent id of each upscaled particle, and contact ids mapped to parent ids.
#include <atomic>
#include <sstream>
#include <string>

#include "kernos50/TypeName.h"
#include "quill20/vtk/VtkArrayImplFactory.h"
#include "vireo20/sci/mp_upscaling.h"
#include "vireo20/sci/ordered_driver.h"

namespace {

using quill20::core::IGridFunction;
using vireo20::ups::held;
using vireo20::ups::prefetch_distance;
using vireo20::ups::refuse;

MPUpscaling::IntGridFunction& int_ids(const char* p_Method, const char* p_Argument, const IGridFunction& p_gf)
{
  auto* ids = dynamic_cast<MPUpscaling::IntGridFunction*>(const_cast<IGridFunction*>(&p_gf));
  if (!ids)
    refuse(p_Method, std::string(p_Argument) + " must be an int32 grid function (quill20.grid_function(..., dtype=\"int32\")), "
                         "not a " + quill20::core::scalar_type_name(p_gf.result_scalar_type()) + " one (" +
                         kernos50::dynamic_type_name(p_gf) + ")");
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
  // read, so only they are checked, as read (one in four entries instead of a scan of all).
  const auto first_member = [&frame](std::int32_t e) { return frame.enabled[frame.positions[frame.ranges[e].first]]; };
  // The first refused upscaled particle.
  std::atomic<std::int32_t> refused(frame.u);
  vireo20::ups::for_ranges(frame.u, [&](std::int32_t p_First, std::int32_t p_End) {
    for (std::int32_t e = p_First; e < p_End; ++e) {
      // Two dependent random reads per entry, each asked for ahead: the member's enabled entry, then
      // (once that entry has arrived) its parent.
      if (e + 2 * prefetch_distance < p_End)
        __builtin_prefetch(frame.enabled + frame.positions[frame.ranges[e + 2 * prefetch_distance].first]);
      if (e + prefetch_distance < p_End) __builtin_prefetch(parents + first_member(e + prefetch_distance));
      const int p = first_member(e);
      if (static_cast<std::uint64_t>(static_cast<std::uint32_t>(p)) >= n) {
        vireo20::ups::keep_lowest(refused, e);
        return;
      }
      out[e] = parents[p] >= 0 ? parents[p] : p;
    }
  });
  if (refused.load() < frame.u) {
    // The refusal names the first changed entry in list order, as a scan of all would find it.
    for (std::int32_t i = 0; i < frame.e; ++i)
      if (static_cast<std::uint64_t>(static_cast<std::uint32_t>(frame.enabled[i])) >= n)
        Frame::refuse_changed("GetParticleIds", i, frame.enabled[i], n);
    const std::int32_t position = frame.positions[frame.ranges[refused.load()].first];
    Frame::refuse_changed("GetParticleIds", position, frame.enabled[position], n);
  }
  for (std::int32_t j = 0; j < frame.t; ++j)
    out[frame.u + j] = static_cast<int>(static_cast<std::int64_t>(m_Parents ? m_Parents->size() : 0) + j);
  return result;
}

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
