// LAMMPS text dumps read frame by frame: headers line by line, data lines in windows of whole lines,
// each window counted and then parsed over the cores by line ranges; and the frame index of a plain
// dump.
#include "vireo20/io/DumpReader.h"

#include <string.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "vireo20/io/ByteSource.h"
#include "vireo20/io/DumpError.h"
#include "vireo20/io/numbers.h"
#include "vireo20/sci/parallel.h"

namespace vireo20 {
namespace io {
namespace {

// Windows smaller than two of these are parsed on the calling thread: starting threads costs more.
constexpr std::size_t chunk_bytes = std::size_t(256) << 10;

bool is_space(char p_Char) { return ends_value(p_Char); }

std::string_view trimmed(const char* p_Begin, const char* p_End)
{
  while (p_End > p_Begin && is_space(p_End[-1])) --p_End;
  while (p_Begin < p_End && is_space(*p_Begin)) ++p_Begin;
  return std::string_view(p_Begin, static_cast<std::size_t>(p_End - p_Begin));
}

bool starts_with(std::string_view p_Text, std::string_view p_Prefix)
{
  return p_Text.substr(0, p_Prefix.size()) == p_Prefix;
}

// Text quoted for a message: at most 60 characters, bytes that are not printable as \xNN.
std::string quoted(std::string_view p_Text)
{
  static const char hex[] = "0123456789abcdef";
  std::string text = "'";
  for (std::size_t k = 0; k < p_Text.size() && k < 60; ++k) {
    const unsigned char c = static_cast<unsigned char>(p_Text[k]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      text += static_cast<char>(c);
    } else {
      text += "\\x";
      text += hex[c >> 4];
      text += hex[c & 15];
    }
  }
  return text + (p_Text.size() > 60 ? "...'" : "'");
}

std::string_view value_at(const char* p_Value)
{
  return std::string_view(p_Value, static_cast<std::size_t>(value_end(p_Value) - p_Value));
}

// A header value as int() reads it (no reals).
bool header_integer(std::string_view p_Text, std::int64_t& p_Value)
{
  if (p_Text.empty() || p_Text.size() > 400) return false;
  std::string copy(p_Text);
  copy += '\n';
  return parse_integer(copy.data(), p_Value, false) == copy.data() + p_Text.size();
}

// A header value as float() reads it.
bool header_real(std::string_view p_Text, double& p_Value)
{
  if (p_Text.empty() || p_Text.size() > 400) return false;
  std::string copy(p_Text);
  copy += '\n';
  return parse_real(copy.data(), copy.data() + copy.size(), p_Value) == copy.data() + p_Text.size();
}

// Whether p_Word is the data item a dump local's count item announces: "NUMBER OF BONDS" for BONDS.
bool is_local_label(std::string_view p_Word, std::string_view p_CountItem)
{
  constexpr std::string_view number_of = "NUMBER OF ";
  return starts_with(p_CountItem, number_of) && p_CountItem.substr(number_of.size()) == p_Word && p_Word != "ATOMS";
}

struct LineCount {
  std::int64_t lines = 0;
  std::int64_t item_line = -1;  // the first line that starts an ITEM: the frame has fewer data lines
};

std::int64_t count_newlines(const char* p_Begin, const char* p_End)
{
  std::int64_t count = 0;
#ifdef __SSE2__
  // Sixteen bytes at a time, each match subtracting -1 from its byte lane, lanes summed every 255 rounds.
  const __m128i newline = _mm_set1_epi8('\n');
  while (p_End - p_Begin >= 16) {
    __m128i lanes = _mm_setzero_si128();
    for (int round = 0; round < 255 && p_End - p_Begin >= 16; ++round, p_Begin += 16) {
      lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p_Begin)), newline));
    }
    const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    count += _mm_cvtsi128_si64(sums) + _mm_extract_epi16(sums, 4);
  }
#endif
  for (; p_Begin < p_End; ++p_Begin) count += *p_Begin == '\n';
  return count;
}

// Chunks start at line starts; "I" is rare in numbers (only in "inf"), so memchr strides over them.
void count_lines(const char* p_Begin, const char* p_End, LineCount& p_Count)
{
  p_Count.lines = count_newlines(p_Begin, p_End);
  for (const char* c = static_cast<const char*>(std::memchr(p_Begin, 'I', static_cast<std::size_t>(p_End - p_Begin)));
       c != nullptr; c = static_cast<const char*>(std::memchr(c + 1, 'I', static_cast<std::size_t>(p_End - c - 1)))) {
    if ((c == p_Begin || c[-1] == '\n') && p_End - c >= 5 && std::memcmp(c, "ITEM:", 5) == 0) {
      p_Count.item_line = count_newlines(p_Begin, c);
      return;
    }
  }
}

