// The upscaling engine's grouping: worked examples, the grouping's invariants on random input, and
// the refusal of bad input without any change of state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "vireo20/vireo20.h"

namespace {

using IntArray = quill20::core::Array<int, 1>;
using Ranges = std::vector<std::pair<std::int32_t, std::int32_t>>;

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

const std::vector<int> example_parents = {-1, 0, 0, -1, 3};

TEST(MPUpscaling, GroupsByParentInOrderOfFirstOccurrence)
{
  MPUpscaling engine(make_array(example_parents));
  engine.setup(0, make_array({4, 1, 0, 3}), 0);
  EXPECT_EQ(engine.number_of_upscaled_particles(), 2);
  ASSERT_TRUE(engine.topology());
  EXPECT_EQ(engine.topology()->ranges, (Ranges{{0, 2}, {2, 2}}));
  EXPECT_EQ(engine.topology()->positions, (std::vector<std::int32_t>{0, 3, 1, 2}));
  EXPECT_EQ(values(*engine.get_element_particles_indexes()), (std::vector<int>{0, 1, 1, 0}));
  EXPECT_EQ(engine.number_of_enabled_particles(), 2);
}

TEST(MPUpscaling, TrailingEntriesFollowTheUpscaledParticles)
{
  MPUpscaling engine(make_array(example_parents));
  engine.setup(0, make_array({4, 1, 0, 3}), 2);
  EXPECT_EQ(values(*engine.get_element_particles_indexes()), (std::vector<int>{0, 1, 1, 0, 2, 3}));
  EXPECT_EQ(engine.number_of_enabled_particles(), 4);
}

TEST(MPUpscaling, ParentNeedNotBeEnabled)
{
  MPUpscaling engine(make_array(example_parents));
  engine.setup(0, make_array({1, 2}), 0);
  EXPECT_EQ(engine.number_of_upscaled_particles(), 1);
  EXPECT_EQ(engine.topology()->ranges, (Ranges{{0, 2}}));
  EXPECT_EQ(values(*engine.get_element_particles_indexes()), (std::vector<int>{0, 0}));
}

TEST(MPUpscaling, WithoutGroupingOnlyTrailingEntriesAnswer)
{
  MPUpscaling engine(make_array(example_parents));
  EXPECT_EQ(engine.number_of_enabled_particles(), 0);
  EXPECT_EQ(engine.get_element_particles_indexes()->size(), 0u);

  engine.setup(0, make_array({4, 1}), 1);
  for (const boost::shared_ptr<IntArray>& empty : {boost::shared_ptr<IntArray>(), make_array({})}) {
    engine.setup(1, empty, 3);
    EXPECT_FALSE(engine.topology());
    EXPECT_EQ(engine.number_of_upscaled_particles(), 0);
    EXPECT_EQ(engine.number_of_enabled_particles(), 3);
    EXPECT_EQ(values(*engine.get_element_particles_indexes()), (std::vector<int>{0, 1, 2}));
  }
}

TEST(MPUpscaling, SetupReleasesThePreviousEnabledList)
{
  MPUpscaling engine(make_array(example_parents));
  boost::shared_ptr<IntArray> first = make_array({0, 1});
  engine.setup(0, first, 0);
  EXPECT_EQ(first.use_count(), 2);
  engine.setup(1, make_array({3}), 0);
  EXPECT_EQ(first.use_count(), 1);
  EXPECT_EQ(engine.topology()->positions, (std::vector<std::int32_t>{0}));
}

TEST(MPUpscaling, ShrinkingTheEnabledListAfterSetupDoesNotShrinkTheAnswer)
{
  MPUpscaling engine(make_array(example_parents));
  boost::shared_ptr<IntArray> enabled = make_array({4, 1, 0, 3});
  engine.setup(0, enabled, 1);
  enabled->resize(1);
  EXPECT_EQ(values(*engine.get_element_particles_indexes()), (std::vector<int>{0, 1, 1, 0, 2}));
}

// Random parent tables and enabled lists against a grouping built the obvious way.
TEST(MPUpscaling, GroupingHoldsItsInvariantsOnRandomInput)
{
  std::mt19937 random(20240611);
  for (int round = 0; round < 20; ++round) {
    const int n = 1 + static_cast<int>(random() % 200);
    std::vector<int> parents(n);
    for (int& parent : parents) {
      parent = (random() % 3 == 0) ? -1 - static_cast<int>(random() % 5) : static_cast<int>(random() % n);
    }
    std::vector<int> enabled(random() % (2 * n));
    for (int& p : enabled) {
      p = static_cast<int>(random() % n);
    }
    MPUpscaling engine(make_array(parents));
    engine.setup(round, make_array(enabled), round % 3);

    std::map<int, int> upscaled_of_parent;
    std::vector<int> expected;
    for (int p : enabled) {
      const int q = parents[p] >= 0 ? parents[p] : p;
      expected.push_back(upscaled_of_parent.emplace(q, static_cast<int>(upscaled_of_parent.size())).first->second);
    }
    const int u = static_cast<int>(upscaled_of_parent.size());
    for (int j = 0; j < round % 3; ++j) {
      expected.push_back(u + j);
    }
    ASSERT_EQ(engine.number_of_upscaled_particles(), u);
    ASSERT_EQ(values(*engine.get_element_particles_indexes()), expected);
    if (enabled.empty()) {
      continue;
    }
    std::int32_t next_first = 0;
    for (const auto& range : engine.topology()->ranges) {
      ASSERT_EQ(range.first, next_first);
      ASSERT_GE(range.second, 1);
      const auto block = engine.topology()->positions.begin() + range.first;
      ASSERT_TRUE(std::is_sorted(block, block + range.second));
      next_first += range.second;
    }
    ASSERT_EQ(next_first, static_cast<std::int32_t>(enabled.size()));
  }
}

struct BadInput {
  const char* name;
  bool has_parents;
  std::vector<int> parents;
  std::vector<int> enabled;
  std::int32_t trailing;
  const char* message;
};

void PrintTo(const BadInput& p_Input, std::ostream* p_Stream) { *p_Stream << p_Input.name; }

class MPUpscalingBadInput : public ::testing::TestWithParam<BadInput> {};

// The refused call leaves the grouping, the counts and the kept enabled list of the step before.
TEST_P(MPUpscalingBadInput, IsRefusedWithAClearTextAndChangesNothing)
{
  const BadInput& input = GetParam();
  MPUpscaling engine(input.has_parents ? make_array(input.parents) : boost::shared_ptr<IntArray>());
  if (input.has_parents && !input.parents.empty()) {
    engine.setup(0, make_array({0}), 2);
  }
  const boost::shared_ptr<IntArray> enabled_before = engine.enabled_indexes();
  const boost::shared_ptr<UpscaledParticlesTopology> topology_before = engine.topology();
  const std::vector<int> answer_before = values(*engine.get_element_particles_indexes());
  try {
    engine.setup(1, make_array(input.enabled), input.trailing);
    FAIL() << "accepted";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), input.message);
  }
  EXPECT_EQ(engine.enabled_indexes(), enabled_before);
  EXPECT_EQ(engine.topology(), topology_before);
  EXPECT_EQ(values(*engine.get_element_particles_indexes()), answer_before);
}

