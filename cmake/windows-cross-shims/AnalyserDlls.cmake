# SPDX-License-Identifier: GPL-2.0-or-later
#
# The DLLs of a Windows Wireshark installation that a plug-in may import
# from, each with the Linux library of the same release series. A DLL and
# its Linux library are built from the same source with the same public
# symbols (WS_DLL_PUBLIC, GLib's GLIB_AVAILABLE_IN_*), so the Linux
# library's exports name the functions the DLL exports: the cross build
# makes its import libraries from them, and the DLL test checks every import
# against them.
#
# GLib is glib-2.0-0.dll, as Wireshark 4.x's Windows installers ship it
# (vcpkg's build); "libglib-2.0-0.dll" was the name in the GTK bundle of
# Wireshark 1.x, which no current installation has.
set(OVK_ANALYSER_DLLS
  libwireshark.dll=libwireshark.so
  libwiretap.dll=libwiretap.so
  libwsutil.dll=libwsutil.so
  glib-2.0-0.dll=libglib-2.0.so)

# ovk_analyser_libraries(<out-var> <directory>)
#
# Sets <out-var> to a list of "<dll>=<Linux library>", one per DLL above,
# with the Linux libraries of <directory>: the unversioned development link,
# or where that is missing the versioned library itself.
function(ovk_analyser_libraries out_var directory)
  set(pairs)
  foreach(entry IN LISTS OVK_ANALYSER_DLLS)
    string(REPLACE "=" ";" entry "${entry}")
    list(GET entry 0 dll)
    list(GET entry 1 linux_name)
    set(library "${directory}/${linux_name}")
    if(NOT EXISTS "${library}")
      file(GLOB versioned "${directory}/${linux_name}.*")
      if(NOT versioned)
        message(FATAL_ERROR "${linux_name} (for ${dll}) not found in ${directory}")
      endif()
      list(SORT versioned)
      list(GET versioned 0 library)
    endif()
    list(APPEND pairs "${dll}=${library}")
  endforeach()
  set(${out_var} "${pairs}" PARENT_SCOPE)
endfunction()
