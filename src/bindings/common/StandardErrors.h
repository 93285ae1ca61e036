// The C++ standard exceptions as the Python errors they stand for, for the modules written on the
// plain C API (Boost.Python translates its own): a failed allocation, or a size past what a container
// can hold, is MemoryError; a refused argument ValueError; anything else RuntimeError with its text.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>

namespace vireo20 {
namespace bindings {

inline void raise_standard_exception(const std::exception_ptr& p_Exception)
{
  try {
    std::rethrow_exception(p_Exception);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::invalid_argument& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
}

}  // namespace bindings
}  // namespace vireo20
