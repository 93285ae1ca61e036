// Registration of Array<E,1> for Python; included by the generated per-unit sources. A class gets only
// what needs its element type: its constructor and its resize. Everything else is defined once on
// IArray (wrap_iarray.cpp), which keeps the 95 classes cheap to compile.
#include <Python.h>

#include <cstring>
#include <new>
#include <stdexcept>

#include <boost/python.hpp>

#include "quill20/core/array/Array.h"
#include "quill20/vtk/VtkArrayImpl.h"
#include "wrap_array.h"

namespace quill20 {
namespace bindings {

namespace py = boost::python;
using core::Array;
using core::element_traits;

namespace detail {

template <class E>
std::string element_name()
{
  return element_type_name(element_traits<E>::scalar_type, element_traits<E>::components);
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
  const std::uint64_t size = unsigned_argument(p_Size, "size", core::storage_max_size(sizeof(E)));
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

// Reached through the resize table with an array of this element type.
template <class E>
void resize(core::IArray& p_Array, const py::object& p_Size)
{
  auto& array = static_cast<Array<E, 1>&>(p_Array);
  const std::uint64_t size = unsigned_argument(p_Size, "size", core::storage_max_size(sizeof(E)));
  const std::uint64_t old_size = array.size();
  const std::string what = "the resize of an array from " + std::to_string(old_size) + " elements";
  if (size > old_size) check_allocation(what, size, element_name<E>(), sizeof(E));
  try {
    array.resize(size);
    zero_fill(array, old_size);
    return;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  raise_allocation_failure(what, size, element_name<E>(), sizeof(E));
}

}  // namespace detail

template <class E>
void wrap_array()
{
  using A = Array<E, 1>;
  const py::docstring_options documented(true, true, false);
  const std::string name = "Array_" + detail::element_name<E>();
  const std::string doc = array_class_doc(element_traits<E>::scalar_type, element_traits<E>::components);
  py::class_<A, boost::shared_ptr<A>, py::bases<core::IArray>, boost::noncopyable>(name.c_str(), doc.c_str(), py::no_init)
      .def("__init__",
           py::make_constructor(&detail::make_array<E>, py::default_call_policies(),
                                (py::arg("size") = 0, py::arg("storage") = "vector")),
           "New array of size elements (an int) on the given storage (\"vector\" or \"vtk\").");
  register_resize(element_traits<E>::scalar_type, element_traits<E>::components, &detail::resize<E>);
}

}  // namespace bindings
}  // namespace quill20
