// Grouping of a time step's enabled particles by parent id, internal to libvireo20: the engine's setup
// calls it once per step and keeps what it builds.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace vireo20 {
namespace ups {

using ParentRange = std::pair<std::int32_t, std::int32_t>;

// Groups positions 0..p_EnabledCount-1 of p_Enabled by parent id (parents[p] when >= 0, else p itself).
// On success p_Ranges holds one (first, count) block per distinct parent, in order of first occurrence,
// tiling p_Positions, whose positions ascend within each block. Returns false, leaving both vectors
// cleared, when an entry is outside 0..p_ParticleCount-1 or names a parent outside it: the caller then
// finds the first such entry the slow way to word its refusal.
// p_Threads 0 picks the thread count; any count gives the same result, bit for bit.
bool group_by_parent(const std::int32_t* p_Parents, std::uint64_t p_ParticleCount, const std::int32_t* p_Enabled,
                     std::int32_t p_EnabledCount, std::vector<ParentRange>& p_Ranges,
                     std::vector<std::int32_t>& p_Positions, unsigned p_Threads = 0);

// The inverse of a grouping: p_Labels[i] becomes the block (upscaled particle) of enabled position i,
// for every position the blocks hold.
void label_positions(const std::vector<ParentRange>& p_Ranges, const std::vector<std::int32_t>& p_Positions,
                     std::int32_t* p_Labels, unsigned p_Threads = 0);

}  // namespace ups
}  // namespace vireo20
