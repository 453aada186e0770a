# SPDX-License-Identifier: GPL-2.0-or-later
# ovk5dump.exe: the receiver's sources with Winsock, the FIFO as a named
# pipe, libpcap's filter compiler from Npcap's wpcap.dll when a filter is
# given, and pcapng written by itself. It imports none of Wireshark's DLLs,
# so one build serves every series from its personal extcap folder, and
# starts without Npcap.
add_executable(ovk5dump
  ovk5dump.cpp
  receiver.cpp
  windows/help_url_win.cpp
  windows/machine_info.cpp
  windows/native_log.cpp
  windows/pcapng_native.cpp
  windows/socket_platform.cpp
  windows/wpcap_runtime.cpp)
# The stand-in headers come before the analyser's.
target_include_directories(ovk5dump BEFORE PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/windows/include
  ${PROJECT_SOURCE_DIR}/tools/common)
target_compile_definitions(ovk5dump PRIVATE OVK_NATIVE_PCAPNG WIN32_LEAN_AND_MEAN
  OVK_VERSION="${PROJECT_VERSION}")
target_compile_options(ovk5dump PRIVATE ${OVK_WARNING_FLAGS})
target_link_libraries(ovk5dump PRIVATE ovk_record_format ws2_32 iphlpapi)
target_link_options(ovk5dump PRIVATE -static-libgcc -static-libstdc++ -static)
set_target_properties(ovk5dump PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/extcap")
