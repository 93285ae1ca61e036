// The numbers' digits come from std::to_chars (shortest round trip, as Python's repr), laid out by
// CPython's rules for repr: fixed where the decimal point falls within -4 < point <= 16 of the
// digits, else "d.ddde+XX" with at least two exponent digits.
#include "vireo20/io/NumberText.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include "vireo20/sci/parallel.h"

namespace vireo20 {
namespace io {

char* write_number(double p_Value, char* p_Out)
{
  if (std::isnan(p_Value)) return static_cast<char*>(std::memcpy(p_Out, "nan", 3)) + 3;
  if (std::isinf(p_Value)) {
    if (p_Value < 0) *p_Out++ = '-';
    return static_cast<char*>(std::memcpy(p_Out, "inf", 3)) + 3;
  }
  char scientific[number_text_room];
  const std::to_chars_result written =
      std::to_chars(scientific, scientific + sizeof scientific, p_Value, std::chars_format::scientific);
  const char* text = scientific;
  if (*text == '-') *p_Out++ = *text++;
  // "d.ddde+XX": the digits without their point, and the exponent.
  char digits[24];
  int count = 0;
  const char* at = text;
  for (; *at != 'e'; ++at) {
    if (*at != '.') digits[count++] = *at;
  }
  int exponent = 0;
  std::from_chars(at + (at[1] == '+' ? 2 : 1), written.ptr, exponent);
  const int point = exponent + 1;  // digits[0 .. point) come before the decimal point
  if (point <= -4 || point > 16) {
    *p_Out++ = digits[0];
    if (count > 1) {
      *p_Out++ = '.';
      p_Out = static_cast<char*>(std::memcpy(p_Out, digits + 1, static_cast<std::size_t>(count - 1))) + count - 1;
    }
    *p_Out++ = 'e';
    *p_Out++ = exponent < 0 ? '-' : '+';
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) *p_Out++ = '0';
    return std::to_chars(p_Out, p_Out + 4, magnitude).ptr;
  }
  if (point <= 0) {
    *p_Out++ = '0';
    *p_Out++ = '.';
    for (int k = point; k < 0; ++k) *p_Out++ = '0';
    return static_cast<char*>(std::memcpy(p_Out, digits, static_cast<std::size_t>(count))) + count;
  }
  if (point >= count) {
    p_Out = static_cast<char*>(std::memcpy(p_Out, digits, static_cast<std::size_t>(count))) + count;
    for (int k = count; k < point; ++k) *p_Out++ = '0';
    return p_Out;
  }
  p_Out = static_cast<char*>(std::memcpy(p_Out, digits, static_cast<std::size_t>(point))) + point;
  *p_Out++ = '.';
  const int after = count - point;
  return static_cast<char*>(std::memcpy(p_Out, digits + point, static_cast<std::size_t>(after))) + after;
}

template <typename Line>
void TableText::fill(std::int64_t p_Rows, std::int64_t p_Room, const Line& p_Line)
{
  // Pieces are left unfilled until written: a table of a million rows is tens of megabytes, whose
  // clearing and copying cost more than the formatting itself.
  constexpr std::int64_t rows_a_piece = 1 << 14;
  const std::int64_t pieces = (p_Rows + rows_a_piece - 1) / rows_a_piece;
  m_Pieces.resize(static_cast<std::size_t>(pieces));
  m_Sizes.resize(static_cast<std::size_t>(pieces));
  ups::share_out(ups::thread_count(), static_cast<std::int32_t>(pieces), [&](unsigned, std::int32_t p_Piece) {
    const std::int64_t first = p_Piece * rows_a_piece;
    const std::int64_t last = std::min(p_Rows, first + rows_a_piece);
    std::unique_ptr<char[]>& text = m_Pieces[static_cast<std::size_t>(p_Piece)];
    text.reset(new char[static_cast<std::size_t>((last - first) * p_Room)]);
    char* out = text.get();
    for (std::int64_t row = first; row < last; ++row) out = p_Line(row, out);
    m_Sizes[static_cast<std::size_t>(p_Piece)] = static_cast<std::size_t>(out - text.get());
  });
}

TableText::TableText(const std::int64_t* p_Ints, int p_IntColumns, const double* p_Reals, int p_RealColumns,
                     std::int64_t p_Rows)
{
  const std::int64_t room =
      2 + 21 + std::int64_t(p_IntColumns) * 22 + std::int64_t(p_RealColumns) * (number_text_room + 1) + 1;
  fill(p_Rows, room, [&](std::int64_t p_Row, char* p_Out) {
    *p_Out++ = ' ';
    *p_Out++ = ' ';
    p_Out = std::to_chars(p_Out, p_Out + 21, p_Row + 1).ptr;
    for (int k = 0; k < p_IntColumns; ++k) {
      *p_Out++ = ' ';
      p_Out = std::to_chars(p_Out, p_Out + 21, p_Ints[p_Row * p_IntColumns + k]).ptr;
    }
    for (int k = 0; k < p_RealColumns; ++k) {
      *p_Out++ = ' ';
      p_Out = write_number(p_Reals[p_Row * p_RealColumns + k], p_Out);
    }
    *p_Out++ = '\n';
    return p_Out;
  });
}

TableText::TableText(const double* p_Values, const unsigned char* p_Whole, int p_Columns, std::int64_t p_Count,
                     Layout p_Layout)
{
  const bool csv = p_Layout == Layout::csv;
  const std::int64_t room = std::int64_t(p_Columns) * (number_text_room + 3) + 1;
  fill(p_Count, room, [&](std::int64_t p_Row, char* p_Out) {
    const double* values = p_Values + p_Row * p_Columns;
    for (int k = 0; k < p_Columns; ++k) {
      if (k > 0) *p_Out++ = csv ? ',' : ' ';
      if (csv && std::isnan(values[k])) continue;
      if (p_Whole[k] && std::isfinite(values[k])) {
        p_Out = std::to_chars(p_Out, p_Out + 21, static_cast<std::int64_t>(values[k])).ptr;
        continue;
      }
      char* const start = p_Out;
      p_Out = write_number(values[k], p_Out);
      // repr's ".0" after a whole number, so that a column of them reads back as floats.
      if (csv && std::isfinite(values[k]) &&
          std::find_if(start, p_Out, [](char c) { return c == '.' || c == 'e'; }) == p_Out) {
        *p_Out++ = '.';
        *p_Out++ = '0';
      }
    }
    *p_Out++ = '\n';
    return p_Out;
  });
}

std::size_t TableText::size() const
{
  std::size_t total = 0;
  for (const std::size_t size : m_Sizes) total += size;
  return total;
}

void TableText::copy_to(char* p_Out) const
{
  for (std::size_t k = 0; k < m_Pieces.size(); ++k) {
    std::memcpy(p_Out, m_Pieces[k].get(), m_Sizes[k]);
    p_Out += m_Sizes[k];
  }
}

}  // namespace io
}  // namespace vireo20
