# SPDX-License-Identifier: GPL-2.0-or-later
#
# cmake -DNM=<the host's nm> -DDLLTOOL=<mingw-w64 dlltool> -DOUTPUT_DIR=<dir>
#       -DLIBRARIES=<dll>=<Linux library>|... -P make_import_libs.cmake
#
# Makes <OUTPUT_DIR>/<dll>.a for each DLL, an import library naming every
# function and variable its Linux library exports. The linker then takes
# each function a plug-in calls from the one DLL that exports it, and the
# DLL's import table names only the functions called; a function no library
# exports stays undefined and fails the link.

string(REPLACE "|" ";" LIBRARIES "${LIBRARIES}")
set(dlls)
foreach(entry IN LISTS LIBRARIES)
  string(REPLACE "=" ";" entry "${entry}")
  list(GET entry 0 dll)
  list(GET entry 1 library)
  list(APPEND dlls "${dll}")
  execute_process(COMMAND "${NM}" -D --defined-only "${library}"
    OUTPUT_VARIABLE symbols ERROR_VARIABLE diagnostics RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${library}:\n${diagnostics}")
  endif()
  string(REGEX MATCHALL "[^\n]+" symbols "${symbols}")
  set(exports_${dll})
  foreach(line IN LISTS symbols)
    # "<address> <type> <name>[@[@]<version>]": upper-case types are global;
    # T, W and i are code, the others data, which Windows reaches only
    # through the import address (dllimport), hence DATA.
    if(line MATCHES "^[0-9a-fA-F]* ([TWiDBRVGSu]) ([A-Za-z_][A-Za-z0-9_]*)(@.*)?$")
      set(name "${CMAKE_MATCH_2}")
      if(CMAKE_MATCH_1 MATCHES "^[TWi]$")
        list(APPEND exports_${dll} "${name}")
      else()
        list(APPEND exports_${dll} "${name} DATA")
      endif()
      if(DEFINED owner_${name} AND NOT owner_${name} STREQUAL dll)
        list(APPEND ambiguous "${name}")
        list(APPEND ambiguous_${name} "${dll}")
      else()
        set(owner_${name} "${dll}")
        set(ambiguous_${name} "${dll}")
      endif()
    endif()
  endforeach()
  if(NOT exports_${dll})
    message(FATAL_ERROR "${library} (for ${dll}) exports nothing")
  endif()
endforeach()

# A name two libraries export could end up imported from either, depending
# on link order: it goes into neither, and a call to it fails the link.
if(ambiguous)
  list(REMOVE_DUPLICATES ambiguous)
  foreach(name IN LISTS ambiguous)
    string(REPLACE ";" ", " owners "${ambiguous_${name}}")
    message(WARNING "${name} is exported by ${owners}: left out of every import library")
    foreach(dll IN LISTS dlls)
      list(REMOVE_ITEM exports_${dll} "${name}" "${name} DATA")
    endforeach()
  endforeach()
endif()

foreach(dll IN LISTS dlls)
  set(def "${OUTPUT_DIR}/${dll}.def")
  set(output "${OUTPUT_DIR}/${dll}.a")
  list(SORT exports_${dll})
  string(REPLACE ";" "\n    " exports "${exports_${dll}}")
  file(WRITE "${def}" "LIBRARY \"${dll}\"\nEXPORTS\n    ${exports}\n")
  # dlltool reports a malformed .def file and still exits 0 with a partial
  # import library: any diagnostic is a failure.
  execute_process(
    COMMAND "${DLLTOOL}" --input-def "${def}" --dllname "${dll}" --output-lib "${output}"
    RESULT_VARIABLE result
    ERROR_VARIABLE diagnostics)
  if(NOT result EQUAL 0 OR NOT diagnostics STREQUAL "")
    file(REMOVE "${output}")
    message(FATAL_ERROR "dlltool failed on ${def}:\n${diagnostics}")
  endif()
endforeach()
