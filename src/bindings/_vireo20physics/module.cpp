// The Python module vireo20._physics: the per-group physics of a generator's step, NumPy in and out.
// Each argument is converted once to C-contiguous float64 by NumPy; the engine reads the buffers.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include <boost/python.hpp>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include "bindings/_vireo20upscaling/MPUpscalingGenerator.h"
#include "bindings/_vireo20physics/UnlockedCall.h"
#include "bindings/common/HeldBuffer.h"
#include "bindings/common/KeptBlocks.h"
#include "vireo20/sci/group_moments.h"
#include "vireo20/sci/parallel.h"

namespace {

namespace bp = boost::python;
using vireo20::ups::MPUpscalingGenerator;

// A C-contiguous buffer of an array held alive beside it.
class Buffer {
 public:
  Buffer(const bp::object& p_Array, bool p_Writable)
      : m_Array(p_Array), m_Buffer(p_Array.ptr(), p_Writable ? PyBUF_WRITABLE : 0)
  {
    if (!m_Buffer.held()) bp::throw_error_already_set();
  }

  template <class T>
  T* data() const
  {
    return m_Buffer.data<T>();
  }
  const bp::object& array() const { return m_Array; }

 private:
  bp::object m_Array;
  vireo20::bindings::HeldBuffer m_Buffer;
};

[[noreturn]] void refuse(const std::string& p_Text, const char* p_Method = "group_moments")
{
  throw std::invalid_argument(std::string(p_Method) + ": " + p_Text);
}

std::string text_of(const bp::object& p_Object) { return bp::extract<std::string>(bp::str(p_Object))(); }

// p_Value as float64 of p_Columns columns (0: one-dimensional), or a ValueError naming p_Name.
// Numbers of any real kind are accepted; the conversion is NumPy's, once for the whole array.
bp::object as_float64(const bp::object& p_Numpy, const bp::object& p_Value, const char* p_Name, int p_Columns,
                      const char* p_Method = "group_moments")
{
  bp::object array;
  try {
    array = p_Numpy.attr("asarray")(p_Value);
  } catch (const bp::error_already_set&) {
    // What NumPy says of ragged or odd input; anything else (memory, an interrupt) goes on as it is.
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) throw;
    PyErr_Clear();
    refuse(std::string(p_Name) + ": not an array of numbers", p_Method);
  }
  const std::string kind = bp::extract<std::string>(array.attr("dtype").attr("kind"))();
  if (kind != "f" && kind != "i" && kind != "u")
    refuse(std::string(p_Name) + ": dtype " + text_of(array.attr("dtype")) + ", expected float64 (or real numbers)",
           p_Method);
  const bp::object shape = array.attr("shape");
  const long ndim = bp::len(shape);
  const bool fits = p_Columns == 0 ? ndim == 1 : ndim == 2 && bp::extract<long>(shape[1])() == p_Columns;
  if (!fits) {
    const std::string wanted = p_Columns == 0 ? "(n,)" : "(n, " + std::to_string(p_Columns) + ")";
    refuse(std::string(p_Name) + ": shape " + text_of(shape) + ", expected " + wanted, p_Method);
  }
  return p_Numpy.attr("ascontiguousarray")(array, bp::object(p_Numpy.attr("float64")));
}

std::int64_t rows_of(const Buffer& p_Buffer) { return bp::extract<std::int64_t>(p_Buffer.array().attr("shape")[0])(); }

// The generator of a step, or a ValueError naming what was given.
const MPUpscalingGenerator& stepped_generator(const bp::object& p_Generator, const char* p_Method)
{
  bp::extract<MPUpscalingGenerator&> generator_of(p_Generator);
  if (!generator_of.check())
    refuse("generator: got " + text_of(p_Generator.attr("__class__").attr("__name__")) +
           ", expected the _vireo20upscaling.MPUpscalingGenerator of the step", p_Method);
  const MPUpscalingGenerator& generator = generator_of();
  if (generator.GetCurrentTimestepIndex() == -1 && !generator.enabled_indexes() && !generator.topology() &&
      generator.number_of_trailing_entries() == 0)
    throw std::runtime_error(std::string(p_Method) +
                             ": the generator holds no step yet; call SetParticlesEnabledIndexes first");
  return generator;
}

