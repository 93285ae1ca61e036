#include "ColumnBlocks.h"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/ndarraytypes.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "quill20/core/array/HugePages.h"

namespace vireo20 {
namespace io {

namespace {

constexpr std::size_t smallest_kept = std::size_t(4) << 20;
// A frame has a handful of columns: a few frames' worth covers the frames a run holds at once.
constexpr std::size_t most_kept = 16;
constexpr std::size_t most_kept_bytes = std::size_t(2) << 30;

struct Kept {
  std::mutex mutex;
  std::vector<std::pair<void*, std::size_t>> blocks;  // (memory, bytes it holds at least)
  std::size_t bytes = 0;
  int holders = 0;
};

Kept& kept()
{
  static Kept* const table = new Kept();  // freed arrays may outlive the module's statics
  return *table;
}

void* take(void*, std::size_t p_Bytes)
{
  if (p_Bytes >= smallest_kept) {
    Kept& table = kept();
    const std::lock_guard<std::mutex> lock(table.mutex);
    for (auto& block : table.blocks) {
      if (block.second >= p_Bytes && block.second - p_Bytes <= p_Bytes / 8) {
        void* memory = block.first;
        table.bytes -= block.second;
        block = table.blocks.back();
        table.blocks.pop_back();
        return memory;
      }
    }
  }
  void* memory = std::malloc(p_Bytes > 0 ? p_Bytes : 1);
  if (memory != nullptr && p_Bytes >= smallest_kept) quill20::core::advise_huge_pages(memory, p_Bytes);
  return memory;
}

void* take_zeroed(void*, std::size_t p_Count, std::size_t p_Size) { return std::calloc(p_Count, p_Size); }

void* resize(void*, void* p_Memory, std::size_t p_Bytes) { return std::realloc(p_Memory, p_Bytes > 0 ? p_Bytes : 1); }

void give(void*, void* p_Memory, std::size_t p_Bytes)
{
  if (p_Memory == nullptr) return;
  if (p_Bytes >= smallest_kept) {
    Kept& table = kept();
    const std::lock_guard<std::mutex> lock(table.mutex);
    if (table.holders > 0 && table.blocks.size() < most_kept && table.bytes + p_Bytes <= most_kept_bytes) {
      table.blocks.emplace_back(p_Memory, p_Bytes);
      table.bytes += p_Bytes;
      return;
    }
  }
  std::free(p_Memory);
}

PyDataMem_Handler make_handler()
{
  PyDataMem_Handler handler{};
  std::strncpy(handler.name, "vireo20_column_blocks", sizeof(handler.name) - 1);
  handler.version = 1;
  handler.allocator = {nullptr, take, take_zeroed, resize, give};
  return handler;
}

PyDataMem_Handler column_handler = make_handler();

}  // namespace

PyObject* column_blocks_handler()
{
  // Arrays hold the capsule as long as they live: it is made once and never released.
  static PyObject* const capsule = PyCapsule_New(&column_handler, "mem_handler", nullptr);
  return capsule;
}

void column_blocks_hold()
{
  Kept& table = kept();
  const std::lock_guard<std::mutex> lock(table.mutex);
  ++table.holders;
}

std::size_t column_blocks_kept()
{
  Kept& table = kept();
  const std::lock_guard<std::mutex> lock(table.mutex);
  return table.blocks.size();
}

void column_blocks_let_go()
{
  std::vector<std::pair<void*, std::size_t>> unused;
  {
    Kept& table = kept();
    const std::lock_guard<std::mutex> lock(table.mutex);
    if (--table.holders > 0) return;
    unused.swap(table.blocks);
    table.bytes = 0;
  }
  for (const auto& block : unused) std::free(block.first);
}

}  // namespace io
}  // namespace vireo20
