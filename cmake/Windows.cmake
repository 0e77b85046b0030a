# Windows build of TarvikDLL.dll (included by the top CMakeLists when WIN32): the DLL's name, its
# export table, a C++ runtime linked in statically so that it imports system DLLs only, the check
# of its export and import tables, and the Windows test programs (run under Wine by
# scripts/windows.sh).
set_target_properties(tarvik PROPERTIES
  OUTPUT_NAME TarvikDLL
  PREFIX ""
  IMPORT_PREFIX "lib"
  IMPORT_SUFFIX ".dll.a")

# Version resource (file and product version, description), from the project version; the
# Windows leg reads it back from the DLL.
# windres runs as a plain command: the project's warning options are not for it.
set(TARVIK_RC_DESCRIPTION "Tarvik: process instruments on a serial line (HART devices, 0731 read-out unit)")
configure_file(${PROJECT_SOURCE_DIR}/cmake/TarvikDLL.rc.in ${CMAKE_CURRENT_BINARY_DIR}/TarvikDLL.rc @ONLY)
find_program(TARVIK_WINDRES NAMES ${TARVIK_MINGW_TRIPLET}-windres windres REQUIRED)
set(TARVIK_RC_OBJECT ${CMAKE_CURRENT_BINARY_DIR}/TarvikDLL.res.o)
add_custom_command(
  OUTPUT ${TARVIK_RC_OBJECT}
  COMMAND ${TARVIK_WINDRES} -O coff -i ${CMAKE_CURRENT_BINARY_DIR}/TarvikDLL.rc -o ${TARVIK_RC_OBJECT}
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/TarvikDLL.rc
  COMMENT "Version resource of TarvikDLL.dll")
set_source_files_properties(${TARVIK_RC_OBJECT} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
target_sources(tarvik PRIVATE ${TARVIK_RC_OBJECT})

# The export table links only the names that the sources define so far; it grows to the full
# table of src/api/TarvikDLL.def as the exports are written.
file(GLOB_RECURSE TARVIK_EXPORT_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/*.cpp)
set(TARVIK_DEF ${CMAKE_CURRENT_BINARY_DIR}/TarvikDLL.def)
add_custom_command(
  OUTPUT ${TARVIK_DEF}
  COMMAND ${CMAKE_COMMAND} -DDEF_IN=${PROJECT_SOURCE_DIR}/src/api/TarvikDLL.def
          -DHEADER=${PROJECT_SOURCE_DIR}/include/TarvikDLL.h -DSOURCE_DIR=${PROJECT_SOURCE_DIR}/src
          -DDEF_OUT=${TARVIK_DEF} -P ${PROJECT_SOURCE_DIR}/cmake/WindowsExports.cmake
  DEPENDS ${PROJECT_SOURCE_DIR}/src/api/TarvikDLL.def ${PROJECT_SOURCE_DIR}/include/TarvikDLL.h
          ${PROJECT_SOURCE_DIR}/cmake/WindowsExports.cmake ${TARVIK_EXPORT_SOURCES}
  COMMENT "Export table of TarvikDLL.dll")
add_custom_target(tarvik_def DEPENDS ${TARVIK_DEF})
add_dependencies(tarvik tarvik_def)
set_property(TARGET tarvik APPEND PROPERTY LINK_DEPENDS ${TARVIK_DEF})
target_link_options(tarvik PRIVATE ${TARVIK_DEF} -static -static-libgcc -static-libstdc++
                    -Wl,--no-undefined -Wl,--exclude-all-symbols)

# The gtest programs are built for Linux only; the Windows test programs live in tests/wine.
set(TARVIK_BUILD_TESTS OFF)
option(TARVIK_WINE_TESTS "Build the Windows test programs" ON)

enable_testing()
find_program(TARVIK_OBJDUMP NAMES ${TARVIK_MINGW_TRIPLET}-objdump objdump REQUIRED)
add_test(NAME dll_tables
  COMMAND ${CMAKE_COMMAND} -DDLL=$<TARGET_FILE:tarvik> -DDEF=${PROJECT_SOURCE_DIR}/src/api/TarvikDLL.def -DOBJDUMP=${TARVIK_OBJDUMP}
          -P ${PROJECT_SOURCE_DIR}/tests/wine/check_dll_tables.cmake)

if(TARVIK_WINE_TESTS)
  find_package(Threads REQUIRED)
  add_subdirectory(tests/wine)
endif()
