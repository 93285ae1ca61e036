// MemoryExport: pins a storage while code outside the library (a NumPy view, say) points into its
// memory. The storage stays alive, and resizing it, which could move the memory, is refused.
#pragma once

#include <cstdint>

#include <boost/shared_ptr.hpp>

#include "quill20/Export.h"
#include "quill20/core/array/IArrayImpl.h"

namespace quill20 {
namespace core {

class QUILL20_API MemoryExport {
 public:
  explicit MemoryExport(boost::shared_ptr<IArrayImpl> p_Storage);
  ~MemoryExport();
  MemoryExport(const MemoryExport&) = delete;
  MemoryExport& operator=(const MemoryExport&) = delete;

  // The first element and the element count at the time of the export.
  void* data() const { return m_Data; }
  std::uint64_t size() const { return m_Size; }
  const boost::shared_ptr<IArrayImpl>& storage() const { return m_Storage; }

  // Number of live exports of a storage.
  static std::uint64_t count(const IArrayImpl* p_Storage);

 private:
  boost::shared_ptr<IArrayImpl> m_Storage;
  void* m_Data;
  std::uint64_t m_Size;
};

}  // namespace core
}  // namespace quill20
