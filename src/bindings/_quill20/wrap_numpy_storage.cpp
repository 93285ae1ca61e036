// quill20.asarray: arrays whose storage is a NumPy array's own buffer, so per-particle inputs reach
// the generator without a copy.
#include <Python.h>

#include <cstring>

#include <boost/python.hpp>

#include "kernos50/Check.h"
#include "quill20/core/array/Array1D.h"
#include "quill20/core/array/ElementTypes.h"
#include "quill20/core/array/IArrayImplType.h"
#include "quill20/core/array/VectorArrayImpl.h"
#include "quill20/core/array/VectorArrayImplFactory.h"
#include "wrap_array.h"
#include "wrap_grid_function.h"

namespace quill20 {
namespace bindings {

namespace py = boost::python;

namespace {

// Views a writable, C-contiguous buffer. Holding the buffer keeps the NumPy array alive and stops
// NumPy from resizing it; this storage refuses to resize too, so the memory never moves.
class BufferStorage {
 public:
  virtual ~BufferStorage() = default;
};

template <class T>
class BufferArrayImpl : public core::IArrayImplType<T, core::IArrayImpl>, public BufferStorage {
 public:
  explicit BufferArrayImpl(Py_buffer& p_Buffer)
      : m_Buffer(p_Buffer), m_Size(static_cast<std::uint64_t>(p_Buffer.len) / sizeof(T))
  {
  }
  // The last owner may let go anywhere; the buffer is handed back under the interpreter lock.
  ~BufferArrayImpl() override
  {
    const PyGILState_STATE state = PyGILState_Ensure();
    PyBuffer_Release(&m_Buffer);
    PyGILState_Release(state);
  }

  void* get_data(core::AnyHandle& p_Shape) override
  {
    p_Shape = core::AnyHandle(core::handle_t(m_Size));
    return m_Size ? m_Buffer.buf : nullptr;
  }

 protected:
  void do_resize(std::uint64_t p_NewSize) override
  {
    KERNOS50_PRECONDITION(p_NewSize == m_Size, "This array's storage is the buffer of a NumPy array, which cannot "
                                               "be resized; copy it with quill20.array(...) first.");
  }

 public:
  // Copies and new storages of this kind live in memory.
  core::IArrayImpl* clone() const override
  {
    auto* copy = new core::VectorArrayImpl<T>(m_Size);
    core::AnyHandle shape(core::handle_t(0));
    if (m_Size) std::memcpy(copy->get_data(shape), m_Buffer.buf, m_Size * sizeof(T));
    return copy;
  }
  core::IArrayImplFactory& factory() const override { return core::VectorArrayImplFactory::instance(); }

 protected:
  core::IArrayImpl* do_create_new_with_shape(const core::AnyHandle& p_Shape) const override
  {
    return new core::VectorArrayImpl<T>(p_Shape.get<core::Handle1>());
  }

 private:
  Py_buffer m_Buffer;
  std::uint64_t m_Size;
};

template <class T>
py::object array_over(Py_buffer& p_Buffer)
{
  BufferArrayImpl<T>* impl = nullptr;
  try {
    impl = new BufferArrayImpl<T>(p_Buffer);
  } catch (...) {
    // Until the storage exists nothing else will hand the buffer back.
    PyBuffer_Release(&p_Buffer);
    throw;
  }
  boost::shared_ptr<core::IArrayImpl> storage(impl);
  // Handed over as IArray: Python sees the array's own class all the same, and the one converter
  // serves every element type.
  return py::object(boost::shared_ptr<core::IArray>(new core::Array<T, 1>(storage)));
}

template <class C>
py::object array_of_components(Py_buffer& p_Buffer, Py_ssize_t p_Components)
{
  switch (p_Components) {
    case 1: return array_over<C>(p_Buffer);
    case 2: return array_over<mtm::RigidVector<2, C>>(p_Buffer);
    case 3: return array_over<mtm::RigidVector<3, C>>(p_Buffer);
    case 4: return array_over<mtm::RigidVector<4, C>>(p_Buffer);
    case 9: return array_over<mtm::RigidVector<9, C>>(p_Buffer);
    default: return py::object();
  }
}

// The component type a buffer format names, by size and kind as NumPy writes them.
core::ScalarType scalar_type_of(const char* p_Format, Py_ssize_t p_ItemSize)
{
  const char code = p_Format[std::strspn(p_Format, "@=<")];
  if (code == '?') return core::stBool;
  if (code == 'f' && p_ItemSize == 4) return core::stFloat32;
  if (code == 'd' && p_ItemSize == 8) return core::stFloat64;
  const bool is_signed = std::strchr("bhilq", code) != nullptr;
  const bool is_unsigned = std::strchr("BHILQ", code) != nullptr;
  if (!is_signed && !is_unsigned) return core::stNotAScalar;
  switch (p_ItemSize) {
    case 1: return is_signed ? core::stInt8 : core::stUInt8;
    case 2: return is_signed ? core::stInt16 : core::stUInt16;
    case 4: return is_signed ? core::stInt32 : core::stUInt32;
    case 8: return is_signed ? core::stInt64 : core::stUInt64;
    default: return core::stNotAScalar;
  }
}

// An array over the object's own buffer, or None when its layout or type needs a copy.
py::object buffer_array(const py::object& p_Object)
{
  Py_buffer buffer;
  if (PyObject_GetBuffer(p_Object.ptr(), &buffer, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE | PyBUF_FORMAT) != 0) {
    PyErr_Clear();
    return py::object();
  }
  const Py_ssize_t components = buffer.ndim == 1 ? 1 : buffer.ndim == 2 ? buffer.shape[1] : 0;
  const core::ScalarType type = buffer.format ? scalar_type_of(buffer.format, buffer.itemsize) : core::stNotAScalar;
  py::object result = core::dispatch_scalar_type(
      type, [&](auto tag) { return array_of_components<typename decltype(tag)::type>(buffer, components); },
      [] { return py::object(); });
  if (result.is_none()) PyBuffer_Release(&buffer);
  return result;
}

}  // namespace

bool is_buffer_storage(const core::IArrayImpl& p_Storage) { return dynamic_cast<const BufferStorage*>(&p_Storage); }

void wrap_numpy_storage()
{
  py::def("_buffer_array", &buffer_array, py::arg("ndarray"),
          "An array whose storage is the object's own writable C-contiguous buffer, or None when it has none "
          "of a supported element type.");
}

}  // namespace bindings
}  // namespace quill20
