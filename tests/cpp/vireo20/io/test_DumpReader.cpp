// The native dump reader on what only C++ sees: the same bits from a plain file and a gzip one, at any
// thread count and across the pieces the text arrives in; the frame index against the headers; and
// gzip streams that are damaged, cut short, padded or made of several members. Malformed frames and
// their messages are tested from Python, through the whole reader.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "support/Gzip.h"
#include "vireo20/io/DumpError.h"
#include "vireo20/io/DumpReader.h"

namespace {

using namespace vireo20::io;

using testing_support::gzip;

class TempFile {
 public:
  explicit TempFile(const std::string& p_Bytes)
  {
    char name[] = "/tmp/vireo20_dumpXXXXXX";
    const int descriptor = mkstemp(name);
    m_Path = name;
    ::close(descriptor);
    std::ofstream(m_Path, std::ios::binary) << p_Bytes;
  }
  ~TempFile() { std::remove(m_Path.c_str()); }
  const std::string& path() const { return m_Path; }

 private:
  std::string m_Path;
};

struct Frame {
  FrameHeader header;
  std::vector<std::int64_t> ids;
  std::vector<double> values;  // three columns, row-major
};

// Frames of "id x vx y z": ids to one array, the other four to a (n, 4) one in the order x y z vx.
std::string dump(const std::vector<Frame>& p_Frames, const char* p_LineEnd)
{
  std::string text;
  char number[64];
  for (const Frame& f : p_Frames) {
    text += "ITEM: TIMESTEP\n" + std::to_string(f.header.timestep) + "\nITEM: NUMBER OF ATOMS\n" +
            std::to_string(f.ids.size()) + "\nITEM: BOX BOUNDS pp pp pp\n0 1\n0 1\n0 1\nITEM: ATOMS id x vx y z\n";
    for (std::size_t r = 0; r < f.ids.size(); ++r) {
      text += std::to_string(f.ids[r]);
      for (int c : {0, 3, 1, 2}) {
        std::snprintf(number, sizeof number, r % 7 == 0 ? "\t%+.17e " : " %.17g", f.values[4 * r + c]);
        text += number;
      }
      text += p_LineEnd;
    }
  }
  return text;
}

std::vector<Frame> read_all(const std::string& p_Path, unsigned p_Threads)
{
  DumpReader reader(p_Path, "ATOMS", 0, p_Threads);
  std::vector<Frame> frames;
  FrameHeader header;
  while (reader.next_header(header)) {
    Frame f{header, std::vector<std::int64_t>(header.count), std::vector<double>(4 * header.count)};
    const std::vector<ColumnTarget> targets = {{ValueKind::integer, f.ids.data(), 1},
                                               {ValueKind::real, f.values.data(), 4},
                                               {ValueKind::real, f.values.data() + 3, 4},
                                               {ValueKind::real, f.values.data() + 1, 4},
                                               {ValueKind::real, f.values.data() + 2, 4}};
    reader.parse(targets);
    frames.push_back(std::move(f));
  }
  reader.finish();
  return frames;
}

std::vector<Frame> random_frames(std::mt19937_64& p_Random)
{
  std::vector<Frame> frames;
  // Small, then large enough to arrive in several pieces and be parsed by several threads, then small.
  for (std::size_t atoms : {3, 60000, 0, 5}) {
    Frame f;
    f.header.timestep = static_cast<std::int64_t>(frames.size()) * 100 - 50;
    for (std::size_t r = 0; r < atoms; ++r) {
      f.ids.push_back(static_cast<std::int64_t>(p_Random() >> 1) - (std::int64_t(1) << 62));
      for (int c = 0; c < 4; ++c) {
        f.values.push_back(std::ldexp(std::uniform_real_distribution<double>(-1, 1)(p_Random), int(p_Random() % 200) - 100));
      }
    }
    frames.push_back(std::move(f));
  }
  return frames;
}

TEST(DumpReader, PlainAndGzipGiveTheSameBitsAtEveryThreadCount)
{
  std::mt19937_64 random(7);
  const std::vector<Frame> written = random_frames(random);
  for (const char* line_end : {"\n", "\r\n"}) {
    const std::string text = dump(written, line_end);
    const TempFile plain(text), packed(gzip(text));
    std::int64_t size = 0;
    const std::vector<FrameStart> starts = index_frames(plain.path(), size);
    EXPECT_EQ(size, static_cast<std::int64_t>(text.size()));
    ASSERT_EQ(starts.size(), written.size());
    for (const auto& [path, threads] : {std::pair{plain.path(), 1u}, {plain.path(), 3u}, {packed.path(), 2u}}) {
      const std::vector<Frame> read = read_all(path, threads);
      ASSERT_EQ(read.size(), written.size());
      for (std::size_t k = 0; k < read.size(); ++k) {
        EXPECT_EQ(read[k].header.timestep, written[k].header.timestep);
        EXPECT_EQ(read[k].header.offset, starts[k].offset);
        EXPECT_EQ(starts[k].timestep, written[k].header.timestep);
        EXPECT_EQ(read[k].ids, written[k].ids);
        EXPECT_EQ(read[k].values, written[k].values) << "frame " << k << " of " << path << " on " << threads << " threads";
      }
    }
    // One frame read from its offset, as a Dask worker does; the frames before are never read.
    DumpReader reader(plain.path(), "ATOMS", starts[3].offset);
    FrameHeader header;
    ASSERT_TRUE(reader.next_header(header));
    EXPECT_EQ(header.columns, (std::vector<std::string>{"id", "x", "vx", "y", "z"}));
    EXPECT_EQ(header.box_lines.size(), 3u);
    EXPECT_FALSE(reader.next_header(header));
  }
}

// Reads every frame to the end; answers the error, which must come.
DumpError failure(const std::string& p_Bytes)
{
  const TempFile file(p_Bytes);
  try {
    read_all(file.path(), 2);
  } catch (const DumpError& error) {
    return error;
  }
  ADD_FAILURE() << "no error";
  return DumpError("", "");
}

TEST(DumpReader, GzipStreamsAreCheckedToTheirEnd)
{
  std::mt19937_64 random(11);
  const std::vector<Frame> written = random_frames(random);
  const std::string text = dump(written, "\n"), packed = gzip(text);
  // Several members, and zeros after them, are one text, as gzip reads them.
  const TempFile members(gzip(text.substr(0, 1000)) + gzip(text.substr(1000)) + std::string(100, '\0'));
  EXPECT_EQ(read_all(members.path(), 2).size(), written.size());

  std::string flipped = packed;
  flipped[packed.size() / 3] ^= 0x10;
  std::string crc = packed;
  crc[packed.size() - 6] ^= 0x01;
  for (const std::string& damaged : {flipped, crc, packed + "garbage"}) {
    const DumpError error = failure(damaged);
    EXPECT_TRUE(error.is_whole_file()) << error.what();
    EXPECT_NE(error.problem().find("the compressed file is damaged"), std::string::npos) << error.what();
  }
  // Cut inside the large frame: that frame is named, with what may have happened.
  const DumpError cut = failure(packed.substr(0, packed.size() * 6 / 10));
  EXPECT_FALSE(cut.is_whole_file());
  EXPECT_EQ(cut.timestep(), written[1].header.timestep);
  EXPECT_EQ(cut.item(), "ATOMS");
  EXPECT_EQ(cut.problem().rfind("the compressed file is damaged or cut short", 0), 0u) << cut.what();
}

}  // namespace
