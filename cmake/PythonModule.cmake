# vireo20_add_python_module(target MODULE_NAME name OUTPUT_DIRECTORY dir SOURCES ... LIBS ...)
# A Boost.Python extension module named `name`, written to `dir` (under build/python), with Python.h and
# Boost.Python precompiled (cmake/Precompile.cmake). Modules under build/python are what make install
# installs.
function(vireo20_add_python_module target)
  cmake_parse_arguments(ARG "" "MODULE_NAME;OUTPUT_DIRECTORY" "SOURCES;LIBS" ${ARGN})
  Python3_add_library(${target} MODULE WITH_SOABI ${ARG_SOURCES})
  # No <target>_EXPORTS definition (nothing reads it in a module): the modules' sources then see the
  # same macros, and share one precompiled header.
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${ARG_MODULE_NAME}
    LIBRARY_OUTPUT_DIRECTORY ${ARG_OUTPUT_DIRECTORY}
    DEFINE_SYMBOL "")
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} Boost::python311)
  vireo20_precompile(${target} PYTHON)
endfunction()
