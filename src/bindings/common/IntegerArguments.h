// Integer arguments of both Python modules, and the one way they raise Python errors.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include <boost/python/object_fwd.hpp>

namespace quill20 {
namespace bindings {

// Sets a Python error of p_Type and throws, for Boost.Python to hand it to the caller.
[[noreturn]] void raise(PyObject* p_Type, const std::string& p_Message);

// An integer as text; a huge one by its size, since Python limits the digits it converts.
std::string integer_text(PyObject* p_Integer);

// Anything with __index__ (Python and NumPy integers); a float or None raises TypeError, a value outside
// [p_Lowest, p_Highest] OverflowError, both naming p_Name (or "the integer argument" when it is empty)
// and the value.
std::int64_t to_signed(PyObject* p_Value, const std::string& p_Name, std::int64_t p_Lowest, std::int64_t p_Highest);
std::uint64_t to_unsigned(PyObject* p_Value, const std::string& p_Name, std::uint64_t p_Highest);
std::int64_t signed_argument(const boost::python::object& p_Value, const char* p_Name, std::int64_t p_Lowest,
                             std::int64_t p_Highest);
std::uint64_t unsigned_argument(const boost::python::object& p_Value, const char* p_Name, std::uint64_t p_Highest);

}  // namespace bindings
}  // namespace quill20
