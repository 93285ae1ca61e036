// ISA-L's folding CRC instead of zlib's table-driven one: a step file of tens of megabytes is summed
// in milliseconds rather than tens of them. On a local disk the file is read around the page cache
// (DirectFileBuffer tells where): `--resume` compares what the disk holds, and a step file written
// around the cache costs no copy into it.
#include "vireo20/io/FileChecksum.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <system_error>

#include <isa-l/crc.h>

#include "vireo20/io/DirectFileBuffer.h"

namespace vireo20 {
namespace io {

FileChecksum file_checksum(const std::string& p_Path)
{
  const int descriptor = ::open(p_Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) throw std::system_error(errno, std::generic_category(), p_Path);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{descriptor};
  bool direct = on_local_disk(descriptor) && set_direct_io(descriptor, true);
  // Whole aligned blocks, as reads around the cache need.
  constexpr std::size_t block = 4096, piece = std::size_t(4) << 20;
  const std::unique_ptr<unsigned char, decltype(&std::free)> buffer(
      static_cast<unsigned char*>(std::aligned_alloc(block, piece)), &std::free);
  if (!buffer) throw std::system_error(ENOMEM, std::generic_category(), p_Path);
  FileChecksum result;
  for (;;) {
    const ssize_t got = ::pread(descriptor, buffer.get(), piece, result.size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EINVAL && direct) {
      // Taken when set, refused here: the rest through the cache.
      if (!set_direct_io(descriptor, false)) throw std::system_error(errno, std::generic_category(), p_Path);
      direct = false;
      continue;
    }
    if (got < 0) throw std::system_error(errno, std::generic_category(), p_Path);
    if (got == 0) return result;
    result.crc32 = crc32_gzip_refl(result.crc32, buffer.get(), static_cast<std::uint64_t>(got));
    result.size += got;
  }
}

}  // namespace io
}  // namespace vireo20
