// The text of a dump in pieces, in order: read from a plain file, or inflated from a gzip or zstd
// file by a thread of its own while the caller parses the piece before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "vireo20/Export.h"

namespace vireo20 {
namespace io {

// A piece of text in memory, with room in front of it (headroom) where the reader moves the unread
// end of the piece before, and one byte behind it for a closing newline.
class VIREO20_API Block {
 public:
  Block() = default;
  Block(std::size_t p_Headroom, std::size_t p_Capacity);
  Block(Block&&) noexcept = default;
  Block& operator=(Block&&) noexcept = default;

  explicit operator bool() const { return m_Memory != nullptr; }
  char* text() const { return m_Memory.get() + m_Headroom; }
  std::size_t headroom() const { return m_Headroom; }
  std::size_t capacity() const { return m_Capacity; }
  std::size_t size() const { return m_Size; }
  void set_size(std::size_t p_Size) { m_Size = p_Size; }

 private:
  struct Free {
    void operator()(char* p_Memory) const { std::free(p_Memory); }
  };
  std::unique_ptr<char, Free> m_Memory;
  std::size_t m_Headroom = 0;
  std::size_t m_Capacity = 0;
  std::size_t m_Size = 0;
};

// A file opened for reading, closed with the object.
class VIREO20_API InputFile {
 public:
  explicit InputFile(const std::string& p_Path);  // throws DumpError
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  std::int64_t size() const;
  // The size less the zero bytes that end the file, if any: a file being written when its machine
  // stopped may end in zeros where its last blocks had no data yet.
  std::int64_t text_size() const;
  // Reads up to p_Size bytes at p_Offset, fewer only at the end of the file. Throws DumpError.
  std::size_t read_at(char* p_Into, std::size_t p_Size, std::int64_t p_Offset) const;

 private:
  int m_Descriptor;
};

class VIREO20_API ByteSource {
 public:
  virtual ~ByteSource();

  // The next piece of text (never of size 0), or an empty Block once the text has ended. Throws
  // DumpError when the file cannot be read or is damaged.
  virtual Block next() = 0;
  // A piece the reader is done with, for reuse.
  virtual void recycle(Block p_Block) = 0;
  // After the text has ended: whether it ended where the file says it should (false: a compressed
  // stream cut short before its end).
  virtual bool ended_cleanly() const = 0;
  // Reads whatever is left to the end and throws DumpError if the file turns out to be damaged:
  // the reader asks before blaming a frame for what a damaged stream may have caused.
  virtual void check_rest() = 0;
  virtual bool compressed() const = 0;

  // A plain file from p_Offset on, or a gzip or zstd file (told by its first bytes) from its start.
  static std::unique_ptr<ByteSource> open(const std::string& p_Path, std::int64_t p_Offset);
};

// "gzip" or "zstd" as a file's first bytes tell, or null for plain text. Throws DumpError.
const char* compression_of(const InputFile& p_File);

// The words of errno for a message.
std::string system_error_text(int p_Errno);

}  // namespace io
}  // namespace vireo20
