// The Python module _vireo20upscaling: checks NumPy's C interface, then registers MPUpscalingGenerator.
#include <cstdint>
#include <limits>
#include <utility>

#include <boost/python.hpp>

#include "bindings/_vireo20upscaling/MPUpscalingGenerator.h"
#include "bindings/_vireo20upscaling/numpy_check.h"
#include "bindings/_vireo20upscaling/UnlockedCall.h"
#include "IntegerArguments.h"

namespace {

using vireo20::ups::MPUpscalingGenerator;
using vireo20::ups::UnlockedCall;
using ArrayPtr = UnlockedCall::ArrayPtr;

// The reductions below run without the interpreter lock for their length (UnlockedCall): the returned
// result is made before the lock is back, and wrapped for Python after.
ArrayPtr array_of(const boost::shared_ptr<quill20::core::IGridFunction>& p_Values)
{
  return p_Values ? ArrayPtr(p_Values->get_array()) : ArrayPtr();
}

// The 32-bit arguments by name, so that a value that does not fit says which argument it was.
void set_particles_enabled_indexes(MPUpscalingGenerator& p_Generator, const boost::python::object& p_TimestepIndex,
                                   boost::shared_ptr<quill20::core::Array<int, 1>> p_EnabledIndexes,
                                   const boost::python::object& p_TrailingCount)
{
  constexpr std::int64_t lowest = std::numeric_limits<int>::min(), highest = std::numeric_limits<int>::max();
  const auto timestep_index =
      static_cast<int>(quill20::bindings::signed_argument(p_TimestepIndex, "timestep_index", lowest, highest));
  const auto trailing_count =
      static_cast<int>(quill20::bindings::signed_argument(p_TrailingCount, "trailing_count", lowest, highest));
  // A new step keeps the interpreter lock: nothing else may then change the generator under the calls
  // that read it without the lock, and the enabled list it lets go may be Python's to release.
  p_Generator.refuse_new_step_while_read();
  p_Generator.SetParticlesEnabledIndexes(timestep_index, std::move(p_EnabledIndexes), trailing_count);
}

boost::shared_ptr<MPUpscalingGenerator::CoordinateArray> coords_weighted_average(
    MPUpscalingGenerator& p_Generator, const boost::shared_ptr<MPUpscalingGenerator::CoordinateArray>& p_Coordinates,
    const boost::shared_ptr<MPUpscalingGenerator::DoubleArray>& p_Masses)
{
  const UnlockedCall unlocked(p_Generator, {p_Coordinates, p_Masses});
  return p_Generator.CoordsWeightedAverage(p_Coordinates, p_Masses);
}

boost::shared_ptr<MPUpscalingGenerator::DoubleGridFunction> weighted_average(
    MPUpscalingGenerator& p_Generator, const boost::shared_ptr<MPUpscalingGenerator::DoubleGridFunction>& p_Values,
    const boost::shared_ptr<MPUpscalingGenerator::DoubleArray>& p_Masses)
{
  const UnlockedCall unlocked(p_Generator, {array_of(p_Values), p_Masses});
  return p_Generator.WeightedAverage(p_Values, p_Masses);
}

boost::shared_ptr<MPUpscalingGenerator::DoubleGridFunction> sum(
    MPUpscalingGenerator& p_Generator, const boost::shared_ptr<MPUpscalingGenerator::DoubleGridFunction>& p_Values)
{
  const UnlockedCall unlocked(p_Generator, {array_of(p_Values)});
  return p_Generator.Sum(p_Values);
}

MPUpscalingGenerator::GridFunctionPtr take_any(MPUpscalingGenerator& p_Generator,
                                               const MPUpscalingGenerator::GridFunctionPtr& p_Values)
{
  const UnlockedCall unlocked(p_Generator, {array_of(p_Values)});
  return p_Generator.TakeAny(p_Values);
}

void wrap_generator()
{
  namespace bp = boost::python;
  // No docstrings anywhere in this module: not even the signatures Boost.Python would write.
  const bp::docstring_options no_docstrings(false, false, false);
  bp::class_<MPUpscalingGenerator, boost::noncopyable>(
      "MPUpscalingGenerator", bp::init<boost::shared_ptr<quill20::core::Array<int, 1>>>())
      .def("SetParticlesEnabledIndexes", &set_particles_enabled_indexes)
      .def("GetCurrentTimestepIndex", &MPUpscalingGenerator::GetCurrentTimestepIndex)
      .def("GetElementParticlesIndexes", &MPUpscalingGenerator::GetElementParticlesIndexes)
      .def("GetNumberOfEnabledParticles", &MPUpscalingGenerator::GetNumberOfEnabledParticles)
      .def("GetContactParentIDFrom", &MPUpscalingGenerator::GetContactParentIDFrom)
      .def("GetContactParentIDTo", &MPUpscalingGenerator::GetContactParentIDTo)
      .def("CreateParticlesTopology", &MPUpscalingGenerator::CreateParticlesTopology)
      .def("CreateParticlesGeometry", &MPUpscalingGenerator::CreateParticlesGeometry)
      .def("CoordsWeightedAverage", &coords_weighted_average)
      .def("WeightedAverage", &weighted_average)
      .def("Sum", &sum)
      .def("TakeAny", &take_any)
      .def("GetParticleIds", &MPUpscalingGenerator::GetParticleIds);
}

}  // namespace

BOOST_PYTHON_MODULE(_vireo20upscaling)
{
  vireo20::ups::check_numpy_interface();
  // A failed check leaves its ImportError for the interpreter, yet the class is registered all the
  // same; the error waits aside meanwhile, since calls into Python must not start with one pending.
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  try {
    wrap_generator();
  } catch (...) {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    throw;
  }
  PyErr_Restore(type, value, traceback);
}
