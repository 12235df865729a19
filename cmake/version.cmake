# Writes OUT with GITVERSION taken from git describe in SRC.
execute_process(COMMAND git describe --tags --always --dirty
                WORKING_DIRECTORY ${SRC}
                OUTPUT_VARIABLE ver OUTPUT_STRIP_TRAILING_WHITESPACE
                ERROR_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR ver STREQUAL "")
  set(ver "unknown")
endif()
set(text "#pragma once\n#define GITVERSION \"${ver}\"\n")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
endif()
if(NOT "${old}" STREQUAL "${text}")
  file(WRITE ${OUT} "${text}")
endif()
