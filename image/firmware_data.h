// The firmware the tool carries: the microcontroller's application image as Intel HEX
// records and the DSP program as 32-bit words. Both tables are generated at build time
// from the files in image/firmware/ and never change at run time.
#pragma once

#include <cstdint>
#include <span>

#include "image/firmware_extent.h"

namespace kv {

// One NUL-terminated record per entry, in file order, the end-of-file record last.
// There is no count field; the extent is the array's own.
extern const char* const McuHexLines[kMcuHexLineCount];

// In download order.
extern const uint32_t DspProgramWords[kDspProgramWordCount];

inline std::span<const char* const> EmbeddedMcuHexLines() {
  return McuHexLines;
}
inline std::span<const uint32_t> EmbeddedDspProgramWords() {
  return DspProgramWords;
}

}  // namespace kv