enum class Fault { none, bad_value, too_few, too_many };

struct LineFault {
  std::int64_t row = -1;
  Fault fault = Fault::none;
  int column = 0;
  const char* line = nullptr;
  const char* value = nullptr;
};

// A label's text into its row, NUL-padded; null where it is too long.
const char* copy_label(const char* p_Text, const char* p_End, const ColumnTarget& p_Target, std::int64_t p_Row)
{
  const std::int64_t size = p_End - p_Text;
  if (size > label_bytes) return nullptr;
  char* into = static_cast<char*>(p_Target.base) + p_Row * p_Target.stride * label_bytes;
  std::memcpy(into, p_Text, static_cast<std::size_t>(size));
  std::memset(into + size, 0, static_cast<std::size_t>(label_bytes - size));
  return p_End;
}

// The hot loop: one line after another, one value after another, each to its column's target.
void parse_lines(const char* p_Text, const char* p_End, std::int64_t p_Row, const ColumnTarget* p_Targets,
                 int p_Columns, LineFault& p_Fault)
{
  while (p_Text < p_End) {
    const char* line = p_Text;
    for (int column = 0; column < p_Columns; ++column) {
      while (is_blank(*p_Text)) ++p_Text;
      if (*p_Text == '\n') {
        p_Fault = LineFault{p_Row, Fault::too_few, column, line, p_Text};
        return;
      }
      const ColumnTarget& target = p_Targets[column];
      const char* next;
      switch (target.kind) {
        case ValueKind::real: {
          double value;
          next = parse_real(p_Text, p_End, value);
          if (next != nullptr) static_cast<double*>(target.base)[p_Row * target.stride] = value;
          break;
        }
        case ValueKind::integer: {
          std::int64_t value;
          next = parse_integer(p_Text, value);
          if (next != nullptr) static_cast<std::int64_t*>(target.base)[p_Row * target.stride] = value;
          break;
        }
        default:
          next = value_end(p_Text);
          // Labels go with the columns passed over: the numbers' cases stay as they were.
          if (target.kind == ValueKind::label) next = copy_label(p_Text, next, target, p_Row);
      }
      if (next == nullptr) {
        p_Fault = LineFault{p_Row, Fault::bad_value, column, line, p_Text};
        return;
      }
      p_Text = next;
    }
    while (is_blank(*p_Text)) ++p_Text;
    if (*p_Text != '\n') {
      p_Fault = LineFault{p_Row, Fault::too_many, p_Columns, line, p_Text};
      return;
    }
    ++p_Text;
    ++p_Row;
  }
}

// Where the chunks of [p_Begin, p_End) that threads parse start (each at a line start), and its end.
template <class Char>
std::vector<Char*> line_chunks(Char* p_Begin, Char* p_End, unsigned p_Threads)
{
  const std::size_t bytes = static_cast<std::size_t>(p_End - p_Begin);
  const std::size_t chunks =
      bytes < 2 * chunk_bytes ? 1 : std::min<std::size_t>(std::size_t(p_Threads) * 4, bytes / chunk_bytes);
  std::vector<Char*> starts(chunks + 1, p_End);
  starts[0] = p_Begin;
  for (std::size_t k = 1; k < chunks; ++k) {
    Char* at = std::max(starts[k - 1], p_Begin + bytes / chunks * k);
    Char* newline =
        at < p_End ? static_cast<Char*>(std::memchr(at, '\n', static_cast<std::size_t>(p_End - at))) : nullptr;
    starts[k] = newline != nullptr ? newline + 1 : p_End;
  }
  return starts;
}

int values_on_line(const char* p_Line)
{
  int values = 0;
  for (;;) {
    while (is_blank(*p_Line)) ++p_Line;
    if (*p_Line == '\n') return values;
    p_Line = value_end(p_Line);
    ++values;
  }
}

}  // namespace

struct DumpReader::Impl {
  enum class Phase { between_frames, data, stopped };

  Impl(const std::string& p_Path, std::string p_Section, std::int64_t p_Offset, unsigned p_Threads)
      : path(p_Path), source(ByteSource::open(p_Path, p_Offset)), section(std::move(p_Section)),
        threads(p_Threads ? p_Threads : ups::thread_count()), offset(p_Offset)
  {
  }

  std::string path;
  std::unique_ptr<ByteSource> source;
  std::string section;
  unsigned threads;
  Block block;
  char* pos = nullptr;  // the unread text of the block: [pos, end)
  char* end = nullptr;
  std::int64_t offset;  // of pos in the whole text
  bool ended = false;   // the text has ended: pos..end is all there is
  std::int64_t line_start = 0;  // of the line line() read last, in the whole text
  Phase phase = Phase::between_frames;
  FrameHeader header;

