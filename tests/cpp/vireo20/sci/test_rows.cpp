// Rows gathered by index against a plain loop, over enough rows to be split between threads, and the
// first index out of range found whichever thread meets it; the first row of a bad number likewise.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "vireo20/sci/rows.h"

namespace {

using vireo20::ups::first_bad_row;
using vireo20::ups::take_rows;

class Rows : public ::testing::TestWithParam<std::int64_t> {};

TEST_P(Rows, AreTheSourceRowsOfTheIndexes)
{
  const std::int64_t width = GetParam(), rows = 1000, count = 300000;
  std::mt19937_64 random(static_cast<std::uint64_t>(width));
  std::vector<std::uint64_t> source(static_cast<std::size_t>(rows * width));
  for (std::uint64_t& item : source) item = random();
  std::vector<std::int64_t> index(static_cast<std::size_t>(count));
  for (std::int64_t& row : index) row = static_cast<std::int64_t>(random() % rows);
  std::vector<std::uint64_t> out(static_cast<std::size_t>(count * width), 7);
  ASSERT_EQ(take_rows(source.data(), rows, width, index.data(), count, out.data()), -1);
  for (std::int64_t i = 0; i < count; ++i)
    for (std::int64_t k = 0; k < width; ++k)
      ASSERT_EQ(out[static_cast<std::size_t>(i * width + k)], source[static_cast<std::size_t>(index[static_cast<std::size_t>(i)] * width + k)]);

  // Two bad indexes, one in each half: the first is reported, and their rows stay as they were.
  index[250000] = -1;
  index[200000] = rows;
  std::fill(out.begin(), out.end(), 7);
  EXPECT_EQ(take_rows(source.data(), rows, width, index.data(), count, out.data()), 200000);
  for (const std::int64_t bad : {200000, 250000})
    for (std::int64_t k = 0; k < width; ++k) EXPECT_EQ(out[static_cast<std::size_t>(bad * width + k)], 7u);
  EXPECT_EQ(out[static_cast<std::size_t>(299999 * width)], source[static_cast<std::size_t>(index[299999] * width)]);
}

TEST_P(Rows, FirstBadNumberIsFoundWhicheverThreadMeetsIt)
{
  const std::int64_t width = GetParam(), rows = 400000;
  const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
  const double largest = std::numeric_limits<double>::max(), tiny = std::numeric_limits<double>::denorm_min();
  std::mt19937_64 random(static_cast<std::uint64_t>(width) + 5);
  std::vector<double> values(static_cast<std::size_t>(rows * width), 1.5);
  // Good everywhere, the extremes included.
  values[3] = largest, values[7] = tiny, values[11] = -largest;
  EXPECT_EQ(first_bad_row(values.data(), rows, width, false), -1);
  EXPECT_EQ(first_bad_row(values.data(), rows, width, true), 11 / width);
  values[11] = 2.0;
  EXPECT_EQ(first_bad_row(values.data(), rows, width, true), -1);
  for (int round = 0; round < 40; ++round) {
    std::vector<double> spoiled = values;
    // One or two bad values anywhere: the one of the lower row is reported.
    const double finite_only[] = {nan, inf, -inf}, positive_too[] = {0.0, -0.0, -3.0, -tiny};
    std::int64_t expected_any = rows, expected_positive = rows;
    for (int k = 0; k < 1 + round % 2; ++k) {
      const std::int64_t at = static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(rows * width));
      const bool everywhere = random() % 2 == 0;
      spoiled[static_cast<std::size_t>(at)] = everywhere ? finite_only[random() % 3] : positive_too[random() % 4];
      expected_positive = std::min(expected_positive, at / width);
      if (everywhere) expected_any = std::min(expected_any, at / width);
    }
    EXPECT_EQ(first_bad_row(spoiled.data(), rows, width, true), expected_positive);
    EXPECT_EQ(first_bad_row(spoiled.data(), rows, width, false), expected_any < rows ? expected_any : -1);
  }
}

INSTANTIATE_TEST_SUITE_P(Widths, Rows, ::testing::Values(std::int64_t(1), std::int64_t(3)));

}  // namespace
