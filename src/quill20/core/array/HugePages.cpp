// Huge-page advice, the allocation behind the in-memory storages, and the blocks kept between steps.
#include "quill20/core/array/HugePages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quill20 {
namespace core {

namespace {

constexpr std::size_t huge_page = std::size_t(2) << 20;
constexpr std::size_t most_kept = 64;

std::size_t most_kept_bytes()
{
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGESIZE);
  const std::size_t ceiling = std::size_t(4) << 30;
  if (pages <= 0 || page <= 0) return ceiling;
  return std::min(ceiling, static_cast<std::size_t>(pages) / 4 * static_cast<std::size_t>(page));
}

struct Block {
  void* memory;
  std::size_t bytes;  // what it holds at least
};

// Every large buffer handed out is listed with its size, so that a free without a size (VTK's free
// function) finds it; kept ones wait oldest first. Buffers may be given back on any thread, and at
// exit after this file's statics are gone: the table lives as long as the process.
struct Table {
  std::mutex mutex;
  std::unordered_map<void*, std::size_t> lent;
  std::vector<Block> kept;
  std::size_t kept_bytes = 0;
  std::size_t most_bytes = most_kept_bytes();
  int holders = 0;
};

Table& table()
{
  static Table* const blocks = new Table();
  return *blocks;
}

// A kept block that holds p_Bytes and wastes at most an eighth of them, the closest fit; null if none.
void* take_kept(std::size_t p_Bytes)
{
  Table& blocks = table();
  const std::lock_guard<std::mutex> lock(blocks.mutex);
  auto best = blocks.kept.end();
  for (auto block = blocks.kept.begin(); block != blocks.kept.end(); ++block)
    if (block->bytes >= p_Bytes && block->bytes - p_Bytes <= p_Bytes / 8 &&
        (best == blocks.kept.end() || block->bytes < best->bytes))
      best = block;
  if (best == blocks.kept.end()) return nullptr;
  const Block found = *best;
  blocks.lent.emplace(found.memory, found.bytes);  // first: if it throws, the block stays kept
  blocks.kept.erase(best);
  blocks.kept_bytes -= found.bytes;
  return found.memory;
}

void* lend(void* p_Memory, std::size_t p_Bytes)
{
  if (!p_Memory) throw std::bad_alloc();
  Table& blocks = table();
  try {
    const std::lock_guard<std::mutex> lock(blocks.mutex);
    blocks.lent[p_Memory] = p_Bytes;
  } catch (...) {
    std::free(p_Memory);
    throw;
  }
  return p_Memory;
}

// Back from a borrower: kept while held, freed otherwise; the oldest kept go when the table is full.
// Nothing here allocates but the table's own growth, which failing frees the block instead.
void give(void* p_Memory) noexcept
{
  Table& blocks = table();
  std::unique_lock<std::mutex> lock(blocks.mutex);
  const auto lent = blocks.lent.find(p_Memory);
  if (lent == blocks.lent.end()) {
    lock.unlock();
    std::free(p_Memory);
    return;
  }
  const Block block{p_Memory, lent->second};
  blocks.lent.erase(lent);
  bool kept = false;
  if (blocks.holders > 0 && block.bytes <= blocks.most_bytes) {
    try {
      blocks.kept.push_back(block);
      blocks.kept_bytes += block.bytes;
      kept = true;
    } catch (...) {
    }
  }
  std::size_t oldest = 0;
  while (blocks.kept.size() - oldest > most_kept || blocks.kept_bytes > blocks.most_bytes) {
    std::free(blocks.kept[oldest].memory);
    blocks.kept_bytes -= blocks.kept[oldest].bytes;
    ++oldest;
  }
  blocks.kept.erase(blocks.kept.begin(), blocks.kept.begin() + static_cast<std::ptrdiff_t>(oldest));
  lock.unlock();
  if (!kept) std::free(block.memory);
}

// Frees every kept block, the holds staying as they are; whether there was any.
bool release_kept() noexcept
{
  std::vector<Block> unused;
  {
    Table& blocks = table();
    const std::lock_guard<std::mutex> lock(blocks.mutex);
    unused.swap(blocks.kept);
    blocks.kept_bytes = 0;
  }
  for (const Block& block : unused) std::free(block.memory);
  return !unused.empty();
}

// A refusal is tried again once the kept blocks are freed: they hold memory that only buffers of
// about their own sizes would use, and a run near its memory limit needs it more for others.
template <class Allocate>
void* allocate_or_release(Allocate&& p_Allocate)
{
  void* memory = p_Allocate();
  if (!memory && release_kept()) memory = p_Allocate();
  if (!memory) throw std::bad_alloc();
  return memory;
}

}  // namespace

