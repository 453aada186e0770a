# SPDX-License-Identifier: GPL-2.0-or-later
# ovk_remove_empty_folders(<folder> <stop>): removes <folder> and then each
# folder above it while it is empty, up to but not including <stop>, so that
# removing a personal copy leaves the home folder as it was before.
function(ovk_remove_empty_folders folder stop)
  while(IS_DIRECTORY "${folder}" AND NOT folder STREQUAL stop)
    file(GLOB entries "${folder}/*" "${folder}/.*")
    if(entries)
      return()
    endif()
    # Empty, so this removes the folder alone.
    file(REMOVE_RECURSE "${folder}")
    message(STATUS "Removed the empty folder ${folder}")
    get_filename_component(folder "${folder}" DIRECTORY)
  endwhile()
endfunction()
