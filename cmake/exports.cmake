# The one list of the names the shared library exports: the 20 functions of
# gridvane.h and the extension interface of gridvane_ext.h. The linker's
# version script is made from it, and the export checks compare the
# libraries and the headers with it.
set(GRIDVANE_API_NAMES
  ArrayAlloc ArrayCountU ArrayCountV ArrayFrameGetV ArrayFree ArrayGetArray ArrayGetFrame
  ArrayGetIValue ArrayGetPointer ArrayGetValue ArrayLoad ArrayPutIValue ArrayRead ArraySave
  ArrayType ArrayWrite ChanReadAscii ChanReadBin ChanWriteAscii ChanWriteBin)
set(GRIDVANE_EXT_NAMES
  gridvane_alloc gridvane_code_message gridvane_column_name gridvane_column_name_count gridvane_extent_of
  gridvane_file_abandon gridvane_file_commit gridvane_file_open gridvane_file_stream gridvane_file_temporary_name
  gridvane_file_write gridvane_finding_message gridvane_finding_name gridvane_form_of_name gridvane_form_of_word
  gridvane_form_suffix gridvane_form_word
  gridvane_form_to_save gridvane_frame_index_close gridvane_frame_index_open
  gridvane_frame_index_row gridvane_load gridvane_parse_binary_header
  gridvane_plan_abandon gridvane_plan_finish gridvane_plan_open gridvane_plan_parts gridvane_plan_read
  gridvane_read gridvane_read_growth gridvane_read_io gridvane_sample_many gridvane_save gridvane_set_column_names
  gridvane_status_message gridvane_write gridvane_write_io
  gridvane_output_name gridvane_load_with gridvane_read_with gridvane_read_io_with gridvane_plan_open_with)
set(GRIDVANE_EXPORTED_NAMES ${GRIDVANE_API_NAMES} ${GRIDVANE_EXT_NAMES})

# Fails unless a list of found names is exactly the exported ones.
function(expect_exported_names what found)
  set(expected ${GRIDVANE_EXPORTED_NAMES})
  list(SORT found)
  list(SORT expected)
  if(NOT found STREQUAL expected)
    message(FATAL_ERROR "${what}: not as listed in cmake/exports.cmake\nfound: ${found}\nexpected: ${expected}")
  endif()
endfunction()

# The linker's version script: these names global, everything else local.
function(write_version_script path)
  list(JOIN GRIDVANE_EXPORTED_NAMES "; " names)
  file(WRITE ${path}.new "{\n  global: ${names};\n  local: *;\n};\n")
  file(COPY_FILE ${path}.new ${path} ONLY_IF_DIFFERENT)
  file(REMOVE ${path}.new)
endfunction()
