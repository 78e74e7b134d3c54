# cmake -DNM=... -DDLLTOOL=... -DDLL=name.dll -DIMPORT_LIB=lib.a -DOUT=lib.a -P MakeDelayLib.cmake
# Writes OUT, a delay-import library for DLL exporting what IMPORT_LIB does.
execute_process(COMMAND ${NM} --defined-only ${IMPORT_LIB}
  OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL " I __imp_[^\n]+" imports "${symbols}")
list(TRANSFORM imports REPLACE "^ I __imp_" "")
list(REMOVE_DUPLICATES imports)
if(NOT imports)
  message(FATAL_ERROR "${IMPORT_LIB} names no imports")
endif()
list(JOIN imports "\n" exports)
set(def ${OUT}.def)
file(WRITE ${def} "LIBRARY \"${DLL}\"\nEXPORTS\n${exports}\n")
execute_process(COMMAND ${DLLTOOL} --input-def ${def} --dllname ${DLL} --output-delaylib ${OUT}
  COMMAND_ERROR_IS_FATAL ANY)