bp::dict group_moments(const bp::object& p_Generator, const bp::object& p_Centres, const bp::object& p_Positions,
                       const bp::object& p_Masses, const bp::object& p_Velocities, const bp::object& p_Forces,
                       bool p_MeanVelocity, const bp::object& p_EntryMasses, bool p_Shape,
                       const bp::object& p_Radii, bool p_VelocityTensor)
{
  const MPUpscalingGenerator& generator = stepped_generator(p_Generator, "group_moments");
  const bp::object numpy = bp::import("numpy");
  // Without centres, the pass finds them.
  const bool finds_centres = p_Centres.is_none();
  std::optional<Buffer> centres;
  if (!finds_centres) centres.emplace(as_float64(numpy, p_Centres, "centres", 3), false);
  const Buffer positions(as_float64(numpy, p_Positions, "positions", 3), false);
  const Buffer masses(as_float64(numpy, p_Masses, "masses", 0), false);
  std::optional<Buffer> velocities, forces;
  if (!p_Velocities.is_none()) velocities.emplace(as_float64(numpy, p_Velocities, "velocities", 3), false);
  if (!p_Forces.is_none()) forces.emplace(as_float64(numpy, p_Forces, "forces", 3), false);
  std::optional<Buffer> entry_masses;
  if (!p_EntryMasses.is_none()) entry_masses.emplace(as_float64(numpy, p_EntryMasses, "entry_masses", 0), false);
  if (p_MeanVelocity && !velocities) refuse("mean_velocity: there are no velocities to average");
  if (p_VelocityTensor && !(velocities && finds_centres))
    refuse("velocity_tensor: it needs the velocities, about the mean velocity the pass finds (centres None)");
  std::optional<Buffer> radii;
  if (!p_Radii.is_none()) {
    if (!p_Shape) refuse("radii: they serve bounding_radius and the bounding box, which shape=True asks for");
    radii.emplace(as_float64(numpy, p_Radii, "radii", 0), false);
  }

  vireo20::ups::GroupMomentsInput input;
  if (centres) {
    input.centres = centres->data<const double>();
    input.centre_rows = rows_of(*centres);
  }
  input.positions = positions.data<const double>();
  input.position_rows = rows_of(positions);
  input.masses = masses.data<const double>();
  input.mass_count = rows_of(masses);
  if (velocities) {
    input.velocities = velocities->data<const double>();
    input.velocity_rows = rows_of(*velocities);
  }
  if (forces) {
    input.forces = forces->data<const double>();
    input.force_rows = rows_of(*forces);
  }
  if (entry_masses) {
    input.entry_masses = entry_masses->data<const double>();
    input.entry_mass_rows = rows_of(*entry_masses);
  }
  if (radii) {
    input.radii = radii->data<const double>();
    input.radius_rows = rows_of(*radii);
  }
  // Checked before any result is made, so a refusal costs nothing.
  vireo20::ups::check_group_moments(generator, input, finds_centres);

  const std::int64_t rows = vireo20::ups::group_moment_rows(generator);
  // Every result is a view of one block, doubles first, then the counts: one allocation on huge pages,
  // where seven smaller ones, some under the 4 MiB threshold, cost a page fault every 4 KiB (a quarter
  // of the call at a million particles); on a kept block, the last step's, it costs none. The engine
  // writes every entry.
  const int vector_count = (input.velocities ? 2 : 0) + (input.forces ? 1 : 0) + (finds_centres ? 1 : 0) +
                           (p_MeanVelocity ? 1 : 0);
  const bool kinetic = input.velocities && finds_centres;
  const std::int64_t doubles =
      rows * (1 + 6 + 6 + 3 * vector_count + (kinetic ? 1 : 0) + (p_VelocityTensor ? 6 : 0) +
              (p_Shape ? 6 + 9 + 1 + 6 : 0));
  npy_intp bytes = static_cast<npy_intp>(doubles * 8 + rows * 4);
  const bp::object block(bp::handle<>(
      vireo20::bindings::made_on_kept_blocks([&] { return PyArray_SimpleNew(1, &bytes, NPY_UINT8); })));
  std::int64_t offset = 0;
  const auto part = [&](int p_Columns, const char* p_Type, int p_Size) {
    const std::int64_t bytes = rows * std::max(p_Columns, 1) * p_Size;
    bp::object view = block[bp::slice(offset, offset + bytes)].attr("view")(p_Type);
    offset += bytes;
    return p_Columns == 0 ? view : bp::object(view.attr("reshape")(rows, p_Columns));
  };
  bp::dict result;
  const Buffer radius(part(0, "float64", 8), true), gyration(part(6, "float64", 8), true),
      inertia(part(6, "float64", 8), true);
  vireo20::ups::GroupMomentsOutput output;
  output.radius_of_gyration = radius.data<double>();
  output.gyration_tensor = gyration.data<double>();
  output.inertia = inertia.data<double>();
  std::optional<Buffer> angular_momentum, angular_velocity, torque;
  if (input.velocities) {
    angular_momentum.emplace(part(3, "float64", 8), true);
    angular_velocity.emplace(part(3, "float64", 8), true);
    output.angular_momentum = angular_momentum->data<double>();
    output.angular_velocity = angular_velocity->data<double>();
  }
  if (input.forces) {
    torque.emplace(part(3, "float64", 8), true);
    output.torque = torque->data<double>();
  }
  std::optional<Buffer> found_centres, mean_velocity;
  if (finds_centres) {
    found_centres.emplace(part(3, "float64", 8), true);
    output.centres = found_centres->data<double>();
  }
  if (p_MeanVelocity) {
    mean_velocity.emplace(part(3, "float64", 8), true);
    output.mean_velocity = mean_velocity->data<double>();
  }
  std::optional<Buffer> internal_kinetic_energy;
  if (kinetic) {
    internal_kinetic_energy.emplace(part(0, "float64", 8), true);
    output.internal_kinetic_energy = internal_kinetic_energy->data<double>();
  }
  std::optional<Buffer> velocity_tensor;
  if (p_VelocityTensor) {
    velocity_tensor.emplace(part(6, "float64", 8), true);
    output.velocity_tensor = velocity_tensor->data<double>();
  }
  std::optional<Buffer> shape, axes, bounding, box_lo, box_hi;
  if (p_Shape) {
    shape.emplace(part(6, "float64", 8), true);
    output.gyration_shape = shape->data<double>();
    axes.emplace(part(9, "float64", 8), true);
    output.principal_axes = axes->data<double>();
    bounding.emplace(part(0, "float64", 8), true);
    output.bounding_radius = bounding->data<double>();
    box_lo.emplace(part(3, "float64", 8), true);
    output.bounding_box_lo = box_lo->data<double>();
    box_hi.emplace(part(3, "float64", 8), true);
    output.bounding_box_hi = box_hi->data<double>();
  }
  const Buffer count(part(0, "int32", 4), true);
  output.count = count.data<std::int32_t>();
  result["count"] = count.array();
  result["radius_of_gyration"] = radius.array();
  result["gyration_tensor"] = gyration.array();
  result["inertia"] = inertia.array();
  if (angular_momentum) {
    result["angular_momentum"] = angular_momentum->array();
    result["angular_velocity"] = angular_velocity->array();
  }
  if (torque) result["torque"] = torque->array();
  if (found_centres) result["centres"] = found_centres->array();
  if (mean_velocity) result["mean_velocity"] = mean_velocity->array();
  if (internal_kinetic_energy) result["internal_kinetic_energy"] = internal_kinetic_energy->array();
  if (velocity_tensor) result["velocity_tensor"] = velocity_tensor->array();
  if (shape) {
    result["gyration_shape"] = shape->array();
    result["principal_axes"] = axes->array();
    result["bounding_radius"] = bounding->array();
    result["bounding_box_lo"] = box_lo->array();
    result["bounding_box_hi"] = box_hi->array();
  }
  {
    // Without the interpreter lock, so that the job reads and writes other steps meanwhile: the
    // buffers are held, the enabled list pinned, and the generator marked as read.
    const vireo20::ups::UnlockedCall unlocked(generator);
    vireo20::ups::group_moments(generator, input, output, vireo20::ups::thread_count());
  }
  return result;
}

