# The layer rule of the codecs, tried on the compiler: each codec's flags (FLAGS_FILES, written by
# tests/layers/CMakeLists.txt from the codec targets, separated by '|') compile forbidden.cpp once
# per header below. The result codes compile; each forbidden header fails for the reason given.
set(cases
  # header                               expected in the compiler's output
  "tarvik/ResultCodes.h|"
  "tarvik/ComPort.h|tarvik/ComPort.h"                      # not on the codec's include path
  "TarvikDLL.h|TarvikDLL.h"
  "api/Pipeline.h|api/Pipeline.h"
  "comport/ComPort.h|comport/ComPort.h"
  "../../include/tarvik/ComPort.h|poisoned"                 # reached by a relative path
  "../../include/tarvik/ComThread.h|poisoned"
  "../../include/tarvik/Link.h|poisoned"
  "../../src/comport/ComPort.h|poisoned"
  "../../src/api/Pipeline.h|codec|poisoned")
set(failed 0)
string(REPLACE "|" ";" flag_files "${FLAGS_FILES}")
foreach(flags_file IN LISTS flag_files)
  include(${flags_file})
  message(STATUS "the flags of ${flags_file}")
  foreach(case IN LISTS cases)
    string(FIND "${case}" "|" bar)
    string(SUBSTRING "${case}" 0 ${bar} header)
    math(EXPR bar "${bar} + 1")
    string(SUBSTRING "${case}" ${bar} -1 expect)
    set(defines ${DEFINES})
    list(TRANSFORM defines PREPEND -D)
    set(includes ${INCLUDES})
    list(TRANSFORM includes PREPEND -I)
    execute_process(COMMAND ${CXX} -std=c++20 -fsyntax-only ${OPTIONS} ${defines} ${includes}
                            "-DHEADER=\"${header}\"" ${SOURCE}
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(expect STREQUAL "")
      if(NOT rc EQUAL 0)
        message(SEND_ERROR "a codec cannot include ${header}:\n${out}")
        set(failed 1)
      endif()
    elseif(rc EQUAL 0)
      message(SEND_ERROR "a codec can include ${header}, which it may not use")
      set(failed 1)
    elseif(NOT out MATCHES "${expect}")
      message(SEND_ERROR "including ${header} failed, but not for the reason expected (${expect}):\n${out}")
      set(failed 1)
    else()
      message(STATUS "${header}: refused")
    endif()
  endforeach()
endforeach()
if(failed)
  message(FATAL_ERROR "the codecs' layer rule does not hold")
endif()
