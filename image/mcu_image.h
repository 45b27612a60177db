// The microcontroller image: Intel HEX records parsed into the image buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "image/firmware_image.h"

namespace kv {

// "Mcu Prog" lets the image occupy the first 0x11000 bytes of the buffer.
inline constexpr uint32_t kMcuImageBound = 0x11000;

inline constexpr const char* kChecksumErrorMessage = "Check sum error!";

// Shows a modal message box with one OK button; the caller decides how.
using ShowMessage = std::function<void(const std::string& text)>;

enum class McuParseOutcome {
  Complete,       // the end-of-file record was reached
  ChecksumError,  // a data record failed its checksum; the message was shown
  NotARecord,     // a line does not begin with ':'
  BeyondBound,    // a data record would reach past the bound
  NoEndOfFile,    // the table ended without an end-of-file record
};

inline bool Succeeded(McuParseOutcome outcome) {
  return outcome == McuParseOutcome::Complete;
}

// Reads up to `width` characters from `position` as an unsigned hexadecimal number,
// either case. Conversion stops at the first character that is not a hexadecimal digit
// and at the end of the line, so a short line is never read past its end; no leading
// digit gives 0. Widths above 8 read 8 characters.
uint32_t HexField(std::string_view line, size_t position, size_t width);

// Clears the first `bound` bytes of the buffer and fills them from the records, in
// table order, placing each data record by its address (02 and 04 records set the
// upper address). ImageByteCount becomes the sum of the byte counts of the data
// records stored. A data record with a wrong checksum shows kChecksumErrorMessage once
// and stops the parse; its bytes stay stored and counted. A bound above the buffer's
// size is taken as the buffer's size. A null entry counts as a line without ':'.
McuParseOutcome ParseMcuImage(FirmwareImage& image, uint32_t bound,
                              std::span<const char* const> lines, const ShowMessage& showMessage);

}  // namespace kv