// A pass over each upscaled particle's members' rows of values (group_spread, group_median): the
// values checked and taken as float64, U+T rows of the same width made for the answer. p_Pass(engine,
// values, rows, width, out, threads) runs without the interpreter lock.
template <class Pass>
bp::object per_member_pass(const bp::object& p_Generator, const bp::object& p_Values, const char* p_Method,
                           Pass&& p_Pass)
{
  const MPUpscalingGenerator& generator = stepped_generator(p_Generator, p_Method);
  const bp::object numpy = bp::import("numpy");
  const bp::object array = numpy.attr("asarray")(p_Values);
  const long ndim = bp::len(array.attr("shape"));
  if (ndim != 1 && ndim != 2)
    refuse("values: shape " + text_of(array.attr("shape")) + ", expected (n,) or (n, k)", p_Method);
  const long width = ndim == 1 ? 1 : bp::extract<long>(array.attr("shape")[1])();
  const Buffer values(as_float64(numpy, array, "values", ndim == 1 ? 0 : static_cast<int>(width), p_Method), false);
  const std::int64_t rows = vireo20::ups::group_moment_rows(generator);
  const bp::object answer = ndim == 1 ? numpy.attr("empty")(rows) : numpy.attr("empty")(bp::make_tuple(rows, width));
  const Buffer out(answer, true);
  const std::int64_t given = rows_of(values);
  {
    // The buffers are held; nothing below touches a Python object.
    const vireo20::ups::UnlockedCall unlocked(generator);
    p_Pass(generator, values.data<const double>(), given, width, out.data<double>(), vireo20::ups::thread_count());
  }
  return answer;
}

