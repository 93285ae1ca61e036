// The Python module _vireo20upscaling: checks NumPy's C interface, then registers MPUpscalingGenerator.
#include <cstdint>
#include <limits>
#include <utility>

#include <boost/python.hpp>

#include "bindings/_vireo20upscaling/MPUpscalingGenerator.h"
#include "bindings/_vireo20upscaling/numpy_check.h"
#include "IntegerArguments.h"

namespace {

using vireo20::ups::MPUpscalingGenerator;

// Every call keeps the interpreter lock, so calls from several Python threads follow one another;
// a call's own work may still run over the cores (VIREO20_THREADS).

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
  // Refused while the job's group moments read the step without the interpreter lock (vireo20._physics).
  p_Generator.refuse_new_step_while_read();
  p_Generator.SetParticlesEnabledIndexes(timestep_index, std::move(p_EnabledIndexes), trailing_count);
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
      .def("CoordsWeightedAverage", &MPUpscalingGenerator::CoordsWeightedAverage)
      .def("WeightedAverage", &MPUpscalingGenerator::WeightedAverage)
      .def("Sum", &MPUpscalingGenerator::Sum)
      .def("TakeAny", &MPUpscalingGenerator::TakeAny)
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
