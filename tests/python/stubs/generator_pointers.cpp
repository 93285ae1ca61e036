// Native functions that take an MPUpscalingGenerator by boost and by std shared pointer, relying only on
// the converters that _vireo20upscaling registers with the class; and a look into the converter registry.
#include <memory>

#include <boost/python.hpp>

#include "bindings/_vireo20upscaling/MPUpscalingGenerator.h"

namespace {

using vireo20::ups::MPUpscalingGenerator;

int boost_timestep(boost::shared_ptr<MPUpscalingGenerator> p_Generator)
{
  return p_Generator ? p_Generator->GetCurrentTimestepIndex() : -100;
}

int std_timestep(std::shared_ptr<MPUpscalingGenerator> p_Generator)
{
  return p_Generator ? p_Generator->GetCurrentTimestepIndex() : -100;
}

// The Python class registered for the generator, or None: shows whether the class was registered even
// when the module's initialisation failed.
boost::python::object registered_generator_class()
{
  const boost::python::converter::registration* registration =
      boost::python::converter::registry::query(boost::python::type_id<MPUpscalingGenerator>());
  if (registration == nullptr || registration->m_class_object == nullptr) {
    return boost::python::object();
  }
  return boost::python::object(
      boost::python::handle<>(boost::python::borrowed(reinterpret_cast<PyObject*>(registration->m_class_object))));
}

}  // namespace

BOOST_PYTHON_MODULE(_vireo20_generator_pointers)
{
  boost::python::def("boost_timestep", &boost_timestep);
  boost::python::def("std_timestep", &std_timestep);
  boost::python::def("registered_generator_class", &registered_generator_class);
}
