# Installation of tarvik-gateway (included from tools/gateway/CMakeLists.txt):
#   bin/tarvik-gateway
#   share/tarvik/gateway.example.toml      (copy to /etc/tarvik/gateway.toml and adapt)
#   lib/systemd/system/tarvik-gateway.service
include(GNUInstallDirs)
if(NOT TARGET tarvik_gateway)
  return()
endif()
# Finds the installed libtarvik_link.so.1 beside the other libraries.
set_property(TARGET tarvik_gateway PROPERTY INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
install(TARGETS tarvik_gateway RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/gateway.example.toml DESTINATION ${CMAKE_INSTALL_DATADIR}/tarvik)

# The unit names the program without a directory: systemd looks in /usr/local/bin and /usr/bin,
# which covers both an installed build (/usr/local) and the Debian package (/usr).
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/tarvik-gateway.service DESTINATION lib/systemd/system)
