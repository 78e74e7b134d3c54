# Provides CLI11::CLI11 (header-only, Debian's libcli11-dev).
#
# Native builds use the package's own config. The MinGW build cannot search
# the host's /usr/include (glibc headers would shadow MinGW's), so it copies
# only the CLI folder into the build tree and points the target there.
if(TARGET CLI11::CLI11)
  return()
endif()

if(NOT CMAKE_CROSSCOMPILING)
  find_package(CLI11 CONFIG REQUIRED)
  return()
endif()

find_path(QUORVANE_HOST_CLI11_INCLUDE CLI/CLI.hpp
  PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT QUORVANE_HOST_CLI11_INCLUDE)
  message(FATAL_ERROR "CLI11 headers not found in /usr/include/CLI: install libcli11-dev")
endif()

set(quorvane_cli11_copy ${CMAKE_BINARY_DIR}/host-headers/cli11)
file(COPY ${QUORVANE_HOST_CLI11_INCLUDE}/CLI DESTINATION ${quorvane_cli11_copy})
# Imported, so the headers count as system headers and stay out of -Werror.
add_library(CLI11::CLI11 INTERFACE IMPORTED)
set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${quorvane_cli11_copy})
