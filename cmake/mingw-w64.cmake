# Cross build for 64-bit Windows with Debian's MinGW-w64 (GCC 12).
#
#   cmake -S . -B build/mingw -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#
# The posix thread-model compiler is named explicitly: the win32 variant has no
# std::thread, and the system-wide alternative is machine state we don't own.
# Everything links statically (runtime, winpthread, zlib, libzip, expat), so
# every .exe runs on its own, under Wine too. GUI programs with a wWinMain
# entry point add -municode themselves; the console test programs keep main().

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QUORVANE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QUORVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUORVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUORVANE_MINGW_TRIPLE}-windres)

# Static libzip and expat built by scripts/build-mingw-deps.
if(NOT DEFINED QUORVANE_MINGW_DEPS)
  get_filename_component(QUORVANE_MINGW_DEPS ${CMAKE_CURRENT_LIST_DIR}/../build/mingw-deps/prefix ABSOLUTE)
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${QUORVANE_MINGW_TRIPLE} ${QUORVANE_MINGW_DEPS})
list(APPEND CMAKE_PREFIX_PATH ${QUORVANE_MINGW_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# FindZLIB would prefer the import library of zlib1.dll.
set(ZLIB_LIBRARY /usr/${QUORVANE_MINGW_TRIPLE}/lib/libz.a CACHE FILEPATH "Static zlib for MinGW")
set(ZLIB_INCLUDE_DIR /usr/${QUORVANE_MINGW_TRIPLE}/include CACHE PATH "zlib headers for MinGW")

# Windows 10 API level, Unicode W entry points, no min/max macros from
# windows.h (they break std::min/std::max); XML_STATIC and ZIP_STATIC stop
# the expat and libzip headers from declaring their functions dllimport.
set(quorvane_mingw_defs "-D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00 -DUNICODE -D_UNICODE -DNOMINMAX -DXML_STATIC -DZIP_STATIC")
set(CMAKE_C_FLAGS_INIT "${quorvane_mingw_defs}")
set(CMAKE_CXX_FLAGS_INIT "${quorvane_mingw_defs}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