bp::object group_spread(const bp::object& p_Generator, const bp::object& p_Values, bool p_Variance)
{
  return per_member_pass(p_Generator, p_Values, "group_spread",
                         [p_Variance](const MPUpscalingGenerator& p_Engine, const double* p_Data, std::int64_t p_Rows,
                                      std::int64_t p_Width, double* p_Out, unsigned p_Threads) {
                           vireo20::ups::group_spread(p_Engine, p_Data, p_Rows, p_Width, p_Out, p_Threads, p_Variance);
                         });
}

bp::object group_median(const bp::object& p_Generator, const bp::object& p_Values)
{
  return per_member_pass(p_Generator, p_Values, "group_median", vireo20::ups::group_median);
}

bp::object group_distinct(const bp::object& p_Generator, const bp::object& p_Values)
{
  return per_member_pass(p_Generator, p_Values, "group_distinct", vireo20::ups::group_distinct);
}

bp::object group_sum(const bp::object& p_Generator, const bp::object& p_Values)
{
  return per_member_pass(p_Generator, p_Values, "group_sum", vireo20::ups::group_sum);
}

bp::object group_average(const bp::object& p_Generator, const bp::object& p_Values, const bp::object& p_Weights)
{
  std::optional<Buffer> weights;
  std::int64_t weight_rows = 0;
  if (!p_Weights.is_none()) {
    weights.emplace(as_float64(bp::import("numpy"), p_Weights, "weights", 0, "group_average"), false);
    weight_rows = rows_of(*weights);
  }
  const double* by_entry = weights ? weights->data<const double>() : nullptr;
  return per_member_pass(p_Generator, p_Values, "group_average",
                         [&](const MPUpscaling& p_Engine, const double* p_Rows, std::int64_t p_Count,
                             std::int64_t p_Width, double* p_Out, unsigned p_Threads) {
                           vireo20::ups::group_average(p_Engine, p_Rows, p_Count, p_Width, by_entry, weight_rows,
                                                       p_Out, p_Threads);
                         });
}

bp::object group_lowest(const bp::object& p_Generator, const bp::object& p_Values)
{
  return per_member_pass(p_Generator, p_Values, "group_lowest", vireo20::ups::group_lowest);
}

bp::object group_highest(const bp::object& p_Generator, const bp::object& p_Values)
{
  return per_member_pass(p_Generator, p_Values, "group_highest", vireo20::ups::group_highest);
}

}  // namespace

