// The error of a text dump that its user can fix: what it concerns (an ITEM or a column), the
// problem in words, and the frame's timestep when the reader got that far.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "vireo20/Export.h"

namespace vireo20 {
namespace io {

class VIREO20_API DumpError : public std::runtime_error {
 public:
  // A problem of one frame; p_Item is the ITEM or the column it concerns.
  DumpError(std::string p_Item, std::string p_Problem);
  ~DumpError() override;

  // A damaged or unreadable file rather than a bad frame: no frame of it can be trusted, so no
  // frame is to blame.
  static DumpError whole_file(std::string p_Problem);

  const std::string& item() const { return m_Item; }
  const std::string& problem() const { return m_Problem; }
  bool is_whole_file() const { return m_WholeFile; }
  // The file's bytes end before its frame does (a plain file, or a compressed stream, cut short), as
  // a dump that a running simulation is still writing ends: the frames before are whole.
  bool is_cut_short() const { return m_CutShort; }
  DumpError& cut_short()
  {
    m_CutShort = true;
    return *this;
  }
  bool has_timestep() const { return m_HasTimestep; }
  std::int64_t timestep() const { return m_Timestep; }

  // The reader names the frame once it knows its timestep.
  void set_timestep(std::int64_t p_Timestep);

 private:
  std::string m_Item;
  std::string m_Problem;
  bool m_WholeFile = false;
  bool m_CutShort = false;
  bool m_HasTimestep = false;
  std::int64_t m_Timestep = 0;
};

}  // namespace io
}  // namespace vireo20
