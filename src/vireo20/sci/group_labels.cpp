// Labels to parents and the repeat check, each in a pass or two over the step's particles.
#include "vireo20/sci/group_labels.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "quill20/core/algorithm/DenseHash.h"

namespace vireo20 {
namespace ups {
namespace {

// A direct table pays while the values span at most this many slots per value: beyond it the values
// are sparse (ids from a big system, cluster ids), and hashing keeps memory to the particles.
constexpr std::int64_t dense_slots_per_value = 4;

// The lowest and highest of the values the filter keeps, or (1, 0) when it keeps none.
template <class Value, class Keep>
std::pair<std::int64_t, std::int64_t> span_of(std::int64_t p_Count, Value p_Value, Keep p_Keep)
{
  std::int64_t low = std::numeric_limits<std::int64_t>::max(), high = std::numeric_limits<std::int64_t>::min();
  for (std::int64_t i = 0; i < p_Count; ++i) {
    const std::int64_t v = p_Value(i);
    if (!p_Keep(v)) continue;
    low = std::min(low, v);
    high = std::max(high, v);
  }
  return low > high ? std::make_pair(std::int64_t(1), std::int64_t(0)) : std::make_pair(low, high);
}

bool dense_enough(std::pair<std::int64_t, std::int64_t> p_Span, std::int64_t p_Count)
{
  // Unsigned: the difference of two extreme int64 values does not overflow.
  const std::uint64_t width = static_cast<std::uint64_t>(p_Span.second) - static_cast<std::uint64_t>(p_Span.first);
  return width < static_cast<std::uint64_t>(dense_slots_per_value * p_Count + 1024);
}

// Calls p_Visit(label, particle) for every enabled particle with a label above 0.
template <class Visit>
void for_labelled(const std::int64_t* p_Labels, const std::int32_t* p_Enabled, std::int64_t p_Count, Visit p_Visit)
{
  for (std::int64_t i = 0; i < p_Count; ++i) {
    const std::int32_t particle = p_Enabled[i];
    const std::int64_t label = p_Labels[particle];
    if (label > 0) p_Visit(label, particle);
  }
}

// Two passes: each label's lowest-id member, then every member pointed at it. p_Slot(label) gives the
// table entry of a label, -1 until a member is seen.
template <class Slot>
void link_to_lowest(const std::int64_t* p_Labels, const std::int64_t* p_Ids, const std::int32_t* p_Enabled,
                    std::int64_t p_Count, std::int32_t* p_Parents, Slot p_Slot)
{
  auto id = [p_Ids](std::int32_t p_Particle) { return p_Ids ? p_Ids[p_Particle] : std::int64_t(p_Particle); };
  for_labelled(p_Labels, p_Enabled, p_Count, [&](std::int64_t p_Label, std::int32_t p_Particle) {
    std::int32_t& head = p_Slot(p_Label);
    if (head < 0 || id(p_Particle) < id(head)) head = p_Particle;
  });
  for_labelled(p_Labels, p_Enabled, p_Count, [&](std::int64_t p_Label, std::int32_t p_Particle) {
    const std::int32_t head = p_Slot(p_Label);
    p_Parents[p_Particle] = head == p_Particle ? -1 : head;
  });
}

}  // namespace

void parents_from_labels(const std::int64_t* p_Labels, const std::int64_t* p_Ids, const std::int32_t* p_Enabled,
                         std::int64_t p_EnabledCount, std::int32_t* p_Parents)
{
  const auto span = span_of(
      p_EnabledCount, [&](std::int64_t i) { return p_Labels[p_Enabled[i]]; }, [](std::int64_t v) { return v > 0; });
  if (span.first > span.second) return;
  if (dense_enough(span, p_EnabledCount)) {
    std::vector<std::int32_t> heads(static_cast<std::size_t>(span.second - span.first + 1), -1);
    link_to_lowest(p_Labels, p_Ids, p_Enabled, p_EnabledCount, p_Parents,
                   [&](std::int64_t p_Label) -> std::int32_t& { return heads[static_cast<std::size_t>(p_Label - span.first)]; });
    return;
  }
  quill20::core::DenseHashMap<std::int64_t, std::int32_t> heads;
  heads.set_empty_key(0);  // labels here are above 0
  link_to_lowest(p_Labels, p_Ids, p_Enabled, p_EnabledCount, p_Parents, [&](std::int64_t p_Label) -> std::int32_t& {
    const auto found = heads.insert(std::make_pair(p_Label, std::int32_t(-1)));
    return found.first->second;
  });
}

std::int64_t first_repeat(const std::int64_t* p_Values, std::int64_t p_Count)
{
  const auto span = span_of(p_Count, [&](std::int64_t i) { return p_Values[i]; }, [](std::int64_t) { return true; });
  if (span.first > span.second) return -1;
  if (dense_enough(span, p_Count)) {
    std::vector<bool> seen(static_cast<std::size_t>(static_cast<std::uint64_t>(span.second) - static_cast<std::uint64_t>(span.first)) + 1);
    for (std::int64_t i = 0; i < p_Count; ++i) {
      auto bit = seen[static_cast<std::size_t>(static_cast<std::uint64_t>(p_Values[i]) - static_cast<std::uint64_t>(span.first))];
      if (bit) return i;
      bit = true;
    }
    return -1;
  }
  quill20::core::DenseHashSet<std::int64_t> seen;
  // A key no value takes: one below the lowest (or the highest plus one when the lowest is the minimum).
  seen.set_empty_key(span.first != std::numeric_limits<std::int64_t>::min() ? span.first - 1 : span.second + 1);
  seen.resize(static_cast<std::size_t>(p_Count));
  for (std::int64_t i = 0; i < p_Count; ++i) {
    if (!seen.insert(p_Values[i]).second) return i;
  }
  return -1;
}

std::int64_t number_by_first_occurrence(const std::int64_t* p_Keys, std::int64_t p_Count, std::int32_t* p_Labels,
                                        std::int64_t* p_Firsts)
{
  const auto span = span_of(p_Count, [&](std::int64_t i) { return p_Keys[i]; }, [](std::int64_t) { return true; });
  std::int64_t count = 0;
  auto number = [&](std::int32_t& p_Slot, std::int64_t p_Position) {
    if (p_Slot < 0) {
      p_Slot = static_cast<std::int32_t>(count);
      p_Firsts[count++] = p_Position;
    }
    p_Labels[p_Position] = p_Slot;
  };
  if (span.first > span.second) return 0;
  if (dense_enough(span, p_Count)) {
    std::vector<std::int32_t> slots(static_cast<std::size_t>(static_cast<std::uint64_t>(span.second) - static_cast<std::uint64_t>(span.first)) + 1, -1);
    for (std::int64_t i = 0; i < p_Count; ++i) {
      number(slots[static_cast<std::size_t>(static_cast<std::uint64_t>(p_Keys[i]) - static_cast<std::uint64_t>(span.first))], i);
    }
    return count;
  }
  quill20::core::DenseHashMap<std::int64_t, std::int32_t> slots;
  slots.set_empty_key(span.first != std::numeric_limits<std::int64_t>::min() ? span.first - 1 : span.second + 1);
  for (std::int64_t i = 0; i < p_Count; ++i) number(slots.insert(std::make_pair(p_Keys[i], std::int32_t(-1))).first->second, i);
  return count;
}

void group_extents(const std::int32_t* p_Groups, const double* p_Values, std::int64_t p_Count, std::int64_t p_GroupCount,
                   double* p_Low, double* p_High)
{
  for (std::int64_t i = 0; i < p_Count; ++i) {
    const std::int32_t group = p_Groups[i];
    if (group < 0 || group >= p_GroupCount) continue;
    p_Low[group] = std::min(p_Low[group], p_Values[i]);
    p_High[group] = std::max(p_High[group], p_Values[i]);
  }
}

}  // namespace ups
}  // namespace vireo20
