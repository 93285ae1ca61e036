// The import-time check of NumPy's C interface: the C-API table from numpy.core._multiarray_umath and
// the three version answers this module relies on.
#include "bindings/_vireo20upscaling/numpy_check.h"

#include <Python.h>

namespace vireo20 {
namespace ups {

namespace {

// NumPy's C-API table, bound once per process by the check.
void** numpy_interface_table = nullptr;

constexpr unsigned int built_abi_version = 0x1000009;
constexpr unsigned int built_feature_version = 0xd;

// Entries of the table: the ABI version, the byte order and the C-API feature version.
constexpr int abi_version_entry = 0;
constexpr int endianness_entry = 210;
constexpr int feature_version_entry = 211;

constexpr int unknown_endian = 0;
constexpr int little_endian = 1;

using VersionEntry = unsigned int (*)();
using EndiannessEntry = int (*)();

// Leaves a Python error pending and answers false when NumPy does not fit.
bool bind_numpy_interface()
{
  PyObject* numpy = PyImport_ImportModule("numpy.core._multiarray_umath");
  if (numpy == nullptr) {
    return false;
  }
  PyObject* api = PyObject_GetAttrString(numpy, "_ARRAY_API");
  Py_DECREF(numpy);
  if (api == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "_ARRAY_API not found");
    return false;
  }
  if (!PyCapsule_CheckExact(api)) {
    PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not PyCapsule object");
    Py_DECREF(api);
    return false;
  }
  numpy_interface_table = static_cast<void**>(PyCapsule_GetPointer(api, nullptr));
  Py_DECREF(api);
  if (numpy_interface_table == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is NULL pointer");
    return false;
  }

  const unsigned int abi_version = reinterpret_cast<VersionEntry>(numpy_interface_table[abi_version_entry])();
  if (abi_version != built_abi_version) {
    PyErr_Format(PyExc_RuntimeError, "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                 static_cast<int>(built_abi_version), static_cast<int>(abi_version));
    return false;
  }
  const unsigned int feature_version =
      reinterpret_cast<VersionEntry>(numpy_interface_table[feature_version_entry])();
  if (feature_version < built_feature_version) {
    PyErr_Format(PyExc_RuntimeError, "module compiled against API version 0x%x but this version of numpy is 0x%x",
                 static_cast<int>(built_feature_version), static_cast<int>(feature_version));
    return false;
  }
  const int endianness = reinterpret_cast<EndiannessEntry>(numpy_interface_table[endianness_entry])();
  if (endianness == little_endian) {
    return true;
  }
  if (endianness == unknown_endian) {
    PyErr_SetString(PyExc_RuntimeError, "FATAL: module compiled as unknown endian");
  } else {
    PyErr_SetString(PyExc_RuntimeError,
                    "FATAL: module compiled as little endian, but detected different endianness at runtime");
  }
  return false;
}

}  // namespace

bool check_numpy_interface() noexcept
{
  if (bind_numpy_interface()) {
    return true;
  }
  PyErr_Print();
  PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
  return false;
}

}  // namespace ups
}  // namespace vireo20
