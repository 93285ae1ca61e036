// The element-type-independent face of arrays: the IArray class with every operation that can do
// without the element type (element access through the scalar type, NumPy views, VTK hand-over),
// argument conversion shared by every wrapper, and the native owner of NumPy views.
#include <Python.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

#include <boost/python.hpp>

#include "quill20/core/array/Array.h"
#include "quill20/core/array/ElementTypes.h"
#include "quill20/core/array/MemoryExport.h"
#include "quill20/core/array/VectorArrayImplFactory.h"
#include "quill20/vtk/VtkArrayImpl.h"
#include "wrap_array.h"

namespace quill20 {
namespace bindings {

namespace py = boost::python;

namespace {

// Integer parameters of every wrapped function, in every module, accept NumPy integers too, and a
// value that does not fit names itself and the range instead of "bad numeric conversion".
// Registered at the head of the chain, ahead of Boost.Python's own converter for the type.
template <class T>
struct integer_from_python {
  static void register_converter()
  {
    py::converter::registry::insert(&convertible, &construct, py::type_id<T>(), &expected_type);
  }
  // NumPy arrays also have __index__: leaving them out lets an overload that takes an array match.
  static void* convertible(PyObject* p_Value)
  {
    return PyIndex_Check(p_Value) && !PySequence_Check(p_Value) ? p_Value : nullptr;
  }
  static void construct(PyObject* p_Value, py::converter::rvalue_from_python_stage1_data* p_Data)
  {
    void* storage = reinterpret_cast<py::converter::rvalue_from_python_storage<T>*>(p_Data)->storage.bytes;
    const std::string name;  // unknown here: the message names the value and the range
    T value;
    if constexpr (std::is_signed_v<T>)
      value = static_cast<T>(to_signed(p_Value, name, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()));
    else
      value = static_cast<T>(to_unsigned(p_Value, name, std::numeric_limits<T>::max()));
    new (storage) T(value);
    p_Data->convertible = storage;
  }
  static PyTypeObject const* expected_type() { return &PyLong_Type; }
};

// Floating-point parameters accept NumPy's float32 and anything else with __float__.
template <class T>
struct real_from_python {
  static void register_converter()
  {
    py::converter::registry::insert(&convertible, &construct, py::type_id<T>(), &expected_type);
  }
  static void* convertible(PyObject* p_Value)
  {
    if (PyFloat_Check(p_Value) || PyLong_Check(p_Value)) return nullptr;  // Boost.Python's own converter
    const PyNumberMethods* number = Py_TYPE(p_Value)->tp_as_number;
    const bool real = number != nullptr && (number->nb_float != nullptr || number->nb_index != nullptr);
    return real && !PySequence_Check(p_Value) ? p_Value : nullptr;
  }
  static void construct(PyObject* p_Value, py::converter::rvalue_from_python_stage1_data* p_Data)
  {
    void* storage = reinterpret_cast<py::converter::rvalue_from_python_storage<T>*>(p_Data)->storage.bytes;
    const double value = PyFloat_AsDouble(p_Value);
    if (value == -1.0 && PyErr_Occurred()) py::throw_error_already_set();
    new (storage) T(static_cast<T>(value));
    p_Data->convertible = storage;
  }
  static PyTypeObject const* expected_type() { return &PyFloat_Type; }
};

void register_number_converters()
{
  integer_from_python<short>::register_converter();
  integer_from_python<unsigned short>::register_converter();
  integer_from_python<int>::register_converter();
  integer_from_python<unsigned int>::register_converter();
  integer_from_python<long>::register_converter();
  integer_from_python<unsigned long>::register_converter();
  integer_from_python<long long>::register_converter();
  integer_from_python<unsigned long long>::register_converter();
  real_from_python<float>::register_converter();
  real_from_python<double>::register_converter();
}

// The owner of a NumPy view: the export pins the storage (alive, and refusing to resize) for as long
// as NumPy holds this object as the view's base. Nothing in it is reachable or writable from Python.
class ViewOwner {
 public:
  ViewOwner(const boost::shared_ptr<core::IArrayImpl>& p_Storage, const char* p_TypeString, unsigned int p_Components)
      : m_Export(p_Storage), m_TypeString(p_TypeString), m_Components(p_Components)
  {
  }

