// Large buffers on 2 MiB pages, kept for the next step while a run holds them. A fresh buffer of ten
// million doubles costs about 20,000 page faults on first touch, several times the cost of filling it;
// and every step of a run makes buffers of the same sizes again, which given back to the system come
// back as fresh pages for the kernel to clear (on virtual machines about a second of CPU time per GiB).
// Neither the advice nor the reuse changes any result.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

#include "quill20/Export.h"

namespace quill20 {
namespace core {

// Buffers from this size on are worth their own huge pages (NumPy's threshold too).
constexpr std::size_t huge_page_threshold = std::size_t(4) << 20;

// Buffers from this size on are kept between steps. glibc's heap would keep them too, but serves a
// step's arrays from wherever they fit: over six frames of a million atoms, keeping them here by size
// held 456 MB at the peak against 550 MB, with a seventh less system time.
constexpr std::size_t smallest_kept_block = std::size_t(4) << 20;

// Asks for huge pages over the whole 2 MiB pages inside [p_Begin, p_Begin + p_Bytes), before they are
// first touched; smaller buffers are left alone.
QUILL20_API void advise_huge_pages(void* p_Begin, std::size_t p_Bytes);

// p_Bytes of uninitialised memory (large buffers aligned to huge pages and advised; the largest may be
// a kept block of about that size), given back with free_advised; throws std::bad_alloc when the system refuses.
QUILL20_API void* allocate_advised(std::size_t p_Bytes);
// The same, zeroed: a fresh buffer comes from calloc, whose fresh pages are zero already, rather than
// being cleared again; a kept block is cleared.
QUILL20_API void* allocate_advised_zeroed(std::size_t p_Bytes);
// Gives back memory from the two above (or from malloc: a buffer these did not hand out is freed).
// While blocks are held, a large buffer is kept for a later allocation of about its size.
QUILL20_API void free_advised(void* p_Memory) noexcept;
// The same for p_Bytes as allocated: smaller buffers skip the lookup.
QUILL20_API void free_advised(void* p_Memory, std::size_t p_Bytes) noexcept;
// Takes memory from the above off the books: from then on it is plain malloc memory, for an owner
// that reallocates or frees it itself (VTK resizing an array).
QUILL20_API void disown_advised(void* p_Memory) noexcept;
// Resizes memory from the above like realloc (which then owns it: free_advised or free it). Null when
// the system refuses, the memory then untouched.
QUILL20_API void* reallocate_advised(void* p_Memory, std::size_t p_Bytes) noexcept;

// Buffers of smallest_kept_block and more given back are kept from the first hold to the matching
// last let-go (a run, an open dump reader), which frees what is kept. At most 64 blocks and the
// lesser of 4 GiB and a quarter of the machine's memory are kept; the oldest go first, and all of
// them when an allocation is refused (which is then tried again).
QUILL20_API void hold_freed_blocks();
QUILL20_API void let_go_of_freed_blocks();
// How many blocks are kept now.
QUILL20_API std::size_t freed_blocks_kept();

// A working buffer of p_Count T for one pass over millions of entries, freed when it goes out of
// scope; uninitialised unless asked, as such passes write every element before reading it.
template <class T>
class Scratch {
 public:
  explicit Scratch(std::size_t p_Count, bool p_Zeroed = false)
  {
    if (p_Count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    m_Bytes = (p_Count > 0 ? p_Count : 1) * sizeof(T);
    m_Data = static_cast<T*>(p_Zeroed ? allocate_advised_zeroed(m_Bytes) : allocate_advised(m_Bytes));
  }
  ~Scratch() { free_advised(m_Data, m_Bytes); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  T* data() const { return m_Data; }

 private:
  T* m_Data;
  std::size_t m_Bytes;
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
  void deallocate(T* p_Values, std::size_t p_Count) noexcept { free_advised(p_Values, p_Count * sizeof(T)); }

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
