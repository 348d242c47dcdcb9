# Unpacks the release package into a folder whose name is not ASCII, as a user in many
# countries would: cmake -DZIP=... -DINTO=... -P Unpack.cmake
file(REMOVE_RECURSE "${INTO}")
file(MAKE_DIRECTORY "${INTO}")
if(NOT EXISTS "${ZIP}")
  message(FATAL_ERROR "no package at ${ZIP}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf "${ZIP}" WORKING_DIRECTORY "${INTO}"
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cannot unpack ${ZIP}")
endif()
