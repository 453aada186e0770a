# SPDX-License-Identifier: GPL-2.0-or-later
# Helpers that turn dissector sources into a loadable Wireshark plug-in.

if(MSVC)
  set(OVK_WARNING_FLAGS /W3)
else()
  set(OVK_WARNING_FLAGS -Wall -Wextra)
endif()
set(OVK_PLUGIN_FRAME "${CMAKE_CURRENT_LIST_DIR}/../plugins/common/plugin.cpp")
set(OVK_PLUGIN_COMMON_DIR "${CMAKE_CURRENT_LIST_DIR}/../plugins/common")
set(OVK_PLUGIN_VERSION_RESOURCE "${CMAKE_CURRENT_LIST_DIR}/../plugins/common/plugin.rc.in")

# The analyser's global folder for dissector plug-ins of its major.minor
# series, where a plain "cmake --install" (below DESTDIR when set) and the
# Debian package put them, as the analyser looks nowhere else by default.
set(OVK_PLUGIN_INSTALL_DIR "${Wireshark_PLUGIN_INSTALL_DIR}/epan" CACHE PATH
    "Where 'cmake --install' puts the dissector plug-ins")
set(OVK_WIRESHARK_SERIES "${Wireshark_MAJOR_VERSION}.${Wireshark_MINOR_VERSION}")

# Where <folder> lies below the analyser's install prefix, into <out>;
# <fallback> when it lies elsewhere.
function(_ovk_below_analyser_prefix out folder fallback)
  set(relative "${fallback}")
  if(Wireshark_INSTALL_PREFIX)
    file(RELATIVE_PATH from_prefix "${Wireshark_INSTALL_PREFIX}" "${folder}")
    if(NOT from_prefix MATCHES "^\\.\\.")
      set(relative "${from_prefix}")
    endif()
  endif()
  set(${out} "${relative}" PARENT_SCOPE)
endfunction()

