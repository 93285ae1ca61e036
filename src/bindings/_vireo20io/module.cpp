// The Python module vireo20._lammpsdump: LAMMPS text dumps read by libvireo20's native reader, each
// frame's columns parsed straight into NumPy arrays laid out as the caller asks, without the
// interpreter lock; the job's step files written and checksummed without it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <vtkPolyData.h>
#include <vtkPythonUtil.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "bindings/common/GilReleased.h"
#include "bindings/common/KeptBlocks.h"
#include "bindings/common/StandardErrors.h"
#include "vireo20/io/ByteSource.h"
#include "vireo20/io/DumpError.h"
#include "vireo20/io/DumpReader.h"
#include "vireo20/io/FileChecksum.h"
#include "vireo20/io/GzipMember.h"
#include "vireo20/io/NumberText.h"
#include "vireo20/io/StepFileWriter.h"
#include "vireo20/io/TextStream.h"
#include "vireo20/io/TextValues.h"
#include "vireo20/sci/parallel.h"

namespace {

using vireo20::io::ColumnTarget;
using vireo20::io::DumpError;
using vireo20::io::DumpReader;
using vireo20::io::FrameHeader;
using vireo20::io::ValueKind;

PyObject* error_type = nullptr;

// Texts of the file (column names, box lines) need not be UTF-8; odd bytes become U+FFFD.
PyObject* text(const std::string& p_Text)
{
  return PyUnicode_DecodeUTF8(p_Text.data(), static_cast<Py_ssize_t>(p_Text.size()), "replace");
}

// The exception in flight as a Python error: Error(item, problem, timestep or None, whole_file, cut_short).
void raise_exception(const std::exception_ptr& p_Exception)
{
  try {
    std::rethrow_exception(p_Exception);
  } catch (const DumpError& error) {
    PyObject* step = error.has_timestep() ? PyLong_FromLongLong(error.timestep()) : Py_NewRef(Py_None);
    PyObject* item = text(error.item());
    PyObject* problem = text(error.problem());
    PyObject* arguments = step && item && problem
                              ? PyTuple_Pack(5, item, problem, step, error.is_whole_file() ? Py_True : Py_False,
                                             error.is_cut_short() ? Py_True : Py_False)
                              : nullptr;
    if (arguments != nullptr) PyErr_SetObject(error_type, arguments);
    Py_XDECREF(arguments);
    Py_XDECREF(step);
    Py_XDECREF(item);
    Py_XDECREF(problem);
  } catch (...) {
    vireo20::bindings::raise_standard_exception(std::current_exception());
  }
}

// Runs p_Work without the interpreter lock; answers false with the Python error set if it threw.
template <class Work>
bool without_lock(const Work& p_Work)
{
  std::exception_ptr failure;
  {
    const vireo20::bindings::GilReleased released;
    try {
      p_Work();
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) raise_exception(failure);
  return !failure;
}

struct ReaderObject {
  PyObject_HEAD
  DumpReader* reader;
  std::mutex* busy;  // one call at a time: the lock is let go while a call reads
  std::int64_t count;  // of the frame whose header was read last, for parse
  std::size_t columns;
};

struct TextStreamObject {
  PyObject_HEAD
  vireo20::io::TextStream* reader;
  std::mutex* busy;
};

const char* kind_of(const ReaderObject*) { return "the dump reader"; }
const char* kind_of(const TextStreamObject*) { return "the text stream"; }

// Holds an object's reader for one call, or sets the Python error and holds nothing.
template <class Object>
class Use {
 public:
  explicit Use(Object* p_Self) : m_Self(p_Self)
  {
    if (m_Self->reader == nullptr) {
      PyErr_Format(PyExc_ValueError, "%s is closed", kind_of(m_Self));
    } else if (!m_Self->busy->try_lock()) {
      PyErr_Format(PyExc_RuntimeError, "%s is in use by another thread", kind_of(m_Self));
    } else {
      m_Held = true;
    }
  }
  ~Use()
  {
    if (m_Held) m_Self->busy->unlock();
  }
  explicit operator bool() const { return m_Held; }

 private:
  Object* m_Self;
  bool m_Held = false;
};

int reader_init(PyObject* p_Self, PyObject* p_Arguments, PyObject* p_Keywords)
{
  auto* self = reinterpret_cast<ReaderObject*>(p_Self);
  static const char* names[] = {"path", "section", "offset", nullptr};
  PyObject* path = nullptr;
  const char* section = nullptr;
  long long offset = 0;
  if (!PyArg_ParseTupleAndKeywords(p_Arguments, p_Keywords, "O&s|L", const_cast<char**>(names), PyUnicode_FSConverter,
                                   &path, &section, &offset)) {
    return -1;
  }
  const std::string file(PyBytes_AS_STRING(path));
  Py_DECREF(path);
  const std::string wanted(section);
  if (wanted != "ATOMS" && wanted != "ENTRIES") {
    PyErr_Format(PyExc_ValueError, "section must be 'ATOMS' or 'ENTRIES', not '%s'", section);
    return -1;
  }
  if (offset < 0) {
    PyErr_Format(PyExc_ValueError, "offset must be 0 or more, not %lld", offset);
    return -1;
  }
  if (self->reader != nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the dump reader is already open");
    return -1;
  }
  DumpReader* reader = nullptr;
  if (!without_lock([&] { reader = new DumpReader(file, wanted, offset); })) return -1;
  self->reader = reader;
  self->count = -1;
  quill20::core::hold_freed_blocks();
  return 0;
}

PyObject* reader_new(PyTypeObject* p_Type, PyObject*, PyObject*)
{
  auto* self = reinterpret_cast<ReaderObject*>(p_Type->tp_alloc(p_Type, 0));
  if (self == nullptr) return nullptr;
  self->busy = new (std::nothrow) std::mutex;
  if (self->busy == nullptr) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  self->count = -1;
  return reinterpret_cast<PyObject*>(self);
}

void reader_dealloc(PyObject* p_Self)
{
  auto* self = reinterpret_cast<ReaderObject*>(p_Self);
  if (self->reader != nullptr) quill20::core::let_go_of_freed_blocks();
  delete self->reader;
  delete self->busy;
  PyTypeObject* type = Py_TYPE(p_Self);
  type->tp_free(p_Self);
  Py_DECREF(type);
}

// Sets p_Dictionary[p_Key] to p_Value, taking the reference; false on failure.
bool put(PyObject* p_Dictionary, const char* p_Key, PyObject* p_Value)
{
  if (p_Value == nullptr) return false;
  const int status = PyDict_SetItemString(p_Dictionary, p_Key, p_Value);
  Py_DECREF(p_Value);
  return status == 0;
}

PyObject* text_list(const std::vector<std::string>& p_Texts)
{
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(p_Texts.size()));
  for (std::size_t k = 0; list != nullptr && k < p_Texts.size(); ++k) {
    PyObject* item = text(p_Texts[k]);
    if (item == nullptr) {
      Py_CLEAR(list);
      break;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(k), item);
  }
  return list;
}

PyObject* header_dictionary(const FrameHeader& p_Header)
{
  PyObject* header = PyDict_New();
  if (header == nullptr) return nullptr;
  const bool ok =
      put(header, "offset", PyLong_FromLongLong(p_Header.offset)) &&
      put(header, "timestep", p_Header.has_timestep ? PyLong_FromLongLong(p_Header.timestep) : Py_NewRef(Py_None)) &&
      put(header, "time", p_Header.has_time ? PyFloat_FromDouble(p_Header.time) : Py_NewRef(Py_None)) &&
      put(header, "count_item", text(p_Header.count_item)) && put(header, "count", PyLong_FromLongLong(p_Header.count)) &&
      put(header, "box", p_Header.box_item.empty() ? Py_NewRef(Py_None) : text(p_Header.box_item)) &&
      put(header, "box_lines", text_list(p_Header.box_lines)) && put(header, "section", text(p_Header.section)) &&
      put(header, "columns", text_list(p_Header.columns));
  if (!ok) Py_CLEAR(header);
  return header;
}

PyObject* reader_next_header(PyObject* p_Self, PyObject*)
{
  auto* self = reinterpret_cast<ReaderObject*>(p_Self);
  Use use(self);
  if (!use) return nullptr;
  self->count = -1;
  FrameHeader header;
  bool found = false;
  if (!without_lock([&] { found = self->reader->next_header(header); })) return nullptr;
  if (!found) Py_RETURN_NONE;
  self->count = header.count;
  self->columns = header.columns.size();
  return header_dictionary(header);
}

// A new array of parsed columns, on kept blocks: the next frame's columns take the blocks of those
// let go before.
PyObject* new_column_array(int p_Dimensions, npy_intp* p_Shape, int p_Type)
{
  if (p_Type == NPY_STRING)
    return vireo20::bindings::made_on_kept_blocks([&] {
      return PyArray_New(&PyArray_Type, p_Dimensions, p_Shape, NPY_STRING, nullptr, nullptr,
                         static_cast<int>(vireo20::io::label_bytes), 0, nullptr);
    });
  return vireo20::bindings::made_on_kept_blocks([&] { return PyArray_SimpleNew(p_Dimensions, p_Shape, p_Type); });
}

// layout: one (kind, columns) per array, kind "f" (float64), "i" (int64) or "l" (labels: bytes of
// up to 32, one column); one column makes an array of shape (count,), k columns one of shape
// (count, k) whose component j is columns[j]. Answers the new arrays with p_Targets (one per column
// of p_Columns) pointing into them, or null with the Python error set.
PyObject* laid_out(const char* p_Call, PyObject* p_Layout, std::int64_t p_Count, std::size_t p_Columns,
                   std::vector<ColumnTarget>& p_Targets)
{
  PyObject* groups = PySequence_Fast(p_Layout, "the layout must be a sequence of (kind, columns)");
  if (groups == nullptr) return nullptr;
  const Py_ssize_t group_count = PySequence_Fast_GET_SIZE(groups);
  PyObject* arrays = PyList_New(group_count);
  p_Targets.assign(p_Columns, ColumnTarget());
  std::vector<bool> taken(p_Columns, false);
  bool ok = arrays != nullptr;
  for (Py_ssize_t g = 0; ok && g < group_count; ++g) {
    const char* kind = nullptr;
    PyObject* columns = nullptr;
    ok = PyArg_ParseTuple(PySequence_Fast_GET_ITEM(groups, g), "sO;each layout entry is (kind, columns)", &kind,
                          &columns);
    const std::string kind_name = ok ? kind : "";
    if (ok && kind_name != "f" && kind_name != "i" && kind_name != "l") {
      PyErr_Format(PyExc_ValueError, "%s: kind must be 'f', 'i' or 'l', not '%s'", p_Call, kind);
      ok = false;
    }
    const ValueKind value_kind = kind_name == "f" ? ValueKind::real : kind_name == "i" ? ValueKind::integer
                                                                                      : ValueKind::label;
    PyObject* indexes = ok ? PySequence_Fast(columns, "columns must be a sequence of column indexes") : nullptr;
    ok = indexes != nullptr;
    const Py_ssize_t width = ok ? PySequence_Fast_GET_SIZE(indexes) : 0;
    if (ok && (width < 1 || (value_kind == ValueKind::label && width != 1))) {
      PyErr_Format(PyExc_ValueError, "%s: an array needs at least one column, and labels exactly one", p_Call);
      ok = false;
    }
    PyObject* array = nullptr;
    if (ok) {
      npy_intp shape[2] = {static_cast<npy_intp>(p_Count), static_cast<npy_intp>(width)};
      array = new_column_array(width == 1 ? 1 : 2, shape,
                               value_kind == ValueKind::real      ? NPY_FLOAT64
                               : value_kind == ValueKind::integer ? NPY_INT64
                                                                  : NPY_STRING);
      ok = array != nullptr;
      if (ok) PyList_SET_ITEM(arrays, g, array);
    }
    for (Py_ssize_t j = 0; ok && j < width; ++j) {
      const long long column = PyLong_AsLongLong(PySequence_Fast_GET_ITEM(indexes, j));
      if (column == -1 && PyErr_Occurred()) {
        ok = false;
      } else if (column < 0 || static_cast<unsigned long long>(column) >= p_Columns ||
                 taken[static_cast<std::size_t>(column)]) {
        PyErr_Format(PyExc_ValueError, "%s: column %lld is outside the %zu columns or named twice", p_Call, column,
                     p_Columns);
        ok = false;
      } else {
        taken[static_cast<std::size_t>(column)] = true;
        char* base = static_cast<char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
        p_Targets[static_cast<std::size_t>(column)] =
            ColumnTarget{value_kind, base + 8 * j, static_cast<std::int64_t>(width)};
      }
    }
    Py_XDECREF(indexes);
  }
  Py_DECREF(groups);
  if (!ok) Py_CLEAR(arrays);
  return arrays;
}

PyObject* reader_parse(PyObject* p_Self, PyObject* p_Layout)
{
  auto* self = reinterpret_cast<ReaderObject*>(p_Self);
  Use use(self);
  if (!use) return nullptr;
  if (self->count < 0) {
    PyErr_SetString(PyExc_RuntimeError, "parse: no frame header has been read, or its data was parsed already");
    return nullptr;
  }
  std::vector<ColumnTarget> targets;
  PyObject* arrays = laid_out("parse", p_Layout, self->count, self->columns, targets);
  if (arrays == nullptr) return nullptr;
  self->count = -1;
  if (!without_lock([&] { self->reader->parse(targets); })) Py_CLEAR(arrays);
  return arrays;
}

PyObject* reader_finish(PyObject* p_Self, PyObject*)
{
  auto* self = reinterpret_cast<ReaderObject*>(p_Self);
  Use use(self);
  if (!use) return nullptr;
  self->count = -1;
  if (!without_lock([&] { self->reader->finish(); })) return nullptr;
  Py_RETURN_NONE;
}

PyObject* reader_check_rest(PyObject* p_Self, PyObject*)
{
  auto* self = reinterpret_cast<ReaderObject*>(p_Self);
  Use use(self);
  if (!use) return nullptr;
  if (!without_lock([&] { self->reader->check_rest(); })) return nullptr;
  Py_RETURN_NONE;
}

PyObject* reader_close(PyObject* p_Self, PyObject*)
{
  auto* self = reinterpret_cast<ReaderObject*>(p_Self);
  if (self->reader == nullptr) Py_RETURN_NONE;
  Use use(self);
  if (!use) return nullptr;
  DumpReader* reader = self->reader;
  self->reader = nullptr;
  quill20::core::let_go_of_freed_blocks();
  // Stopping the inflating thread waits for it; other Python threads may run meanwhile.
  without_lock([&] { delete reader; });
  Py_RETURN_NONE;
}

PyObject* reader_compressed(PyObject* p_Self, void*)
{
  auto* self = reinterpret_cast<ReaderObject*>(p_Self);
  if (self->reader == nullptr) {
    PyErr_SetString(PyExc_ValueError, "the dump reader is closed");
    return nullptr;
  }
  return PyBool_FromLong(self->reader->compressed());
}

PyMethodDef reader_methods[] = {
    {"next_header", reader_next_header, METH_NOARGS,
     "The next frame's header as a dict (offset, timestep, time, count_item, count, box, box_lines, section, columns), "
     "passing over the data of the frame before if it was not parsed; None at the end of the file."},
    {"parse", reader_parse, METH_O,
     "parse(layout): the data lines of the frame whose header was just read, as a list of arrays, one per "
     "(kind, columns) entry of layout: kind 'f' (float64) or 'i' (int64); one column gives shape (count,), "
     "k columns shape (count, k)."},
    {"finish", reader_finish, METH_NOARGS, "Reads on to the end of the file (a compressed stream's checksum included)."},
    {"check_rest", reader_check_rest, METH_NOARGS, "Reads a compressed stream to its end; raises Error if it is damaged."},
    {"close", reader_close, METH_NOARGS, "Closes the file (and stops a compressed file's inflating thread)."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef reader_properties[] = {
    {"compressed", reader_compressed, nullptr, "Whether the file is compressed (gzip or zstd).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_init, reinterpret_cast<void*>(reader_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_properties},
    {Py_tp_doc, const_cast<char*>("Reader(path, section, offset=0): the frames of a LAMMPS text dump whose data item is "
                                  "section ('ATOMS' or 'ENTRIES'), from a frame start of a plain file or from the start "
                                  "of a compressed one.")},
    {0, nullptr}};

PyType_Spec reader_spec = {"vireo20._lammpsdump.Reader", sizeof(ReaderObject), 0, Py_TPFLAGS_DEFAULT, reader_slots};

// A path argument (str, bytes or os.PathLike) as the file system spells it; false with a TypeError.
bool path_argument(PyObject* p_Path, std::string& p_File)
{
  PyObject* path = nullptr;
  if (!PyUnicode_FSConverter(p_Path, &path)) return false;
  p_File.assign(PyBytes_AS_STRING(path), static_cast<std::size_t>(PyBytes_GET_SIZE(path)));
  Py_DECREF(path);
  return true;
}

PyObject* text_stream_new(PyTypeObject* p_Type, PyObject*, PyObject*)
{
  auto* self = reinterpret_cast<TextStreamObject*>(p_Type->tp_alloc(p_Type, 0));
  if (self == nullptr) return nullptr;
  self->busy = new (std::nothrow) std::mutex;
  if (self->busy == nullptr) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return reinterpret_cast<PyObject*>(self);
}

int text_stream_init(PyObject* p_Self, PyObject* p_Arguments, PyObject*)
{
  auto* self = reinterpret_cast<TextStreamObject*>(p_Self);
  PyObject* given = nullptr;
  std::string file;
  if (!PyArg_ParseTuple(p_Arguments, "O", &given) || !path_argument(given, file)) return -1;
  if (self->reader != nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "the text stream is already open");
    return -1;
  }
  vireo20::io::TextStream* stream = nullptr;
  if (!without_lock([&] { stream = new vireo20::io::TextStream(file); })) return -1;
  self->reader = stream;
  return 0;
}

void text_stream_dealloc(PyObject* p_Self)
{
  auto* self = reinterpret_cast<TextStreamObject*>(p_Self);
  delete self->reader;
  delete self->busy;
  PyTypeObject* type = Py_TYPE(p_Self);
  type->tp_free(p_Self);
  Py_DECREF(type);
}

PyObject* text_stream_readinto(PyObject* p_Self, PyObject* p_Buffer)
{
  auto* self = reinterpret_cast<TextStreamObject*>(p_Self);
  Py_buffer view;
  if (PyObject_GetBuffer(p_Buffer, &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) return nullptr;
  std::size_t read = 0;
  bool done = false;
  {
    Use use(self);
    // The inflating runs without the interpreter lock: other Python threads go on meanwhile.
    done = use && without_lock([&] {
      read = self->reader->read(static_cast<char*>(view.buf), static_cast<std::size_t>(view.len));
    });
  }
  PyBuffer_Release(&view);
  return done ? PyLong_FromSize_t(read) : nullptr;
}

PyObject* text_stream_close(PyObject* p_Self, PyObject*)
{
  auto* self = reinterpret_cast<TextStreamObject*>(p_Self);
  if (self->reader == nullptr) Py_RETURN_NONE;
  Use use(self);
  if (!use) return nullptr;
  vireo20::io::TextStream* stream = self->reader;
  self->reader = nullptr;
  // Stopping the inflating thread waits for it; other Python threads may run meanwhile.
  without_lock([&] { delete stream; });
  Py_RETURN_NONE;
}

PyMethodDef text_stream_methods[] = {
    {"readinto", text_stream_readinto, METH_O,
     "readinto(buffer): fills a writable buffer with the next bytes of the text; answers how many (fewer only at "
     "its end). Raises Error when the file is damaged or cut short."},
    {"close", text_stream_close, METH_NOARGS, "Closes the file (and stops a compressed file's inflating thread)."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot text_stream_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(text_stream_new)},
    {Py_tp_init, reinterpret_cast<void*>(text_stream_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(text_stream_dealloc)},
    {Py_tp_methods, text_stream_methods},
    {Py_tp_doc, const_cast<char*>("TextStream(path): the text of a file from its start, plain or inflated from gzip or "
                                  "zstd by a thread of its own.")},
    {0, nullptr}};

PyType_Spec text_stream_spec = {"vireo20._lammpsdump.TextStream", sizeof(TextStreamObject), 0, Py_TPFLAGS_DEFAULT,
                                text_stream_slots};

PyObject* module_index(PyObject*, PyObject* p_Path)
{
  std::string file;
  if (!path_argument(p_Path, file)) return nullptr;
  std::vector<vireo20::io::FrameStart> starts;
  std::int64_t size = 0;
  if (!without_lock([&] { starts = vireo20::io::index_frames(file, size); })) return nullptr;
  npy_intp count = static_cast<npy_intp>(starts.size());
  PyObject* offsets = PyArray_SimpleNew(1, &count, NPY_INT64);
  PyObject* timesteps = PyList_New(count);
  if (offsets == nullptr || timesteps == nullptr) {
    Py_XDECREF(offsets);
    Py_XDECREF(timesteps);
    return nullptr;
  }
  auto* offset = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(offsets)));
  for (npy_intp k = 0; k < count; ++k) {
    offset[k] = starts[static_cast<std::size_t>(k)].offset;
    PyObject* step = starts[static_cast<std::size_t>(k)].has_timestep
                         ? PyLong_FromLongLong(starts[static_cast<std::size_t>(k)].timestep)
                         : Py_NewRef(Py_None);
    if (step == nullptr) {
      Py_DECREF(offsets);
      Py_DECREF(timesteps);
      return nullptr;
    }
    PyList_SET_ITEM(timesteps, k, step);
  }
  return Py_BuildValue("(NNL)", offsets, timesteps, static_cast<long long>(size));
}

PyObject* module_text_size(PyObject*, PyObject* p_Path)
{
  std::string file;
  if (!path_argument(p_Path, file)) return nullptr;
  std::int64_t size = 0;
  if (!without_lock([&] { size = vireo20::io::InputFile(file).text_size(); })) return nullptr;
  return PyLong_FromLongLong(size);
}

// The first bytes of a file's text, inflated: how a zstd dump is told from other files (Python's
// zlib does this for gzip ones).
PyObject* module_text_head(PyObject*, PyObject* p_Arguments)
{
  PyObject* path_object = nullptr;
  Py_ssize_t size = 0;
  if (!PyArg_ParseTuple(p_Arguments, "On", &path_object, &size)) return nullptr;
  std::string file;
  if (!path_argument(path_object, file)) return nullptr;
  std::string text;
  const bool read = without_lock([&] {
    const auto source = vireo20::io::ByteSource::open(file, 0);
    while (text.size() < static_cast<std::size_t>(size)) {
      vireo20::io::Block block = source->next();
      if (!block) break;
      text.append(block.text(), std::min(block.size(), static_cast<std::size_t>(size) - text.size()));
      source->recycle(std::move(block));
    }
  });
  if (!read) return nullptr;
  return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* module_checksum(PyObject*, PyObject* p_Path)
{
  std::string file;
  if (!path_argument(p_Path, file)) return nullptr;
  vireo20::io::FileChecksum sum;
  int failed = 0;
  const auto work = [&] {
    try {
      sum = vireo20::io::file_checksum(file);
    } catch (const std::system_error& error) {
      failed = error.code().value();
    }
  };
  if (!without_lock(work)) return nullptr;
  if (failed != 0) {
    errno = failed;
    return PyErr_SetFromErrnoWithFilename(PyExc_OSError, file.c_str());
  }
  return Py_BuildValue("(Lk)", static_cast<long long>(sum.size), static_cast<unsigned long>(sum.crc32));
}

PyObject* module_gzip_member(PyObject*, PyObject* p_Data)
{
  Py_buffer view;
  if (PyObject_GetBuffer(p_Data, &view, PyBUF_SIMPLE) != 0) return nullptr;
  std::string packed;
  const bool done = without_lock([&] { packed = vireo20::io::gzip_member(static_cast<const char*>(view.buf),
                                                                         static_cast<std::size_t>(view.len)); });
  PyBuffer_Release(&view);
  if (!done) return nullptr;
  return PyBytes_FromStringAndSize(packed.data(), static_cast<Py_ssize_t>(packed.size()));
}

// VTK's Python layer holds the lock through a whole write: a 10 M-atom step file kept the job's
// other threads waiting for 0.3-0.4 s a step.
PyObject* module_write_step_file(PyObject*, PyObject* p_Args)
{
  PyObject *data_object, *path_object;
  if (!PyArg_ParseTuple(p_Args, "OO", &data_object, &path_object)) return nullptr;
  auto* data = vtkPolyData::SafeDownCast(vtkPythonUtil::GetPointerFromObject(data_object, "vtkPolyData"));
  if (data == nullptr) return nullptr;
  std::string file;
  if (!path_argument(path_object, file)) return nullptr;
  vireo20::io::StepFileOutcome outcome;
  if (!without_lock([&] { outcome = vireo20::io::write_step_file(*data, file); })) return nullptr;
  if (!outcome.sum_known)
    return Py_BuildValue("(ikOO)", outcome.answer, outcome.error_code, outcome.error_reported ? Py_True : Py_False,
                         Py_None);
  return Py_BuildValue("(ikO(Lk))", outcome.answer, outcome.error_code, outcome.error_reported ? Py_True : Py_False,
                       static_cast<long long>(outcome.sum.size), static_cast<unsigned long>(outcome.sum.crc32));
}

// The atom lines of another text format, parsed as a dump's data lines are.
PyObject* module_parse_table(PyObject*, PyObject* p_Arguments)
{
  Py_buffer text;
  long long count = 0;
  Py_ssize_t columns = 0;
  PyObject* layout = nullptr;
  if (!PyArg_ParseTuple(p_Arguments, "y*LnO", &text, &count, &columns, &layout)) return nullptr;
  const char* begin = static_cast<const char*>(text.buf);
  const char* end = begin + text.len;
  PyObject* arrays = nullptr;
  if (count < 0 || columns < 1 || (text.len > 0 && end[-1] != '\n')) {
    PyErr_SetString(PyExc_ValueError, "parse_table: a count of 0 or more, a column or more, and text that ends with "
                                      "a newline");
  } else {
    std::vector<ColumnTarget> targets;
    arrays = laid_out("parse_table", layout, count, static_cast<std::size_t>(columns), targets);
    vireo20::io::TableFault fault;
    bool parsed = false;
    if (arrays != nullptr &&
        !without_lock([&] { parsed = vireo20::io::parse_table(begin, end, count, targets, 0, fault); })) {
      Py_CLEAR(arrays);
    }
    if (arrays != nullptr && !parsed) {
      static const char* const problems[] = {"none", "bad_value", "too_few", "too_many", "lines"};
      Py_DECREF(arrays);
      PyBuffer_Release(&text);
      PyObject* value =
          PyUnicode_DecodeUTF8(fault.value.data(), static_cast<Py_ssize_t>(fault.value.size()), "replace");
      if (value == nullptr) return nullptr;
      return Py_BuildValue("(O(sLiiNs))", Py_None, problems[static_cast<int>(fault.problem)],
                           static_cast<long long>(fault.row), fault.column, fault.values, value, fault.refusal.c_str());
    }
  }
  PyBuffer_Release(&text);
  if (arrays == nullptr) return nullptr;
  return Py_BuildValue("(NO)", arrays, Py_None);
}

// A CSV table's separators as blanks, in place, for the dump parser's lines: NumPy's compare and
// putmask took 0.35 s for 300 MB (a mask of fresh pages). Answers the lines.
PyObject* module_blank_separators(PyObject*, PyObject* p_Arguments)
{
  Py_buffer text;
  int separator = 0;
  int decimal_comma = 0;
  if (!PyArg_ParseTuple(p_Arguments, "w*i|p", &text, &separator, &decimal_comma)) return nullptr;
  std::size_t lines = 0;
  {
    const vireo20::bindings::GilReleased released;
    lines = vireo20::io::blank_separators(static_cast<char*>(text.buf), static_cast<std::size_t>(text.len), separator,
                                          decimal_comma != 0);
  }
  PyBuffer_Release(&text);
  return PyLong_FromSize_t(lines);
}

// A CFG file's atom lines to the front of a writable text ending with a newline, and the mass and
// element lines before each, without a pass of Python over its lines.
PyObject* module_take_word_lines(PyObject*, PyObject* p_Arguments)
{
  Py_buffer text;
  Py_ssize_t words = 0, label = 0;
  if (!PyArg_ParseTuple(p_Arguments, "w*nn", &text, &words, &label)) return nullptr;
  if (text.len > 0 && static_cast<const char*>(text.buf)[text.len - 1] != '\n') {
    PyBuffer_Release(&text);
    PyErr_SetString(PyExc_ValueError, "the text must end with a newline");
    return nullptr;
  }
  vireo20::io::WordLines found;
  {
    const vireo20::bindings::GilReleased released;
    found = vireo20::io::take_word_lines(static_cast<char*>(text.buf), static_cast<std::size_t>(text.len),
                                         static_cast<std::size_t>(words), static_cast<std::size_t>(label));
  }
  PyBuffer_Release(&text);
  if (found.odd_line >= 0) return Py_BuildValue("(OOOO(Ln))", Py_None, Py_None, Py_None, Py_None,
                                                static_cast<long long>(found.odd_line),
                                                static_cast<Py_ssize_t>(found.odd_words));
  npy_intp count = static_cast<npy_intp>(found.label.size());
  PyObject* labels = PyArray_SimpleNew(1, &count, NPY_INT32);
  PyObject* texts = labels == nullptr ? nullptr : PyList_New(static_cast<Py_ssize_t>(found.labels.size()));
  if (texts == nullptr) {
    Py_XDECREF(labels);
    return nullptr;
  }
  std::copy(found.label.begin(), found.label.end(),
            static_cast<std::int32_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(labels))));
  for (std::size_t k = 0; k < found.labels.size(); ++k) {
    const std::string& run = found.labels[k];
    PyObject* words_of = PyBytes_FromStringAndSize(run.data(), static_cast<Py_ssize_t>(run.size()));
    if (words_of == nullptr) {
      Py_DECREF(labels);
      Py_DECREF(texts);
      return nullptr;
    }
    PyList_SET_ITEM(texts, static_cast<Py_ssize_t>(k), words_of);
  }
  return Py_BuildValue("(nnNNO)", static_cast<Py_ssize_t>(found.lines), static_cast<Py_ssize_t>(found.bytes), labels,
                       texts, Py_None);
}

// The two arguments as aligned C-contiguous arrays of the types and dimensions given, for the caller
// to release; false, with the error set, where either is not one.
bool two_arrays(PyObject* p_Arguments, int p_FirstType, int p_FirstDims, int p_SecondType, int p_SecondDims,
                PyArrayObject** p_First, PyArrayObject** p_Second)
{
  PyObject *first, *second;
  if (!PyArg_ParseTuple(p_Arguments, "OO", &first, &second)) return false;
  *p_First = reinterpret_cast<PyArrayObject*>(PyArray_FROMANY(first, p_FirstType, p_FirstDims, p_FirstDims,
                                                               NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
  if (*p_First == nullptr) return false;
  *p_Second = reinterpret_cast<PyArrayObject*>(PyArray_FROMANY(second, p_SecondType, p_SecondDims, p_SecondDims,
                                                                NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
  if (*p_Second != nullptr) return true;
  Py_DECREF(*p_First);
  return false;
}

// A table's text, made without the interpreter's lock, as bytes (nullptr with the error set).
template <typename Make>
PyObject* table_bytes(const Make& p_Make)
{
  std::unique_ptr<vireo20::io::TableText> rows;
  if (!without_lock([&] { rows = p_Make(); })) return nullptr;
  PyObject* text = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rows->size()));
  if (text != nullptr) rows->copy_to(PyBytes_AS_STRING(text));
  return text;
}

// Text of the time averages' rows: formatting each double in Python took seconds a window for a
// million groups.
PyObject* module_table_rows(PyObject*, PyObject* p_Arguments)
{
  PyArrayObject *ints, *reals;
  if (!two_arrays(p_Arguments, NPY_INT64, 2, NPY_FLOAT64, 2, &ints, &reals)) return nullptr;
  PyObject* text = nullptr;
  if (PyArray_DIM(ints, 0) != PyArray_DIM(reals, 0)) {
    PyErr_SetString(PyExc_ValueError, "table_rows: the integers and the reals need as many rows");
  } else {
    text = table_bytes([&] {
      return std::make_unique<vireo20::io::TableText>(
          static_cast<const std::int64_t*>(PyArray_DATA(ints)), static_cast<int>(PyArray_DIM(ints, 1)),
          static_cast<const double*>(PyArray_DATA(reals)), static_cast<int>(PyArray_DIM(reals, 1)),
          PyArray_DIM(reals, 0));
    });
  }
  Py_DECREF(ints);
  Py_DECREF(reals);
  return text;
}

// The lines of a table of doubles, as pandas's to_csv writes them or as a LAMMPS dump's rows, over
// the cores: to_csv took 10 s a step of 250 000 upscaled particles.
PyObject* value_rows(PyObject* p_Arguments, vireo20::io::TableText::Layout p_Layout)
{
  PyArrayObject *values, *whole;
  if (!two_arrays(p_Arguments, NPY_FLOAT64, 2, NPY_UINT8, 1, &values, &whole)) return nullptr;
  PyObject* text = nullptr;
  if (PyArray_DIM(whole, 0) != PyArray_DIM(values, 1)) {
    PyErr_SetString(PyExc_ValueError, "value rows: one flag per column");
  } else {
    text = table_bytes([&] {
      return std::make_unique<vireo20::io::TableText>(
          static_cast<const double*>(PyArray_DATA(values)), static_cast<const unsigned char*>(PyArray_DATA(whole)),
          static_cast<int>(PyArray_DIM(values, 1)), PyArray_DIM(values, 0), p_Layout);
    });
  }
  Py_DECREF(values);
  Py_DECREF(whole);
  return text;
}

PyObject* module_csv_rows(PyObject*, PyObject* p_Arguments)
{
  return value_rows(p_Arguments, vireo20::io::TableText::Layout::csv);
}

PyObject* module_dump_rows(PyObject*, PyObject* p_Arguments)
{
  return value_rows(p_Arguments, vireo20::io::TableText::Layout::dump);
}

// A legacy VTK file's values, nine to a line or one: VTK's own ASCII reader took 1.3 s for a
// million particles' arrays.
PyObject* module_text_values(PyObject*, PyObject* p_Arguments)
{
  Py_buffer text;
  Py_ssize_t offset = 0;
  long long count = 0;
  int kind = 0;  // "C" writes an int
  if (!PyArg_ParseTuple(p_Arguments, "y*nLC", &text, &offset, &count, &kind)) return nullptr;
  const char* begin = static_cast<const char*>(text.buf);
  PyObject* array = nullptr;
  PyObject* answer = nullptr;
  const std::string kinds = "dfis";
  if (kinds.find(static_cast<char>(kind)) == std::string::npos || count < 0 || offset < 0 || offset > text.len ||
      text.len == 0 || begin[text.len - 1] != '\n') {
    PyErr_SetString(PyExc_ValueError, "text_values: kind 'd', 'f', 'i' or 's', a count and an offset within text "
                                      "that ends with a newline");
  } else {
    using vireo20::io::TextValueKind;
    const TextValueKind value_kind = kind == 'd' ? TextValueKind::real64 : kind == 'f' ? TextValueKind::real32
                                     : kind == 'i' ? TextValueKind::int64 : TextValueKind::skip;
    npy_intp shape = static_cast<npy_intp>(kind == 's' ? 0 : count);
    array = PyArray_SimpleNew(1, &shape, kind == 'd' ? NPY_FLOAT64 : kind == 'f' ? NPY_FLOAT32 : NPY_INT64);
    if (array != nullptr) {
      const char* end = nullptr;
      std::int64_t read = 0;
      void* out = PyArray_DATA(reinterpret_cast<PyArrayObject*>(array));
      if (without_lock([&] {
            end = vireo20::io::read_text_values(begin + offset, begin + text.len, count, value_kind, out, read);
          })) {
        answer = end == nullptr ? Py_BuildValue("(OL)", Py_None, static_cast<long long>(read))
                                : Py_BuildValue("(On)", array, static_cast<Py_ssize_t>(end - begin));
      }
    }
  }
  Py_XDECREF(array);
  PyBuffer_Release(&text);
  return answer;
}

PyObject* module_thread_count(PyObject*, PyObject*) { return PyLong_FromUnsignedLong(vireo20::ups::thread_count()); }

PyObject* module_hold_freed_blocks(PyObject*, PyObject*)
{
  quill20::core::hold_freed_blocks();
  Py_RETURN_NONE;
}

PyObject* module_let_go_of_freed_blocks(PyObject*, PyObject*)
{
  quill20::core::let_go_of_freed_blocks();
  Py_RETURN_NONE;
}

PyObject* module_freed_blocks_kept(PyObject*, PyObject*) { return PyLong_FromSize_t(quill20::core::freed_blocks_kept()); }

PyObject* module_column_array(PyObject*, PyObject* p_Arguments)
{
  PyArray_Dims shape{nullptr, 0};
  int kind = 0;  // "C" writes an int
  if (!PyArg_ParseTuple(p_Arguments, "O&C", PyArray_IntpConverter, &shape, &kind)) return nullptr;
  PyObject* made = nullptr;
  if (kind != 'f' && kind != 'i')
    PyErr_SetString(PyExc_ValueError, "column_array takes the kind 'f' (float64) or 'i' (int64)");
  else
    made = new_column_array(shape.len, shape.ptr, kind == 'f' ? NPY_FLOAT64 : NPY_INT64);
  PyDimMem_FREE(shape.ptr);
  return made;
}

PyMethodDef module_methods[] = {
    {"index", module_index, METH_O,
     "index(path) -> (offsets, timesteps, size): where the frames of a plain dump start (int64 array), the step "
     "number of each (None where it is not one) and the size of its text (text_size)."},
    {"text_size", module_text_size, METH_O,
     "text_size(path) -> int: a file's size less the zero bytes that end it (left where a crash stopped its "
     "writing)."},
    {"text_head", module_text_head, METH_VARARGS,
     "text_head(path, size) -> bytes: the first size bytes of a dump's text, inflated from a gzip or zstd file."},
    {"gzip_member", module_gzip_member, METH_O,
     "gzip_member(data) -> bytes: one gzip member of the bytes (ISA-L's level 1), without the interpreter lock."},
    {"checksum", module_checksum, METH_O,
     "checksum(path) -> (size, crc32) of a file, the CRC being zlib.crc32's, without the interpreter lock."},
    {"write_step_file", module_write_step_file, METH_VARARGS,
     "write_step_file(polydata, path) -> (answer, error_code, error_reported, written): the data set written as VTK "
     "XML with raw appended data, without the interpreter lock; written is (size, crc32) of the bytes written, or "
     "None where the writer cannot tell."},
    {"parse_table", module_parse_table, METH_VARARGS,
     "parse_table(text, count, columns, layout) -> (arrays, fault): count lines of columns whitespace-separated "
     "values (text ending with a newline) parsed as a dump's data lines into arrays laid out as Reader.parse's; "
     "fault None, or arrays None and fault (problem, row, column, values on the line, value, refusal) at the first "
     "faulty line, problem 'bad_value', 'too_few', 'too_many' or 'lines' (the text has row lines)."},
    {"blank_separators", module_blank_separators, METH_VARARGS,
     "blank_separators(buffer, separator, decimal_comma=False) -> lines: each byte separator (an int; -1 for none) "
     "of a writable buffer made a blank (and each comma a point), in place; answers the newlines it holds."},
    {"take_word_lines", module_take_word_lines, METH_VARARGS,
     "take_word_lines(buffer, words, label) -> (lines, bytes, labels, texts, None) or (None, None, None, None, (line, "
     "count)): the lines of words words of a writable text ending with a newline moved to its front in place; "
     "labels (int32, one a line) index texts, the distinct runs of label one-word lines before them (each word "
     "after a newline), -1 for none; (line, count) the first line from 0 of another count."},
    {"table_rows", module_table_rows, METH_VARARGS,
     "table_rows(ints, reals) -> bytes: a line per row, '  k' (k from 1), then the row's int64 values of ints "
     "(rows x a) and its float64 values of reals (rows x b) each after a blank, the reals as repr() writes them "
     "without a whole number's '.0'."},
    {"csv_rows", module_csv_rows, METH_VARARGS,
     "csv_rows(values, whole) -> bytes: a line per row of values (float64, rows x c), its values joined by commas "
     "as repr() writes them, those of the columns whole (uint8, c) marks as integers, NaN as nothing."},
    {"dump_rows", module_dump_rows, METH_VARARGS,
     "dump_rows(values, whole) -> bytes: csv_rows's lines as a LAMMPS dump's rows: blanks between the values, "
     "no '.0' after a whole number, NaN as nan."},
    {"text_values", module_text_values, METH_VARARGS,
     "text_values(text, offset, count, kind) -> (array, end) or (None, values read): count whitespace-separated "
     "values from text[offset:] whatever its lines, kind 'd' (float64 as float() reads them), 'f' (float32 as "
     "strtof() does), 'i' (int64) or 's' (passed over, an empty array); end is where the last one ends. The "
     "text ends with a newline."},
    {"thread_count", module_thread_count, METH_NOARGS, "The threads a parse uses (VIREO20_THREADS)."},
    {"column_array", module_column_array, METH_VARARGS,
     "column_array(shape, kind) -> an uninitialised float64 ('f') or int64 ('i') array on kept blocks, as the "
     "parsed columns are made."},
    {"hold_freed_blocks", module_hold_freed_blocks, METH_NOARGS,
     "Keeps the large blocks that frame columns and quill20 arrays let go of for the next frames, until the "
     "matching let_go_of_freed_blocks."},
    {"let_go_of_freed_blocks", module_let_go_of_freed_blocks, METH_NOARGS,
     "Ends a hold_freed_blocks; the last to end frees what is kept."},
    {"freed_blocks_kept", module_freed_blocks_kept, METH_NOARGS,
     "How many let-go blocks are kept for the next frames (none once no reader is open and no run holds them)."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT, "vireo20._lammpsdump",
                                 "LAMMPS text dumps, plain, gzip or zstd, read by libvireo20's native reader; the job's step files written and checksummed.", -1,
                                 module_methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__lammpsdump()
{
  import_array();
  PyObject* module = PyModule_Create(&module_definition);
  if (module == nullptr) return nullptr;
  error_type = PyErr_NewExceptionWithDoc(
      "vireo20._lammpsdump.Error",
      "A problem of the dump: args are (item, problem, timestep or None, whole_file, cut_short), item being the ITEM "
      "or column concerned, whole_file true when the file itself is damaged or unreadable, and cut_short when its "
      "bytes (a plain file's, or a compressed stream's) end before its frame does.",
      nullptr, nullptr);
  PyObject* reader_type = PyType_FromSpec(&reader_spec);
  PyObject* text_stream_type = PyType_FromSpec(&text_stream_spec);
  const bool added = error_type != nullptr && reader_type != nullptr && text_stream_type != nullptr &&
                     PyModule_AddObjectRef(module, "Error", error_type) == 0 &&
                     PyModule_AddObjectRef(module, "Reader", reader_type) == 0 &&
                     PyModule_AddObjectRef(module, "TextStream", text_stream_type) == 0;
  Py_XDECREF(reader_type);
  Py_XDECREF(text_stream_type);
  if (!added) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
