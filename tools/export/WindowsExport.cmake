# SPDX-License-Identifier: GPL-2.0-or-later
# ovk5-export for Windows, in <build>/tools/ovk5-export/:
#   ovk5-export.exe                     the launcher: system DLLs only, no
#                                       series; finds the installed Wireshark
#   <major.minor>/ovk5-export.dll       the exporter, importing that series'
#                                       DLLs as the plug-ins do
#   <major.minor>/ovk5-export-dissection.dll
#                                       libwireshark with the dissectors,
#                                       loaded when a capture needs it
set(OVK_EXPORT_WINDOWS_DIR "${CMAKE_BINARY_DIR}/tools/ovk5-export")
set(series_dir "${OVK_EXPORT_WINDOWS_DIR}/${Wireshark_MAJOR_VERSION}.${Wireshark_MINOR_VERSION}")
# Wireshark's folder has no libgcc or libstdc++ DLLs.
set(static_runtime -static-libgcc -static-libstdc++ -static)

add_library(ovk5-export-dissection MODULE dissection.cpp)
target_include_directories(ovk5-export-dissection PRIVATE ${PROJECT_SOURCE_DIR}/plugins/ovk5 ${PROJECT_SOURCE_DIR}/tools/common)
target_link_libraries(ovk5-export-dissection PRIVATE ovk5_dissector ovk5seq_dissector epan)
target_compile_options(ovk5-export-dissection PRIVATE ${OVK_WARNING_FLAGS})
target_link_options(ovk5-export-dissection PRIVATE ${static_runtime})
set_target_properties(ovk5-export-dissection PROPERTIES PREFIX "" LIBRARY_OUTPUT_DIRECTORY "${series_dir}")

add_library(ovk5-export-main MODULE ${OVK_EXPORT_SOURCES})
target_include_directories(ovk5-export-main PRIVATE ${OVK_PLUGIN_COMMON_DIR}
  $<TARGET_PROPERTY:epan,INTERFACE_INCLUDE_DIRECTORIES>)
target_link_libraries(ovk5-export-main PRIVATE ovk_safe_output ovk_pcapng_writer ovk_record_format epan)
target_compile_options(ovk5-export-main PRIVATE ${OVK_WARNING_FLAGS})
target_compile_definitions(ovk5-export-main PRIVATE OVK_VERSION="${PROJECT_VERSION}")
target_link_options(ovk5-export-main PRIVATE ${static_runtime})
set_target_properties(ovk5-export-main PROPERTIES PREFIX "" OUTPUT_NAME ovk5-export
  LIBRARY_OUTPUT_DIRECTORY "${series_dir}")
add_dependencies(ovk5-export-main ovk5-export-dissection)

add_executable(ovk5-export windows_launcher.cpp)
target_compile_options(ovk5-export PRIVATE ${OVK_WARNING_FLAGS})
target_link_libraries(ovk5-export PRIVATE version shell32 advapi32)
target_link_options(ovk5-export PRIVATE ${static_runtime})
set_target_properties(ovk5-export PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${OVK_EXPORT_WINDOWS_DIR}")
add_dependencies(ovk5-export ovk5-export-main)
