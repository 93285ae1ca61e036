// The size and CRC-32 of a file as it is on the disk, for the job's record of what it wrote.
#pragma once

#include <cstdint>
#include <string>

#include "vireo20/Export.h"

namespace vireo20 {
namespace io {

struct FileChecksum {
  std::int64_t size = 0;
  std::uint32_t crc32 = 0;  // zlib's and gzip's CRC-32: the same value as Python's zlib.crc32
};

// Throws std::system_error (with errno) when the file cannot be opened or read.
VIREO20_API FileChecksum file_checksum(const std::string& p_Path);

}  // namespace io
}  // namespace vireo20
