# SPDX-License-Identifier: GPL-2.0-or-later
# Build-only stand-ins for a Windows Wireshark, for the mingw-w64 cross build.
#
# Why they exist: Debian ships Wireshark and GLib for Linux only. The
# plug-ins' Windows DLLs are compiled against the host's Wireshark and GLib
# headers, with a Windows GLib configuration header of our own in place of
# the host's, and linked against import libraries that dlltool makes from
# the .def files here. Those list only the functions the plug-ins call: a
# function missing from them is a link error, not a broken DLL. None of this
# ends up in the DLLs beyond the names of the DLLs and functions imported.
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
set(_import_libs)
foreach(dll libwireshark libwsutil libglib-2.0-0)
  set(_import_lib "${OVK_SHIMS_BINARY_DIR}/${dll}.dll.a")
  add_custom_command(OUTPUT "${_import_lib}"
    COMMAND "${CMAKE_COMMAND}" "-DDLLTOOL=${CMAKE_DLLTOOL}" "-DDEF=${OVK_SHIMS_DIR}/${dll}.def"
            "-DDLL=${dll}.dll" "-DOUTPUT=${_import_lib}" -P "${OVK_SHIMS_DIR}/make_import_lib.cmake"
    DEPENDS "${OVK_SHIMS_DIR}/${dll}.def" "${OVK_SHIMS_DIR}/make_import_lib.cmake"
    COMMENT "Making the import library for ${dll}.dll"
    VERBATIM)
  list(APPEND _import_libs "${_import_lib}")
endforeach()
add_custom_target(ovk_windows_import_libs DEPENDS ${_import_libs})

add_library(epan INTERFACE)
target_include_directories(epan SYSTEM INTERFACE
  "${OVK_SHIMS_BINARY_DIR}/include"
  "${OVK_WIRESHARK_INCLUDE_DIR}"
  "${OVK_GLIB_INCLUDE_DIR}"
  "${OVK_SHIMS_DIR}/glib-fallback")
target_link_libraries(epan INTERFACE ${_import_libs})
add_dependencies(epan ovk_windows_import_libs)
