// Groups found in a step instead of read from a column: clusters of particles closer than a cutoff
// (LAMMPS's compute cluster/atom, OVITO's cluster analysis) and clusters joined by pairs (compute
// aggregate/atom over bonds, a DEM run's agglomerates over its contacts). Each particle's label is the
// lowest id in its cluster, as LAMMPS numbers clusters. And, over the same search, each particle's
// neighbours within a cutoff (compute coord/atom).
#pragma once

#include <cstdint>
#include <vector>

#include "vireo20/Export.h"

namespace vireo20 {
namespace ups {

// The box the distances are measured in: an origin, the edge vectors a, b, c as rows (right-handed)
// and which of them are periodic. Along a periodic edge a particle meets the images of the others.
struct ClusterBox {
  double origin[3];
  double edges[3][3];
  bool periodic[3];
};

// What stood in the way of a clustering: the first particle whose position is not finite (or lies a
// billion boxes out along a periodic edge, beyond the images counted), or the first
// pair naming a row outside the particles (-1: none); and a row of the first cluster found to meet its
// own image through a periodic face, along edge `axis` (-1: none). Such a cluster spans the box and
// cannot be made whole: its label is whole, its particles' shifts 0 (they stay where they are given),
// and `spanning` holds the labels of every such cluster, ascending.
struct ClusterFault {
  std::int64_t row = -1;
  std::int64_t self_image = -1;
  int axis = -1;
  std::vector<std::int64_t> spanning;
};

// Labels p_Count particles (positions p_Positions, x y z a row, anywhere: wrapped here where the box
// is periodic) by clusters of distance: two particles whose squared distance, or that of one and an
// image of the other, is below p_Cutoff squared are in one cluster, and so is every chain of such
// pairs. p_Labels[i] is the lowest of p_Ids over i's cluster. p_Shifts (3 a row, may be null)
// receives the whole box edges that bring each particle to the image its cluster's chains reach from
// the cluster's lowest-id member, which is not moved: the cluster made whole. p_Cutoff must be finite
// and above 0.
VIREO20_API ClusterFault clusters_by_distance(const double* p_Positions, const std::int64_t* p_Ids, std::int64_t p_Count,
                                              const ClusterBox& p_Box, double p_Cutoff, std::int64_t* p_Labels,
                                              std::int64_t* p_Shifts);

// Counts each particle's neighbours closer than p_Cutoff (squared distances compared, as LAMMPS's
// compute coord/atom cutoff), through every image of the box along its periodic edges, its own images
// too: p_Neighbours[i]; and (p_Inner, may be null) those of its own group, p_Groups[i]. Returns -1, or
// the first particle whose position is not finite or lies a billion boxes out.
VIREO20_API std::int64_t neighbour_counts(const double* p_Positions, const std::int32_t* p_Groups, std::int64_t p_Count,
                                          const ClusterBox& p_Box, double p_Cutoff, std::int64_t* p_Neighbours,
                                          std::int64_t* p_Inner);

// Labels p_Count particles by clusters of pairs: the rows p_Pairs[2k], p_Pairs[2k+1] (each in
// 0..p_Count-1) are in one cluster, the second at its image p_PairShifts[3k..3k+2] box edges away
// from the first (null: the same image). p_Labels and p_Shifts (may be null) as above; a particle in
// no pair is its own cluster.
VIREO20_API ClusterFault clusters_by_pairs(const std::int64_t* p_Pairs, const std::int64_t* p_PairShifts,
                                           std::int64_t p_PairCount, const std::int64_t* p_Ids, std::int64_t p_Count,
                                           std::int64_t* p_Labels, std::int64_t* p_Shifts);

}  // namespace ups
}  // namespace vireo20
