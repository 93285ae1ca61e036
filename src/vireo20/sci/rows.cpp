#include "vireo20/sci/rows.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <vector>

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
    keep_lowest(first_bad, bad);
  });
  const std::int64_t bad = first_bad.load();
  return bad < p_Count ? bad : -1;
}

namespace {

// Two comparisons a value, both false for NaN: the blocks' loops vectorise, and only a block that
// fails is walked again for its first row.
template <bool Positive>
bool good_value(double p_Value)
{
  constexpr double high = std::numeric_limits<double>::max();
  return Positive ? (p_Value > 0.0) & (p_Value <= high) : (p_Value >= -high) & (p_Value <= high);
}

template <bool Positive>
std::int64_t first_bad_row_of(const double* p_Values, std::int64_t p_Rows, std::int64_t p_Width)
{
  std::atomic<std::int64_t> first_bad(p_Rows);
  for_ranges(p_Rows, [&](std::int64_t p_First, std::int64_t p_End) {
    constexpr std::int64_t block = 2048;
    // A range stops at its first bad row, or once another has found one before it.
    for (std::int64_t row = p_First; row < p_End && row < first_bad.load(std::memory_order_relaxed); row += block) {
      const double* values = p_Values + row * p_Width;
      const std::int64_t count = std::min(block, p_End - row) * p_Width;
      bool all = true;
      for (std::int64_t k = 0; k < count; ++k) all &= good_value<Positive>(values[k]);
      if (all) continue;
      std::int64_t k = 0;
      while (good_value<Positive>(values[k])) ++k;
      const std::int64_t bad = row + k / p_Width;
      keep_lowest(first_bad, bad);
      return;
    }
  });
  const std::int64_t bad = first_bad.load();
  return bad < p_Rows ? bad : -1;
}

}  // namespace

std::int64_t first_bad_row(const double* p_Values, std::int64_t p_Rows, std::int64_t p_Width, bool p_Positive)
{
  return p_Positive ? first_bad_row_of<true>(p_Values, p_Rows, p_Width)
                    : first_bad_row_of<false>(p_Values, p_Rows, p_Width);
}

std::int64_t contact_end_tensors(const std::int64_t* p_First, const std::int64_t* p_Second, const double* p_A,
                                 const double* p_B, double p_Scale, std::int64_t p_Count, std::int64_t p_Groups,
                                 double* p_Out)
{
  static constexpr int component[6][2] = {{0, 0}, {1, 1}, {2, 2}, {0, 1}, {0, 2}, {1, 2}};
  // The second ends' sums apart, as the second bincount's, added once all are in.
  std::vector<double> second(static_cast<std::size_t>(p_Groups) * 6, 0.0);
  std::fill(p_Out, p_Out + p_Groups * 6, 0.0);
  for (std::int64_t c = 0; c < p_Count; ++c) {
    const std::int64_t first = p_First[c], other = p_Second[c];
    if (first < 0 || first >= p_Groups || other < 0 || other >= p_Groups) return c;
    const double* a = p_A + c * 3;
    const double* b = p_B + c * 3;
    for (int k = 0; k < 6; ++k) {
      const double weight = p_Scale * a[component[k][0]] * b[component[k][1]];
      p_Out[first * 6 + k] += weight;
      second[static_cast<std::size_t>(other * 6 + k)] += weight;
    }
  }
  for (std::int64_t k = 0; k < p_Groups * 6; ++k) p_Out[k] += second[static_cast<std::size_t>(k)];
  return -1;
}

std::int64_t sum_rows_by_line(const double* p_Values, std::int64_t p_ValueRows, std::int64_t p_Width,
                              const std::int64_t* p_Rows, const std::int32_t* p_Line, const double* p_Sign,
                              std::int64_t p_Count, std::int64_t p_Lines, double* p_Out)
{
  std::fill(p_Out, p_Out + p_Lines * p_Width, 0.0);
  for (std::int64_t k = 0; k < p_Count; ++k) {
    if (k + prefetch_distance < p_Count) {
      const std::int64_t ahead = p_Rows[k + prefetch_distance];
      if (ahead >= 0 && ahead < p_ValueRows) __builtin_prefetch(p_Values + ahead * p_Width);
    }
    const std::int64_t row = p_Rows[k];
    const std::int64_t line = p_Line[k];
    if (row < 0 || row >= p_ValueRows || line < 0 || line >= p_Lines) return k;
    const double* from = p_Values + row * p_Width;
    double* to = p_Out + line * p_Width;
    if (p_Sign) {
      const double sign = p_Sign[k];
      for (std::int64_t j = 0; j < p_Width; ++j) to[j] += sign * from[j];
    } else {
      for (std::int64_t j = 0; j < p_Width; ++j) to[j] += from[j];
    }
  }
  return -1;
}

}  // namespace ups
}  // namespace vireo20
