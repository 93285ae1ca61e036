// A file's text as TextStream gives it: the same bytes plain and gzip (several members too), whatever
// the sizes asked for across its pieces; a damaged or cut stream refused, not passed off as text.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "support/Gzip.h"
#include "vireo20/io/DumpError.h"
#include "vireo20/io/TextStream.h"

namespace {

using vireo20::io::DumpError;
using testing_support::gzip;
using vireo20::io::TextStream;

std::string written(const std::string& p_Bytes)
{
  char name[] = "/tmp/vireo20_textXXXXXX";
  ::close(mkstemp(name));
  std::ofstream(name, std::ios::binary) << p_Bytes;
  return name;
}

// The whole text, read in pieces of random sizes.
std::string read_all(const std::string& p_Path, std::mt19937_64& p_Random)
{
  TextStream stream(p_Path);
  std::string text, piece;
  for (;;) {
    piece.resize(std::uniform_int_distribution<std::size_t>(1, 3 << 20)(p_Random));
    const std::size_t read = stream.read(&piece[0], piece.size());
    text.append(piece, 0, read);
    if (read < piece.size()) break;
  }
  char more;
  EXPECT_EQ(stream.read(&more, 1), 0u);
  return text;
}

TEST(TextStream, PlainAndGzipGiveTheSameBytesInAnyPieces)
{
  std::mt19937_64 random(5);
  std::string text;
  while (text.size() < (12u << 20)) text += std::to_string(random()) + (random() % 7 ? " " : "\n");
  const std::string compressed = gzip(text);
  for (const std::string& bytes : {text, compressed, gzip(text.substr(0, 5 << 20)) + gzip(text.substr(5 << 20))}) {
    const std::string path = written(bytes);
    EXPECT_EQ(read_all(path, random), text);
    std::remove(path.c_str());
  }
  std::string flipped = compressed;
  flipped[compressed.size() / 2] ^= 0x20;
  for (const std::string& damaged : {compressed.substr(0, compressed.size() * 2 / 3), flipped}) {
    const std::string path = written(damaged);
    EXPECT_THROW(read_all(path, random), DumpError);
    std::remove(path.c_str());
  }
}

}  // namespace
