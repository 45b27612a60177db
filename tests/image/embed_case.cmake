# Runs the firmware embedding step on one prepared case and checks its verdict:
# "good" must succeed with the expected table sizes, every other case must fail with
# its own complaint (so that a failure for an unrelated reason does not pass).
set(hex "${DATA_DIR}/good.hex")
set(dsp "${DATA_DIR}/good.txt")
if(CASE STREQUAL "bad_character")
  set(hex "${DATA_DIR}/bad_character.hex")
  set(expected "not Intel HEX text")
elseif(CASE STREQUAL "no_end_record")
  set(hex "${DATA_DIR}/no_end_record.hex")
  set(expected "not the end-of-file record")
elseif(CASE STREQUAL "dsp_stray_text")
  set(dsp "${DATA_DIR}/dsp_stray_text.txt")
  set(expected "unexpected text '12345678'")
elseif(CASE STREQUAL "dsp_wide_word")
  set(dsp "${DATA_DIR}/dsp_wide_word.txt")
  set(expected "does not fit 32 bits")
elseif(NOT CASE STREQUAL "good")
  message(FATAL_ERROR "unknown case ${CASE}")
endif()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/image")
execute_process(
  COMMAND ${CMAKE_COMMAND} -DHEX_FILE=${hex} -DDSP_FILE=${dsp} -DOUTPUT_DIR=${WORK_DIR}
          -P ${EMBED_SCRIPT}
  RESULT_VARIABLE result ERROR_VARIABLE errors)

# CMake wraps long messages; compare them with the line breaks folded away.
string(REGEX REPLACE "[ \n]+" " " errors "${errors}")

if(CASE STREQUAL "good")
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "embedding failed: ${errors}")
  endif()
  file(READ "${WORK_DIR}/image/firmware_extent.h" extent)
  file(READ "${WORK_DIR}/firmware_data.cpp" data)
  if(NOT extent MATCHES "kMcuHexLineCount = 3;" OR NOT extent MATCHES "kDspProgramWordCount = 3;")
    message(FATAL_ERROR "wrong table sizes:\n${extent}")
  endif()
  if(NOT data MATCHES "\":00000001FF\",\n}" OR NOT data MATCHES "0xabcdefu")
    message(FATAL_ERROR "unexpected tables:\n${data}")
  endif()
elseif(result EQUAL 0)
  message(FATAL_ERROR "case ${CASE} was accepted")
elseif(NOT errors MATCHES "${expected}")
  message(FATAL_ERROR "case ${CASE} failed for another reason: ${errors}")
endif()
