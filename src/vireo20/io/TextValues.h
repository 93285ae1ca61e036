// Whitespace-separated values of a text whatever its lines, as VTK's legacy ASCII files hold their
// arrays (nine to a line, say): read in one pass, each as Python's float() or int() reads it, or as
// C's strtof() for 32-bit reals, as VTK reads a "float" array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vireo20/Export.h"

namespace vireo20 {
namespace io {

enum class TextValueKind : std::uint8_t { skip, real64, real32, int64 };

// Reads p_Count values from p_Text into p_Out (double, float or std::int64_t by p_Kind; nothing to
// skip); the text [p_Text, p_End) ends with a newline. Answers where the last value ends, or null
// where a value is refused or the text ends first (p_Read then holds the values read).
VIREO20_API const char* read_text_values(const char* p_Text, const char* p_End, std::int64_t p_Count,
                                         TextValueKind p_Kind, void* p_Out, std::int64_t& p_Read);

// A table's separators as blanks (and, with p_DecimalComma, its decimal commas as points), in place,
// so that a CSV table's lines parse as a dump's; answers the newlines of the text. p_Separator is a
// byte value, or -1 for none.
VIREO20_API std::size_t blank_separators(char* p_Text, std::size_t p_Size, int p_Separator, bool p_DecimalComma);

// The lines of p_Words words of a text, as AtomEye's CFG files give an atom each, moved in their order
// to its front (in place, each ending with a newline), each labelled by the run of one-word lines
// before it (a mass line and an element line), blank lines passed over.
struct WordLines {
  std::size_t lines = 0;               // lines of p_Words words, now first
  std::size_t bytes = 0;               // the bytes they take
  std::vector<std::int32_t> label;     // per line: its index in `labels`, -1 where no one-word line came first
  std::vector<std::string> labels;     // each distinct run of one-word lines: their words, each after a newline
  std::int64_t odd_line = -1;          // the first line (from 0) of another word count, or -1
  std::size_t odd_words = 0;           // its word count
};

// p_Label counts the one-word lines a label takes (two in CFG); fewer or more before an atom's
// line make that line odd. The text ends with a newline.
VIREO20_API WordLines take_word_lines(char* p_Text, std::size_t p_Size, std::size_t p_Words, std::size_t p_Label);

}  // namespace io
}  // namespace vireo20
