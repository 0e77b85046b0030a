# Installation and packages: `cmake --install` puts the header, the library, the tools, the CMake
# package (find_package(Tarvik) -> Tarvik::tarvik), the pkg-config file, the decoding table and the
# documentation in place; CPack makes a Debian package on Linux and a zip on Windows.
#
# Layout under the prefix:
#   include/TarvikDLL.h
#   lib/libtarvik.so.1.0.0, lib/libtarvik.so.1 -> ..., lib/libtarvik.so -> ...     (Linux)
#   bin/TarvikDLL.dll, lib/libTarvikDLL.dll.a, lib/TarvikDLL.lib, lib/TarvikDLL.def (Windows)
#   lib/libtarvik_link.so.1 (Linux) or lib/libtarvik_link.a (Windows), include/tarvik/Link.h
#                                    (the fast link, when built)
#   lib/libtarvik_comport.a, include/tarvik/ComPort.h, ComThread.h   (the port component)
#   bin/tarvik, bin/tarvik-sim
#   lib/cmake/Tarvik/TarvikConfig.cmake, ...Targets.cmake, ...ConfigVersion.cmake
#   lib/pkgconfig/tarvik.pc
#   share/tarvik/facts.json          (unit names, status bits, result texts: the tools' table)
#   share/doc/tarvik/                (README and docs/, copyright)
#   share/man/man1/tarvik.1.gz, tarvik-sim.1.gz, tarvik-gateway.1.gz   (when help2man is installed)
#   share/bash-completion/completions/tarvik, tarvik-sim, tarvik-gateway
#   lib/pkgconfig/tarvik_link.pc     (the fast link, when built)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TARVIK_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tarvik)
set(TARVIK_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarvik)

