// Rows of a table gathered by index over the cores: the built-in data set's steps are the enabled
// particles' rows of its world, and a step's masses by entry those of its masses, in a shuffled
// order. NumPy's take copies each row of three doubles
// through its generic path, one at a time (0.33 s for ten million rows, against 0.14 s here on one
// core, the reads asked for ahead).
#pragma once

#include <cstdint>

#include "vireo20/Export.h"

namespace vireo20 {
namespace ups {

// p_Out row i = p_Source row p_Index[i], rows of p_Width 8-byte items (their bits copied), for i in
// 0..p_Count-1. Returns -1, or the first i whose index is outside 0..p_Rows-1; rows with such an
// index are left as they were.
VIREO20_API std::int64_t take_rows(const std::uint64_t* p_Source, std::int64_t p_Rows, std::int64_t p_Width,
                                   const std::int64_t* p_Index, std::int64_t p_Count, std::uint64_t* p_Out);

// The first of p_Rows rows of p_Width doubles holding a value that is not finite (with p_Positive:
// not a finite number above zero), or -1. Every step checks its masses and positions so: NumPy's
// isfinite, comparison and all() made three passes and two temporaries (70 ms at ten million
// particles), this one pass over the cores.
VIREO20_API std::int64_t first_bad_row(const double* p_Values, std::int64_t p_Rows, std::int64_t p_Width, bool p_Positive);

// Each of p_Groups groups' sums, over the p_Count contacts it is an end of, of p_Scale a_i b_j for the
// tensor components xx yy zz xy xz yz (a and b a contact's rows of 3 in p_A and p_B), a contact of
// two ends in one group counted at both: for each component the bits of NumPy's bincount(first, w)
// + bincount(second, w), in one walk over the contacts where NumPy made twelve and six temporaries
// (0.5 s at two million contacts). p_Out (p_Groups rows of 6) is overwritten. Returns -1, or the first
// contact with an end outside 0..p_Groups-1 (p_Out then undefined).
VIREO20_API std::int64_t contact_end_tensors(const std::int64_t* p_First, const std::int64_t* p_Second, const double* p_A,
                                             const double* p_B, double p_Scale, std::int64_t p_Count,
                                             std::int64_t p_Groups, double* p_Out);

// p_Out row p_Line[k] += p_Sign[k] (1 where p_Sign is null) * p_Values row p_Rows[k], rows of p_Width
// doubles, for k in 0..p_Count-1 in order, p_Out's p_Lines rows zeroed first: for each column the bits
// of NumPy's bincount(line, weights=sign * values[rows][:, j]), every column of the contact lines'
// values in one walk where each took a gather, a copy and a bincount (0.3 s of six columns at two
// million contacts). Returns -1, or the first k whose row or line is out of range (p_Out then undefined).
VIREO20_API std::int64_t sum_rows_by_line(const double* p_Values, std::int64_t p_ValueRows, std::int64_t p_Width,
                                          const std::int64_t* p_Rows, const std::int32_t* p_Line, const double* p_Sign,
                                          std::int64_t p_Count, std::int64_t p_Lines, double* p_Out);

}  // namespace ups
}  // namespace vireo20