const std::int32_t largest = std::numeric_limits<std::int32_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Cases, MPUpscalingBadInput,
    ::testing::Values(
        BadInput{"EntryBeyondTable", true, example_parents, {4, 1, 0, 7}, 0,
                 "SetParticlesEnabledIndexes: enabled_indexes[3] = 7 is outside the particle range 0..4 (5 particles)"},
        BadInput{"NegativeEntry", true, example_parents, {-1}, 0,
                 "SetParticlesEnabledIndexes: enabled_indexes[0] = -1 is outside the particle range 0..4 (5 particles)"},
        BadInput{"ParentBeyondTable", true, {-1, 9, 0}, {2, 0, 1}, 0,
                 "SetParticlesEnabledIndexes: parents[1] = 9, the parent of enabled_indexes[2], is outside the "
                 "particle range 0..2 (3 particles)"},
        BadInput{"NegativeTrailingCount", true, example_parents, {0}, -1,
                 "SetParticlesEnabledIndexes: trailing_count = -1 is negative; it must be 0 or more"},
        BadInput{"CountsBeyond32Bits", true, example_parents, {0, 1}, largest - 1,
                 "SetParticlesEnabledIndexes: trailing_count = 2147483646 with 2 enabled entries makes 2147483648 "
                 "entries, more than the largest count 2147483647"},
        BadInput{"NoParentTable", false, {}, {0}, 0,
                 "SetParticlesEnabledIndexes: enabled_indexes[0] = 0 is outside the particle range, which is empty: "
                 "the generator was given no parent table (None)"},
        BadInput{"EmptyParentTable", true, {}, {0}, 0,
                 "SetParticlesEnabledIndexes: enabled_indexes[0] = 0 is outside the particle range, which is empty: "
                 "the parent table has no entries"}),
    [](const ::testing::TestParamInfo<BadInput>& p_Info) { return std::string(p_Info.param.name); });

}  // namespace
