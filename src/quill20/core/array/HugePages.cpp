// Huge-page advice, and the allocation behind the in-memory storages.
#include "quill20/core/array/HugePages.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>

namespace quill20 {
namespace core {

namespace {
constexpr std::size_t huge_page = std::size_t(2) << 20;
}

void advise_huge_pages(void* p_Begin, std::size_t p_Bytes)
{
  if (!p_Begin || p_Bytes < huge_page_threshold) return;
  const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(p_Begin) + huge_page - 1) & ~(huge_page - 1);
  const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(p_Begin) + p_Bytes) & ~(huge_page - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void* allocate_advised(std::size_t p_Bytes)
{
  void* memory = nullptr;
  if (p_Bytes >= huge_page_threshold) {
    // aligned_alloc wants a multiple of the alignment; the rounding is never touched.
    if (p_Bytes <= static_cast<std::size_t>(-1) - huge_page)
      memory = std::aligned_alloc(huge_page, (p_Bytes + huge_page - 1) / huge_page * huge_page);
    advise_huge_pages(memory, p_Bytes);
  } else {
    memory = std::malloc(p_Bytes == 0 ? 1 : p_Bytes);
  }
  if (!memory) throw std::bad_alloc();
  return memory;
}

void* allocate_advised_zeroed(std::size_t p_Bytes)
{
  void* memory = std::calloc(p_Bytes == 0 ? 1 : p_Bytes, 1);
  if (!memory) throw std::bad_alloc();
  advise_huge_pages(memory, p_Bytes);
  return memory;
}

}  // namespace core
}  // namespace quill20
