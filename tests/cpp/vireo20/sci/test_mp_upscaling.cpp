// The upscaling engine as Python cannot see it: the fast grouping and labelling against the obvious
// ones on random parent tables and enabled lists of every shape and thread count, the blocks and
// positions the engine keeps, its refusals (which leave the step before), and the texts for a missing
// or empty parent table, and the in-order pipeline of the weighted averages. The worked examples'
// indexes and the other bad-input texts are tested from Python.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/ExpectFailure.h"
#include "vireo20/sci/grouping.h"
#include "vireo20/sci/parallel.h"
#include "vireo20/vireo20.h"

namespace {

using vireo20::ups::group_by_parent;
using vireo20::ups::ParentRange;
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

// A label per parent on first sight, and each block filled in list order.
std::pair<std::vector<ParentRange>, std::vector<std::int32_t>> obvious_grouping(const std::vector<int>& p_Parents,
                                                                                const std::vector<int>& p_Enabled)
{
  std::vector<int> label(p_Parents.size(), -1);
  std::vector<std::vector<std::int32_t>> blocks;
  for (std::size_t i = 0; i < p_Enabled.size(); ++i) {
    const int p = p_Enabled[i], q = p_Parents[p] < 0 ? p : p_Parents[p];
    if (label[q] < 0) label[q] = static_cast<int>(blocks.size()), blocks.emplace_back();
    blocks[label[q]].push_back(static_cast<std::int32_t>(i));
  }
  std::pair<std::vector<ParentRange>, std::vector<std::int32_t>> grouping;
  for (const std::vector<std::int32_t>& block : blocks) {
    grouping.first.emplace_back(grouping.second.size(), block.size());
    grouping.second.insert(grouping.second.end(), block.begin(), block.end());
  }
  return grouping;
}

TEST(Grouping, EveryShapeAndThreadCountGroupsAndLabelsAsTheObviousWayAndTheEngineKeepsIt)
{
  std::mt19937 random(20261206);
  // (particles, enabled entries, share of own parents in percent): empty and single lists, groups of
  // one, few parents with many duplicates, and lists that span several buckets and chunks.
  const int shapes[][3] = {{1, 0, 100}, {1, 1, 100}, {9, 1, 0},          {50, 40, 100},
                           {50, 400, 30}, {70000, 3, 50}, {300000, 700000, 25}, {200000, 150000, 100}};
  for (const auto& [n, e_count, own_percent] : shapes) {
    SCOPED_TRACE(::testing::Message() << n << " particles, " << e_count << " entries");
    std::vector<int> parents(n), enabled(e_count);
    // Parents point anywhere, so many are not enabled themselves; any negative value means "own".
    for (int& parent : parents)
      parent = int(random() % 100) < own_percent ? -1 - int(random() % 3) : int(random() % n);
    for (int& p : enabled) p = static_cast<int>(random() % n);
    const auto expected = obvious_grouping(parents, enabled);
    const auto u = static_cast<std::int32_t>(expected.first.size());
    std::vector<int> labels(e_count);  // the block of each position, then two trailing entries
    for (std::int32_t b = 0; b < u; ++b)
      for (std::int32_t k = 0; k < expected.first[b].second; ++k)
        labels[expected.second[expected.first[b].first + k]] = b;
    for (unsigned threads : {1u, 2u, 3u, 0u}) {
      SCOPED_TRACE(::testing::Message() << threads << " threads");
      std::vector<ParentRange> ranges{{7, 7}};
      std::vector<std::int32_t> positions{7};
      ASSERT_TRUE(group_by_parent(parents.data(), parents.size(), enabled.data(), e_count, ranges, positions, threads));
      ASSERT_EQ(ranges, expected.first);
      ASSERT_EQ(positions, expected.second);
      std::vector<int> labelled(e_count, -1);
      vireo20::ups::label_positions(ranges, positions, labelled.data(), threads);
      ASSERT_EQ(labelled, labels);
    }
    MPUpscaling engine(make_array(parents));
    engine.setup(0, make_array(enabled), 2);
    ASSERT_EQ(engine.number_of_upscaled_particles(), u);
    ASSERT_EQ(bool(engine.topology()), e_count > 0) << "an empty step keeps no grouping";
    if (e_count > 0) {
      ASSERT_EQ(std::make_pair(engine.topology()->ranges, engine.topology()->positions), expected);
    }
    labels.insert(labels.end(), {u, u + 1});
    ASSERT_EQ(values(*engine.get_element_particles_indexes()), labels);
  }
}

TEST(Grouping, FirstBadEntryIsNamedAndTheStepBeforeKept)
{
  const std::string range = " is outside the particle range 0..3 (4 particles)";
  // A bad entry far down a long list, behind a good prefix that spans chunks, is still the first named.
  std::vector<int> long_list(600000, 1);
  long_list[500000] = 2;
  long_list[550000] = -3;
  const std::pair<std::vector<int>, std::string> cases[] = {
      {{0, 4}, "enabled_indexes[1] = 4" + range},
      {{3, -1, 2}, "enabled_indexes[1] = -1" + range},
      {{0, 2, 9}, "parents[2] = 7, the parent of enabled_indexes[1]," + range},
      {long_list, "parents[2] = 7, the parent of enabled_indexes[500000]," + range}};
  const std::vector<int> parents{-1, 0, 7, -1};
  MPUpscaling engine(make_array(parents));
  const boost::shared_ptr<IntArray> enabled = make_array({1, 0, 3});
  engine.setup(0, enabled, 1);
  const boost::shared_ptr<UpscaledParticlesTopology> topology = engine.topology();
  for (const auto& [list, message] : cases) {
    std::vector<ParentRange> ranges{{7, 7}};
    std::vector<std::int32_t> positions{7};
    EXPECT_FALSE(group_by_parent(parents.data(), 4, list.data(), static_cast<std::int32_t>(list.size()), ranges,
                                 positions, 2));
    EXPECT_TRUE(ranges.empty() && positions.empty());
    const auto refusal =
        testing_support::expect_throw<std::runtime_error>([&] { engine.setup(1, make_array(list), 0); });
    EXPECT_EQ(std::string(refusal.what()), "SetParticlesEnabledIndexes: " + message);
    EXPECT_EQ(engine.enabled_indexes(), enabled);
    EXPECT_EQ(engine.topology(), topology);
    EXPECT_EQ(engine.number_of_enabled_particles(), 3);
    EXPECT_EQ(topology->ranges, (std::vector<ParentRange>{{0, 2}, {2, 1}}));
    EXPECT_EQ(topology->positions, (std::vector<std::int32_t>{0, 1, 2}));
  }
}

TEST(MPUpscaling, BlocksInOrderOfFirstOccurrenceFromTheKeptList)
{
  MPUpscaling engine(make_array({-1, 0, 0, -1, 3}));
  const boost::shared_ptr<IntArray> enabled = make_array({4, 1, 0, 3});
  engine.setup(0, enabled, 1);
  ASSERT_TRUE(engine.topology());
  EXPECT_EQ(engine.topology()->ranges, (std::vector<ParentRange>{{0, 2}, {2, 2}}));
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

// Whatever the threads and the window, every chunk is prepared once, consumed once in chunk order,
// and its consumer finds in the slot what its own preparation left there.
TEST(Parallel, PreparedChunksAreConsumedInOrderFromTheirOwnSlot)
{
  for (unsigned threads : {1u, 2u, 3u})
    for (std::int32_t slots : {1, 3})
      for (std::int32_t chunks : {0, 1, 257}) {
        SCOPED_TRACE(::testing::Message() << threads << " threads, " << slots << " slots, " << chunks << " chunks");
        std::vector<std::int32_t> slot_holds(static_cast<std::size_t>(slots), -1), consumed;
        vireo20::ups::prepare_then_consume_in_order(
            threads, chunks, slots, [&](std::int32_t p_Chunk, std::int32_t p_Slot) { slot_holds[p_Slot] = p_Chunk; },
            [&](std::int32_t p_Chunk, std::int32_t p_Slot) {
              consumed.push_back(slot_holds[p_Slot] == p_Chunk ? p_Chunk : -1);
            });
        std::vector<std::int32_t> expected(static_cast<std::size_t>(chunks));
        for (std::int32_t c = 0; c < chunks; ++c) expected[c] = c;
        EXPECT_EQ(consumed, expected);
      }
}

}  // namespace
