# Installation: the shared library with its SONAME links, both headers, a
# pkg-config file and a CMake package (find_package(tolvex) -> tolvex::tolvex,
# and tolvex::tolvex_static when the static library is built too), and the
# Python pieces under share/tolvex/python: the ctypes binding and the model
# exporters and importers (tools/export_*.py, tools/*_import.py).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(_targets tolvex)
if(TOLVEX_BUILD_STATIC)
  list(APPEND _targets tolvex_archive)
endif()
install(TARGETS ${_targets} EXPORT tolvexTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/tolvex.h include/tolvex.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

file(GLOB _py_tools CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/export_*.py
  ${PROJECT_SOURCE_DIR}/tools/*_import.py)
install(FILES ${PROJECT_SOURCE_DIR}/python/tolvex.py ${_py_tools}
  DESTINATION ${CMAKE_INSTALL_DATADIR}/tolvex/python)

set(_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/tolvex)
install(EXPORT tolvexTargets NAMESPACE tolvex:: DESTINATION ${_cmakedir})
configure_package_config_file(cmake/tolvexConfig.cmake.in ${PROJECT_BINARY_DIR}/tolvexConfig.cmake
  INSTALL_DESTINATION ${_cmakedir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tolvexConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tolvexConfig.cmake ${PROJECT_BINARY_DIR}/tolvexConfigVersion.cmake
  DESTINATION ${_cmakedir})

# The .pc file names absolute paths under the prefix, and the prefix is only
# known when installing (cmake --install --prefix), so it is written then.
set(_pc ${PROJECT_BINARY_DIR}/tolvex.pc)
install(CODE "
  set(TOLVEX_PC_IN [[${PROJECT_SOURCE_DIR}/cmake/tolvex.pc.in]])
  set(TOLVEX_PC_OUT [[${_pc}]])
  set(TOLVEX_INSTALL_LIBDIR [[${CMAKE_INSTALL_LIBDIR}]])
  set(TOLVEX_INSTALL_INCLUDEDIR [[${CMAKE_INSTALL_INCLUDEDIR}]])
  set(TOLVEX_VERSION [[${PROJECT_VERSION}]])
  include([[${PROJECT_SOURCE_DIR}/cmake/write_pc.cmake]])
")
install(FILES ${_pc} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
