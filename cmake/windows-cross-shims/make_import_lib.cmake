# SPDX-License-Identifier: GPL-2.0-or-later
# cmake -DDLLTOOL=... -DDEF=<file.def> -DDLL=<name.dll> -DOUTPUT=<lib.dll.a> -P make_import_lib.cmake
#
# Runs dlltool and fails on any diagnostic: dlltool reports a malformed
# .def file and still exits 0 with a partial import library.
execute_process(
  COMMAND "${DLLTOOL}" --input-def "${DEF}" --dllname "${DLL}" --output-lib "${OUTPUT}"
  RESULT_VARIABLE result
  ERROR_VARIABLE diagnostics)
if(NOT result EQUAL 0 OR NOT diagnostics STREQUAL "")
  file(REMOVE "${OUTPUT}")
  message(FATAL_ERROR "dlltool failed on ${DEF}:\n${diagnostics}")
endif()
