# SPDX-License-Identifier: GPL-2.0-or-later
# Read by cpack for each generator. The Debian package's Depends is the
# pinned libwireshark package (Packaging.cmake) followed by what
# dpkg-shlibdeps finds the packaged programs need, libwireshark left out
# there: it would name the package a second time, with a looser version.
if(NOT CPACK_GENERATOR STREQUAL "DEB" OR NOT CPACK_OVK_SHLIBDEPS)
  return()
endif()

file(READ "${CPACK_OVK_PACKAGED_BINARIES}" binaries)
# dpkg-shlibdeps wants to run beside a debian/control file.
set(work "${CPACK_OVK_SHLIBDEPS_DIR}")
file(REMOVE_RECURSE "${work}")
file(WRITE "${work}/debian/control" "")
set(leave_out "")
if(CPACK_OVK_LIBWIRESHARK_PACKAGE)
  set(leave_out "-x${CPACK_OVK_LIBWIRESHARK_PACKAGE}")
endif()
execute_process(COMMAND "${CPACK_OVK_SHLIBDEPS}" -O --ignore-missing-info ${leave_out} ${binaries}
                WORKING_DIRECTORY "${work}"
                OUTPUT_VARIABLE found ERROR_VARIABLE errors RESULT_VARIABLE failed
                OUTPUT_STRIP_TRAILING_WHITESPACE)
file(REMOVE_RECURSE "${work}")
if(failed)
  message(FATAL_ERROR "dpkg-shlibdeps ${binaries}: ${errors}")
endif()
string(REGEX REPLACE "^.*Depends=" "" found "${found}")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CPACK_DEBIAN_PACKAGE_DEPENDS}")
list(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS "${found}")
list(REMOVE_ITEM CPACK_DEBIAN_PACKAGE_DEPENDS "")
list(JOIN CPACK_DEBIAN_PACKAGE_DEPENDS ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