# ovk_install_into_analyser_folder(<target> <MODULE|PROGRAM> <folder> <fallback>)
#
# Installs the file of <target> into <folder>, one of the installed
# analyser's own folders, on a plain "cmake --install" (below DESTDIR when
# set). "cmake --install --prefix DIR" for another DIR than the configured
# one (and than the analyser's own prefix) installs nothing outside DIR:
# the file goes to the same place below DIR as <folder> has below the
# analyser's prefix (<fallback> when it lies elsewhere). The prefix is
# known only when installing, hence the install script decides.
function(ovk_install_into_analyser_folder target type folder fallback)
  _ovk_below_analyser_prefix(relative "${folder}" "${fallback}")
  # As install(TARGETS) would, with the destination chosen at install
  # time; file(INSTALL) adds DESTDIR itself.
  set(code "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"${CMAKE_INSTALL_PREFIX}\" OR CMAKE_INSTALL_PREFIX STREQUAL \"${Wireshark_INSTALL_PREFIX}\")
      set(destination \"${folder}\")
    else()
      set(destination \"\${CMAKE_INSTALL_PREFIX}/${relative}\")
    endif()
    file(INSTALL DESTINATION \"\${destination}\" TYPE ${type} FILES \"$<TARGET_FILE:${target}>\")")
  if(CMAKE_STRIP)
    string(APPEND code "
      if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_STRIP}\" \"\$ENV{DESTDIR}\${destination}/$<TARGET_FILE_NAME:${target}>\")
      endif()")
  endif()
  install(CODE "${code}")
endfunction()

# The plug-ins' place below an install prefix (also what the install test
# expects).
_ovk_below_analyser_prefix(OVK_PLUGIN_RELATIVE_DIR "${OVK_PLUGIN_INSTALL_DIR}"
  "lib/wireshark/plugins/${OVK_WIRESHARK_SERIES}/epan")

# add_wireshark_plugin(<name>
#                      REGISTER <registration routine>
#                      HANDOFF <hand-off routine>
#                      SOURCES <dissector sources>...)
#
# Makes two targets:
#   <name>_dissector  object library with the dissector alone, which the
#                     in-process tests link and register themselves;
#   <name>            the plug-in module "<name>.so" ("<name>.dll" on
#                     Windows, with a version resource; no "lib" prefix): the
#                     dissector plus the shared plug-in frame, exporting only
#                     the symbols the analyser's loader looks for, installed
#                     into OVK_PLUGIN_INSTALL_DIR and listed in the global
#                     property OVK_PLUGINS.
function(add_wireshark_plugin name)
  cmake_parse_arguments(PLUGIN "" "REGISTER;HANDOFF" "SOURCES" ${ARGN})
  if(NOT PLUGIN_REGISTER OR NOT PLUGIN_HANDOFF OR NOT PLUGIN_SOURCES)
    message(FATAL_ERROR "add_wireshark_plugin(${name}): REGISTER, HANDOFF and SOURCES are required")
  endif()

  add_library(${name}_dissector OBJECT ${PLUGIN_SOURCES})
  target_link_libraries(${name}_dissector PUBLIC epan ovk_record_format)
  target_include_directories(${name}_dissector PUBLIC ${OVK_PLUGIN_COMMON_DIR})
  target_compile_options(${name}_dissector PRIVATE ${OVK_WARNING_FLAGS})
  set_target_properties(${name}_dissector PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)

  add_library(${name} MODULE ${OVK_PLUGIN_FRAME})
  target_link_libraries(${name} PRIVATE ${name}_dissector epan)
  target_compile_definitions(${name} PRIVATE
    PLUGIN_VERSION="${PROJECT_VERSION}"
    PLUGIN_REGISTER_ROUTINE=${PLUGIN_REGISTER}
    PLUGIN_HANDOFF_ROUTINE=${PLUGIN_HANDOFF})
  target_compile_options(${name} PRIVATE ${OVK_WARNING_FLAGS})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LIBRARY_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/plugins/${Wireshark_MAJOR_VERSION}.${Wireshark_MINOR_VERSION}/epan")
  if(WIN32)
    _ovk_add_windows_plugin_parts(${name})
  endif()
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT OVK_SANITIZE)
    # Unresolved analyser symbols are a load failure, not a surprise at
    # dissection time. (A sanitized module takes the sanitizer runtime from
    # the process it is loaded into.)
    target_link_options(${name} PRIVATE "LINKER:--no-undefined")
  endif()
  if(Wireshark_PLUGIN_INSTALL_DIR)
    ovk_install_into_analyser_folder(${name} MODULE "${OVK_PLUGIN_INSTALL_DIR}" "${OVK_PLUGIN_RELATIVE_DIR}")
  endif()
  set_property(GLOBAL APPEND PROPERTY OVK_PLUGINS ${name})
endfunction()

# The Windows parts of plug-in <name>: the version resource, made from one
# template and the project version, and what the DLL exports and imports.
function(_ovk_add_windows_plugin_parts name)
  set(OVK_PLUGIN_NAME ${name})
  set(OVK_PLUGIN_FILE_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
  set(OVK_PLUGIN_COMMENTS "Plug-in for Wireshark ${Wireshark_MAJOR_VERSION}.${Wireshark_MINOR_VERSION}")
  configure_file("${OVK_PLUGIN_VERSION_RESOURCE}" "${CMAKE_CURRENT_BINARY_DIR}/${name}.rc" @ONLY)
  target_sources(${name} PRIVATE "${CMAKE_CURRENT_BINARY_DIR}/${name}.rc")
  # Makes the plug-in frame's definitions dllexport (declarations of the
  # analyser's functions it includes work either way). The dissector
  # sources keep the default, dllimport.
  target_compile_definitions(${name} PRIVATE WS_BUILD_DLL)
  if(MINGW)
    # Whatever the compiler's support code is needed goes into the DLL: a
    # Wireshark installation has no libgcc or libstdc++ DLLs.
    target_link_options(${name} PRIVATE -static-libgcc -static-libstdc++)
  endif()
endfunction()
