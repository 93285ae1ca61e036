// The table of exported storages, consulted by every storage resize.
#include "quill20/core/array/MemoryExport.h"

#include <unordered_map>

namespace quill20 {
namespace core {

namespace {

std::unordered_map<const IArrayImpl*, std::uint64_t>& exports()
{
  static std::unordered_map<const IArrayImpl*, std::uint64_t> table;
  return table;
}

}  // namespace

MemoryExport::MemoryExport(boost::shared_ptr<IArrayImpl> p_Storage) : m_Storage(std::move(p_Storage)), m_Data(nullptr), m_Size(0)
{
  AnyHandle shape(handle_t(0));
  m_Data = m_Storage->get_data(shape);
  m_Size = shape.element_count();
  ++exports()[m_Storage.get()];
}

MemoryExport::~MemoryExport()
{
  auto entry = exports().find(m_Storage.get());
  if (entry != exports().end() && --entry->second == 0) exports().erase(entry);
}

std::uint64_t MemoryExport::count(const IArrayImpl* p_Storage)
{
  const auto& table = exports();
  if (table.empty()) return 0;
  auto entry = table.find(p_Storage);
  return entry == table.end() ? 0 : entry->second;
}

}  // namespace core
}  // namespace quill20
