# The shared library exports exactly the 20 API functions, nothing else.
set(expected
  ArrayAlloc ArrayCountU ArrayCountV ArrayFrameGetV ArrayFree ArrayGetArray ArrayGetFrame
  ArrayGetIValue ArrayGetPointer ArrayGetValue ArrayLoad ArrayPutIValue ArrayRead ArraySave
  ArrayType ArrayWrite ChanReadAscii ChanReadBin ChanWriteAscii ChanWriteBin)
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(found)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] +" "" name "${line}")
  string(REGEX REPLACE "@.*" "" name "${name}")
  list(APPEND found ${name})
endforeach()
list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported: ${found}\nexpected: ${expected}")
endif()
list(LENGTH found n)
message(STATUS "exports: ${n} names, as expected")
