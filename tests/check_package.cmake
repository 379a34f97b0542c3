# Installs the build into a fresh prefix, builds the C example against it
# through find_package and through pkg-config, and runs both.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX} OUTPUT_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "install failed")
endif()
foreach(f lib/libgridvane.so.1 lib/libquarnel.so.1 include/gridvane.h bin/gridvane
          lib/cmake/gridvane/gridvaneConfigVersion.cmake lib/pkgconfig/gridvane.pc)
  if(NOT EXISTS ${PREFIX}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

set(example ${SOURCE}/examples/sample_file.c)
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE}/tests/package -B ${PREFIX}/consumer
  -DCMAKE_PREFIX_PATH=${PREFIX} -DEXAMPLE=${example} OUTPUT_QUIET RESULT_VARIABLE rc)
if(rc EQUAL 0)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${PREFIX}/consumer OUTPUT_QUIET RESULT_VARIABLE rc)
endif()
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the consumer did not build against the installed package")
endif()

set(runs ${PREFIX}/consumer/consumer)
find_program(PKG_CONFIG pkg-config)
find_program(CC NAMES cc gcc)
if(PKG_CONFIG AND CC)
  set(ENV{PKG_CONFIG_PATH} ${PREFIX}/lib/pkgconfig)
  execute_process(COMMAND ${PKG_CONFIG} --cflags --libs gridvane OUTPUT_VARIABLE flags
    OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  execute_process(COMMAND ${CC} ${example} ${flags} -Wl,-rpath,${PREFIX}/lib -o ${PREFIX}/pc_consumer RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "the consumer did not build with pkg-config's flags: ${flags}")
  endif()
  list(APPEND runs ${PREFIX}/pc_consumer)
endif()

foreach(program IN LISTS runs)
  execute_process(COMMAND ${program} ${SOURCE}/examples/data/camera.chan 30 ${PREFIX}/camera.chb
    OUTPUT_VARIABLE out RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "column 0: 29.25")
    message(FATAL_ERROR "${program} failed: ${out}")
  endif()
endforeach()
execute_process(COMMAND ${PREFIX}/bin/gridvane --version OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the installed tool does not run")
endif()
# The Python package imports from the prefix and uses the library installed
# there, not the one in the build tree.
if(PYTHON)
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
endif()

list(LENGTH runs n)
message(STATUS "installed package: ${n} consumers built and ran; ${out}")
