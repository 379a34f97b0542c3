# gridvane.dll exports exactly the 20 API functions by name and imports from
# nothing but system DLLs and the tools library quarnel.dll.
set(expected
  ArrayAlloc ArrayCountU ArrayCountV ArrayFrameGetV ArrayFree ArrayGetArray ArrayGetFrame
  ArrayGetIValue ArrayGetPointer ArrayGetValue ArrayLoad ArrayPutIValue ArrayRead ArraySave
  ArrayType ArrayWrite ChanReadAscii ChanReadBin ChanWriteAscii ChanWriteBin)
execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${LIBRARY}")
endif()

string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)*" table "${out}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" entries "${table}")
set(found)
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${entry}")
  list(APPEND found ${name})
endforeach()
list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported: ${found}\nexpected: ${expected}")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${out}")
foreach(line IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll MATCHES "^(kernel32|msvcrt|user32|advapi32|ntdll|ucrtbase|quarnel)\\.dll$"
     AND NOT dll MATCHES "^api-ms-win-")
    message(FATAL_ERROR "unexpected import from ${dll}")
  endif()
endforeach()
if(NOT "${imports}" MATCHES "quarnel.dll")
  message(FATAL_ERROR "the tools library is not imported from quarnel.dll")
endif()
message(STATUS "gridvane.dll: 20 exports; imports ${imports}")
