// NumPy arrays on quill20's kept blocks (quill20/core/array/HugePages.h). A run makes arrays of the
// same sizes step after step (a frame's parsed columns, the group moments): made on let-go blocks of
// about their size, and giving theirs back, they skip the fresh pages the kernel must clear on first
// touch. Include after <numpy/arrayobject.h>, in a module that imports NumPy's C interface.
#pragma once

#include <cstring>
#include <new>

#include "quill20/core/array/HugePages.h"

namespace vireo20 {
namespace bindings {

namespace kept_blocks_detail {

// NumPy's handler answers a refusal with null.
inline void* take(void*, std::size_t p_Bytes)
{
  try {
    return quill20::core::allocate_advised(p_Bytes);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

inline void* take_zeroed(void*, std::size_t p_Count, std::size_t p_Size)
{
  if (p_Size != 0 && p_Count > static_cast<std::size_t>(-1) / p_Size) return nullptr;
  try {
    return quill20::core::allocate_advised_zeroed(p_Count * p_Size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

inline void* resize(void*, void* p_Memory, std::size_t p_Bytes)
{
  return quill20::core::reallocate_advised(p_Memory, p_Bytes);
}

inline void give(void*, void* p_Memory, std::size_t p_Bytes) { quill20::core::free_advised(p_Memory, p_Bytes); }

inline PyObject* handler()
{
  static PyDataMem_Handler kept = [] {
    PyDataMem_Handler made{};
    std::strncpy(made.name, "vireo20_kept_blocks", sizeof(made.name) - 1);
    made.version = 1;
    made.allocator = {nullptr, take, take_zeroed, resize, give};
    return made;
  }();
  // Arrays hold the capsule as long as they live: it is made once and never released.
  static PyObject* const capsule = PyCapsule_New(&kept, "mem_handler", nullptr);
  return capsule;
}

}  // namespace kept_blocks_detail

// What p_Make returns (a new reference, or null with the Python error set), with the NumPy arrays it
// makes on kept blocks: NumPy's memory handler is switched for the call, and each array keeps the
// handler it was made with.
template <class Make>
PyObject* made_on_kept_blocks(Make&& p_Make)
{
  PyObject* previous = PyDataMem_SetHandler(kept_blocks_detail::handler());
  if (previous == nullptr) return nullptr;
  PyObject* made = p_Make();
  PyObject* ours = PyDataMem_SetHandler(previous);
  Py_DECREF(previous);
  if (ours == nullptr) {
    Py_XDECREF(made);
    return nullptr;
  }
  Py_DECREF(ours);
  return made;
}

}  // namespace bindings
}  // namespace vireo20
