// Large buffers on 2 MiB pages: a fresh buffer of ten million doubles otherwise costs about 20,000 page
// faults on first touch, several times the cost of filling it. Only a hint to the system; no result
// depends on it.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

#include "quill20/Export.h"

namespace quill20 {
namespace core {

// Buffers from this size on are worth their own huge pages (NumPy's threshold too).
constexpr std::size_t huge_page_threshold = std::size_t(4) << 20;

// Asks for huge pages over the whole 2 MiB pages inside [p_Begin, p_Begin + p_Bytes), before they are
// first touched; smaller buffers are left alone.
QUILL20_API void advise_huge_pages(void* p_Begin, std::size_t p_Bytes);

// p_Bytes of uninitialised memory (large buffers aligned to huge pages and advised), freed with
// std::free; throws std::bad_alloc when the system refuses.
QUILL20_API void* allocate_advised(std::size_t p_Bytes);
// The same, zeroed: calloc takes fresh pages as they come from the system (already zero) instead of
// clearing them again.
QUILL20_API void* allocate_advised_zeroed(std::size_t p_Bytes);

// A working buffer of p_Count T for one pass over millions of entries, freed when it goes out of
// scope; uninitialised unless asked, as such passes write every element before reading it.
template <class T>
class Scratch {
 public:
  explicit Scratch(std::size_t p_Count, bool p_Zeroed = false)
  {
    if (p_Count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = (p_Count > 0 ? p_Count : 1) * sizeof(T);
    m_Data = static_cast<T*>(p_Zeroed ? allocate_advised_zeroed(bytes) : allocate_advised(bytes));
  }
  ~Scratch() { std::free(m_Data); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  T* data() const { return m_Data; }

 private:
  T* m_Data;
};

// The allocator of the in-memory storages.
template <class T>
struct HugePageAllocator {
  using value_type = T;

  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept
  {
  }

  T* allocate(std::size_t p_Count)
  {
    if (p_Count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocate_advised(p_Count * sizeof(T)));
  }
  void deallocate(T* p_Values, std::size_t) noexcept { std::free(p_Values); }

  template <class U>
  bool operator==(const HugePageAllocator<U>&) const noexcept
  {
    return true;
  }
  template <class U>
  bool operator!=(const HugePageAllocator<U>&) const noexcept
  {
    return false;
  }
};

}  // namespace core
}  // namespace quill20
