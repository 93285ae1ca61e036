// Integer arguments of both Python modules: Python and NumPy integers accepted, and a value that does
// not fit named with its argument and the range.
#include "IntegerArguments.h"

#include <boost/python.hpp>

namespace quill20 {
namespace bindings {

namespace py = boost::python;

[[noreturn]] void raise(PyObject* p_Type, const std::string& p_Message)
{
  PyErr_SetString(p_Type, p_Message.c_str());
  py::throw_error_already_set();
  throw;  // not reached: throw_error_already_set throws
}

// An integer as text; a huge one by its size, since Python limits the digits it converts.
std::string integer_text(PyObject* p_Integer)
{
  const std::size_t bits = _PyLong_NumBits(p_Integer);
  if (bits > 256) return "an integer of " + std::to_string(bits) + " bits";
  PyObject* text = PyObject_Str(p_Integer);
  if (text == nullptr) py::throw_error_already_set();
  const py::object owned{py::handle<>(text)};
  return py::extract<std::string>(owned)();
}

namespace {

// The value of an integer-like argument (its __index__), or TypeError naming the argument.
py::object integer_value(PyObject* p_Value, const std::string& p_Name)
{
  if (!PyIndex_Check(p_Value))
    raise(PyExc_TypeError, (p_Name.empty() ? "an integer argument" : p_Name) + " must be an integer, not " +
                               Py_TYPE(p_Value)->tp_name);
  return py::object(py::handle<>(PyNumber_Index(p_Value)));
}

// "size = -1 is outside the range 0..9"; an argument without a name (p_Name empty) is "the integer argument".
template <class T>
[[noreturn]] void raise_outside(const std::string& p_Name, PyObject* p_Integer, T p_Lowest, T p_Highest)
{
  const std::string subject =
      p_Name.empty() ? "the integer argument " + integer_text(p_Integer) : p_Name + " = " + integer_text(p_Integer);
  raise(PyExc_OverflowError,
        subject + " is outside the range " + std::to_string(p_Lowest) + ".." + std::to_string(p_Highest));
}

}  // namespace

std::int64_t to_signed(PyObject* p_Value, const std::string& p_Name, std::int64_t p_Lowest, std::int64_t p_Highest)
{
  const py::object index = integer_value(p_Value, p_Name);
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (value == -1 && PyErr_Occurred()) py::throw_error_already_set();
  if (overflow != 0 || value < p_Lowest || value > p_Highest)
    raise_outside(p_Name, index.ptr(), p_Lowest, p_Highest);
  return value;
}

std::uint64_t to_unsigned(PyObject* p_Value, const std::string& p_Name, std::uint64_t p_Highest)
{
  const py::object index = integer_value(p_Value, p_Name);
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.ptr());
  const bool failed = value == static_cast<unsigned long long>(-1) && PyErr_Occurred();
  if (failed) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) py::throw_error_already_set();
    PyErr_Clear();  // negative or wider than 64 bits: answered below with the argument's name
  }
  if (failed || value > p_Highest)
    raise_outside<std::uint64_t>(p_Name, index.ptr(), 0, p_Highest);
  return value;
}

std::int64_t signed_argument(const py::object& p_Value, const char* p_Name, std::int64_t p_Lowest, std::int64_t p_Highest)
{
  return to_signed(p_Value.ptr(), p_Name, p_Lowest, p_Highest);
}

std::uint64_t unsigned_argument(const py::object& p_Value, const char* p_Name, std::uint64_t p_Highest)
{
  return to_unsigned(p_Value.ptr(), p_Name, p_Highest);
}

}  // namespace bindings
}  // namespace quill20
