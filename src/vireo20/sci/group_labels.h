// Group labels (a molecule or body id per particle) turned into the parent table the engine takes, in
// passes over the particles of a step: memory follows the particles, never the largest label or id.
#pragma once

#include <cstdint>

#include "vireo20/Export.h"

namespace vireo20 {
namespace ups {

// For every enabled particle with a label above 0, the member of its label with the lowest id becomes
// the parent of the others: p_Parents[member] = parent, and -1 for the parent itself. Entries of
// particles that are not enabled, or have a label of 0 or below, are left as they are. p_Ids may be
// null: the particle's index is its id. Ids must be unique.
VIREO20_API void parents_from_labels(const std::int64_t* p_Labels, const std::int64_t* p_Ids, const std::int32_t* p_Enabled,
                                     std::int64_t p_EnabledCount, std::int32_t* p_Parents);

// The position of the first value that appeared earlier in p_Values, or -1 when every value is unique.
VIREO20_API std::int64_t first_repeat(const std::int64_t* p_Values, std::int64_t p_Count);

// Numbers the distinct values of p_Keys by first occurrence: p_Labels[i] is the number of p_Keys[i], and
// p_Firsts[k] the position where value k first occurs. Returns how many distinct values there are.
VIREO20_API std::int64_t number_by_first_occurrence(const std::int64_t* p_Keys, std::int64_t p_Count, std::int32_t* p_Labels,
                                                    std::int64_t* p_Firsts);

// The lowest and highest of p_Values over the entries of each group: p_Low[g] and p_High[g] for
// g = p_Groups[i] in 0..p_GroupCount-1 (entries of other groups are skipped). Groups without entries
// keep what the arrays held. A NaN value is passed over, and a NaN held is replaced by the next
// value: started at NaN, a group ends at NaN only if all its values are NaN (NumPy's fmin, fmax).
VIREO20_API void group_extents(const std::int32_t* p_Groups, const double* p_Values, std::int64_t p_Count,
                               std::int64_t p_GroupCount, double* p_Low, double* p_High);

// Rows of p_Positions (p_Count rows of x y z) moved by whole edges of an orthogonal box (edge lengths
// p_Lengths; p_Periodic the directions that wrap) to the image nearest their anchor row's position,
// into p_Whole: shift -rint(d / L) in each periodic direction, a row with none keeping its bits, a
// moved one taking p + (s L + 0) (no -0 displacement), as the Python box's shifts and along_edges
// give them (each anchor row its own anchor, as a parent is). Then each group's lowest and highest displacement from its anchor after that, in box
// lengths, per periodic direction, folded into p_Low and p_High (3 a group) as group_extents folds.
// Groups outside 0..p_GroupCount-1 are not folded. Returns the first row whose anchor is not a row
// (nothing written), or -1.
VIREO20_API std::int64_t whole_about_anchors(const double* p_Positions, const std::int64_t* p_Anchors,
                                             const std::int32_t* p_Groups, std::int64_t p_Count,
                                             const double* p_Lengths, const bool* p_Periodic,
                                             std::int64_t p_GroupCount, double* p_Whole, double* p_Low,
                                             double* p_High);

// The entries of the lowest and the highest id of each group (a chain's two ends): p_LowAt[g] and
// p_HighAt[g] for g = p_Groups[i] in 0..p_GroupCount-1, entry i's id being p_Ids[p_Enabled[i]]
// (p_Ids null: p_Enabled[i]). Groups without entries keep -1. The caller checks the enabled list.
VIREO20_API void group_id_ends(const std::int32_t* p_Groups, const std::int32_t* p_Enabled, const std::int64_t* p_Ids,
                               std::int64_t p_Count, std::int64_t p_GroupCount, std::int64_t* p_LowAt,
                               std::int64_t* p_HighAt);

}  // namespace ups
}  // namespace vireo20
