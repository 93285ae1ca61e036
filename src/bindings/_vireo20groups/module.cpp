// vireo20._groups: group labels to the engine's parent table and the repeat check of ids, over NumPy
// buffers in place (the Python side hands over C-contiguous arrays of the exact types).
#include <Python.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>

#include "bindings/common/GilReleased.h"
#include "bindings/common/HeldBuffer.h"
#include "bindings/common/StandardErrors.h"
#include "vireo20/sci/clusters.h"
#include "vireo20/sci/contact_lines.h"
#include "vireo20/sci/group_labels.h"
#include "vireo20/sci/rows.h"

namespace {

// A one-dimensional buffer of items of one size, or a Python error.
class Buffer {
 public:
  Buffer(PyObject* p_Object, const char* p_Name, Py_ssize_t p_ItemSize, bool p_Writable)
      : m_Buffer(p_Object, PyBUF_FORMAT | (p_Writable ? PyBUF_WRITABLE : 0))
  {
    if (!m_Buffer.held()) return;
    if (m_Buffer.view().itemsize != p_ItemSize || m_Buffer.view().ndim != 1) {
      PyErr_Format(PyExc_TypeError, "%s: expected a one-dimensional array of %zd-byte items", p_Name, p_ItemSize);
      return;
    }
    m_Good = true;
  }

  bool good() const { return m_Good; }
  Py_ssize_t count() const
  {
    const Py_buffer& view = m_Buffer.view();
    return view.shape ? view.shape[0] : view.len / view.itemsize;
  }
  template <class T>
  T* data() const
  {
    return m_Buffer.data<T>();
  }

