#include "vireo20/sci/contact_lines.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "vireo20/sci/group_labels.h"
#include "vireo20/sci/parallel.h"

namespace vireo20 {
namespace ups {

namespace {

// Numbers the pairs (p_Low[k], p_High[k]) of p_Count kept contacts, both below p_Groups, by first
// occurrence, as number_by_first_occurrence numbers their keys: the contacts sorted by their low end
// (a counting sort, stable), then within each low end's contacts a high end seen before is found in a
// table by high end stamped with the low end. Three tables of the groups and two of the contacts, all
// read in cache-sized strides where a hash table of the keys was read at random (0.25 s -> 0.1 s at
// two million lines of a million groups).
std::int64_t number_pairs(const std::vector<std::int32_t>& p_Low, const std::vector<std::int32_t>& p_High,
                          std::int64_t p_Count, std::int64_t p_Groups, std::int32_t* p_Line, std::int64_t* p_LineFirst)
{
  std::vector<std::int64_t> start(static_cast<std::size_t>(p_Groups) + 1, 0);
  for (std::int64_t k = 0; k < p_Count; ++k) ++start[static_cast<std::size_t>(p_Low[k]) + 1];
  for (std::int64_t g = 0; g < p_Groups; ++g) start[g + 1] += start[g];
  std::vector<std::int32_t> order(static_cast<std::size_t>(p_Count));
  {
    std::vector<std::int64_t> cursor(start.begin(), start.end() - 1);
    for (std::int64_t k = 0; k < p_Count; ++k) order[cursor[p_Low[k]]++] = static_cast<std::int32_t>(k);
  }
  // first_of[k]: the first contact of k's pair (k itself for the first).
  std::vector<std::int32_t> first_of(static_cast<std::size_t>(p_Count));
  std::vector<std::int32_t> stamp(static_cast<std::size_t>(p_Groups), -1), seen(static_cast<std::size_t>(p_Groups));
  for (std::int64_t low = 0; low < p_Groups; ++low) {
    for (std::int64_t at = start[low]; at < start[low + 1]; ++at) {
      const std::int32_t k = order[at];
      const std::int32_t high = p_High[k];
      if (stamp[high] == low) {
        first_of[k] = seen[high];
      } else {
        stamp[high] = static_cast<std::int32_t>(low);
        seen[high] = first_of[k] = k;
      }
    }
  }
  std::int64_t count = 0;
  for (std::int64_t k = 0; k < p_Count; ++k) {
    if (first_of[k] == k) {
      p_Line[k] = static_cast<std::int32_t>(count);
      p_LineFirst[count++] = k;
    } else {
      p_Line[k] = p_Line[first_of[k]];
    }
  }
  return count;
}

}  // namespace

ContactLineCounts contact_lines(const std::int64_t* p_First, const std::int64_t* p_Second, const std::int64_t* p_Kinds,
                                std::int64_t p_Count, const std::int32_t* p_Ends, std::int64_t p_IdLow,
                                std::int64_t p_IdSpan, std::int64_t p_Groups, std::int64_t* p_A, std::int64_t* p_B,
                                std::int64_t* p_Kept, std::int32_t* p_Line, std::int64_t* p_LineFirst,
                                std::int64_t* p_Inside, std::int64_t* p_Outside, std::int64_t* p_Wall)
{
  // Unsigned distance from the span's start: one comparison finds ids on either side of it.
  const auto end_of = [&](std::int64_t p_Id) -> std::int32_t {
    const std::uint64_t at = static_cast<std::uint64_t>(p_Id) - static_cast<std::uint64_t>(p_IdLow);
    return at < static_cast<std::uint64_t>(p_IdSpan) ? p_Ends[at] : no_particle;
  };
  ContactLineCounts counts;
  // Sized for every contact kept: grown one by one, they were copied at each doubling.
  std::vector<std::int32_t> lows, highs;
  lows.reserve(static_cast<std::size_t>(p_Count));
  highs.reserve(static_cast<std::size_t>(p_Count));
  for (std::int64_t i = 0; i < p_Count; ++i) {
    if (i + prefetch_distance < p_Count) {
      // Ids in a dump local's order read the table at random: asked for ahead.
      for (const std::int64_t id : {p_First[i + prefetch_distance], p_Second[i + prefetch_distance]}) {
        const std::uint64_t at = static_cast<std::uint64_t>(id) - static_cast<std::uint64_t>(p_IdLow);
        if (at < static_cast<std::uint64_t>(p_IdSpan)) __builtin_prefetch(p_Ends + at);
      }
    }
    const bool particle = p_Kinds == nullptr || p_Kinds[i] == 0;
    const std::int32_t first = end_of(p_First[i]), second = end_of(p_Second[i]);
    counts.unknown += first == no_particle || (particle && second == no_particle);
    const std::int64_t a = std::max<std::int32_t>(first, -1), b = std::max<std::int32_t>(second, -1);
    p_A[i] = a;
    p_B[i] = b;
    if (a < 0) continue;
    if (!particle) {
      if (p_Wall) ++p_Wall[a];
    } else if (a == b) {
      if (p_Inside) ++p_Inside[a];
    } else if (b >= 0) {
      if (p_Outside) ++p_Outside[a], ++p_Outside[b];
      p_Kept[counts.kept++] = i;
      lows.push_back(static_cast<std::int32_t>(std::min(a, b)));
      highs.push_back(static_cast<std::int32_t>(std::max(a, b)));
    }
  }
  if (counts.kept > INT32_MAX) throw std::length_error("more contact lines than 32-bit numbers can number");
  if (p_Groups <= 4 * counts.kept + 1024) {
    counts.lines = number_pairs(lows, highs, counts.kept, p_Groups, p_Line, p_LineFirst);
  } else {
    // Few contacts among many groups: tables of the groups would cost more than the contacts.
    std::vector<std::int64_t> keys(static_cast<std::size_t>(counts.kept));
    for (std::int64_t k = 0; k < counts.kept; ++k) keys[k] = std::int64_t(lows[k]) * (p_Groups + 1) + highs[k];
    counts.lines = number_by_first_occurrence(keys.data(), counts.kept, p_Line, p_LineFirst);
  }
  return counts;
}

}  // namespace ups
}  // namespace vireo20
