// Dump numbers as Python reads them: the forms float() and int() take or refuse, and the exact bits
// of the values that round in hard ways. Random texts against Python itself are tested from Python.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <tuple>

#include "vireo20/io/TextValues.h"
#include "vireo20/io/numbers.h"

namespace {

using vireo20::io::parse_integer;
using vireo20::io::parse_real;
using vireo20::io::refusal;

// The value of a text as a data line holds it (a blank after it), or why it was refused.
struct Real {
  bool read;
  double value;
};

Real real(const std::string& p_Text)
{
  const std::string line = p_Text + " \n";
  double value = 0.0;
  const char* end = parse_real(line.data(), line.data() + line.size(), value);
  return Real{end == line.data() + p_Text.size(), value};
}

std::uint64_t bits(double p_Value)
{
  std::uint64_t b;
  std::memcpy(&b, &p_Value, sizeof b);
  return b;
}

TEST(Numbers, RealsAreReadAsPythonsFloatReadsThem)
{
  const struct {
    const char* text;
    std::uint64_t bits;
  } cases[] = {
      {"1.5", 0x3ff8000000000000}, {"+1.5", 0x3ff8000000000000}, {"-0", 0x8000000000000000},
      {"1e-320", 0x00000000000007e8}, {"3", 0x4008000000000000}, {".5", 0x3fe0000000000000},
      {"5.", 0x4014000000000000}, {"1E+02", 0x4059000000000000}, {"1_0.5", 0x4025000000000000},
      {"1e1_0", 0x4202a05f20000000}, {"inf", 0x7ff0000000000000}, {"-Infinity", 0xfff0000000000000},
      {"+iNf", 0x7ff0000000000000}, {"nan", 0x7ff8000000000000}, {"-nan", 0xfff8000000000000},
      {"NaN", 0x7ff8000000000000}, {"1e400", 0x7ff0000000000000}, {"-1e-400", 0x8000000000000000},
      // Halfway between two doubles, and just above: round to even, and up.
      {"9007199254740993", 0x4340000000000000}, {"9007199254740993.0000000001", 0x4340000000000001},
      {"2.2250738585072011e-308", 0x000fffffffffffff}, {"0.1", 0x3fb999999999999a},
  };
  for (const auto& c : cases) {
    const Real r = real(c.text);
    EXPECT_TRUE(r.read) << c.text;
    EXPECT_EQ(bits(r.value), c.bits) << c.text;
  }
  for (const char* text : {"", "+", "-", ".", "e5", "1e", "1e+", "+-1", "-+1", "++1", "1.5.2", "0x10", "1,5", "nan(1)",
                           "infinit", "_1", "1_", "1__0", "1_.5", "1._5", "1e_5", "i_nf", "1.5abc", "--1"}) {
    EXPECT_FALSE(real(text).read) << text;
  }
}

TEST(Numbers, IntegersAreReadAsPythonsIntReadsThemAndWholeRealsToo)
{
  const struct {
    const char* text;
    std::int64_t value;
  } cases[] = {
      {"0", 0}, {"-0", 0}, {"+7", 7}, {"007", 7}, {"1_000", 1000}, {"123456789012345678", 123456789012345678},
      {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
      {"00000000000000000000042", 42}, {"3.0", 3}, {"1.000000e+06", 1000000}, {"-2.5e1", -25}, {"9e+00", 9},
  };
  for (const auto& c : cases) {
    const std::string line = std::string(c.text) + "\t\n";
    std::int64_t value = -1;
    EXPECT_EQ(parse_integer(line.data(), value), line.data() + std::strlen(c.text)) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
  const struct {
    const char* text;
    const char* why;
  } refused[] = {
      {"3.5", "is not an integer"}, {"abc", "is not an integer"}, {"nan", "is not an integer"}, {"1_", "is not an integer"},
      {"9223372036854775808", "is beyond the 64-bit integer range"}, {"1e19", "is beyond the 64-bit integer range"},
      {"-99999999999999999999", "is beyond the 64-bit integer range"},
      // %g's six digits: 1234567 and 1000001 read back as other whole numbers.
      {"1.23457e+06", "may have lost its last digits (written with fewer significant digits than the integer has, as "
                      "printf's %g writes a number of 7 digits or more): write the column with all its digits "
                      "(dump_modify format)"},
      {"-1e+06", "may have lost its last digits (written with fewer significant digits than the integer has, as "
                 "printf's %g writes a number of 7 digits or more): write the column with all its digits "
                 "(dump_modify format)"},
  };
  for (const auto& c : refused) {
    const std::string line = std::string(c.text) + "\n";
    std::int64_t value = 0;
    EXPECT_EQ(parse_integer(line.data(), value), nullptr) << c.text;
    EXPECT_STREQ(refusal(line.data(), true), c.why) << c.text;
  }
  // Without whole reals (a timestep, a count), only int()'s own forms.
  const std::string line = "3.0\n";
  std::int64_t value = 0;
  EXPECT_EQ(parse_integer(line.data(), value, false), nullptr);
}

TEST(BlankSeparators, EightBytesAtATimeAsOneByOne)
{
  // Every byte value (high ones too, where a word's arithmetic could borrow), at every offset and length.
  std::mt19937 random(3);
  for (int round = 0; round < 300; ++round) {
    std::string text(static_cast<std::size_t>(random() % 70), '\0');
    for (char& byte : text) byte = static_cast<char>(random() % 4 ? ",;\n\t"[random() % 4] : random() % 256);
    for (const int separator : {-1, int(','), int(';'), int('\t'), 0xfe}) {
      const bool comma = separator == ';';
      std::string want = text, got = text;
      std::size_t lines = 0;
      for (char& byte : want) {
        lines += byte == '\n';
        if (static_cast<unsigned char>(byte) == separator) byte = ' ';
        if (comma && byte == ',') byte = '.';
      }
      EXPECT_EQ(vireo20::io::blank_separators(&got[0], got.size(), separator, comma), lines);
      EXPECT_EQ(got, want);
    }
  }
}

TEST(TakeWordLines, MovesTheLinesOfTheirWordCountFirstLabelledByTheLinesBefore)
{
  std::string text = "1.5 \nC\n0 0 0\n 1\t1 1 \n\n2.5\nH\n2 2 2\n1.5\nC\n3 3 3\n";
  const vireo20::io::WordLines found = vireo20::io::take_word_lines(&text[0], text.size(), 3, 2);
  EXPECT_EQ(found.odd_line, -1);
  EXPECT_EQ(text.substr(0, found.bytes), "0 0 0\n 1\t1 1 \n2 2 2\n3 3 3\n");
  EXPECT_EQ(found.label, (std::vector<std::int32_t>{0, 0, 1, 0}));
  EXPECT_EQ(found.labels, (std::vector<std::string>{"\n1.5\nC", "\n2.5\nH"}));
  // One label line, three, or another count: the line where it shows.
  for (const auto& [odd, line, words] : std::vector<std::tuple<std::string, std::int64_t, std::size_t>>{
           {"C\n0 0 0\n", 1, 3}, {"1\n2\nC\n0 0 0\n", 2, 1}, {"1\nC\n0 0\n", 2, 2}}) {
    std::string bad = odd;
    const vireo20::io::WordLines refused = vireo20::io::take_word_lines(&bad[0], bad.size(), 3, 2);
    EXPECT_EQ(refused.odd_line, line) << odd;
    EXPECT_EQ(refused.odd_words, words) << odd;
  }
}

}  // namespace