  void advance(char* p_To)
  {
    offset += p_To - pos;
    pos = p_To;
  }

  // Brings in the next piece of text behind the unread rest of this one. False at the end.
  bool more()
  {
    Block fresh = source->next();
    if (!fresh) {
      ended = true;
      return false;
    }
    const std::size_t rest = static_cast<std::size_t>(end - pos);
    char* start = fresh.text() - rest;
    if (rest > fresh.headroom()) {
      Block joined(fresh.headroom(), rest + fresh.size());
      std::memcpy(joined.text() + rest, fresh.text(), fresh.size());
      joined.set_size(rest + fresh.size());
      source->recycle(std::move(fresh));
      fresh = std::move(joined);
      start = fresh.text();
    }
    if (rest > 0) std::memcpy(start, pos, rest);
    if (block) source->recycle(std::move(block));
    block = std::move(fresh);
    pos = start;
    end = block.text() + block.size();
    return true;
  }

  // The next line without its blanks at either end, and where its text starts. False at the end.
  bool line(std::string& p_Text, std::int64_t& p_At)
  {
    for (;;) {
      char* newline = pos != end ? static_cast<char*>(std::memchr(pos, '\n', static_cast<std::size_t>(end - pos))) : nullptr;
      if (newline != nullptr || !more()) {
        if (newline == nullptr && pos == end) return false;
        char* line_end = newline != nullptr ? newline : end;
        const std::string_view text = trimmed(pos, line_end);
        p_Text.assign(text.data(), text.size());
        p_At = offset + (text.data() - pos);
        line_start = offset;
        advance(newline != nullptr ? newline + 1 : end);
        return true;
      }
    }
  }

  // The line of the whole text (from 1) that starts at p_At. Counted again from the start, on the
  // error's path alone, so that reading pays nothing for it.
  std::int64_t line_at(std::int64_t p_At) const
  {
    const std::unique_ptr<ByteSource> again = ByteSource::open(path, 0);
    std::int64_t line = 1;
    for (std::int64_t done = 0; done < p_At;) {
      Block piece = again->next();
      if (!piece) break;
      const std::int64_t take = std::min(static_cast<std::int64_t>(piece.size()), p_At - done);
      line += count_newlines(piece.text(), piece.text() + take);
      done += take;
      again->recycle(std::move(piece));
    }
    return line;
  }

  // Where in a problem's words the line number goes, if not at their end.
  static constexpr char line_mark = '\x01';

  // p_Truncated: the text ends inside the frame: a plain file's bytes cut short, or a dump cut short
  // and then compressed whole; either way the frames before are whole. p_At: where the line at
  // fault starts in the whole text, for its number in the message (at line_mark).
  [[noreturn]] void fail(const std::string& p_Item, const std::string& p_Problem, bool p_Truncated = false,
                         std::int64_t p_At = -1)
  {
    phase = Phase::stopped;
    // A damaged stream can make any frame look malformed: it is named instead, whatever frame it hit.
    source->check_rest();
    // So can a stream cut short, in the frame it ends in.
    const bool cut = ended && !source->ended_cleanly();
    std::string number;
    if (p_At >= 0 && !cut) {
      try {
        number = " (line " + std::to_string(line_at(p_At)) +
                 (source->compressed() ? " of the inflated text)" : " of the file)");
      } catch (const std::exception&) {
        // The file went away or changed meanwhile: the message goes without its line number.
      }
    }
    std::string problem = p_Problem;
    const std::size_t mark = problem.find(line_mark);
    problem.replace(mark == std::string::npos ? problem.size() : mark, mark == std::string::npos ? 0 : 1, number);
    DumpError error(cut ? section : p_Item, cut ? "the compressed file is damaged or cut short "
                                                  "(its compressed stream ends inside this frame)"
                                                : problem);
    if (cut || p_Truncated) error.cut_short();
    if (header.has_timestep) error.set_timestep(header.timestep);
    throw error;
  }

  std::string value_line(const std::string& p_Item)
  {
    std::string text;
    std::int64_t at = 0;
    if (!line(text, at)) fail(p_Item, "truncated: the file ends where a value was expected", true);
    if (text.empty() || starts_with(text, "ITEM:")) {
      fail(p_Item, "the next item starts where a value was expected", false, line_start);
    }
    return text;
  }

