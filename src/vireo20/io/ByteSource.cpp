// Plain files read with pread in growing pieces; gzip files inflated by ISA-L's igzip, and zstd
// files (LAMMPS's custom/zstd) by libzstd, in a thread of their own, a few pieces ahead of the
// reader (with one thread allowed, by the reader itself), checking every member's or frame's checksum.
#include "vireo20/io/ByteSource.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include <isa-l/igzip_lib.h>
#include <zstd.h>

#include "vireo20/io/DumpError.h"
#include "vireo20/sci/parallel.h"

namespace vireo20 {
namespace io {

std::string system_error_text(int p_Errno)
{
  char text[256];
  // The GNU strerror_r answers a pointer that may or may not be the buffer.
  return ::strerror_r(p_Errno, text, sizeof text);
}

Block::Block(std::size_t p_Headroom, std::size_t p_Capacity) : m_Headroom(p_Headroom), m_Capacity(p_Capacity)
{
  // Large pieces on huge pages: a fresh piece costs a few faults instead of thousands.
  constexpr std::size_t huge_page = std::size_t(2) << 20;
  const std::size_t size = p_Headroom + p_Capacity + 1;
  void* memory = nullptr;
  if (size < 2 * huge_page) {
    memory = std::malloc(size);
  } else if (::posix_memalign(&memory, huge_page, size) == 0) {
    ::madvise(memory, size / huge_page * huge_page, MADV_HUGEPAGE);
  } else {
    memory = nullptr;
  }
  if (memory == nullptr) throw std::bad_alloc();
  m_Memory.reset(static_cast<char*>(memory));
}

InputFile::InputFile(const std::string& p_Path) : m_Descriptor(::open(p_Path.c_str(), O_RDONLY | O_CLOEXEC))
{
  if (m_Descriptor < 0) throw DumpError::whole_file("cannot be opened (" + system_error_text(errno) + ")");
}

InputFile::~InputFile() { ::close(m_Descriptor); }

std::int64_t InputFile::size() const
{
  struct stat status;
  if (::fstat(m_Descriptor, &status) != 0) throw DumpError::whole_file("cannot be read (" + system_error_text(errno) + ")");
  return static_cast<std::int64_t>(status.st_size);
}

std::int64_t InputFile::text_size() const
{
  std::int64_t end = size();
  // Most files end in text: a small read tells; a long run of zeros is read in growing pieces.
  std::vector<char> piece(std::size_t(1) << 12);
  while (end > 0) {
    const std::int64_t from = std::max<std::int64_t>(0, end - static_cast<std::int64_t>(piece.size()));
    const std::size_t got = read_at(piece.data(), static_cast<std::size_t>(end - from), from);
    if (got != static_cast<std::size_t>(end - from)) return end;  // changed meanwhile: the reader will tell
    for (std::size_t k = got; k-- > 0; --end) {
      if (piece[k] != '\0') return end;
    }
    if (piece.size() < (std::size_t(1) << 20)) piece.resize(piece.size() * 4);
  }
  return end;
}

std::size_t InputFile::read_at(char* p_Into, std::size_t p_Size, std::int64_t p_Offset) const
{
  std::size_t got = 0;
  while (got < p_Size) {
    const ssize_t n = ::pread(m_Descriptor, p_Into + got, p_Size - got, static_cast<off_t>(p_Offset) + got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw DumpError::whole_file("cannot be read (" + system_error_text(errno) + ")");
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

ByteSource::~ByteSource() = default;

namespace {

// Room for the unread end of a piece: a partial line, which no dump makes this long.
constexpr std::size_t headroom = std::size_t(1) << 16;

// Pieces start small, so that one small frame costs little, and grow to where reading stops paying.
class PlainSource final : public ByteSource {
 public:
  PlainSource(std::unique_ptr<InputFile> p_File, std::int64_t p_Offset)
      : m_File(std::move(p_File)), m_End(m_File->text_size()), m_Position(p_Offset)
  {
  }

  Block next() override
  {
    Block block;
    if (!m_Spare.empty() && m_Spare.back().capacity() >= m_NextCapacity) {
      block = std::move(m_Spare.back());
      m_Spare.pop_back();
    } else {
      block = Block(headroom, m_NextCapacity);
    }
    m_NextCapacity = std::min(m_NextCapacity * 4, largest);
    const std::size_t got = read_piece(block);
    m_Position += static_cast<std::int64_t>(got);
    block.set_size(got);
    if (got == 0) {
      recycle(std::move(block));
      return Block();
    }
    return block;
  }

  // The two largest pieces are kept: the ones a long frame goes on asking for.
  void recycle(Block p_Block) override
  {
    m_Spare.push_back(std::move(p_Block));
    std::sort(m_Spare.begin(), m_Spare.end(), [](const Block& a, const Block& b) { return a.capacity() < b.capacity(); });
    if (m_Spare.size() > 2) m_Spare.erase(m_Spare.begin());
  }

  bool ended_cleanly() const override { return true; }
  void check_rest() override {}
  bool compressed() const override { return false; }

 private:
  // A large piece is copied from the page cache by every thread at once: the copy runs at memory
  // speed only when shared, and the parse waits for it.
  std::size_t read_piece(Block& p_Block) const
  {
    const std::size_t capacity =
        static_cast<std::size_t>(std::max<std::int64_t>(0, std::min<std::int64_t>(p_Block.capacity(), m_End - m_Position)));
    const unsigned threads = capacity >= (std::size_t(4) << 20) ? std::max(1u, ups::thread_count()) : 1u;
    const std::size_t share = (capacity + threads - 1) / threads;
    std::vector<std::size_t> got(threads, 0);
    std::vector<std::exception_ptr> failed(threads);
    ups::share_out(threads, static_cast<std::int32_t>(threads), [&](unsigned, std::int32_t p_Part) {
      const std::size_t first = share * static_cast<std::size_t>(p_Part);
      try {
        got[p_Part] = first < capacity ? m_File->read_at(p_Block.text() + first, std::min(share, capacity - first),
                                                         m_Position + static_cast<std::int64_t>(first))
                                       : 0;
      } catch (...) {
        failed[p_Part] = std::current_exception();
      }
    });
    std::size_t total = 0;
    for (unsigned part = 0; part < threads; ++part) {
      if (failed[part]) std::rethrow_exception(failed[part]);
      total += got[part];
      // A short part is the end of the file: nothing after it counts.
      if (got[part] < share) break;
    }
    return total;
  }

  static constexpr std::size_t largest = std::size_t(16) << 20;
  std::unique_ptr<InputFile> m_File;
  std::int64_t m_End;  // the text's: a zero tail is no part of it
  std::int64_t m_Position;
  std::size_t m_NextCapacity = std::size_t(64) << 10;
  std::vector<Block> m_Spare;
};

enum class StreamEnd { none, clean, cut, damaged };

// A compressed file inflated one piece at a time: what must survive between pieces lives here, so
// that the same code fills pieces on the inflating thread or, with one thread, on the reader's own.
class Decompressor {
 public:
  explicit Decompressor(std::unique_ptr<InputFile> p_File)
      : m_File(std::move(p_File)), m_FileSize(m_File->size()), m_Input(new unsigned char[input_size])
  {
  }
  virtual ~Decompressor() = default;

  // Fills p_Block up to its capacity (none: more follows) or to the end of the stream (clean, or cut
  // short). Damage throws DumpError; what the piece holds then is not to be trusted.
  virtual StreamEnd fill(Block& p_Block) = 0;

 protected:
  static constexpr std::size_t input_size = std::size_t(1) << 20;

  // The next bytes of the file into m_Input: how many (0 at its end).
  std::size_t read_more()
  {
    const std::size_t got = m_File->read_at(reinterpret_cast<char*>(m_Input.get()), input_size, m_ReadSoFar);
    m_InputEnded = got == 0;
    m_ReadSoFar += static_cast<std::int64_t>(got);
    return got;
  }

  // p_Where: "near" where the decoder says where it stopped, "after" where it says only that it
  // stopped past there.
  [[noreturn]] void damaged(const char* p_What, std::int64_t p_At, const char* p_Where = "near") const
  {
    std::string text = "the compressed file is damaged (" + std::string(p_What) + " " + p_Where + " byte " +
                       std::to_string(p_At) + " of its " + std::to_string(m_FileSize) +
                       "): none of its frames can be trusted";
    throw DumpError::whole_file(text);
  }

  std::unique_ptr<InputFile> m_File;
  std::int64_t m_FileSize;
  std::unique_ptr<unsigned char[]> m_Input;
  std::int64_t m_ReadSoFar = 0;
  bool m_InputEnded = false;
};

class GzipInflater final : public Decompressor {
 public:
  explicit GzipInflater(std::unique_ptr<InputFile> p_File)
      : Decompressor(std::move(p_File)), m_State(new inflate_state)
  {
    isal_inflate_init(m_State.get());
    m_State->crc_flag = ISAL_GZIP;
  }

  StreamEnd fill(Block& p_Block) override
  {
    inflate_state& state = *m_State;
    for (;;) {
      if (state.avail_in == 0 && !m_InputEnded) {
        state.avail_in = static_cast<std::uint32_t>(read_more());
        state.next_in = m_Input.get();
      }
      const std::int64_t at = m_ReadSoFar - state.avail_in;
      if (!m_InMember) {
        if (state.avail_in == 0) return StreamEnd::clean;
        // Another member follows (as `cat a.gz b.gz` makes), or zeros pad the file, as gzip allows.
        if (state.next_in[0] == 0) {
          while (state.avail_in > 0 && state.next_in[0] == 0) {
            ++state.next_in;
            --state.avail_in;
          }
          if (state.avail_in > 0) damaged("bytes after the end of its gzip stream", at);
          continue;
        }
        if (state.next_in[0] != 0x1f || (state.avail_in > 1 && state.next_in[1] != 0x8b)) {
          damaged("bytes after the end of its gzip stream", at);
        }
        isal_inflate_reset(&state);
        state.crc_flag = ISAL_GZIP;
        m_InMember = true;
      }
      state.next_out = reinterpret_cast<std::uint8_t*>(p_Block.text() + p_Block.size());
      state.avail_out = static_cast<std::uint32_t>(p_Block.capacity() - p_Block.size());
      const int status = isal_inflate(&state);
      p_Block.set_size(p_Block.capacity() - state.avail_out);
      // Where the inflating stopped: a piece of input is read whole, so where it began says nothing.
      if (status != ISAL_DECOMP_OK) damaged(describe(status), m_ReadSoFar - state.avail_in);
      if (state.block_state == ISAL_BLOCK_FINISH) {
        m_InMember = false;
      } else if (state.avail_in == 0 && m_InputEnded && state.avail_out > 0) {
        return StreamEnd::cut;
      }
      if (p_Block.size() == p_Block.capacity()) return StreamEnd::none;
    }
  }

 private:
  static const char* describe(int p_Status)
  {
    switch (p_Status) {
      case ISAL_INVALID_WRAPPER: return "a gzip header that is not valid";
      case ISAL_UNSUPPORTED_METHOD: return "a compression method gzip does not use";
      case ISAL_INCORRECT_CHECKSUM: return "its CRC or length does not match the data";
      default: return "compressed data that is not valid";
    }
  }

  std::unique_ptr<inflate_state> m_State;
  bool m_InMember = true;
};

// LAMMPS's /zstd dumps are one zstd frame per file (with a content checksum by default), several
// where it appended; the stream decoder goes on from one frame to the next by itself.
class ZstdInflater final : public Decompressor {
 public:
  explicit ZstdInflater(std::unique_ptr<InputFile> p_File)
      : Decompressor(std::move(p_File)), m_Stream(ZSTD_createDStream())
  {
    if (!m_Stream) throw std::bad_alloc();
  }

  StreamEnd fill(Block& p_Block) override
  {
    for (;;) {
      if (m_In.pos == m_In.size && !m_InputEnded) {
        m_In.size = read_more();
        m_In.src = m_Input.get();
        m_In.pos = 0;
      }
      // Past a frame's end with nothing left to read: a new frame would begin here, and none does.
      if (m_In.pos == m_In.size && m_InputEnded && !m_InFrame) return StreamEnd::clean;
      ZSTD_outBuffer out = {p_Block.text(), p_Block.capacity(), p_Block.size()};
      const std::size_t in_before = m_In.pos, out_before = out.pos;
      const std::size_t hint = ZSTD_decompressStream(m_Stream.get(), &out, &m_In);
      p_Block.set_size(out.pos);
      // zstd leaves its input where the failing call began (a checksum is the whole frame's).
      if (ZSTD_isError(hint)) {
        damaged(ZSTD_getErrorName(hint), m_ReadSoFar - static_cast<std::int64_t>(m_In.size - m_In.pos), "after");
      }
      // 0: a frame has ended and all of it is out.
      m_InFrame = hint != 0;
      if (p_Block.size() == p_Block.capacity()) return StreamEnd::none;
      if (m_InputEnded && m_In.pos == in_before && out.pos == out_before) return StreamEnd::cut;
    }
  }

 private:
  struct Free {
    void operator()(ZSTD_DStream* p_Stream) const { ZSTD_freeDStream(p_Stream); }
  };
  std::unique_ptr<ZSTD_DStream, Free> m_Stream;
  ZSTD_inBuffer m_In = {nullptr, 0, 0};
  bool m_InFrame = false;
};

// With more than one thread, the inflating thread fills pieces from a small pool and queues them in
// order; the reader takes them, and hands each back when it has moved on. Four pieces: one read, one
// queued, one filling and one on its way back. With one thread (VIREO20_THREADS=1) the reader
// inflates each piece itself when it asks for it, and no thread is started.
class CompressedSource final : public ByteSource {
 public:
  explicit CompressedSource(std::unique_ptr<Decompressor> p_Inflater) : m_Inflater(std::move(p_Inflater))
  {
    if (ups::thread_count() > 1) m_Thread = std::thread([this] { run(); });
  }

  ~CompressedSource() override
  {
    if (!m_Thread.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_Stop = true;
    }
    m_Freed.notify_all();
    m_Thread.join();
  }

  Block next() override
  {
    if (!m_Thread.joinable()) return fill_here();
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Filled.wait(lock, [this] { return !m_Full.empty() || m_Done; });
    if (!m_Full.empty()) {
      Block block = std::move(m_Full.front());
      m_Full.pop_front();
      return block;
    }
    if (m_End == StreamEnd::damaged) throw DumpError::whole_file(m_Damage);
    return Block();
  }

  void recycle(Block p_Block) override
  {
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_Free.push_back(std::move(p_Block));
    }
    m_Freed.notify_one();
  }

  bool ended_cleanly() const override
  {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_End == StreamEnd::clean;
  }

  void check_rest() override
  {
    for (Block block = next(); block; block = next()) recycle(std::move(block));
  }

  bool compressed() const override { return true; }

 private:
  static constexpr int pieces = 4;
  static constexpr std::size_t piece_size = std::size_t(8) << 20;

  // One piece and how the stream went on; damage is kept as its text, raised where the reader asks.
  StreamEnd fill_checked(Block& p_Block)
  {
    try {
      return m_Inflater->fill(p_Block);
    } catch (const DumpError& error) {
      m_Damage = error.problem();
    } catch (const std::bad_alloc&) {
      m_Damage = "there is not enough memory to inflate it";
    }
    return StreamEnd::damaged;
  }

  void run() noexcept
  {
    for (;;) {
      Block block = take_free();
      if (!block) return;
      const StreamEnd how = fill_checked(block);
      // A damaged piece is dropped: the reader sees only what came before the damage.
      if (how != StreamEnd::damaged) hand_over(std::move(block));
      if (how != StreamEnd::none) return end(how);
    }
  }

  Block fill_here()
  {
    while (!m_Done) {
      Block block = take_free();
      const StreamEnd how = fill_checked(block);
      if (how != StreamEnd::none) {
        m_End = how;
        m_Done = true;
      }
      if (how != StreamEnd::damaged && block.size() > 0) return block;
      m_Free.push_back(std::move(block));
    }
    if (m_End == StreamEnd::damaged) throw DumpError::whole_file(m_Damage);
    return Block();
  }

  // A piece to fill; empty when the reader has gone.
  Block take_free()
  {
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Freed.wait(lock, [this] { return m_Stop || !m_Free.empty() || m_Allocated < pieces; });
    if (m_Stop) return Block();
    if (!m_Free.empty()) {
      Block block = std::move(m_Free.back());
      m_Free.pop_back();
      block.set_size(0);
      return block;
    }
    ++m_Allocated;
    lock.unlock();
    return Block(headroom, piece_size);
  }

  // Queues a piece for the reader; an empty one goes back to the pool, so that the reader only
  // ever sees the end after the thread has said how the stream ended.
  void hand_over(Block p_Block)
  {
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      if (p_Block.size() > 0) {
        m_Full.push_back(std::move(p_Block));
      } else {
        m_Free.push_back(std::move(p_Block));
      }
    }
    m_Filled.notify_one();
  }

  void end(StreamEnd p_End)
  {
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      m_End = p_End;
      m_Done = true;
    }
    m_Filled.notify_all();
  }

  std::unique_ptr<Decompressor> m_Inflater;
  mutable std::mutex m_Mutex;
  std::condition_variable m_Filled;
  std::condition_variable m_Freed;
  std::deque<Block> m_Full;
  std::vector<Block> m_Free;
  int m_Allocated = 0;
  bool m_Stop = false;
  bool m_Done = false;
  StreamEnd m_End = StreamEnd::none;
  // Written by the thread before m_Done is set under the lock, read by the reader after it saw it.
  std::string m_Damage;
  std::thread m_Thread;
};

}  // namespace

const char* compression_of(const InputFile& p_File)
{
  unsigned char magic[4] = {0, 0, 0, 0};
  const std::size_t got = p_File.read_at(reinterpret_cast<char*>(magic), 4, 0);
  if (got >= 2 && magic[0] == 0x1f && magic[1] == 0x8b) return "gzip";
  if (got == 4 && magic[0] == 0x28 && magic[1] == 0xb5 && magic[2] == 0x2f && magic[3] == 0xfd) return "zstd";
  return nullptr;
}

std::unique_ptr<ByteSource> ByteSource::open(const std::string& p_Path, std::int64_t p_Offset)
{
  auto file = std::make_unique<InputFile>(p_Path);
  const char* const compression = compression_of(*file);
  if (!compression) return std::make_unique<PlainSource>(std::move(file), p_Offset);
  if (p_Offset != 0) throw DumpError::whole_file("is compressed: its frames cannot be read from a byte offset");
  if (std::strcmp(compression, "gzip") == 0)
    return std::make_unique<CompressedSource>(std::make_unique<GzipInflater>(std::move(file)));
  return std::make_unique<CompressedSource>(std::make_unique<ZstdInflater>(std::move(file)));
}

}  // namespace io
}  // namespace vireo20
