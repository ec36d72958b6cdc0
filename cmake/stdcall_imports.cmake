# Makes a 32-bit Windows import library whose names carry the __stdcall decoration.
#
# The DLLs export their functions undecorated (--kill-at), and the linker's own import
# library names them that way too; but a program compiled against the headers calls
# `tarnOpenChannel@8`. dlltool makes the import library again from the definition file with
# each export's decorated name, read from the objects that define them, so that each
# decorated name maps to its undecorated export.
#
#   cmake -DNM=... -DDLLTOOL=... -DDEF=exports.def -DOBJECTS="a.obj;b.obj" -DDLL=name.dll
#         -DOUT=libname.dll.a -P stdcall_imports.cmake
execute_process(COMMAND ${NM} -g --defined-only ${OBJECTS} OUTPUT_VARIABLE symbols
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${OBJECTS}")
endif()
file(READ ${DEF} def)
set(def "${def}\n")
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
foreach(line IN LISTS lines)
  if(line MATCHES " T _([A-Za-z0-9_]+)(@[0-9]+)$")
    string(REGEX REPLACE "\n([ \t]*)${CMAKE_MATCH_1}[ \t]*\n" "\n\\1${CMAKE_MATCH_1}${CMAKE_MATCH_2}\n"
           def "${def}")
  endif()
endforeach()
file(WRITE ${OUT}.def "${def}")
execute_process(COMMAND ${DLLTOOL} --kill-at -d ${OUT}.def -D ${DLL} -l ${OUT}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${DLLTOOL} failed for ${DLL}")
endif()
