# SPDX-License-Identifier: GPL-2.0-or-later
# cmake -DPLUGIN_FILES=<a.so>,<b.so> -DSERIES=<major.minor> [-DREMOVE=ON] -P InstallUserPlugins.cmake
#
# Copies the plug-ins into the personal plug-in folder of the user running
# it, where the analyser of that series finds them without root rights;
# with REMOVE, removes the copies of the same names from there, and the
# folders they leave empty.
# HOME is read now, not when the build was configured.

if(NOT PLUGIN_FILES OR NOT SERIES)
  message(FATAL_ERROR "PLUGIN_FILES and SERIES are required")
endif()
if("$ENV{HOME}" STREQUAL "")
  message(FATAL_ERROR "HOME is not set: cannot tell where the personal plug-in folder is")
endif()

string(REPLACE "," ";" plugin_files "${PLUGIN_FILES}")
set(destination "$ENV{HOME}/.local/lib/wireshark/plugins/${SERIES}/epan")
if(REMOVE)
  include("${CMAKE_CURRENT_LIST_DIR}/RemoveEmptyFolders.cmake")
  foreach(plugin IN LISTS plugin_files)
    get_filename_component(name "${plugin}" NAME)
    if(EXISTS "${destination}/${name}")
      file(REMOVE "${destination}/${name}")
      message(STATUS "Removed: ${destination}/${name}")
    endif()
  endforeach()
  ovk_remove_empty_folders("${destination}" "$ENV{HOME}/.local/lib")
  return()
endif()

file(MAKE_DIRECTORY "${destination}")
foreach(plugin IN LISTS plugin_files)
  get_filename_component(name "${plugin}" NAME)
  file(COPY_FILE "${plugin}" "${destination}/${name}" RESULT copy_error)
  if(copy_error)
    message(FATAL_ERROR "cannot copy ${plugin} to ${destination}: ${copy_error}")
  endif()
  message(STATUS "Installed: ${destination}/${name}")
endforeach()

execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(uid STREQUAL "0")
  message(WARNING "Wireshark run as root loads no plug-ins from the personal folder; "
                  "use 'cmake --install' for the global folder instead.")
endif()
