# A second, different valid firmware pair dropped in: the tool builds with it
# and the image tests pass, the stand-in's own facts being skipped.
#   -DVARIANT_TOOL= -DSOURCE_DIR= -DFIRMWARE_DIR= -DWORK_DIR= -DGENERATOR_NAME= -DCOMPILER=
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/firmware")
execute_process(COMMAND "${VARIANT_TOOL}" "${FIRMWARE_DIR}/kv93t-app.hex"
                        "${FIRMWARE_DIR}/kv93t-dsp.txt" "${WORK_DIR}/firmware"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the variant could not be made: ${result}")
endif()
foreach(name kv93t-app.hex kv93t-dsp.txt)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${WORK_DIR}/firmware/${name}"
                          "${FIRMWARE_DIR}/${name}" RESULT_VARIABLE different)
  if(different EQUAL 0)
    message(FATAL_ERROR "${name}: the variant is the embedded file itself")
  endif()
endforeach()
execute_process(
  COMMAND ${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${WORK_DIR}/build" -G "${GENERATOR_NAME}"
          -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=${COMPILER}
          -DKV_MCU_HEX_FILE=${WORK_DIR}/firmware/kv93t-app.hex
          -DKV_DSP_WORDS_FILE=${WORK_DIR}/firmware/kv93t-dsp.txt
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "configuring with the variant failed:\n${output}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build "${WORK_DIR}/build" --target image_test
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "building with the variant failed:\n${output}")
endif()
execute_process(COMMAND "${WORK_DIR}/build/tests/image/image_test"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the image tests failed with the variant:\n${output}")
endif()
if(NOT output MATCHES "SKIPPED")
  message(FATAL_ERROR "the stand-in's own facts were checked against the variant:\n${output}")
endif()
message(STATUS "the variant firmware builds and passes")
