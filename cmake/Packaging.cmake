# Installing quorvane-cli, and its Debian package (Linux builds):
#
#   cmake -S . -B B -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVANE_PACKAGE=ON
#   cmake --build B && cpack --config B/CPackConfig.cmake
#
# gives quorvane-cli_<version>_<arch>.deb: the program, its manual page made
# by help2man from the program's own --help, and a copyright file in Debian's
# format; Depends comes from dpkg-shlibdeps. scripts/package does all this.
if(WIN32 OR NOT TARGET quorvane-cli)
  return()
endif()

include(GNUInstallDirs)
install(TARGETS quorvane-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(NOT QUORVANE_PACKAGE)
  return()
endif()

find_program(QUORVANE_HELP2MAN help2man REQUIRED)
find_program(QUORVANE_GZIP gzip REQUIRED)
find_program(QUORVANE_DPKG dpkg REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(QUORVANE_MAINTAINER "Quorvane developers <developers@quorvane.example>"
  CACHE STRING "Maintainer field of the Debian package")

set(doc ${PROJECT_BINARY_DIR}/package-doc)
file(MAKE_DIRECTORY ${doc})
# gzip -n: no file name or time stamp inside, as Debian wants (lintian checks).
add_custom_command(OUTPUT ${doc}/quorvane-cli.1.gz
  COMMAND ${QUORVANE_HELP2MAN} --no-info --section=1 "--name=break the links between Excel workbooks"
    --include=${PROJECT_SOURCE_DIR}/packaging/quorvane-cli.h2m --output=${doc}/quorvane-cli.1
    $<TARGET_FILE:quorvane-cli>
  COMMAND ${QUORVANE_GZIP} -9nf ${doc}/quorvane-cli.1
  DEPENDS quorvane-cli ${PROJECT_SOURCE_DIR}/packaging/quorvane-cli.h2m
  VERBATIM)
add_custom_command(OUTPUT ${doc}/copyright
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/packaging/licenses.py debian-copyright ${doc}/copyright
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/licenses.py ${PROJECT_SOURCE_DIR}/LICENSE
  VERBATIM)
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${doc}/changelog @ONLY)
add_custom_command(OUTPUT ${doc}/changelog.gz
  COMMAND ${QUORVANE_GZIP} -9nc ${doc}/changelog > ${doc}/changelog.gz
  DEPENDS ${doc}/changelog)
add_custom_target(quorvane-cli-package-files ALL
  DEPENDS ${doc}/quorvane-cli.1.gz ${doc}/copyright ${doc}/changelog.gz)

set(docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorvane-cli)
install(FILES ${doc}/quorvane-cli.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${doc}/copyright ${doc}/changelog.gz DESTINATION ${docdir})

execute_process(COMMAND ${QUORVANE_DPKG} --print-architecture
  OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvane-cli)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "break the links between Excel workbooks")
set(CPACK_PACKAGE_DESCRIPTION [[Every formula in an .xlsx, .xlsm, .xltx or .xltm workbook that reaches into
another workbook becomes the value it shows, and the workbook is saved;
optionally a time-stamped backup is written beside it first. Folders are
walked with their subfolders. A workbook is either left exactly as it was
or replaced whole by the finished result, and one that cannot be processed
is named in the report with the reason. Works on the files directly,
without Excel.]])
set(CPACK_DEBIAN_FILE_NAME quorvane-cli_${PROJECT_VERSION}_${arch}.deb)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${arch})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QUORVANE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${QUORVANE_SITE_URL})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
