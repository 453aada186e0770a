# SPDX-License-Identifier: GPL-2.0-or-later
# cmake -DEXTCAP_FILE=<ovk5dump> -DSERIES=<major.minor> [-DREMOVE=ON] -P InstallUserExtcap.cmake
#
# Copies the extcap into the personal extcap folder of the user running it:
# ~/.config/wireshark/extcap up to 4.0, ~/.local/lib/wireshark/extcap from
# 4.2 (the "Personal Extcap path" of "tshark -G folders"). With REMOVE,
# removes the copy again, and the folders it leaves empty.

if(NOT EXTCAP_FILE OR NOT SERIES)
  message(FATAL_ERROR "EXTCAP_FILE and SERIES are required")
endif()
if("$ENV{HOME}" STREQUAL "")
  message(FATAL_ERROR "HOME is not set: cannot tell where the personal extcap folder is")
endif()

if(SERIES VERSION_LESS 4.2)
  set(base "$ENV{HOME}/.config")
  set(destination "${base}/wireshark/extcap")
else()
  set(base "$ENV{HOME}/.local/lib")
  set(destination "${base}/wireshark/extcap")
endif()
get_filename_component(name "${EXTCAP_FILE}" NAME)

if(REMOVE)
  include("${CMAKE_CURRENT_LIST_DIR}/RemoveEmptyFolders.cmake")
  if(EXISTS "${destination}/${name}")
    file(REMOVE "${destination}/${name}")
    message(STATUS "Removed: ${destination}/${name}")
  endif()
  ovk_remove_empty_folders("${destination}" "${base}")
  return()
endif()

file(MAKE_DIRECTORY "${destination}")
file(COPY_FILE "${EXTCAP_FILE}" "${destination}/${name}" RESULT copy_error)
if(copy_error)
  message(FATAL_ERROR "cannot copy ${EXTCAP_FILE} to ${destination}: ${copy_error}")
endif()
message(STATUS "Installed: ${destination}/${name}")

execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(uid STREQUAL "0")
  message(WARNING "Wireshark run as root starts no extcap from the personal folder; "
                  "use 'cmake --install' for the global folder instead.")
endif()
