# The stand-in firmware in image/firmware/ must be exactly what its generator writes,
# so the committed files can always be reproduced.
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
execute_process(COMMAND "${GENERATOR}" "${WORK_DIR}" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the generator failed: ${result}")
endif()
foreach(name kv93t-app.hex kv93t-dsp.txt)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${WORK_DIR}/${name}"
                          "${FIRMWARE_DIR}/${name}" RESULT_VARIABLE different)
  if(NOT different EQUAL 0)
    message(FATAL_ERROR "${name} differs from the generator's output")
  endif()
endforeach()
