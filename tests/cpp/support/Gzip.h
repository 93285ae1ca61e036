// Test helper: a text as gzip writes it (zlib, level 6), for the readers that inflate it.
#pragma once

#include <zlib.h>

#include <string>

namespace testing_support {

inline std::string gzip(const std::string& p_Text)
{
  z_stream stream{};
  deflateInit2(&stream, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  std::string packed(deflateBound(&stream, p_Text.size()) + 32, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(p_Text.data()));
  stream.avail_in = static_cast<uInt>(p_Text.size());
  stream.next_out = reinterpret_cast<Bytef*>(&packed[0]);
  stream.avail_out = static_cast<uInt>(packed.size());
  deflate(&stream, Z_FINISH);
  packed.resize(stream.total_out);
  deflateEnd(&stream);
  return packed;
}

}  // namespace testing_support