  bool read_header()
  {
    header = FrameHeader();
    std::string text;
    std::int64_t at = 0;
    do {
      if (!line(text, at)) {
        if (!source->ended_cleanly()) {
          phase = Phase::stopped;
          throw DumpError::whole_file("the compressed file is cut short: its stream ends before its end, "
                                      "so its checksum cannot be checked").cut_short();
        }
        return false;
      }
    } while (text.empty());
    phase = Phase::stopped;  // until the header is whole
    header.offset = at;
    // dump_modify units/time yes: UNITS (in the first frame) and TIME come ahead of the step.
    std::string time;
    std::int64_t time_line = -1;
    while (text == "ITEM: UNITS" || text == "ITEM: TIME") {
      const std::string item = text.substr(6);
      const std::string value = value_line(item);
      if (item == "TIME") {
        time = value;
        time_line = line_start;
      }
      do {
        if (!line(text, at)) {
          fail("TIMESTEP", "truncated: the file ends before the frame's 'ITEM: TIMESTEP' line", true);
        }
      } while (text.empty());
    }
    if (text != "ITEM: TIMESTEP") {
      fail("TIMESTEP", "expected 'ITEM: TIMESTEP', found " + quoted(text), false, line_start);
    }
    const std::string step = value_line("TIMESTEP");
    if (!header_integer(step, header.timestep)) {
      fail("TIMESTEP", quoted(step) + " is not a step number", false, line_start);
    }
    header.has_timestep = true;
    if (!time.empty() && !(header.has_time = header_real(time, header.time)))
      fail("TIME", quoted(time) + " is not a time", false, time_line);
    bool counted = false;
    for (;;) {
      if (!line(text, at)) {
        fail(section, "truncated: the file ends before the frame's 'ITEM: " + section + "' line", true);
      }
      if (text.empty()) continue;
      if (!starts_with(text, "ITEM: ")) {
        fail(section, "unexpected line " + quoted(text) + " in the frame's header", false, line_start);
      }
      const std::string item(trimmed(text.data() + 6, text.data() + text.size()));
      std::string word = item.substr(0, item.find_first_of(" \t"));
      if (starts_with(item, "NUMBER OF")) {
        header.count_item = item;
        const std::string count = value_line(item);
        if (!header_integer(count, header.count) || header.count < 0) {
          fail(item, quoted(count) + " is not a count", false, line_start);
        }
        counted = true;
      } else if (starts_with(item, "BOX BOUNDS")) {
        header.box_item = item;
        for (int k = 0; k < 3; ++k) header.box_lines.push_back(value_line(item));
      } else if (word == "ATOMS" || word == "ENTRIES" || (counted && is_local_label(word, header.count_item))) {
        // dump_modify label names a dump local's data item (ITEM: NUMBER OF BONDS, ITEM: BONDS ...).
        if (word != "ATOMS") word = "ENTRIES";
        if (word != section) {
          fail(word, "expected 'ITEM: " + section + "' (" + (section == "ATOMS" ? "an atom dump" : "a dump local") +
                         "), found 'ITEM: " + word + "'" +
                         (section == "ATOMS" ? " (a dump local goes beside its atom dump, or after --contacts)" : ""),
               false, line_start);
        }
        if (!counted) fail(section, "no 'ITEM: NUMBER OF ...' line before the data lines", false, line_start);
        header.section = word;
        const char* c = item.data() + word.size();
        for (;;) {
          while (is_space(*c)) ++c;
          if (*c == '\0') break;
          const char* name = c;
          while (*c != '\0' && !is_space(*c)) ++c;
          header.columns.emplace_back(name, c);
        }
        phase = Phase::data;
        return true;
      } else if (word == "TIMESTEP") {
        fail(section, "the frame has no 'ITEM: " + section + "' line before the next 'ITEM: TIMESTEP'", false,
             line_start);
      } else {
        value_line(item);  // TIME, UNITS and the other items of one value
      }
    }
  }

  // Where a window of whole lines ends, about as long as the lines still wanted (a piece may hold
  // many small frames, and counting all of its lines for each would cost); null when the piece holds
  // no whole line.
  char* window_end(std::int64_t p_Remaining, std::int64_t p_RowsDone, std::int64_t p_BytesDone) const
  {
    if (pos == end) return nullptr;
    const std::size_t available = static_cast<std::size_t>(end - pos);
    char* first = static_cast<char*>(std::memchr(pos, '\n', available));
    if (first == nullptr) return nullptr;
    const double per_line = p_RowsDone > 0 ? double(p_BytesDone) / double(p_RowsDone) : double(first + 1 - pos);
    const double wanted = double(p_Remaining) * per_line * 1.1 + 4096.0;
    const std::size_t size = wanted < double(available) ? static_cast<std::size_t>(wanted) : available;
    char* last = static_cast<char*>(::memrchr(pos, '\n', size));
    return last != nullptr && last >= first ? last + 1 : first + 1;
  }

