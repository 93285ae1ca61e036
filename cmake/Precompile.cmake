# vireo20_precompile(<target> [PYTHON] [VTK] [GTEST])
# One line per target: its sources get the third-party headers they all parse (Boost's smart pointers
# and type lists, the standard library; with PYTHON, Python.h and Boost.Python; with VTK, VTK's data
# arrays; with GTEST, GoogleTest) from a precompiled header instead of parsing them again in every
# translation unit. Python modules made with vireo20_add_python_module get it with PYTHON by
# themselves, and share one header among them. Headers of this project stay out, so that changing one
# rebuilds no precompiled header.
# Set VIREO20_PRECOMPILE=OFF to build without.
option(VIREO20_PRECOMPILE "Precompile the Boost, Boost.Python, VTK and GoogleTest headers" ON)

set(VIREO20_PCH_COMMON
  <algorithm> <cstdint> <cstring> <functional> <iostream> <limits> <memory> <sstream> <stdexcept> <string>
  <type_traits> <utility> <vector>
  <boost/enable_shared_from_this.hpp> <boost/shared_ptr.hpp> <boost/make_shared.hpp>
  <boost/mp11/algorithm.hpp> <boost/mp11/list.hpp>
  <boost/preprocessor/arithmetic/mod.hpp> <boost/preprocessor/comparison/equal.hpp>
  <boost/preprocessor/control/iif.hpp> <boost/preprocessor/tuple/eat.hpp>)
# Python.h first: it must precede every standard header.
set(VIREO20_PCH_PYTHON <Python.h> <boost/python.hpp>)
set(VIREO20_PCH_VTK
  <vtkDataArray.h> <vtkCharArray.h> <vtkDoubleArray.h> <vtkFloatArray.h> <vtkIdTypeArray.h> <vtkIntArray.h>
  <vtkShortArray.h> <vtkSignedCharArray.h> <vtkUnsignedCharArray.h> <vtkUnsignedIntArray.h>
  <vtkUnsignedLongLongArray.h> <vtkUnsignedShortArray.h>)
set(VIREO20_PCH_GTEST <gtest/gtest.h>)

function(vireo20_precompile target)
  if(NOT VIREO20_PRECOMPILE)
    return()
  endif()
  cmake_parse_arguments(ARG "PYTHON;VTK;GTEST" "" "" ${ARGN})
  # Python modules share the first one's header (Python.h and Boost.Python, the bulk of the parsing):
  # each module's own export macro appears in none of those headers, so the one header serves all.
  get_property(python_owner GLOBAL PROPERTY VIREO20_PCH_PYTHON_OWNER)
  if(ARG_PYTHON AND python_owner AND NOT ARG_VTK AND NOT ARG_GTEST)
    target_precompile_headers(${target} REUSE_FROM ${python_owner})
    return()
  endif()
  # Building a header costs about what parsing it in three sources does: with fewer it does not pay.
  get_target_property(sources ${target} SOURCES)
  list(FILTER sources INCLUDE REGEX "\\.(cpp|cxx|cc|in)$")
  list(LENGTH sources source_count)
  if(source_count LESS 4)
    return()
  endif()
  set(headers)
  if(ARG_PYTHON)
    list(APPEND headers ${VIREO20_PCH_PYTHON})
    set_property(GLOBAL PROPERTY VIREO20_PCH_PYTHON_OWNER ${target})
  endif()
  list(APPEND headers ${VIREO20_PCH_COMMON})
  if(ARG_VTK)
    list(APPEND headers ${VIREO20_PCH_VTK})
  endif()
  if(ARG_GTEST)
    list(APPEND headers ${VIREO20_PCH_GTEST})
  endif()
  # C++ sources only: a C source of the same target compiles without.
  list(TRANSFORM headers PREPEND "$<$<COMPILE_LANGUAGE:CXX>:")
  list(TRANSFORM headers APPEND ">")
  target_precompile_headers(${target} PRIVATE ${headers})
endfunction()
