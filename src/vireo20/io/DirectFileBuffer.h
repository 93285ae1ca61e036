// An output file's stream buffer that writes around the page cache (O_DIRECT) on local disks.
//
// A step file of hundreds of megabytes written through the page cache costs a copy into the cache and
// then the kernel's writeback, both on the cores that read and reduce the next frame, and its fsync
// waits for that writeback. Staged in whole aligned blocks, it goes to the disk straight from the
// stage: 688 MB took 0.75-0.82 s here, against 0.9-2.0 s written and fsynced through the cache. The
// bytes are those of any other stream: the buffer seeks back like a file, for writers that fill in a
// header once they know its values (VTK's XML writers).
//
// Only on local disks' file systems: there the write finishes at the disk's speed, about that of the
// fsync it spares. A network file system's client sends direct writes as they come, where through
// its cache it batches them, and the next step would wait for the server.
//
// The file's first chunk stays in memory until close, where VTK's late header bytes land, so that
// every byte goes to the disk once and in its final form: the buffer then knows the CRC-32 of the
// file it wrote, and the check after it need not read the file back (which took the disk as long
// again as the write, beside the next step's).
//
// A file that fits in its first chunk is written through the cache at close, in one piece: a small
// file gains nothing from going around it, and its write would wait for the disk.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <streambuf>
#include <string>

#include "vireo20/Export.h"
#include "vireo20/io/FileChecksum.h"

namespace vireo20 {
namespace io {

// Whether an open file lies on a file system of local disks that takes O_DIRECT (ext4, XFS, btrfs).
VIREO20_API bool on_local_disk(int p_File);
// Turns O_DIRECT on or off for an open file; false (errno set) where the system refuses.
VIREO20_API bool set_direct_io(int p_File, bool p_On);

class VIREO20_API DirectFileBuffer : public std::streambuf {
public:
  // The alignment of every write around the cache: offsets, lengths and memory.
  static constexpr std::size_t block = 4096;

  // Creates or truncates p_Path. p_Chunk (a multiple of `block`) is staged before each write.
  // Elsewhere than on a local disk's file system, or where it refuses O_DIRECT, the same writes go
  // through the page cache. error() tells whether the file could be opened.
  explicit DirectFileBuffer(const std::string& p_Path, std::size_t p_Chunk = std::size_t(8) << 20);
  ~DirectFileBuffer() override;
  DirectFileBuffer(const DirectFileBuffer&) = delete;
  DirectFileBuffer& operator=(const DirectFileBuffer&) = delete;

  // Writes what is staged and closes the file. False (error() set) if any write failed.
  bool close();
  // The errno of the first failure, 0 if none.
  int error() const { return m_Error; }
  // After a close() that succeeded: true, and p_Sum set to the size and CRC-32 of the bytes written,
  // unless a seek back wrote into a chunk already on the disk past the first.
  bool written_checksum(FileChecksum& p_Sum) const;

protected:
  int_type overflow(int_type p_Char) override;
  std::streamsize xsputn(const char* p_Data, std::streamsize p_Count) override;
  // A flush writes only header bytes gathered below the stage: nothing but whole chunks goes to the
  // disk before close(). It reports a failure.
  int sync() override;
  pos_type seekoff(off_type p_Offset, std::ios_base::seekdir p_Direction, std::ios_base::openmode p_Mode) override;
  pos_type seekpos(pos_type p_Position, std::ios_base::openmode p_Mode) override;

private:
  off_t position() const;
  void note_high_water();
  void stage_at(std::size_t p_Offset);
  bool write_stage();
  bool set_direct(bool p_On);
  bool write_at(const char* p_Data, std::size_t p_Size, off_t p_At);
  bool write_cached(const char* p_Data, std::size_t p_Size, off_t p_At);
  bool write_pending();
  bool failed(int p_Error);
  void sum(const char* p_Data, std::size_t p_Size);

  int m_File = -1;
  bool m_Direct = false;
  std::size_t m_Chunk;
  char* m_Stage = nullptr;
  char* m_Head = nullptr;       // the file's first chunk, once the stage has moved past it
  off_t m_StageStart = 0;      // file offset of m_Stage[0]; always a multiple of m_Chunk
  std::size_t m_StageHigh = 0;  // bytes of the stage that hold data
  off_t m_Patch = -1;           // >= 0: writing below the stage, at this offset, through the cache
  std::string m_Pending;        // the bytes written below the stage since the last seek, up to m_Patch
  int m_Error = 0;
  // CRC-32 of the bytes on the disk from m_Chunk (from 0 without m_Head) up to the stage.
  std::uint32_t m_Crc = 0;
  bool m_CrcKnown = true;
  bool m_Closed = false;
};

}  // namespace io
}  // namespace vireo20
