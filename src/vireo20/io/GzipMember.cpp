#include "vireo20/io/GzipMember.h"

#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <vector>

namespace vireo20 {
namespace io {

std::string gzip_member(const char* p_Data, std::size_t p_Size)
{
  isal_zstream stream;
  isal_deflate_init(&stream);
  stream.gzip_flag = IGZIP_GZIP;
  stream.level = 1;
  std::vector<std::uint8_t> level_buffer(ISAL_DEF_LVL1_DEFAULT);
  stream.level_buf = level_buffer.data();
  stream.level_buf_size = static_cast<std::uint32_t>(level_buffer.size());
  stream.flush = NO_FLUSH;
  std::string out;
  // Deflate's worst case is a little above its input; text shrinks to a third or less.
  out.resize(std::max<std::size_t>(p_Size / 3, 1 << 16));
  std::size_t written = 0, taken = 0;
  // avail_in and avail_out are 32-bit: the input goes in pieces.
  constexpr std::size_t piece = std::size_t(1) << 30;
  for (;;) {
    if (stream.avail_in == 0 && taken < p_Size) {
      const std::size_t next = std::min(piece, p_Size - taken);
      stream.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(p_Data + taken));
      stream.avail_in = static_cast<std::uint32_t>(next);
      taken += next;
      stream.end_of_stream = taken == p_Size ? 1 : 0;
    }
    if (written == out.size()) out.resize(out.size() + out.size() / 2);
    const std::size_t room = std::min(piece, out.size() - written);
    stream.next_out = reinterpret_cast<std::uint8_t*>(&out[written]);
    stream.avail_out = static_cast<std::uint32_t>(room);
    if (taken == p_Size) stream.end_of_stream = 1;
    const int status = isal_deflate(&stream);
    if (status != COMP_OK) throw std::runtime_error("gzip_member: ISA-L's deflate failed (" + std::to_string(status) + ")");
    written += room - stream.avail_out;
    if (stream.internal_state.state == ZSTATE_END) break;
  }
  out.resize(written);
  return out;
}

}  // namespace io
}  // namespace vireo20
