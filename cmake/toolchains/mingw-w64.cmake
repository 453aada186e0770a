# SPDX-License-Identifier: GPL-2.0-or-later
# Cross-compiles for Windows with Debian's mingw-w64 (packages
# g++-mingw-w64-x86-64-win32 or -posix, binutils-mingw-w64-x86-64).
# 64-bit x86 by default; -DOVK_MINGW_ARCH=i686 builds 32-bit DLLs (with the
# i686 packages installed).

set(CMAKE_SYSTEM_NAME Windows)
if(NOT OVK_MINGW_ARCH)
  set(OVK_MINGW_ARCH x86_64)
endif()
set(OVK_MINGW_ARCH "${OVK_MINGW_ARCH}" CACHE STRING "mingw-w64 target: x86_64 or i686")
set(CMAKE_SYSTEM_PROCESSOR ${OVK_MINGW_ARCH})
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES OVK_MINGW_ARCH)

set(_triplet ${OVK_MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${_triplet}-gcc)
set(CMAKE_CXX_COMPILER ${_triplet}-g++)
set(CMAKE_RC_COMPILER ${_triplet}-windres)
set(CMAKE_DLLTOOL ${_triplet}-dlltool)
set(CMAKE_OBJDUMP ${_triplet}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
