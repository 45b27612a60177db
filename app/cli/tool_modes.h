// The modes of kv93t-update besides the update itself.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>

#include "app/cli/cli_options.h"
#include "app/cli/exit_codes.h"

namespace kv::cli {

// --list: every HID interface seen, with vendor, product and the unit's
// personality where it is the unit.
TExitCode ListDevices(const TCliOptions& options, std::ostream& out, std::ostream& err);

// --dump mcu|dsp: the Program Data listing of one embedded image.
TExitCode DumpEmbeddedImage(const TCliOptions& options, std::ostream& out, std::ostream& err);

// --version: the tool's version and the identity of the firmware it carries.
TExitCode PrintVersion(std::ostream& out, std::ostream& err);

// The CRC-32 of each embedded image as it is programmed, as --version prints
// them; nothing when an image cannot be prepared.
struct TImageCrcs {
  uint32_t Mcu = 0;
  uint32_t Dsp = 0;
};
std::optional<TImageCrcs> EmbeddedImageCrcs();
// Upper-case hexadecimal, `digits` wide: HexText(0x235100, 8) is "00235100".
std::string HexText(uint32_t value, int digits);
const char* ToolVersion();

}  // namespace kv::cli
