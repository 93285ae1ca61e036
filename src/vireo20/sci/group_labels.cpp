// Labels to parents and the repeat check, each in a pass or two over the step's particles.
#include "vireo20/sci/group_labels.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <vector>

#include "quill20/core/algorithm/DenseHash.h"
#include "quill20/core/array/HugePages.h"
#include "vireo20/sci/parallel.h"

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

bool dense_enough(std::pair<std::int64_t, std::int64_t> p_Span, std::int64_t p_Count,
                  std::int64_t p_SlotsPerValue = dense_slots_per_value)
{
  // Unsigned: the difference of two extreme int64 values does not overflow.
  const std::uint64_t width = static_cast<std::uint64_t>(p_Span.second) - static_cast<std::uint64_t>(p_Span.first);
  return width < static_cast<std::uint64_t>(p_SlotsPerValue * p_Count + 1024);
}

// A table of one bit a slot may span 64 slots a value and take no more memory than the values: ids
// of a simulation that inserts and deletes particles spread over many times their number, and
// hashing ten million of them took 1.2 s where the bits take a few hundredths.
constexpr std::int64_t bit_slots_per_value = 64;

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

// Labels and ids of the labelled enabled particles: their lowest and highest, over the cores.
struct LabelSpans {
  std::int64_t label_low = std::numeric_limits<std::int64_t>::max(), label_high = std::numeric_limits<std::int64_t>::min();
  std::int64_t id_low = std::numeric_limits<std::int64_t>::max(), id_high = std::numeric_limits<std::int64_t>::min();
};

LabelSpans label_spans(const std::int64_t* p_Labels, const std::int64_t* p_Ids, const std::int32_t* p_Enabled,
                       std::int64_t p_Count)
{
  LabelSpans spans;
  std::mutex folding;
  for_ranges(p_Count, [&](std::int64_t p_First, std::int64_t p_End) {
    LabelSpans mine;
    for (std::int64_t i = p_First; i < p_End; ++i) {
      const std::int32_t particle = p_Enabled[i];
      const std::int64_t label = p_Labels[particle];
      if (label <= 0) continue;
      const std::int64_t id = p_Ids ? p_Ids[particle] : particle;
      mine.label_low = std::min(mine.label_low, label), mine.label_high = std::max(mine.label_high, label);
      mine.id_low = std::min(mine.id_low, id), mine.id_high = std::max(mine.id_high, id);
    }
    const std::lock_guard<std::mutex> lock(folding);
    spans.label_low = std::min(spans.label_low, mine.label_low), spans.label_high = std::max(spans.label_high, mine.label_high);
    spans.id_low = std::min(spans.id_low, mine.id_low), spans.id_high = std::max(spans.id_high, mine.id_high);
  });
  return spans;
}

