// LAMMPS text dumps (dump custom/atom, dump local), plain, gzip or zstd, read frame by frame in two steps:
// a frame's header, then its data lines parsed over the cores straight into the caller's arrays.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vireo20/Export.h"

namespace vireo20 {
namespace io {

struct FrameHeader {
  std::int64_t offset = 0;        // where the frame's first line starts in the (inflated) text
  bool has_timestep = false;
  std::int64_t timestep = 0;
  bool has_time = false;          // an "ITEM: TIME" (dump_modify time yes): the simulated time
  double time = 0.0;
  std::string count_item;         // "NUMBER OF ATOMS"
  std::int64_t count = 0;         // data lines
  std::string box_item;           // "BOX BOUNDS xy xz yz pp pp pp"; empty when the frame has no box
  std::vector<std::string> box_lines;
  std::string section;            // "ATOMS" or "ENTRIES"
  std::vector<std::string> columns;
};

enum class ValueKind : std::uint8_t { skip, real, integer, label };

// The bytes a label takes (LAMMPS's type labels, `dump_modify types labels`), NUL-padded.
constexpr std::int64_t label_bytes = 32;

// Where the values of one column go: row r to base[r * stride], as float64 (real) or int64, or as
// its text (label) at byte r * stride * label_bytes.
struct ColumnTarget {
  ValueKind kind = ValueKind::skip;
  void* base = nullptr;
  std::int64_t stride = 1;
};

class VIREO20_API DumpReader {
 public:
  // Frames whose data item is p_Section ("ATOMS" or "ENTRIES"), from byte p_Offset of a plain file
  // (a frame start from index_frames) or from the start of a compressed one. p_Threads 0: thread_count().
  DumpReader(const std::string& p_Path, std::string p_Section, std::int64_t p_Offset = 0, unsigned p_Threads = 0);
  ~DumpReader();
  DumpReader(const DumpReader&) = delete;
  DumpReader& operator=(const DumpReader&) = delete;

  // Reads the next frame's header, passing over the data lines of the frame before if they were not
  // parsed. False once the text has ended. Throws DumpError.
  bool next_header(FrameHeader& p_Header);
  // Parses the data lines of the frame whose header was just read: p_Targets holds one entry per
  // column, and each target has room for the header's count of rows. Throws DumpError, after which
  // the reader reads no more.
  void parse(const std::vector<ColumnTarget>& p_Targets);
  // Reads on to the end of the text, so that a damaged compressed stream or a frame cut short is
  // found. Throws DumpError.
  void finish();
  // Reads a compressed stream to its end to find whether it is damaged (DumpError if so).
  void check_rest();
  bool compressed() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_Impl;
};

// A frame start: the offset of an "ITEM: TIMESTEP" line and the step number that follows it.
struct FrameStart {
  std::int64_t offset = 0;
  bool has_timestep = false;
  std::int64_t timestep = 0;
  std::int64_t step_line = 0;  // where its "ITEM: TIMESTEP" line starts
};

// Where the frames of a plain dump start, found by scanning for "ITEM: TIMESTEP" lines, each frame
// from the "ITEM: UNITS" or "ITEM: TIME" item LAMMPS writes ahead of its step; text other than
// blanks before the first one makes a frame of its own at offset 0 (which fails to read).
// p_Size receives the size of its text: the file's, less the zeros that may end it (InputFile::text_size).
// Throws DumpError.
VIREO20_API std::vector<FrameStart> index_frames(const std::string& p_Path, std::int64_t& p_Size);

// The first line of a table that parse_table could not read: a value refused (a label too long when
// refusal is empty), a line short of values or with more, or the text's lines not the rows wanted
// (row then holds how many it has).
enum class TableProblem : std::uint8_t { none, bad_value, too_few, too_many, lines };
struct TableFault {
  TableProblem problem = TableProblem::none;
  std::int64_t row = 0;  // from 0
  int column = 0;
  int values = 0;        // on the line
  std::string value;
  std::string refusal;   // "is not a number", ...
};

// The data lines of a text format other than a dump's (an extended XYZ frame's atom lines, say):
// p_Rows lines of whitespace-separated values filling [p_Text, p_End), which ends with a newline,
// parsed into p_Targets as DumpReader::parse does, over p_Threads (0: thread_count()). False with
// p_Fault set at the first faulty line; rows before it may have been written, and after it too.
VIREO20_API bool parse_table(const char* p_Text, const char* p_End, std::int64_t p_Rows,
                             const std::vector<ColumnTarget>& p_Targets, unsigned p_Threads, TableFault& p_Fault);

}  // namespace io
}  // namespace vireo20
