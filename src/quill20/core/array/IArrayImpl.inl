// The guarded resize shared by every storage kind.
#include "kernos50/Check.h"
#include "quill20/core/array/IArray.h"
#include "quill20/core/array/IArrayImpl.h"
#include "quill20/core/array/MemoryExport.h"

namespace quill20 {
namespace core {

IArrayImpl::~IArrayImpl() = default;

IArray::~IArray() = default;

void IArrayImpl::resize(std::uint64_t p_NewSize)
{
  KERNOS50_PRECONDITION(p_NewSize <= this->max_size(), "Trying to resize array to invalid size: "
                                                           << p_NewSize << " elements." << std::endl
                                                           << "Maximum size is: " << this->max_size());
  // A storage that changed behind the library's back (a VTK array resized through VTK) refuses here.
  AnyHandle shape(handle_t(0));
  get_data(shape);
  // Memory that a view outside the library points into must not move.
  const std::uint64_t exported_views = MemoryExport::count(this);
  KERNOS50_PRECONDITION(exported_views == 0, "Trying to resize an array storage whose memory is exported to "
                                                 << exported_views << " live view(s).");
  do_resize(p_NewSize);
  notify(this);
}

}  // namespace core
}  // namespace quill20
