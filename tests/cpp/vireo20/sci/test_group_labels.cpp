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

// Label spread (1: dense values; 16, 256: tables of bits span several slots a value; 2^40: sparse), particles (enough to be split over threads or
// not), and the stride of ids (2^33: wider than the slots' 31 bits).
struct Shape {
  std::int64_t label_scale;
  std::int32_t particles;
  std::int64_t id_stride;
};

class GroupLabels : public ::testing::TestWithParam<Shape> {
 protected:
  std::int64_t draw(std::int64_t p_Spread) { return 1 + std::int64_t(m_Random() % p_Spread) * GetParam().label_scale; }
  std::mt19937_64 m_Random{static_cast<std::uint64_t>(GetParam().label_scale + GetParam().particles)};
};

TEST_P(GroupLabels, LowestIdOfEachLabelAmongTheEnabledIsTheParent)
{
  const std::int32_t n = GetParam().particles;
  std::vector<std::int64_t> labels(n), ids(n);
  for (std::int32_t i = 0; i < n; ++i) {
    labels[i] = m_Random() % 7 == 0 ? -std::int64_t(m_Random() % 3) : draw(n / 10);
    ids[i] = GetParam().id_stride * i + 5;
  }
  std::shuffle(ids.begin(), ids.end(), m_Random);
  std::vector<std::int32_t> enabled;
  for (std::int32_t i = 0; i < n; ++i)
    if (m_Random() % 4) enabled.push_back(i);
  // In order, then shuffled; with the ids, then with none (a particle's index is its id).
  for (const bool shuffled : {false, true}) {
    if (shuffled) std::shuffle(enabled.begin(), enabled.end(), m_Random);
    for (const bool with_ids : {true, false}) {
      const auto id = [&](std::int32_t p) { return with_ids ? ids[p] : std::int64_t(p); };
      std::vector<std::int32_t> parents(n, -7);
      parents_from_labels(labels.data(), with_ids ? ids.data() : nullptr, enabled.data(), std::int64_t(enabled.size()),
                          parents.data());

      std::map<std::int64_t, std::int32_t> lowest;
      for (std::int32_t p : enabled) {
        if (labels[p] <= 0) continue;
        auto found = lowest.find(labels[p]);
        if (found == lowest.end() || id(p) < id(found->second)) lowest[labels[p]] = p;
      }
      std::vector<bool> on(n);
      for (std::int32_t p : enabled) on[p] = true;
      for (std::int32_t p = 0; p < n; ++p) {
        const std::int32_t expected = !on[p] || labels[p] <= 0 ? -7 : lowest[labels[p]] == p ? -1 : lowest[labels[p]];
        ASSERT_EQ(parents[p], expected) << "particle " << p << (shuffled ? ", shuffled" : "") << (with_ids ? "" : ", no ids");
      }
    }
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

INSTANTIATE_TEST_SUITE_P(DenseAndSparse, GroupLabels,
                         ::testing::Values(Shape{1, 3000, 10}, Shape{16, 3000, 10}, Shape{std::int64_t(1) << 40, 3000, 10},
                                           Shape{1, 300000, 3}, Shape{256, 300000, 3}, Shape{1, 3000, std::int64_t(1) << 33},
                                           // Sparse labels sharing their low bits, enough to take minutes
                                           // were they hashed as themselves.
                                           Shape{std::int64_t(1) << 32, 300000, 3}));

}  // namespace
