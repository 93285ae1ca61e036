#include "vireo20/io/TextStream.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "vireo20/io/DumpError.h"

namespace vireo20 {
namespace io {

TextStream::TextStream(const std::string& p_Path) : m_Source(ByteSource::open(p_Path, 0)) {}

TextStream::~TextStream() = default;

std::size_t TextStream::read(char* p_Into, std::size_t p_Size)
{
  std::size_t done = 0;
  while (done < p_Size && !m_Ended) {
    if (!m_Block || m_At == m_Block.size()) {
      if (m_Block) m_Source->recycle(std::move(m_Block));
      m_Block = m_Source->next();
      m_At = 0;
      if (!m_Block) {
        m_Ended = true;
        if (!m_Source->ended_cleanly()) throw DumpError::whole_file("the compressed stream is cut short");
        break;
      }
    }
    const std::size_t taken = std::min(p_Size - done, m_Block.size() - m_At);
    std::memcpy(p_Into + done, m_Block.text() + m_At, taken);
    m_At += taken;
    done += taken;
  }
  return done;
}

}  // namespace io
}  // namespace vireo20