// Dense labels whose members' ids lie within 2^31 of each other (a step's ids always do), in a table
// of 4-byte slots like the plain one, which stays in the cache where 8-byte slots measured three
// times slower. A slot first takes the lowest id - id_low of its label; the head, finding its own
// id there, writes its ~particle (negative); the members then read their head from it. Comparing
// ids no longer reads the head's id (a random read per particle: 0.15 s of 0.24 s at ten million),
// and the last two passes run over the cores, each slot written by its head alone.
void link_to_lowest_by_slots(const std::int64_t* p_Labels, const std::int64_t* p_Ids, const std::int32_t* p_Enabled,
                             std::int64_t p_Count, std::int32_t* p_Parents, const LabelSpans& p_Spans)
{
  std::vector<std::int32_t> slots(static_cast<std::size_t>(p_Spans.label_high - p_Spans.label_low + 1),
                                  std::numeric_limits<std::int32_t>::max());
  std::int32_t* const first_slot = slots.data();
  const std::int64_t label_low = p_Spans.label_low;
  const auto offset_id = [&](std::int32_t p_Particle) {
    return static_cast<std::int32_t>((p_Ids ? p_Ids[p_Particle] : std::int64_t(p_Particle)) - p_Spans.id_low);
  };
  const auto each_labelled = [&](std::int64_t p_First, std::int64_t p_End, auto p_Visit) {
    for (std::int64_t i = p_First; i < p_End; ++i) {
      // A shuffled enabled list reads the labels at random too: asked for twice as far ahead.
      if (i + 2 * prefetch_distance < p_End) __builtin_prefetch(p_Labels + p_Enabled[i + 2 * prefetch_distance]);
      if (i + prefetch_distance < p_End) {
        const std::int64_t label = p_Labels[p_Enabled[i + prefetch_distance]];
        if (label > 0) __builtin_prefetch(first_slot + (label - label_low));
      }
      const std::int32_t particle = p_Enabled[i];
      const std::int64_t label = p_Labels[particle];
      if (label > 0) p_Visit(first_slot[label - label_low], particle);
    }
  };
  each_labelled(0, p_Count, [&](std::int32_t& p_Slot, std::int32_t p_Particle) {
    p_Slot = std::min(p_Slot, offset_id(p_Particle));
  });
  for_ranges(p_Count, [&](std::int64_t p_First, std::int64_t p_End) {
    each_labelled(p_First, p_End, [&](std::int32_t& p_Slot, std::int32_t p_Particle) {
      // Relaxed atomics: members read the slot their head may be writing on another thread.
      if (__atomic_load_n(&p_Slot, __ATOMIC_RELAXED) == offset_id(p_Particle))
        __atomic_store_n(&p_Slot, ~p_Particle, __ATOMIC_RELAXED);
    });
  });
  for_ranges(p_Count, [&](std::int64_t p_First, std::int64_t p_End) {
    each_labelled(p_First, p_End, [&](std::int32_t& p_Slot, std::int32_t p_Particle) {
      const std::int32_t head = ~p_Slot;
      p_Parents[p_Particle] = head == p_Particle ? -1 : head;
    });
  });
}

// The bits set in p_Word, in a few operations on any x86-64: __builtin_popcountll is a library call
// without the popcnt instruction, which the baseline we build for lacks.
inline std::int64_t bits_set(std::uint64_t p_Word)
{
  p_Word -= (p_Word >> 1) & 0x5555555555555555u;
  p_Word = (p_Word & 0x3333333333333333u) + ((p_Word >> 2) & 0x3333333333333333u);
  p_Word = (p_Word + (p_Word >> 4)) & 0x0f0f0f0f0f0f0f0fu;
  return static_cast<std::int64_t>((p_Word * 0x0101010101010101u) >> 56);
}

// Labels spread over up to 64 slots each (molecules inserted and deleted over a run number theirs
// far beyond their count): renumbered 1.. in label order through a table of one bit a label and the
// count of bits before each word, then linked as dense labels. The hash table took 1.6-2.1 s at ten
// million particles.
void link_sparse_labels(const std::int64_t* p_Labels, const std::int64_t* p_Ids, const std::int32_t* p_Enabled,
                        std::int64_t p_Count, std::int32_t* p_Parents, const LabelSpans& p_Spans)
{
  const std::int64_t low = p_Spans.label_low;
  const std::size_t words = static_cast<std::size_t>((p_Spans.label_high - low) / 64 + 1);
  std::vector<std::uint64_t> present(words);
  std::int32_t last_particle = 0;
  for (std::int64_t i = 0; i < p_Count; ++i) {
    const std::int32_t particle = p_Enabled[i];
    last_particle = std::max(last_particle, particle);
    const std::int64_t label = p_Labels[particle];
    if (label > 0) present[static_cast<std::size_t>((label - low) / 64)] |= std::uint64_t(1) << ((label - low) % 64);
  }
  std::vector<std::int64_t> before(words);
  std::int64_t count = 0;
  for (std::size_t w = 0; w < words; ++w) {
    before[w] = count;
    count += bits_set(present[w]);
  }
  // Written, and read, only at the enabled particles; on a kept block, not fresh pages every step.
  const quill20::core::Scratch<std::int64_t> number_memory(static_cast<std::size_t>(last_particle) + 1);
  std::int64_t* const numbers = number_memory.data();
  for_ranges(p_Count, [&](std::int64_t p_First, std::int64_t p_End) {
    for (std::int64_t i = p_First; i < p_End; ++i) {
      const std::int32_t particle = p_Enabled[i];
      const std::int64_t label = p_Labels[particle];
      if (label <= 0) {
        numbers[static_cast<std::size_t>(particle)] = 0;
        continue;
      }
      const std::size_t word = static_cast<std::size_t>((label - low) / 64);
      const std::uint64_t below = (std::uint64_t(1) << ((label - low) % 64)) - 1;
      numbers[static_cast<std::size_t>(particle)] = 1 + before[word] + bits_set(present[word] & below);
    }
  });
  LabelSpans renumbered = p_Spans;
  renumbered.label_low = 1;
  renumbered.label_high = count;
  link_to_lowest_by_slots(numbers, p_Ids, p_Enabled, p_Count, p_Parents, renumbered);
}

}  // namespace

