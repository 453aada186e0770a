# Helpers that turn dissector sources into a loadable Wireshark plug-in.

set(OVK_WARNING_FLAGS -Wall -Wextra)
set(OVK_PLUGIN_FRAME "${CMAKE_CURRENT_LIST_DIR}/../plugins/common/plugin.cpp")
set(OVK_PLUGIN_COMMON_DIR "${CMAKE_CURRENT_LIST_DIR}/../plugins/common")

# add_wireshark_plugin(<name>
#                      REGISTER <registration routine>
#                      HANDOFF <hand-off routine>
#                      SOURCES <dissector sources>...)
#
# Makes two targets:
#   <name>_dissector  object library with the dissector alone, which the
#                     in-process tests link and register themselves;
#   <name>            the plug-in module "<name>.so" (no "lib" prefix): the
#                     dissector plus the shared plug-in frame, exporting only
#                     the symbols the analyser's loader looks for.
function(add_wireshark_plugin name)
  cmake_parse_arguments(PLUGIN "" "REGISTER;HANDOFF" "SOURCES" ${ARGN})
  if(NOT PLUGIN_REGISTER OR NOT PLUGIN_HANDOFF OR NOT PLUGIN_SOURCES)
    message(FATAL_ERROR "add_wireshark_plugin(${name}): REGISTER, HANDOFF and SOURCES are required")
  endif()

  add_library(${name}_dissector OBJECT ${PLUGIN_SOURCES})
  target_link_libraries(${name}_dissector PUBLIC epan)
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
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT OVK_SANITIZE)
    # Unresolved analyser symbols are a load failure, not a surprise at
    # dissection time. (A sanitized module takes the sanitizer runtime from
    # the process it is loaded into.)
    target_link_options(${name} PRIVATE "LINKER:--no-undefined")
  endif()
endfunction()
