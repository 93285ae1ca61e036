#include "vireo20/sci/rows.h"

#include <algorithm>
#include <atomic>

#include "vireo20/sci/parallel.h"

namespace vireo20 {
namespace ups {

std::int64_t take_rows(const std::uint64_t* p_Source, std::int64_t p_Rows, std::int64_t p_Width,
                       const std::int64_t* p_Index, std::int64_t p_Count, std::uint64_t* p_Out)
{
  std::atomic<std::int64_t> first_bad(p_Count);
  for_ranges(p_Count, [&](std::int64_t p_First, std::int64_t p_End) {
    std::int64_t bad = p_Count;
    for (std::int64_t i = p_First; i < p_End; ++i) {
      if (i + prefetch_distance < p_End) {
        const std::int64_t ahead = p_Index[i + prefetch_distance];
        if (ahead >= 0 && ahead < p_Rows) __builtin_prefetch(p_Source + ahead * p_Width);
      }
      const std::int64_t row = p_Index[i];
      if (row < 0 || row >= p_Rows) {
        bad = std::min(bad, i);
        continue;
      }
      const std::uint64_t* from = p_Source + row * p_Width;
      std::uint64_t* to = p_Out + i * p_Width;
      for (std::int64_t k = 0; k < p_Width; ++k) to[k] = from[k];
    }
    for (std::int64_t seen = first_bad.load(); bad < seen && !first_bad.compare_exchange_weak(seen, bad);) {
    }
  });
  const std::int64_t bad = first_bad.load();
  return bad < p_Count ? bad : -1;
}

}  // namespace ups
}  // namespace vireo20
