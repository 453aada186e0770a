# SPDX-License-Identifier: GPL-2.0-or-later
# Installation beyond the plug-ins' own install rules: the "install-user"
# and "uninstall-user" targets and the Debian package made by "cpack -G DEB".

# The Windows cross build installs by copying the DLLs (see the README).
if(OVK_WINDOWS_CROSS_SHIMS)
  return()
endif()

include(GNUInstallDirs)

# install-user: the plug-ins into $HOME/.local/lib/wireshark/plugins/<series>/epan.
get_property(ovk_plugins GLOBAL PROPERTY OVK_PLUGINS)
set(ovk_plugin_files "")
foreach(plugin IN LISTS ovk_plugins)
  list(APPEND ovk_plugin_files "$<TARGET_FILE:${plugin}>")
endforeach()
list(JOIN ovk_plugin_files "," ovk_plugin_files)
add_custom_target(install-user
  COMMAND ${CMAKE_COMMAND} "-DPLUGIN_FILES=${ovk_plugin_files}" "-DSERIES=${OVK_WIRESHARK_SERIES}"
          -P "${CMAKE_CURRENT_LIST_DIR}/InstallUserPlugins.cmake"
  DEPENDS ${ovk_plugins}
  COMMENT "Installing the plug-ins into the personal plug-in folder"
  VERBATIM)
# uninstall-user: removes them from there again; builds nothing.
add_custom_target(uninstall-user
  COMMAND ${CMAKE_COMMAND} "-DPLUGIN_FILES=${ovk_plugin_files}" "-DSERIES=${OVK_WIRESHARK_SERIES}" -DREMOVE=ON
          -P "${CMAKE_CURRENT_LIST_DIR}/InstallUserPlugins.cmake"
  COMMENT "Removing the plug-ins from the personal plug-in folder"
  VERBATIM)

# install-user-extcap: ovk5dump into the personal extcap folder.
if(TARGET ovk5dump)
  add_custom_target(install-user-extcap
    COMMAND ${CMAKE_COMMAND} "-DEXTCAP_FILE=$<TARGET_FILE:ovk5dump>" "-DSERIES=${OVK_WIRESHARK_SERIES}"
            -P "${CMAKE_CURRENT_LIST_DIR}/InstallUserExtcap.cmake"
    DEPENDS ovk5dump
    COMMENT "Installing ovk5dump into the personal extcap folder"
    VERBATIM)
  # uninstall-user-extcap: removes it from there again; builds nothing.
  add_custom_target(uninstall-user-extcap
    COMMAND ${CMAKE_COMMAND} "-DEXTCAP_FILE=ovk5dump" "-DSERIES=${OVK_WIRESHARK_SERIES}" -DREMOVE=ON
            -P "${CMAKE_CURRENT_LIST_DIR}/InstallUserExtcap.cmake"
    COMMENT "Removing ovk5dump from the personal extcap folder"
    VERBATIM)
endif()

install(FILES "${PROJECT_SOURCE_DIR}/README.md" DESTINATION "${CMAKE_INSTALL_DOCDIR}")
# Debian's machine-readable copyright file; LICENSE is the licence's text,
# which Debian systems carry as /usr/share/common-licenses/GPL-2.
install(FILES "${CMAKE_CURRENT_LIST_DIR}/debian/copyright" DESTINATION "${CMAKE_INSTALL_DOCDIR}")
install(FILES "${PROJECT_SOURCE_DIR}/docs/wireshark-ovk5.png" "${PROJECT_SOURCE_DIR}/docs/wireshark-ovk5seq-statistics.png" DESTINATION "${CMAKE_INSTALL_DOCDIR}/docs")
install(FILES "${PROJECT_SOURCE_DIR}/docs/wireshark-ovk5dump-options.png" DESTINATION "${CMAKE_INSTALL_DOCDIR}/docs")
install(DIRECTORY "${PROJECT_SOURCE_DIR}/samples/" DESTINATION "${CMAKE_INSTALL_DOCDIR}/samples")

