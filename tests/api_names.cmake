# The 20 exported names, and a check that a list of found names is exactly them.
set(GRIDVANE_API_NAMES
  ArrayAlloc ArrayCountU ArrayCountV ArrayFrameGetV ArrayFree ArrayGetArray ArrayGetFrame
  ArrayGetIValue ArrayGetPointer ArrayGetValue ArrayLoad ArrayPutIValue ArrayRead ArraySave
  ArrayType ArrayWrite ChanReadAscii ChanReadBin ChanWriteAscii ChanWriteBin)

function(expect_api_names found)
  set(expected ${GRIDVANE_API_NAMES})
  list(SORT found)
  list(SORT expected)
  if(NOT found STREQUAL expected)
    message(FATAL_ERROR "exported: ${found}\nexpected: ${expected}")
  endif()
endfunction()
