# Makes the roff manual page from docs/gridvane.1.md: the Markdown's first
# heading ("# gridvane(1)") becomes the page's title line, then go-md2man
# converts the rest. Arguments: GO_MD2MAN, IN, OUT, VERSION.
file(READ ${IN} text)
string(REGEX REPLACE "^# gridvane\\(1\\)\n"
  "% GRIDVANE 1 \"\" \"gridvane ${VERSION}\" \"User Commands\"\n" text "${text}")
get_filename_component(folder ${OUT} DIRECTORY)
file(MAKE_DIRECTORY ${folder})
file(WRITE ${OUT}.md "${text}")
execute_process(COMMAND ${GO_MD2MAN} -in ${OUT}.md -out ${OUT} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "go-md2man failed on ${IN}")
endif()
