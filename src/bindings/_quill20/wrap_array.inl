// Registration of Array<E,1> for Python; included by the generated per-unit sources.
#include <Python.h>

#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>

#include <boost/python.hpp>

#include "quill20/core/array/Array.h"
#include "quill20/core/array/VectorArrayImpl.h"
#include "quill20/vtk/VtkArrayImpl.h"
#include "wrap_array.h"

namespace quill20 {
namespace bindings {

namespace py = boost::python;
using core::Array;
using core::element_traits;

// The element's name as in the class name: float64, int32x3, ...
template <class E>
std::string element_name()
{
  std::string name = core::scalar_type_name(element_traits<E>::scalar_type);
  if (element_traits<E>::components > 1) name += "x" + std::to_string(element_traits<E>::components);
  return name;
}

template <class E>
std::string array_class_name()
{
  return "Array_" + element_name<E>();
}

namespace detail {

template <class E>
std::uint64_t largest_size()
{
  return core::storage_max_size(sizeof(E));
}

template <class E>
std::string storage_kind(const Array<E, 1>& p_Array)
{
  const boost::shared_ptr<core::IArrayImpl> storage = p_Array.get_implementation();
  if (!storage) return "none";
  if (dynamic_cast<const vtkex::VtkArrayImplBase*>(storage.get())) return "vtk";
  if (dynamic_cast<const core::VectorArrayImpl<E>*>(storage.get())) return "vector";
  return is_buffer_storage(*storage) ? "numpy" : "other";
}

// VTK leaves new tuples uninitialised; from Python they start as zeros, as in-memory ones do.
template <class E>
void zero_fill(Array<E, 1>& p_Array, std::uint64_t p_From)
{
  if (p_From < p_Array.size() && storage_kind(p_Array) == "vtk")
    std::memset(static_cast<void*>(p_Array.data() + p_From), 0, (p_Array.size() - p_From) * sizeof(E));
}

template <class E>
boost::shared_ptr<Array<E, 1>> make_array(const py::object& p_Size, const py::object& p_Storage)
{
  const std::string storage = storage_argument(p_Storage);
  const std::uint64_t size = unsigned_argument(p_Size, "size", largest_size<E>());
  const std::string what = "a new array on " + storage + " storage";
  check_allocation(what, size, element_name<E>(), sizeof(E));
  try {
    if (storage == "vector") return boost::shared_ptr<Array<E, 1>>(new Array<E, 1>(size));
    boost::shared_ptr<Array<E, 1>> result = vtkex::make_vtk_array<E>(size);
    zero_fill(*result, 0);
    return result;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  raise_allocation_failure(what, size, element_name<E>(), sizeof(E));
}

template <class E>
void resize(Array<E, 1>& p_Array, const py::object& p_Size)
{
  const std::uint64_t size = unsigned_argument(p_Size, "size", largest_size<E>());
  const std::uint64_t old_size = p_Array.size();
  const std::string what = "the resize of an array from " + std::to_string(old_size) + " elements";
  if (size > old_size) check_allocation(what, size, element_name<E>(), sizeof(E));
  try {
    p_Array.resize(size);
    zero_fill(p_Array, old_size);
    return;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  raise_allocation_failure(what, size, element_name<E>(), sizeof(E));
}

template <class C>
py::object component_to_python(C p_Value)
{
  if constexpr (std::is_same_v<C, signed char> || std::is_same_v<C, unsigned char>)
    return py::object(static_cast<int>(p_Value));
  else
    return py::object(p_Value);
}

// The elements an array really holds: one without storage holds none, whatever size it records.
template <class E>
std::uint64_t held_size(const Array<E, 1>& p_Array)
{
  return p_Array.data() ? p_Array.size() : 0;
}

template <class E>
py::object get_item(Array<E, 1>& p_Array, const py::object& p_Index)
{
  const E& value = p_Array[sequence_index(p_Index, held_size(p_Array))];
  if constexpr (mtm::is_rigid_vector<E>::value) {
    py::list components;
    for (std::size_t c = 0; c < E::size(); ++c) components.append(component_to_python(value[c]));
    return py::tuple(components);
  } else {
    return component_to_python(value);
  }
}

// Integers must fit the component type exactly; floats take anything with __float__.
template <class C>
C component_from_python(const py::object& p_Value)
{
  if constexpr (std::is_same_v<C, bool>) {
    const int truth = PyObject_IsTrue(p_Value.ptr());
    if (truth < 0) py::throw_error_already_set();
    return truth == 1;
  } else if constexpr (std::is_floating_point_v<C>) {
    const double number = PyFloat_AsDouble(p_Value.ptr());
    if (number == -1.0 && PyErr_Occurred()) py::throw_error_already_set();
    return static_cast<C>(number);
  } else if constexpr (std::is_signed_v<C>) {
    return static_cast<C>(signed_argument(p_Value, "value", std::numeric_limits<C>::min(), std::numeric_limits<C>::max()));
  } else {
    return static_cast<C>(unsigned_argument(p_Value, "value", std::numeric_limits<C>::max()));
  }
}

template <class E>
void set_item(Array<E, 1>& p_Array, const py::object& p_Index, const py::object& p_Value)
{
  const std::uint64_t index = sequence_index(p_Index, held_size(p_Array));
  // Converted whole before the store, so a refused value leaves the element as it was.
  E value{};
  if constexpr (mtm::is_rigid_vector<E>::value) {
    using C = typename E::value_type;
    const Py_ssize_t length = PyObject_Length(p_Value.ptr());
    if (length < 0) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "an element of %s is a sequence of %d components, not %s",
                   array_class_name<E>().c_str(), static_cast<int>(E::size()), Py_TYPE(p_Value.ptr())->tp_name);
      py::throw_error_already_set();
    }
    if (length != static_cast<Py_ssize_t>(E::size())) {
      PyErr_Format(PyExc_ValueError, "an element has exactly %d components, not %zd", static_cast<int>(E::size()),
                   length);
      py::throw_error_already_set();
    }
    for (std::size_t c = 0; c < E::size(); ++c) value[c] = component_from_python<C>(p_Value[c]);
  } else {
    value = component_from_python<E>(p_Value);
  }
  p_Array[index] = value;
}

}  // namespace detail

template <class E>
void wrap_array()
{
  using A = Array<E, 1>;
  const py::docstring_options documented(true, true, false);
  const std::string name = array_class_name<E>();
  const std::string element = element_traits<E>::components == 1
                                  ? element_name<E>()
                                  : std::to_string(element_traits<E>::components) + "-component " +
                                        core::scalar_type_name(element_traits<E>::scalar_type);
  const std::string doc = "One-dimensional quill20 array of " + element + " elements.\n\n" + name +
                          "(size=0, storage=\"vector\") makes size zero elements in memory (\"vector\") or in a "
                          "VTK data array (\"vtk\"); quill20.array() builds one from data.\n\n"
                          "Example:\n    >>> a = quill20.array_class(\"" + core::scalar_type_name(element_traits<E>::scalar_type) +
                          "\", " + std::to_string(element_traits<E>::components) +
                          ")(3, storage=\"vtk\")\n    >>> len(a), a.storage\n    (3, 'vtk')";
  py::class_<A, boost::shared_ptr<A>, py::bases<core::IArray>, boost::noncopyable>(name.c_str(), doc.c_str(), py::no_init)
      .def("__init__",
           py::make_constructor(&detail::make_array<E>, py::default_call_policies(),
                                (py::arg("size") = 0, py::arg("storage") = "vector")),
           "New array of size elements on the given storage (\"vector\" or \"vtk\").")
      .def("__getitem__", &detail::get_item<E>, py::arg("index"),
           "Element at index (negative counts from the end); a tuple for multi-component elements.")
      .def("__setitem__", &detail::set_item<E>, (py::arg("index"), py::arg("value")),
           "Store value at index; integers must fit the component type.")
      .def("resize", &detail::resize<E>, py::arg("size"),
           "Change the number of elements, keeping the first ones; refused while a NumPy view exists.")
      .add_property("storage", &detail::storage_kind<E>,
                    "Kind of storage, a str: \"vector\" (memory), \"vtk\" (a VTK data array), \"numpy\" (a NumPy "
                    "array's buffer, from quill20.asarray) or \"none\".")
      .add_property("components", +[](const A&) { return element_traits<E>::components; },
                    "Number of components of one element.");
}

}  // namespace bindings
}  // namespace quill20