  std::string count_problem(std::int64_t p_Lines) const
  {
    return "the frame has " + std::to_string(p_Lines) + " data lines where 'ITEM: " + header.count_item + "' says " +
           std::to_string(header.count);
  }

  // A blank line where data line p_Row + 1 should be: the file ends (cut short), the next frame
  // starts (a count too large), or data goes on after it.
  [[noreturn]] void explain_blank_line(char* p_Line, std::int64_t p_Row)
  {
    advance(p_Line);
    const std::int64_t blank_line = offset;
    for (;;) {
      while (pos < end && is_space(*pos)) advance(pos + 1);
      if (end - pos >= 5) break;
      if (!more()) break;
    }
    if (pos == end) {
      fail(section, "truncated: " + std::to_string(p_Row) + " of " + std::to_string(header.count) + " lines", true);
    }
    if (std::memcmp(pos, "ITEM:", std::min<std::size_t>(5, static_cast<std::size_t>(end - pos))) == 0) {
      fail(header.count_item, count_problem(p_Row), false, offset);
    }
    fail(section, "data line " + std::to_string(p_Row + 1) + line_mark + " is blank", false, blank_line);
  }

  [[noreturn]] void explain(const LineFault& p_Fault, const ColumnTarget* p_Targets)
  {
    const std::string line_number = std::to_string(p_Fault.row + 1);
    const std::string columns = std::to_string(header.columns.size());
    const std::int64_t at = offset + (p_Fault.line - pos);  // the lines read start at pos
    if (p_Fault.fault == Fault::bad_value) {
      const ValueKind kind = p_Targets[p_Fault.column].kind;
      std::string problem = "is longer than " + std::to_string(label_bytes) + " characters, too long for a label";
      if (kind != ValueKind::label) problem = refusal(p_Fault.value, kind == ValueKind::integer);
      fail(header.columns[static_cast<std::size_t>(p_Fault.column)],
           "value " + quoted(value_at(p_Fault.value)) + " on data line " + line_number + line_mark + " " + problem,
           false, at);
    }
    const int values = values_on_line(p_Fault.line);
    if (values == 0) explain_blank_line(const_cast<char*>(p_Fault.line), p_Fault.row);
    fail(section,
         "data line " + line_number + line_mark + " has " + std::to_string(values) +
             " values where the header names " + columns + " columns",
         false, at);
  }

  // Reads up to p_Wanted lines of [p_Begin, p_End) as rows p_FirstRow on; answers where the lines
  // read end, and their number in p_Taken. p_Begin is pos.
  char* read_lines(char* p_Begin, char* p_End, std::int64_t p_FirstRow, std::int64_t p_Wanted,
                   const ColumnTarget* p_Targets, std::int64_t& p_Taken)
  {
    const std::vector<char*> starts = line_chunks(p_Begin, p_End, threads);
    const std::size_t chunks = starts.size() - 1;
    const unsigned team = chunks > 1 ? threads : 1;
    std::vector<LineCount> counts(chunks);
    ups::share_out(team, static_cast<std::int32_t>(chunks),
                   [&](unsigned, std::int32_t p_Chunk) {
                     count_lines(starts[p_Chunk], starts[p_Chunk + 1], counts[p_Chunk]);
                   });

    // Rows before each chunk; the lines to take stop at the wanted count or at an ITEM line.
    std::vector<std::int64_t> before(chunks + 1, 0);
    std::int64_t item_line = -1;
    for (std::size_t k = 0; k < chunks; ++k) {
      if (item_line < 0 && counts[k].item_line >= 0) item_line = before[k] + counts[k].item_line;
      before[k + 1] = before[k] + counts[k].lines;
    }
    std::int64_t taken = std::min(p_Wanted, before[chunks]);
    const bool short_frame = item_line >= 0 && item_line < taken;
    if (short_frame) taken = item_line;
    char* stop = p_End;
    std::size_t used = chunks;
    if (taken < before[chunks]) {
      used = 0;
      while (before[used + 1] < taken) ++used;
      stop = starts[used];
      for (std::int64_t k = before[used]; k < taken; ++k) {
        stop = static_cast<char*>(std::memchr(stop, '\n', static_cast<std::size_t>(p_End - stop))) + 1;
      }
      if (before[used] < taken) ++used;
    }

    if (p_Targets != nullptr && taken > 0) {
      std::vector<LineFault> faults(used);
      const int columns = static_cast<int>(header.columns.size());
      ups::share_out(used > 1 ? team : 1, static_cast<std::int32_t>(used), [&](unsigned, std::int32_t p_Chunk) {
        parse_lines(starts[p_Chunk], std::min(starts[p_Chunk + 1], stop), p_FirstRow + before[p_Chunk], p_Targets, columns,
                    faults[p_Chunk]);
      });
      for (const LineFault& fault : faults) {
        if (fault.fault != Fault::none) explain(fault, p_Targets);
      }
    }
    if (short_frame) {
      fail(header.count_item, count_problem(p_FirstRow + taken), false, offset + (stop - p_Begin));
    }
    p_Taken = taken;
    return stop;
  }

