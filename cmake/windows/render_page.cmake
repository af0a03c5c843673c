# Renders the man(7) page PAGE into OUTPUT as plain text for Windows, with the
# page's register `windows` set so that the parts marked for Windows replace
# those for POSIX systems (signals, man, xargs):
#   cmake -DGROFF=groff -DPAGE=korventale.1 -DOUTPUT=korventale.txt -P render_page.cmake
# ASCII rather than UTF-8 so that dashes and quotes stay typeable characters;
# -P-cbou: no escape sequences and no overstriking for bold or underlined
# words, which a text editor would show as stray characters.
execute_process(COMMAND ${GROFF} -mandoc -Tascii -P-cbou -ww -rwindows=1 ${PAGE} RESULT_VARIABLE status
                OUTPUT_VARIABLE text ERROR_VARIABLE warnings)
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "groff failed on ${PAGE} (${status}):\n${warnings}")
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUTPUT} "${text}")
