// The upscaling engine as Python cannot see it: the blocks and positions of the grouping, random input
// against a grouping built the obvious way, the kept enabled list, and the texts for a missing or empty
// parent table. The worked examples' indexes and the other bad-input texts are tested from Python.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/ExpectFailure.h"
#include "vireo20/vireo20.h"

namespace {

using IntArray = quill20::core::Array<int, 1>;

boost::shared_ptr<IntArray> make_array(const std::vector<int>& p_Values)
{
  boost::shared_ptr<IntArray> array(new IntArray(p_Values.size()));
  std::copy(p_Values.begin(), p_Values.end(), array->data());
  return array;
}

std::vector<int> values(const IntArray& p_Array)
{
  return std::vector<int>(p_Array.data(), p_Array.data() + p_Array.size());
}

TEST(MPUpscaling, BlocksInOrderOfFirstOccurrenceFromTheKeptList)
{
  MPUpscaling engine(make_array({-1, 0, 0, -1, 3}));
  const boost::shared_ptr<IntArray> enabled = make_array({4, 1, 0, 3});
  engine.setup(0, enabled, 1);
  ASSERT_TRUE(engine.topology());
  EXPECT_EQ(engine.topology()->ranges, (std::vector<std::pair<std::int32_t, std::int32_t>>{{0, 2}, {2, 2}}));
  EXPECT_EQ(engine.topology()->positions, (std::vector<std::int32_t>{0, 3, 1, 2}));
  // The list is shared, not copied; the caller shrinking it does not shrink the answer.
  EXPECT_EQ(engine.enabled_indexes(), enabled);
  enabled->resize(1);
  EXPECT_EQ(values(*engine.get_element_particles_indexes()), (std::vector<int>{0, 1, 1, 0, 2}));
  // An empty step drops the grouping and the list of the step before.
  engine.setup(1, make_array({}), 3);
  EXPECT_FALSE(engine.topology());
  EXPECT_EQ(enabled.use_count(), 1);
  EXPECT_EQ(values(*engine.get_element_particles_indexes()), (std::vector<int>{0, 1, 2}));
}

std::vector<double> sums(MPUpscaling& p_Engine, const std::vector<double>& p_Values)
{
  const boost::shared_ptr<MPUpscaling::DoubleGridFunction> values(new MPUpscaling::DoubleGridFunction());
  values->array() = quill20::core::Array<double, 1>(p_Values.size());
  std::copy(p_Values.begin(), p_Values.end(), values->array().data());
  const boost::shared_ptr<MPUpscaling::DoubleGridFunction> result = p_Engine.sum(values);
  return std::vector<double>(result->array().data(), result->array().data() + result->array().size());
}

TEST(MPUpscaling, RandomInputGroupsAsTheObviousGrouping)
{
  std::mt19937 random(20240611);
  for (int round = 0; round < 20; ++round) {
    const int n = 1 + static_cast<int>(random() % 200), trailing = round % 3;
    std::vector<int> parents(n), enabled(random() % (2 * n)), expected;
    for (int& parent : parents) parent = random() % 3 == 0 ? -1 - int(random() % 5) : int(random() % n);
    for (int& p : enabled) p = static_cast<int>(random() % n);
    MPUpscaling engine(make_array(parents));
    engine.setup(round, make_array(enabled), trailing);
    std::map<int, int> of_parent;  // upscaled particle of each parent id, numbered on first sight
    for (int p : enabled)
      expected.push_back(of_parent.emplace(parents[p] < 0 ? p : parents[p], int(of_parent.size())).first->second);
    const int u = static_cast<int>(of_parent.size());
    for (int j = 0; j < trailing; ++j) expected.push_back(u + j);
    // Sums in ascending position order, the trailing values passed through.
    std::vector<double> inputs(expected.size()), expected_sums(static_cast<std::size_t>(u + trailing), 0.0);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      inputs[i] = std::ldexp(static_cast<double>(random()), -int(random() % 40));
      expected_sums[static_cast<std::size_t>(expected[i])] += inputs[i];
    }
    ASSERT_EQ(engine.number_of_upscaled_particles(), u);
    ASSERT_EQ(values(*engine.get_element_particles_indexes()), expected);
    if (enabled.empty()) continue;
    ASSERT_EQ(sums(engine, inputs), expected_sums);
    // The blocks tile the positions in order, each non-empty and ascending.
    std::int32_t next_first = 0;
    for (const auto& [first, count] : engine.topology()->ranges) {
      ASSERT_EQ(first, next_first);
      ASSERT_GE(count, 1);
      ASSERT_TRUE(std::is_sorted(&engine.topology()->positions[first], &engine.topology()->positions[first] + count));
      next_first += count;
    }
    ASSERT_EQ(next_first, static_cast<std::int32_t>(enabled.size()));
  }
}

// A refused call keeps the step before.
TEST(MPUpscaling, WithoutParentTableEveryEntryIsRefusedAndNothingChanges)
{
  const std::string outside =
      "SetParticlesEnabledIndexes: enabled_indexes[0] = 0 is outside the particle range, which is empty: ";
  const std::pair<boost::shared_ptr<IntArray>, std::string> cases[] = {
      {nullptr, outside + "the generator was given no parent table (None)"},
      {make_array({}), outside + "the parent table has no entries"}};
  for (const auto& [parents, message] : cases) {
    MPUpscaling engine(parents);
    const boost::shared_ptr<IntArray> enabled = make_array({});
    engine.setup(0, enabled, 2);
    const auto refusal =
        testing_support::expect_throw<std::runtime_error>([&] { engine.setup(1, make_array({0}), 0); });
    EXPECT_EQ(std::string(refusal.what()), message);
    EXPECT_EQ(engine.enabled_indexes(), enabled);
    EXPECT_EQ(values(*engine.get_element_particles_indexes()), (std::vector<int>{0, 1}));
  }
}

}  // namespace