  void read_data(const ColumnTarget* p_Targets)
  {
    const std::int64_t wanted = header.count;
    std::int64_t rows = 0;
    std::int64_t bytes = 0;
    const std::string truncated = " of " + std::to_string(wanted) + " lines";
    while (rows < wanted) {
      std::int64_t taken = 0;
      if (char* window = window_end(wanted - rows, rows, bytes)) {
        char* after = read_lines(pos, window, rows, wanted - rows, p_Targets, taken);
        bytes += after - pos;
        rows += taken;
        advance(after);
        continue;
      }
      if (more()) continue;
      if (pos == end) fail(section, "truncated: " + std::to_string(rows) + truncated, true);
      // The text ends without a newline: a last value with nothing after it may have been cut, and
      // a line short of values was.
      *end = '\n';
      const bool full = values_on_line(pos) >= static_cast<int>(header.columns.size());
      if (!is_blank(end[-1]) || !full) {
        // A script's "\n".join leaves a whole file so too: the hint tells that user the one-byte fix.
        fail(section,
             "truncated: the file ends inside data line " + std::to_string(rows + 1) + truncated +
                 (full ? "; its values are all there but no newline ends it: if the file is whole, end it with one" : ""),
             true);
      }
      read_lines(pos, end + 1, rows, wanted - rows, p_Targets, taken);
      rows += taken;
      advance(end);
      if (rows < wanted) fail(section, "truncated: " + std::to_string(rows) + truncated, true);
    }
    after_data();
  }

  // After the data lines: blanks, then the next frame or the end of the text.
  void after_data()
  {
    for (;;) {
      while (pos < end && is_space(*pos)) advance(pos + 1);
      if (end - pos >= 5 || !more()) break;
    }
    if (pos != end && *pos == '\0') {
      fail(section,
           std::string("zero bytes follow the frame's data lines") + line_mark +
               ", and text follows them: the zeros a crash leaves where a file was being written, and a run "
               "appending to it after?",
           false, offset);
    }
    if (pos != end && (end - pos < 5 || std::memcmp(pos, "ITEM:", 5) != 0)) {
      fail(header.count_item,
           "the frame has more data lines than the " + std::to_string(header.count) + " that 'ITEM: " +
               header.count_item + "' announces",
           false, offset);
    }
    phase = Phase::between_frames;
  }

  void expect(Phase p_Phase, const char* p_Call) const
  {
    if (phase == Phase::stopped) throw std::logic_error(std::string(p_Call) + ": the reader stopped at an error");
    if (phase != p_Phase) throw std::logic_error(std::string(p_Call) + ": no frame header has been read");
  }
};

DumpReader::DumpReader(const std::string& p_Path, std::string p_Section, std::int64_t p_Offset, unsigned p_Threads)
    : m_Impl(std::make_unique<Impl>(p_Path, std::move(p_Section), p_Offset, p_Threads))
{
}

DumpReader::~DumpReader() = default;

bool DumpReader::next_header(FrameHeader& p_Header)
{
  Impl& impl = *m_Impl;
  if (impl.phase == Impl::Phase::data) {
    impl.phase = Impl::Phase::stopped;
    impl.read_data(nullptr);
  }
  impl.expect(Impl::Phase::between_frames, "next_header");
  if (!impl.read_header()) return false;
  p_Header = impl.header;
  return true;
}

void DumpReader::parse(const std::vector<ColumnTarget>& p_Targets)
{
  Impl& impl = *m_Impl;
  impl.expect(Impl::Phase::data, "parse");
  if (p_Targets.size() != impl.header.columns.size()) {
    throw std::invalid_argument("parse: " + std::to_string(p_Targets.size()) + " targets for " +
                                std::to_string(impl.header.columns.size()) + " columns");
  }
  impl.phase = Impl::Phase::stopped;
  impl.read_data(p_Targets.data());
}

void DumpReader::finish()
{
  FrameHeader header;
  while (next_header(header)) {
  }
}

void DumpReader::check_rest() { m_Impl->source->check_rest(); }

bool DumpReader::compressed() const { return m_Impl->source->compressed(); }

