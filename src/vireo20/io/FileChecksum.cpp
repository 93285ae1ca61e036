// ISA-L's folding CRC instead of zlib's table-driven one: a step file of tens of megabytes is summed
// in milliseconds rather than tens of them, on the thread that checks it while the next is written.
#include "vireo20/io/FileChecksum.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <system_error>

#include <isa-l/crc.h>

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
  // A piece that stays in the cache between the read and the sum.
  constexpr std::size_t piece = std::size_t(1) << 20;
  const std::unique_ptr<unsigned char[]> buffer(new unsigned char[piece]);
  FileChecksum result;
  for (;;) {
    const ssize_t got = ::read(descriptor, buffer.get(), piece);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw std::system_error(errno, std::generic_category(), p_Path);
    if (got == 0) return result;
    result.crc32 = crc32_gzip_refl(result.crc32, buffer.get(), static_cast<std::uint64_t>(got));
    result.size += got;
  }
}

}  // namespace io
}  // namespace vireo20