  std::uintptr_t address() const { return reinterpret_cast<std::uintptr_t>(m_Export.data()); }
  std::uint64_t size() const { return m_Export.size(); }

  py::dict array_interface() const
  {
    // NumPy refuses a null address even for no elements; an empty view never dereferences it.
    static const std::uint64_t empty_memory = 0;
    const std::uintptr_t data = m_Export.data() ? address() : reinterpret_cast<std::uintptr_t>(&empty_memory);
    py::dict interface;
    interface["version"] = 3;
    interface["typestr"] = m_TypeString;
    interface["shape"] = m_Components == 1 ? py::make_tuple(size()) : py::make_tuple(size(), m_Components);
    interface["data"] = py::make_tuple(data, false);
    return interface;
  }

 private:
  core::MemoryExport m_Export;
  const char* m_TypeString;
  unsigned int m_Components;
};

// The Python face of ViewOwner: a plain extension type with no instance dictionary, no setters, no
// constructor and no subclasses, so no Python code can reach or drop the export it holds.
struct ViewOwnerObject {
  PyObject_HEAD
  ViewOwner* owner;
};

void view_owner_dealloc(PyObject* p_Self)
{
  delete reinterpret_cast<ViewOwnerObject*>(p_Self)->owner;
  Py_TYPE(p_Self)->tp_free(p_Self);
}

template <class F>
PyObject* answer(PyObject* p_Self, F p_Field)
{
  try {
    return py::incref(py::object(p_Field(*reinterpret_cast<ViewOwnerObject*>(p_Self)->owner)).ptr());
  } catch (...) {
    py::handle_exception();
    return nullptr;
  }
}

PyObject* view_owner_interface(PyObject* p_Self, void*)
{
  return answer(p_Self, [](const ViewOwner& p_Owner) { return p_Owner.array_interface(); });
}

PyObject* view_owner_address(PyObject* p_Self, void*)
{
  return answer(p_Self, [](const ViewOwner& p_Owner) { return p_Owner.address(); });
}

PyObject* view_owner_size(PyObject* p_Self, void*)
{
  return answer(p_Self, [](const ViewOwner& p_Owner) { return p_Owner.size(); });
}

PyGetSetDef view_owner_fields[] = {
    {"__array_interface__", &view_owner_interface, nullptr, "NumPy's description of the exported memory.", nullptr},
    {"address", &view_owner_address, nullptr, "Address of the first element (0 when empty).", nullptr},
    {"size", &view_owner_size, nullptr, "Number of elements exported.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

// A static type, filled in once; PyType_Ready completes it (allocation, freeing, no constructor).
PyTypeObject make_view_owner_type()
{
  PyTypeObject type;
  std::memset(static_cast<void*>(&type), 0, sizeof(type));
  Py_SET_REFCNT(&type, 1);
  type.tp_name = "quill20._quill20.MemoryExport";
  type.tp_basicsize = sizeof(ViewOwnerObject);
  type.tp_dealloc = &view_owner_dealloc;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  type.tp_doc = "Base of the NumPy views of quill20 arrays: keeps the array's storage alive and refuses its "
                "resize while a view exists. Read-only, with no constructor: made only by to_numpy() and "
                "numpy.asarray().\n\n"
                "Example:\n"
                "    >>> view = quill20.array([1.0, 2.0]).to_numpy()\n"
                "    >>> isinstance(view.base, quill20.MemoryExport), view.base.size\n"
                "    (True, 2)";
  type.tp_getset = view_owner_fields;
  return type;
}

PyTypeObject view_owner_type_object = make_view_owner_type();
PyTypeObject* const view_owner_type = &view_owner_type_object;

// A private copy may not fit in memory: say what was being copied.
void make_unique(core::IArray& p_Array)
{
  try {
    p_Array.make_unique();
    return;
  } catch (const std::bad_alloc&) {
  }
  const boost::shared_ptr<core::IArrayImpl> storage = p_Array.get_implementation();
  const unsigned int components = p_Array.element_shape()[0];
  raise_allocation_failure("a private copy of an array's storage", p_Array.size(),
                           core::scalar_type_name(p_Array.scalar_type()) +
                               (components > 1 ? "x" + std::to_string(components) : std::string()),
                           storage ? storage->element_size() : 0);
}

}  // namespace

std::string storage_argument(const py::object& p_Storage)
{
  const py::extract<std::string> text(p_Storage);
  if (text.check()) {
    const std::string storage = text();
    if (storage == "vector" || storage == "vtk") return storage;
  }
  raise(PyExc_ValueError, "storage must be \"vector\" or \"vtk\", not " + py::extract<std::string>(py::str(
                                                                             py::handle<>(PyObject_Repr(p_Storage.ptr()))))());
}

std::uint64_t sequence_index(const py::object& p_Index, std::uint64_t p_Size)
{
  PyObject* index = p_Index.ptr();
  if (!PyIndex_Check(index))
    raise(PyExc_TypeError, std::string("array indices must be integers, not ") + Py_TYPE(index)->tp_name);
  const py::object value(py::handle<>(PyNumber_Index(index)));
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (number == -1 && PyErr_Occurred()) py::throw_error_already_set();
  const long long size = static_cast<long long>(p_Size);  // sizes stay below 2^63 (storage_max_size)
  if (overflow != 0 || number < -size || number >= size) {
    if (p_Size == 0) raise(PyExc_IndexError, "Index (" + integer_text(value.ptr()) + ") out of range: the array is empty.");
    raise(PyExc_IndexError, "Index (" + integer_text(value.ptr()) + ") out of range (-" + std::to_string(size) +
                                " <= index < " + std::to_string(size) + ").");
  }
  return static_cast<std::uint64_t>(number < 0 ? number + size : number);
}

namespace {

std::string decimal(unsigned __int128 p_Number)
{
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(p_Number % 10)));
    p_Number /= 10;
  } while (p_Number != 0);
  return digits;
}

std::string allocation_text(const std::string& p_What, std::uint64_t p_Count, const std::string& p_ElementName,
                            std::uint64_t p_ElementSize)
{
  // The byte count may exceed 64 bits; 128 hold any product of two 64-bit numbers.
  return "cannot allocate " + p_What + ": " + std::to_string(p_Count) + " elements of " + p_ElementName + " (" +
         decimal(static_cast<unsigned __int128>(p_Count) * p_ElementSize) + " bytes)";
}

}  // namespace

void raise_allocation_failure(const std::string& p_What, std::uint64_t p_Count, const std::string& p_ElementName,
                              std::uint64_t p_ElementSize)
{
  raise(PyExc_MemoryError, allocation_text(p_What, p_Count, p_ElementName, p_ElementSize));
}

void check_allocation(const std::string& p_What, std::uint64_t p_Count, const std::string& p_ElementName,
                      std::uint64_t p_ElementSize)
{
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return;  // unknown: let the allocator answer
  const unsigned __int128 memory = static_cast<unsigned __int128>(pages) * static_cast<unsigned long>(page_size);
  if (static_cast<unsigned __int128>(p_Count) * p_ElementSize > memory)
    raise(PyExc_MemoryError, allocation_text(p_What, p_Count, p_ElementName, p_ElementSize) + ", more than the " +
                                 decimal(memory) + " bytes of memory of this machine");
}

std::string element_type_name(core::ScalarType p_ScalarType, unsigned int p_Components)
{
  std::string name = core::scalar_type_name(p_ScalarType);
  if (p_Components > 1) name += "x" + std::to_string(p_Components);
  return name;
}

std::string array_class_doc(core::ScalarType p_ScalarType, unsigned int p_Components)
{
  const std::string scalar = core::scalar_type_name(p_ScalarType);
  const std::string components = std::to_string(p_Components);
  const std::string element = p_Components == 1 ? scalar : components + "-component " + scalar;
  return "One-dimensional quill20 array of " + element + " elements.\n\nArray_" +
         element_type_name(p_ScalarType, p_Components) +
         "(size=0, storage=\"vector\") makes size zero elements in memory (\"vector\") or in a VTK data array "
         "(\"vtk\"); quill20.array() builds one from data.\n\nExample:\n    >>> a = quill20.array_class(\"" +
         scalar + "\", " + components + ")(3, storage=\"vtk\")\n    >>> len(a), a.storage\n    (3, 'vtk')";
}

std::string storage_kind(const core::IArray& p_Array)
{
  const boost::shared_ptr<core::IArrayImpl> storage = p_Array.get_implementation();
  if (!storage) return "none";
  if (dynamic_cast<const vtkex::VtkArrayImplBase*>(storage.get())) return "vtk";
  if (is_buffer_storage(*storage)) return "numpy";
  if (dynamic_cast<const core::VectorArrayImplFactory*>(&storage->factory())) return "vector";
  return "other";
}

std::uint64_t held_size(core::IArray& p_Array) { return p_Array.raw_data() ? p_Array.size() : 0; }

namespace {

template <class C>
py::object component_to_python(C p_Value)
{
  if constexpr (std::is_same_v<C, signed char> || std::is_same_v<C, unsigned char>)
    return py::object(static_cast<int>(p_Value));
  else
    return py::object(p_Value);
}

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

[[noreturn]] void raise_not_scalar()
{
  raise(PyExc_TypeError, "elements that are not scalars or vectors of them have no Python value");
}

constexpr unsigned int most_components = 9;

}  // namespace

py::object element_to_python(core::ScalarType p_ScalarType, unsigned int p_Components, const void* p_Element)
{
  return core::dispatch_scalar_type(
      p_ScalarType,
      [&](auto p_Tag) {
        using C = typename decltype(p_Tag)::type;
        const C* components = static_cast<const C*>(p_Element);
        if (p_Components == 1) return component_to_python(components[0]);
        py::list values;
        for (unsigned int c = 0; c < p_Components; ++c) values.append(component_to_python(components[c]));
        return py::object(py::tuple(values));
      },
      [] () -> py::object { raise_not_scalar(); });
}

void element_from_python(core::ScalarType p_ScalarType, unsigned int p_Components, const py::object& p_Value,
                         void* p_Element, const std::string& p_ClassName)
{
  if (p_Components > 1) {
    const Py_ssize_t length = PyObject_Length(p_Value.ptr());
    if (length < 0) {
      PyErr_Clear();
      raise(PyExc_TypeError, "an element of " + p_ClassName + " is a sequence of " + std::to_string(p_Components) +
                                 " components, not " + Py_TYPE(p_Value.ptr())->tp_name);
    }
    if (length != static_cast<Py_ssize_t>(p_Components))
      raise(PyExc_ValueError, "an element has exactly " + std::to_string(p_Components) + " components, not " +
                                  std::to_string(length));
  }
  core::dispatch_scalar_type(
      p_ScalarType,
      [&](auto p_Tag) {
        using C = typename decltype(p_Tag)::type;
        C components[most_components];
        if (p_Components == 1) {
          components[0] = component_from_python<C>(p_Value);
        } else {
          for (unsigned int c = 0; c < p_Components; ++c) components[c] = component_from_python<C>(p_Value[c]);
        }
        std::memcpy(p_Element, components, sizeof(C) * p_Components);
      },
      [] { raise_not_scalar(); });
}

namespace {

ResizeFunction resize_table[core::stNotAScalar][most_components + 1] = {};

std::uint64_t element_bytes(const core::IArray& p_Array) { return p_Array.get_implementation()->element_size(); }

py::object get_item(core::IArray& p_Array, const py::object& p_Index)
{
  const std::uint64_t index = sequence_index(p_Index, held_size(p_Array));
  const char* first = static_cast<const char*>(p_Array.raw_data());
  return element_to_python(p_Array.scalar_type(), p_Array.element_shape()[0], first + index * element_bytes(p_Array));
}

}  // namespace

void set_element(core::IArray& p_Array, const py::object& p_Index, const py::object& p_Value)
{
  const std::uint64_t index = sequence_index(p_Index, held_size(p_Array));
  char* first = static_cast<char*>(p_Array.raw_data());
  const unsigned int components = p_Array.element_shape()[0];
  element_from_python(p_Array.scalar_type(), components, p_Value, first + index * element_bytes(p_Array),
                      "Array_" + element_type_name(p_Array.scalar_type(), components));
}

namespace {

void resize(core::IArray& p_Array, const py::object& p_Size)
{
  const unsigned int components = p_Array.element_shape()[0];
  const core::ScalarType type = p_Array.scalar_type();
  const ResizeFunction typed =
      type < core::stNotAScalar && components <= most_components ? resize_table[type][components] : nullptr;
  if (!typed) raise(PyExc_TypeError, "arrays of " + element_type_name(type, components) + " elements cannot be resized from Python");
  typed(p_Array, p_Size);
}

}  // namespace

void register_resize(core::ScalarType p_ScalarType, unsigned int p_Components, ResizeFunction p_Resize)
{
  resize_table[p_ScalarType][p_Components] = p_Resize;
}

py::object numpy_view(const core::IArray& p_Array)
{
  const char* const type_string = core::numpy_type_string(p_Array.scalar_type());
  if (!type_string) raise(PyExc_TypeError, "an array of elements that are not scalars or vectors of them has no NumPy view");
  const unsigned int components = p_Array.element_shape()[0];
  const boost::shared_ptr<core::IArrayImpl> storage = p_Array.get_implementation();
  // Held for the life of the process: released at exit, after the interpreter, they would fault.
  static PyObject* const numpy = py::incref(py::import("numpy").ptr());
  if (!storage) {
    const py::tuple shape = components == 1 ? py::make_tuple(0) : py::make_tuple(0, components);
    return py::object(py::handle<>(py::borrowed(numpy))).attr("empty")(shape, type_string);
  }
  auto owner = std::make_unique<ViewOwner>(storage, type_string, components);
  PyObject* object = view_owner_type->tp_alloc(view_owner_type, 0);
  if (object == nullptr) py::throw_error_already_set();
  reinterpret_cast<ViewOwnerObject*>(object)->owner = owner.release();
  const py::object held{py::handle<>(object)};
  return py::object(py::handle<>(py::borrowed(numpy))).attr("asarray")(held);
}

py::object array_protocol(const py::object& p_View, const py::object& p_DType, const py::object& p_Copy)
{
  if (!p_DType.is_none()) {
    const py::object dtype = py::import("numpy").attr("dtype")(p_DType);
    if (dtype != p_View.attr("dtype")) return p_View.attr("astype")(dtype);
  }
  const int copy = p_Copy.is_none() ? 0 : PyObject_IsTrue(p_Copy.ptr());
  if (copy < 0) py::throw_error_already_set();
  return copy ? p_View.attr("copy")() : p_View;
}

namespace {

// The scalar types by name, with the NumPy type string of one component, in enumeration order.
py::dict scalar_type_table()
{
  py::dict table;
#define QUILL20_DETAIL_ROW(index, C, st, name, typestr, ...) table[name] = typestr;
  QUILL20_COMPONENT_TYPES(QUILL20_DETAIL_ROW)
#undef QUILL20_DETAIL_ROW
  return table;
}

}  // namespace

void wrap_iarray()
{
  using core::IArray;
  const py::docstring_options documented(true, true, false);
  py::scope().attr("__doc__") =
      "Native part of quill20: array classes for every element type, and the native owner of NumPy views.\n"
      "Import the quill20 package rather than this module.";
  py::scope().attr("SCALAR_TYPES") = scalar_type_table();
  register_number_converters();
  py::class_<IArray, boost::shared_ptr<IArray>, boost::noncopyable>(
      "IArray",
      "What every quill20 array offers, whatever its element type: the base class of Array_float64, "
      "Array_int32x3 and the other array classes (one per element type).\n\n"
      "Example:\n"
      "    >>> a = quill20.array([1.5, 2.5])\n"
      "    >>> isinstance(a, quill20.IArray), len(a), a.scalar_type\n"
      "    (True, 2, 'float64')",
      py::no_init)
      .def("__len__", &IArray::size, "len(a): the number of elements.")
      .def("number_of_dimensions", &IArray::number_of_dimensions,
           "Returns the number of dimensions of the array, 1 for every array made from Python.\n\n"
           "Example: quill20.array([1, 2]).number_of_dimensions() == 1")
      .def("__getitem__", &get_item, py::arg("index"),
           "a[index]: the element at index, an int (negative counts from the end); a number, or a tuple of "
           "numbers for a multi-component element. IndexError outside the array.")
      .def("__setitem__", &set_element, (py::arg("index"), py::arg("value")),
           "a[index] = value: stores value (a number, or a sequence of one number per component); integers "
           "must fit the component type, and a refused value stores nothing.")
      .def("resize", &resize, py::arg("size"),
           "Changes the number of elements to size (an int), keeping the first ones; new ones are zero. "
           "Refused while a NumPy view exists. Returns None.\n\n"
           "Example: a = quill20.array([1.0]); a.resize(3); list(a) == [1.0, 0.0, 0.0]")
      .add_property("storage", &storage_kind,
                    "Kind of storage, a str: \"vector\" (memory), \"vtk\" (a VTK data array), \"numpy\" (a NumPy "
                    "array's buffer, from quill20.asarray) or \"none\".")
      .add_property("components", +[](const IArray& p_Array) { return p_Array.element_shape()[0]; },
                    "Number of components of one element, an int (1 for scalars).")
      .add_property("scalar_type", +[](const IArray& p_Array) { return core::scalar_type_name(p_Array.scalar_type()); },
                    "Name of the component type, a key of quill20.SCALAR_TYPES: \"float64\", \"int32\", ...")
      .def("to_numpy", &numpy_view,
           "Returns a writable NumPy view of the same memory, shape (n,) for scalar elements or (n, k) for "
           "k-component ones. The view keeps the storage alive, and the storage refuses to resize while a view "
           "exists; an array without storage gives an empty view.\n\n"
           "Example:\n"
           "    >>> a = quill20.array([1.0, 2.0])\n"
           "    >>> a.to_numpy()[0] = 5.0\n"
           "    >>> a[0]\n"
           "    5.0")
      .def("__array__",
           +[](const IArray& p_Array, const py::object& p_DType, const py::object& p_Copy) {
             return array_protocol(numpy_view(p_Array), p_DType, p_Copy);
           },
           (py::arg("dtype") = py::object(), py::arg("copy") = py::object()),
           "NumPy's conversion hook: numpy.asarray(a) is the view of to_numpy(); a dtype other than the "
           "array's converts and copy=True copies.\n\n"
           "Example: numpy.asarray(quill20.array([1, 2]), dtype=float) -> array([1., 2.])")
      .def("to_vtk", &vtk_array_object,
           "Returns the VTK data array that holds this array's values, as a VTK Python object (same memory). "
           "Only for arrays on VTK storage (storage=\"vtk\", and every result of the upscaling generator); "
           "others raise TypeError. VTK's reference counting keeps the data array alive as long as the "
           "returned object. Read and write its values freely; resize the quill20 array rather than the VTK "
           "one: after a resize, reallocation or Initialize() through VTK, this array keeps its own memory and "
           "every use of it raises RuntimeError.\n\n"
           "Example:\n"
           "    >>> vtk_array = quill20.array([1.0, 2.0], storage=\"vtk\").to_vtk()\n"
           "    >>> vtk_array.GetNumberOfTuples()\n"
           "    2")
      .def("make_unique", &make_unique,
           "Replaces the storage by a private copy; other arrays and views keep the storage they had. "
           "Returns None.\n\n"
           "Example: b = a.array_of_a_grid_function; b.make_unique() leaves the grid function's values alone.")
      .def("negate", &IArray::negate,
           "Negates every component in place (refused with RuntimeError for unsigned and bool elements). "
           "Returns None.\n\n"
           "Example: a = quill20.array([1, -3]); a.negate(); list(a) == [-1, 3]")
      .def("scale", &IArray::scale, py::arg("factor"),
           "Multiplies every scalar element in place by factor, a float (integers truncate toward zero and "
           "wrap). Returns None.\n\n"
           "Example: a = quill20.array([1, -3]); a.scale(2.5); list(a) == [2, -7]")
      .def("set_fixed_shape", &IArray::set_fixed_shape,
           "Forbids any later change of the element count through this array. Returns None.\n\n"
           "Example: a.set_fixed_shape(); a.resize(len(a) + 1) raises RuntimeError")
      .def("implementation_use_count", &IArray::implementation_use_count,
           "Returns the number of owners of the storage (arrays, grid functions, views' owners).\n\n"
           "Example: quill20.array([1]).implementation_use_count() == 1")
      .def("equals", +[](const IArray& p_Array, const IArray& p_Other) { return p_Array == p_Other; },
           py::arg("other"),
           "Returns True when other is an array of the same element type, size and values (compared "
           "bit for bit).\n\n"
           "Example: quill20.array([1, 2]).equals(quill20.array([1, 2])) is True");
}

void wrap_memory_export()
{
  if (PyType_Ready(view_owner_type) < 0) py::throw_error_already_set();
  py::scope().attr("MemoryExport") = py::object(py::borrowed(reinterpret_cast<PyObject*>(view_owner_type)));
}

}  // namespace bindings
}  // namespace quill20