# ---- the library ---------------------------------------------------------------------------------
if(NOT WIN32)
  # libtarvik.so.1 -> libtarvik.so.1.0.0; the major version changes only with the export table.
  set_target_properties(tarvik PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
endif()
# The build tree's include directory must not leak into the installed package.
set_property(TARGET tarvik PROPERTY INTERFACE_INCLUDE_DIRECTORIES
             $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>)

install(TARGETS tarvik EXPORT TarvikTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/TarvikDLL.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

if(WIN32)
  # The export table the DLL was linked with (cmake/Windows.cmake writes it), and an import library
  # in the Microsoft format for hosts built with other compilers (the MinGW one is libTarvikDLL.dll.a).
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/TarvikDLL.def DESTINATION ${CMAKE_INSTALL_LIBDIR} OPTIONAL)
  find_program(TARVIK_DLLTOOL NAMES ${TARVIK_MINGW_TRIPLET}-dlltool dlltool)
  if(TARVIK_DLLTOOL)
    set(TARVIK_MS_IMPLIB ${CMAKE_CURRENT_BINARY_DIR}/TarvikDLL.lib)
    add_custom_command(TARGET tarvik POST_BUILD
      COMMAND ${TARVIK_DLLTOOL} -d ${CMAKE_CURRENT_BINARY_DIR}/TarvikDLL.def -D TarvikDLL.dll
              -l ${TARVIK_MS_IMPLIB}
      COMMENT "Import library TarvikDLL.lib")
    install(FILES ${TARVIK_MS_IMPLIB} DESTINATION ${CMAKE_INSTALL_LIBDIR})
  endif()
endif()

# ---- the fast link (a C++ library beside the DLL for polling hosts) --------------------------------
# Hook: when a target of this name exists it is installed into the same package, with its headers
# from include/tarvik/, and find_package(Tarvik) gives it as Tarvik::<name>. It must link the
# internal static libraries PRIVATE (they are not installed) and be a static or shared library.
set(TARVIK_FASTLINK_TARGET tarvik_link CACHE STRING "Target name of the fast-link library, if built")
if(TARGET ${TARVIK_FASTLINK_TARGET})
  # An alias (the static form on Windows) is installed as its real target under the same name.
  get_target_property(tarvik_link_real ${TARVIK_FASTLINK_TARGET} ALIASED_TARGET)
  if(NOT tarvik_link_real)
    set(tarvik_link_real ${TARVIK_FASTLINK_TARGET})
  endif()
  set_target_properties(${tarvik_link_real} PROPERTIES EXPORT_NAME ${TARVIK_FASTLINK_TARGET})
  if(NOT WIN32)
    set_property(TARGET ${tarvik_link_real} PROPERTY INSTALL_RPATH "$ORIGIN")
  endif()
  install(TARGETS ${tarvik_link_real} EXPORT TarvikTargets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/tarvik DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endif()

# ---- the port component for C++ hosts: a static library and its headers ------------------------
if(TARGET tarvik_comport)
  install(TARGETS tarvik_comport EXPORT TarvikTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/include/tarvik/ComPort.h ${PROJECT_SOURCE_DIR}/include/tarvik/ComThread.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarvik)
endif()

# ---- the tools -----------------------------------------------------------------------------------
set(TARVIK_TOOL_TARGETS tarvik_cli tarvik_sim CACHE STRING
    "Targets of the command-line tool and the simulator that are installed when built")
foreach(tool ${TARVIK_TOOL_TARGETS})
  if(TARGET ${tool})
    get_target_property(tool_type ${tool} TYPE)
    if(tool_type STREQUAL "EXECUTABLE")
      if(NOT WIN32)
        # Finds the installed libtarvik.so.1 if the tool links the shared library.
        set_property(TARGET ${tool} PROPERTY INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
      endif()
      install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
  endif()
endforeach()

# ---- data and documentation ----------------------------------------------------------------------
set(TARVIK_FACTS ${PROJECT_SOURCE_DIR}/tools/common/facts.json)
if(EXISTS ${TARVIK_FACTS})
  install(FILES ${TARVIK_FACTS} DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvik)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${TARVIK_DOC_DIR})
if(EXISTS ${PROJECT_SOURCE_DIR}/docs)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${TARVIK_DOC_DIR}
          FILES_MATCHING PATTERN "*.md")
endif()

# ---- CMake package -------------------------------------------------------------------------------
install(EXPORT TarvikTargets NAMESPACE Tarvik:: DESTINATION ${TARVIK_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/TarvikConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/TarvikConfig.cmake
  INSTALL_DESTINATION ${TARVIK_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_BINDIR CMAKE_INSTALL_DATADIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/TarvikConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/TarvikConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/TarvikConfigVersion.cmake
        DESTINATION ${TARVIK_CMAKE_DIR})

# ---- pkg-config ----------------------------------------------------------------------------------
# The file finds the prefix from its own place (${pcfiledir}), so an unpacked package works as well
# as an installed one.
set(TARVIK_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE ${CMAKE_INSTALL_LIBDIR})
  set(TARVIK_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
else()
  file(RELATIVE_PATH TARVIK_PC_UP /prefix/${TARVIK_PC_DIR} /prefix)
  string(REGEX REPLACE "/$" "" TARVIK_PC_UP "${TARVIK_PC_UP}")
  set(TARVIK_PC_PREFIX "\${pcfiledir}/${TARVIK_PC_UP}")
endif()
if(WIN32)
  set(TARVIK_PC_LIBNAME TarvikDLL)
else()
  set(TARVIK_PC_LIBNAME tarvik)
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/tarvik.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tarvik.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarvik.pc DESTINATION ${TARVIK_PC_DIR})
# The fast link: `pkg-config --cflags --libs tarvik_link` (a static library on Windows).
if(TARGET ${TARVIK_FASTLINK_TARGET})
  if(WIN32)
    set(TARVIK_LINK_PC_CFLAGS -DTARVIK_LINK_STATIC)
    set(TARVIK_LINK_PC_PRIVATE "-lpthread")
  else()
    set(TARVIK_LINK_PC_CFLAGS "")
    set(TARVIK_LINK_PC_PRIVATE "-lpthread")
  endif()
  configure_file(${CMAKE_CURRENT_LIST_DIR}/tarvik_link.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tarvik_link.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarvik_link.pc DESTINATION ${TARVIK_PC_DIR})
endif()

# ---- manual pages, shell completion, copyright -----------------------------------------------------
# The manual pages are the tools' --help texts (help2man, Debian: help2man); the completion scripts
# and the copyright file are in tools/packaging.
set(TARVIK_PACKAGING ${PROJECT_SOURCE_DIR}/tools/packaging)
if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING)
  find_program(TARVIK_HELP2MAN help2man)
  find_program(TARVIK_GZIP gzip)
  set(tarvik_man_tarvik_cli "read and control HART flow and pressure devices and the 0731 read-out unit")
  set(tarvik_man_tarvik_sim "simulated HART devices and 0731 read-out unit on pseudo-terminals")
  set(tarvik_man_tarvik_gateway "publish HART devices and 0731 read-out units over MQTT and Prometheus")
  foreach(tool tarvik_cli tarvik_sim tarvik_gateway)
    if(NOT TARGET ${tool})
      continue()
    endif()
    get_target_property(tool_name ${tool} OUTPUT_NAME)
    if(TARVIK_HELP2MAN AND TARVIK_GZIP)
      set(page ${CMAKE_BINARY_DIR}/man/${tool_name}.1)
      add_custom_command(
        OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
        COMMAND ${TARVIK_HELP2MAN} --no-info --no-discard-stderr --section=1
                --version-string=${PROJECT_VERSION} "--name=${tarvik_man_${tool}}" --output=${page}
                $<TARGET_FILE:${tool}>
        COMMAND ${TARVIK_GZIP} -9nf ${page}
        DEPENDS ${tool}
        COMMENT "Manual page ${tool_name}.1")
      add_custom_target(${tool}_man ALL DEPENDS ${page}.gz)
      install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
    install(FILES ${TARVIK_PACKAGING}/completion/${tool_name}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  endforeach()
  if(NOT TARVIK_HELP2MAN)
    message(STATUS "help2man not found: no manual pages for the tools (Debian: help2man)")
  endif()
endif()
install(FILES ${TARVIK_PACKAGING}/copyright DESTINATION ${TARVIK_DOC_DIR})

# ---- packages ------------------------------------------------------------------------------------
set(CPACK_PACKAGE_NAME tarvik)
set(CPACK_PACKAGE_VENDOR "Tarvik")
set(CPACK_PACKAGE_CONTACT "Tarvik maintainers <tarvik@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Library and tools for process instruments on a serial line")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
if(WIN32)
  # One architecture per build; scripts/windows.sh puts both builds into one zip.
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME TarvikDLL-${PROJECT_VERSION}-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "TarvikDLL reads and controls process instruments over a serial line: HART gas-flow and\npressure devices and the model 0731 read-out unit. Shared library, C header, CMake and\npkg-config files, the fast link for polling hosts, the command-line tool tarvik and the\nsimulator tarvik-sim.")
  # Runs ldconfig after installation, so that libtarvik.so.1 is found at once.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  find_program(TARVIK_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(TARVIK_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1")
  endif()
endif()
include(CPack)

# ---- tests of the installed package and of the documentation ----------------------------------------
if(TARVIK_BUILD_TESTS AND NOT WIN32)
  find_package(Python3 COMPONENTS Interpreter)
  if(Python3_FOUND AND EXISTS ${PROJECT_SOURCE_DIR}/docs/check_reference.py)
    # Every export and result code of the header appears in docs/reference.md with the same values.
    add_test(NAME docs_reference
      COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/docs/check_reference.py
              ${PROJECT_SOURCE_DIR}/include/TarvikDLL.h ${PROJECT_SOURCE_DIR}/docs/reference.md)
  endif()
  if(NOT TARVIK_SANITIZE AND NOT TARVIK_TSAN AND EXISTS ${PROJECT_SOURCE_DIR}/scripts/ecosystem-test.sh)
    # Installs this build, builds a C host against it with CMake and with pkg-config, makes and
    # unpacks the Debian package, installs the Python package with pip, and runs the hosts and the
    # Python tests against the simulator. (Not with sanitizers: a host could not load the library.)
    add_test(NAME ecosystem
      COMMAND ${PROJECT_SOURCE_DIR}/scripts/ecosystem-test.sh ${CMAKE_BINARY_DIR})
    set_tests_properties(ecosystem PROPERTIES TIMEOUT 900 COST 500) # long: started first
  endif()
endif()
