# `make install PREFIX=DIR` (cmake --install build --prefix DIR): everything under DIR. The shared
# libraries go to DIR/lib, the Python packages and modules to the interpreter's posix_prefix folder
# under DIR (DIR/lib/python3.X/site-packages), the `vireo20` command to DIR/bin. Every path is relative:
# the modules find the libraries and the command finds the packages from where they are, so the
# installed tree needs no PYTHONPATH or LD_LIBRARY_PATH, and DIR is chosen at install time.

# posix_prefix explicitly: Debian's default scheme (posix_local) would add local/ and dist-packages.
execute_process(
  COMMAND ${Python3_EXECUTABLE} -c
          "import sysconfig; print(sysconfig.get_path('platlib', 'posix_prefix', vars={'base': '/', 'platbase': '/'}))"
  OUTPUT_VARIABLE vireo20_platlib OUTPUT_STRIP_TRAILING_WHITESPACE)
# Relative, and never cached: a cached absolute folder (as older builds kept) would put the packages
# outside the prefix.
string(REGEX REPLACE "^/+" "" VIREO20_PYTHON_INSTALL_DIR "${vireo20_platlib}")

# Every target under src/, found once all of them are defined (this file is included last): the
# shared libraries that land in build/lib, and the extension modules that land in build/python,
# wherever a piece of work added them.
vireo20_collect_targets(vireo20_all_targets ${PROJECT_SOURCE_DIR}/src)
set(vireo20_libraries)
set(vireo20_modules)
foreach(target ${vireo20_all_targets})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "MODULE_LIBRARY")
    get_target_property(output_directory ${target} LIBRARY_OUTPUT_DIRECTORY)
    string(FIND "${output_directory}/" "${VIREO20_PYTHON_DIR}/" python_position)
    if(type STREQUAL "SHARED_LIBRARY" AND output_directory STREQUAL "${CMAKE_LIBRARY_OUTPUT_DIRECTORY}")
      list(APPEND vireo20_libraries ${target})
    elseif(type STREQUAL "MODULE_LIBRARY" AND python_position EQUAL 0)
      list(APPEND vireo20_modules ${target})
    endif()
  endif()
endforeach()

# Installed libraries find each other beside themselves; a module finds them by the path from its own
# folder to lib/.
set_target_properties(${vireo20_libraries} PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS ${vireo20_libraries} LIBRARY DESTINATION lib)
foreach(module ${vireo20_modules})
  get_target_property(output_directory ${module} LIBRARY_OUTPUT_DIRECTORY)
  file(RELATIVE_PATH package_folder ${VIREO20_PYTHON_DIR} ${output_directory})
  set(destination ${VIREO20_PYTHON_INSTALL_DIR})
  if(package_folder)
    string(APPEND destination "/${package_folder}")
  endif()
  file(RELATIVE_PATH to_lib /${destination} /lib)
  set_target_properties(${module} PROPERTIES INSTALL_RPATH "$ORIGIN/${to_lib}")
  install(TARGETS ${module} LIBRARY DESTINATION ${destination})
endforeach()

install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/quill20 ${PROJECT_SOURCE_DIR}/python/vireo20
        DESTINATION ${VIREO20_PYTHON_INSTALL_DIR}
        FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
# Compiled where they land (the bytecode records the installed sources' times), as Debian compiles its
# packages' modules: a start need not compile them again.
install(CODE "execute_process(COMMAND ${Python3_EXECUTABLE} -m compileall -q
                                      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${VIREO20_PYTHON_INSTALL_DIR}/quill20\"
                                      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${VIREO20_PYTHON_INSTALL_DIR}/vireo20\")")

# The command puts its own tree's package folder first on sys.path, found from where it is (links
# followed), so it runs from any folder with a clean environment.
file(RELATIVE_PATH vireo20_bin_to_python /bin /${VIREO20_PYTHON_INSTALL_DIR})
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/vireo20_command
     "#!${Python3_EXECUTABLE}\n"
     "import os\nimport sys\n\n"
     "sys.path.insert(0, os.path.normpath(os.path.join(os.path.dirname(os.path.realpath(__file__)), "
     "\"${vireo20_bin_to_python}\")))\n\n"
     "from vireo20.cli import main  # noqa: E402\n\n"
     "if __name__ == \"__main__\":  # not in the worker processes Dask starts, which import this script\n"
     "    sys.exit(main())\n")
install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/vireo20_command DESTINATION bin RENAME vireo20)

# The same command for the build tree, build/vireo20: the job runs after `make build` or `make demo`
# without an install or a PYTHONPATH.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/build_command/vireo20
     "#!${Python3_EXECUTABLE}\n"
     "import os\nimport sys\n\n"
     "sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), \"python\"))\n\n"
     "from vireo20.cli import main  # noqa: E402\n\n"
     "if __name__ == \"__main__\":  # not in the worker processes Dask starts, which import this script\n"
     "    sys.exit(main())\n")
file(COPY ${CMAKE_CURRENT_BINARY_DIR}/build_command/vireo20 DESTINATION ${CMAKE_BINARY_DIR}
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
