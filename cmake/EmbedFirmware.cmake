# Turns the firmware files into C++ tables at build time, so that new firmware is a
# matter of replacing the files in image/firmware/.
#
#   cmake -DHEX_FILE=<app.hex> -DDSP_FILE=<dsp.txt> -DOUTPUT_DIR=<dir> -P EmbedFirmware.cmake
#
# HEX_FILE: Intel HEX text, one record per line (CR LF or LF). Blank lines are dropped;
#   every other line must be ':' followed by hexadecimal digits only, and the last record
#   must be the end-of-file record (type 01). Anything else fails the build.
# DSP_FILE: 32-bit words written as 0x literals separated by blanks or commas, in
#   download order; lines starting with # are comments. Anything else is an error, so a
#   word can never be dropped silently.
#
# Writes <dir>/image/firmware_extent.h (the table sizes, known at compile time) and
# <dir>/firmware_data.cpp (McuHexLines and DspProgramWords).

foreach(var HEX_FILE DSP_FILE OUTPUT_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "EmbedFirmware: ${var} is not set")
  endif()
endforeach()

# The files are read whole and split here: file(STRINGS) has been seen to return other
# text when run from inside a build tree.

# --- Intel HEX ---------------------------------------------------------------------
file(READ "${HEX_FILE}" hex_content)
if(hex_content MATCHES "[^:0-9A-Fa-f \t\r\n]")
  message(FATAL_ERROR "${HEX_FILE}: not Intel HEX text: '${CMAKE_MATCH_0}' found")
endif()
string(REPLACE "\r" "" hex_content "${hex_content}")
string(REPLACE "\n" ";" hex_raw_lines "${hex_content}")
set(hex_lines "")
set(hex_count 0)
set(hex_last "")
foreach(raw IN LISTS hex_raw_lines)
  string(STRIP "${raw}" line)
  if(line STREQUAL "")
    continue()
  endif()
  if(NOT line MATCHES "^:[0-9A-Fa-f]+$")
    message(FATAL_ERROR "${HEX_FILE}: not an Intel HEX record: '${line}'")
  endif()
  string(APPEND hex_lines "    \"${line}\",\n")
  math(EXPR hex_count "${hex_count} + 1")
  set(hex_last "${line}")
endforeach()
if(NOT hex_last MATCHES "^:[0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]01")
  message(FATAL_ERROR "${HEX_FILE}: the last record is not the end-of-file record")
endif()

# --- DSP words ---------------------------------------------------------------------
file(READ "${DSP_FILE}" dsp_content)
string(REGEX REPLACE "\n[ \t]*#[^\n]*" "\n" dsp_content "\n${dsp_content}")
string(REGEX REPLACE "0[xX][0-9A-Fa-f]+|[ \t\r\n,]" "" dsp_rest "${dsp_content}")
if(NOT dsp_rest STREQUAL "")
  string(SUBSTRING "${dsp_rest}" 0 40 dsp_rest)
  message(FATAL_ERROR "${DSP_FILE}: unexpected text '${dsp_rest}'")
endif()
string(REGEX MATCHALL "0[xX][0-9A-Fa-f]+" dsp_tokens "${dsp_content}")
set(dsp_words "")
set(dsp_count 0)
foreach(token IN LISTS dsp_tokens)
  string(LENGTH "${token}" token_length)
  if(token_length GREATER 10)
    message(FATAL_ERROR "${DSP_FILE}: ${token} does not fit 32 bits")
  endif()
  string(APPEND dsp_words "    ${token}u,\n")
  math(EXPR dsp_count "${dsp_count} + 1")
endforeach()
if(dsp_count EQUAL 0)
  message(FATAL_ERROR "${DSP_FILE}: no words")
endif()

# --- Output ------------------------------------------------------------------------
get_filename_component(hex_name "${HEX_FILE}" NAME)
get_filename_component(dsp_name "${DSP_FILE}" NAME)
set(banner "// Generated from ${hex_name} and ${dsp_name} by EmbedFirmware.cmake; do not edit.")

file(WRITE "${OUTPUT_DIR}/image/firmware_extent.h.tmp"
"${banner}
#pragma once

#include <cstddef>

namespace kv {

inline constexpr size_t kMcuHexLineCount = ${hex_count};
inline constexpr size_t kDspProgramWordCount = ${dsp_count};

}  // namespace kv
")

file(WRITE "${OUTPUT_DIR}/firmware_data.cpp.tmp"
"${banner}
#include \"image/firmware_data.h\"

namespace kv {

const char* const McuHexLines[kMcuHexLineCount] = {
${hex_lines}};

const uint32_t DspProgramWords[kDspProgramWordCount] = {
${dsp_words}};

}  // namespace kv
")

# Unchanged output keeps its time stamp, so nothing recompiles for nothing.
foreach(name image/firmware_extent.h firmware_data.cpp)
  file(COPY_FILE "${OUTPUT_DIR}/${name}.tmp" "${OUTPUT_DIR}/${name}" ONLY_IF_DIFFERENT)
  file(REMOVE "${OUTPUT_DIR}/${name}.tmp")
endforeach()
