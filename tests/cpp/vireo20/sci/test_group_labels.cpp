// Labels to parents, the repeat check and first-occurrence numbering, against std::map on random input,
// with the values dense (a direct table) and sparse (hashed).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "vireo20/sci/group_labels.h"

namespace {

using vireo20::ups::first_repeat;
using vireo20::ups::number_by_first_occurrence;
using vireo20::ups::parents_from_labels;

class GroupLabels : public ::testing::TestWithParam<std::int64_t> {
 protected:
  // Values 1..spread scaled by the parameter: 1 gives dense values, 2^40 sparse ones.
  std::int64_t draw(std::int64_t p_Spread) { return 1 + std::int64_t(m_Random() % p_Spread) * GetParam(); }
  std::mt19937_64 m_Random{static_cast<std::uint64_t>(GetParam())};
};

TEST_P(GroupLabels, LowestIdOfEachLabelAmongTheEnabledIsTheParent)
{
  const std::int32_t n = 3000;
  std::vector<std::int64_t> labels(n), ids(n);
  for (std::int32_t i = 0; i < n; ++i) {
    labels[i] = m_Random() % 7 == 0 ? -std::int64_t(m_Random() % 3) : draw(300);
    ids[i] = 10 * i + 5;
  }
  std::shuffle(ids.begin(), ids.end(), m_Random);
  std::vector<std::int32_t> enabled;
  for (std::int32_t i = 0; i < n; ++i)
    if (m_Random() % 4) enabled.push_back(i);
  std::vector<std::int32_t> parents(n, -7);
  parents_from_labels(labels.data(), ids.data(), enabled.data(), std::int64_t(enabled.size()), parents.data());

  std::map<std::int64_t, std::int32_t> lowest;
  for (std::int32_t p : enabled) {
    if (labels[p] <= 0) continue;
    auto found = lowest.find(labels[p]);
    if (found == lowest.end() || ids[p] < ids[found->second]) lowest[labels[p]] = p;
  }
  std::vector<bool> on(n);
  for (std::int32_t p : enabled) on[p] = true;
  for (std::int32_t p = 0; p < n; ++p) {
    const std::int32_t expected = !on[p] || labels[p] <= 0 ? -7 : lowest[labels[p]] == p ? -1 : lowest[labels[p]];
    ASSERT_EQ(parents[p], expected) << "particle " << p;
  }
}

TEST_P(GroupLabels, RepeatsAndFirstOccurrencesAreFoundWhateverTheSpread)
{
  std::vector<std::int64_t> values(5000);
  for (auto& v : values) v = draw(2000);
  std::map<std::int64_t, std::int64_t> first;
  std::int64_t repeat = -1;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!first.emplace(values[i], std::int64_t(first.size())).second && repeat < 0) repeat = std::int64_t(i);
  }
  EXPECT_EQ(first_repeat(values.data(), std::int64_t(values.size())), repeat);
  EXPECT_EQ(first_repeat(values.data(), 1), -1);

  std::vector<std::int32_t> numbers(values.size());
  std::vector<std::int64_t> firsts(values.size());
  ASSERT_EQ(number_by_first_occurrence(values.data(), std::int64_t(values.size()), numbers.data(), firsts.data()),
            std::int64_t(first.size()));
  for (std::size_t i = 0; i < values.size(); ++i) {
    ASSERT_EQ(numbers[i], first[values[i]]);
    ASSERT_EQ(values[std::size_t(firsts[numbers[i]])], values[i]);
  }
}

INSTANTIATE_TEST_SUITE_P(DenseAndSparse, GroupLabels, ::testing::Values(std::int64_t(1), std::int64_t(1) << 40));

}  // namespace
