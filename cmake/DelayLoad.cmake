# Keeps a program started from a Downloads folder from loading a DLL planted
# beside it.
#
# Windows takes its known DLLs (kernel32, user32, ole32 and the like) from the
# system folder whatever the search order, but not the others the window
# needs: comctl32, comdlg32, uxtheme. The programs call
# SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) first thing, and
# those DLLs are delay-loaded, so they are looked for only after that call
# and only in the system folder. (The other way, the load configuration's
# DependentLoadFlags, is out of reach: GNU ld 2.40 neither has
# --dependent-load-flag nor fills in the load configuration directory.)
#
#   quorvane_delay_load(TARGET dll...)
#
# makes a delay-import library lib<dll>.a from the names MinGW's own import
# library exports and puts its folder first on TARGET's library path, so the
# -l<dll> that TARGET's dependencies bring resolves to it. Other targets, the
# tests among them, keep the ordinary imports.
function(quorvane_delay_load target)
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/delay-load-${target})
  set(libs)
  foreach(dll ${ARGN})
    find_library(QUORVANE_IMPORT_LIB_${dll} NAMES lib${dll}.a REQUIRED)
    set(lib ${dir}/lib${dll}.a)
    add_custom_command(OUTPUT ${lib}
      COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DDLLTOOL=${CMAKE_DLLTOOL} -DDLL=${dll}.dll
        -DIMPORT_LIB=${QUORVANE_IMPORT_LIB_${dll}} -DOUT=${lib} -P ${PROJECT_SOURCE_DIR}/cmake/MakeDelayLib.cmake
      DEPENDS ${QUORVANE_IMPORT_LIB_${dll}} ${PROJECT_SOURCE_DIR}/cmake/MakeDelayLib.cmake
      VERBATIM)
    list(APPEND libs ${lib})
  endforeach()
  add_custom_target(${target}_delay_load DEPENDS ${libs})
  add_dependencies(${target} ${target}_delay_load)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${libs})
  target_link_directories(${target} BEFORE PRIVATE ${dir})
endfunction()