# The Debian package of the library the plug-ins were built against, and its
# exact version: a plug-in loads only into that major.minor series, and the
# package name changes with the library's ABI (libwireshark16 for 4.0).
function(ovk_libwireshark_dependency out_var)
  set(${out_var} "" PARENT_SCOPE)
  find_program(DPKG_QUERY dpkg-query)
  get_target_property(library epan LOCATION)
  if(NOT DPKG_QUERY OR NOT library)
    message(WARNING "dpkg-query or libwireshark not found: the package will not depend on libwireshark")
    return()
  endif()
  file(REAL_PATH "${library}" library)
  execute_process(COMMAND ${DPKG_QUERY} -S "${library}"
                  OUTPUT_VARIABLE owner RESULT_VARIABLE failed ERROR_QUIET
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(failed OR NOT owner MATCHES "^([^:,]+)(:[^:,]+)?: ")
    message(WARNING "${library} belongs to no Debian package: the package will not depend on libwireshark")
    return()
  endif()
  set(package "${CMAKE_MATCH_1}")
  set(ovk_libwireshark_package "${package}" PARENT_SCOPE)
  execute_process(COMMAND ${DPKG_QUERY} -W "-f=\${Version}" "${package}${CMAKE_MATCH_2}"
                  OUTPUT_VARIABLE version RESULT_VARIABLE failed ERROR_QUIET
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(failed OR version STREQUAL "")
    message(WARNING "no version for ${package}: the package will not depend on libwireshark")
    return()
  endif()
  set(${out_var} "${package} (= ${version})" PARENT_SCOPE)
endfunction()

ovk_libwireshark_dependency(ovk_libwireshark_depends)
message(STATUS "Debian package depends on: ${ovk_libwireshark_depends}")

set(OVK_PACKAGE_MAINTAINER "Ovkan Wireshark plug-in maintainers <maintainers@users.noreply.c-seed-85a22676.example>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME "ovkan-wireshark-plugins")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Ovkan")
set(CPACK_PACKAGE_CONTACT "${OVK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Wireshark dissectors for Ovkan Link Protocol 5 (OVK5, OVK5SEQ)")
# One string: the text's own semicolon must not be taken for a list's.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Wireshark ${Wireshark_VERSION} plug-ins that decode the 16-byte metadata header Ovkan\n"
    "capture hardware puts in front of each captured Ethernet frame: OVK5 in TCP\n"
    "and UDP payloads, and OVK5SEQ records of link-layer type 150 with sequence\n"
    "numbers and lost-frame reports. Also ships ovk5-capgen, which writes sample\n"
    "captures of both, and ovk5-export, which writes the Ethernet frames inside\n"
    "them as standard pcapng on the capture hardware's clock; and ovk5dump, an\n"
    "extcap that shows the frames behind OVK5 received over UDP or TCP live.")

# The plug-ins go to an absolute folder; staging through DESTDIR keeps it
# inside the package, and /usr is where Debian packages put the rest.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${OVK_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${ovk_libwireshark_depends}")
set(CPACK_DEBIAN_PACKAGE_ENHANCES "wireshark, tshark")
# The run-time libraries of the plug-ins and the generator, found by
# dpkg-shlibdeps when cpack runs (cmake/PackageDepends.cmake); not by
# CPack's own shlibdeps run, which would add libwireshark again.
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
if(DPKG_SHLIBDEPS)
  set(ovk_packaged_binaries "")
  foreach(plugin IN LISTS ovk_plugins)
    list(APPEND ovk_packaged_binaries "$<TARGET_FILE:${plugin}>")
  endforeach()
  if(TARGET ovk5-capgen)
    list(APPEND ovk_packaged_binaries "$<TARGET_FILE:ovk5-capgen>")
  endif()
  if(TARGET ovk5dump)
    list(APPEND ovk_packaged_binaries "$<TARGET_FILE:ovk5dump>")
  endif()
  set(CPACK_OVK_PACKAGED_BINARIES "${CMAKE_BINARY_DIR}/ovk-packaged-binaries.txt")
  file(GENERATE OUTPUT "${CPACK_OVK_PACKAGED_BINARIES}" CONTENT "${ovk_packaged_binaries}")
  set(CPACK_OVK_SHLIBDEPS "${DPKG_SHLIBDEPS}")
  set(CPACK_OVK_SHLIBDEPS_DIR "${CMAKE_BINARY_DIR}/ovk-shlibdeps")
  set(CPACK_OVK_LIBWIRESHARK_PACKAGE "${ovk_libwireshark_package}")
  set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/PackageDepends.cmake")
endif()

include(CPack)
