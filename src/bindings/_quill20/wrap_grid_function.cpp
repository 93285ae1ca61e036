// Python classes of the array-held grid functions, one per value type of the grid-function list,
// and of their common face IGridFunction, which reads and writes the values through the value array.
#include <cstdint>
#include <limits>
#include <string>

#include <boost/python.hpp>

#include "quill20/core/Quill20Error.h"
#include "quill20/core/grid_function/GridFunctionTypes.h"
#include "wrap_array.h"
#include "wrap_grid_function.h"

namespace quill20 {
namespace bindings {

namespace {

namespace py = boost::python;
using core::Array;
using core::ArrayGridFunction;
using core::IGridFunction;

core::LocationType location_argument(const py::object& p_Location)
{
  const std::int64_t location = signed_argument(p_Location, "location", 0, 4);
  if (location == 2)
    raise(PyExc_ValueError, "location 2 is not a location; use 0 (vertices), 1 (cells), 3 (faces) or 4 (shared vertices)");
  return static_cast<core::LocationType>(location);
}

// A grid function on p_Location whose values are p_Values' storage (shared, not copied).
template <class T>
boost::shared_ptr<ArrayGridFunction<T>> make_grid_function(const py::object& p_Values, const py::object& p_Location)
{
  boost::shared_ptr<core::IArrayImpl> storage;
  if (!p_Values.is_none()) {
    const boost::shared_ptr<Array<T, 1>> values = shared_argument<Array<T, 1>>(p_Values);
    if (values) storage = values->get_implementation();
  }
  using Impl = core::ArrayGridFunctionImpl<Array<T, 1>>;
  return boost::shared_ptr<ArrayGridFunction<T>>(
      new ArrayGridFunction<T>(storage ? Impl(storage) : Impl(), location_argument(p_Location)));
}

// The class of each value type holds only its constructor; reads and writes are IGridFunction's.
template <class T>
void wrap_one()
{
  using GF = ArrayGridFunction<T>;
  const std::string name =
      element_type_name(core::element_traits<T>::scalar_type, core::element_traits<T>::components);
  const std::string doc = "Values of type " + name +
                          " on the elements of one location of a grid, held in an array (one value per element). "
                          "Made by quill20.grid_function.";
  py::class_<GF, boost::shared_ptr<GF>, py::bases<IGridFunction>, boost::noncopyable>(
      ("GridFunction_" + name).c_str(), doc.c_str(), py::no_init)
      .def("__init__",
           py::make_constructor(&make_grid_function<T>, py::default_call_policies(),
                                (py::arg("values") = py::object(), py::arg("location") = 1)),
           "A grid function on `location` (an int) over the storage of the array `values` (shared), or empty.");
}

// The value array of a grid function that holds one (RuntimeError otherwise).
boost::shared_ptr<core::IArray> values_of(const IGridFunction& p_gf) { return p_gf.get_array(); }

// The checked read of the grid function; an index past the end raises IndexError with the library's
// out-of-range text, a negative one counts from the end as Python's do.
py::object get_value(const IGridFunction& p_gf, const py::object& p_Index)
{
  std::int64_t index = signed_argument(p_Index, "index", std::numeric_limits<std::int64_t>::min(),
                                       std::numeric_limits<std::int64_t>::max());
  const boost::shared_ptr<core::IArray> values = p_gf.get_array();
  const auto held = static_cast<std::int64_t>(held_size(*values));
  if (index < 0 && index >= -held) index += held;
  if (index < 0)  // printed signed: the library's text would show the index as an unsigned handle
    raise(PyExc_IndexError, "Index (" + std::to_string(index) + ") out of range (" + std::to_string(-held) +
                                " <= index < " + std::to_string(held) + ").");
  if (index >= held)
    raise(PyExc_IndexError, core::OutOfRangeError(core::handle_t(index), core::handle_t(0), core::handle_t(held)).what());
  const char* first = static_cast<const char*>(values->raw_data());
  return element_to_python(values->scalar_type(), values->element_shape()[0],
                           first + std::uint64_t(index) * values->get_implementation()->element_size());
}

void set_value(const IGridFunction& p_gf, const py::object& p_Index, const py::object& p_Value)
{
  set_element(*p_gf.get_array(), p_Index, p_Value);
}

std::uint64_t length(const IGridFunction& p_gf)
{
  const core::handle_t count = p_gf.number_of_elements();
  if (count == core::Inf<core::handle_t>()) {
    PyErr_SetString(PyExc_TypeError, "this grid function is defined everywhere and has no length");
    py::throw_error_already_set();
  }
  return count;
}

py::object values_view(const IGridFunction& p_gf) { return numpy_view(*p_gf.get_array()); }

}  // namespace

void wrap_grid_functions()
{
  const py::docstring_options documented(true, true, false);
  py::class_<IGridFunction, boost::shared_ptr<IGridFunction>, boost::noncopyable>(
      "IGridFunction",
      "What every grid function offers: values on the elements of one location of a grid (cells, vertices, "
      "faces or shared vertices). The base class of GridFunction_float64 and the other classes of "
      "quill20.grid_function; a grid function returned by the generator arrives as its concrete class.\n\n"
      "Example:\n"
      "    >>> gf = quill20.grid_function([1.0, 2.0], name=\"mass\")\n"
      "    >>> isinstance(gf, quill20.IGridFunction), len(gf), gf.location\n"
      "    (True, 2, 1)",
      py::no_init)
      .def("__len__", &length, "len(gf): the number of elements with a value.")
      .def("__str__", +[](const IGridFunction& p_gf) { return p_gf.str(); },
           "str(gf): the printed description (name, type, location, shape, number of elements).")
      .def("to_numpy", &values_view,
           "Returns a writable NumPy view of the values (the value array's memory), shape (n,) or (n, k); "
           "it keeps the values alive. RuntimeError for a grid function that holds no value array.\n\n"
           "Example: quill20.grid_function([1.0, 2.0]).to_numpy() -> array([1., 2.])")
      .def("__array__",
           +[](const IGridFunction& p_gf, const py::object& p_DType, const py::object& p_Copy) {
             return array_protocol(values_view(p_gf), p_DType, p_Copy);
           },
           (py::arg("dtype") = py::object(), py::arg("copy") = py::object()),
           "NumPy's conversion hook: numpy.asarray(gf) is the view of to_numpy(); a dtype other than the "
           "values' converts and copy=True copies.\n\n"
           "Example: numpy.asarray(quill20.grid_function([1, 2]), dtype=float) -> array([1., 2.])")
      .def("__getitem__", &get_value, py::arg("index"),
           "gf[index]: the value at element index (an int, negative counts from the end); a number, or a tuple "
           "for a multi-component value. IndexError outside the grid function.")
      .def("__setitem__", &set_value, (py::arg("index"), py::arg("value")),
           "gf[index] = value: stores value at element index, as the value array's a[index] = value does.")
      .add_property("array", &values_of,
                    "An array object sharing the values (a new view of the same storage); RuntimeError for a grid "
                    "function that holds no value array.")
      .add_property("name", +[](const IGridFunction& p_gf) { return p_gf.get_name(); },
                    +[](IGridFunction& p_gf, const std::string& p_Name) { p_gf.set_name(p_Name); },
                    "The grid function's name, a str (read and write).")
      .add_property("location", +[](const IGridFunction& p_gf) { return static_cast<int>(p_gf.location()); },
                    "Which elements the values belong to, an int: 0 vertices, 1 cells, 3 faces, 4 shared vertices.")
      .add_property("scalar_type",
                    +[](const IGridFunction& p_gf) { return core::scalar_type_name(p_gf.result_scalar_type()); },
                    "The scalar type of the values' components, a key of quill20.SCALAR_TYPES (\"float64\", ...).")
      .add_property("components", +[](const IGridFunction& p_gf) { return p_gf.result_shape()[0]; },
                    "Number of components of one value, an int (1 for scalars).");
#define QUILL20_DETAIL_WRAP(...) wrap_one<__VA_ARGS__>();
  QUILL20_ARRAY_GRID_FUNCTION_TYPES(QUILL20_DETAIL_WRAP)
#undef QUILL20_DETAIL_WRAP
}

}  // namespace bindings
}  // namespace quill20
