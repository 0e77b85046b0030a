cmake_minimum_required(VERSION 3.20)
# Script mode: writes the export table that the Windows build links with.
#   DEF_IN      the full table (src/api/TarvikDLL.def)
#   HEADER      include/TarvikDLL.h
#   SOURCE_DIR  src/
#   DEF_OUT     the table to link: the names of DEF_IN that the sources define, in its order
# Fails when the full table and the header's prototypes differ, or when a source defines an
# export that the header does not declare.
include(${CMAKE_CURRENT_LIST_DIR}/ExportNames.cmake)

file(READ ${HEADER} header_text)
tarvik_call_names("${header_text}" declared)

tarvik_def_names(${DEF_IN} tabled)

set(a ${declared})
set(b ${tabled})
list(SORT a)
list(SORT b)
if(NOT a STREQUAL b)
  message(FATAL_ERROR "${DEF_IN} and ${HEADER} name different exports:\n  table: ${b}\n  header: ${a}")
endif()

file(GLOB_RECURSE sources ${SOURCE_DIR}/*.cpp)
set(defined)
foreach(src ${sources})
  file(READ ${src} text)
  tarvik_call_names("${text}" names)
  foreach(n ${names})
    if(NOT n IN_LIST declared)
      message(FATAL_ERROR "${src} defines ${n}, which the header does not declare")
    endif()
    list(APPEND defined ${n})
  endforeach()
endforeach()

set(content "LIBRARY TarvikDLL\nEXPORTS\n")
foreach(n ${tabled})
  if(n IN_LIST defined)
    string(APPEND content "    ${n}\n")
  endif()
endforeach()
if(EXISTS ${DEF_OUT})
  file(READ ${DEF_OUT} old)
endif()
if(NOT "${old}" STREQUAL "${content}")
  file(WRITE ${DEF_OUT} "${content}")
endif()