bool parse_table(const char* p_Text, const char* p_End, std::int64_t p_Rows, const std::vector<ColumnTarget>& p_Targets,
                 unsigned p_Threads, TableFault& p_Fault)
{
  if (p_End != p_Text && p_End[-1] != '\n')
    throw std::invalid_argument("parse_table: the text must end with a newline");
  const unsigned threads = p_Threads ? p_Threads : ups::thread_count();
  const std::vector<const char*> starts = line_chunks(p_Text, p_End, threads);
  const std::size_t chunks = starts.size() - 1;
  const unsigned team = chunks > 1 ? threads : 1;
  std::vector<std::int64_t> before(chunks + 1, 0);
  ups::share_out(team, static_cast<std::int32_t>(chunks), [&](unsigned, std::int32_t p_Chunk) {
    before[static_cast<std::size_t>(p_Chunk) + 1] = count_newlines(starts[p_Chunk], starts[p_Chunk + 1]);
  });
  for (std::size_t k = 0; k < chunks; ++k) before[k + 1] += before[k];
  p_Fault = TableFault();
  if (before[chunks] != p_Rows) {
    p_Fault.problem = TableProblem::lines;
    p_Fault.row = before[chunks];
    return false;
  }
  std::vector<LineFault> faults(chunks);
  ups::share_out(team, static_cast<std::int32_t>(chunks), [&](unsigned, std::int32_t p_Chunk) {
    parse_lines(starts[p_Chunk], starts[p_Chunk + 1], before[p_Chunk], p_Targets.data(),
                static_cast<int>(p_Targets.size()), faults[p_Chunk]);
  });
  for (const LineFault& fault : faults) {
    if (fault.fault == Fault::none) continue;
    p_Fault.row = fault.row;
    p_Fault.column = fault.column;
    p_Fault.values = values_on_line(fault.line);
    if (fault.fault == Fault::bad_value) {
      p_Fault.problem = TableProblem::bad_value;
      p_Fault.value = value_at(fault.value);
      const ValueKind kind = p_Targets[static_cast<std::size_t>(fault.column)].kind;
      if (kind != ValueKind::label) p_Fault.refusal = refusal(fault.value, kind == ValueKind::integer);
    } else {
      p_Fault.problem = fault.fault == Fault::too_few ? TableProblem::too_few : TableProblem::too_many;
    }
    return false;
  }
  return true;
}

