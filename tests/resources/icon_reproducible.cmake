# Redraws the icon with tools/make_icon and fails unless it equals the committed one
# byte for byte.
execute_process(COMMAND ${MAKE_ICON} ${OUTPUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "make_icon failed: ${result}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUTPUT} ${ICON} RESULT_VARIABLE differ)
if(NOT differ EQUAL 0)
  message(FATAL_ERROR "${ICON} is not what tools/make_icon.cpp draws; rebuild it with the sentrova_icon target")
endif()
message(STATUS "sentrova.ico is reproduced byte for byte")
