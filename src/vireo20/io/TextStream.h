// A file's text read in order into the caller's memory, inflated (gzip or zstd) by a thread of its
// own where the file is compressed: the dump reader's sources serving text that is not a dump.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "vireo20/Export.h"
#include "vireo20/io/ByteSource.h"

namespace vireo20 {
namespace io {

class VIREO20_API TextStream {
 public:
  explicit TextStream(const std::string& p_Path);  // throws DumpError
  ~TextStream();
  TextStream(const TextStream&) = delete;
  TextStream& operator=(const TextStream&) = delete;

  // Up to p_Size bytes, fewer only at the end of the text. Throws DumpError when the file cannot be
  // read, is damaged or its compressed stream is cut short.
  std::size_t read(char* p_Into, std::size_t p_Size);

 private:
  std::unique_ptr<ByteSource> m_Source;
  Block m_Block;
  std::size_t m_At = 0;
  bool m_Ended = false;
};

}  // namespace io
}  // namespace vireo20