BOOST_PYTHON_MODULE(_physics)
{
  if (_import_array() < 0) bp::throw_error_already_set();
  bp::docstring_options options(true, false, false);
  bp::scope().attr("__doc__") =
      "Per-group physics of an upscaling step, as LAMMPS's chunk computes define them, about the given centres "
      "or the centres of mass the same pass finds.";
  bp::def("group_moments", &group_moments,
          (bp::arg("generator"), bp::arg("centres"), bp::arg("positions"), bp::arg("masses"),
           bp::arg("velocities") = bp::object(), bp::arg("forces") = bp::object(), bp::arg("mean_velocity") = false,
           bp::arg("entry_masses") = bp::object(), bp::arg("shape") = false, bp::arg("radii") = bp::object(),
           bp::arg("velocity_tensor") = false),
          "group_moments(generator, centres, positions, masses, velocities=None, forces=None,\n"
          "              mean_velocity=False, entry_masses=None, shape=False, radii=None,\n"
          "              velocity_tensor=False) -> dict\n\n"
          "For the generator's step (after SetParticlesEnabledIndexes): centres (U+T, 3) as\n"
          "CoordsWeightedAverage returned them, positions (E+T, 3) as it was given them, masses (N,) by\n"
          "source particle; velocities and forces (E+T, 3) or None. Returns NumPy arrays of U+T rows:\n"
          "count (int32), radius_of_gyration, gyration_tensor (xx yy zz xy xz yz), inertia (xx yy zz xy\n"
          "yz xz); with velocities angular_momentum and angular_velocity; with forces torque. A trailing\n"
          "entry counts 1 and has zeros elsewhere. With centres None the same pass finds them and returns\n"
          "them as centres, the bits CoordsWeightedAverage gives; mean_velocity=True adds the velocities'\n"
          "CoordsWeightedAverage as mean_velocity, and with velocities internal_kinetic_energy, 1/2 sum\n"
          "m |v - V|^2 about each row's mean velocity V (0 for a lone member), and velocity_tensor=True\n"
          "velocity_tensor (U+T, 6), sum m (v - V)(v - V)^T as xx yy zz xy xz yz. entry_masses (E+T,),\n"
          "masses[enabled] then the trailing masses, is read instead of masses through the enabled list,\n"
          "with the same results, faster on a shuffled list. shape=True adds gyration_shape (U+T, 6), as\n"
          "LAMMPS's gyration/shape/chunk: the gyration tensor's eigenvalues, largest first, asphericity,\n"
          "acylindricity and relative shape anisotropy (zeros and a NaN anisotropy for a lone member), and\n"
          "principal_axes (U+T, 9), MDAnalysis's: rows e1 e2 e3 by growing extent, e2 and e3 each with its\n"
          "largest component positive, e1 = e2 x e3 (a lone member's the x, y and z axes), and\n"
          "bounding_radius (U+T,), the largest distance from the centre to a member, plus its radius\n"
          "where radii (E+T,) are given (a lone member's: its radius, or 0), and bounding_box_lo and\n"
          "bounding_box_hi (U+T, 3), the corners of the axis-aligned box of the members, MDAnalysis's bbox\n"
          "(reaching out by their radii where given). The arrays are views of one block. Bad input raises\n"
          "ValueError or RuntimeError.");
  bp::def("group_spread", &group_spread, (bp::arg("generator"), bp::arg("values"), bp::arg("variance") = false),
          "group_spread(generator, values, variance=False) -> ndarray\n\n"
          "For the generator's step: values (E+T,) or (E+T, k) by enabled position then trailing entry.\n"
          "Returns each upscaled particle's sample standard deviation of its members' values, column by\n"
          "column (U+T rows), as pandas's groupby std: about their mean, over n - 1; NaN for a lone member\n"
          "and each trailing entry; with variance, its square, as pandas's groupby var. Bad input raises\n"
          "ValueError or RuntimeError.");
  bp::def("group_median", &group_median, (bp::arg("generator"), bp::arg("values")),
          "group_median(generator, values) -> ndarray\n\n"
          "For the generator's step: values (E+T,) or (E+T, k) by enabled position then trailing entry.\n"
          "Returns each upscaled particle's median of its members' values, column by column (U+T rows), as\n"
          "pandas's groupby median: the middle value or the two middle ones' (a + b) / 2, NaN values passed\n"
          "over (NaN where none is left); a trailing entry's own values. Bad input raises ValueError or\n"
          "RuntimeError.");
  bp::def("group_distinct", &group_distinct, (bp::arg("generator"), bp::arg("values")),
          "group_distinct(generator, values) -> ndarray\n\n"
          "As group_median's values and rows: each upscaled particle's number of distinct values among its\n"
          "members', column by column, as pandas's groupby nunique (NaN not counted, -0 and 0 one value); a\n"
          "trailing entry's 1 (0 for NaN).");
  bp::def("group_sum", &group_sum, (bp::arg("generator"), bp::arg("values")),
          "group_sum(generator, values) -> ndarray\n\n"
          "As group_median's values and rows: each upscaled particle's sum of its members' values, column by\n"
          "column, the bits of the generator's Sum of each column, in one walk over the rows.");
  bp::def("group_average", &group_average, (bp::arg("generator"), bp::arg("values"), bp::arg("weights") = bp::object()),
          "group_average(generator, values, weights=None) -> ndarray\n\n"
          "As group_median's values and rows, weights (E+T,) by enabled position then trailing entry (the\n"
          "masses[enabled], then the trailing masses) or None for every weight 1: each upscaled particle's\n"
          "weighted average of its members' values, column by column, the bits of the generator's\n"
          "WeightedAverage of each column with those masses, in one walk over the rows.");
  bp::def("group_lowest", &group_lowest, (bp::arg("generator"), bp::arg("values")),
          "group_lowest(generator, values) -> ndarray\n\n"
          "As group_median's values and rows: each upscaled particle's lowest of its members' values, column\n"
          "by column, NaN values passed over (NaN where all are); a trailing entry's own values.");
  bp::def("group_highest", &group_highest, (bp::arg("generator"), bp::arg("values")),
          "group_highest(generator, values) -> ndarray\n\n"
          "As group_lowest, the highest.");
}
