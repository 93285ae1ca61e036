// Rows gathered by index against a plain loop, over enough rows to be split between threads, and the
// first index out of range found whichever thread meets it.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "vireo20/sci/rows.h"

namespace {

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

INSTANTIATE_TEST_SUITE_P(Widths, Rows, ::testing::Values(std::int64_t(1), std::int64_t(3)));

}  // namespace
