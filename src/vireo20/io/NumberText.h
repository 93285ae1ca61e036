// Numbers written as Python's repr() writes floats: the shortest text that reads back as the same
// double, in fixed form unless its exponent is below -4 or above 15. Tables of them (the time
// averages' profile rows) are made over the cores.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "vireo20/Export.h"

namespace vireo20 {
namespace io {

// Room p_Out needs for one number.
constexpr int number_text_room = 32;

// p_Value's text without repr's ".0" after a whole number ("3", "2.5", "1e-05", "-0", "nan",
// "inf"); answers its end.
VIREO20_API char* write_number(double p_Value, char* p_Out);

// The text of a table, one line per row, made in pieces over the cores and written out in order by
// copy_to: the same text whatever the threads.
class VIREO20_API TableText {
 public:
  // The time averages' rows: two blanks, the row's number (from 1), then its p_IntColumns integers
  // and its p_RealColumns numbers (row-major), each after a blank.
  TableText(const std::int64_t* p_Ints, int p_IntColumns, const double* p_Reals, int p_RealColumns,
            std::int64_t p_Rows);
  // How a row of values is laid out: a CSV table's (commas, repr's ".0" after a whole number, NaN
  // as nothing: pandas's missing value), or a LAMMPS dump's (blanks, "nan").
  enum class Layout { csv, dump };
  // Each of p_Count rows of p_Columns values (row-major), those p_Whole marks as integers (which the
  // caller knows to be whole and within 2^53).
  TableText(const double* p_Values, const unsigned char* p_Whole, int p_Columns, std::int64_t p_Count,
            Layout p_Layout);
  std::size_t size() const;
  void copy_to(char* p_Out) const;

 private:
  // Runs p_Line(row, out) -> end over the rows, in pieces over the cores; p_Room bounds a line.
  template <typename Line>
  void fill(std::int64_t p_Rows, std::int64_t p_Room, const Line& p_Line);

  std::vector<std::unique_ptr<char[]>> m_Pieces;
  std::vector<std::size_t> m_Sizes;
};

}  // namespace io
}  // namespace vireo20
