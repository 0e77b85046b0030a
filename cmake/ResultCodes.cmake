# tarvik_result_codes: the result codes of include/TarvikDLL.h as a header of their own,
# <tarvik/ResultCodes.h>, for the layers that may not see the rest of the public include directory
# (the codecs). Generated from the public header at configure time, so the two never differ; the
# codes live in namespace tarvik, so a file that sees both headers has no clash.
set(TARVIK_CODES_DIR ${PROJECT_BINARY_DIR}/layers/codes)
set(TARVIK_CODES_HEADER ${TARVIK_CODES_DIR}/tarvik/ResultCodes.h)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/include/TarvikDLL.h)
file(READ ${PROJECT_SOURCE_DIR}/include/TarvikDLL.h tarvik_header)
string(REGEX MATCH "enum TarvikResult {[^}]*}" tarvik_codes "${tarvik_header}")
if(NOT tarvik_codes)
  message(FATAL_ERROR "include/TarvikDLL.h: no enum TarvikResult")
endif()
string(REPLACE "enum TarvikResult {" "" tarvik_codes "${tarvik_codes}")
string(REPLACE "}" "" tarvik_codes "${tarvik_codes}")
file(CONFIGURE OUTPUT ${TARVIK_CODES_HEADER} CONTENT "// Generated from include/TarvikDLL.h by cmake/ResultCodes.cmake: do not edit.
#pragma once

#include <cstdint>

namespace tarvik {

enum ResultCode : std::int32_t {@tarvik_codes@};

} // namespace tarvik
" @ONLY)
add_library(tarvik_result_codes INTERFACE)
target_include_directories(tarvik_result_codes INTERFACE ${TARVIK_CODES_DIR})