namespace {

// Whether the text at p_Text (p_Size bytes, the end of the file when shorter than a window) starts a
// frame: an "ITEM: TIMESTEP" line; the step number of the line after it, when it is one.
bool frame_start(const char* p_Text, std::size_t p_Size, FrameStart& p_Start)
{
  static constexpr char tag[] = "ITEM: TIMESTEP";
  constexpr std::size_t tag_size = sizeof tag - 1;
  if (p_Size < tag_size || std::memcmp(p_Text, tag, tag_size) != 0) return false;
  std::size_t at = tag_size;
  while (at < p_Size && is_blank(p_Text[at])) ++at;
  if (at < p_Size && p_Text[at] != '\n') return false;
  p_Start.has_timestep = false;
  if (at == p_Size) return true;
  const char* value = p_Text + at + 1;
  const char* newline = static_cast<const char*>(std::memchr(value, '\n', p_Size - at - 1));
  p_Start.has_timestep = header_integer(trimmed(value, newline != nullptr ? newline : p_Text + p_Size), p_Start.timestep);
  return true;
}

bool starts_line(const char* p_Text, std::size_t p_Size, std::string_view p_Line)
{
  if (p_Size < p_Line.size() || std::memcmp(p_Text, p_Line.data(), p_Line.size()) != 0) return false;
  std::size_t at = p_Line.size();
  while (at < p_Size && is_blank(p_Text[at])) ++at;
  return at == p_Size || p_Text[at] == '\n';
}

bool ahead_of_step(const char* p_Text, std::size_t p_Size)
{
  return starts_line(p_Text, p_Size, "ITEM: UNITS") || starts_line(p_Text, p_Size, "ITEM: TIME");
}

// p_Start (at an "ITEM: UNITS" or "ITEM: TIME" line) as the start of the frame those items open:
// the step of the "ITEM: TIMESTEP" line after them (and blank lines). False when none follows.
bool frame_ahead_of_step(const InputFile& p_File, FrameStart& p_Start)
{
  char text[4096];
  const std::size_t size = p_File.read_at(text, sizeof text, p_Start.offset);
  const char* end = text + size;
  const auto next_line = [&](const char* p_Line) -> const char* {
    const void* newline = std::memchr(p_Line, '\n', static_cast<std::size_t>(end - p_Line));
    return newline != nullptr ? static_cast<const char*>(newline) + 1 : end;
  };
  for (const char* at = text; at < end;) {
    const std::size_t left = static_cast<std::size_t>(end - at);
    if (frame_start(at, left, p_Start)) {
      p_Start.step_line = p_Start.offset + (at - text);
      return true;
    }
    if (ahead_of_step(at, left)) {
      at = next_line(next_line(at));  // the item and its value
    } else if (trimmed(at, next_line(at)).empty()) {
      at = next_line(at);
    } else {
      return false;
    }
  }
  return false;
}

bool all_blank(const InputFile& p_File, std::int64_t p_Size)
{
  std::vector<char> buffer(std::size_t(1) << 16);
  for (std::int64_t at = 0; at < p_Size;) {
    const std::size_t got =
        p_File.read_at(buffer.data(), std::min<std::size_t>(buffer.size(), std::size_t(p_Size - at)), at);
    if (got == 0) break;
    for (std::size_t k = 0; k < got; ++k) {
      if (!is_space(buffer[k])) return false;
    }
    at += static_cast<std::int64_t>(got);
  }
  return true;
}

// The frame starts in bytes p_Begin..p_End of the file (a start at p_End is the next range's).
void scan_range(const InputFile& p_File, std::int64_t p_Begin, std::int64_t p_End, std::vector<FrameStart>& p_Starts)
{
  constexpr std::size_t piece = std::size_t(8) << 20;
  constexpr std::size_t window = 256;
  std::vector<char> buffer(piece);
  char before_piece = '\n';
  if (p_Begin > 0 && p_File.read_at(&before_piece, 1, p_Begin - 1) != 1) return;
  for (std::int64_t base = p_Begin; base < p_End;) {
    const std::size_t got = p_File.read_at(buffer.data(), std::min<std::size_t>(piece, std::size_t(p_End - base)), base);
    if (got == 0) break;
    const char* text = buffer.data();
    const char* text_end = text + got;
    // "I" is rare in numbers (only in "inf"), so memchr strides over the data lines.
    for (const char* c = static_cast<const char*>(std::memchr(text, 'I', got)); c != nullptr;
         c = static_cast<const char*>(std::memchr(c + 1, 'I', static_cast<std::size_t>(text_end - c - 1)))) {
      if ((c == text ? before_piece : c[-1]) != '\n') continue;
      FrameStart start;
      start.offset = base + (c - text);
      char near[window];
      const bool inside = static_cast<std::size_t>(text_end - c) >= window;
      const std::size_t size = inside ? window : p_File.read_at(near, window, start.offset);
      if (frame_start(inside ? c : near, size, start)) {
        start.step_line = start.offset;
        p_Starts.push_back(start);
      } else if (ahead_of_step(inside ? c : near, size) && frame_ahead_of_step(p_File, start)) {
        p_Starts.push_back(start);
      }
      if (c + 1 == text_end) break;
    }
    before_piece = text_end[-1];
    base += static_cast<std::int64_t>(got);
  }
}

}  // namespace

// Each thread scans its own part of the file: copying from the page cache is what this costs, and
// it runs at memory speed only when shared.
std::vector<FrameStart> index_frames(const std::string& p_Path, std::int64_t& p_Size)
{
  InputFile file(p_Path);
  if (const char* compression = compression_of(file)) {
    throw DumpError::whole_file(std::string("is compressed: a ") + compression + " file has no index of frames");
  }
  p_Size = file.text_size();
  const unsigned threads = p_Size >= (std::int64_t(1) << 20) ? std::max(1u, ups::thread_count()) : 1u;
  std::vector<std::vector<FrameStart>> found(threads);
  std::vector<std::exception_ptr> failed(threads);
  ups::share_out(threads, static_cast<std::int32_t>(threads), [&](unsigned, std::int32_t p_Part) {
    try {
      scan_range(file, p_Size * p_Part / threads, p_Size * (p_Part + 1) / threads, found[p_Part]);
    } catch (...) {
      failed[p_Part] = std::current_exception();
    }
  });
  std::vector<FrameStart> starts;
  for (unsigned part = 0; part < threads; ++part) {
    if (failed[part]) std::rethrow_exception(failed[part]);
    for (const FrameStart& start : found[part]) {
      // A step line is found again on its own after the items ahead of it.
      if (starts.empty() || starts.back().step_line != start.step_line) starts.push_back(start);
    }
  }
  const std::int64_t first = starts.empty() ? p_Size : starts.front().offset;
  if (first > 0 && !all_blank(file, first)) starts.insert(starts.begin(), FrameStart());
  return starts;
}

}  // namespace io
}  // namespace vireo20
