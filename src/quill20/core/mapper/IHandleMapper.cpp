// Failures of handle mappers asked for a pair of kinds they do not map.
#include "quill20/core/mapper/IHandleMapper.h"

#include <cstdlib>

#include "kernos50/Check.h"

namespace quill20 {
namespace core {

IHandleMapper::~IHandleMapper() = default;

namespace detail {

void raise_unsupported_unchecked_mapping()
{
  KERNOS50_PRECONDITION(0, "Mapper don't know how to map, etc, etc, etc");
  std::abort();
}

void raise_unsupported_mapping()
{
  KERNOS50_PRECONDITION(0, "Mapper doesn't know how to map the given handles.");
  std::abort();
}

}  // namespace detail

}  // namespace core
}  // namespace quill20
