// Python classes of the array-held grid functions, one per value type of the grid-function list,
// and of their common face IGridFunction. Values are read and written through the value array.
#include <boost/python.hpp>

#include "quill20/core/Quill20Error.h"
#include "quill20/core/grid_function/GridFunctionTypes.h"
#include "wrap_array.inl"
#include "wrap_grid_function.h"

namespace quill20 {
namespace bindings {

namespace {

using core::ArrayGridFunction;
using core::IGridFunction;

template <class T>
std::string grid_function_class_name()
{
  std::string name = array_class_name<T>();
  return "GridFunction_" + name.substr(name.find('_') + 1);
}

core::LocationType location_argument(const py::object& p_Location)
{
  const std::int64_t location = signed_argument(p_Location, "location", 0, 4);
  if (location == 2) {
    PyErr_SetString(PyExc_ValueError,
                    "location 2 is not a location; use 0 (vertices), 1 (cells), 3 (faces) or 4 (shared vertices)");
    py::throw_error_already_set();
  }
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

template <class T>
boost::shared_ptr<Array<T, 1>> values_of(const ArrayGridFunction<T>& p_gf)
{
  return boost::shared_ptr<Array<T, 1>>(new Array<T, 1>(p_gf.array()));
}

// The checked read of the grid function; an index past the end raises IndexError with the library's
// out-of-range text, a negative one counts from the end as Python's do.
template <class T>
py::object get_value(const ArrayGridFunction<T>& p_gf, const py::object& p_Index)
{
  std::int64_t index = signed_argument(p_Index, "index", std::numeric_limits<std::int64_t>::min(),
                                       std::numeric_limits<std::int64_t>::max());
  const auto held = static_cast<std::int64_t>(detail::held_size(p_gf.array()));
  if (index < 0 && index >= -held) index += held;
  if (index < 0) {
    // Printed signed: the library's text would show the index as an unsigned handle.
    const std::string text = "Index (" + std::to_string(index) + ") out of range (" + std::to_string(-held) +
                             " <= index < " + std::to_string(held) + ").";
    PyErr_SetString(PyExc_IndexError, text.c_str());
    py::throw_error_already_set();
  }
  if (index >= held) {
    PyErr_SetString(PyExc_IndexError, core::OutOfRangeError(core::handle_t(index), core::handle_t(0), core::handle_t(held)).what());
    py::throw_error_already_set();
  }
  const auto& value = p_gf.get(core::handle_t(index));
  if constexpr (mtm::is_rigid_vector<T>::value) {
    py::list components;
    for (std::size_t c = 0; c < T::size(); ++c) components.append(detail::component_to_python(value[c]));
    return py::tuple(components);
  } else {
    return detail::component_to_python(value);
  }
}

template <class T>
void set_value(ArrayGridFunction<T>& p_gf, const py::object& p_Index, const py::object& p_Value)
{
  detail::set_item(p_gf.array(), p_Index, p_Value);
}

template <class T>
void wrap_one()
{
  using GF = ArrayGridFunction<T>;
  const std::string doc = "Values of type " + element_name<T>() +
                          " on the elements of one location of a grid, held in an array (one value per element). "
                          "Made by quill20.grid_function.";
  py::class_<GF, boost::shared_ptr<GF>, py::bases<IGridFunction>, boost::noncopyable>(
      grid_function_class_name<T>().c_str(), doc.c_str(), py::no_init)
      .def("__init__",
           py::make_constructor(&make_grid_function<T>, py::default_call_policies(),
                                (py::arg("values") = py::object(), py::arg("location") = 1)),
           "A grid function on `location` over the storage of the array `values` (shared), or empty.")
      .def("__getitem__", &get_value<T>, "The value at element i (negative i counts from the end).")
      .def("__setitem__", &set_value<T>, "Store a value at element i.")
      .add_property("array", &values_of<T>, "An array object sharing the values.");
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