void parents_from_labels(const std::int64_t* p_Labels, const std::int64_t* p_Ids, const std::int32_t* p_Enabled,
                         std::int64_t p_EnabledCount, std::int32_t* p_Parents)
{
  const LabelSpans spans = label_spans(p_Labels, p_Ids, p_Enabled, p_EnabledCount);
  if (spans.label_low > spans.label_high) return;
  const std::pair<std::int64_t, std::int64_t> span(spans.label_low, spans.label_high);
  const bool ids_fit = static_cast<std::uint64_t>(spans.id_high) - static_cast<std::uint64_t>(spans.id_low) <
                       static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
  if (dense_enough(span, p_EnabledCount) && ids_fit) {
    link_to_lowest_by_slots(p_Labels, p_Ids, p_Enabled, p_EnabledCount, p_Parents, spans);
    return;
  }
  if (ids_fit && dense_enough(span, p_EnabledCount, bit_slots_per_value)) {
    link_sparse_labels(p_Labels, p_Ids, p_Enabled, p_EnabledCount, p_Parents, spans);
    return;
  }
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
  if (dense_enough(span, p_Count, bit_slots_per_value)) {
    const auto slot = [&](std::int64_t i) {
      return static_cast<std::uint64_t>(p_Values[i]) - static_cast<std::uint64_t>(span.first);
    };
    std::vector<std::uint64_t> seen(
        static_cast<std::size_t>((static_cast<std::uint64_t>(span.second) - static_cast<std::uint64_t>(span.first)) / 64 + 1));
    for (std::int64_t i = 0; i < p_Count; ++i) {
      // Values in random order read the bits at random: asked for ahead.
      if (i + prefetch_distance < p_Count) __builtin_prefetch(&seen[slot(i + prefetch_distance) / 64], 1);
      std::uint64_t& word = seen[slot(i) / 64];
      const std::uint64_t bit = std::uint64_t(1) << (slot(i) % 64);
      if (word & bit) return i;
      word |= bit;
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
  // Sized ahead for up to a million keys: grown from empty, it rehashed every key at each doubling
  // (2 M contact lines 0.43 s -> 0.26 s); a larger start would cost its memory where many keys repeat.
  slots.resize(static_cast<std::size_t>(std::min<std::int64_t>(p_Count, 1 << 20)));
  for (std::int64_t i = 0; i < p_Count; ++i) number(slots.insert(std::make_pair(p_Keys[i], std::int32_t(-1))).first->second, i);
  return count;
}

void group_id_ends(const std::int32_t* p_Groups, const std::int32_t* p_Enabled, const std::int64_t* p_Ids,
                   std::int64_t p_Count, std::int64_t p_GroupCount, std::int64_t* p_LowAt, std::int64_t* p_HighAt)
{
  // The ends' ids held beside their entries, a group's four numbers together: the pass reads one line
  // of them an entry, where looking the held ends' ids up again went out to the particles' arrays.
  struct Ends {
    std::int64_t m_LowId, m_HighId, m_LowAt, m_HighAt;
  };
  std::vector<Ends> ends(static_cast<std::size_t>(p_GroupCount),
                         Ends{std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::min(), -1, -1});
  for (std::int64_t i = 0; i < p_Count; ++i) {
    const std::int32_t group = p_Groups[i];
    if (group < 0 || group >= p_GroupCount) continue;
    const std::int64_t id = p_Ids ? p_Ids[p_Enabled[i]] : p_Enabled[i];
    Ends& at = ends[static_cast<std::size_t>(group)];
    if (at.m_LowAt < 0 || id < at.m_LowId) at.m_LowId = id, at.m_LowAt = i;
    if (at.m_HighAt < 0 || id > at.m_HighId) at.m_HighId = id, at.m_HighAt = i;
  }
  for (std::int64_t g = 0; g < p_GroupCount; ++g) {
    p_LowAt[g] = ends[static_cast<std::size_t>(g)].m_LowAt;
    p_HighAt[g] = ends[static_cast<std::size_t>(g)].m_HighAt;
  }
}

std::int64_t whole_about_anchors(const double* p_Positions, const std::int64_t* p_Anchors, const std::int32_t* p_Groups,
                                 std::int64_t p_Count, const double* p_Lengths, const bool* p_Periodic,
                                 std::int64_t p_GroupCount, double* p_Whole, double* p_Low, double* p_High)
{
  for (std::int64_t i = 0; i < p_Count; ++i) {
    if (p_Anchors[i] < 0 || p_Anchors[i] >= p_Count) return i;
  }
  // One pass where the vectorised form made eight temporaries of n rows: 0.3 s of a wrapped million.
  // Flags and lengths held here: the stores below could otherwise be read as changing them.
  const bool periodic[3] = {p_Periodic[0], p_Periodic[1], p_Periodic[2]};
  const double lengths[3] = {p_Lengths[0], p_Lengths[1], p_Lengths[2]};
  for (std::int64_t i = 0; i < p_Count; ++i) {
    const double* at = p_Positions + 3 * i;
    const double* anchor = p_Positions + 3 * p_Anchors[i];
    double shift[3] = {0.0, 0.0, 0.0};
    bool moved = false;
    for (int axis = 0; axis < 3; ++axis) {
      if (!periodic[axis]) continue;
      shift[axis] = -std::nearbyint((at[axis] - anchor[axis]) / lengths[axis]);
      moved = moved || shift[axis] != 0.0 || shift[axis] != shift[axis];
    }
    double whole[3];
    for (int axis = 0; axis < 3; ++axis) {
      double by = shift[axis] * lengths[axis];
      by += 0.0;
      whole[axis] = moved ? at[axis] + by : at[axis];
      p_Whole[3 * i + axis] = whole[axis];
    }
    const std::int32_t group = p_Groups[i];
    if (group < 0 || group >= p_GroupCount) continue;
    for (int axis = 0; axis < 3; ++axis) {
      if (!periodic[axis]) continue;
      const double value = (whole[axis] - anchor[axis]) / lengths[axis];
      double& low = p_Low[3 * group + axis];
      double& high = p_High[3 * group + axis];
      if (value < low || low != low) low = value;
      if (value > high || high != high) high = value;
    }
  }
  return -1;
}

void group_extents(const std::int32_t* p_Groups, const double* p_Values, std::int64_t p_Count, std::int64_t p_GroupCount,
                   double* p_Low, double* p_High)
{
  for (std::int64_t i = 0; i < p_Count; ++i) {
    const std::int32_t group = p_Groups[i];
    if (group < 0 || group >= p_GroupCount) continue;
    const double value = p_Values[i];
    double& low = p_Low[group];
    double& high = p_High[group];
    if (value < low || low != low) low = value;
    if (value > high || high != high) high = value;
  }
}

}  // namespace ups
}  // namespace vireo20
