// A step's contacts re-addressed to its upscaled particles in one walk over them: each end's upscaled
// particle, the contacts of ids no particle has, each upscaled particle's contact counts, and the lines
// between different upscaled particles numbered as they first occur. NumPy's form made a dozen passes
// and as many temporaries of the contacts (1.2 s at two million contacts of a million particles).
#pragma once

#include <cstdint>

#include "vireo20/Export.h"

namespace vireo20 {
namespace ups {

// Value of an id in the ends table that no particle has.
constexpr std::int32_t no_particle = -2;

struct ContactLineCounts {
  std::int64_t unknown = 0;  // contacts whose first id, or a particle contact's second, names no particle
  std::int64_t kept = 0;     // particle contacts between two different upscaled particles
  std::int64_t lines = 0;    // distinct pairs of upscaled particles among them
};

// p_Ends[v - p_IdLow], for an id v in p_IdLow .. p_IdLow + p_IdSpan - 1, is the upscaled particle
// (0 .. p_Groups - 1) of the particle with id v, -1 for a particle in none, no_particle for an id no
// particle has; ids outside the span name no particle. Contact i joins ids p_First[i] and p_Second[i];
// p_Kinds[i] 0 (or p_Kinds null) for two particles, else a particle and a wall. Writes:
// - p_A[i], p_B[i]: the upscaled particles of its ends, -1 for none;
// - for the kept contacts in order (particle contacts of two ends a != b): p_Kept[k] = i, and p_Line[k]
//   the number of the pair {min(a, b), max(a, b)} by first occurrence; p_LineFirst[l] the k of line l's first;
// - where not null (p_Groups each, added to): p_Inside[a] for a particle contact with both ends in a,
//   p_Outside[a] and p_Outside[b] for a kept one, p_Wall[a] for a wall contact.
// p_Kept, p_Line and p_LineFirst hold p_Count entries. Fails (std::length_error) beyond 2^31 - 1 kept contacts.
VIREO20_API ContactLineCounts contact_lines(const std::int64_t* p_First, const std::int64_t* p_Second,
                                            const std::int64_t* p_Kinds, std::int64_t p_Count, const std::int32_t* p_Ends,
                                            std::int64_t p_IdLow, std::int64_t p_IdSpan, std::int64_t p_Groups,
                                            std::int64_t* p_A, std::int64_t* p_B, std::int64_t* p_Kept,
                                            std::int32_t* p_Line, std::int64_t* p_LineFirst, std::int64_t* p_Inside,
                                            std::int64_t* p_Outside, std::int64_t* p_Wall);

}  // namespace ups
}  // namespace vireo20
