// A NumPy (or any) buffer held for the life of a C++ scope, and released however the scope ends.
#pragma once

#include <Python.h>

namespace vireo20 {
namespace bindings {

class HeldBuffer {
 public:
  // Asks p_Object for a C-contiguous buffer; on failure held() is false and the Python error is set.
  HeldBuffer(PyObject* p_Object, int p_Flags)
      : m_Held(PyObject_GetBuffer(p_Object, &m_View, PyBUF_C_CONTIGUOUS | p_Flags) == 0)
  {
  }
  ~HeldBuffer()
  {
    if (m_Held) PyBuffer_Release(&m_View);
  }
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;

  bool held() const { return m_Held; }
  const Py_buffer& view() const { return m_View; }
  template <class T>
  T* data() const
  {
    return static_cast<T*>(m_View.buf);
  }

 private:
  Py_buffer m_View{};
  bool m_Held;
};

}  // namespace bindings
}  // namespace vireo20
