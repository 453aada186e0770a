# SPDX-License-Identifier: GPL-2.0-or-later
# Build-only stand-ins for a Windows Wireshark, for the mingw-w64 cross build.
#
# Why they exist: Debian ships Wireshark and GLib for Linux only. The
# plug-ins' Windows DLLs are compiled against the host's Wireshark and GLib
# headers, with a Windows GLib configuration header of our own in place of
# the host's, and linked against import libraries that dlltool makes from
# the exports of the host's Linux libraries of the same series (see
# AnalyserDlls.cmake): each function lands in the import table of the DLL
# that really exports it, with nothing to list by hand. None of this ends
# up in the DLLs beyond the names of the DLLs and functions imported.
#
# Provides what find_package(Wireshark) would: Wireshark_VERSION,
# Wireshark_{MAJOR,MINOR,PATCH}_VERSION and the target `epan`.

set(OVK_SHIMS_DIR "${CMAKE_CURRENT_LIST_DIR}")
set(OVK_SHIMS_BINARY_DIR "${CMAKE_BINARY_DIR}/windows-cross-shims")

# Host headers, outside the cross toolchain's root on purpose.
set(OVK_WIRESHARK_INCLUDE_DIR "/usr/include/wireshark" CACHE PATH "The host's Wireshark headers")
set(OVK_GLIB_INCLUDE_DIR "/usr/include/glib-2.0" CACHE PATH "The host's GLib headers")
foreach(header "${OVK_WIRESHARK_INCLUDE_DIR}/ws_version.h" "${OVK_GLIB_INCLUDE_DIR}/glib/gversionmacros.h")
  if(NOT EXISTS "${header}")
    message(FATAL_ERROR "${header} not found: install libwireshark-dev and libglib2.0-dev")
  endif()
endforeach()

# The analyser version these headers describe.
file(STRINGS "${OVK_WIRESHARK_INCLUDE_DIR}/ws_version.h" _ws_version_lines REGEX "#define WIRESHARK_VERSION_")
foreach(part MAJOR MINOR MICRO)
  string(REGEX MATCH "WIRESHARK_VERSION_${part} ([0-9]+)" _match "${_ws_version_lines}")
  if(NOT _match)
    message(FATAL_ERROR "No WIRESHARK_VERSION_${part} in ${OVK_WIRESHARK_INCLUDE_DIR}/ws_version.h")
  endif()
  set(_ws_${part} "${CMAKE_MATCH_1}")
endforeach()
set(Wireshark_MAJOR_VERSION ${_ws_MAJOR})
set(Wireshark_MINOR_VERSION ${_ws_MINOR})
set(Wireshark_PATCH_VERSION ${_ws_MICRO})
set(Wireshark_VERSION "${_ws_MAJOR}.${_ws_MINOR}.${_ws_MICRO}")

# GLib's version, from the host's configuration header that ours replaces.
file(GLOB _host_glibconfig "/usr/lib/*/glib-2.0/include/glibconfig.h" "/usr/lib/glib-2.0/include/glibconfig.h")
if(NOT _host_glibconfig)
  message(FATAL_ERROR "The host's glibconfig.h was not found: install libglib2.0-dev")
endif()
list(GET _host_glibconfig 0 _host_glibconfig)
file(STRINGS "${_host_glibconfig}" _glib_version_lines REGEX "#define GLIB_M[A-Z]+_VERSION")
foreach(part MAJOR MINOR MICRO)
  string(REGEX MATCH "GLIB_${part}_VERSION ([0-9]+)" _match "${_glib_version_lines}")
  set(OVK_GLIB_${part} "${CMAKE_MATCH_1}")
endforeach()
configure_file("${OVK_SHIMS_DIR}/glibconfig.h.in" "${OVK_SHIMS_BINARY_DIR}/include/glibconfig.h" @ONLY)

if(NOT CMAKE_DLLTOOL)
  message(FATAL_ERROR "No dlltool: set CMAKE_DLLTOOL (the toolchain file does)")
endif()
# The host's nm: the mingw-w64 one need not read Linux libraries.
find_program(OVK_HOST_NM nm)
if(NOT OVK_HOST_NM)
  message(FATAL_ERROR "No nm for the host's libraries: install binutils")
endif()

# The host's Linux libraries of this series, beside its Wireshark headers.
set(OVK_LINUX_LIBRARY_DIR "" CACHE PATH "Where the host's libwireshark.so and the libraries beside it are")
if(NOT OVK_LINUX_LIBRARY_DIR)
  file(GLOB _linux_libwireshark "/usr/lib/*/libwireshark.so" "/usr/lib64/libwireshark.so" "/usr/lib/libwireshark.so")
  list(LENGTH _linux_libwireshark _count)
  if(NOT _count EQUAL 1)
    message(FATAL_ERROR "Found ${_count} libwireshark.so (${_linux_libwireshark}): "
                        "set OVK_LINUX_LIBRARY_DIR to the host's library folder")
  endif()
  get_filename_component(_dir "${_linux_libwireshark}" DIRECTORY)
  set(OVK_LINUX_LIBRARY_DIR "${_dir}" CACHE PATH "Where the host's libwireshark.so and the libraries beside it are" FORCE)
endif()
include("${OVK_SHIMS_DIR}/AnalyserDlls.cmake")
ovk_analyser_libraries(_analyser_libraries "${OVK_LINUX_LIBRARY_DIR}")
set(_import_libs)
set(_linux_libraries)
foreach(entry IN LISTS _analyser_libraries)
  string(REPLACE "=" ";" entry "${entry}")
  list(GET entry 0 dll)
  list(GET entry 1 library)
  list(APPEND _import_libs "${OVK_SHIMS_BINARY_DIR}/${dll}.a")
  # The file itself, so that an upgrade within the series remakes them.
  get_filename_component(library "${library}" REALPATH)
  list(APPEND _linux_libraries "${library}")
  message(STATUS "Imports from ${dll}: the exports of ${library}")
endforeach()
string(REPLACE ";" "|" _library_pairs "${_analyser_libraries}")
add_custom_command(OUTPUT ${_import_libs}
  COMMAND "${CMAKE_COMMAND}" "-DNM=${OVK_HOST_NM}" "-DDLLTOOL=${CMAKE_DLLTOOL}"
          "-DOUTPUT_DIR=${OVK_SHIMS_BINARY_DIR}" "-DLIBRARIES=${_library_pairs}"
          -P "${OVK_SHIMS_DIR}/make_import_libs.cmake"
  DEPENDS "${OVK_SHIMS_DIR}/make_import_libs.cmake" "${OVK_SHIMS_DIR}/AnalyserDlls.cmake" ${_linux_libraries}
  COMMENT "Making the import libraries of the analyser's DLLs"
  VERBATIM)
add_custom_target(ovk_windows_import_libs DEPENDS ${_import_libs})

add_library(epan INTERFACE)
target_include_directories(epan SYSTEM INTERFACE
  "${OVK_SHIMS_BINARY_DIR}/include"
  "${OVK_WIRESHARK_INCLUDE_DIR}"
  "${OVK_GLIB_INCLUDE_DIR}"
  "${OVK_SHIMS_DIR}/glib-fallback")
target_link_libraries(epan INTERFACE ${_import_libs})
add_dependencies(epan ovk_windows_import_libs)

# The targets WiresharkConfig.cmake gives for the other libraries: the
# import libraries above hold every DLL's functions.
foreach(library wiretap wsutil)
  add_library(${library} INTERFACE)
  target_link_libraries(${library} INTERFACE epan)
endforeach()
