// The error of a text dump that its user can fix.
#include "vireo20/io/DumpError.h"

#include <utility>

namespace vireo20 {
namespace io {

DumpError::DumpError(std::string p_Item, std::string p_Problem)
    : std::runtime_error(p_Item + ": " + p_Problem), m_Item(std::move(p_Item)), m_Problem(std::move(p_Problem))
{
}

DumpError::~DumpError() = default;

DumpError DumpError::whole_file(std::string p_Problem)
{
  DumpError error("-", std::move(p_Problem));
  error.m_WholeFile = true;
  return error;
}

void DumpError::set_timestep(std::int64_t p_Timestep)
{
  if (m_WholeFile || m_HasTimestep) return;
  m_HasTimestep = true;
  m_Timestep = p_Timestep;
}

}  // namespace io
}  // namespace vireo20
