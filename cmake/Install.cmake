# `make install` (cmake --install): the libraries to PREFIX/lib, the Python modules and packages to
# a dist-packages folder that /usr/bin/python3 searches, and the `vireo20` command to PREFIX/bin,
# so that all of it works from any folder without PYTHONPATH or LD_LIBRARY_PATH.

# Debian's /usr/bin/python3 answers /usr/local/lib/python3.X/dist-packages, which it always searches.
execute_process(
  COMMAND ${Python3_EXECUTABLE} -c "import sysconfig; print(sysconfig.get_path('purelib'))"
  OUTPUT_VARIABLE vireo20_purelib OUTPUT_STRIP_TRAILING_WHITESPACE)
set(VIREO20_PYTHON_INSTALL_DIR "${vireo20_purelib}" CACHE PATH
    "Where make install puts the Python modules and packages")

set(vireo20_libraries kernos50 kernos50singleton quill20 quill20vtk vireo20)
set(vireo20_modules _vireo20upscaling _quill20 _lammpsdump)

# Installed libraries find each other beside themselves; the modules, elsewhere, find them by path.
set_target_properties(${vireo20_libraries} PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(${vireo20_modules} PROPERTIES INSTALL_RPATH "${CMAKE_INSTALL_PREFIX}/lib")

install(TARGETS ${vireo20_libraries} LIBRARY DESTINATION lib)
install(TARGETS _vireo20upscaling LIBRARY DESTINATION ${VIREO20_PYTHON_INSTALL_DIR})
install(TARGETS _quill20 LIBRARY DESTINATION ${VIREO20_PYTHON_INSTALL_DIR}/quill20)
install(TARGETS _lammpsdump LIBRARY DESTINATION ${VIREO20_PYTHON_INSTALL_DIR}/vireo20)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/quill20 ${PROJECT_SOURCE_DIR}/python/vireo20
        DESTINATION ${VIREO20_PYTHON_INSTALL_DIR}
        FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)

file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/vireo20_command
     "#!${Python3_EXECUTABLE}\nimport sys\n\nfrom vireo20.cli import main\n\nsys.exit(main())\n")
install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/vireo20_command DESTINATION bin RENAME vireo20)