void advise_huge_pages(void* p_Begin, std::size_t p_Bytes)
{
  if (!p_Begin || p_Bytes < huge_page_threshold) return;
  const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(p_Begin) + huge_page - 1) & ~(huge_page - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(p_Begin) + p_Bytes) & ~(huge_page - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void* allocate_advised(std::size_t p_Bytes)
{
  if (p_Bytes < huge_page_threshold) return allocate_or_release([&] { return std::malloc(p_Bytes == 0 ? 1 : p_Bytes); });
  if (p_Bytes > static_cast<std::size_t>(-1) - huge_page) throw std::bad_alloc();
  // aligned_alloc wants a multiple of the alignment; the rounding is never touched.
  const std::size_t rounded = (p_Bytes + huge_page - 1) / huge_page * huge_page;
  const bool keepable = rounded >= smallest_kept_block;
  if (keepable)
    if (void* kept = take_kept(rounded)) return kept;
  void* memory = allocate_or_release([&] { return std::aligned_alloc(huge_page, rounded); });
  advise_huge_pages(memory, p_Bytes);
  return keepable ? lend(memory, rounded) : memory;
}

void* allocate_advised_zeroed(std::size_t p_Bytes)
{
  if (p_Bytes >= smallest_kept_block) {
    if (void* kept = take_kept(p_Bytes)) return std::memset(kept, 0, p_Bytes);
  }
  void* memory = allocate_or_release([&] { return std::calloc(p_Bytes == 0 ? 1 : p_Bytes, 1); });
  advise_huge_pages(memory, p_Bytes);
  return p_Bytes >= smallest_kept_block ? lend(memory, p_Bytes) : memory;
}

void free_advised(void* p_Memory) noexcept
{
  if (p_Memory) give(p_Memory);
}

void free_advised(void* p_Memory, std::size_t p_Bytes) noexcept
{
  if (p_Bytes < smallest_kept_block)
    std::free(p_Memory);
  else if (p_Memory)
    give(p_Memory);
}

void disown_advised(void* p_Memory) noexcept
{
  if (!p_Memory) return;
  Table& blocks = table();
  const std::lock_guard<std::mutex> lock(blocks.mutex);
  blocks.lent.erase(p_Memory);
}

void* reallocate_advised(void* p_Memory, std::size_t p_Bytes) noexcept
{
  // realloc takes the block over: no longer listed, it is freed, not kept, when given back.
  std::size_t listed = 0;
  if (p_Memory) {
    Table& blocks = table();
    const std::lock_guard<std::mutex> lock(blocks.mutex);
    const auto lent = blocks.lent.find(p_Memory);
    if (lent != blocks.lent.end()) {
      listed = lent->second;
      blocks.lent.erase(lent);
    }
  }
  void* memory = std::realloc(p_Memory, p_Bytes == 0 ? 1 : p_Bytes);
  if (!memory && listed) {
    // Still the caller's as it was. Erasing freed the map's node, so listing it again can only
    // fail if another thread took that memory meanwhile: the block is then freed, never kept.
    Table& blocks = table();
    const std::lock_guard<std::mutex> lock(blocks.mutex);
    try {
      blocks.lent.emplace(p_Memory, listed);
    } catch (...) {
    }
  }
  return memory;
}

void hold_freed_blocks()
{
  Table& blocks = table();
  const std::lock_guard<std::mutex> lock(blocks.mutex);
  ++blocks.holders;
}

void let_go_of_freed_blocks()
{
  {
    Table& blocks = table();
    const std::lock_guard<std::mutex> lock(blocks.mutex);
    if (blocks.holders == 0 || --blocks.holders > 0) return;
  }
  release_kept();
}

std::size_t freed_blocks_kept()
{
  Table& blocks = table();
  const std::lock_guard<std::mutex> lock(blocks.mutex);
  return blocks.kept.size();
}

}  // namespace core
}  // namespace quill20
