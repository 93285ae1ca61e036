// Python classes of the one-dimensional arrays, one per element type, stamped out from the lists,
// and the helpers they share: argument conversion, allocation messages, NumPy views.
#pragma once

#include <cstdint>
#include <string>

#include <boost/python/extract.hpp>
#include <boost/python/object_fwd.hpp>
#include <boost/shared_ptr.hpp>

#include "IntegerArguments.h"
#include "quill20/core/array/ScalarType.h"

namespace quill20 {
namespace core {
class IArray;
class IArrayImpl;
}

namespace bindings {

// The name of an element type as the class names carry it: float64, int32x3, ...
std::string element_type_name(core::ScalarType p_ScalarType, unsigned int p_Components);

// The docstring of the class of arrays of such elements.
std::string array_class_doc(core::ScalarType p_ScalarType, unsigned int p_Components);

// "vector", "vtk", "numpy" (quill20.asarray), "none" or "other".
std::string storage_kind(const core::IArray& p_Array);

// The elements an array really holds: one without storage holds none, whatever size it records.
// Checks the storage first, as every raw access does.
std::uint64_t held_size(core::IArray& p_Array);

// One element as Python sees it: a number, or a tuple of numbers for a multi-component element.
boost::python::object element_to_python(core::ScalarType p_ScalarType, unsigned int p_Components,
                                        const void* p_Element);

// p_Value converted whole into the element at p_Element, so that a refused value stores nothing:
// integers must fit the component type, floats take anything with __float__, bool anything with a
// truth value; p_ClassName names the array or grid function class in the refusals.
void element_from_python(core::ScalarType p_ScalarType, unsigned int p_Components, const boost::python::object& p_Value,
                         void* p_Element, const std::string& p_ClassName);

// a[index] = value for any array: the index as Python's (IndexError outside), the value as above.
void set_element(core::IArray& p_Array, const boost::python::object& p_Index, const boost::python::object& p_Value);

// The typed resize of each element type, registered with its class; IArray.resize looks it up.
using ResizeFunction = void (*)(core::IArray& p_Array, const boost::python::object& p_Size);
void register_resize(core::ScalarType p_ScalarType, unsigned int p_Components, ResizeFunction p_Resize);

// Whether a storage is a NumPy array's own buffer (quill20.asarray).
bool is_buffer_storage(const core::IArrayImpl& p_Storage);

void wrap_iarray();
void wrap_memory_export();

// The shared pointer a wrapped Python object holds (None gives an empty one); a wrong type raises
// TypeError. GCC 12 takes Boost.Python's converter storage for uninitialised here, falsely.
template <class T>
boost::shared_ptr<T> shared_argument(const boost::python::object& p_Value)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
  return boost::python::extract<boost::shared_ptr<T>>(p_Value)();
#pragma GCC diagnostic pop
}

// "vector" or "vtk"; anything else raises ValueError.
std::string storage_argument(const boost::python::object& p_Storage);

// A Python sequence index: negative counts from the end; outside -size..size-1 raises IndexError
// naming the index as passed.
std::uint64_t sequence_index(const boost::python::object& p_Index, std::uint64_t p_Size);

// Raises MemoryError naming what was allocated: p_What, p_Count elements of p_ElementName,
// p_ElementSize bytes each.
[[noreturn]] void raise_allocation_failure(const std::string& p_What, std::uint64_t p_Count,
                                           const std::string& p_ElementName, std::uint64_t p_ElementSize);

// Raises the same MemoryError, before trying, for a request beyond the machine's memory: the
// allocator might promise it and fail only while the elements are zeroed, and a sanitizer's
// operator new aborts instead of throwing.
void check_allocation(const std::string& p_What, std::uint64_t p_Count, const std::string& p_ElementName,
                      std::uint64_t p_ElementSize);

// A writable NumPy view of the array's whole storage, shape (n,) or (n, components), whose base is a
// native MemoryExport object: it pins the storage, which refuses to resize while the view lives. An
// array without storage gives an empty view.
boost::python::object numpy_view(const core::IArray& p_Array);

// The VTK data array behind an array on VTK storage, as a VTK Python object; TypeError otherwise.
boost::python::object vtk_array_object(const core::IArray& p_Array);

// NumPy's conversion hook (__array__) over a view: converted or copied only when asked.
boost::python::object array_protocol(const boost::python::object& p_View, const boost::python::object& p_DType,
                                     const boost::python::object& p_Copy);

}  // namespace bindings
}  // namespace quill20