 private:
  vireo20::bindings::HeldBuffer m_Buffer;
  bool m_Good = false;
};

// An optional buffer (None: null), or a Python error (good() false).
struct Optional {
  std::unique_ptr<Buffer> buffer;
  bool good = true;
  Optional(PyObject* p_Object, const char* p_Name, Py_ssize_t p_ItemSize, bool p_Writable)
  {
    if (p_Object == Py_None) return;
    buffer = std::make_unique<Buffer>(p_Object, p_Name, p_ItemSize, p_Writable);
    good = buffer->good();
  }
  template <class T>
  T* data() const
  {
    return buffer ? buffer->data<T>() : nullptr;
  }
  Py_ssize_t count(Py_ssize_t p_None) const { return buffer ? buffer->count() : p_None; }
};

// Runs a pass whose tables grow with the step; a failed allocation raises MemoryError, and the
// process, with whatever else it holds, goes on.
template <class Pass>
PyObject* run_pass(const Pass& p_Pass)
{
  try {
    return p_Pass();
  } catch (...) {
    vireo20::bindings::raise_standard_exception(std::current_exception());
    return nullptr;
  }
}

// Whether every enabled entry names one of p_Count particles; else a Python error naming the first that does not.
bool enabled_in_range(const Buffer& p_Enabled, Py_ssize_t p_Count)
{
  const std::int32_t* on = p_Enabled.data<const std::int32_t>();
  for (Py_ssize_t i = 0; i < p_Enabled.count(); ++i) {
    if (on[i] < 0 || on[i] >= p_Count) {
      PyErr_Format(PyExc_ValueError, "enabled: entry %zd names particle %d, outside 0..%zd", i, on[i], p_Count - 1);
      return false;
    }
  }
  return true;
}

PyObject* parents_from_labels(PyObject*, PyObject* p_Args)
{
  PyObject *labels_object, *ids_object, *enabled_object, *parents_object;
  if (!PyArg_ParseTuple(p_Args, "OOOO", &labels_object, &ids_object, &enabled_object, &parents_object)) return nullptr;
  Buffer labels(labels_object, "labels", 8, false);
  if (!labels.good()) return nullptr;
  Buffer enabled(enabled_object, "enabled", 4, false);
  if (!enabled.good()) return nullptr;
  Buffer parents(parents_object, "parents", 4, true);
  if (!parents.good()) return nullptr;
  const std::int64_t* ids = nullptr;
  Buffer* id_buffer = nullptr;
  Buffer id_view(ids_object == Py_None ? labels_object : ids_object, "ids", 8, false);
  if (ids_object != Py_None) {
    if (!id_view.good()) return nullptr;
    id_buffer = &id_view;
    ids = id_view.data<const std::int64_t>();
  }
  const Py_ssize_t n = labels.count();
  if (parents.count() != n || (id_buffer && id_buffer->count() != n)) {
    PyErr_SetString(PyExc_ValueError, "labels, ids and parents must have one entry per particle");
    return nullptr;
  }
  // The caller checked the enabled list; checked again here, once, as it is this module's memory safety.
  if (!enabled_in_range(enabled, n)) return nullptr;
  const std::int32_t* on = enabled.data<const std::int32_t>();
  return run_pass([&] {
    vireo20::ups::parents_from_labels(labels.data<const std::int64_t>(), ids, on, enabled.count(),
                                      parents.data<std::int32_t>());
    Py_RETURN_NONE;
  });
}

PyObject* first_repeat(PyObject*, PyObject* p_Values)
{
  Buffer values(p_Values, "values", 8, false);
  if (!values.good()) return nullptr;
  return run_pass([&] { return PyLong_FromLongLong(vireo20::ups::first_repeat(values.data<const std::int64_t>(), values.count())); });
}

PyObject* number_by_first_occurrence(PyObject*, PyObject* p_Args)
{
  PyObject *keys_object, *labels_object, *firsts_object;
  if (!PyArg_ParseTuple(p_Args, "OOO", &keys_object, &labels_object, &firsts_object)) return nullptr;
  Buffer keys(keys_object, "keys", 8, false);
  if (!keys.good()) return nullptr;
  Buffer labels(labels_object, "labels", 4, true);
  if (!labels.good()) return nullptr;
  Buffer firsts(firsts_object, "firsts", 8, true);
  if (!firsts.good()) return nullptr;
  if (labels.count() != keys.count() || firsts.count() != keys.count()) {
    PyErr_SetString(PyExc_ValueError, "labels and firsts must have one entry per key");
    return nullptr;
  }
  if (keys.count() > INT32_MAX) {
    PyErr_SetString(PyExc_ValueError, "more keys than 32-bit labels can number");
    return nullptr;
  }
  return run_pass([&] {
    return PyLong_FromLongLong(vireo20::ups::number_by_first_occurrence(
        keys.data<const std::int64_t>(), keys.count(), labels.data<std::int32_t>(), firsts.data<std::int64_t>()));
  });
}

PyObject* group_extents(PyObject*, PyObject* p_Args)
{
  PyObject *groups_object, *values_object, *low_object, *high_object;
  if (!PyArg_ParseTuple(p_Args, "OOOO", &groups_object, &values_object, &low_object, &high_object)) return nullptr;
  Buffer groups(groups_object, "groups", 4, false);
  if (!groups.good()) return nullptr;
  Buffer values(values_object, "values", 8, false);
  if (!values.good()) return nullptr;
  Buffer low(low_object, "low", 8, true);
  if (!low.good()) return nullptr;
  Buffer high(high_object, "high", 8, true);
  if (!high.good()) return nullptr;
  if (values.count() != groups.count() || low.count() != high.count()) {
    PyErr_SetString(PyExc_ValueError, "one value per group entry, and as many lows as highs");
    return nullptr;
  }
  vireo20::ups::group_extents(groups.data<const std::int32_t>(), values.data<const double>(), groups.count(),
                              low.count(), low.data<double>(), high.data<double>());
  Py_RETURN_NONE;
}

PyObject* whole_about_anchors(PyObject*, PyObject* p_Args)
{
  PyObject *positions_object, *anchors_object, *groups_object, *lengths_object, *whole_object, *low_object,
      *high_object;
  int periodic[3];
  if (!PyArg_ParseTuple(p_Args, "OOOO(ppp)OOO", &positions_object, &anchors_object, &groups_object, &lengths_object,
                        &periodic[0], &periodic[1], &periodic[2], &whole_object, &low_object, &high_object)) {
    return nullptr;
  }
  Buffer positions(positions_object, "positions", 8, false);
  if (!positions.good()) return nullptr;
  Buffer anchors(anchors_object, "anchors", 8, false);
  if (!anchors.good()) return nullptr;
  Buffer groups(groups_object, "groups", 4, false);
  if (!groups.good()) return nullptr;
  Buffer lengths(lengths_object, "lengths", 8, false);
  if (!lengths.good()) return nullptr;
  Buffer whole(whole_object, "whole", 8, true);
  if (!whole.good()) return nullptr;
  Buffer low(low_object, "low", 8, true);
  if (!low.good()) return nullptr;
  Buffer high(high_object, "high", 8, true);
  if (!high.good()) return nullptr;
  const std::int64_t rows = anchors.count();
  if (positions.count() != 3 * rows || whole.count() != 3 * rows || groups.count() != rows || lengths.count() != 3 ||
      low.count() != high.count() || low.count() % 3 != 0) {
    PyErr_SetString(PyExc_ValueError, "whole_about_anchors: positions and whole 3 items a row, one anchor and group "
                                      "a row, 3 lengths, and as many lows as highs, 3 a group");
    return nullptr;
  }
  const bool wraps[3] = {periodic[0] != 0, periodic[1] != 0, periodic[2] != 0};
  std::int64_t bad;
  Py_BEGIN_ALLOW_THREADS
  bad = vireo20::ups::whole_about_anchors(positions.data<const double>(), anchors.data<const std::int64_t>(),
                                          groups.data<const std::int32_t>(), rows, lengths.data<const double>(), wraps,
                                          low.count() / 3, whole.data<double>(), low.data<double>(), high.data<double>());
  Py_END_ALLOW_THREADS
  if (bad >= 0) {
    PyErr_Format(PyExc_IndexError, "whole_about_anchors: anchor %lld of row %lld is outside 0..%lld",
                 static_cast<long long>(anchors.data<const std::int64_t>()[bad]), static_cast<long long>(bad),
                 static_cast<long long>(rows - 1));
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* group_id_ends(PyObject*, PyObject* p_Args)
{
  PyObject *groups_object, *enabled_object, *ids_object, *low_object, *high_object;
  if (!PyArg_ParseTuple(p_Args, "OOOOO", &groups_object, &enabled_object, &ids_object, &low_object, &high_object)) {
    return nullptr;
  }
  Buffer groups(groups_object, "groups", 4, false);
  if (!groups.good()) return nullptr;
  Buffer enabled(enabled_object, "enabled", 4, false);
  if (!enabled.good()) return nullptr;
  Buffer low(low_object, "low_at", 8, true);
  if (!low.good()) return nullptr;
  Buffer high(high_object, "high_at", 8, true);
  if (!high.good()) return nullptr;
  Buffer id_view(ids_object == Py_None ? low_object : ids_object, "ids", 8, false);
  if (ids_object != Py_None && !id_view.good()) return nullptr;
  const std::int64_t* ids = ids_object == Py_None ? nullptr : id_view.data<const std::int64_t>();
  if (enabled.count() != groups.count() || low.count() != high.count()) {
    PyErr_SetString(PyExc_ValueError, "one group per enabled entry, and as many lows as highs");
    return nullptr;
  }
  // Entries index the ids: checked here, once, as it is this module's memory safety.
  if (ids && !enabled_in_range(enabled, id_view.count())) return nullptr;
  vireo20::ups::group_id_ends(groups.data<const std::int32_t>(), enabled.data<const std::int32_t>(), ids,
                              groups.count(), low.count(), low.data<std::int64_t>(), high.data<std::int64_t>());
  Py_RETURN_NONE;
}

PyObject* take_rows(PyObject*, PyObject* p_Args)
{
  PyObject *source_object, *index_object, *out_object;
  Py_ssize_t width;
  if (!PyArg_ParseTuple(p_Args, "OnOO", &source_object, &width, &index_object, &out_object)) return nullptr;
  Buffer source(source_object, "source", 8, false);
  if (!source.good()) return nullptr;
  Buffer index(index_object, "index", 8, false);
  if (!index.good()) return nullptr;
  Buffer out(out_object, "out", 8, true);
  if (!out.good()) return nullptr;
  if (width < 1 || source.count() % width != 0 || out.count() != index.count() * width) {
    PyErr_SetString(PyExc_ValueError, "take_rows: source and out must hold whole rows of width items, out one per index");
    return nullptr;
  }
  const std::int64_t rows = source.count() / width;
  std::int64_t bad;
  Py_BEGIN_ALLOW_THREADS
  bad = vireo20::ups::take_rows(source.data<const std::uint64_t>(), rows, width, index.data<const std::int64_t>(),
                                index.count(), out.data<std::uint64_t>());
  Py_END_ALLOW_THREADS
  if (bad >= 0) {
    PyErr_Format(PyExc_IndexError, "take_rows: index %lld at position %lld is outside 0..%lld",
                 static_cast<long long>(index.data<const std::int64_t>()[bad]), static_cast<long long>(bad),
                 static_cast<long long>(rows - 1));
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* sum_rows_by_line(PyObject*, PyObject* p_Args)
{
  PyObject *values_object, *rows_object, *line_object, *sign_object, *out_object;
  Py_ssize_t width;
  if (!PyArg_ParseTuple(p_Args, "OnOOOO", &values_object, &width, &rows_object, &line_object, &sign_object, &out_object))
    return nullptr;
  Buffer values(values_object, "values", 8, false);
  if (!values.good()) return nullptr;
  Buffer rows(rows_object, "rows", 8, false);
  if (!rows.good()) return nullptr;
  Buffer line(line_object, "line", 4, false);
  if (!line.good()) return nullptr;
  Optional sign(sign_object, "sign", 8, false);
  if (!sign.good) return nullptr;
  Buffer out(out_object, "out", 8, true);
  if (!out.good()) return nullptr;
  if (width < 1 || values.count() % width != 0 || out.count() % width != 0 || line.count() != rows.count() ||
      sign.count(rows.count()) != rows.count()) {
    PyErr_SetString(PyExc_ValueError, "sum_rows_by_line: values and out hold whole rows of width doubles; rows, line "
                                      "and sign one entry a contact");
    return nullptr;
  }
  std::int64_t bad;
  Py_BEGIN_ALLOW_THREADS
  bad = vireo20::ups::sum_rows_by_line(values.data<const double>(), values.count() / width, width,
                                       rows.data<const std::int64_t>(), line.data<const std::int32_t>(),
                                       sign.data<const double>(), rows.count(), out.count() / width, out.data<double>());
  Py_END_ALLOW_THREADS
  if (bad >= 0) {
    PyErr_Format(PyExc_IndexError, "sum_rows_by_line: entry %lld names a row or line out of range", static_cast<long long>(bad));
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* first_bad_row(PyObject*, PyObject* p_Args)
{
  PyObject* values_object;
  Py_ssize_t width;
  int positive;
  if (!PyArg_ParseTuple(p_Args, "Onp", &values_object, &width, &positive)) return nullptr;
  Buffer values(values_object, "values", 8, false);
  if (!values.good()) return nullptr;
  if (width < 1 || values.count() % width != 0) {
    PyErr_SetString(PyExc_ValueError, "first_bad_row: values must hold whole rows of width items");
    return nullptr;
  }
  return run_pass([&] {
    return PyLong_FromLongLong(
        vireo20::ups::first_bad_row(values.data<const double>(), values.count() / width, width, positive != 0));
  });
}

PyObject* contact_end_tensors(PyObject*, PyObject* p_Args)
{
  PyObject *first_object, *second_object, *a_object, *b_object, *out_object;
  double scale;
  if (!PyArg_ParseTuple(p_Args, "OOOOdO", &first_object, &second_object, &a_object, &b_object, &scale, &out_object))
    return nullptr;
  Buffer first(first_object, "first", 8, false);
  if (!first.good()) return nullptr;
  Buffer second(second_object, "second", 8, false);
  if (!second.good()) return nullptr;
  Buffer a(a_object, "a", 8, false);
  if (!a.good()) return nullptr;
  Buffer b(b_object, "b", 8, false);
  if (!b.good()) return nullptr;
  Buffer out(out_object, "out", 8, true);
  if (!out.good()) return nullptr;
  if (second.count() != first.count() || a.count() != 3 * first.count() || b.count() != 3 * first.count() ||
      out.count() % 6 != 0) {
    PyErr_SetString(PyExc_ValueError, "contact_end_tensors: one first and second end and 3 a and b values a "
                                      "contact, 6 out values a group");
    return nullptr;
  }
  return run_pass([&]() -> PyObject* {
    const std::int64_t bad = vireo20::ups::contact_end_tensors(
        first.data<const std::int64_t>(), second.data<const std::int64_t>(), a.data<const double>(),
        b.data<const double>(), scale, first.count(), out.count() / 6, out.data<double>());
    if (bad >= 0) {
      PyErr_Format(PyExc_IndexError, "contact_end_tensors: contact %lld has an end outside 0..%lld",
                   static_cast<long long>(bad), static_cast<long long>(out.count() / 6 - 1));
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* contact_lines(PyObject*, PyObject* p_Args)
{
  PyObject *first_object, *second_object, *kinds_object, *ends_object, *a_object, *b_object, *kept_object,
      *line_object, *line_first_object, *inside_object, *outside_object, *wall_object;
  long long id_low, groups;
  if (!PyArg_ParseTuple(p_Args, "OOOOLLOOOOOOOO", &first_object, &second_object, &kinds_object, &ends_object, &id_low,
                        &groups, &a_object, &b_object, &kept_object, &line_object, &line_first_object, &inside_object,
                        &outside_object, &wall_object))
    return nullptr;
  Buffer first(first_object, "first", 8, false);
  if (!first.good()) return nullptr;
  Buffer second(second_object, "second", 8, false);
  if (!second.good()) return nullptr;
  Optional kinds(kinds_object, "kinds", 8, false);
  if (!kinds.good) return nullptr;
  Buffer ends(ends_object, "ends", 4, false);
  if (!ends.good()) return nullptr;
  Buffer a(a_object, "a", 8, true), b(b_object, "b", 8, true), kept(kept_object, "kept", 8, true);
  if (!a.good() || !b.good() || !kept.good()) return nullptr;
  Buffer line(line_object, "line", 4, true), line_first(line_first_object, "line_first", 8, true);
  if (!line.good() || !line_first.good()) return nullptr;
  Optional inside(inside_object, "inside", 8, true), outside(outside_object, "outside", 8, true),
      wall(wall_object, "wall", 8, true);
  if (!inside.good || !outside.good || !wall.good) return nullptr;
  const Py_ssize_t count = first.count();
  if (second.count() != count || kinds.count(count) != count || a.count() != count || b.count() != count ||
      kept.count() != count || line.count() != count || line_first.count() != count || groups < 0 ||
      inside.count(groups) != groups || outside.count(groups) != groups || wall.count(groups) != groups) {
    PyErr_SetString(PyExc_ValueError, "contact_lines: first, second, kinds, a, b, kept, line and line_first need one "
                                      "entry a contact, inside, outside and wall one a group");
    return nullptr;
  }
  const std::int32_t* table = ends.data<const std::int32_t>();
  for (Py_ssize_t k = 0; k < ends.count(); ++k) {
    if (table[k] < vireo20::ups::no_particle || table[k] >= groups) {
      PyErr_Format(PyExc_ValueError, "contact_lines: ends[%zd] = %d is no group of %lld", k, table[k], groups);
      return nullptr;
    }
  }
  return run_pass([&]() -> PyObject* {
    vireo20::ups::ContactLineCounts found;
    {
      // The buffers are held: the reader of the next frame runs meanwhile.
      const vireo20::bindings::GilReleased unlocked;
      found = vireo20::ups::contact_lines(
          first.data<const std::int64_t>(), second.data<const std::int64_t>(), kinds.data<const std::int64_t>(), count,
          table, id_low, ends.count(), groups, a.data<std::int64_t>(), b.data<std::int64_t>(),
          kept.data<std::int64_t>(), line.data<std::int32_t>(), line_first.data<std::int64_t>(),
          inside.data<std::int64_t>(), outside.data<std::int64_t>(), wall.data<std::int64_t>());
    }
    return Py_BuildValue("(LLL)", static_cast<long long>(found.unknown), static_cast<long long>(found.kept),
                         static_cast<long long>(found.lines));
  });
}

// What both searches by distance take: positions, a per-particle array, the box (an origin, 9 edge
// numbers a b c, 3 periodic flags), a cutoff and two per-particle outputs.
struct Search {
  PyObject *positions, *per_particle, *first, *second;
  vireo20::ups::ClusterBox box;
  double cutoff;

  // False with the Python error set.
  bool parse(PyObject* p_Args, const char* p_Name)
  {
    double origin[3], edges[9];
    int periodic[3];
    if (!PyArg_ParseTuple(p_Args, "OO(ddd)(ddddddddd)(ppp)dOO", &positions, &per_particle, &origin[0], &origin[1],
                          &origin[2], &edges[0], &edges[1], &edges[2], &edges[3], &edges[4], &edges[5], &edges[6],
                          &edges[7], &edges[8], &periodic[0], &periodic[1], &periodic[2], &cutoff, &first, &second)) {
      return false;
    }
    if (!(cutoff > 0.0) || !std::isfinite(cutoff)) {
      PyErr_Format(PyExc_ValueError, "%s: the cutoff must be a finite number above 0", p_Name);
      return false;
    }
    for (int k = 0; k < 3; ++k) {
      box.origin[k] = origin[k];
      box.periodic[k] = periodic[k] != 0;
      for (int c = 0; c < 3; ++c) box.edges[k][c] = edges[3 * k + c];
    }
    return true;
  }
};

// (row, self_image, axis, [spanning labels]) of a clustering's fault; see vireo20/sci/clusters.h.
PyObject* fault_tuple(const vireo20::ups::ClusterFault& p_Fault)
{
  PyObject* spanning = PyList_New(static_cast<Py_ssize_t>(p_Fault.spanning.size()));
  if (!spanning) return nullptr;
  for (std::size_t k = 0; k < p_Fault.spanning.size(); ++k) {
    PyObject* label = PyLong_FromLongLong(p_Fault.spanning[k]);
    if (!label) {
      Py_DECREF(spanning);
      return nullptr;
    }
    PyList_SET_ITEM(spanning, static_cast<Py_ssize_t>(k), label);
  }
  return Py_BuildValue("(LLiN)", static_cast<long long>(p_Fault.row), static_cast<long long>(p_Fault.self_image),
                       p_Fault.axis, spanning);
}

PyObject* clusters_by_distance(PyObject*, PyObject* p_Args)
{
  Search search;
  if (!search.parse(p_Args, "clusters_by_distance")) return nullptr;
  Buffer positions(search.positions, "positions", 8, false);
  if (!positions.good()) return nullptr;
  Buffer ids(search.per_particle, "ids", 8, false);
  if (!ids.good()) return nullptr;
  Buffer labels(search.first, "labels", 8, true);
  if (!labels.good()) return nullptr;
  Buffer shifts(search.second, "shifts", 8, true);
  if (!shifts.good()) return nullptr;
  if (positions.count() != 3 * ids.count() || labels.count() != ids.count() || shifts.count() != 3 * ids.count()) {
    PyErr_SetString(PyExc_ValueError, "clusters_by_distance: three coordinates, an id, a label and three shifts a particle");
    return nullptr;
  }
  return run_pass([&] {
    vireo20::ups::ClusterFault fault;
    {
      // Taken back however the search ends: a failed allocation in it raises MemoryError.
      const vireo20::bindings::GilReleased unlocked;
      fault = vireo20::ups::clusters_by_distance(positions.data<const double>(), ids.data<const std::int64_t>(),
                                                 ids.count(), search.box, search.cutoff, labels.data<std::int64_t>(),
                                                 shifts.data<std::int64_t>());
    }
    return fault_tuple(fault);
  });
}

PyObject* neighbour_counts(PyObject*, PyObject* p_Args)
{
  Search search;
  if (!search.parse(p_Args, "neighbour_counts")) return nullptr;
  Buffer positions(search.positions, "positions", 8, false);
  if (!positions.good()) return nullptr;
  Buffer groups(search.per_particle, "groups", 4, false);
  if (!groups.good()) return nullptr;
  Buffer neighbours(search.first, "neighbours", 8, true);
  if (!neighbours.good()) return nullptr;
  Buffer inner(search.second, "inner", 8, true);
  if (!inner.good()) return nullptr;
  const Py_ssize_t count = groups.count();
  if (positions.count() != 3 * count || neighbours.count() != count || inner.count() != count) {
    PyErr_SetString(PyExc_ValueError, "neighbour_counts: three coordinates, a group and two counts a particle");
    return nullptr;
  }
  return run_pass([&] {
    std::int64_t bad;
    {
      const vireo20::bindings::GilReleased unlocked;
      bad = vireo20::ups::neighbour_counts(positions.data<const double>(), groups.data<const std::int32_t>(), count,
                                           search.box, search.cutoff, neighbours.data<std::int64_t>(),
                                           inner.data<std::int64_t>());
    }
    return PyLong_FromLongLong(bad);
  });
}

PyObject* clusters_by_pairs(PyObject*, PyObject* p_Args)
{
  PyObject *pairs_object, *pair_shifts_object, *ids_object, *labels_object, *shifts_object;
  if (!PyArg_ParseTuple(p_Args, "OOOOO", &pairs_object, &pair_shifts_object, &ids_object, &labels_object,
                        &shifts_object)) {
    return nullptr;
  }
  Buffer pairs(pairs_object, "pairs", 8, false);
  if (!pairs.good()) return nullptr;
  Buffer pair_shifts(pair_shifts_object, "pair_shifts", 8, false);
  if (!pair_shifts.good()) return nullptr;
  Buffer ids(ids_object, "ids", 8, false);
  if (!ids.good()) return nullptr;
  Buffer labels(labels_object, "labels", 8, true);
  if (!labels.good()) return nullptr;
  Buffer shifts(shifts_object, "shifts", 8, true);
  if (!shifts.good()) return nullptr;
  if (pairs.count() % 2 != 0 || pair_shifts.count() != pairs.count() / 2 * 3 || labels.count() != ids.count() ||
      shifts.count() != 3 * ids.count()) {
    PyErr_SetString(PyExc_ValueError, "clusters_by_pairs: two rows and three shifts a pair, a label and three shifts an id");
    return nullptr;
  }
  return run_pass([&] {
    return fault_tuple(vireo20::ups::clusters_by_pairs(pairs.data<const std::int64_t>(),
                                                       pair_shifts.data<const std::int64_t>(), pairs.count() / 2,
                                                       ids.data<const std::int64_t>(), ids.count(),
                                                       labels.data<std::int64_t>(), shifts.data<std::int64_t>()));
  });
}

PyMethodDef methods[] = {
    {"parents_from_labels", parents_from_labels, METH_VARARGS,
     "parents_from_labels(labels, ids, enabled, parents): for each label above 0 among the enabled\n"
     "particles, its member of lowest id (ids may be None: the index) becomes the parent of the others;\n"
     "parents (int32, one per particle) is written in place, -1 for a parent itself."},
    {"number_by_first_occurrence", number_by_first_occurrence, METH_VARARGS,
     "number_by_first_occurrence(keys, labels, firsts): numbers the distinct int64 keys by first\n"
     "occurrence into labels (int32, one per key) and firsts (int64: where each number first occurs);\n"
     "returns how many there are."},
    {"group_extents", group_extents, METH_VARARGS,
     "group_extents(groups, values, low, high): the lowest and highest float64 value of each group\n"
     "(int32 group numbers, one per value) folded into low and high in place."},
    {"whole_about_anchors", whole_about_anchors, METH_VARARGS,
     "whole_about_anchors(positions, anchors, groups, lengths, periodic, whole, low, high): each row of\n"
     "positions (flat float64, x y z a row) moved by whole edges of an orthogonal box (lengths: its 3 edge\n"
     "lengths; periodic: 3 flags) to the image nearest its anchor row's (int64 a row), into whole; each\n"
     "group's (int32 a row) lowest and highest displacement from its anchor in box lengths, per periodic\n"
     "direction, folded into low and high (3 a group) in place. IndexError for an anchor outside the rows."},
    {"group_id_ends", group_id_ends, METH_VARARGS,
     "group_id_ends(groups, enabled, ids, low_at, high_at): the entry of the lowest and of the highest id\n"
     "of each group (int32 group numbers and particle indexes, one per entry; ids int64 per particle, or\n"
     "None: the index), written into low_at and high_at (int64, -1 for a group without entries)."},
    {"take_rows", take_rows, METH_VARARGS,
     "take_rows(source, width, index, out): out's row i = source's row index[i], rows of width 8-byte\n"
     "items (both arrays flat), over the cores without the interpreter lock; IndexError for an index\n"
     "outside the source's rows."},
    {"sum_rows_by_line", sum_rows_by_line, METH_VARARGS,
     "sum_rows_by_line(values, width, rows, line, sign, out): out's row line[k] += sign[k] * values' row rows[k]\n"
     "(rows of width float64, flat; rows int64, line int32, sign float64 or None for 1), out zeroed first: each\n"
     "column bincount(line, sign * values[rows][:, j])'s bits; IndexError for a row or line out of range."},
    {"contact_lines", contact_lines, METH_VARARGS,
     "contact_lines(first, second, kinds, ends, id_low, groups, a, b, kept, line, line_first, inside, outside,\n"
     "wall) -> (unknown, kept, lines): a step's contacts (int64 id pairs; kinds int64 or None, 0 for two\n"
     "particles) through ends (int32: the upscaled particle of id id_low + k, -1 for none, -2 for no particle):\n"
     "each end's upscaled particle in a and b (-1 for none), the kept contacts (two different upscaled\n"
     "particles) in kept, their lines numbered by first occurrence in line, each line's first in line_first;\n"
     "inside, outside and wall (int64, one a group, or None) count each upscaled particle's contacts."},
    {"contact_end_tensors", contact_end_tensors, METH_VARARGS,
     "contact_end_tensors(first, second, a, b, scale, out): each group's sums over the contacts it is an end\n"
     "of (int64 first and second group a contact) of scale a_i b_j for xx yy zz xy xz yz (a, b: flat float64,\n"
     "3 a contact) into out (flat float64, 6 a group): bincount(first, w) + bincount(second, w) a component."},
    {"first_bad_row", first_bad_row, METH_VARARGS,
     "first_bad_row(values, width, positive): the first row of width float64 values (a flat array) holding\n"
     "one that is not finite (positive: not finite and above zero), or -1; over the cores."},
    {"clusters_by_distance", clusters_by_distance, METH_VARARGS,
     "clusters_by_distance(positions, ids, origin, edges, periodic, cutoff, labels, shifts): labels (int64, one\n"
     "per particle) the lowest id of each particle's cluster (particles closer than cutoff, squared distances\n"
     "compared, through the images of the box: origin, edge vectors a b c as 9 numbers, 3 periodic flags);\n"
     "shifts (int64, 3 a particle) the box edges that make each cluster whole about its lowest-id member.\n"
     "positions is flat float64 (x y z a row). Returns (first particle whose position is not finite, a\n"
     "particle of the first cluster that meets its own image, along which edge), -1 for none, and the\n"
     "labels of the clusters that meet their own image (their shifts 0: they span the box)."},
    {"clusters_by_pairs", clusters_by_pairs, METH_VARARGS,
     "clusters_by_pairs(pairs, pair_shifts, ids, labels, shifts): as clusters_by_distance, over the clusters of\n"
     "pairs (flat int64 rows, two a pair; the second at pair_shifts' 3 box edges from the first). Returns\n"
     "(first pair naming a row outside the ids, a particle of the first cluster that meets its own image,\n"
     "along which edge), -1 for none, and the labels of the clusters that meet their own image."},
    {"neighbour_counts", neighbour_counts, METH_VARARGS,
     "neighbour_counts(positions, groups, origin, edges, periodic, cutoff, neighbours, inner): each particle's\n"
     "neighbours closer than cutoff through every image of the box (its own too), and those of its own group\n"
     "(int32, one a particle), into neighbours and inner (int64). Returns -1, or the first particle whose\n"
     "position is not finite."},
    {"first_repeat", first_repeat, METH_O,
     "first_repeat(values): the position of the first int64 value seen before, or -1."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "_groups",
                      "Group labels to parents and the repeat check of ids, in passes over the particles.", -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__groups() { return PyModule_Create(&module); }
