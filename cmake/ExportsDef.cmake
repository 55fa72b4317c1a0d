# Writes the DLL's module-definition file: the entry points that the export list of the shared
# library (src/csp/exports.map) names and the provider's objects define, in the list's order.
# So the DLL exports exactly the entry points that exist, and a new entry point needs no edit
# here. Run as a script: cmake -DNM=nm -DMAP=exports.map -DOBJECTS=list-file -DOUT=file.def -P this.
file(READ "${MAP}" map)
string(REGEX REPLACE "/\\*[^*]*\\*/" "" map "${map}")
string(REGEX MATCH "global:([^}]*)local:" global "${map}")
string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*" names "${CMAKE_MATCH_1}")

file(STRINGS "${OBJECTS}" objects)
execute_process(COMMAND "${NM}" -g --defined-only ${objects}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} failed on the provider's objects")
endif()

set(def "LIBRARY KelmKSPv5.dll\nEXPORTS\n")
set(count 0)
foreach(name IN LISTS names)
  if(symbols MATCHES "[ \t][TtDdRrBb] ${name}\n")
    string(APPEND def "    ${name}\n")
    math(EXPR count "${count} + 1")
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "none of the entry points in ${MAP} is defined by the provider's objects")
endif()
file(WRITE "${OUT}" "${def}")
