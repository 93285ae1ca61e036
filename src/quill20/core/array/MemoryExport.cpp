// The table of exported storages, consulted by every storage resize.
#include "quill20/core/array/MemoryExport.h"

#include <mutex>
#include <unordered_map>

namespace quill20 {
namespace core {

namespace {

// Exports are made and dropped on one thread while another resizes (a reduction without the
// interpreter lock makes its results beside the job's writer): the table has its own mutex.
std::mutex exports_mutex;

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
  const std::lock_guard<std::mutex> lock(exports_mutex);
  ++exports()[m_Storage.get()];
}

MemoryExport::~MemoryExport()
{
  const std::lock_guard<std::mutex> lock(exports_mutex);
  auto entry = exports().find(m_Storage.get());
  if (entry != exports().end() && --entry->second == 0) exports().erase(entry);
}

std::uint64_t MemoryExport::count(const IArrayImpl* p_Storage)
{
  const std::lock_guard<std::mutex> lock(exports_mutex);
  const auto& table = exports();
  if (table.empty()) return 0;
  auto entry = table.find(p_Storage);
  return entry == table.end() ? 0 : entry->second;
}

}  // namespace core
}  // namespace quill20
