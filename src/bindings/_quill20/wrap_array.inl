// Registration of Array<E,1> for Python; included by the generated per-unit sources.
#include <Python.h>

#include <boost/make_shared.hpp>
#include <boost/python.hpp>

#include "quill20/core/Quill20Error.h"
#include "quill20/core/array/Array.h"
#include "quill20/core/array/MemoryExport.h"
#include "quill20/core/array/VectorArrayImpl.h"
#include "quill20/vtk/VtkArrayImpl.h"
#include "wrap_array.h"

namespace quill20 {
namespace bindings {

namespace py = boost::python;
using core::Array;
using core::element_traits;

template <class E>
std::string array_class_name()
{
  std::string name = "Array_" + core::scalar_type_name(element_traits<E>::scalar_type);
  if (element_traits<E>::components > 1) name += "x" + std::to_string(element_traits<E>::components);
  return name;
}

namespace detail {

template <class E>
boost::shared_ptr<Array<E, 1>> make_array(std::uint64_t p_Size, const std::string& p_Storage)
{
  if (p_Storage == "vector") return boost::shared_ptr<Array<E, 1>>(new Array<E, 1>(p_Size));
  if (p_Storage == "vtk") return vtkex::make_vtk_array<E>(p_Size);
  PyErr_SetString(PyExc_ValueError, ("storage must be \"vector\" or \"vtk\", not \"" + p_Storage + "\"").c_str());
  py::throw_error_already_set();
  return {};
}

// Python-style index: negative counts from the end; outside the array raises IndexError carrying the
// library's out-of-range text, so that iteration stops where it should.
template <class E>
E& element(Array<E, 1>& p_Array, std::int64_t p_Index)
{
  const std::int64_t index = p_Index < 0 ? p_Index + static_cast<std::int64_t>(p_Array.size()) : p_Index;
  try {
    return p_Array.at(index < 0 ? p_Index : index);
  } catch (const core::OutOfRangeError& e) {
    PyErr_SetString(PyExc_IndexError, e.what());
    py::throw_error_already_set();
    throw;
  }
}

template <class C>
py::object component_to_python(C p_Value)
{
  if constexpr (std::is_same_v<C, signed char> || std::is_same_v<C, unsigned char>)
    return py::object(static_cast<int>(p_Value));
  else
    return py::object(p_Value);
}

template <class E>
py::object get_item(Array<E, 1>& p_Array, std::int64_t p_Index)
{
  const E& value = element(p_Array, p_Index);
  if constexpr (mtm::is_rigid_vector<E>::value) {
    py::list components;
    for (std::size_t c = 0; c < E::size(); ++c) components.append(component_to_python(value[c]));
    return py::tuple(components);
  } else {
    return component_to_python(value);
  }
}

// Integers must fit the component type exactly; anything with __index__ or __float__ is accepted.
template <class C>
C component_from_python(const py::object& p_Value)
{
  PyObject* value = p_Value.ptr();
  if constexpr (std::is_same_v<C, bool>) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) py::throw_error_already_set();
    return truth == 1;
  } else if constexpr (std::is_floating_point_v<C>) {
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) py::throw_error_already_set();
    return static_cast<C>(number);
  } else {
    py::object index(py::handle<>(PyNumber_Index(value)));
    bool fits = false;
    C result{};
    if constexpr (std::is_signed_v<C>) {
      const long long number = PyLong_AsLongLong(index.ptr());
      if (number == -1 && PyErr_Occurred()) py::throw_error_already_set();
      fits = number >= std::numeric_limits<C>::min() && number <= std::numeric_limits<C>::max();
      result = static_cast<C>(number);
    } else {
      const unsigned long long number = PyLong_AsUnsignedLongLong(index.ptr());
      if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) py::throw_error_already_set();
      fits = number <= std::numeric_limits<C>::max();
      result = static_cast<C>(number);
    }
    if (!fits) {
      PyErr_SetString(PyExc_OverflowError, ("value " + py::extract<std::string>(py::str(p_Value))() +
                                            " does not fit the element type")
                                               .c_str());
      py::throw_error_already_set();
    }
    return result;
  }
}

template <class E>
void set_item(Array<E, 1>& p_Array, std::int64_t p_Index, const py::object& p_Value)
{
  E value{};
  if constexpr (mtm::is_rigid_vector<E>::value) {
    using C = typename E::value_type;
    if (py::len(p_Value) != static_cast<long>(E::size())) {
      PyErr_SetString(PyExc_ValueError, ("an element has exactly " + std::to_string(E::size()) + " components").c_str());
      py::throw_error_already_set();
    }
    for (std::size_t c = 0; c < E::size(); ++c) value[c] = component_from_python<C>(p_Value[c]);
  } else {
    value = component_from_python<E>(p_Value);
  }
  element(p_Array, p_Index) = value;
}

template <class E>
std::string storage_kind(const Array<E, 1>& p_Array)
{
  const boost::shared_ptr<core::IArrayImpl> storage = p_Array.get_implementation();
  if (!storage) return "none";
  if (dynamic_cast<const vtkex::VtkArrayImplBase*>(storage.get())) return "vtk";
  if (dynamic_cast<const core::VectorArrayImpl<E>*>(storage.get())) return "vector";
  return "other";
}

template <class E>
boost::shared_ptr<core::MemoryExport> export_memory(const Array<E, 1>& p_Array)
{
  const boost::shared_ptr<core::IArrayImpl> storage = p_Array.get_implementation();
  if (!storage) {
    PyErr_SetString(PyExc_RuntimeError, "This array does not have an internal implementation.");
    py::throw_error_already_set();
  }
  return boost::make_shared<core::MemoryExport>(storage);
}

}  // namespace detail

template <class E>
void wrap_array()
{
  using A = Array<E, 1>;
  py::class_<A, boost::shared_ptr<A>, py::bases<core::IArray>, boost::noncopyable>(array_class_name<E>().c_str(), py::no_init)
      .def("__init__", py::make_constructor(&detail::make_array<E>, py::default_call_policies(),
                                            (py::arg("size") = 0, py::arg("storage") = "vector")))
      .def("__getitem__", &detail::get_item<E>)
      .def("__setitem__", &detail::set_item<E>)
      .def("resize", &A::resize, py::arg("size"))
      .add_property("storage", &detail::storage_kind<E>)
      .add_property("components", +[](const A&) { return element_traits<E>::components; })
      .def("_export", &detail::export_memory<E>);
}

}  // namespace bindings
}  // namespace quill20
