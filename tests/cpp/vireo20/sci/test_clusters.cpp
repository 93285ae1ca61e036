// Clusters at the edges the grid must get right: a chain through a periodic face made whole, a box
// thinner than the cutoff (images two boxes away), a cluster meeting its own image, bad input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "vireo20/sci/clusters.h"

namespace {

using vireo20::ups::ClusterBox;
using vireo20::ups::ClusterFault;

ClusterBox cube(double p_Side, bool p_Periodic)
{
  return ClusterBox{{0.0, 0.0, 0.0}, {{p_Side, 0.0, 0.0}, {0.0, p_Side, 0.0}, {0.0, 0.0, p_Side}}, {p_Periodic, p_Periodic, p_Periodic}};
}

TEST(Clusters, ThroughAPeriodicFaceAreWholeAboutTheirLowestId)
{
  // 7 at x = 9.8 (and unwrapped, two boxes out at 29.8) meets 3 at 0.1 and 5 at 0.5 through the face; 9 is alone.
  const std::vector<double> positions = {0.1, 1, 1, 29.8, 1, 1, 0.5, 1, 1, 5, 5, 5};
  const std::vector<std::int64_t> ids = {3, 7, 5, 9};
  std::vector<std::int64_t> labels(4), shifts(12, -1);
  const ClusterFault fault = vireo20::ups::clusters_by_distance(positions.data(), ids.data(), 4, cube(10, true), 0.45,
                                                                labels.data(), shifts.data());
  EXPECT_EQ(fault.row, -1);
  EXPECT_EQ(fault.self_image, -1);
  EXPECT_EQ(labels, (std::vector<std::int64_t>{3, 3, 3, 9}));
  EXPECT_EQ(shifts, (std::vector<std::int64_t>{0, 0, 0, -3, 0, 0, 0, 0, 0, 0, 0, 0}));
  // Not periodic: 7 is apart.
  vireo20::ups::clusters_by_distance(positions.data(), ids.data(), 4, cube(10, false), 0.45, labels.data(), shifts.data());
  EXPECT_EQ(labels, (std::vector<std::int64_t>{3, 7, 3, 9}));
}

TEST(Clusters, InABoxThinnerThanTheCutoffMeetSeveralImages)
{
  // Along z the box is 0.3 thick: 2's images lie 0.5025, 0.559 and 0.61 from 1 (z -0.05, 0.25, -0.35).
  ClusterBox box = cube(10, true);
  box.edges[2][2] = 0.3;
  const std::vector<double> positions = {1, 1, 0.0, 1.5, 1, 0.25};
  const std::vector<std::int64_t> ids = {1, 2};
  std::vector<std::int64_t> labels(2), shifts(6);
  ClusterFault fault = vireo20::ups::clusters_by_distance(positions.data(), ids.data(), 2, box, 0.52, labels.data(), shifts.data());
  EXPECT_EQ(fault.self_image, -1);
  EXPECT_EQ(labels, (std::vector<std::int64_t>{1, 1}));
  EXPECT_EQ(shifts, (std::vector<std::int64_t>{0, 0, 0, 0, 0, -1}));
  for (const double cutoff : {0.58, 0.62}) {
    // Around the box: no image is whole, so neither particle moves.
    fault = vireo20::ups::clusters_by_distance(positions.data(), ids.data(), 2, box, cutoff, labels.data(), shifts.data());
    EXPECT_EQ(fault.self_image, 0);
    EXPECT_EQ(fault.axis, 2);
    EXPECT_EQ(fault.spanning, (std::vector<std::int64_t>{1}));
    EXPECT_EQ(shifts, std::vector<std::int64_t>(6, 0));
  }
  // Neighbours count every image, a particle's own too (0.3 and 0.6 away on either side).
  const std::vector<std::int32_t> groups = {0, 1};
  std::vector<std::int64_t> neighbours(2), inner(2);
  EXPECT_EQ(vireo20::ups::neighbour_counts(positions.data(), groups.data(), 2, box, 0.62, neighbours.data(), inner.data()), -1);
  EXPECT_EQ(neighbours, (std::vector<std::int64_t>{7, 7}));
  EXPECT_EQ(inner, (std::vector<std::int64_t>{4, 4}));
}

TEST(Clusters, NameTheirBadInput)
{
  const std::vector<double> positions = {0, 0, 0, std::numeric_limits<double>::quiet_NaN(), 0, 0};
  const std::vector<std::int64_t> ids = {1, 2}, pairs = {0, 1, 1, 2}, pair_shifts = {0, 0, 0, 0, 0, 0};
  std::vector<std::int64_t> labels(2), shifts(6);
  EXPECT_EQ(vireo20::ups::clusters_by_distance(positions.data(), ids.data(), 2, cube(1, true), 0.5, labels.data(), shifts.data()).row, 1);
  EXPECT_EQ(vireo20::ups::clusters_by_pairs(pairs.data(), pair_shifts.data(), 2, ids.data(), 2, labels.data(), shifts.data()).row, 1);
  // Joined at two images: the second pair closes a ring around the box along y.
  const std::vector<std::int64_t> ring = {0, 1, 1, 0}, around = {0, 0, 0, 0, 1, 0};
  const ClusterFault fault = vireo20::ups::clusters_by_pairs(ring.data(), around.data(), 2, ids.data(), 2, labels.data(), shifts.data());
  EXPECT_EQ(fault.self_image, 1);
  EXPECT_EQ(fault.axis, 1);
  EXPECT_EQ(fault.spanning, (std::vector<std::int64_t>{1}));
  EXPECT_EQ(labels, (std::vector<std::int64_t>{1, 1}));
}

}  // namespace
