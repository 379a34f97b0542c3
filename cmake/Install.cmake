# Installation: the libraries, the headers, the tool, a CMake package
# (find_package(gridvane) gives gridvane::gridvane, the C interface, and
# gridvane::cxx, the C++ header over it) and gridvane.pc, gridvane-cxx.pc.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(GRIDVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/gridvane)

install(TARGETS gridvane gridvane_cxx quarnel EXPORT gridvaneTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/gridvane.h include/gridvane_ext.h include/gridvane.hpp include/gridvane_export.h
  include/gridvane_version.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The stand-in tools library's header has a generic name: it goes beside
# Gridvane's own, not at the top of the include folder.
install(FILES quarnel/quarnel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/gridvane)
if(TARGET gridvane_tool)
  install(TARGETS gridvane_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET gridvane_man)
  install(FILES ${GRIDVANE_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

install(EXPORT gridvaneTargets NAMESPACE gridvane:: DESTINATION ${GRIDVANE_CMAKE_DIR})
configure_package_config_file(cmake/gridvaneConfig.cmake.in ${PROJECT_BINARY_DIR}/gridvaneConfig.cmake
  INSTALL_DESTINATION ${GRIDVANE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/gridvaneConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/gridvaneConfig.cmake ${PROJECT_BINARY_DIR}/gridvaneConfigVersion.cmake
  DESTINATION ${GRIDVANE_CMAKE_DIR})

configure_file(cmake/gridvane.pc.in ${PROJECT_BINARY_DIR}/gridvane.pc @ONLY)
configure_file(cmake/gridvane-cxx.pc.in ${PROJECT_BINARY_DIR}/gridvane-cxx.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/gridvane.pc ${PROJECT_BINARY_DIR}/gridvane-cxx.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
