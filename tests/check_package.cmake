# Installs the build into a fresh prefix and builds the C example against it.
# PART=cmake: installs, checks what lands where, and consumes it through
# find_package; PART=pkg-config: consumes the same install through
# pkg-config (PKG_CONFIG, CC). Both run the consumer they built, and check
# that every versioned file says the project's VERSION.
set(example ${SOURCE}/examples/sample_file.c)

# PART=python: the Python package of the same install imports from the
# prefix and uses the library installed there, not the one in the build tree.
if(PART STREQUAL "python")
  set(ENV{PYTHONPATH} ${PREFIX}/${PYTHON_DIR})
  execute_process(COMMAND ${PYTHON} -c [=[
import sys, gridvane
maps = open("/proc/self/maps").read()
libraries = {line.split()[-1] for line in maps.splitlines() if "libgridvane.so" in line}
assert gridvane.__file__.startswith(sys.argv[1]) and libraries and all(p.startswith(sys.argv[1]) for p in libraries), libraries
print(gridvane.load(sys.argv[2]).sample_at_frame(30, 0))
]=] ${PREFIX} ${SOURCE}/examples/data/camera.chan OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT out STREQUAL "29.25\n")
    message(FATAL_ERROR "the installed Python package failed: ${out}${err}")
  endif()
  message(STATUS "installed package: the Python package imported and ran")
  return()
endif()

if(PART STREQUAL "cmake")
  file(REMOVE_RECURSE ${PREFIX})
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX} OUTPUT_QUIET RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "install failed")
  endif()
  string(REGEX MATCH "^[0-9]+" major ${VERSION})
  set(expected lib/libgridvane.so.${major} lib/libquarnel.so.${major} include/gridvane.h include/gridvane_ext.h
      include/gridvane.hpp include/gridvane_version.h lib/pkgconfig/gridvane-cxx.pc
      include/gridvane/quarnel.h bin/gridvane
      lib/cmake/gridvane/gridvaneConfigVersion.cmake lib/pkgconfig/gridvane.pc)
  if(MAN_PAGE)
    list(APPEND expected share/man/man1/gridvane.1)
  endif()
  foreach(f ${expected})
    if(NOT EXISTS ${PREFIX}/${f})
      message(FATAL_ERROR "not installed: ${f}")
    endif()
  endforeach()
  if(EXISTS ${PREFIX}/include/quarnel.h)
    message(FATAL_ERROR "the stand-in's quarnel.h is at the top of the include folder")
  endif()
  if(MAN_PAGE)
    file(READ ${PREFIX}/share/man/man1/gridvane.1 page)
    if(NOT page MATCHES "\\.TH GRIDVANE 1" OR NOT page MATCHES "\\.SH VERBS")
      message(FATAL_ERROR "share/man/man1/gridvane.1 is not the manual page")
    endif()
  endif()
  file(STRINGS ${PREFIX}/include/gridvane_version.h defined REGEX "GRIDVANE_VERSION_STRING")
  if(NOT defined MATCHES "\"${VERSION}\"")
    message(FATAL_ERROR "include/gridvane_version.h is not version ${VERSION}: ${defined}")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE}/tests/package -B ${PREFIX}/consumer
    -DCMAKE_PREFIX_PATH=${PREFIX} -DEXAMPLE=${example} -DCXX_HOST=${SOURCE}/tests/cxx_host.cpp -DVERSION=${VERSION}
    OUTPUT_QUIET RESULT_VARIABLE rc)
  if(rc EQUAL 0)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${PREFIX}/consumer OUTPUT_QUIET RESULT_VARIABLE rc)
  endif()
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the consumer did not build against the installed package")
  endif()
  set(program ${PREFIX}/consumer/consumer)
  foreach(host cxx_consumer cxx_consumer_no_exceptions)
    execute_process(COMMAND ${PREFIX}/consumer/${host} ${SOURCE}/examples/data/camera.chan
      OUTPUT_VARIABLE out RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0 OR NOT out MATCHES "c\\+\\+ host ok")
      message(FATAL_ERROR "the installed C++ host ${host} failed: ${out}")
    endif()
  endforeach()
  execute_process(COMMAND ${PREFIX}/bin/gridvane --version OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT out STREQUAL "gridvane ${VERSION}\n")
    message(FATAL_ERROR "the installed tool does not run as version ${VERSION}: ${out}")
  endif()
else()
  set(ENV{PKG_CONFIG_PATH} ${PREFIX}/lib/pkgconfig)
  execute_process(COMMAND ${PKG_CONFIG} --modversion gridvane OUTPUT_VARIABLE found
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT found STREQUAL "${VERSION}")
    message(FATAL_ERROR "gridvane.pc says version '${found}', not ${VERSION}")
  endif()
  execute_process(COMMAND ${PKG_CONFIG} --cflags --libs gridvane OUTPUT_VARIABLE flags
    OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  set(program ${PREFIX}/pc_consumer)
  # No run path of our own: pkg-config's flags give it.
  execute_process(COMMAND ${CC} ${example} ${flags} -o ${program} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the consumer did not build with pkg-config's flags: ${flags}")
  endif()
  # The C++ host, with gridvane-cxx's flags.
  execute_process(COMMAND ${PKG_CONFIG} --cflags --libs gridvane-cxx OUTPUT_VARIABLE cxx_flags
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  separate_arguments(cxx_flags UNIX_COMMAND "${cxx_flags}")
  # pkg-config sets no standard: a C++23 plug-in stays C++23 (the header needs C++20 or later).
  if(cxx_flags MATCHES "-std=")
    message(FATAL_ERROR "pkg-config's flags for gridvane-cxx choose the host's standard: ${cxx_flags}")
  endif()
  execute_process(COMMAND ${CXX} -std=c++23 ${SOURCE}/tests/cxx_host.cpp ${cxx_flags} -o ${PREFIX}/pc_cxx_host RESULT_VARIABLE rc)
  if(rc EQUAL 0)
    execute_process(COMMAND ${PREFIX}/pc_cxx_host ${SOURCE}/examples/data/camera.chan OUTPUT_VARIABLE out
      RESULT_VARIABLE rc)
  endif()
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the C++ host did not build or run with pkg-config's flags ${cxx_flags}: ${out}")
  endif()
endif()

execute_process(COMMAND ${program} ${SOURCE}/examples/data/camera.chan 30 ${PREFIX}/camera-${PART}.chb
  OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT out MATCHES "column 0: 29.25")
  message(FATAL_ERROR "${program} failed: ${out}")
endif()
message(STATUS "installed package: the ${PART} consumer built and ran")
