# Adds every direct subfolder of the current folder that has a CMakeLists.txt,
# in name order, so that new units need no edit of a shared file.
function(kelto_add_subfolders)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}
       ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child}
       AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt
       AND NOT child IN_LIST ARGN)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
